#!/usr/bin/python3
"""Import tables of the Windows images this project links.

usage: pe_imports.py enter-delay-table IMAGE
       pe_imports.py check --system DIR IMAGE_OR_FOLDER_OR_@LIST...

enter-delay-table: GNU ld lays out the delay-import descriptors but never enters them in the
data directory, where debuggers, dump tools and the check below look for them. The table is
found through the marker that root/delay_load.cpp puts right before it, and entered.

check: every function an image calls into another module must really be there. For each
image (a folder stands for every .exe and .dll below it, Wine prefixes left out; @LIST for the
images a file names, one a line; one that is missing is a failure):
  - every DLL it imports, directly or delay-loaded, is a DLL of the system folder DIR (Wine's
    PE DLLs of the image's machine), and every function it names is exported by that DLL;
  - no import slot holds zero: a zero slot is a call to address 0;
  - every slot of the import address table belongs to an import descriptor or to a delay-import
    descriptor: delay-loaded imports without a directory are slots nothing will ever fill;
  - each delay-loaded slot points into the image's code, at the thunk that resolves it.
Debian's python3-pefile reads the images.
"""

import os
import sys

import pefile

MARKER = b"SFXDLYTB"
DELAY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]
IAT_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IAT"]
DESCRIPTOR_SIZE = 32


def enter_delay_table(path):
    with open(path, "rb") as f:
        data = f.read()
    first = data.find(MARKER)
    if first < 0:
        return 0  # no delay-loaded imports in this image
    if data.find(MARKER, first + 1) >= 0:
        sys.exit("%s: the delay-table marker appears twice" % path)
    pe = pefile.PE(data=data, fast_load=True)
    start = first + len(MARKER)
    # The table may be aligned further than the marker: skip the padding. Every descriptor the
    # toolchain writes starts with the attribute 1 (RVA-based).
    while start < first + len(MARKER) + 16 and data[start:start + 4] == bytes(4):
        start += 4
    count = 0
    while data[start + count * DESCRIPTOR_SIZE:start + (count + 1) * DESCRIPTOR_SIZE] != bytes(DESCRIPTOR_SIZE):
        count += 1
        if start + count * DESCRIPTOR_SIZE > len(data):
            sys.exit("%s: the delay-import table has no end" % path)
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DELAY_DIRECTORY]
    directory.VirtualAddress = pe.get_rva_from_offset(start) if count else 0
    directory.Size = (count + 1) * DESCRIPTOR_SIZE if count else 0
    if pe.OPTIONAL_HEADER.CheckSum:
        pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    out = pe.write()
    pe.close()
    with open(path, "wb") as f:
        f.write(out)
    return 0


class Exports:
    """The export names of the system DLLs, read once per DLL."""

    def __init__(self, folder):
        self.folder = folder
        self.cache = {}

    def of(self, dll):
        key = dll.lower()
        if key not in self.cache:
            path = os.path.join(self.folder, key)
            if not os.path.isfile(path):
                self.cache[key] = None
            else:
                pe = pefile.PE(path, fast_load=True)
                pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
                names, ordinals = set(), set()
                directory = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
                for symbol in directory.symbols if directory else []:
                    ordinals.add(symbol.ordinal)
                    if symbol.name:
                        names.add(symbol.name.decode("ascii", "replace"))
                self.cache[key] = (names, ordinals)
                pe.close()
        return self.cache[key]


def slot_value(pe, rva, size):
    return pe.get_qword_at_rva(rva) if size == 8 else pe.get_dword_at_rva(rva)


def check_functions(problems, exports, dll, imports, how):
    known = exports.of(dll)
    if known is None:
        problems.append("%s %s, which is not a DLL of the system folder" % (how, dll))
        return
    names, ordinals = known
    for imp in imports:
        if imp.name is not None:
            name = imp.name.decode("ascii", "replace")
            if name not in names:
                problems.append("%s %s!%s, which %s does not export" % (how, dll, name, dll))
        elif imp.ordinal not in ordinals:
            problems.append("%s %s ordinal %d, which %s does not export" % (how, dll, imp.ordinal, dll))


def slots(pe, entries, how, exports, problems, accounted):
    """(dll, import, slot value) of every import of entries; notes the slots and terminators."""
    base = pe.OPTIONAL_HEADER.ImageBase
    size = slot_size(pe)
    for entry in entries:
        dll = entry.dll.decode("ascii", "replace")
        check_functions(problems, exports, dll, entry.imports, how)
        for imp in entry.imports:
            accounted.add(imp.address - base)
            yield dll, imp, slot_value(pe, imp.address - base, size)
        if entry.imports:
            accounted.add(entry.imports[-1].address - base + size)  # the terminator


def slot_size(pe):
    return 8 if pe.PE_TYPE == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS else 4


def check_image(path, exports):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"], DELAY_DIRECTORY])
    base = pe.OPTIONAL_HEADER.ImageBase
    size = slot_size(pe)
    problems = []
    accounted = set()  # RVAs of IAT slots that some descriptor fills
    for dll, imp, value in slots(pe, getattr(pe, "DIRECTORY_ENTRY_IMPORT", []), "imports", exports, problems, accounted):
        if value == 0:
            problems.append("the import slot of %s!%s holds zero" % (dll, imp.name))
    code = [s for s in pe.sections if s.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]]
    delayed = getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])
    for dll, imp, value in slots(pe, delayed, "delay-loads", exports, problems, accounted):
        if value == 0:
            problems.append("the delay-load slot of %s!%s holds zero" % (dll, imp.name))
        elif not any(s.VirtualAddress <= value - base < s.VirtualAddress + s.Misc_VirtualSize for s in code):
            problems.append("the delay-load slot of %s!%s points outside the code (0x%x)" % (dll, imp.name, value))
    # The linker's empty head entry before each delay table.
    heads = {entry.imports[0].address - base - size for entry in delayed if entry.imports}
    iat = pe.OPTIONAL_HEADER.DATA_DIRECTORY[IAT_DIRECTORY]
    stray = [rva for rva in range(iat.VirtualAddress, iat.VirtualAddress + iat.Size, size)
             if rva not in accounted and not (rva in heads and slot_value(pe, rva, size) == 0)]
    if stray:
        zero = sum(1 for rva in stray if slot_value(pe, rva, size) == 0)
        problems.append("%d slot(s) of the import address table, %d of them zero, belong to no import or "
                        "delay-import descriptor (first at RVA 0x%x): delay-loaded imports without a "
                        "delay-import directory" % (len(stray), zero, stray[0]))
    pe.close()
    return problems


def images(paths):
    for path in paths:
        if path.startswith("@"):
            with open(path[1:]) as listed:
                yield from (line.strip() for line in listed if line.strip())
        elif os.path.isdir(path):
            for root, dirs, files in os.walk(path):
                dirs[:] = sorted(d for d in dirs if d not in ("wine", "CMakeFiles"))
                for name in sorted(files):
                    if name.lower().endswith((".exe", ".dll")):
                        yield os.path.join(root, name)
        else:
            yield path


def check(args):
    if len(args) < 3 or args[0] != "--system":
        sys.exit(__doc__)
    exports = Exports(args[1])
    failed = checked = 0
    for path in images(args[2:]):
        try:
            problems = check_image(path, exports)
        except pefile.PEFormatError as error:
            problems = ["not a PE image: %s" % error]
        checked += 1
        for problem in problems:
            print("FAIL: %s: %s" % (path, problem))
        if problems:
            failed += 1
        else:
            print("ok: %s" % path)
    print("%d image(s) checked, %d with problems" % (checked, failed))
    return 1 if failed or not checked else 0


def main(argv):
    if len(argv) == 3 and argv[1] == "enter-delay-table":
        return enter_delay_table(argv[2])
    if len(argv) >= 2 and argv[1] == "check":
        return check(argv[2:])
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
