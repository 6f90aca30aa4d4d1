#!/usr/bin/env bash
# The demo: publishes three signed versions of a small game with the
# publisher tool, serves them on 127.0.0.1, prepares an install directory at
# the oldest version with a stand-in lobby and the publisher's key, and runs
# the updater on it.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target updater updater-publish >/dev/null

demo=$top/build/demo
rm -rf "$demo"
mkdir -p "$demo"/{v5,server,install}
publish=$top/build/bin/updater-publish

# Version 5: what the installation has now.
mkdir -p "$demo/v5/data"
head -c 6000000 /dev/urandom > "$demo/v5/data/map.dat"
printf 'volume=7\n' > "$demo/v5/config.ini"
printf '欢迎来到游戏世界（第五版）\n' > "$demo/v5/游戏说明.txt"
cp "$top/build/bin/updater" "$demo/v5/updater"
# The window module, where the build has one (loaded only with a display).
[ ! -f "$top/build/bin/updater-gtk.so" ] || cp "$top/build/bin/updater-gtk.so" "$demo/v5/"
find "$demo/v5" -type f -exec touch -d "2026-05-01 12:00:00 UTC" {} +
# Version 6: a new map and a file in a new sub-directory.
cp -a "$demo/v5" "$demo/v6"
head -c 6500000 /dev/urandom > "$demo/v6/data/map.dat"
mkdir -p "$demo/v6/data/sounds"
head -c 300000 /dev/urandom > "$demo/v6/data/sounds/theme.ogg"
touch -d "2026-06-01 12:00:00 UTC" "$demo/v6/data/map.dat" "$demo/v6/data/sounds/theme.ogg"
# Version 7: new notes and a new build of the updater itself.
cp -a "$demo/v6" "$demo/v7"
printf '欢迎来到游戏世界（第七版）\n' > "$demo/v7/游戏说明.txt"
printf '\n# demo build 7\n' >> "$demo/v7/updater"
touch -d "2026-07-01 12:00:00 UTC" "$demo/v7/游戏说明.txt" "$demo/v7/updater"

port_file=$demo/port
python3 "$top/tools/test_server.py" --root "$demo/server" --port-file "$port_file" \
  --log "$demo/requests.log" >/dev/null &
server_pid=$!
trap 'kill $server_pid 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$port_file" ] && break; sleep 0.05; done
port=$(cat "$port_file")

"$publish" keygen --out "$demo/publisher.pem" > "$demo/UpdateTrust.pub"
for v in 5 6 7; do
  "$publish" release --version $v --from "$demo/v$v" --to "$demo/server" --sign "$demo/publisher.pem" >/dev/null
done
"$publish" versions --to "$demo/server" --product 7 --max 7 --url "127.0.0.1:$port" --sign "$demo/publisher.pem"

# The installation at version 5.
cp -a "$demo/v5/." "$demo/install/"
cp "$demo/UpdateTrust.pub" "$demo/install/"
cat > "$demo/install/kelvora.exe" <<'LOBBY'
#!/bin/sh
echo "kelvora.exe (stand-in lobby) started in $(pwd)" | tee -a lobby-started.txt
LOBBY
chmod +x "$demo/install/kelvora.exe"
printf '[Version]\r\nCurrentVersion=5\r\n[Temp]\r\nTemp1=127.0.0.1:%s\r\n[HOME]\r\nURL=http://127.0.0.1:%s/\r\n' \
  "$port" "$port" > "$demo/install/UpdateTemp.ini"

echo "== updating $demo/install from http://127.0.0.1:$port =="
set +e
(cd / && "$demo/install/updater" "127.0.0.1:$port" auto)
status=$?
set -e
sleep 0.5

echo
echo "== result =="
echo "updater exit status: $status"
grep -a CurrentVersion "$demo/install/UpdateTemp.ini" | tr -d '\r'
for f in data/map.dat data/sounds/theme.ogg 游戏说明.txt updater; do
  if cmp -s "$demo/install/$f" "$demo/v7/$f"; then echo "  $f: version 7"; else echo "  $f: NOT version 7"; fi
done
[ -f "$demo/install/lobby-started.txt" ] && echo "lobby: $(cat "$demo/install/lobby-started.txt")"
[ -f "$demo/install/UpdateLog.log" ] && { echo "UpdateLog.log:"; cat "$demo/install/UpdateLog.log"; }
exit $status
