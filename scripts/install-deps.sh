#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine:
# both Linux widths (multilib, i386 OpenSSL, a 32-bit JVM under qemu), the
# mingw-w64 cross compiler and Wine for the Windows targets, JUnit 5 and
# GoogleTest, and what cpack needs for the install test (file). Safe to run
# again; it only installs what is missing.
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

want=(
  build-essential cmake pkg-config git python3 openssl libssl-dev valgrind
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
  # checksums; that passes within minutes, so try again before giving up.
  for try in 1 2 3 4 5; do
    $SUDO apt-get update -qq && break
    [ "$try" -lt 5 ] || { echo "install-deps: apt-get update failed" >&2; exit 1; }
    sleep $((try * 20))
  done
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
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
