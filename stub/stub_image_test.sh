#!/usr/bin/env bash
# The stub's PE image: a GUI program that XP SP2 loads, asking for administrator rights, small
# enough to download at once. Its imports are checked by hardening/known_dlls_test.sh.
set -uo pipefail
exe=$1
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; else echo "ok: $1"; fi; }

headers=$(i686-w64-mingw32-objdump -p "$exe")
check "PE32 for i386" "i686-w64-mingw32-objdump -f '$exe' | grep -q 'file format pei-i386'"
check "GUI subsystem (2)" "grep -Eq '^Subsystem[[:space:]]+00000002' <<<\"\$headers\""
check "subsystem version 5.01" "grep -Eq '^MajorSubsystemVersion[[:space:]]+5$' <<<\"\$headers\" && grep -Eq '^MinorSubsystemVersion[[:space:]]+1$' <<<\"\$headers\""

# Every installer carries the stub: a library that creeps back in whole shows up here.
stripped=$(mktemp)
trap 'rm -f "$stripped"' EXIT
i686-w64-mingw32-strip -o "$stripped" "$exe"
size=$(stat -c %s "$stripped")
check "stripped image at most 1 MiB ($size bytes)" "[ $size -le 1048576 ]"

manifest=$(strings -n 8 "$exe" | tr -d '\r' | grep -o 'requestedExecutionLevel[^/]*')
check "manifest requests administrator rights" "grep -q 'level=\"requireAdministrator\"' <<<\"\$manifest\""
check "icon group resource 1000" "wrestool -l '$exe' | grep -q -- '--type=14 --name=1000'"
exit $fail
