#!/usr/bin/env bash
# Runs native_tests.exe against quillnative.dll in a Wine prefix of its own,
# after setting the registry values the configuration reader is tested on,
# with an openssl s_server (TLS 1.2, on a free loopback port, stopped on
# exit) for the TLS test when a work directory is given.
set -euo pipefail
prefix="$1" exe="$2" dll="$3" tlsdir="${4:-}"
scripts="$(cd "$(dirname "$0")/../../scripts" && pwd)"
bash "$scripts/wine-prefix.sh" check
bash "$scripts/wine-prefix.sh" create "$prefix"
export WINEPREFIX="$(cd "$prefix" && pwd)" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

reg() { wine reg add "$@" /f >/dev/null; }
base='HKLM\SOFTWARE\Kestrel\Cryptography\CurrentVersion\Parameters'
reg "$base" /v StrengthenedKeyUsageControl /t REG_DWORD /d 1 /reg:32
reg "$base" /v Quad5 /t REG_QWORD /d 5 /reg:32
reg "$base" /v QuadBig /t REG_QWORD /d 4294967296 /reg:32
reg "$base" /v Text /t REG_SZ /d 1 /reg:32
reg 'HKLM\SOFTWARE\Kestrel\Settings\Limits' /v Max /t REG_DWORD /d 7 /reg:32
reg 'HKLM\SOFTWARE\Microsoft\Cryptography\Quill' /v Wide /t REG_DWORD /d 64 /reg:64
reg 'HKLM\SOFTWARE\Microsoft\Cryptography\Quill' /v Wide /t REG_DWORD /d 32 /reg:32
# The user's settings: Wine's user SID, and "Default" for a thread without one.
for who in S-1-5-21-0-0-0-1000 Default; do
  reg "HKLM\\SOFTWARE\\Kestrel\\Settings\\Users\\$who\\Prefs" /v Level /t REG_DWORD /d 3 /reg:32
done

tls_args=()
if [ -n "$tlsdir" ]; then
  rm -rf "$tlsdir" && mkdir -p "$tlsdir"
  (cd "$tlsdir"
   openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
     -subj /CN=localhost -addext subjectAltName=DNS:localhost 2>/dev/null
   yes 'quill tls record exchange 0123456789' | head -c 100000 > page.bin || true)
  # Starts s_server with the given options on a free port; prints the port.
  serve() {
    local log="$tlsdir/server-$#-$RANDOM.log" port
    for attempt in 1 2 3 4 5; do
      port=$(( 20000 + RANDOM % 20000 ))
      (cd "$tlsdir" && exec openssl s_server -accept "127.0.0.1:$port" -cert cert.pem -key key.pem \
         -tls1_2 "$@" </dev/null >"$log" 2>&1) &
      local pid=$!
      for _ in $(seq 50); do grep -q ACCEPT "$log" 2>/dev/null && break; sleep 0.1; done
      if grep -q ACCEPT "$log"; then echo "$pid $port"; return; fi
      kill "$pid" 2>/dev/null || true
    done
  }
  read -r www_pid www_port < <(serve -WWW)
  # One that asks for a client certificate (and takes none).
  read -r ask_pid ask_port < <(serve -WWW -verify 1 -CAfile cert.pem)
  trap 'kill "$www_pid" "$ask_pid" 2>/dev/null || true' EXIT
  tls_args=(--tls "$www_port" --tls-verify "$ask_port")
fi

dir="$(dirname "$dll")"
# Certificates and PFX files made by openssl for the store tests.
bash "$scripts/../tests/make_pki.sh" "$dir/pki"
[ "$(dirname "$exe")" -ef "$dir" ] || cp "$exe" "$dir/"
cd "$dir"
status=0
wine "./$(basename "$exe")" "$(basename "$dll")" --registry --pki pki "${tls_args[@]}" || status=$?
wineserver -w || true
exit $status
