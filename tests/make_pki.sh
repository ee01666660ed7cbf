#!/usr/bin/env bash
# Makes the certificates and PFX files the store and PFX tests import, with
# the openssl command line (and keytool when given a JDK's bin directory):
#   make_pki.sh OUTDIR [JDK_BIN]
# OUTDIR receives ca.pem/der, leaf.pem/der, leaf.key, chain.p7b (leaf then
# CA, DER PKCS #7), leaf.p12 (modern protection), leaf-legacy.p12 (3DES and
# RC2 with SHA-1), empty-password.p12, plain-certs.p12 (certificates not
# encrypted), pkup.p12 (a key whose certificate has
# a private key usage period), gost.der and gost.p12 (a self-signed GOST R
# 34.10-2012 256-bit certificate and its key, made with the GOST engine) and,
# with keytool, leaf-keytool.p12; all with password "secret" (but the one named
# so) and the friendly name "leaf" (but the GOST one, "gost").
set -euo pipefail
out="$1"
jdk="${2:-}"
mkdir -p "$out"
cd "$out"
[ -s gost.p12 ] && [ -s plain-certs.p12 ] && { [ -z "$jdk" ] || [ -s leaf-keytool.p12 ]; } && exit 0
ossl() { openssl "$@" 2>/dev/null; }
ossl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 \
  -subj "/CN=Quill Test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign"
ossl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -subj "/CN=Quill Test Leaf"
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n' >leaf.ext
ossl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial 2 -days 3650 -extfile leaf.ext \
  -out leaf.pem
# The same key with a private key usage period ending 2030-12-31 23:59:59 UTC.
printf '%s\n' 'basicConstraints=CA:FALSE' '2.5.29.16=DER:3011810f32303330313233313233353935395a' >pkup.ext
ossl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial 3 -days 3650 -extfile pkup.ext \
  -out pkup.pem
ossl pkcs12 -export -inkey leaf.key -in pkup.pem -name pkup -passout pass:secret -out pkup.p12
ossl x509 -in ca.pem -outform DER -out ca.der
ossl x509 -in leaf.pem -outform DER -out leaf.der
ossl crl2pkcs7 -nocrl -certfile leaf.pem -certfile ca.pem -outform DER -out chain.p7b
ossl pkcs12 -export -inkey leaf.key -in leaf.pem -certfile ca.pem -name leaf -passout pass:secret \
  -out leaf.p12
ossl pkcs12 -export -inkey leaf.key -in leaf.pem -name leaf -passout pass: -out empty-password.p12
# The certificates in a safe of their own that is not encrypted.
ossl pkcs12 -export -inkey leaf.key -in leaf.pem -certfile ca.pem -certpbe NONE -name leaf \
  -passout pass:secret -out plain-certs.p12
ossl pkcs12 -export -legacy -inkey leaf.key -in leaf.pem -certfile ca.pem -name leaf \
  -passout pass:secret -out leaf-legacy.p12
ossl req -engine gost -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout gost.key \
  -out gost.pem -days 3650 -subj "/CN=Quill Test GOST" \
  -addext "keyUsage=critical,digitalSignature,keyEncipherment"
ossl x509 -engine gost -in gost.pem -outform DER -out gost.der
ossl pkcs12 -engine gost -export -inkey gost.key -in gost.pem -name gost -passout pass:secret \
  -out gost.p12
if [ -n "$jdk" ]; then
  # A JDK key store with one key entry and its chain, converted by keytool.
  cat leaf.pem ca.pem >chain.pem
  ossl pkcs12 -export -inkey leaf.key -in chain.pem -name leaf -passout pass:secret -out tmp.p12
  rm -f leaf-keytool.p12
  "$jdk/keytool" -importkeystore -noprompt -srckeystore tmp.p12 -srcstoretype PKCS12 \
    -srcstorepass secret -destkeystore leaf-keytool.p12 -deststoretype PKCS12 \
    -deststorepass secret >/dev/null 2>&1
  rm -f tmp.p12
fi
