#!/usr/bin/env bash
# The main job on a built-in example: the stub runs under Wine and the demo shows what it
# left behind, its setup log and its exit code.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build/$(bash "$top/tools/windows-preset.sh")"
prefix="$build/wine/demo"

echo "== running sfxstub.exe under Wine (prefix $prefix)"
"$top/tools/wine-run.sh" --prefix "$prefix" "$build/stub/sfxstub.exe"
code=$?

log="$prefix/drive_c/ProgramData/ZANTI Software/Persistent Data/Zanti/Logs/Setup.log"
echo "== setup log: C:\\ProgramData\\ZANTI Software\\Persistent Data\\Zanti\\Logs\\Setup.log"
echo "   ($log)"
iconv -f UTF-16LE -t UTF-8 "$log" | sed -e 's/^\xEF\xBB\xBF//' -e 's/\r$//'
echo "== exit code: $code"
