#!/usr/bin/env bash
# Builds the three targets and makes the packages in build/packages:
#   quill-csp_<version>_amd64.deb, quill-csp_<version>_i386.deb
#   quill-bridge_<version>_amd64.deb, quill-bridge_<version>_i386.deb
#   quill-java_<version>_all.deb
#   quill-<version>-win32.zip        quillnative.dll and setup.exe
# Beside them: <package>.contents (control fields and file list of each) and
# lintian.txt (lintian over the Debian packages, overrides shown). A lintian
# error or warning that the packages do not override fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if ! command -v lintian >/dev/null; then
  echo "package: installing lintian"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends lintian >/dev/null
fi
bash scripts/build.sh x86_64 i686 win32

out=build/packages
rm -rf "$out"
mkdir -p "$out"
for t in x86_64 i686 win32; do
  echo "== packaging $t"
  rm -rf "build/cpack-$t"
  cpack --config "build/$t/CPackConfig.cmake" -B "build/cpack-$t" >"build/cpack-$t.log" 2>&1 ||
    { cat "build/cpack-$t.log"; exit 1; }
  mv "build/cpack-$t"/*.deb "build/cpack-$t"/*.zip "$out/" 2>/dev/null || true
  rm -rf "build/cpack-$t" "build/cpack-$t.log"
done

for deb in "$out"/*.deb; do
  { dpkg-deb --field "$deb"; echo; dpkg-deb --contents "$deb"; } >"${deb%.deb}.contents"
done
zip=$(ls "$out"/quill-*-win32.zip)
python3 -m zipfile -l "$zip" >"${zip%.zip}.contents"
# The zip holds the two Windows programs and nothing else.
names=$(python3 -c 'import sys, zipfile; print(" ".join(sorted(n.split("/")[-1] for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/"))))' "$zip")
[ "$names" = "quillnative.dll setup.exe" ] || { echo "package: $zip holds $names" >&2; exit 1; }

echo "== lintian"
# The report shows the overridden tags with their reasons; lintian's own exit
# status with --show-overrides counts those as well, so the verdict is a run
# without it.
lintian --display-info --show-overrides "$out"/*.deb >"$out/lintian.txt" 2>&1 || true
grep -E '^[EWI]:' "$out/lintian.txt" || true
echo "lintian: $(grep -c '^O:' "$out/lintian.txt" || true) overridden (their reasons in $out/lintian.txt)"
ls -l "$out"
status=0
lintian --fail-on error,warning "$out"/*.deb >/dev/null 2>&1 || status=$?
[ "$status" = 0 ] || echo "package: lintian finds errors or warnings that are not overridden" >&2
exit $status
