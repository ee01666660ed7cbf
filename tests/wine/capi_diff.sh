#!/usr/bin/env bash
# Runs the capi_diff call sequences on this CSP and, under Wine, on Wine's
# CryptoAPI, and compares the transcripts (capi_diff.py):
#   capi_diff.sh LINUX_PROGRAM WINDOWS_PROGRAM PKI_DIR WORK_DIR
set -euo pipefail
linux="$1" exe="$2" pki="$3" work="$4"
here="$(cd "$(dirname "$0")" && pwd)"
scripts="$here/../../scripts"
mkdir -p "$work"
work="$(cd "$work" && pwd)"
rm -rf "$work/csp"
QUILL_CSP_ROOT="$work/csp" QUILL_CSP_CONFIG="$work/csp/none.conf" "$linux" "$pki" >"$work/ours.txt"
bash "$scripts/wine-prefix.sh" check
bash "$scripts/wine-prefix.sh" create "$work/prefix"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cd "$work"
env -u DISPLAY wine "$exe" "$pki" >"$work/wine.txt" 2>"$work/wine.log"
wineserver -w || true
python3 "$here/capi_diff.py" "$work/wine.txt" "$work/ours.txt" "$here/capi_diff.expect"
