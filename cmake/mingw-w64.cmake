# Cross build for 64-bit Windows with Debian's mingw-w64 toolchain (the POSIX-threads
# variant: std::thread and std::jthread need it). Used for the project itself and for the
# dependencies scripts/windows.sh builds into its prefix.
#   -DMARDO_WINDOWS_PREFIX=DIR   where the cross-built dependencies are installed
#   -DMARDO_WINEPREFIX=DIR       the WINEPREFIX that built programs run in
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MARDO_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MARDO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MARDO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MARDO_MINGW_TRIPLE}-windres)

# try_compile re-reads this file in a fresh project; the prefix has to travel with it.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MARDO_WINDOWS_PREFIX MARDO_WINEPREFIX)

# Headers and libraries come only from the toolchain's own tree and the prefix: a host
# header from /usr/include would compile and then describe the wrong system.
set(CMAKE_FIND_ROOT_PATH /usr/${MARDO_MINGW_TRIPLE})
if(MARDO_WINDOWS_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${MARDO_WINDOWS_PREFIX})
  list(APPEND CMAKE_PREFIX_PATH ${MARDO_WINDOWS_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must not fall back to the host's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "${MARDO_WINDOWS_PREFIX}/lib/pkgconfig:${MARDO_WINDOWS_PREFIX}/share/pkgconfig:/usr/${MARDO_MINGW_TRIPLE}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Static executables import only system DLLs, so a copy of the .exe is all a user needs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The toolchain's zlib comes as libz.a and libz.dll.a, and FindZLIB would take the import
# library. (CMAKE_FIND_LIBRARY_SUFFIXES cannot say it here: the platform file resets it.)
set(ZLIB_USE_STATIC_LIBS ON)

# Programs built here (tests, test discovery) run under Wine, in the build's own WINEPREFIX
# (-DMARDO_WINEPREFIX=DIR); without one nothing runs, so the user's ~/.wine is never touched.
find_program(MARDO_WINE wine)
if(MARDO_WINE AND MARDO_WINEPREFIX)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_COMMAND} -E env WINEPREFIX=${MARDO_WINEPREFIX} WINEDEBUG=-all ${MARDO_WINE})
endif()
