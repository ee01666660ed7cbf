#!/usr/bin/env bash
# Makes (or reuses) a copy of the installed 32-bit Java runtime on tmpfs and
# prints its java binary; $QUILL_TMPFS/quill-jre32 (default /dev/shm) names
# the current copy.
#
# The 32-bit JVM runs under qemu-user on these machines, where readdir hands
# it the host file system's 64-bit directory cookies; on ext4 those are hash
# values, and any that does not fit 32 bits makes the listing fail with
# EOVERFLOW. Which directories fail depends on the file system's hash seed
# and the names in them, so a runtime on disk works on one machine and not on
# the next (seen: the JCE policy directory, after which no Cipher, Mac or
# KeyFactory can be made). tmpfs hands out small sequential cookies, so a
# copy there lists the same everywhere.
#
# The copy is named by a digest of the installed runtime's file list (names,
# sizes, times), so an upgraded runtime gets a fresh copy; older copies are
# removed. Safe to run from several builds at once: a copy is made under a
# temporary name and renamed into place.
set -euo pipefail
src=${QUILL_JRE32_SOURCE:-/usr/lib/jvm/java-17-openjdk-i386}
tmpfs=${QUILL_TMPFS:-/dev/shm}

[ -x "$src/bin/java" ] || { echo "jre32: no 32-bit runtime at $src" >&2; exit 1; }
if [ "$(stat -f -c %T "$tmpfs")" != tmpfs ]; then
  echo "jre32: $tmpfs is not a tmpfs; the 32-bit JVM needs one (set QUILL_TMPFS)" >&2
  exit 1
fi

stamp=$(cd "$src" && find -L . -printf '%P %s %T@\n' | sort | sha256sum | cut -c1-16)
dest="$tmpfs/quill-jre32-$stamp"
if [ ! -e "$dest/.complete" ]; then
  work=$(mktemp -d "$tmpfs/quill-jre32-tmp.XXXXXX")
  cp -rL "$src/." "$work/"
  chmod 755 "$work"
  touch "$work/.complete"
  mv -T "$work" "$dest" 2>/dev/null || rm -rf "$work"
fi
for old in "$tmpfs"/quill-jre32-*; do
  [ "$old" = "$dest" ] || case "$old" in *-tmp.*|*.new) ;; *) rm -rf "$old" ;; esac
done
# A stable name for the current copy, switched atomically.
ln -sfn "$dest" "$tmpfs/quill-jre32.new" && mv -T "$tmpfs/quill-jre32.new" "$tmpfs/quill-jre32"
# Temporary files of the tests that the 32-bit JVM lists go here too.
mkdir -p "$tmpfs/quill-tmp32"
chmod 1777 "$tmpfs/quill-tmp32" 2>/dev/null || true
echo "$tmpfs/quill-jre32/bin/java"
