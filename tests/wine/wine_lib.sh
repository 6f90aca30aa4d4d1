# Shared set-up of the Wine checks: a scratch directory, a virtual display,
# the Wine prefix in a Chinese locale, test servers, and clean-up on exit.
# Source it after setting "name"; then call wine_start.
#   win, linux, src   the Windows build, the Linux build, the source tree
#   work              the scratch directory
#   passed            checks passed so far; fail MESSAGE ends the script

wine_start() {
  win=$(cd "$1" && pwd)
  linux=$(cd "$2" && pwd)
  src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  for tool in wine Xvfb; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; echo "0 passed, 0 failed"; exit 0; }
  done
  work=$(mktemp -d "/tmp/updater-wine-$name-XXXXXX")
  pids=()
  passed=0
  trap wine_cleanup EXIT
  [ -n "${WINE_SMOKE_DEBUG:-}" ] && set -x
  export WINEPREFIX=$linux/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # A Chinese Windows: the ANSI code page is 936.
  if locale -a | grep -qi '^zh_CN.utf8$'; then export LC_ALL=zh_CN.UTF-8; fi
  local display=:$((300 + $$ % 50))
  Xvfb $display -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=$display
  for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  [ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
}

wine_cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  [ -n "${WINE_SMOKE_DEBUG:-}" ] || rm -rf "$work"
}

fail() { echo "FAIL: $*"; echo "$passed passed, 1 failed"; exit 1; }
pass() { echo "PASS: $*"; passed=$((passed + 1)); }

# start_test_server ROOT RULES_FILE PORT_FILE: the test update server on
# 127.0.0.1; its port ends up in PORT_FILE.
start_test_server() {
  python3 "$src/tools/test_server.py" --root "$1" --port-file "$3" --rules "$2" --log "$3.log" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$3" ] && break; sleep 0.05; done
  [ -s "$3" ] || fail "the test server did not start"
}

# run_updater INSTALL_DIR SERVER_WORD [MODE]: runs updater.exe there (mode
# word "auto" unless given) and waits for it; its exit status ends up in
# "status".
run_updater() {
  status=0
  (cd "$1" && exec wine updater.exe "$2" "${3:-auto}") &
  local updater=$!
  for _ in $(seq ${WINE_SMOKE_WAIT:-240}); do kill -0 $updater 2>/dev/null || break; sleep 0.5; done
  kill -0 $updater 2>/dev/null && { kill $updater; fail "the updater did not end (a message box waiting?)"; }
  wait $updater || status=$?
}

# start_nginx ROOT PORT_FILE: nginx serving ROOT on 127.0.0.1 (multi-range
# answers as a real server gives them); its port ends up in PORT_FILE and
# its access log, status and body bytes per request, in PORT_FILE.log.
start_nginx() {
  command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || { echo "SKIP: nginx is not installed"; echo "0 passed, 0 failed"; exit 0; }
  local nginx_bin dir port
  nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
  dir=$(mktemp -d "$work/nginx-XXXXXX")
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat > "$dir/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $dir/error.log;
pid $dir/nginx.pid;
events { worker_connections 64; }
http {
  log_format counted '"\$request" \$status \$body_bytes_sent';
  access_log $2.log counted;
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; root $1; }
}
CONF
  "$nginx_bin" -p "$dir" -c "$dir/nginx.conf" &
  pids+=($!)
  for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.05; done
  echo "$port" > "$2"
}
