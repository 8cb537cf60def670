#!/usr/bin/env python3
"""Checks with pefile (an independent PE reader) that each program is a 32-bit i686 Windows GUI
executable whose imports are system DLLs only, so it runs on a bare Windows with nothing beside it.
Programs after --console must be console programs instead (the Windows packtool.exe).
Usage: check_pe.py EXE... [--console EXE...]"""
import sys

import pefile

# DLLs that every supported Windows ships in its system folder.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
    "oleaut32.dll", "msvcrt.dll", "comctl32.dll", "shlwapi.dll", "version.dll", "ntdll.dll",
}


def problems_of(path, subsystem="IMAGE_SUBSYSTEM_WINDOWS_GUI"):
    found = []
    pe = pefile.PE(path)
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        found.append("machine is 0x%x, not i386" % pe.FILE_HEADER.Machine)
    if pe.OPTIONAL_HEADER.Magic != 0x10B:
        found.append("not PE32 (optional header magic 0x%x)" % pe.OPTIONAL_HEADER.Magic)
    if pe.OPTIONAL_HEADER.Subsystem != pefile.SUBSYSTEM_TYPE[subsystem]:
        found.append("subsystem %d is not the Windows %s" % (
            pe.OPTIONAL_HEADER.Subsystem, "GUI" if subsystem.endswith("GUI") else "console"))
    imports = [e.dll.decode().lower() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    if not imports:
        found.append("imports nothing at all (unexpected for a Win32 program)")
    for dll in imports:
        if dll not in SYSTEM_DLLS:
            found.append("imports %s, which is not a system DLL" % dll)
    return found


def main(argv):
    if len(argv) < 2 or argv[1] in ("-h", "--help"):
        print(__doc__)
        return 0 if len(argv) >= 2 else 2
    failed = 0
    subsystem = "IMAGE_SUBSYSTEM_WINDOWS_GUI"
    for path in argv[1:]:
        if path == "--console":
            subsystem = "IMAGE_SUBSYSTEM_WINDOWS_CUI"
            continue
        found = problems_of(path, subsystem)
        for p in found:
            print("%s: %s" % (path, p))
        failed += bool(found)
        if not found:
            print("%s: PE32 i686 %s, system imports only"
                  % (path, "GUI" if subsystem.endswith("GUI") else "console"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
