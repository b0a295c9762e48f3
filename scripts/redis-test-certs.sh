#!/usr/bin/env bash
# Certificates for tests of TLS against a private Redis server, made afresh
# in DIR with openssl (nothing is kept between runs). Every server
# certificate shares DIR/server.key:
#   ca.crt, ca.der      the test CA, in PEM and in DER
#   localhost.crt       for localhost and 127.0.0.1, from the test CA
#   other.crt           for other.test only, from the test CA
#   expired.crt         for localhost and 127.0.0.1, from the test CA, expired yesterday
#   untrusted.crt       for localhost and 127.0.0.1, from a CA nobody is given
# Usage: redis-test-certs.sh DIR
set -euo pipefail
dir=${1:?usage: $0 DIR}
mkdir -p "$dir"
cd "$dir"
rm -f ./*.crt ./*.der ./*.key ./*.csr ./*.ext ./*.srl

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
ca() {  # ca NAME
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -subj "/CN=QuorCache test $1" -days 2 -out "$1.crt" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
}
server() {  # server NAME CA DAYS SUBJECT-ALT-NAMES
  printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$4" >"$1.ext"
  local first=${4%%,*}
  openssl req -new -key server.key -subj "/CN=${first#DNS:}" -out "$1.csr" 2>/dev/null
  openssl x509 -req -in "$1.csr" -CA "$2.crt" -CAkey "$2.key" -CAcreateserial -days "$3" -extfile "$1.ext" \
    -out "$1.crt" 2>/dev/null
}

ca ca
ca rogue
openssl x509 -in ca.crt -outform DER -out ca.der
key server.key
server localhost ca 2 DNS:localhost,IP:127.0.0.1
server other ca 2 DNS:other.test
server expired ca -1 DNS:localhost,IP:127.0.0.1
server untrusted rogue 2 DNS:localhost,IP:127.0.0.1
rm -f ./*.csr ./*.ext ./*.srl
