#!/usr/bin/env python3
"""table_ends_file.py FILE...: for each code-signed file, read apart from sfxpack, whether its
certificate table ends the file and nothing but up to 7 zero bytes follows the PKCS#7 inside it
(what the certificate padding check allows). Prints the files that fail, one a line, and exits
1 when any does."""
import struct
import sys


def ends_well(path):
    d = open(path, "rb").read()
    h = struct.unpack_from("<I", d, 0x3C)[0]
    wide = struct.unpack_from("<H", d, h + 4)[0] in (0x200, 0x284, 0x8664)  # the stub's rule
    off, size = struct.unpack_from("<II", d, h + (168 if wide else 152))
    length, revision, kind = struct.unpack_from("<IHH", d, off)
    der = d[off + 8:off + size]
    n, at = der[1], 2
    if n & 0x80:
        at = 2 + (n & 0x7F)
        n = int.from_bytes(der[2:at], "big")
    rest = der[at + n:]
    return (off != 0 and off + size == len(d) and 8 <= length <= size and (revision, kind) == (0x200, 2)
            and der[0] == 0x30 and len(rest) <= 7 and rest == bytes(len(rest)))


failed = []
for name in sys.argv[1:]:
    try:
        good = ends_well(name)
    except (OSError, struct.error, IndexError):
        good = False
    if not good:
        failed.append(name)
print("\n".join(failed))
sys.exit(1 if failed or len(sys.argv) < 2 else 0)
