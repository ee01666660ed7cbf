#!/usr/bin/env bash
# Regenerates tests/platform/data/wine-rsaenh-vectors.txt: builds
# gen_vectors.exe with mingw-w64 and runs it under Wine, whose software
# CryptoAPI provider is an implementation independent of ours.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
work="$root/build/wine-vectors"
mkdir -p "$work"
bash "$root/scripts/wine-prefix.sh" check
bash "$root/scripts/wine-prefix.sh" create "$work/prefix"
i686-w64-mingw32-gcc -Wall -Wextra -Werror -O1 -o "$work/gen_vectors.exe" "$here/gen_vectors.c" -ladvapi32
cd "$work"
env -u DISPLAY WINEPREFIX="$work/prefix" WINEDEBUG=-all wine ./gen_vectors.exe >"$work/vectors.txt"
cp "$work/vectors.txt" "$root/tests/platform/data/wine-rsaenh-vectors.txt"
echo "wrote tests/platform/data/wine-rsaenh-vectors.txt ($(wc -l <"$work/vectors.txt") values)"
