#!/usr/bin/env bash
# The Debian packages installed, used, upgraded, removed and purged in a root
# of their own, thrown away afterwards: nothing reaches the real system.
# Needs root.   install_test.sh outer SOURCE_DIR X86_64_BUILD I686_BUILD WORK_DIR
#
# cpack makes the packages of both trees (amd64 once more as a rebuilt
# release 2); in a private mount namespace an overlay over / with a tmpfs on
# top, the source and build trees hidden, is the root the "inside" stage runs
# chrooted in: amd64 install, modes, the tour as a non-root user keeping its
# keys, upgrade, remove, purge; then i386 beside amd64 with the tour on the
# 32-bit JVM (a tmpfs copy, as tests/jre32.sh says), and both purged.
set -euo pipefail

fail() { echo "install test: $*" >&2; exit 1; }
step() { echo "== $(date +%T) $*"; }

outer() {
  local src=$1 b64=$2 b32=$3 work=$4
  [ "$(id -u)" = 0 ] || fail "needs root (a mount namespace, an overlay root and dpkg)"
  for tree in "$b64" "$b32"; do
    [ -f "$tree/CPackConfig.cmake" ] || fail "no configured build tree at $tree"
  done
  local seen
  seen=$(ls -d /opt/vantor /etc/opt/quill /var/opt/quill 2>/dev/null || true)

  rm -rf "$work"
  mkdir -p "$work"
  step "packages: release 1 for amd64 and i386, release 2 for amd64"
  # One cpack at a time per build tree; the two trees side by side.
  { cpack --config "$b64/CPackConfig.cmake" -B "$work/r1-amd64" &&
    cpack --config "$b64/CPackConfig.cmake" -B "$work/r2" -D CPACK_DEBIAN_PACKAGE_RELEASE=2; } \
    >"$work/cpack-amd64.log" 2>&1 &
  local amd64=$!
  cpack --config "$b32/CPackConfig.cmake" -B "$work/r1-i386" >"$work/cpack-i386.log" 2>&1 ||
    { cat "$work/cpack-i386.log"; fail "cpack of the i686 tree failed"; }
  wait $amd64 || { cat "$work/cpack-amd64.log"; fail "cpack of the x86_64 tree failed"; }
  mkdir "$work/r1"
  mv "$work"/r1-amd64/*.deb "$work"/r1-i386/*.deb "$work/r1/"
  ls "$work"/r1/*.deb "$work"/r2/*.deb

  unshare --mount --propagation private bash "$0" namespace "$src" "$b64" "$b32" "$work"

  [ "$(ls -d /opt/vantor /etc/opt/quill /var/opt/quill 2>/dev/null || true)" = "$seen" ] ||
    fail "the real system changed"
  rm -rf "$work/root" "$work/layers"
}

# In the private mount namespace: the overlay root, then the steps in it.
namespace() {
  local src=$1 b64=$2 b32=$3 work=$4
  local layers=$work/layers root=$work/root
  mkdir -p "$layers" "$root"
  mount -t tmpfs -o mode=0755 quill-upper "$layers"
  mkdir "$layers/upper" "$layers/work"
  mount -t overlay -o "lowerdir=/,upperdir=$layers/upper,workdir=$layers/work" quill-root "$root"
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs -o mode=1777 quill-shm "$root/dev/shm"
  mount -t tmpfs quill-tmp "$root/tmp"
  chmod 1777 "$root/tmp"

  mkdir -p "$root/quill-test"
  cp "$work"/r1/*.deb "$root/quill-test/"
  mkdir "$root/quill-test/r2"
  cp "$work"/r2/*.deb "$root/quill-test/r2/"
  cp "$0" "$src/tests/package/KeptKeys.java" "$root/quill-test/"
  chmod -R a+rX "$root/quill-test"
  mkdir "$root/dev/shm/jre32"
  cp -rL /usr/lib/jvm/java-17-openjdk-i386/. "$root/dev/shm/jre32/"
  # Nothing of the source or build trees is reachable from inside (a tree
  # within one already hidden is gone with it).
  local trees=() tree
  for tree in "$src" "$b64" "$b32"; do
    tree=$(realpath "$tree")
    trees+=("$tree")
    [ ! -d "$root$tree" ] || mount -t tmpfs -o size=1m,mode=0755 quill-hidden "$root$tree"
  done
  chroot "$root" /bin/bash /quill-test/install_test.sh inside "${trees[@]}"
}

# Helpers of the inside stage.
expect_mode() {  # MODE OWNER PATH
  local got
  got=$(stat -c '%a %U:%G' "$3") || fail "$3 is missing"
  [ "$got" = "$1 $2" ] || fail "$3 is $got, expected $1 $2"
}
pkg() { dpkg "$@" >dpkg.log 2>&1 || { cat dpkg.log; fail "dpkg $* failed"; }; }
gone() { for p; do [ ! -e "$p" ] || fail "$p is still there"; done; }
there() { for p; do [ -e "$p" ] || fail "$p is missing"; done; }
as_user() {  # a login of the test user's: an empty LD_LIBRARY_PATH, nothing else set
  setpriv --reuid=quilltour --regid=quilltour --init-groups \
    env -i HOME=/home/quilltour USER=quilltour PATH=/usr/bin:/bin LD_LIBRARY_PATH= \
    ${JAVA_HOME:+JAVA_HOME=$JAVA_HOME} ${JAVA_OPTS:+JAVA_OPTS=$JAVA_OPTS} "$@"
}
tour() {  # LOG [ARGS]: the installed tour, which must complete
  local log=$1
  shift
  as_user quill-tour "$@" >"$log" 2>&1 || { cat "$log"; fail "quill-tour failed"; }
  grep -q '^Tour complete\.$' "$log" || { cat "$log"; fail "the tour did not complete"; }
}
kept_keys() {  # the kept keys and a machine container through the installed bridge
  as_user java -cp /opt/vantor/share/java/quill-java.jar -Djava.library.path=/opt/vantor/lib/amd64 \
    /quill-test/KeptKeys.java "$@" || fail "KeptKeys $* failed"
}
# Names, modes, owners and digests of the CSP's data files.
data_state() {
  find /home/quilltour/.local/share/quill-csp /var/opt/quill/csp -printf '%p %m %u:%g\n' | sort
  find /home/quilltour/.local/share/quill-csp /var/opt/quill/csp -type f -exec sha256sum {} + | sort
}

inside() {  # SOURCE_DIR BUILD_DIR...
  local trees=("$@")
  [ "$(stat -f -c %T /)" = overlayfs ] || fail "not inside the overlay root"
  [ ! -e "$1/CMakeLists.txt" ] || fail "the source tree is visible"
  cd /quill-test
  export DEBIAN_FRONTEND=noninteractive PATH=/usr/sbin:/usr/bin:/sbin:/bin
  rm -f /var/lib/man-db/auto-update  # no manual page index run per dpkg call
  useradd -m -s /bin/sh quilltour
  local lib=/opt/vantor/lib/amd64 data=/home/quilltour/.local/share/quill-csp
  local keys=/var/opt/quill/csp/keys conf=/etc/opt/quill/csp.conf

  step "amd64: install"
  pkg -i quill-csp_*_amd64.deb quill-bridge_*_amd64.deb quill-java_*_all.deb
  local f
  for f in $(dpkg -L quill-csp quill-bridge quill-java); do
    [ -L "$f" ] && continue
    [ "$(stat -c %U:%G "$f")" = root:root ] || fail "$f is not owned by root"
    [ $((0$(stat -c %a "$f") & 022)) = 0 ] || fail "$f is writable by others"
  done
  expect_mode 755 root:root $lib
  for f in libcfgsup libprovapi libcertapi; do
    expect_mode 644 root:root $lib/$f.so.4.0.0
    [ "$(readlink $lib/$f.so.4)" = $f.so.4.0.0 ] || fail "$lib/$f.so.4 is not the soname link"
  done
  for f in $lib/libsecprov.so $lib/libquillnative.so $lib/lib*.so.4.0.0; do
    expect_mode 644 root:root "$f"
    grep -q 'RUNPATH.*\[\$ORIGIN\]$' <<<"$(readelf -d "$f")" || fail "$f: run path is not \$ORIGIN"
  done
  LD_LIBRARY_PATH='' ldd $lib/libquillnative.so >ldd.log
  grep -q "libprovapi.so.4 => $lib/libprovapi.so.4" ldd.log && ! grep -q 'not found' ldd.log ||
    { cat ldd.log; fail "the loader does not find the CSP beside the bridge"; }
  expect_mode 644 root:root $conf
  grep -q " $conf " <<<"$(dpkg-query -W -f '${Conffiles}\n' quill-csp)" || fail "$conf is not a conffile"
  expect_mode 755 root:root /var/opt/quill/csp
  expect_mode 1777 root:root $keys
  expect_mode 644 root:root $keys/.lock
  expect_mode 755 root:root /var/opt/quill/csp/stores
  expect_mode 755 root:root /usr/bin/quill-tour
  for f in "${trees[@]}"; do
    if grep -rlF "$f" /opt/vantor /usr/bin/quill-tour; then fail "installed files name $f"; fi
  done

  step "amd64: the tour as a non-root user, keeping its container and \"MY\" entry"
  tour tour1.log --keep
  grep -E 'GOST|kept' tour1.log
  local name
  name=$(sed -n 's/.*kept container "\(tour-[0-9]*\)".*/\1/p' tour1.log)
  [ -n "$name" ] || fail "the tour kept no container"
  expect_mode 700 quilltour:quilltour $data/keys
  expect_mode 700 quilltour:quilltour $data/stores
  expect_mode 600 quilltour:quilltour $data/stores/MY.sst
  kept_keys machine quill-install-test
  for f in $keys/*.key; do expect_mode 600 quilltour:quilltour "$f"; done

  step "amd64: upgrade to the rebuilt packages"
  echo "# changed here" >>$conf
  data_state >state.before
  pkg -i r2/quill-csp_*_amd64.deb r2/quill-bridge_*_amd64.deb r2/quill-java_*_all.deb
  [ "$(dpkg-query -W -f '${Version}' quill-csp)" = 1.0.0-2 ] || fail "quill-csp was not upgraded"
  data_state >state.after
  diff state.before state.after || fail "the upgrade changed the CSP's data"
  grep -q '^# changed here$' $conf || fail "the upgrade lost the change of $conf"
  kept_keys check "$name" quill-install-test

  step "amd64: remove keeps data and configuration"
  pkg -r quill-java quill-bridge quill-csp
  gone /opt/vantor /usr/bin/quill-tour
  there $conf "$data/keys/" $data/stores/MY.sst $keys/.lock $keys/*.key
  step "amd64: purge removes only what the package made"
  pkg -P quill-java quill-bridge quill-csp
  gone /etc/opt/quill $keys/.lock /var/opt/quill/csp/stores
  there $keys/*.key $data/stores/MY.sst
  rm -rf /var/opt/quill "$data"

  step "i386 beside amd64: the tour on the 32-bit JVM"
  pkg -i quill-csp_*.deb quill-bridge_*.deb quill-java_*_all.deb
  dpkg-query -W -f '${binary:Package} ${Version}\n' 'quill-*'
  mkdir -m 1777 /dev/shm/tmp32
  JAVA_HOME=/dev/shm/jre32 JAVA_OPTS="-Xint -Djava.io.tmpdir=/dev/shm/tmp32" tour tour32.log
  grep -E 'tour on|GOST' tour32.log
  grep -q 'native handles are 4 bytes' tour32.log || fail "the tour did not run on the 32-bit bridge"
  grep -q '(type 80)' tour32.log && grep -q 'generated a GOST R 34.10-2012 256 signature key' tour32.log ||
    fail "the 32-bit tour had no GOST provider"
  pkg -P quill-bridge:i386 quill-csp:i386
  gone /opt/vantor/lib/ia32
  there $lib/libquillnative.so $lib/libprovapi.so.4 $conf $keys/.lock
  pkg -P quill-java quill-bridge quill-csp
  gone /opt/vantor /etc/opt/quill /var/opt/quill /usr/bin/quill-tour
  echo "install test: passed"
}

stage=$1
shift
"$stage" "$@"
