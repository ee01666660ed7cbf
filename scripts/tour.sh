#!/usr/bin/env bash
# Builds the Linux x86_64 target and runs the tour: a Java program that drives
# every working subsystem of the bridge against the CSP and prints each step.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh x86_64
java -Djava.library.path=build/x86_64/lib \
  -cp build/x86_64/java/quill-java.jar:build/x86_64/java/quill-tour.jar:/usr/share/java/bcprov.jar tour.Tour "$@"
