#!/usr/bin/env bash
# Builds the Linux x86_64 target and runs the tour: a Java program that drives
# every working subsystem of the bridge against the CSP and prints each step.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh x86_64
# A PFX file made by openssl for the key store step.
bash tests/make_pki.sh build/x86_64/tour-pki
java -Djava.library.path=build/x86_64/lib -Dtour.pki=build/x86_64/tour-pki \
  -cp build/x86_64/java/quill-java.jar:build/x86_64/java/quill-tour.jar:/usr/share/java/bcprov.jar tour.Tour "$@"
