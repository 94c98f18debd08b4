#!/bin/sh
# Runs a compile or a link (its arguments) with SOURCE_DATE_EPOCH set: GCC takes it for __DATE__
# and __TIME__, and Debian's mingw-w64 ld writes it as the image's TimeDateStamp, in place of the
# time of the build, so that one commit builds to the same bytes wherever and whenever it is
# built. The caller's value wins; else the time of the commit this tree is checked out at; a tree
# that is no checkout of its own (a source archive, even one unpacked inside another repository)
# takes the modification time of its top CMakeLists.txt, which `git archive` sets to the
# commit's time. Read at every run, never at configure time.
#   source_date_epoch.sh COMMAND...        the command, with SOURCE_DATE_EPOCH set
#   source_date_epoch.sh --stamp FILE      writes the value to FILE if it changed, so that what
#                                          depends on FILE is built again after a new commit
src=$(cd "$(dirname "$0")/.." && pwd -P)
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  top=$(git -C "$src" rev-parse --show-toplevel 2>/dev/null) &&
    [ "$(cd "$top" && pwd -P)" = "$src" ] &&
    SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct 2>/dev/null)
  [ -n "${SOURCE_DATE_EPOCH:-}" ] || SOURCE_DATE_EPOCH=$(stat -c %Y "$src/CMakeLists.txt") || exit 1
fi
export SOURCE_DATE_EPOCH
if [ "${1:-}" = --stamp ]; then
  [ "$(cat "$2" 2>/dev/null)" = "$SOURCE_DATE_EPOCH" ] || echo "$SOURCE_DATE_EPOCH" >"$2"
  exit
fi
exec "$@"
