#!/usr/bin/env bash
# Draws SHA-256 throughput against message size for the bridge, its limit,
# the provider, OpenSSL and the JDK from the benchmarks' --csv output
# (side,bytes,MB/s lines) into a PNG. Usage: bench/plot.sh SWEEP.csv OUT.png
set -euo pipefail
csv=$1
out=$2
command -v gnuplot >/dev/null || { echo "plot.sh: gnuplot is not installed" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
plots=()
for side in bridge limit provider OpenSSL JDK; do
  grep "^$side," "$csv" | cut -d, -f2,3 | tr , ' ' | sort -n >"$work/$side.dat" || true
  [ -s "$work/$side.dat" ] && plots+=("'$work/$side.dat' using 1:2 with linespoints lw 2 title '$side'")
done
[ ${#plots[@]} -gt 0 ] || { echo "plot.sh: no figures in $csv" >&2; exit 1; }
joined=$(IFS=,; echo "${plots[*]}")
gnuplot <<GP
set terminal pngcairo size 900,560 font ",11" noenhanced
set output '$out'
set title 'SHA-256: create, hash, value, destroy - throughput by message size (one run)'
set logscale x 2
set logscale y 10
set xtics ("16 B" 16, "64 B" 64, "256 B" 256, "1 KiB" 1024, "4 KiB" 4096, "16 KiB" 16384, "64 KiB" 65536, "1 MiB" 1048576)
set xlabel 'message size'
set ylabel 'MB/s (10^6 bytes)'
set key left top
set grid
plot $joined
GP
