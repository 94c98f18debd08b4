#!/usr/bin/env python3
"""A stand-in for the stub in host tests: the smallest PE32 image that Authenticode tools take,
with one read-only section that carries the marked key table of a key folder (as the real stub
does) between filler bytes, so that tests need no Windows build.

usage: stand_in_stub.py KEY_DIR OUTPUT.exe [--no-table]
"""

import os
import random
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "keys"))
import gen_key_table  # noqa: E402

FILE_ALIGNMENT = 0x200
SECTION_ALIGNMENT = 0x1000
PE_OFFSET = 0x40


def align(value, to):
    return (value + to - 1) // to * to


def image(section):
    raw_size = align(len(section), FILE_ALIGNMENT)
    dos = b"MZ" + bytes(PE_OFFSET - 6) + struct.pack("<I", PE_OFFSET)
    coff = struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 224, 0x0102)
    optional = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII",
                           0x10B, 2, 0, raw_size, 0, 0, SECTION_ALIGNMENT, SECTION_ALIGNMENT,
                           SECTION_ALIGNMENT, 0x400000, SECTION_ALIGNMENT, FILE_ALIGNMENT, 5, 1, 0, 0,
                           5, 1, 0, SECTION_ALIGNMENT + align(len(section), SECTION_ALIGNMENT),
                           FILE_ALIGNMENT, 0, 2, 0x8140, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    optional += bytes(16 * 8)
    header = struct.pack("<8sIIIIIIHHI", b".rdata", len(section), SECTION_ALIGNMENT, raw_size,
                         FILE_ALIGNMENT, 0, 0, 0, 0, 0x40000040)
    headers = dos + b"PE\0\0" + coff + optional + header
    return headers.ljust(FILE_ALIGNMENT, b"\0") + section.ljust(raw_size, b"\0")


def main(argv):
    if len(argv) not in (3, 4) or (len(argv) == 4 and argv[3] != "--no-table"):
        sys.stderr.write(__doc__)
        return 2
    filler = random.Random(len(argv)).randbytes
    table = b"" if len(argv) == 4 else gen_key_table.key_block(gen_key_table.read_keys(argv[1]))[0]
    with open(argv[2], "wb") as f:
        f.write(image(filler(3000) + table + filler(2000)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
