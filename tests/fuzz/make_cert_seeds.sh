#!/usr/bin/env bash
# Writes the seed corpora of the certificate, TLS and bridge fuzz targets
# into tests/fuzz/corpus/<target> with the openssl CLI: certificates (EC
# keys, to keep the files small), PFX files protected with "fuzz" (one
# iteration, so that the fuzzer spends its time in the parser), certificate
# files in each format, system store files in the platform's layout, and a
# few truncated copies. Usage: tests/fuzz/make_cert_seeds.sh [corpus dir]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/corpus}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

cat >ext.cnf <<'EOF'
[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical, CA:true
keyUsage = keyCertSign, cRLSign
subjectKeyIdentifier = hash
[leaf]
basicConstraints = CA:false
keyUsage = digitalSignature, keyAgreement
extendedKeyUsage = serverAuth, clientAuth
subjectAltName = DNS:fuzz.example, email:fuzz@example.org, URI:https://fuzz.example/, IP:10.0.0.1
authorityKeyIdentifier = keyid
EOF
openssl ecparam -name prime256v1 -genkey -noout -out ca.key 2>/dev/null
openssl ecparam -name prime256v1 -genkey -noout -out leaf.key 2>/dev/null
openssl req -new -x509 -key ca.key -subj "/C=RU/O=Fuzz/CN=Fuzz CA" -days 3650 \
  -extensions ca -config ext.cnf -out ca.pem 2>/dev/null
openssl req -new -key leaf.key -utf8 -subj "/CN=Пример/O=Fuzz leaf/emailAddress=leaf@example.org" \
  -config ext.cnf -out leaf.csr
openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial 0x0102030405 -days 365 \
  -extfile ext.cnf -extensions leaf -out leaf.pem 2>/dev/null
openssl x509 -in ca.pem -outform DER -out ca.der
openssl x509 -in leaf.pem -outform DER -out leaf.der

put() {  # target name file...
  local dir=$out/$1 name=$2
  shift 2
  mkdir -p "$dir"
  cat "$@" >"$dir/$name"
}
byte() { printf "\\x$1"; }
cut_half() { head -c $(($(stat -c %s "$1") / 2)) "$1"; }

# fuzz_cert_der: the input is the DER.
put fuzz_cert_der ca ca.der
put fuzz_cert_der leaf leaf.der
cut_half leaf.der >leaf_half.der
put fuzz_cert_der leaf_truncated leaf_half.der

# fuzz_pfx: a control byte (password, flags), then the PFX. Password "fuzz"
# is index 2, none 0.
openssl pkcs12 -export -inkey leaf.key -in leaf.pem -certfile ca.pem -name "fuzz leaf" \
  -passout pass:fuzz -iter 1 -nomaciter -out full.pfx
openssl pkcs12 -export -inkey leaf.key -in leaf.pem -passout pass:fuzz -iter 1 -nomaciter \
  -legacy -out legacy.pfx 2>/dev/null
openssl pkcs12 -export -nokeys -in ca.pem -passout pass: -iter 1 -nomaciter -out certs.pfx
openssl pkcs12 -export -inkey leaf.key -in leaf.pem -passout pass:fuzz -iter 1 -nomac \
  -keypbe NONE -certpbe NONE -out plain.pfx
byte 02 >c2; byte 0a >c10; byte 00 >c0; byte 12 >c18; byte 23 >c35
put fuzz_pfx full c10 full.pfx
put fuzz_pfx legacy c2 legacy.pfx
put fuzz_pfx certs_only c0 certs.pfx
put fuzz_pfx plain c18 plain.pfx
put fuzz_pfx wrong_password_plain_only c35 full.pfx
cut_half full.pfx >full_half.pfx
put fuzz_pfx truncated c10 full_half.pfx

# fuzz_file_store: a control byte (0 blob, 1 narrow name, 2 wide name), then the file.
openssl crl2pkcs7 -nocrl -certfile leaf.pem -certfile ca.pem -outform DER -out chain.p7b
openssl crl2pkcs7 -nocrl -certfile leaf.pem -certfile ca.pem -out chain.p7b.pem
cat leaf.pem ca.pem >two.pem
byte 01 >c1
put fuzz_file_store der_blob c0 leaf.der
put fuzz_file_store pem_two_narrow c1 two.pem
put fuzz_file_store p7b_wide c2 chain.p7b
put fuzz_file_store p7b_pem_blob c0 chain.p7b.pem
cut_half two.pem >two_half.pem
put fuzz_file_store pem_truncated c1 two_half.pem
cut_half chain.p7b >chain_half.p7b
put fuzz_file_store p7b_truncated c0 chain_half.p7b

# fuzz_system_store: a control byte (bit 0 delete the first certificate,
# bit 1 build chains), then the store file: "QCSPST01", then per entry its
# length and its records (tag, length, data): the certificate (1),
# properties (2: id, value), key provider information (3) and what reopens
# a key (4: machine, spec, container name; 5: provider type).
python3 - "$out/fuzz_system_store" leaf.der ca.der <<'EOF'
import os, struct, sys
out, leaf, ca = sys.argv[1], open(sys.argv[2], 'rb').read(), open(sys.argv[3], 'rb').read()
os.makedirs(out, exist_ok=True)
u32 = lambda v: struct.pack('<I', v)
rec = lambda tag, data: u32(tag) + u32(len(data)) + data
def wide(s):
    return u32(0xFFFFFFFF) if s is None else u32(len(s)) + b''.join(u32(ord(c)) for c in s)
name = 'fuzz leaf\0'.encode('utf-16-le')
prov = wide('fuzz-container') + wide(None) + u32(24) + u32(0) + u32(1) + u32(1) + u32(7) + u32(0) + u32(3) + b'abc'
leaf_entry = (rec(1, leaf) + rec(2, u32(11) + name) + rec(2, u32(0x8001) + b'user') + rec(3, prov)
              + rec(4, u32(0) + u32(1) + b'fuzz-container') + rec(5, u32(75)))
ca_entry = rec(1, ca)
def store(*entries):
    return b'QCSPST01' + b''.join(u32(len(e)) + e for e in entries)
full = store(leaf_entry, ca_entry)
for name, control, data in [('two_read', 2, full), ('two_delete', 1, full),
                            ('duplicate_delete', 1, store(ca_entry, leaf_entry, ca_entry)),
                            ('empty', 0, store()), ('truncated', 0, full[:len(full) // 2]),
                            ('bad_magic', 1, b'QCSPST02' + full[8:])]:
    open(os.path.join(out, name), 'wb').write(bytes([control]) + data)
EOF

# fuzz_tls: the last byte picks the server (3 mod 4: the input is the
# server's stream; else a live server, the input steering its flights).
mkdir -p "$out/fuzz_tls"
: >"$out/fuzz_tls/live_clean"
printf 'steer\x04\x04\x04\x00\x00\x01' >"$out/fuzz_tls/live_pieces"
printf '\x05\x05\x05\x01\x00\x00' >"$out/fuzz_tls/live_flip"
printf '\x00\x01\x02\x00\x01\x00\x02\x01\x00\x00\x00\x02' >"$out/fuzz_tls/live_data"
# Raw: a handshake record (ServerHello header), an alert, a record too long.
printf '\x16\x03\x03\x00\x2a\x02\x00\x00\x26\x03\x03%032d\x00\x13\x01\x00\x03' 0 >"$out/fuzz_tls/raw_hello"
printf '\x15\x03\x03\x00\x02\x02\x28\x03' >"$out/fuzz_tls/raw_alert"
printf '\x16\x03\x03\xff\xff\x03' >"$out/fuzz_tls/raw_long"

# fuzz_bridge: the input is read from the end for choices and from the
# front for array contents; a few mixed byte strings.
mkdir -p "$out/fuzz_bridge"
python3 - "$out/fuzz_bridge" <<'EOF'
import os, sys
out = sys.argv[1]
seeds = {
    'publickeyblob': bytes([6, 2, 0, 0, 0, 0xa4, 0, 0]) + b'RSA1' + bytes([0, 2, 0, 0, 1, 0, 1, 0]) + bytes(64) + bytes([0x30, 0x00, 0x01, 0x00]),
    'simpleblob_foreign': bytes([1, 2, 0, 0, 0x0e, 0x66, 0, 0, 0, 0xa4, 0, 0]) + bytes(64) + bytes([0x40, 0x00, 0x00, 0x01, 0x01]),
    'params': bytes(range(0, 64)) + bytes([3, 4, 5, 6, 2, 2, 1, 0, 5, 6]),
    'export': bytes([0x10, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00, 0x01]),
}
for name, data in seeds.items():
    open(os.path.join(out, name), 'wb').write(data)
EOF
echo "seeds written to $out"
