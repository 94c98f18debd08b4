#!/usr/bin/env bash
# The main job on the built-in example: sfxpack (the bench preset's, as `make install` installs
# it) packs and signs example/ around the shipped 32-bit stub, shows what it made, and the
# installer runs under Wine on a virtual display; the demo prints what the example
# installer/updater received, the setup log and the exit code, and saves a screenshot of the
# progress window taken while the installer/updater works.
# Arguments go to the installer (for example /silent or /exitcode:5); without any, the example
# installer/updater takes three seconds (/wait:3000), long enough to see the window.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build/win32"
sfxpack="$top/build/bench/sfxpack/sfxpack"
out="$build/demo"
prefix="$build/wine/demo"
mkdir -p "$out"
[ $# -gt 0 ] || set -- /wait:3000

echo "== packing example/ into $out/example-setup.exe"
"$sfxpack" build "$top/example/manifest.json" -o "$out/example-setup.exe" \
  --stub "$build/stub/sfxstub.exe" --installer "$build/example/example_installer.exe" || exit 1
"$sfxpack" verify "$out/example-setup.exe" || exit 1
"$sfxpack" inspect "$out/example-setup.exe" || exit 1

log="$prefix/drive_c/ProgramData/ZANTI Software/Persistent Data/Zanti/Logs/Setup.log"
shot="$out/progress-window.png"
rm -f "$log" "$shot" "$out/child.txt" "$out/exit.txt"
echo "== running example-setup.exe $* under Wine ($(bash "$top/tools/wine-cpu.sh") CPU, prefix $prefix)"
# One virtual display for the run and the screenshot. The launcher reads the whole exit code on
# the Windows side; the shot is taken once the installer/updater has said it runs, while the
# progress window is still up, and cropped to what is not the display's black background.
export top out shot prefix
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  "$top/tools/wine-run.sh" --prefix "$prefix" --cwd "$out" "$top/build/win32/testing/wine_launcher.exe" \
    example-setup.exe "$@" >"$out/child.txt" 2>/dev/null &
  run=$!
  for _ in $(seq 600); do
    grep -q "example installer: running as" "$out/child.txt" 2>/dev/null && break
    kill -0 $run 2>/dev/null || break
    sleep 0.1
  done
  if grep -q "example installer: running as" "$out/child.txt" 2>/dev/null; then
    sleep 0.5
    import -window root png:- 2>/dev/null | convert - -trim +repage "$shot" 2>/dev/null
  fi
  wait $run
  wineserver -w
' demo "$@"
code=$(tr -d '\r' <"$out/child.txt" | sed -n 's/^exit=//p')
tr -d '\r' <"$out/child.txt" | grep -v -E '^(exit=|crashed:)'

echo "== setup log: C:\\ProgramData\\ZANTI Software\\Persistent Data\\Zanti\\Logs\\Setup.log"
[ -f "$log" ] && iconv -f UTF-16LE -t UTF-8 "$log" | sed -e 's/^\xEF\xBB\xBF//' -e 's/\r$//'
if [ -s "$shot" ]; then
  echo "== screenshot of the progress window: $shot"
else
  echo "== no screenshot: the progress window was not up while the installer/updater ran (silent?)"
fi
echo "== exit code: ${code:-unknown}"
[ "${code:-1}" = 0 ]
