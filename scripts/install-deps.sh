#!/usr/bin/env bash
# Installs what the build, the tests and the demo need (Debian 12).
set -euo pipefail
packages=(build-essential cmake pkg-config libglib2.0-dev libxml2-dev libgtest-dev
          python3 curl nginx-light tinyproxy microsocks dante-server aria2
          libbenchmark-dev libssl-dev openssl g++-mingw-w64-i686 gcc-mingw-w64-i686 binutils-mingw-w64-i686
          libgtk-3-dev xvfb xdotool imagemagick fonts-wqy-microhei x11-utils e2fsprogs locales file
          zsync casync rsync)
# Wine, for the smoke test of the Windows program: a 64-bit Wine with its
# 32-bit half, so that the 32-bit program runs as on a 64-bit Windows.
wine_packages=(wine wine64 wine32:i386)
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
# The Windows program's smoke test runs the 32-bit build under Wine.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo_cmd dpkg --add-architecture i386
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
missing_wine=()
for p in "${wine_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing_wine+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_wine[@]} -gt 0 ]; then
  # A mirror in the middle of a sync fails one index now and then: try
  # again, and go on with what came (the install says whether it was enough).
  for attempt in 1 2 3; do
    $sudo_cmd apt-get update && break
    echo "apt-get update failed (attempt ${attempt}); trying again" >&2
    sleep 10
  done
fi
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y "${missing[@]}"
fi
if [ ${#missing_wine[@]} -gt 0 ]; then
  # The 32-bit packages must match the 64-bit ones to the version: while a
  # mirror is mid-sync one architecture's index lags, so wait and retry.
  # When the mirror still cannot provide them, everything else goes on: the
  # test command reports the Windows checks as skipped, loudly.
  for attempt in 1 2 3; do
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y "${missing_wine[@]}" && break
    echo "Wine could not be installed (attempt ${attempt})" >&2
    [ "$attempt" -eq 3 ] && echo "WARNING: no 32-bit Wine: the package mirror cannot provide ${missing_wine[*]}" >&2 && break
    sleep 30
    $sudo_cmd apt-get update || true
  done
fi
# Without 32-bit Wine, the Windows checks run on a 64-bit build under 64-bit
# Wine, which needs no packages of the other architecture.
if ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y wine wine64 g++-mingw-w64-x86-64 ||
    echo "WARNING: no Wine at all: the Windows checks will be skipped" >&2
fi
# A Chinese locale for Wine, whose ANSI code page then is 936; and a GBK
# locale, under which the Linux program's ANSI code page is GBK too.
for loc in "zh_CN.UTF-8 UTF-8" "zh_CN.GBK GBK"; do
  name=${loc%% *}
  if ! locale -a 2>/dev/null | grep -qix "$(echo "${name}" | sed 's/-//g')"; then
    $sudo_cmd sed -i "s/^# *${loc}\$/${loc}/" /etc/locale.gen
    grep -q "^${loc}\$" /etc/locale.gen || echo "${loc}" | $sudo_cmd tee -a /etc/locale.gen >/dev/null
    $sudo_cmd locale-gen >/dev/null
  fi
done
