#!/usr/bin/env bash
# The stub's static imports must all be KnownDLLs on every system it runs on: Windows maps those
# from the system folder whatever lies beside the executable, before a line of the stub runs.
# Any other DLL (version, winhttp, dbghelp, gdiplus, uxtheme, comctl32, ...) would be searched
# in the stub's folder first: it must be loaded at run time, from the system folder by full path.
set -uo pipefail
exe=$1

# The KnownDLLs common to Windows XP SP2 and every later version, with the DLLs that XP maps
# as their dependencies (ntdll, msvcrt, shlwapi). Names that are known on some versions only
# (version, wininet, urlmon, ws2_32, psapi, setupapi, imm32, ...) are left out on purpose.
known=" advapi32.dll comdlg32.dll gdi32.dll imagehlp.dll kernel32.dll msvcrt.dll ntdll.dll ole32.dll oleaut32.dll rpcrt4.dll shell32.dll shlwapi.dll user32.dll "

imports=$(i686-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print tolower($3)}')
[ -n "$imports" ] || { echo "FAIL: no import table read from $exe"; exit 1; }
fail=0
for dll in $imports; do
  if [[ "$known" == *" $dll "* ]]; then
    echo "ok: $dll is a KnownDLL"
  else
    echo "FAIL: $dll is imported but is no KnownDLL: load it at run time from the system folder"
    fail=1
  fi
done
exit $fail
