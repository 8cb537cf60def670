#!/usr/bin/env python3
"""Checks with pefile that the installer's package (RCDATA 100) lies in a section the loader maps
writable, so that unscrambling it in place writes to a private copy-on-write view, and that the
embedded bytes are the package the build made. Wine never faults on such writes, so this is
checked on the file itself.
Usage: package_resource_view.py EXE PACKAGE           check
       package_resource_view.py --self-test EXE PACKAGE  prove the check refuses damaged copies
       package_resource_view.py --damage KIND EXE OUT    write a copy whose RCDATA 100 entry is
           damaged: KIND wrap (a size that wraps round 2^32), beyond (data just past the image's
           end), below (an address that wraps to below the image's base)"""
import sys
import tempfile

import pefile

IMAGE_SCN_MEM_WRITE = 0x80000000
RT_RCDATA = 10


def problems_of(data, package):
    pe = pefile.PE(data=data)
    found = []
    entry = None
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for t in resources.entries if resources else []:
        if t.id == RT_RCDATA:
            for r in t.directory.entries:
                if r.id == 100:
                    entry = r.directory.entries[0].data.struct
    if entry is None:
        return ["no RCDATA 100"]
    rva, size = entry.OffsetToData, entry.Size
    section = next((s for s in pe.sections
                    if s.VirtualAddress <= rva and rva + size <= s.VirtualAddress +
                    max(s.Misc_VirtualSize, s.SizeOfRawData)), None)
    if section is None:
        return ["RCDATA 100 lies in no section"]
    name = section.Name.rstrip(b"\0").decode()
    if not section.Characteristics & IMAGE_SCN_MEM_WRITE:
        found.append("section %s holding the package is not writable (0x%08x)"
                     % (name, section.Characteristics))
    if pe.get_data(rva, size) != package:
        found.append("RCDATA 100 differs from the built package")
    return found


def damaged_copies(data):
    """A copy whose resource section lost its write flag, and one with a changed package byte."""
    pe = pefile.PE(data=data)
    rsrc = pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress
    section = next(s for s in pe.sections if s.contains_rva(rsrc))
    section.Characteristics &= ~IMAGE_SCN_MEM_WRITE
    readonly = bytes(pe.write())
    changed = bytearray(data)
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if t.id == RT_RCDATA:
            for r in t.directory.entries:
                if r.id == 100:
                    changed[pe.get_offset_from_rva(r.directory.entries[0].data.struct.OffsetToData) + 3000] ^= 1
    return {"write flag cleared": readonly, "package byte changed": bytes(changed)}


def package_entry(pe):
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if t.id == RT_RCDATA:
            for r in t.directory.entries:
                if r.id == 100:
                    return r.directory.entries[0].data.struct
    raise SystemExit("no RCDATA 100")


def damage(kind, data):
    pe = pefile.PE(data=data)
    entry = package_entry(pe)
    if kind == "wrap":
        entry.Size = 0x100000000 - 0x1000
    elif kind == "beyond":
        entry.OffsetToData = pe.OPTIONAL_HEADER.SizeOfImage
    elif kind == "below":
        entry.OffsetToData = 0x100000000 - 0x10000
    else:
        raise SystemExit("unknown damage " + kind)
    return bytes(pe.write())


def main(argv):
    if len(argv) == 5 and argv[1] == "--damage":
        open(argv[4], "wb").write(damage(argv[2], open(argv[3], "rb").read()))
        return 0
    self_test = len(argv) > 1 and argv[1] == "--self-test"
    args = argv[2:] if self_test else argv[1:]
    if len(args) != 2:
        print(__doc__)
        return 2
    data = open(args[0], "rb").read()
    package = open(args[1], "rb").read()
    if self_test:
        failed = 0
        for what, copy in damaged_copies(data).items():
            found = problems_of(copy, package)
            print("%s: %s" % (what, "; ".join(found) or "NOT DETECTED"))
            failed += not found
        return 1 if failed else 0
    found = problems_of(data, package)
    for p in found:
        print("%s: %s" % (args[0], p))
    if not found:
        print("%s: package in a writable section, bytes as built" % args[0])
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
