#!/usr/bin/env bash
# Planted DLLs under Wine. Copies of a marker DLL named like the system DLLs that the stub or
# the system DLLs it loads might look for lie beside the stub (a download folder) and in its
# current directory. Wine's DLL overrides make it prefer native DLLs for these names, so it
# searches for them as Windows does for DLLs that are not KnownDLLs. A control program that
# loads them by bare name must leave markers (the trap works); a whole installation by an
# installer that sfxpack made around the stub, with its progress window on a virtual display,
# and the faulting stub must leave none, and Wine's loader must report no module loaded from
# either folder.
set -uo pipefail
stub=$1 faulting=$2 planted=$3 control=$4 prefix=$5 scratch=$6 sfxpack=$7 child=$8 manifest=$9
runner=$(cd "$(dirname "$0")/../../tools" && pwd)/wine-run.sh
names=(winhttp dbghelp gdiplus version uxtheme)
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi; }

beside=$scratch/plant-beside current=$scratch/plant-current
rm -rf "${scratch:?}" && mkdir -p "$beside" "$current"
for name in "${names[@]}"; do
  cp "$planted" "$beside/$name.dll"
  cp "$planted" "$current/$name.dll"
done
cp "$faulting" "$control" "$beside/"
"$sfxpack" build "$manifest" -o "$beside/setup.exe" --stub "$stub" --installer "$child" >/dev/null ||
  { echo "FAIL: cannot build the installer"; exit 1; }

overrides="$(IFS=,; echo "${names[*]}")=n,b"
markers() { find "$beside" "$current" -name '*.loaded' -printf '%f ' | sort; }

# Runs a program from the download folder in the planted current directory, off any display
# unless it asks for the virtual one; Wine's loader trace is kept to see what was mapped, even a
# DLL whose imports then failed.
run() {
  local trace=$scratch/$1.trace; shift
  find "$beside" "$current" -name '*.loaded' -delete
  env -u DISPLAY WINEDEBUG=+loaddll WINEDLLOVERRIDES="$overrides" timeout 300 "$runner" --prefix "$prefix" --cwd "$current" "$@" \
    2>"$trace"
  last_code=$?
  echo "  (exit code $last_code)"
  # A run off the display leaves the prefix's server behind for a few seconds, its desktop tied to
  # no display: the next display run in this prefix (here, or the next test's) would join it, and
  # none of its windows could be made.
  WINEPREFIX=$prefix wineserver -k 2>/dev/null
  WINEPREFIX=$prefix wineserver -w
  # The programs themselves come from the download folder; only DLLs count.
  planted_loads=$(grep -i 'loaddll.*Loaded L".*\(plant-beside\|plant-current\).*\.dll"' "$trace" | tee /dev/stderr | wc -l)
}

run control "$beside/$(basename "$control")" "${names[@]/%/.dll}"
check "control: each planted DLL is loaded by bare name ($(markers))" \
  "[ \$(find '$beside' -name '*.loaded' | wc -l) -eq ${#names[@]} ]"

run installation --display "$beside/setup.exe"
check "installation with its window: it ran to the end" "[ $last_code -eq 0 ] && grep -q 'instup.exe' '$scratch/installation.trace'"
check "installation with its window: no marker ($(markers))" "[ -z \"\$(markers)\" ]"
check "installation with its window: no module from the planted folders" "[ $planted_loads -eq 0 ]"

run faulting "$beside/$(basename "$faulting")"
check "faulting stub: no marker ($(markers))" "[ -z \"\$(markers)\" ]"
check "faulting stub: no module from the planted folders" "[ $planted_loads -eq 0 ]"
check "faulting stub: the dump was written with the system's dbghelp.dll" "[ -s '$current/MiniDump.dmp' ]"
exit $fail
