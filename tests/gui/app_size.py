#!/usr/bin/env python3
"""Prints the installer's own size: the executable without the package (RCDATA 100) and the
window picture (bitmap 101), read with pefile. Fails above the ceiling (default 52.3 KB: the
51.8 KB reached, plus one 512-byte file block of room), which catches growth such as iostream,
exceptions or the C runtime's start-up pulled in, or a kernel unrolled by mistake.
Usage: app_size.py TavrinSoloSetup.exe [CEILING]"""
import sys

import pefile

RT_BITMAP, RT_RCDATA = 2, 10


def resource_size(pe, type_id, name_id):
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return 0
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id != type_id:
            continue
        for name in entry.directory.entries:
            if name.id == name_id:
                return sum(lang.data.struct.Size for lang in name.directory.entries)
    return 0


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    ceiling = int(argv[2]) if len(argv) > 2 else 53536  # 52.3 KB, 5.5 KB of it the eight lanes
    with open(argv[1], "rb") as f:
        total = len(f.read())
    pe = pefile.PE(argv[1])
    package = resource_size(pe, RT_RCDATA, 100)
    picture = resource_size(pe, RT_BITMAP, 101)
    own = total - package - picture
    print("TavrinSoloSetup.exe: %d bytes; package %d, picture %d; own code and data %d bytes "
          "(%.1f KB, ceiling %.1f KB)" % (total, package, picture, own, own / 1024, ceiling / 1024))
    if picture == 0 or package == 0:
        print("no bitmap 101 or no package (RCDATA 100) found")
        return 1
    return 0 if own <= ceiling else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
