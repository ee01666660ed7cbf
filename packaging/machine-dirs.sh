# The machine's key and store directories of the CSP and the key
# directory's lock file. Embedded in the quill-csp package's postinst and
# postrm; `cmake --install` runs quill_machine_dirs_create under DESTDIR.
#
#   /var/opt/quill/csp              root 0755
#   /var/opt/quill/csp/keys         root 1777: every user may create machine
#                                   containers; each file stays its creator's
#                                   (0600) and the sticky bit keeps other
#                                   users from removing or replacing it
#   /var/opt/quill/csp/keys/.lock   root 0644: the directory's lock, which
#                                   every user takes through a read-only
#                                   descriptor
#   /var/opt/quill/csp/stores       root 0755: the machine's certificate
#                                   stores are changed by root
#
# Each is made only when missing, so a mode the administrator set stays.

quill_machine_dirs_create() {
  base="$1/var/opt/quill/csp"
  [ -d "$base" ] || install -d -m 0755 "$base"
  [ -d "$base/keys" ] || install -d -m 1777 "$base/keys"
  [ -d "$base/stores" ] || install -d -m 0755 "$base/stores"
  [ -e "$base/keys/.lock" ] || install -m 0644 /dev/null "$base/keys/.lock"
}

# Removes what quill_machine_dirs_create made: the lock file, then each
# directory that is empty. Containers and stores stay, and so do the
# directories that hold them.
quill_machine_dirs_remove() {
  base="$1/var/opt/quill/csp"
  rm -f "$base/keys/.lock"
  for dir in "$base/keys" "$base/stores" "$base" "$1/var/opt/quill"; do
    if [ -d "$dir" ]; then rmdir --ignore-fail-on-non-empty "$dir"; fi
  done
}
