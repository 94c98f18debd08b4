#!/usr/bin/env bash
# The stub's PE image: a GUI program that XP SP2 loads, asking for administrator rights, small
# enough to download at once. Its imports are checked by hardening/known_dlls_test.sh.
set -uo pipefail
exe=$1
version=$2  # the project's, which sfxpack --version names
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

# The version resource, read the way the file's properties read it; and the section layout an
# Authenticode signer appends to: every section's raw data follows the previous one's, whole
# file-alignment units, with no gap (one before .reloc made appended signatures fail to verify).
layout=$(/usr/bin/python3 - "$exe" <<'PY'
import sys, pefile
pe = pefile.PE(sys.argv[1])
strings = {}
for info in getattr(pe, "FileInfo", []):
    for entry in info:
        for table in getattr(entry, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
print("file", strings.get("FileVersion", "-"), "product", strings.get("ProductVersion", "-"))
if fixed:
    ms, ls = fixed.FileVersionMS, fixed.FileVersionLS
    print("numeric %d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))
align = pe.OPTIONAL_HEADER.FileAlignment
at = pe.sections[0].PointerToRawData
for s in (s for s in pe.sections if s.SizeOfRawData):
    name = s.Name.rstrip(b"\0").decode()
    if s.PointerToRawData != at or s.SizeOfRawData % align:
        print("gap-or-partial", name, s.PointerToRawData, at, s.SizeOfRawData)
    at = s.PointerToRawData + s.SizeOfRawData
PY
)
echo "$layout"
numeric=$(IFS=.; parts=($version 0 0 0); echo "${parts[0]}.${parts[1]}.${parts[2]}.${parts[3]}")
check "version resource names $version" "grep -qx 'file $version product $version' <<<\"\$layout\""
check "numeric version $numeric" "grep -qx 'numeric $numeric' <<<\"\$layout\""
check "sections laid out without gaps" "! grep -q '^gap-or-partial' <<<\"\$layout\""
exit $fail
