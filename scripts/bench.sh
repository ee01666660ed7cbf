#!/usr/bin/env bash
# Builds the Linux x86_64 target and runs the benchmarks (see bench/README.md):
#   bench_native   the provider's CryptoAPI against OpenSSL EVP, no JNI
#   bench.Bench    the bridge from Java against its limit and the JDK's own providers
#   bench.TlsBench TLS through the bridge against a C client on libssl and the
#                  JDK's SSLSocket, all of one local server (bench_tls_server;
#                  the C client is bench_tls_client)
# then draws the SHA-256 sweep of both into docs/performance.png
# (bench/plot.sh, gnuplot; installed here when missing and run as root).
# Each program's output is also kept in build/bench/. Containers go to a
# temporary key directory that is removed afterwards.
# Extra arguments go to the programs (--quick: a smoke run, numbers mean
# nothing, and no plot is drawn).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh x86_64
b=build/x86_64
out=build/bench
mkdir -p "$out"
root=$(mktemp -d "${TMPDIR:-/tmp}/quill-bench.XXXXXX")
trap 'rm -rf "$root"' EXIT
export QUILL_CSP_ROOT="$root"
export QUILL_CSP_CONFIG="$root/csp.conf"
rm -f "$out/sweep.csv"

echo
echo "== native: provider CryptoAPI vs OpenSSL EVP"
"$b/bin/bench_native" --csv "$out/sweep.csv" "$@" 2>/dev/null | tee "$out/native.txt"
echo
echo "== Java: bridge vs its limit and the JDK's providers"
java -Djava.library.path="$b/lib" -cp "$b/java/quill-java.jar:$b/java/quill-bench.jar" bench.Bench \
  --csv "$out/sweep.csv" "$@" 2>/dev/null | tee "$out/java.txt"
echo
echo "== TLS: bridge vs a C client on libssl and the JDK's SSLSocket"
quick=()
case " $* " in *" --quick "*) quick=(--quick) ;; esac
java -Djava.library.path="$b/lib" -cp "$b/java/quill-java.jar:$b/java/quill-bench.jar" bench.TlsBench \
  --server "$b/bin/bench_tls_server" --client "$b/bin/bench_tls_client" "${quick[@]}" 2>/dev/null | tee "$out/tls.txt"

case " $* " in *" --quick "*) exit 0 ;; esac
if ! command -v gnuplot >/dev/null && [ "$(id -u)" = 0 ]; then
  apt-get install -y -q gnuplot-nox >/dev/null 2>&1 || true
fi
if command -v gnuplot >/dev/null; then
  bash bench/plot.sh "$out/sweep.csv" docs/performance.png
  echo
  echo "plot: docs/performance.png (figures in $out/sweep.csv)"
else
  echo "no gnuplot: the plot was not drawn (figures in $out/sweep.csv)" >&2
fi
