#!/usr/bin/env bash
# The reliability program at full size, after ./scripts/build.sh x86_64 i686:
#   1. the call storm: 10^6 calls in the 64-bit JVM, 10^5 in the 32-bit one;
#   2. the sanitizers over the native tests and the JUnit suites (sanitize.sh);
#   3. every fuzz target from its corpus for FUZZ_RUNS executions (default
#      10^6, at most FUZZ_SECONDS seconds each, default 5400), two at a time;
#   4. the kill test with 200 kills;
#   5. the lying TLS peer (HostilePeerTest, within the x86_64 JUnit suite).
# Then one summary line per item. Usage: scripts/reliability.sh [item...]
# (default all five; e.g. "1 4" runs the storm and the kill test only).
# About two hours on a 2-core machine, most of it the parameter, container
# and TLS fuzz targets (a few hundred executions a second under the
# sanitizers; the certificate targets a few thousand).
# Logs: build/reliability/.
set -uo pipefail
cd "$(dirname "$0")/.."
out=build/reliability
mkdir -p "$out"
declare -A line
items=("$@")
[ ${#items[@]} -gt 0 ] || items=(1 2 3 4 5)
want() { [[ " ${items[*]} " == *" $1 "* ]]; }
s64=0 s32=0 fz=0 ck=0 hp=0 sz=0
fig() { grep -ho "$2" "$1" | head -1; }

if want 1; then
  QUILL_STORM_CALLS=1000000 ctest --test-dir build/x86_64 -R 'x86_64\.storm$' -V >"$out/storm64.log" 2>&1
  s64=$?
  QUILL_STORM_CALLS=100000 ctest --test-dir build/i686 -R 'i686\.storm$' -V >"$out/storm32.log" 2>&1
  s32=$?
  line[1]="storm: $( [ $s64$s32 = 00 ] && echo clean || echo FINDINGS); 64-bit: $(fig "$out/storm64.log" '[0-9]* calls in [0-9.]* s, [0-9]* calls/s'), $(fig "$out/storm64.log" 'VmRSS.*'), $(fig "$out/storm64.log" '[0-9]* after release'); 32-bit: $(fig "$out/storm32.log" '[0-9]* calls in [0-9.]* s, [0-9]* calls/s'), $(fig "$out/storm32.log" '[0-9]* after release')"
fi

if want 2; then
  bash scripts/sanitize.sh >"$out/sanitize.log" 2>&1 && ! grep -q 'findings above' "$out/sanitize.log"
  sz=$?
  line[2]="$(tail -1 "$out/sanitize.log"); $(grep -c 'Passed' "$out/sanitize.log") tests passed under ASan + UBSan"
fi

if want 3; then
  FUZZ_RUNS=${FUZZ_RUNS:-1000000} FUZZ_JOBS=${FUZZ_JOBS:-2} \
    bash scripts/fuzz.sh "${FUZZ_SECONDS:-5400}" >"$out/fuzz.log" 2>&1
  fz=$?
  execs= short=
  for f in build/fuzz/fuzz_*[a-z].log; do
    case "$f" in *.leaks.log) continue ;; esac
    t=$(basename "$f" .log)
    n=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$f" | grep -o '[0-9]*$' | tail -1)
    execs="$execs$t ${n:-?}; "
    [ "${n:-0}" -ge "${FUZZ_RUNS:-1000000}" ] || short="$short $t"
  done
  line[3]="fuzzing: $( [ $fz = 0 ] && echo 'no finding' || echo FINDINGS)${short:+, cut short by the time cap:$short}; executions: $execs"
fi

if want 4; then
  QUILL_CRASH_KILLS=200 ctest --test-dir build/x86_64 -R 'x86_64\.certapi$' -V >"$out/crash.log" 2>&1
  ck=$?
  line[4]="kill test: $( [ $ck = 0 ] && echo 'old or new state every time' || echo FAILED); $(fig "$out/crash.log" '[0-9]* kills after [0-9]* container and [0-9]* store steps')"
fi

if want 5; then
  ctest --test-dir build/x86_64 -R 'x86_64\.java$' -V >"$out/java.log" 2>&1
  hp=$?
  line[5]="lying TLS peer: $( [ $hp = 0 ] && echo 'every case failed cleanly' || echo FAILED) (HostilePeerTest in the x86_64 JUnit suite: 51 raw-server lies, 16 damaged records, a chain of 50)"
fi

echo
for i in "${items[@]}"; do echo "${line[$i]}"; done
[ $s64$s32$fz$ck$hp$sz = 000000 ]
