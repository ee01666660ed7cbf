#!/usr/bin/env bash
# Configures and builds the given targets (default: all three) under build/:
#   x86_64  Linux, 64-bit JVM        i686  Linux, 32-bit JVM
#   win32   Windows x86 with mingw-w64 (the bridge DLL and setup.exe)
set -euo pipefail
cd "$(dirname "$0")/.."
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(x86_64 i686 win32)
for t in "${targets[@]}"; do
  case "$t" in
    x86_64) extra=() ;;
    i686) extra=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux-i686.cmake) ;;
    win32) extra=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake) ;;
    *) echo "unknown target $t" >&2; exit 2 ;;
  esac
  echo "== building $t"
  cmake -S . -B "build/$t" "${extra[@]}" >"build-$t.log" 2>&1 || { cat "build-$t.log"; exit 1; }
  cmake --build "build/$t" -j2 >>"build-$t.log" 2>&1 || { tail -60 "build-$t.log"; exit 1; }
  rm -f "build-$t.log"
done
