#!/usr/bin/env bash
# The Windows program under Wine: a changed file is rebuilt from the chunks
# of the installed copy plus ranges of the new one (nginx answers the list
# of ranges in one multipart body), and "repair" mends a damaged file of the
# recorded version by fetching only its damaged chunks.
#   wine_delta_test.sh WIN32_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
name=delta
source "$(dirname "$0")/wine_lib.sh"
wine_start "$1" "$2"

mkdir -p "$work"/v1 "$work"/v2 "$work"/server "$work"/install
size=$((8 * 1024 * 1024))
head -c $size /dev/urandom > "$work/v1/pack.bin"
touch -d "2026-01-01 12:00:00 UTC" "$work/v1/pack.bin"
cp "$work/v1/pack.bin" "$work/v2/pack.bin"
# Three scattered rewrites of 8 KiB.
for at in 100000 3000000 7000000; do
  head -c 8192 /dev/urandom | dd of="$work/v2/pack.bin" bs=1 seek=$at conv=notrunc status=none
done
touch -d "2026-02-01 12:00:00 UTC" "$work/v2/pack.bin"
publish=$linux/bin/updater-publish
"$publish" release --version 1 --from "$work/v1" --to "$work/server" >/dev/null
"$publish" release --version 2 --from "$work/v2" --to "$work/server" >/dev/null
"$publish" versions --to "$work/server" --product 2 --max 2 >/dev/null
[ -f "$work/server/update/2/pack.bin.chunks" ] || fail "the publisher wrote no chunk index"

start_nginx "$work/server" "$work/port"
port=$(cat "$work/port")
cp -a "$work/v1/." "$work/install/"
cp "$win/bin/updater.exe" "$win/bin/kelvora.exe" "$work/install/"
printf '[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=127.0.0.1:%s\r\n[HOME]\r\nURL=http://127.0.0.1:9/\r\n' \
  "$port" > "$work/install/UpdateTemp.ini"

bytes_for() { grep "\"GET $1 " "$work/port.log" | awk '{s += $NF} END {print s + 0}'; }
run_updater "$work/install" "127.0.0.1:$port"
[ "$status" = 0 ] || fail "the update ended with status $status"
cmp -s "$work/install/pack.bin" "$work/v2/pack.bin" || fail "pack.bin is not version 2"
grep -q 'CurrentVersion=2' "$work/install/UpdateTemp.ini" || fail "version 2 was not recorded"
whole=$(grep '"GET /update/2/pack.bin ' "$work/port.log" | grep -c '" 200 ' || true)
[ "$whole" = 0 ] || fail "pack.bin was fetched whole: $(cat "$work/port.log")"
fetched=$(bytes_for /update/2/pack.bin)
[ "$fetched" -lt $((size / 20)) ] || fail "the delta update fetched $fetched bytes of $size"
pass "a delta update under Wine fetched $fetched of $size bytes in ranges"

# A damaged block in the middle of the installed file.
head -c 3000 /dev/zero | dd of="$work/install/pack.bin" bs=1 seek=5000000 conv=notrunc status=none
: > "$work/port.log"
run_updater "$work/install" "127.0.0.1:$port" repair
[ "$status" = 0 ] || fail "the repair ended with status $status"
cmp -s "$work/install/pack.bin" "$work/v2/pack.bin" || fail "pack.bin was not repaired"
whole=$(grep '"GET /update/2/pack.bin ' "$work/port.log" | grep -c '" 200 ' || true)
[ "$whole" = 0 ] || fail "the repair fetched pack.bin whole"
fetched=$(bytes_for /update/2/pack.bin)
[ "$fetched" -gt 0 ] && [ "$fetched" -le $((3 * 16384)) ] || fail "the repair fetched $fetched bytes"
grep -qa 'pack.bin]' "$work/install/UpdateLog.log" || fail "the log names no repaired file"
pass "repair under Wine fetched $fetched bytes for one damaged block"
echo "$passed passed, 0 failed"
