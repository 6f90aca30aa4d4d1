#!/usr/bin/env bash
# The signature checks of the Windows program (CNG) under Wine, on documents
# signed by the Linux publisher (OpenSSL): a good signature is trusted, a
# tampered manifest, a tampered signature and a foreign key are not, and the
# file digest agrees with sha256sum.
#   wine_signature_test.sh WIN32_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
win=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
command -v wine >/dev/null || { echo "SKIP: wine is not installed"; echo "0 passed, 0 failed"; exit 0; }

work=$(mktemp -d /tmp/updater-wine-sig-XXXXXX)
trap 'rm -rf "$work"' EXIT
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

[ $failed = 0 ] && echo "PASS: signature checks of the Windows program under Wine"
echo "$passed passed, $failed failed"
[ $failed = 0 ]
