#!/usr/bin/env bash
# Smoke test of the Windows program under Wine: updates a demo install from
# the test update server on 127.0.0.1 through two versions (GB2312 manifests
# with Chinese file names, the updater's own executable among the files) and
# hands over to a stand-in kelvora.exe. A screenshot of the window is kept.
#   wine_smoke_test.sh WIN32_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
name=smoke
source "$(dirname "$0")/wine_lib.sh"
command -v import >/dev/null || { echo "SKIP: import is not installed"; echo "0 passed, 0 failed"; exit 0; }
wine_start "$1" "$2"
# The program ships 32-bit; a 64-bit build only stands in where the machine
# has no 32-bit Wine (see scripts/test.sh).
pe='PE32 executable (GUI) Intel 80386'
grep -q 'mingw-x86_64' "$win/CMakeCache.txt" 2>/dev/null && pe='PE32+ executable (GUI) x86-64'
file "$win/bin/updater.exe" | grep -q "$pe" ||
  fail "updater.exe is not the Windows program its build makes ($pe): $(file "$win/bin/updater.exe")"
# As on a Chinese Windows, Arial falls back to a CJK face for what it lacks.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Arial \
  /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1 || true

# Two versions of a small game.
mkdir -p "$work"/v1/地图 "$work"/server "$work"/install
cp "$win/bin/updater.exe" "$work/v1/updater.exe"
head -c 2000000 /dev/urandom > "$work/v1/地图/关卡一.dat"
printf '第一版说明\r\n' > "$work/v1/说明.txt"
find "$work/v1" -type f -exec touch -d "2026-01-01 12:00:00 UTC" {} +
cp -a "$work/v1" "$work/v2"
printf '\r\n# build 2' >> "$work/v2/updater.exe"
head -c 2100000 /dev/urandom > "$work/v2/地图/关卡一.dat"
head -c 600000 /dev/urandom > "$work/v2/慢.bin"
printf '第二版新文件\r\n' > "$work/v2/新文件.txt"
touch -d "2026-02-01 12:00:00 UTC" "$work/v2/updater.exe" "$work/v2/地图/关卡一.dat" "$work/v2/慢.bin" \
  "$work/v2/新文件.txt"

echo '{"/update/2/慢.bin": "trickle"}' > "$work/rules.json"
python3 "$src/tools/test_server.py" --root "$work/server" --port-file "$work/port" --rules "$work/rules.json" \
  --log "$work/requests.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")
publish=$linux/bin/updater-publish
"$publish" release --version 1 --from "$work/v1" --to "$work/server" >/dev/null
"$publish" release --version 2 --from "$work/v2" --to "$work/server" >/dev/null
"$publish" versions --to "$work/server" --product 2 --max 2 --url "127.0.0.1:$port" >/dev/null
grep -q 'encoding="GB2312"' "$work/server/update/2/FileConfig.xml" || fail "the manifest is not GB2312"

cp -a "$work/v1/." "$work/install/"
cp "$win/bin/kelvora.exe" "$work/install/kelvora.exe"
printf '[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=127.0.0.1:%s\r\n' "$port" > "$work/install/UpdateTemp.ini"

(cd "$work/install" && exec wine updater.exe "127.0.0.1:$port" auto) &
updater=$!
mkdir -p "$linux/ui-screenshots"
shot=$linux/ui-screenshots/wine-window.png
# The window showed the skin: the title strip of the background bitmap. A
# loaded machine takes a while to paint it; the slow file keeps the window up.
convert "$src/res/bitmap_133.bmp" -crop 437x20+0+0 +repage "$work/ref.png"
differing=unknown
for _ in $(seq 40); do
  sleep 0.5
  import -display "$DISPLAY" -window root "$shot"
  convert "$shot" -crop 437x20+0+0 +repage "$work/strip.png"
  differing=$(compare -metric AE -fuzz 5% "$work/strip.png" "$work/ref.png" null: 2>&1 || true)
  [ "${differing%%.*}" -lt 440 ] 2>/dev/null && break
done
[ "${differing%%.*}" -lt 440 ] 2>/dev/null || fail "the screenshot does not show the window ($differing pixels differ)"
status=0
for _ in $(seq ${WINE_SMOKE_WAIT:-240}); do kill -0 $updater 2>/dev/null || break; sleep 0.5; done
wait $updater || status=$?
[ "$status" = 0 ] || fail "the updater ended with status $status"

for f in updater.exe 地图/关卡一.dat 慢.bin 新文件.txt 说明.txt; do
  cmp -s "$work/install/$f" "$work/v2/$f" || fail "$f is not version 2"
  [ "$(stat -c %Y "$work/install/$f")" = "$(stat -c %Y "$work/v2/$f")" ] || fail "$f does not carry the manifest's time"
done
grep -q 'CurrentVersion=2' "$work/install/UpdateTemp.ini" || fail "version 2 was not recorded"
[ -f "$work/install/lobby-started.txt" ] || fail "the lobby was not started"
# The running executable cannot be replaced in place on Windows: that one
# line is expected, and the swap beside it. A version that reused bytes of
# its installed files says how many; that is no failure either.
[ -f "$work/install/updater.exe.old" ] || fail "the previous updater was not kept as updater.exe.old"
others=$(iconv -f GBK -t UTF-8 "$work/install/UpdateLog.log" 2>/dev/null |
  grep -v -e '删除文件失败 \[updater.exe\]' -e '从本地文件复用 [0-9]* 字节，从服务器下载 [0-9]* 字节' || true)
[ -z "$others" ] || fail "failures were logged: $others"
echo "PASS: Windows program under Wine (screenshot: $shot)"
echo "1 passed, 0 failed"
