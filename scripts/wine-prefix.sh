#!/usr/bin/env bash
# Makes and runs a private Wine environment for tests of Windows programs.
#
#   wine-prefix.sh create DIR [--desktop WxH]
#       Creates the Wine prefix DIR (once; later calls reuse it), copies the
#       Wine fonts into it so that captions are readable, and with --desktop
#       makes every program of the prefix run in one virtual desktop of that
#       size (windows get frames and captions drawn by Wine).
#   wine-prefix.sh start DIR [--screen WxHxD]
#       Starts Xvfb on a free display and a persistent wineserver for DIR.
#       Writes DIR/env.sh, to be sourced by tests: it exports WINEPREFIX,
#       DISPLAY, WINEDEBUG and WINEDLLOVERRIDES.
#   wine-prefix.sh stop DIR
#       Stops the wineserver and the Xvfb that "start" began.
#   wine-prefix.sh check
#       Makes sure that Wine, Xvfb and the X tools are installed (running
#       scripts/install-deps.sh when something is missing) and that 32-bit
#       programs can run (registering the qemu-i386 handler when needed).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

die() { echo "wine-prefix: $*" >&2; exit 1; }

i386_runs() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

ensure_i386() {
  i386_runs && return 0
  # 32-bit programs need qemu on machines whose kernel lacks 32-bit support.
  [ -e /proc/sys/fs/binfmt_misc/register ] ||
    $SUDO mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || true
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && [ -e /usr/bin/qemu-i386-static ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FPC' |
      $SUDO tee /proc/sys/fs/binfmt_misc/register >/dev/null || true
  fi
  i386_runs || die "32-bit Wine cannot run on this machine"
}

cmd_check() {
  local missing=0 tool
  for tool in wine wineserver Xvfb xdotool import; do
    command -v "$tool" >/dev/null 2>&1 || missing=1
  done
  [ -x /usr/lib/wine/wine ] || missing=1
  [ -e /usr/lib/wine/wine-preloader ] || missing=1
  if [ "$missing" -ne 0 ]; then
    [ -x "$here/install-deps.sh" ] || die "Wine or X tools missing and no installer script"
    "$here/install-deps.sh"
  fi
  ensure_i386
}

cmd_create() {
  local dir="$1"; shift
  local desktop=""
  while [ $# -gt 0 ]; do
    case "$1" in
      --desktop) desktop="$2"; shift 2 ;;
      *) die "unknown option $1" ;;
    esac
  done
  mkdir -p "$dir"
  dir="$(cd "$dir" && pwd)"
  export WINEPREFIX="$dir"
  if [ ! -f "$dir/system.reg" ] || [ ! -f "$dir/.created" ]; then
    # Without DISPLAY nothing tries to open a window while the prefix is made.
    env -u DISPLAY wineboot -i >/dev/null 2>&1
    wineserver -w
    mkdir -p "$dir/drive_c/windows/Fonts"
    cp -n /usr/share/wine/fonts/*.ttf "$dir/drive_c/windows/Fonts/" 2>/dev/null || true
    touch "$dir/.created"
  fi
  if [ -n "$desktop" ]; then
    env -u DISPLAY wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default /f >/dev/null 2>&1
    env -u DISPLAY wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d "$desktop" /f >/dev/null 2>&1
    wineserver -w
  fi
}

cmd_start() {
  local dir="$1"; shift
  local screen="800x600x24"
  while [ $# -gt 0 ]; do
    case "$1" in
      --screen) screen="$2"; shift 2 ;;
      *) die "unknown option $1" ;;
    esac
  done
  dir="$(cd "$dir" && pwd)"
  cmd_stop "$dir" 2>/dev/null || true

  # Xvfb picks a free display itself and reports its number.
  local fifo="$dir/.displayfd"
  rm -f "$fifo"
  Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$fifo" >"$dir/xvfb.log" 2>&1 &
  echo $! >"$dir/xvfb.pid"
  local i display=""
  for i in $(seq 1 100); do
    display="$(tr -d '\n' <"$fifo" 2>/dev/null || true)"
    [ -n "$display" ] && break
    kill -0 "$(cat "$dir/xvfb.pid")" 2>/dev/null || die "Xvfb did not start (see $dir/xvfb.log)"
    sleep 0.1
  done
  [ -n "$display" ] || die "Xvfb reported no display"
  rm -f "$fifo"

  cat >"$dir/env.sh" <<EOF
export WINEPREFIX='$dir'
export DISPLAY=':$display'
export WINEDEBUG='-all'
export WINEDLLOVERRIDES='mscoree,mshtml='
EOF
  # A persistent wineserver saves its start-up for every program run.
  WINEPREFIX="$dir" wineserver -p >/dev/null 2>&1
}

cmd_stop() {
  local dir="$1"
  dir="$(cd "$dir" && pwd)"
  WINEPREFIX="$dir" wineserver -k 2>/dev/null || true
  if [ -f "$dir/xvfb.pid" ]; then
    local pid
    pid="$(cat "$dir/xvfb.pid")"
    kill "$pid" 2>/dev/null || true
    rm -f "$dir/xvfb.pid"
  fi
  rm -f "$dir/env.sh"
}

[ $# -ge 1 ] || die "usage: wine-prefix.sh check|create DIR|start DIR|stop DIR"
command="$1"; shift
case "$command" in
  check) cmd_check ;;
  create) [ $# -ge 1 ] || die "create needs a directory"; cmd_check; cmd_create "$@" ;;
  start) [ $# -ge 1 ] || die "start needs a directory"; cmd_start "$@" ;;
  stop) [ $# -ge 1 ] || die "stop needs a directory"; cmd_stop "$@" ;;
  *) die "unknown command $command" ;;
esac
