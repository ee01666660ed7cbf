#!/usr/bin/env bash
# The test suite under AddressSanitizer and UndefinedBehaviorSanitizer: builds
# the Linux x86_64 tree with both (gcc, build/asan) and runs
#   1. the platform, bridge, native and fuzz-replay tests, whose programs
#      carry the runtime themselves, with leak checking on;
#   2. the JUnit suites in a JVM with the runtime preloaded (LD_PRELOAD).
#      The JVM's own signals stay its own (handle_segv=0 and friends: HotSpot
#      turns SIGSEGV into NullPointerException and stack banging), and leak
#      checking is off there: the JVM never frees its heap, and only our
#      libraries are instrumented, which ASan checks on every access.
# Suppressions: tests/sanitize/*.supp, each entry with its reason.
# Usage: scripts/sanitize.sh [ctest -R regex]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
b=build/asan
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B "$b" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags" \
  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" \
  "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" >build-asan.log 2>&1 ||
  { cat build-asan.log; exit 1; }
cmake --build "$b" -j2 >>build-asan.log 2>&1 || { tail -60 build-asan.log; exit 1; }
rm -f build-asan.log

supp=$PWD/tests/sanitize
# ASan's dlopen interceptor makes every library it loads look loaded by the
# runtime, so the bridge's search beside itself ($ORIGIN) finds nothing:
# the build's libraries are named on the loader's path instead. That path
# also finds the TLS library the java_without_secprov run hides, so that
# run is left out here.
export LD_LIBRARY_PATH=$PWD/$b/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
common="abort_on_error=1:print_summary=1:strict_string_checks=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$supp/ubsan.supp"
status=0
only=${1:-}

echo "== native programs (leak checking on)"
ASAN_OPTIONS="$common:detect_leaks=1:fast_unwind_on_malloc=0" LSAN_OPTIONS="suppressions=$supp/lsan.supp" \
  ctest --test-dir "$b" -R "${only:-platform|certapi|native$|bridge|fuzz_replay|locale|pki}" \
  -E memcheck --output-on-failure || status=1

echo "== JUnit in a JVM with the runtime preloaded"
runtime=$(gcc -print-file-name=libasan.so)
ubsan=$(gcc -print-file-name=libubsan.so)
LD_PRELOAD="$runtime:$ubsan" \
  ASAN_OPTIONS="$common:detect_leaks=0:handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:allow_user_segv_handler=1:use_sigaltstack=0" \
  ctest --test-dir "$b" -R "${only:-java|jca|storm}" -E java_without_secprov --output-on-failure || status=1

[ $status = 0 ] && echo "sanitizers: clean" || echo "sanitizers: findings above"
exit $status
