#!/usr/bin/env bash
# The main job on the built-in example: sfxpack packs and signs example/ around the stub, shows
# what it made, and the installer runs under Wine; the demo then prints what the example
# installer/updater received, the setup log and the exit code. Extra arguments go to the
# installer (for example /silent or /exitcode:5).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
preset=$(bash "$top/tools/windows-preset.sh")
build="$top/build/$preset"
sfxpack="$top/build/host/tools/sfxpack/sfxpack"
out="$build/demo"
prefix="$build/wine/demo"
mkdir -p "$out"

echo "== packing example/ into $out/example-setup.exe"
"$sfxpack" build "$top/example/manifest.json" -o "$out/example-setup.exe" \
  --stub "$build/stub/sfxstub.exe" --installer "$build/example/example_installer.exe" || exit 1
"$sfxpack" verify "$out/example-setup.exe" || exit 1
"$sfxpack" inspect "$out/example-setup.exe" || exit 1

log="$prefix/drive_c/ProgramData/ZANTI Software/Persistent Data/Zanti/Logs/Setup.log"
rm -f "$log"
echo "== running example-setup.exe $* under Wine (prefix $prefix)"
"$top/tools/wine-run.sh" --prefix "$prefix" --cwd "$out" "$out/example-setup.exe" "$@"
code=$?

echo "== setup log: C:\\ProgramData\\ZANTI Software\\Persistent Data\\Zanti\\Logs\\Setup.log"
[ -f "$log" ] && iconv -f UTF-16LE -t UTF-8 "$log" | sed -e 's/^\xEF\xBB\xBF//' -e 's/\r$//'
echo "== exit code: $code"
