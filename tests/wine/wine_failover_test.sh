#!/usr/bin/env bash
# The Windows program under Wine: a manifest cut short by server 1 is that
# server's failure, not a sign of a too-old installation; the run moves to
# server 2 and ends at the newest version without any message box.
#   wine_failover_test.sh WIN32_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
name=failover
source "$(dirname "$0")/wine_lib.sh"
wine_start "$1" "$2"

mkdir -p "$work"/v1 "$work"/v2 "$work"/server "$work"/install
printf 'one\r\n' > "$work/v1/readme.txt"
touch -d "2026-01-01 12:00:00 UTC" "$work/v1/readme.txt"
printf 'two\r\n' > "$work/v2/readme.txt"
touch -d "2026-02-01 12:00:00 UTC" "$work/v2/readme.txt"
publish=$linux/bin/updater-publish
"$publish" release --version 1 --from "$work/v1" --to "$work/server" >/dev/null
"$publish" release --version 2 --from "$work/v2" --to "$work/server" >/dev/null
"$publish" versions --to "$work/server" --product 2 --max 2 >/dev/null

echo '{"/update/1/FileConfig.xml": "close-mid-body"}' > "$work/rules1.json"
echo '{}' > "$work/rules2.json"
start_test_server "$work/server" "$work/rules1.json" "$work/port1"
start_test_server "$work/server" "$work/rules2.json" "$work/port2"
port1=$(cat "$work/port1") port2=$(cat "$work/port2")

cp -a "$work/v1/." "$work/install/"
cp "$win/bin/updater.exe" "$win/bin/kelvora.exe" "$work/install/"
printf '[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=127.0.0.1:%s\r\nTemp2=127.0.0.1:%s\r\n[HOME]\r\nURL=http://127.0.0.1:9/\r\n' \
  "$port1" "$port2" > "$work/install/UpdateTemp.ini"
run_updater "$work/install" "127.0.0.1:$port1"
[ "$status" = 0 ] || fail "the updater ended with status $status"
cmp -s "$work/install/readme.txt" "$work/v2/readme.txt" || fail "readme.txt is not version 2"
grep -q 'CurrentVersion=2' "$work/install/UpdateTemp.ini" || fail "version 2 was not recorded"
[ -f "$work/install/lobby-started.txt" ] || fail "the lobby was not started"
grep -q 'FileConfig.xml' "$work/port2.log" || fail "server 2 was never asked"
log=$(iconv -f GBK -t UTF-8 "$work/install/UpdateLog.log")
grep -q '放弃 1 号游戏服务器' <<<"$log" || fail "the abandoned server was not logged: $log"
pass "a cut manifest moves to the next server under Wine"
echo "$passed passed, 0 failed"
