#!/usr/bin/env bash
# The signature checks of the Windows program (CNG) under Wine, on documents
# signed by the Linux publisher (OpenSSL): a good signature is trusted, a
# tampered manifest, a tampered signature and a foreign key are not, and the
# file digest agrees with sha256sum. Then the updater itself: a signed update
# from the test server on 127.0.0.1 goes through, and a tampered manifest is
# refused with nothing of it installed. Entries bound for the Windows or
# System32 directory are refused from an unsigned manifest and installed
# there from a signed one.
#   wine_signature_test.sh WIN32_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
win=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
command -v wine >/dev/null || { echo "SKIP: wine is not installed"; echo "0 passed, 0 failed"; exit 0; }

work=$(mktemp -d /tmp/updater-wine-sig-XXXXXX)
pids=()
probe=$RANDOM$RANDOM
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -f "$WINEPREFIX"/drive_c/windows/kelvora_probe_"$probe"* "$WINEPREFIX"/drive_c/windows/system32/kelvora_probe_"$probe"*
  rm -rf "$work"
}
trap cleanup EXIT
export WINEPREFIX=$linux/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
passed=0 failed=0
check() {  # check NAME EXPECTED-OUTPUT ARGS...
  local name=$1 expected=$2 out
  shift 2
  out=$(cd "$work" && wine "$win/bin/trust_probe.exe" "$@" 2>/dev/null | tr -d '\r' || true)
  if [ "$out" = "$expected" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $name: expected '$expected', got '$out'"
  fi
}

publish=$linux/bin/updater-publish
mkdir -p "$work/game"
head -c 300000 /dev/urandom > "$work/game/data.bin"
"$publish" keygen --out "$work/k.pem" > "$work/UpdateTrust.pub"
"$publish" keygen --out "$work/other.pem" > "$work/other.pub"
"$publish" release --version 3 --from "$work/game" --to "$work/srv" --sign "$work/k.pem" >/dev/null
"$publish" versions --to "$work/srv" --product 3 --max 3 --sign "$work/k.pem" >/dev/null
cp -r "$work/srv/update" "$work/u"

check "signed manifest" trusted UpdateTrust.pub u/3/FileConfig.xml update/3/FileConfig.xml
check "signed version list" trusted UpdateTrust.pub u/VerAndUrl.xml update/VerAndUrl.xml expiring
check "manifest under another name" wrong-document UpdateTrust.pub u/3/FileConfig.xml update/4/FileConfig.xml
check "foreign key" unknown-key other.pub u/3/FileConfig.xml update/3/FileConfig.xml
check "file digest" "$(sha256sum "$work/game/data.bin" | cut -c1-64)" --sha256 game/data.bin

# One flipped byte in the manifest, then one in the signature.
python3 - "$work/u/3/FileConfig.xml" 200 <<'PY'
import sys
p, at = sys.argv[1], int(sys.argv[2])
b = bytearray(open(p, 'rb').read()); b[at] ^= 1; open(p, 'wb').write(b)
PY
check "tampered manifest" bad-signature UpdateTrust.pub u/3/FileConfig.xml update/3/FileConfig.xml
python3 - "$work/u/VerAndUrl.xml.sig" <<'PY'
import sys
p = sys.argv[1]
b = bytearray(open(p, 'rb').read()); b[-3] = ord('0') if b[-3] != ord('0') else ord('1'); open(p, 'wb').write(b)
PY
check "tampered signature" bad-signature UpdateTrust.pub u/VerAndUrl.xml update/VerAndUrl.xml expiring

# The updater: version 1 installed with the publisher's key, version 2
# published signed.
for tool in Xvfb xdpyinfo; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; echo "$passed passed, $failed failed"; [ $failed = 0 ]; exit; }
done
if locale -a | grep -qi '^zh_CN.utf8$'; then export LC_ALL=zh_CN.UTF-8; fi
display=:$((250 + $$ % 50))
Xvfb $display -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
src=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$work/v1" "$work/server"
head -c 400000 /dev/urandom > "$work/v1/level.dat"
printf 'first\r\n' > "$work/v1/notes.txt"
touch -d "2026-01-01 12:00:00 UTC" "$work/v1"/*
cp -a "$work/v1" "$work/v2"
head -c 500000 /dev/urandom > "$work/v2/level.dat"
printf 'second\r\n' > "$work/v2/notes.txt"
touch -d "2026-02-01 12:00:00 UTC" "$work/v2"/*
python3 "$src/tools/test_server.py" --root "$work/server" --port-file "$work/port" --log "$work/requests.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")
"$publish" release --version 1 --from "$work/v1" --to "$work/server" --sign "$work/k.pem" >/dev/null
"$publish" release --version 2 --from "$work/v2" --to "$work/server" --sign "$work/k.pem" >/dev/null
"$publish" versions --to "$work/server" --product 2 --max 2 --url "127.0.0.1:$port" --sign "$work/k.pem" >/dev/null

# run_update INSTALL_DIR [PORT [KEY_FILE, empty for none [LOG_TEXT]]]: the updater from
# version 1, until it ends or, given LOG_TEXT, has logged it (the failure dialog then waits).
run_update() {
  local dir=$1 at=${2:-$port} key=${3-$work/UpdateTrust.pub} until=${4:-}
  mkdir -p "$dir"
  cp -a "$work/v1/." "$dir/"
  cp "$win/bin/updater.exe" "$win/bin/kelvora.exe" "$dir/"
  [ -z "$key" ] || cp "$key" "$dir/"
  printf '[Version]\r\nCurrentVersion=1\r\n[Temp]\r\nTemp1=127.0.0.1:%s\r\n' "$at" > "$dir/UpdateTemp.ini"
  (cd "$dir" && exec wine updater.exe "127.0.0.1:$at" auto) >/dev/null 2>&1 &
  local updater=$!
  for _ in $(seq 240); do
    kill -0 $updater 2>/dev/null || break
    [ -n "$until" ] && grep -qF "$until" <(log_of "$dir") && break
    sleep 0.5
  done
  kill $updater 2>/dev/null || true
  wait $updater 2>/dev/null || true
}
expect() {  # expect NAME CONDITION...
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $name"; fi
}
log_of() { iconv -f GBK -t UTF-8 "$1/UpdateLog.log" 2>/dev/null || true; }

run_update "$work/signed"
expect "signed update installs version 2" cmp -s "$work/signed/level.dat" "$work/v2/level.dat"
expect "signed update records version 2" grep -q 'CurrentVersion=2' "$work/signed/UpdateTemp.ini"
expect "signed update logs nothing" test -z "$(log_of "$work/signed")"

python3 - "$work/server/update/2/FileConfig.xml" 300 <<'PY'
import sys
p, at = sys.argv[1], int(sys.argv[2])
b = bytearray(open(p, 'rb').read()); b[at] ^= 1; open(p, 'wb').write(b)
PY
run_update "$work/tampered" "$port" "$work/UpdateTrust.pub" "签名校验失败[update/2/FileConfig.xml]"
expect "tampered manifest installs nothing" cmp -s "$work/tampered/level.dat" "$work/v1/level.dat"
expect "tampered manifest keeps version 1" grep -q 'CurrentVersion=1' "$work/tampered/UpdateTemp.ini"
expect "tampered manifest is logged" grep -q '签名校验失败\[update/2/FileConfig.xml\], 原因 \[签名与内容不符\]' \
  <(log_of "$work/tampered")

# Version 2 adds a file whose entry is then bound for the Windows or the
# System32 directory: once unsigned (installed without the key), once signed
# again by the publisher's key over the edited manifest.
dll=kelvora_probe_$probe.dll
windir=$WINEPREFIX/drive_c/windows
mkdir -p "$work/sys2"
cp -a "$work/v1/." "$work/sys2/"
head -c 70000 /dev/urandom > "$work/sys2/$dll"
touch -d "2026-02-01 12:00:00 UTC" "$work/sys2/$dll"
bind_entry() {  # bind_entry MANIFEST KEYWORD [KEY_FILE]: the dll's entry goes to KEYWORD; signed again with KEY_FILE
  python3 - "$dll" "$@" <<'PY'
import subprocess, sys
name, path, keyword = sys.argv[1:4]
doc = open(path, "rb").read()
at = doc.index(b"<FileName>%s</FileName>" % name.encode())
start, end = doc.rindex(b"<File>", 0, at), doc.index(b"</File>", at)
entry = doc[start:end]
assert entry.count(b"<InstallDir>CURRENTDIR") == 1
doc = doc[:start] + entry.replace(b"<InstallDir>CURRENTDIR", b"<InstallDir>" + keyword.encode()) + doc[end:]
open(path, "wb").write(doc)
if len(sys.argv) > 4:
    lines = open(path + ".sig", "rb").read().split(b"\nsignature ")[0] + b"\n"
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", sys.argv[4]], input=doc + lines,
                         stdout=subprocess.PIPE, check=True).stdout
    # DER SEQUENCE of two INTEGERs to r || s.
    assert der[0] == 0x30 and der[1] < 0x80
    i, raw = 2, b""
    for _ in range(2):
        assert der[i] == 0x02
        size = der[i + 1]
        raw += der[i + 2:i + 2 + size].lstrip(b"\0").rjust(32, b"\0")
        i += 2 + size
    open(path + ".sig", "wb").write(lines + b"signature " + raw.hex().encode() + b"\n")
PY
}
# serve_release ROOT [--sign FILE]: versions 1 and 2 in ROOT, from the test server; its port in "sys_port"
serve_release() {
  local root=$1
  shift
  python3 "$src/tools/test_server.py" --root "$root" --port-file "$root.port" --log "$root.log" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$root.port" ] && break; sleep 0.05; done
  sys_port=$(cat "$root.port")
  "$publish" release --version 1 --from "$work/v1" --to "$root" "$@" >/dev/null
  "$publish" release --version 2 --from "$work/sys2" --to "$root" "$@" >/dev/null
  "$publish" versions --to "$root" --product 2 --max 2 --url "127.0.0.1:$sys_port" "$@" >/dev/null
}
for keyword in WINDOWSDIR SYSTEMDIR; do
  target=$windir
  [ $keyword = WINDOWSDIR ] || target=$windir/system32
  # A 32-bit program's system directory on a 64-bit Windows is SysWOW64.
  if [ $keyword = SYSTEMDIR ] && [ -d "$windir/syswow64" ] && ! file "$win/bin/updater.exe" | grep -q "PE32+"; then
    target=$windir/syswow64
  fi
  serve_release "$work/unsigned-$keyword"
  bind_entry "$work/unsigned-$keyword/update/2/FileConfig.xml" $keyword
  refused="文件列表未签名，不能写入系统目录，已跳过 [/$dll]"
  run_update "$work/unsigned-$keyword-install" "$sys_port" "" "$refused"
  expect "unsigned $keyword entry writes nothing there" test -z "$(find "$target" -maxdepth 1 -name "${dll%.dll}*")"
  expect "unsigned $keyword entry is not fetched" test -z "$(grep "$dll" "$work/unsigned-$keyword.log")"
  expect "unsigned $keyword entry is refused and logged" grep -qF "$refused" <(log_of "$work/unsigned-$keyword-install")
  expect "unsigned $keyword entry keeps version 1" grep -q 'CurrentVersion=1' "$work/unsigned-$keyword-install/UpdateTemp.ini"

  rm -f "$target/$dll"
  serve_release "$work/signed-$keyword" --sign "$work/k.pem"
  bind_entry "$work/signed-$keyword/update/2/FileConfig.xml" $keyword "$work/k.pem"
  run_update "$work/signed-$keyword-install" "$sys_port"
  expect "signed $keyword entry lands in $target" cmp -s "$target/$dll" "$work/sys2/$dll"
  expect "signed $keyword entry records version 2" grep -q 'CurrentVersion=2' "$work/signed-$keyword-install/UpdateTemp.ini"
  expect "signed $keyword entry logs nothing" test -z "$(log_of "$work/signed-$keyword-install")"
  rm -f "$target/$dll"
done

[ $failed = 0 ] && echo "PASS: signature checks of the Windows program under Wine"
echo "$passed passed, $failed failed"
[ $failed = 0 ]
