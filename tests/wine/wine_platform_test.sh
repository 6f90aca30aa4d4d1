#!/usr/bin/env bash
# The Windows back end's install-safety checks under Wine: profile writes,
# links below the install, the one-updater lock, the self-swap.
#   wine_platform_test.sh WIN32_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
win=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
command -v wine >/dev/null || { echo "SKIP: wine is not installed"; echo "0 passed, 0 failed"; exit 0; }

work=$(mktemp -d /tmp/updater-wine-check-XXXXXX)
trap 'rm -rf "$work"' EXIT
# Code page 936, as on a Chinese system: names outside it must still work.
locale -a 2>/dev/null | grep -qi "^zh_CN.utf8$" && export LC_ALL=zh_CN.UTF-8
export WINEPREFIX=$linux/wineprefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
[ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
# Wine shows a Unix link as a reparse point, and makes none itself.
mkdir -p "$work/install" "$work/outside"
ln -s ../outside "$work/install/data"
mkdir -p "$work/second"
cp "$win/bin/updater.exe" "$work/second/updater.exe"
wine "$win/bin/platform_win32_check.exe" "$(winepath -w "$work")"
