#!/usr/bin/env bash
# Installs every Debian package the project needs to build, run, test and
# host the camera lab. Safe to run again: it only calls apt when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  qt6-base-dev qt6-serialport-dev libgl-dev
  libpcap-dev libcjson-dev libzip-dev zlib1g-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-noto-cjk xvfb xauth xdotool imagemagick openbox
  iproute2 zip socat procps
  tftpd-hpa tftp-hpa atftp tshark
  python3-gi gir1.2-gstreamer-1.0 gir1.2-gst-rtsp-server-1.0
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
