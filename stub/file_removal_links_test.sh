#!/usr/bin/env bash
# Wine 8 cannot make a junction or symbolic link itself (FSCTL_SET_REPARSE_POINT fails with 50
# and CreateSymbolicLinkW creates nothing), but it shows a host symlink to a folder as a reparse
# point. So the tree is built here, the Windows test removes it, and the folder the link points
# at is checked from the host side as well.
set -uo pipefail
exe=$1 prefix=$2 fixture=$3
runner=$(dirname "$0")/../tools/wine-run.sh

rm -rf "$fixture"
mkdir -p "$fixture/tree" "$fixture/outside" || exit 1
echo keep >"$fixture/outside/keep.txt"
ln -s ../outside "$fixture/tree/link" || exit 1

output=$(FILE_REMOVAL_LINK_FIXTURE="Z:${fixture//\//\\}" "$runner" --prefix "$prefix" "$exe" \
  --gtest_filter='RemoveTreeLinks.*' 2>&1); code=$?
echo "$output"
[ "$code" -eq 0 ] || { echo "FAIL: test exited with $code"; exit 1; }
grep -q '^\[  PASSED  \] 1 test' <<<"$output" && ! grep -q SKIPPED <<<"$output" ||
  { echo "FAIL: the link test did not run"; exit 1; }
[ "$(cat "$fixture/outside/keep.txt" 2>/dev/null)" = keep ] || { echo "FAIL: the linked folder was touched"; exit 1; }
[ ! -e "$fixture/tree/plain.txt" ] || { echo "FAIL: the tree's own file is still there"; exit 1; }
echo "ok: the linked folder outside the tree is untouched"
