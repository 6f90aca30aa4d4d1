#!/usr/bin/env bash
# The Windows program under Wine with a Chinese ANSI code page (936) fetches
# Chinese file names from two kinds of static server: nginx, which keeps
# names in UTF-8 (the first request is the one), and a server whose names on
# disk are GBK bytes (UTF-8 is answered 404, then the GBK name is asked for).
#   wine_names_test.sh WIN32_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
name=names
source "$(dirname "$0")/wine_lib.sh"
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] ||
  { echo "SKIP: nginx is not installed"; echo "0 passed, 0 failed"; exit 0; }
wine_start "$1" "$2"
[ "${LC_ALL:-}" = zh_CN.UTF-8 ] || fail "the zh_CN.UTF-8 locale is missing (scripts/install-deps.sh)"

# Version 1 has one file; version 2 adds Chinese names in a Chinese folder.
mkdir -p "$work"/v1 "$work"/v2/地图 "$work"/utf8
printf 'one\r\n' > "$work/v1/readme.txt"
find "$work/v1" -type f -exec touch -d "2026-01-01 12:00:00 UTC" {} +
cp -a "$work/v1/." "$work/v2/"
head -c 300000 /dev/urandom > "$work/v2/地图/关卡一.dat"
printf '第二版说明\r\n' > "$work/v2/说明.txt"
touch -d "2026-02-01 12:00:00 UTC" "$work/v2/地图/关卡一.dat" "$work/v2/说明.txt"
publish=$linux/bin/updater-publish
"$publish" release --version 1 --from "$work/v1" --to "$work/utf8" >/dev/null
"$publish" release --version 2 --from "$work/v2" --to "$work/utf8" >/dev/null

# The same tree with its names as GBK bytes.
python3 - "$work/utf8" "$work/gbk" <<'PY'
import os, shutil, sys
src, dst = sys.argv[1], sys.argv[2]
for root, dirs, files in os.walk(src):
    rel = os.path.relpath(root, src)
    out = os.path.join(dst.encode(), *(p.encode("gbk") for p in rel.split(os.sep) if p != "."))
    os.makedirs(out, exist_ok=True)
    for f in files:
        shutil.copy2(os.path.join(root, f), os.path.join(out, f.encode("gbk")))
PY

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$1) 2>/dev/null && return 0; sleep 0.05; done; return 1; }

# Updates a fresh version-1 install from the server at 127.0.0.1:$1.
run_update() {
  local port=$1 name=$2 install=$work/install-$2
  for root in "$work/utf8" "$work/gbk"; do
    "$publish" versions --to "$root" --product 2 --max 2 --url "127.0.0.1:$port" >/dev/null
  done
  mkdir -p "$install"
  cp -a "$work/v1/." "$install/"
  cp "$win/bin/updater.exe" "$win/bin/kelvora.exe" "$install/"
  printf '[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=127.0.0.1:%s\r\n' "$port" > "$install/UpdateTemp.ini"
  local status=0
  (cd "$install" && exec wine updater.exe "127.0.0.1:$port" auto) &
  local updater=$!
  for _ in $(seq ${WINE_SMOKE_WAIT:-240}); do kill -0 $updater 2>/dev/null || break; sleep 0.5; done
  wait $updater || status=$?
  local log=""
  [ -f "$install/UpdateLog.log" ] && log=$(iconv -f GBK -t UTF-8 "$install/UpdateLog.log" || true)
  [ "$status" = 0 ] || fail "$name: the updater ended with status $status; log: $log"
  [ -z "$log" ] || fail "$name: failures were logged: $log"
  for f in 地图/关卡一.dat 说明.txt; do
    cmp -s "$install/$f" "$work/v2/$f" || fail "$name: $f is not version 2"
  done
  grep -q 'CurrentVersion=2' "$install/UpdateTemp.ini" || fail "$name: version 2 was not recorded"
}

# nginx, UTF-8 names on disk.
port=$(free_port)
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $work/nginx/error.log;
pid $work/nginx/nginx.pid;
events { worker_connections 64; }
http {
  access_log $work/nginx/access.log;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; root $work/utf8; }
}
CONF
nginx=$(command -v nginx || echo /usr/sbin/nginx)
"$nginx" -p "$work/nginx" -c "$work/nginx/nginx.conf" &
pids+=($!)
wait_port "$port" || fail "nginx did not start"
run_update "$port" nginx
grep -q '"GET /update/2/%E8%AF%B4%E6%98%8E.txt HTTP/1.1" 200' "$work/nginx/access.log" ||
  fail "nginx: the UTF-8 name was not fetched: $(cat "$work/nginx/access.log")"
! grep -q ' 404 ' "$work/nginx/access.log" || fail "nginx: a request was answered 404: $(grep ' 404 ' "$work/nginx/access.log")"
passed=$((passed + 1))
echo "PASS: UTF-8 names from nginx"

# The test update server, GBK names on disk and nothing else accepted.
python3 "$src/tools/test_server.py" --root "$work/gbk" --path-encoding gbk --port-file "$work/gbk-port" \
  --log "$work/gbk-requests.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/gbk-port" ] && break; sleep 0.05; done
run_update "$(cat "$work/gbk-port")" gbk
requests=$(python3 -c 'import json,sys; [print(json.loads(l)["raw_path"]) for l in open(sys.argv[1])]' \
  "$work/gbk-requests.log")
utf8_at=$(echo "$requests" | grep -n -m1 '^/update/2/%E8%AF%B4%E6%98%8E.txt$' | cut -d: -f1 || true)
gbk_at=$(echo "$requests" | grep -n -m1 '^/update/2/%CB%B5%C3%F7.txt$' | cut -d: -f1 || true)
[ -n "$utf8_at" ] && [ -n "$gbk_at" ] && [ "$utf8_at" -lt "$gbk_at" ] ||
  fail "gbk: expected the UTF-8 name, then the GBK name; requests: $requests"
passed=$((passed + 1))
echo "PASS: GBK names after a 404 for the UTF-8 name"

# Names code page 936 cannot spell, in an install whose own name it cannot
# spell either: only the wide API gets them right. The big files are fetched
# in parallel ranges and read back for their digest; one of them is taken up
# from a pending copy an earlier run left, with its progress record.
mkdir -p "$work/w1" "$work/w2/音乐"
printf 'one\r\n' > "$work/w1/readme.txt"
touch -d "2026-01-01 12:00:00 UTC" "$work/w1/readme.txt"
cp -a "$work/w1/." "$work/w2/"
head -c $((5 << 20)) /dev/urandom > "$work/w2/音乐/łódź.ogg"
head -c $((5 << 20)) /dev/urandom > "$work/w2/音乐/żółw.ogg"
printf 'Łódź\r\n' > "$work/w2/łódź.txt"
touch -d "2026-02-01 12:00:00 UTC" "$work/w2/音乐"/* "$work/w2/łódź.txt"
"$publish" release --version 1 --from "$work/w1" --to "$work/wide" >/dev/null
"$publish" release --version 2 --from "$work/w2" --to "$work/wide" >/dev/null
"$publish" versions --to "$work/wide" --product 2 --max 2 >/dev/null
start_nginx "$work/wide" "$work/wide-port"
wide_port=$(cat "$work/wide-port")
dead_port=$(free_port)
install=$work/install-łódź
mkdir -p "$install/音乐"
cp -a "$work/w1/." "$install/"
cp "$win/bin/updater.exe" "$win/bin/kelvora.exe" "$install/"
printf '[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=127.0.0.1:%s\r\nTemp2=127.0.0.1:%s\r\n' \
  "$dead_port" "$wide_port" > "$install/UpdateTemp.ini"
music=%E9%9F%B3%E4%B9%90
etag=$(curl -sfI "http://127.0.0.1:$wide_port/update/2/$music/%C5%BC%C3%B3%C5%82w.ogg" | tr -d '\r' |
  sed -n 's/^[Ee][Tt]ag: //p' || true)
[ -n "$etag" ] || fail "wide: nginx gave no ETag for żółw.ogg"
python3 - "$work/w2/音乐/żółw.ogg" "$install/音乐/żółw.ogg.update.2" "$etag" <<'PY'
import hashlib, sys
source, pending, etag = sys.argv[1:]
data = open(source, "rb").read()
# Half of each of the five parts is on disk, the rest of the copy is zeros.
firsts = [i * len(data) // 5 for i in range(5)]
ends = firsts[1:] + [len(data)]
copy = bytearray(len(data))
body = "updater-progress 1\nlength %d\nvalidator etag %s\n" % (len(data), etag)
for first, end in zip(firsts, ends):
    done = (end - first) // 2
    copy[first:first + done] = data[first:first + done]
    body += "part %d %d\n" % (first, done)
open(pending, "wb").write(copy)
open(pending + ".progress", "w").write(body + "check " + hashlib.md5(body.encode()).hexdigest() + "\n")
PY
run_updater "$install" "127.0.0.1:$dead_port"
[ "$status" = 0 ] || fail "wide: the updater ended with status $status"
for f in 音乐/łódź.ogg 音乐/żółw.ogg łódź.txt; do
  cmp -s "$install/$f" "$work/w2/$f" || fail "wide: $f is not version 2"
done
grep -q 'CurrentVersion=2' "$install/UpdateTemp.ini" || fail "wide: version 2 was not recorded"
[ -f "$install/UpdateLog.log" ] || fail "wide: no UpdateLog.log in the install: $(ls "$install")"
log=$(iconv -f GBK -t UTF-8 "$install/UpdateLog.log")
grep -q '放弃 1 号游戏服务器' <<<"$log" || fail "wide: the dead server was not logged: $log"
lossy=$(find "$work" -name '*[?]*')
[ -z "$lossy" ] || fail "wide: written under a lossy name: $lossy"
[ -z "$(find "$install" -name '*.update.*')" ] || fail "wide: a pending copy was left: $(find "$install" -name '*.update.*')"
ranges=$(grep -c "\"GET /update/2/$music/%C5%82%C3%B3d%C5%BA.ogg HTTP/1.1\" 206 " "$work/wide-port.log" || true)
[ "$ranges" = 5 ] || fail "wide: łódź.ogg was not fetched in five ranges: $(cat "$work/wide-port.log")"
resumed=$(awk '/%C5%BC%C3%B3%C5%82w.ogg/ && / 206 / { n += $NF } END { print n + 0 }' "$work/wide-port.log")
[ "$resumed" -gt 0 ] && [ "$resumed" -le $(((5 << 20) / 2 + 5)) ] ||
  fail "wide: żółw.ogg was not taken up from its pending copy ($resumed bytes): $(cat "$work/wide-port.log")"
passed=$((passed + 1))
echo "PASS: names outside the code page, in an install named outside it"
echo "$passed passed, 0 failed"
