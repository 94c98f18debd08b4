#!/usr/bin/env bash
# wine-run.sh [--prefix DIR] [--arch win32|win64] [--display] [--cwd DIR] PROGRAM [ARGS...]
# Runs a Windows program under Wine in a prefix of its own, made on first use, and returns the
# program's exit code. Several callers may start at once: prefix creation is serialised.
set -uo pipefail

prefix=${SFX_WINE_PREFIX:-$PWD/wine/win64}
arch=win64
display=
cwd=
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix=$2; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
    --display) display=1; shift ;;
    --cwd) cwd=$2; shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || { echo "usage: wine-run.sh [--prefix DIR] [--arch win32|win64] [--display] PROGRAM [ARGS...]" >&2; exit 64; }

export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
[ "$arch" = win32 ] && export WINEARCH=win32
# The 64-bit loader starts 64-bit programs itself and hands 32-bit ones to the 32-bit loader,
# so a 64-bit prefix works on kernels that run no 32-bit programs too.
loader=wine
[ "$arch" = win64 ] && loader=/usr/lib/wine/wine64
# No Mono or Gecko installer dialogs: nothing here needs .NET or the HTML engine.
export WINEDLLOVERRIDES="mscoree=;mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.ready" ]; then
    rm -rf "$prefix"
    "$loader" wineboot -i >/dev/null 2>&1
    wineserver -w
    touch "$prefix/.ready"
  fi
) 9>"$prefix.lock"

run() {
  if [ -n "$cwd" ]; then cd "$cwd" || exit 70; fi
  "$loader" "$@"
}
if [ -n "$display" ] && [ -z "${DISPLAY:-}" ]; then
  # xvfb-run is a dash script, and dash drops exported bash functions: pass the definition.
  # The wineserver is waited for before the display goes, so the next display run of the
  # prefix starts one of its own instead of finding one tied to a display that is gone.
  export cwd
  exec xvfb-run -a -s "-screen 0 1024x768x24" \
    bash -c "loader=$loader; $(declare -f run); run \"\$@\"; rc=\$?; wineserver -w; exit \$rc" run "$@"
fi
run "$@"
