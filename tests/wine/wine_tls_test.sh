#!/usr/bin/env bash
# The Windows program's TLS (SChannel) under Wine, against nginx over TLS on
# 127.0.0.1 with certificates from a test CA that this test puts into the
# Wine prefix's root store and takes out again: a trusted certificate carries
# a download, an expired, a wrong-host and an untrusted one fail with their
# reason, the updater brings an install from version 1 to 2 over https, and
# then to version 3, many small files, over fewer connections than files.
#   wine_tls_test.sh WIN32_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
win=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
for tool in wine nginx openssl Xvfb; do
  command -v $tool >/dev/null || [ -x /usr/sbin/$tool ] ||
    { echo "SKIP: $tool is not installed"; echo "0 passed, 0 failed"; exit 0; }
done

work=$(mktemp -d /tmp/updater-wine-tls-XXXXXX)
pids=()
trusted=0
export WINEPREFIX=$linux/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  [ -n "${updater:-}" ] && kill "$updater" 2>/dev/null
  [ "$trusted" = 1 ] && wine "$win/bin/root_store.exe" remove "$work/certs/ca.pem" >/dev/null 2>&1 || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  [ -n "${WINE_TLS_DEBUG:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
passed=0
failed=0
check() {  # name, condition result
  if [ "$2" = 0 ]; then passed=$((passed + 1)); echo "PASS: $1"; else failed=$((failed + 1)); echo "FAIL: $1"; fi
}

bash "$src/tests/support/make_test_certs.sh" "$work/certs"
mkdir -p "$work/root/update" "$work/v1" "$work/install"
head -c 3000000 /dev/urandom > "$work/root/update/big.bin"
# Two versions of a small game, the second with a file fetched in ranges.
printf 'first\r\n' > "$work/v1/readme.txt"
head -c 1000 /dev/urandom > "$work/v1/game.dat"
touch -d "2026-01-01 12:00:00 UTC" "$work/v1/readme.txt" "$work/v1/game.dat"
cp -a "$work/v1" "$work/v2"
head -c 2500000 /dev/urandom > "$work/v2/game.dat"
touch -d "2026-02-01 12:00:00 UTC" "$work/v2/game.dat"
"$linux/bin/updater-publish" release --version 1 --from "$work/v1" --to "$work/root" >/dev/null
"$linux/bin/updater-publish" release --version 2 --from "$work/v2" --to "$work/root" >/dev/null
port_of() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
declare -A ports
for name in good expired wronghost untrusted; do
  port=$(port_of)
  ports[$name]=$port
  mkdir -p "$work/nginx-$name"
  cat > "$work/nginx-$name/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
error_log $work/nginx-$name/error.log; pid $work/nginx-$name/nginx.pid;
events { worker_connections 16; }
http {
  log_format serial '\$request \$status \$connection';
  access_log $work/nginx-$name/access.log serial;
  client_body_temp_path $work/nginx-$name/body; proxy_temp_path $work/nginx-$name/proxy;
  fastcgi_temp_path $work/nginx-$name/fastcgi; uwsgi_temp_path $work/nginx-$name/uwsgi;
  scgi_temp_path $work/nginx-$name/scgi;
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $work/certs/$name.pem; ssl_certificate_key $work/certs/$name.key;
    root $work/root;
  }
}
CONF
  nginx -p "$work/nginx-$name" -c "$work/nginx-$name/nginx.conf" &
  pids+=($!)
done
for name in "${!ports[@]}"; do
  for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/${ports[$name]}) 2>/dev/null && break; sleep 0.05; done
done

display=:$((250 + $$ % 50))
Xvfb $display -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
[ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
wine "$win/bin/root_store.exe" add "$work/certs/ca.pem" || { echo "FAIL: the test CA was not added"; exit 1; }
trusted=1

probe() {  # name, host -> prints the probe's line, returns its status
  wine "$win/bin/tls_probe.exe" "$2" "${ports[$1]}" /update/big.bin "$work/out-$1.bin" 2>&1 | tr -d '\r'
}
out=$(probe good localhost) && status=0 || status=$?
echo "good: $out"
check "trusted certificate carries a download" \
  "$([ "$status" = 0 ] && cmp -s "$work/out-good.bin" "$work/root/update/big.bin"; echo $?)"
# Failure codes of platform::TlsFailure: 3 expired, 4 wrong host, 5 untrusted.
for expectation in expired:3 wronghost:4 untrusted:5; do
  name=${expectation%%:*}
  out=$(probe "$name" localhost) && status=0 || status=$?
  echo "$name: $out"
  check "$name certificate fails with its reason" "$([ "$status" = 2 ] && [ "$out" = "failure ${expectation#*:}" ]; echo $?)"
done
# The updater, from version 1 to 2 over https. Server entries longer than 20
# characters are kept scrambled, as the version list hands them out.
base="https://localhost:${ports[good]}"
"$linux/bin/updater-publish" versions --to "$work/root" --product 2 --max 2 --url "$base" >/dev/null
entry=$(python3 -c 'import sys; a=sys.argv[1]; print("KelvoraUpdateMirror0" + "".join(chr(ord(c) - (-1, 1, 3)[k % 3]) for k, c in enumerate(a)))' "$base")
cp -a "$work/v1/." "$work/install/"
cp "$win/bin/updater.exe" "$win/bin/kelvora.exe" "$work/install/"
printf '[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=%s\r\n' "$entry" > "$work/install/UpdateTemp.ini"
(cd "$work/install" && exec wine updater.exe localhost auto) &
updater=$!
for _ in $(seq 240); do kill -0 $updater 2>/dev/null || break; sleep 0.5; done
wait $updater && status=0 || status=$?
updater=
same=0
for f in readme.txt game.dat; do cmp -s "$work/install/$f" "$work/v2/$f" || same=1; done
check "the updater updates over https" "$([ "$status" = 0 ] && [ "$same" = 0 ] &&
  grep -q 'CurrentVersion=2' "$work/install/UpdateTemp.ini" && [ -f "$work/install/lobby-started.txt" ] &&
  [ ! -s "$work/install/UpdateLog.log" ]; echo $?)"
[ -s "$work/install/UpdateLog.log" ] && iconv -f GBK -t UTF-8 "$work/install/UpdateLog.log"

# Version 3 adds many small files; kept connections carry them.
small=40
cp -a "$work/v2" "$work/v3"
mkdir -p "$work/v3/small"
for i in $(seq $small); do head -c 4096 /dev/urandom > "$work/v3/small/s$i.bin"; done
"$linux/bin/updater-publish" release --version 3 --from "$work/v3" --to "$work/root" >/dev/null
"$linux/bin/updater-publish" versions --to "$work/root" --product 3 --max 3 --url "$base" >/dev/null
(cd "$work/install" && exec wine updater.exe localhost auto) &
updater=$!
for _ in $(seq 240); do kill -0 $updater 2>/dev/null || break; sleep 0.5; done
wait $updater && status=0 || status=$?
updater=
same=0
for i in $(seq $small); do cmp -s "$work/install/small/s$i.bin" "$work/v3/small/s$i.bin" || same=1; done
log=$work/nginx-good/access.log
fetched=$(grep -c "^GET /update/3/small/s[0-9]*\.bin HTTP/1\.1 200 " "$log" || true)
connections=$({ grep "^GET /update/3/small/" "$log" || true; } | awk '{print $NF}' | sort -u | wc -l)
echo "version 3: $fetched small files fetched over $connections connections"
check "many small files over https share connections" "$([ "$status" = 0 ] && [ "$same" = 0 ] &&
  grep -q 'CurrentVersion=3' "$work/install/UpdateTemp.ini" && [ "$fetched" = "$small" ] &&
  [ "$connections" -lt "$small" ]; echo $?)"
[ -s "$work/install/UpdateLog.log" ] && iconv -f GBK -t UTF-8 "$work/install/UpdateLog.log"

wine "$win/bin/root_store.exe" remove "$work/certs/ca.pem" >/dev/null && trusted=0
out=$(probe good localhost) && status=0 || status=$?
echo "good, CA removed: $out"
check "the test CA is trusted only while it is in the root store" "$([ "$out" = "failure 5" ]; echo $?)"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
