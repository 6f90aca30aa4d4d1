#!/usr/bin/env bash
# Makes the certificates of the TLS tests in DIR (created if missing):
#   ca.pem                    the test CA; clients are told to trust it
#   good.pem, good.key        localhost and 127.0.0.1, issued by the test CA
#   expired.pem, expired.key  the same names, validity ended in 2021
#   wronghost.pem, .key       issued by the test CA for other.invalid only
#   untrusted.pem, .key       localhost and 127.0.0.1, issued by a CA nobody trusts;
#                             the file holds that CA too, as servers send chains
#   make_test_certs.sh DIR
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"

cat > ext.cnf <<'CNF'
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[local]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
authorityKeyIdentifier = keyid
[other]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.invalid
authorityKeyIdentifier = keyid
[ca]
default_ca = test_ca
[test_ca]
database = index.txt
serial = serial
new_certs_dir = .
default_md = sha256
policy = any
[any]
commonName = supplied
CNF

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
authority() {  # name, subject
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 3650 -subj "/CN=$2" \
    -config ext.cnf -extensions ca_ext 2>/dev/null
}
leaf() {  # name, issuer, extension section
  key "$1.key"
  openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$1" 2>/dev/null
  openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -set_serial "0x$(openssl rand -hex 8)" \
    -days 825 -sha256 -extfile ext.cnf -extensions "$3" -out "$1.pem" 2>/dev/null
}

authority ca "Updater Test CA"
authority stranger "Stranger CA"
leaf good ca local
leaf wronghost ca other
leaf untrusted stranger local
cat stranger.pem >> untrusted.pem

# A certificate whose time is over, issued in the past by the test CA.
key expired.key
openssl req -new -key expired.key -out expired.csr -subj /CN=expired 2>/dev/null
: > index.txt
echo 01 > serial
openssl ca -batch -config ext.cnf -keyfile ca.key -cert ca.pem -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20210101000000Z -extfile ext.cnf -extensions local \
  -notext 2>/dev/null

rm -f ./*.csr index.txt* serial* 01.pem stranger.key stranger.pem ext.cnf
