#!/usr/bin/env bash
# bench_size.sh: the shipped stub's size beside its bound (every installer download carries the
# stub), and the biggest contributors from the link map the win32 build writes beside it. Needs
# the win32 build: cmake --preset win32 && cmake --build --preset win32 --target sfxstub
# Exits 0 when it measured, met or not; 2 when the stub or its map is missing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
stub=${SFX_STUB:-$top/build/win32/stub/sfxstub.exe}
map=${SFX_STUB_MAP:-$(dirname "$stub")/sfxstub.map}
bound=524288
top_count=${SFX_SIZE_TOP:-12}
[ -f "$stub" ] || { echo "bench_size: $stub is missing; build the win32 preset first" >&2; exit 2; }
[ -f "$map" ] || { echo "bench_size: the link map $map is missing; rebuild the win32 stub" >&2; exit 2; }
# ld writes the map while it links the stub: one much older belongs to another build.
[ $(($(stat -c %Y "$stub") - $(stat -c %Y "$map"))) -le 60 ] ||
  { echo "bench_size: $map is older than $stub; rebuild the win32 stub" >&2; exit 2; }

size=$(stat -c %s "$stub")
verdict=met
[ "$size" -le "$bound" ] || verdict=MISSED
printf 'stub size: %d bytes (%d KiB), bound %d bytes (512 KiB): %s\n' "$size" $((size / 1024)) "$bound" "$verdict"

# The image's sections: on i686 .eh_frame is kept whole per object and holds every linked
# function's unwind entry, so it grows with whatever an object brings in.
echo "image sections (bytes):"
/usr/bin/python3 -c 'import sys, pefile
for s in pefile.PE(sys.argv[1]).sections:
    print("  %8d  %s" % (s.Misc_VirtualSize, s.Name.rstrip(b"\0").decode()))' "$stub"

# Input sections as the map lists them (debug sections aside, which -s drops), summed by archive
# member or object; a contributor's size includes the alignment padding ld gives its sections.
echo "biggest contributors (bytes, from the link map):"
/usr/bin/python3 - "$map" "$top_count" <<'PY'
import collections, re, sys
path, count = sys.argv[1], int(sys.argv[2])
lines = open(path, errors="replace").read().split("\n")
start = next(i for i, l in enumerate(lines) if l.startswith("Linker script and memory map"))
single = re.compile(r"^ (\.\S+)\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S.*)$")
head = re.compile(r"^ (\.\S+)\s*$")
tail = re.compile(r"^\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S.*)$")
sizes = collections.Counter()
libraries = collections.Counter()
i = start
while i < len(lines):
    m = single.match(lines[i])
    if m:
        section, size, origin = m.group(1), int(m.group(2), 16), m.group(3)
    else:
        h = head.match(lines[i])
        t = tail.match(lines[i + 1]) if h and i + 1 < len(lines) else None
        if not t:
            i += 1
            continue
        section, size, origin = h.group(1), int(t.group(1), 16), t.group(2)
        i += 1
    i += 1
    if section.startswith(".debug") or size == 0:
        continue
    name = origin.rsplit("/", 1)[-1]
    sizes[name] += size
    libraries[re.sub(r"\(.*", "", name)] += size
for name, size in sizes.most_common(count):
    print(f"  {size:8d}  {name}")
print("by library:")
for name, size in libraries.most_common(count):
    print(f"  {size:8d}  {name}")
PY
