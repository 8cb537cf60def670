#!/usr/bin/env python3
"""Reads an installer made by `packtool build` back with pefile (an independent PE reader) and
compares it with the installer it was made from: every resource identical except RCDATA 100,
which holds the given package, in a writable section; the bytes before the resource section and
the relocations unchanged but for the header fields that describe the image; the PE CheckSum as
pefile computes it.
Usage: check_built_installer.py BUILT ORIGINAL PACKAGE"""
import sys

import pefile

RT_RCDATA = 10
IMAGE_SCN_MEM_WRITE = 0x80000000


def resources(pe):
    """{(type, name, language): bytes} of every resource."""
    found = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for rtype in root.entries if root else []:
        for entry in rtype.directory.entries:
            for lang in entry.directory.entries:
                key = (rtype.id or str(rtype.name), entry.id or str(entry.name), lang.id)
                found[key] = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
    return found


def changeable_fields(pe):
    """File offsets of the header bytes that a rebuild may change."""
    o = pe.OPTIONAL_HEADER
    fields = [(o.get_field_absolute_offset("CheckSum"), 4),
              (o.get_field_absolute_offset("SizeOfImage"), 4),
              (o.get_field_absolute_offset("SizeOfInitializedData"), 4)]
    for index in (2, 5):  # the resource directory's size, the relocations' address
        d = o.DATA_DIRECTORY[index]
        fields.append((d.get_file_offset(), 8))
    for s in pe.sections:
        if s.Name.rstrip(b"\0") in (b".rsrc", b".reloc"):
            fields.append((s.get_file_offset() + 8, 16))
    return {off + i for off, n in fields for i in range(n)}


def problems_of(built_path, original_path, package):
    found = []
    data, original = open(built_path, "rb").read(), open(original_path, "rb").read()
    pe, pe0 = pefile.PE(data=data), pefile.PE(data=original)
    if pe.OPTIONAL_HEADER.CheckSum != pe.generate_checksum():
        found.append("CheckSum 0x%08x, pefile computes 0x%08x"
                     % (pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()))
    res, res0 = resources(pe), resources(pe0)
    if sorted(res) != sorted(res0):
        found.append("resources %s, the original has %s" % (sorted(res), sorted(res0)))
    for key in res:
        if key[:2] == (RT_RCDATA, 100):
            if res[key] != package:
                found.append("RCDATA 100 is not the package (%d bytes, package %d)"
                             % (len(res[key]), len(package)))
        elif res[key] != res0.get(key):
            found.append("resource %s differs from the original's" % (key,))
    rsrc = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc")
    rsrc0 = next(s for s in pe0.sections if s.Name.rstrip(b"\0") == b".rsrc")
    if not rsrc.Characteristics & IMAGE_SCN_MEM_WRITE:
        found.append("the resource section is not writable (0x%08x)" % rsrc.Characteristics)
    start = rsrc0.PointerToRawData
    if rsrc.PointerToRawData != start or len(pe.sections) != len(pe0.sections):
        found.append("the resource section moved, or sections were added")
    skip = changeable_fields(pe0)
    changed = [i for i in range(start) if data[i] != original[i] and i not in skip]
    if changed:
        found.append("%d bytes before the resources changed, first at 0x%x" % (len(changed), changed[0]))
    for s, s0 in zip(pe.sections, pe0.sections):
        if s.Name.rstrip(b"\0") == b".reloc" and s.get_data() != s0.get_data():
            found.append("the relocations changed")
    align = pe.OPTIONAL_HEADER.SectionAlignment
    if pe.OPTIONAL_HEADER.SizeOfImage != max(
            s.VirtualAddress + s.Misc_VirtualSize for s in pe.sections) + align - 1 & -align:
        found.append("SizeOfImage 0x%x does not match the sections" % pe.OPTIONAL_HEADER.SizeOfImage)
    return found


def main(argv):
    if len(argv) != 4:
        print(__doc__)
        return 2
    found = problems_of(argv[1], argv[2], open(argv[3], "rb").read())
    for p in found:
        print("%s: %s" % (argv[1], p))
    if not found:
        print("%s: resources as in %s but the package, CheckSum right" % (argv[1], argv[2]))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
