#!/usr/bin/env bash
# The Windows program under Wine: a run killed in the middle of a file
# leaves the bytes it had with their progress record, and the next start
# goes on from them instead of fetching the file again.
#   wine_resume_test.sh WIN32_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
name=resume
source "$(dirname "$0")/wine_lib.sh"
wine_start "$1" "$2"

mkdir -p "$work"/v1 "$work"/v2 "$work"/server "$work"/install
printf 'one\r\n' > "$work/v1/readme.txt"
touch -d "2026-01-01 12:00:00 UTC" "$work/v1/readme.txt"
cp "$work/v1/readme.txt" "$work/v2/readme.txt"
touch -d "2026-01-01 12:00:00 UTC" "$work/v2/readme.txt"
head -c 12000000 /dev/urandom > "$work/v2/pack.bin"
touch -d "2026-02-01 12:00:00 UTC" "$work/v2/pack.bin"
publish=$linux/bin/updater-publish
"$publish" release --version 1 --from "$work/v1" --to "$work/server" >/dev/null
"$publish" release --version 2 --from "$work/v2" --to "$work/server" >/dev/null
"$publish" versions --to "$work/server" --product 2 --max 2 >/dev/null

# The first run gets a third of every range, then the server goes quiet.
echo '{"/update/2/pack.bin": "stall"}' > "$work/rules.json"
start_test_server "$work/server" "$work/rules.json" "$work/port"
port=$(cat "$work/port")

cp -a "$work/v1/." "$work/install/"
cp "$win/bin/updater.exe" "$win/bin/kelvora.exe" "$work/install/"
printf '[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=127.0.0.1:%s\r\n[HOME]\r\nURL=http://127.0.0.1:9/\r\n' \
  "$port" > "$work/install/UpdateTemp.ini"
(cd "$work/install" && exec wine updater.exe "127.0.0.1:$port" auto) &
updater=$!
record="$work/install/pack.bin.update.2.progress"
for _ in $(seq 240); do [ -s "$record" ] && break; sleep 0.25; done
[ -s "$record" ] || { kill $updater 2>/dev/null; fail "no progress record was written"; }
# Killed from outside, as by the task manager: no code of ours runs.
wineserver -k 2>/dev/null || true
wait $updater 2>/dev/null || true
[ -f "$work/install/pack.bin.update.2" ] || fail "the pending copy is gone after the kill"
head -n 1 "$record" | grep -q '^updater-progress 1$' || fail "the record is not one: $(head -c 200 "$record")"
[ ! -f "$work/install/lobby-started.txt" ] || fail "the first run was not cut short"

echo '{}' > "$work/rules.json"
run_updater "$work/install" "127.0.0.1:$port"
[ "$status" = 0 ] || fail "the second run ended with status $status"
cmp -s "$work/install/pack.bin" "$work/v2/pack.bin" || fail "pack.bin is not version 2"
grep -q 'CurrentVersion=2' "$work/install/UpdateTemp.ini" || fail "version 2 was not recorded"
resumed=$(grep '"/update/2/pack.bin"' "$work/port.log" | grep -c 'If-Range' || true)
[ "$resumed" -ge 1 ] || fail "the second run fetched pack.bin again from zero"
[ ! -e "$work/install/pack.bin.update.2" ] && [ ! -e "$record" ] || fail "a kept copy was left behind"
pass "a run killed mid-file resumes on the next start under Wine ($resumed ranges resumed)"
echo "$passed passed, 0 failed"
