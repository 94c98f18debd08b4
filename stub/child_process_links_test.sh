#!/usr/bin/env bash
# Wine 8 cannot make a link itself (CreateSymbolicLinkW creates nothing), but follows a host
# symlink as Windows follows a link. So the links are planted here, on the prefix's all-users
# desktop at the names the Windows test's children copy themselves to: one to a file outside,
# one to a name where nothing is. What they point at is checked from the host side as well.
set -uo pipefail
exe=$1 prefix=$2 fixture=$3
runner=$(dirname "$0")/../tools/wine-run.sh

# The prefix, and its desktop, are made on first use.
"$runner" --prefix "$prefix" "$exe" --gtest_list_tests >/dev/null 2>&1
desktop=$prefix/drive_c/users/Public/Desktop
[ -d "$desktop" ] || { echo "FAIL: no all-users desktop in $prefix"; exit 1; }
rm -rf "$fixture"
mkdir -p "$fixture/outside" || exit 1
echo keep >"$fixture/outside/victim.exe"
rm -f "$desktop/sfx_planted_file.exe" "$desktop/sfx_planted_nothing.exe"
ln -s "$fixture/outside/victim.exe" "$desktop/sfx_planted_file.exe" &&
  ln -s "$fixture/outside/nothing.exe" "$desktop/sfx_planted_nothing.exe" || exit 1

output=$(DESKTOP_LINK_FIXTURE="Z:${fixture//\//\\}" "$runner" --prefix "$prefix" "$exe" \
  --gtest_filter='LinkSfxToDesktopLinks.*' 2>&1); code=$?
echo "$output"
status=0
[ "$code" -eq 0 ] || { echo "FAIL: test exited with $code"; status=1; }
grep -q '^\[  PASSED  \] 1 test' <<<"$output" && ! grep -q SKIPPED <<<"$output" ||
  { echo "FAIL: the link test did not run"; status=1; }
[ "$(cat "$fixture/outside/victim.exe" 2>/dev/null)" = keep ] || { echo "FAIL: the linked file was written"; status=1; }
[ ! -e "$fixture/outside/nothing.exe" ] || { echo "FAIL: a file was made through the link"; status=1; }
[ -L "$desktop/sfx_planted_file.exe" ] && [ -L "$desktop/sfx_planted_nothing.exe" ] ||
  { echo "FAIL: a planted link was replaced"; status=1; }
rm -f "$desktop/sfx_planted_file.exe" "$desktop/sfx_planted_nothing.exe"
[ $status -eq 0 ] && echo "ok: the links on the desktop were neither followed nor replaced"
exit $status
