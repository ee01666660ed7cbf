#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine:
# both Linux widths (multilib, i386 OpenSSL, a 32-bit JVM under qemu), the
# mingw-w64 cross compiler and Wine for the Windows targets, clang (the
# tests compile every source once more with it), JUnit 5 and
# GoogleTest, and what cpack needs for the install test (file). Safe to run
# again; it only installs what is missing.
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

want=(
  build-essential cmake pkg-config git python3 openssl libssl-dev valgrind clang
  gcc-multilib g++-multilib
  openjdk-17-jdk-headless junit5
  libgtest-dev
  qemu-user-static
  g++-mingw-w64-i686 mingw-w64-tools
  wine wine64 xvfb xauth xdotool imagemagick x11-apps fonts-wine locales
  libengine-gost-openssl libbcprov-java libbcpkix-java libbcutil-java
  file
)
want_i386=(
  libssl-dev:i386 openjdk-17-jre-headless:i386
  wine32:i386 wine32-preloader:i386 libgnutls30:i386 libkrb5-3:i386 libgssapi-krb5-2:i386
  libxrender1:i386 libxrandr2:i386 libxcursor1:i386 libxi6:i386 libxcomposite1:i386
  libxinerama1:i386 libxfixes3:i386 libxxf86vm1:i386 libdbus-1-3:i386
)
want_amd64_x=(libxrender1 libxrandr2 libxcursor1 libxi6 libxcomposite1 libxinerama1 libxfixes3 libxxf86vm1 libdbus-1-3)

missing=()
for p in "${want[@]}" "${want_i386[@]}" "${want_amd64_x[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync serves index files that fail their
  # checksums (apt-get update then says so with an "E:" line, and may still
  # exit 0); try again, and if it is only the security suite that stays
  # broken, install from the release suites alone: a half-read security suite
  # offers amd64 and i386 packages at different versions, which the
  # multiarch packages cannot mix.
  apt_opts=()
  for try in 1 2 3; do
    out=$($SUDO apt-get update -qq 2>&1) && ! grep -q '^E:' <<<"$out" && break
    if [ "$try" -eq 3 ]; then
      grep -q -- '-security' <<<"$out" || { echo "$out" >&2; exit 1; }
      echo "install-deps: this mirror's security suite is inconsistent; installing from the release suites" >&2
      alt=$(mktemp -d)
      mkdir "$alt/parts"
      [ ! -f /etc/apt/sources.list ] || grep -v -- '-security' /etc/apt/sources.list >"$alt/sources.list" || true
      for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        case "$f" in
          *.list) grep -v -- '-security' "$f" >"$alt/parts/${f##*/}" || true ;;
          *) awk 'BEGIN { RS = ""; ORS = "\n\n" } !/-security/' "$f" >"$alt/parts/${f##*/}" ;;
        esac
      done
      touch "$alt/sources.list"
      apt_opts=(-o "Dir::Etc::sourcelist=$alt/sources.list" -o "Dir::Etc::sourceparts=$alt/parts")
      $SUDO apt-get "${apt_opts[@]}" update -qq
      break
    fi
    sleep $((try * 20))
  done
  $SUDO apt-get "${apt_opts[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# 32-bit programs run under qemu on these machines: register the binfmt handler
# (it does not survive a reboot, so every run checks it).
if ! /usr/lib/jvm/java-17-openjdk-i386/bin/java -version >/dev/null 2>&1; then
  [ -e /proc/sys/fs/binfmt_misc/register ] || $SUDO mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || true
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && [ -w /proc/sys/fs/binfmt_misc/register ]; then
    echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FPC' \
      | $SUDO tee /proc/sys/fs/binfmt_misc/register >/dev/null
  fi
fi
echo "install-deps: ready"
