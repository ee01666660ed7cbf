#!/usr/bin/env bash
# Builds all three targets and runs every test in one CTest run: the CSP
# platform (GoogleTest), the bridge through a 64-bit and a 32-bit JVM (JUnit),
# the export tables, and the installer launcher under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh x86_64 i686 win32
# One test tree over the three builds, so CTest reports one summary.
cat > build/CTestTestfile.cmake <<'TESTS'
subdirs("x86_64" "i686" "win32")
TESTS
ctest --test-dir build --output-on-failure --timeout 1500 "$@"
