#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz, clang with ASan and UBSan) in
# build/fuzz and runs each for the given number of seconds (default 60),
# starting from the seed corpus in tests/fuzz/corpus/<target>. New inputs go
# to build/fuzz/corpus/<target>; crashes, leaks and timeouts to
# build/fuzz/artifacts/<target>/. Usage: scripts/fuzz.sh [seconds] [target...]
#   FUZZ_RUNS=N   stop a target after N executions (the seconds stay a cap)
#   FUZZ_JOBS=N   run N targets at once (default 1)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] ||
  # The slowest first, so that with FUZZ_JOBS the fast ones fill in behind.
  targets=(fuzz_container fuzz_tls fuzz_handles fuzz_params fuzz_system_store fuzz_pfx
    fuzz_file_store fuzz_cert_der fuzz_cipher fuzz_import_key fuzz_bridge fuzz_codepage)

# The project's own dependencies, then libFuzzer, which comes with clang's
# runtime (Debian's clang and libclang-rt-14-dev).
bash scripts/install-deps.sh
if ! command -v clang++ >/dev/null || ! dpkg -s libclang-rt-14-dev >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ]; then
    apt-get install -y -q clang libclang-rt-14-dev >/dev/null
  else
    sudo apt-get install -y -q clang libclang-rt-14-dev >/dev/null
  fi
fi
mkdir -p build
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DQUILL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  >build/fuzz-configure.log 2>&1 || { cat build/fuzz-configure.log; exit 1; }
cmake --build build/fuzz -j2 --target "${targets[@]}" >build/fuzz-build.log 2>&1 ||
  { tail -60 build/fuzz-build.log; exit 1; }

# A legacy character set for CP_ACP: the locale the platform tests build.
if [ -z "${LOCPATH:-}" ] && [ -d build/x86_64/tests/locale/ru_RU.CP1251 ]; then
  export LOCPATH=$PWD/build/x86_64/tests/locale
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# An error left in OpenSSL's queue by an exported function is a finding too.
export QUILL_CHECK_ERROR_QUEUE=${QUILL_CHECK_ERROR_QUEUE:-1}
# One target: the timed run, then the leak check over its corpus. Its log
# ends with a line saying whether it found a fault.
run_target() {
  local t=$1 work=build/fuzz/corpus/$1 art=build/fuzz/artifacts/$1 seeds=tests/fuzz/corpus/$1
  mkdir -p "$work" "$art"
  [ -d "$seeds" ] || seeds=
  # Leaks are looked for once over the corpus, after the timed run: checked
  # after every input, the stop-the-world scans of a 500 MB process (caches
  # that grow in OpenSSL, the handle table) cut the certificate targets'
  # rate by an order of magnitude. Set QUILL_FUZZ_LEAKS=1 to check each.
  if build/fuzz/bin/"$t" -max_total_time="$seconds" ${FUZZ_RUNS:+-runs=$FUZZ_RUNS} \
      -detect_leaks="${QUILL_FUZZ_LEAKS:-0}" -timeout=20 -rss_limit_mb=3072 \
      -artifact_prefix="$art/" -print_final_stats=1 "$work" $seeds >"build/fuzz/$t.log" 2>&1 &&
     build/fuzz/bin/"$t" -runs=0 -detect_leaks=1 -artifact_prefix="$art/" "$work" \
      >"build/fuzz/$t.leaks.log" 2>&1; then
    echo "== $t: $(grep -o 'stat::number_of_executed_units: [0-9]*' "build/fuzz/$t.log" |
      grep -o '[0-9]*$') executions in $(grep -o 'stat::average_exec_per_sec: *[0-9]*' \
      "build/fuzz/$t.log" | grep -o '[0-9]*$')/s, no finding"
  else
    echo "!! $t found a fault: see build/fuzz/$t.log, build/fuzz/$t.leaks.log and $art/"
    tail -n 40 "build/fuzz/$t.log" "build/fuzz/$t.leaks.log" 2>/dev/null
    return 1
  fi
}

echo "== ${#targets[@]} targets, ${seconds}s each${FUZZ_RUNS:+ or $FUZZ_RUNS executions}, ${FUZZ_JOBS:-1} at a time"
status=0
running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "${FUZZ_JOBS:-1}" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  run_target "$t" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit $status
