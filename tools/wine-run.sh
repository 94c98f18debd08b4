#!/usr/bin/env bash
# wine-run.sh [--prefix DIR] [--arch win32|win64] [--display] [--cwd DIR] PROGRAM [ARGS...]
# Runs a Windows program under Wine in a prefix of its own, made on first use, and returns the
# program's exit code. Several callers may start at once: prefix creation is serialised.
# --arch win64 (the default, or SFX_WINE_ARCH) is a 64-bit prefix, where 32-bit programs run
# under WOW64; --arch win32 a 32-bit prefix, as on a 32-bit Windows.
# Where the kernel runs no 32-bit programs (tools/wine-cpu.sh), Wine runs inside a user and
# mount namespace of its own whose binfmt_misc hands every i386 program to qemu-i386: Wine's
# loader, its preloader and every child process. Nothing outside that namespace changes.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
prefix=${SFX_WINE_PREFIX:-$PWD/wine/win64}
arch=${SFX_WINE_ARCH:-win64}
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
[ $# -ge 1 ] || { echo "usage: wine-run.sh [--prefix DIR] [--arch win32|win64] [--display] [--cwd DIR] PROGRAM [ARGS...]" >&2; exit 64; }

export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
loader=/usr/lib/wine/wine64
if [ "$arch" = win32 ]; then
  export WINEARCH=win32
  loader=/usr/lib/wine/wine
fi
# No Mono or Gecko installer dialogs: nothing here needs .NET or the HTML engine.
export WINEDLLOVERRIDES="mscoree=;mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

cpu=$(bash "$top/tools/wine-cpu.sh") || exit 64
emulated=()
if [ "$cpu" = emulated ]; then
  qemu=${SFX_DEPS_CACHE:-/var/cache/sfxstub-deps}/qemu/qemu-i386
  if [ ! -x "$qemu" ]; then
    echo "wine-run.sh: this kernel runs no 32-bit programs and $qemu is missing: run tools/setup.sh" >&2
    exit 69
  fi
  # The i386 ELF magic and mask; F opens qemu now, P keeps the program's own argv[0].
  i386=':sfx-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':FP'
  emulated=(unshare --user --map-root-user --mount sh -c
    'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc && printf "%s" "$0" >/proc/sys/fs/binfmt_misc/register || { echo "wine-run.sh: cannot register qemu-i386 in a namespace of its own (Linux 6.7 or later is needed)" >&2; exit 69; }; exec "$@"'
    "$i386")
fi

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.ready" ]; then
    rm -rf "$prefix"
    "${emulated[@]}" "$loader" wineboot -i >/dev/null 2>&1
    wineserver -w
    touch "$prefix/.ready"
  fi
) 9>"$prefix.lock"

# A program that hangs (a crash on one thread can leave another waiting for ever) is stopped
# after SFX_WINE_RUN_TIMEOUT seconds (170), with every process of its group, and the prefix's
# Wine processes after it: left running, they would hang the next test in the prefix.
limit=${SFX_WINE_RUN_TIMEOUT:-170}
run() {
  if [ -n "$cwd" ]; then cd "$cwd" || exit 70; fi
  timeout -k 10 "$limit" "$@"
  local rc=$?
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    echo "wine-run.sh: $* did not end within $limit s: stopped, with the prefix's Wine processes" >&2
    wineserver -k 2>/dev/null
  fi
  return $rc
}
if [ -n "$display" ] && [ -z "${DISPLAY:-}" ]; then
  # xvfb-run is a dash script, and dash drops exported bash functions: pass the definition.
  # The wineserver is waited for before the display goes, so the next display run of the
  # prefix starts one of its own instead of finding one tied to a display that is gone.
  export cwd limit
  exec xvfb-run -a -s "-screen 0 1024x768x24" \
    bash -c "$(declare -f run); run \"\$@\"; rc=\$?; wineserver -w; exit \$rc" run "${emulated[@]}" "$loader" "$@"
fi
run "${emulated[@]}" "$loader" "$@"
