#!/usr/bin/env bash
# Writes the packages a user installs into build/package/:
#   mardo_<version>_amd64.deb        the window, mardo-cli and mkpackage, with the capture
#                                    rights granted on installation
#   mardo-cli-<version>-win64.zip    mardo-cli.exe (built by scripts/windows.sh) and a note
# With --install-check (root): installs the .deb with apt, checks that a normal user runs
# mardo-cli and that both programs carry the capture rights, then removes it again.
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
if [ "${1:-}" = --install-check ]; then check=1; fi
bash scripts/deps.sh
out=$PWD/build/package
mkdir -p "$out"

# The programs come from the normal build tree (RelWithDebInfo, stripped by CPack): after
# scripts/test.sh nothing is built again, and only what the package holds is built otherwise.
cmake --preset default >/dev/null
cmake --build --preset default --target mardo mardo-cli mkpackage camsim
(cd build/default && cpack -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
deb=$(ls "$out"/mardo_*_amd64.deb)
echo "package: $deb"

if [ "$check" = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  if dpkg-query -W -f='${Status}' mardo 2>/dev/null | grep -q 'ok installed'; then
    echo "package: mardo is installed already; not touching it" >&2
    exit 1
  fi
  apt-get install -y -qq "$deb" >/dev/null
  status=0
  runuser -u nobody -- /usr/bin/mardo-cli --version || status=1
  for p in /usr/bin/mardo /usr/bin/mardo-cli; do
    getcap "$p" | grep -q 'cap_net_admin,cap_net_raw=eip' || { echo "package: $p lacks its capture rights" >&2; status=1; }
  done
  apt-get remove -y -qq mardo >/dev/null
  [ ! -e /usr/bin/mardo-cli ] || { echo "package: removal left /usr/bin/mardo-cli" >&2; status=1; }
  [ "$status" = 0 ] || exit 1
  echo "package: installed, checked and removed again"
fi

version=$(sed -n 's/^project(mardo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
exe=build/windows/mardo-cli.exe
if [ ! -f build/windows/build.ninja ]; then
  echo "package: no build/windows yet (scripts/windows.sh makes it); the Windows zip is not written" >&2
  exit 1
fi
# Never an .exe older than the sources.
cmake --build --preset windows --target mardo-cli
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/mardo-cli-$version-win64"
# Without the debug information of the build tree: 2 MB instead of 50.
x86_64-w64-mingw32-strip -o "$stage/mardo-cli-$version-win64/mardo-cli.exe" "$exe"
cp res/windows/README.txt "$stage/mardo-cli-$version-win64/"
rm -f "$out/mardo-cli-$version-win64.zip"
(cd "$stage" && zip -qr "$out/mardo-cli-$version-win64.zip" "mardo-cli-$version-win64")
echo "package: $out/mardo-cli-$version-win64.zip"
