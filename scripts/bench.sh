#!/usr/bin/env bash
# Builds the Linux x86_64 target and runs both benchmarks (see bench/README.md):
#   bench_native  the provider's CryptoAPI against OpenSSL EVP, no JNI
#   bench.Bench   the bridge from Java against the JDK's own providers
# Containers go to a temporary key directory that is removed afterwards.
# Extra arguments go to both programs (--quick: a smoke run, numbers mean nothing).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh x86_64
b=build/x86_64
root=$(mktemp -d "${TMPDIR:-/tmp}/quill-bench.XXXXXX")
trap 'rm -rf "$root"' EXIT
export QUILL_CSP_ROOT="$root"
export QUILL_CSP_CONFIG="$root/csp.conf"

echo
echo "== native: provider CryptoAPI vs OpenSSL EVP"
"$b/bin/bench_native" "$@" 2>/dev/null
echo
echo "== Java: bridge vs JDK providers"
java -Djava.library.path="$b/lib" -cp "$b/java/quill-java.jar:$b/java/quill-bench.jar" bench.Bench "$@" 2>/dev/null
