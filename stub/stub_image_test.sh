#!/usr/bin/env bash
# The stub's PE image: a GUI program that XP SP2 loads, asking for administrator rights, and
# importing only DLLs that ship with Windows (nothing of the compiler's runtime beside it).
set -uo pipefail
exe=$1
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; else echo "ok: $1"; fi; }

headers=$(i686-w64-mingw32-objdump -p "$exe")
check "PE32 for i386" "i686-w64-mingw32-objdump -f '$exe' | grep -q 'file format pei-i386'"
check "GUI subsystem (2)" "grep -Eq '^Subsystem[[:space:]]+00000002' <<<\"\$headers\""
check "subsystem version 5.01" "grep -Eq '^MajorSubsystemVersion[[:space:]]+5$' <<<\"\$headers\" && grep -Eq '^MinorSubsystemVersion[[:space:]]+1$' <<<\"\$headers\""

system_dlls=" advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll ntdll.dll ole32.dll oleaut32.dll rpcrt4.dll shell32.dll shlwapi.dll user32.dll version.dll "
for dll in $(grep 'DLL Name:' <<<"$headers" | awk '{print tolower($3)}'); do
  check "import $dll ships with Windows" "[[ '$system_dlls' == *' $dll '* ]]"
done

manifest=$(strings -n 8 "$exe" | tr -d '\r' | grep -o 'requestedExecutionLevel[^/]*')
check "manifest requests administrator rights" "grep -q 'level=\"requireAdministrator\"' <<<\"\$manifest\""
check "icon group resource 1000" "wrestool -l '$exe' | grep -q -- '--type=14 --name=1000'"
exit $fail
