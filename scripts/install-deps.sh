#!/usr/bin/env bash
# Installs what the build, the tests and the demo need (Debian 12).
set -euo pipefail
packages=(build-essential cmake pkg-config libglib2.0-dev libxml2-dev libgtest-dev
          python3 curl nginx-light tinyproxy microsocks dante-server aria2
          libbenchmark-dev libssl-dev gcc-mingw-w64-i686 binutils-mingw-w64-i686
          libgtk-3-dev xvfb xdotool imagemagick fonts-wqy-microhei x11-utils e2fsprogs)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi
