# Fails when a source file under ROOT/<each of FOLDERS> includes a Qt header: the core runs
# under tests and the command line without Qt, and only app/window may use it.
#   cmake -DROOT=<dir> "-DFOLDERS=a;b" -P CheckNoQt.cmake
if(NOT DEFINED ROOT OR NOT DEFINED FOLDERS)
  message(FATAL_ERROR "CheckNoQt: give ROOT and FOLDERS")
endif()
# <QWidget>, <QtCore/qstring.h>, <qglobal.h>, "QString", ...
set(qt_include
    "^[ \t]*#[ \t]*include[ \t]*[<\"](Q[A-Za-z0-9_]*|Qt[A-Za-z0-9_]*/[^>\"]*|q[a-z0-9_]+\\.h)[>\"]")
set(offenders)
foreach(folder ${FOLDERS})
  file(GLOB_RECURSE sources ${ROOT}/${folder}/*.h ${ROOT}/${folder}/*.hpp ${ROOT}/${folder}/*.cpp)
  foreach(source ${sources})
    file(STRINGS ${source} lines REGEX "${qt_include}")
    foreach(line ${lines})
      file(RELATIVE_PATH shown ${ROOT} ${source})
      string(STRIP "${line}" line)
      list(APPEND offenders "${shown}: ${line}")
    endforeach()
  endforeach()
endforeach()
if(offenders)
  list(JOIN offenders "\n  " text)
  message(FATAL_ERROR "Qt header included outside app/window:\n  ${text}")
endif()
