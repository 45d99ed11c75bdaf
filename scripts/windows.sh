#!/usr/bin/env bash
# The Windows build of the core and mardo-cli, cross-built here with Debian's mingw-w64
# toolchain and run under Wine. Safe to run again: apt is called only when something is
# missing, and the dependency prefix is built once and reused.
#   scripts/windows.sh          install, build the prefix, build build/windows (mardo-cli.exe
#                               and the unit tests), run the unit tests and the lab tests
#                               under Wine
# Layout under build/windows: prefix/ (cJSON, libzip, GoogleTest, CLI11 and libpcap
# headers), src/ (Debian source packages and their builds), wine/ (the WINEPREFIX), and the
# project's own build tree.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/windows
prefix=$build/prefix
sources=$build/src
toolchain=$root/cmake/mingw-w64.cmake
# The same WINEPREFIX as the windows preset's MARDO_WINEPREFIX.
export WINEPREFIX=$build/wine WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko installer prompts: no test needs .NET or an HTML engine.
export WINEDLLOVERRIDES="mscoree,mshtml="

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

stage() { echo "windows: $*"; stage_start=$(date +%s); }
stage_done() { echo "windows: ... $(( $(date +%s) - stage_start )) s"; }

# --- Debian packages ---------------------------------------------------------------------
# wine64 alone runs 64-bit programs; `wine` adds the /usr/bin launchers. Without recommends,
# wine32 (and with it the i386 architecture) stays out.
packages=(
  g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
  wine wine64
  cmake ninja-build pkg-config dpkg-dev
  googletest libcli11-dev libpcap0.8-dev
)

# `apt-get source` needs deb-src entries; they are made from the machine's own Debian
# entries, so the sources match the binaries installed here.
deb_src=/etc/apt/sources.list.d/mardo-deb-src
have_deb_src() {
  grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/
}
add_deb_src() {
  local stanzas lines
  # deb822 files, in paragraph mode: the Debian archive's binary stanzas, retyped.
  stanzas=$(find /etc/apt/sources.list.d -name '*.sources' -exec \
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:[^\n]*deb/ && /debian/ {
           sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' {} +)
  # One-line entries.
  lines=$(sed -nE 's/^deb (.*debian.*)$/deb-src \1/p' /etc/apt/sources.list 2>/dev/null || true)
  if [ -z "$stanzas$lines" ]; then
    echo "windows: no Debian apt entry to make a deb-src entry from" >&2
    exit 1
  fi
  echo "windows: adding deb-src entries ($deb_src.*)"
  if [ -n "$stanzas" ]; then printf '%s\n' "$stanzas" | $sudo tee "$deb_src.sources" >/dev/null; fi
  if [ -n "$lines" ]; then printf '%s\n' "$lines" | $sudo tee "$deb_src.list" >/dev/null; fi
}

stage "packages"
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
need_update=0
if ! have_deb_src; then add_deb_src; need_update=1; fi
if [ ${#missing[@]} -gt 0 ]; then need_update=1; fi
export DEBIAN_FRONTEND=noninteractive
if [ $need_update -eq 1 ]; then $sudo apt-get update -qq; fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "windows: installing ${missing[*]}"
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
stage_done

# --- Dependencies, cross-built once into the prefix ----------------------------------------
# Each one leaves a stamp; delete build/windows/prefix to build them all again.
stamps=$prefix/.stamps
mkdir -p "$stamps" "$sources"

cross_cmake() { # SOURCE_DIR BUILD_DIR [CMAKE ARGS...]
  local src=$1 bld=$2
  shift 2
  cmake -S "$src" -B "$bld" -G Ninja --toolchain "$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DMARDO_WINDOWS_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF "$@" >"$bld.configure.log" 2>&1 ||
    { tail -n 40 "$bld.configure.log" >&2; return 1; }
  cmake --build "$bld" -j 2 >"$bld.build.log" 2>&1 || { tail -n 40 "$bld.build.log" >&2; return 1; }
  cmake --install "$bld" >"$bld.install.log" 2>&1
}

debian_source() { # PACKAGE: unpacks Debian's source package, prints its folder
  local pkg=$1 dir
  dir=$(find "$sources" -maxdepth 1 -type d -name "$pkg-[0-9]*" | head -n 1)
  if [ -z "$dir" ]; then
    (cd "$sources" && apt-get source -qq "$pkg" >"$sources/$pkg.source.log" 2>&1) ||
      { tail -n 20 "$sources/$pkg.source.log" >&2; return 1; }
    dir=$(find "$sources" -maxdepth 1 -type d -name "$pkg-[0-9]*" | head -n 1)
  fi
  echo "$dir"
}

stage "dependencies into $prefix"
if [ ! -e "$stamps/cjson" ]; then
  echo "windows: cJSON"
  src=$(debian_source cjson)
  cross_cmake "$src" "$sources/cjson-build" -DENABLE_CJSON_TEST=OFF -DENABLE_CJSON_UTILS=OFF \
    -DBUILD_SHARED_AND_STATIC_LIBS=OFF -DENABLE_CUSTOM_COMPILER_FLAGS=OFF
  touch "$stamps/cjson"
fi
if [ ! -e "$stamps/libzip" ]; then
  echo "windows: libzip"
  src=$(debian_source libzip)
  # Deflate (zlib from libz-mingw-w64-dev) is all the packages use: no other codec, no
  # encryption backend, no tools.
  cross_cmake "$src" "$sources/libzip-build" \
    -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
    -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_OPENSSL=OFF \
    -DENABLE_WINDOWS_CRYPTO=OFF \
    -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF -DBUILD_OSSFUZZ=OFF
  touch "$stamps/libzip"
fi
if [ ! -e "$stamps/googletest" ]; then
  echo "windows: GoogleTest"
  cross_cmake /usr/src/googletest "$sources/googletest-build" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
  touch "$stamps/googletest"
fi
if [ ! -e "$stamps/headers" ]; then
  # Header-only use: CLI11 (its CMake config finds the headers relative to itself) and
  # libpcap, whose library is opened at run time. Copied, so /usr/include never joins the
  # Windows include path.
  echo "windows: CLI11 and libpcap headers"
  mkdir -p "$prefix/include" "$prefix/share/cmake"
  cp -r /usr/include/CLI "$prefix/include/"
  cp -r /usr/share/cmake/CLI11 "$prefix/share/cmake/"
  cp -r /usr/include/pcap /usr/include/pcap.h /usr/include/pcap-bpf.h /usr/include/pcap-namedb.h \
    "$prefix/include/"
  touch "$stamps/headers"
fi
stage_done

# --- Wine -------------------------------------------------------------------------------------
# A WINEPREFIX of the build's own. Wine's background services inherit stdout and stderr and
# keep a pipe open until the wineserver ends, so their output goes to a file.
stage "Wine prefix $WINEPREFIX"
if [ ! -e "$WINEPREFIX/system.reg" ]; then
  wineboot --init >"$build/wineboot.log" 2>&1
  wineserver --wait
fi
stage_done

# --- The project --------------------------------------------------------------------------
stage "configure build/windows"
cmake --preset windows >"$build/configure.log" 2>&1 || { tail -n 40 "$build/configure.log" >&2; exit 1; }
stage_done

# Test discovery at build time runs each test program under Wine: a wineserver kept running
# for the build's prefix saves its start-up on every run. It serves the unit tests only,
# which use loopback alone; it is ended on every way out of this script.
trap 'WINEPREFIX=$build/wine wineserver -k 2>/dev/null || true' EXIT
# A server left by an interrupted run, or by a developer's test discovery, is ended first.
wineserver -k 2>/dev/null || true
wineserver --persistent
# Wine's background services start with the first program and keep its standard output
# and error open while the server lives: that first program writes to a file, so no test
# program's pipe (test discovery, ctest) is ever held open by them.
wine cmd.exe /c exit >"$build/wine-services.log" 2>&1

stage "build build/windows: mardo-cli.exe and the unit tests"
cmake --build --preset windows -j 2
stage_done

stage "unit tests under Wine"
ctest --preset windows
stage_done

# --- Lab tests: the .exe under Wine against camsim, in namespaces of their own ----------
# Built in the Linux tree (the lab fixture and camsim are Linux programs); each test starts a
# wineserver of its own inside its lab's workstation namespace.
stage "lab tests under Wine"
bash scripts/deps.sh >"$build/deps.log" 2>&1 || { tail -n 40 "$build/deps.log" >&2; exit 1; }
cmake --preset default >"$build/linux-configure.log" 2>&1 ||
  { tail -n 40 "$build/linux-configure.log" >&2; exit 1; }
cmake --build --preset default -j 2 --target wine_lab_tests camsim
ctest --preset wine
stage_done
