#!/usr/bin/env python3
"""Reads the installer's resources back with pefile (an independent PE reader) and checks them:
the package (RCDATA 100), the picture (bitmap 101, 900 x 424, 24 bits), icon group 100 (16 x 16
and 32 x 32, 16 colours), the version block and its strings, and the manifest.
Usage: check_resources.py [--no-package] EXE
       check_resources.py --self-test EXE   (also proves that damaged copies are refused)"""
import os
import struct
import sys
import tempfile
import xml.etree.ElementTree as ET

import pefile

RT_BITMAP, RT_ICON, RT_RCDATA, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 2, 3, 10, 14, 16, 24

VERSION_STRINGS = {
    "Comments": "QUOREL Tavrin-Solo Installer.",
    "CompanyName": "QUOREL Software",
    "FileDescription": "QUOREL Tavrin-Solo Installer",
    "FileVersion": "1, 2, 4, 5",
    "InternalName": "TavrinSoloSetup",
    "OriginalFilename": "TavrinSoloSetup.exe",
    "ProductName": "TavrinSoloSetup",
    "ProductVersion": "1, 2, 4, 5",
}
VISTA = "{e2011457-1546-43c5-a5fe-008deee3d3f0}"
WIN7 = "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"
ASM = "{urn:schemas-microsoft-com:asm.v1}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
ASM3 = "{urn:schemas-microsoft-com:asm.v3}"


def resources(pe):
    """{(type, id): bytes} of the first language of every resource."""
    found = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for rtype in root.entries if root else []:
        for entry in rtype.directory.entries:
            lang = entry.directory.entries[0]
            found[(rtype.id, entry.id)] = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
    return found


def check_bitmap(res, problems):
    data = res.get((RT_BITMAP, 101))
    if data is None:
        return problems.append("no bitmap 101")
    size, width, height, planes, bits, compression = struct.unpack_from("<IiiHHI", data)
    if (size, width, abs(height), planes, bits, compression) != (40, 900, 424, 1, 24, 0):
        problems.append("bitmap 101 is %dx%d at %d bits (header %d, compression %d), not 900x424x24"
                        % (width, height, bits, size, compression))
    elif len(data) < 40 + 900 * 3 * 424:
        problems.append("bitmap 101 holds only %d bytes" % len(data))


def check_icons(res, problems):
    group = res.get((RT_GROUP_ICON, 100))
    if group is None:
        return problems.append("no icon group 100")
    reserved, kind, count = struct.unpack_from("<HHH", group)
    if (reserved, kind) != (0, 1) or len(group) < 6 + 14 * count:
        return problems.append("icon group 100 has a bad header")
    sizes = []
    for i in range(count):
        w, h, colours, _, planes, bits, length, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        sizes.append(w)
        image = res.get((RT_ICON, icon_id))
        if image is None:
            problems.append("icon %d of the group is missing" % icon_id)
            continue
        _, iw, ih, _, ibits = struct.unpack_from("<IiiHH", image)
        if w != h or colours != 16 or bits != 4 or (iw, ih, ibits) != (w, 2 * w, 4) or length != len(image):
            problems.append("icon %d: %dx%d, %d colours, %d bits; image %dx%d at %d bits"
                            % (icon_id, w, h, colours, bits, iw, ih // 2, ibits))
    if sorted(sizes) != [16, 32]:
        problems.append("icon group 100 holds sizes %s, not 16 and 32" % sorted(sizes))


def check_version(pe, problems):
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    if not fixed:
        return problems.append("no version block")
    f = fixed[0]
    if (f.FileVersionMS, f.FileVersionLS, f.ProductVersionMS, f.ProductVersionLS) != (0x10002, 0x40005) * 2:
        problems.append("fixed version is not 1.2.4.5")
    tables = {}
    translations = []
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            tables[table.LangID.decode()] = {k.decode(): v.decode() for k, v in table.entries.items()}
        for var in getattr(info, "Var", []):
            translations.append(var.entry.get(b"Translation"))
    if list(tables) != ["000004b0"]:
        problems.append("string tables %s, not only 000004b0" % list(tables))
    strings = tables.get("000004b0", {})
    for key, value in VERSION_STRINGS.items():
        if strings.get(key) != value:
            problems.append("version string %s is %r, not %r" % (key, strings.get(key), value))
    if translations != ["0x0000 0x04b0"]:
        problems.append("translation %s, not 0x0000 0x04b0" % translations)


def check_manifest(res, problems):
    data = res.get((RT_MANIFEST, 1))
    if data is None:
        return problems.append("no manifest 1")
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        return problems.append("manifest is not XML: %s" % e)
    ident = root.find(ASM + "assemblyIdentity")
    want = {"version": "1.0.0.0", "processorArchitecture": "X86",
            "name": "Quorel.TAVRINSOLO.Installer", "type": "win32"}
    if ident is None or {k: ident.get(k) for k in want} != want:
        problems.append("assembly identity is %s" % (None if ident is None else ident.attrib))
    desc = root.find(ASM + "description")
    if desc is None or desc.text != "Quorel TAVRINSOLO Installer":
        problems.append("manifest description is %r" % (None if desc is None else desc.text))
    ids = sorted(e.get("Id", "").lower() for e in root.iter(COMPAT + "supportedOS"))
    if ids != sorted([VISTA, WIN7]):
        problems.append("supported systems are %s, not Vista and 7" % ids)
    levels = [e.get("level") for e in root.iter(ASM3 + "requestedExecutionLevel")]
    if levels != ["requireAdministrator"]:
        problems.append("execution level is %s" % levels)


def problems_of(path, package=True):
    pe = pefile.PE(path)
    res = resources(pe)
    problems = []
    if package and (RT_RCDATA, 100) not in res:
        problems.append("no package (RCDATA 100)")
    check_bitmap(res, problems)
    check_icons(res, problems)
    check_version(pe, problems)
    check_manifest(res, problems)
    return problems


def damaged_copies(path, folder):
    """Copies of the executable, each with one fault, and the words its report must contain."""
    data = open(path, "rb").read()
    pe = pefile.PE(path)
    offsets = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        rva = rtype.directory.entries[0].directory.entries[0].data.struct.OffsetToData
        offsets[rtype.id] = pe.get_offset_from_rva(rva)
    bitmap, group = offsets[RT_BITMAP], offsets[RT_GROUP_ICON]
    utf16 = lambda s: s.encode("utf-16-le")
    edits = [
        ("32 bits", lambda d: d[:bitmap + 14] + struct.pack("<H", 32) + d[bitmap + 16:], "bitmap 101"),
        ("height", lambda d: d[:bitmap + 8] + struct.pack("<i", 425) + d[bitmap + 12:], "bitmap 101"),
        ("icon size", lambda d: d[:group + 20] + bytes((48, 48)) + d[group + 22:], "icon"),
        ("company", lambda d: d.replace(utf16("QUOREL Software"), utf16("QUOREL Softwear")), "CompanyName"),
        ("level", lambda d: d.replace(b'"requireAdministrator"', b'"requireAdministratoR"'), "execution level"),
        ("vista", lambda d: d.replace(VISTA.encode(), VISTA.replace("e2", "f2").encode()), "Vista and 7"),
        ("identity", lambda d: d.replace(b'"X86"', b'"x64"'), "assembly identity"),
    ]
    for name, edit, expect in edits:
        copy = edit(data)
        assert copy != data, name
        target = os.path.join(folder, name + ".exe")
        with open(target, "wb") as f:
            f.write(copy)
        yield name, target, expect


def self_test(path):
    ok = not problems_of(path, package=False)
    with tempfile.TemporaryDirectory() as folder:
        for name, target, expect in damaged_copies(path, folder):
            found = problems_of(target, package=False)
            bites = any(expect in p for p in found)
            print("damaged copy '%s': %s" % (name, "refused" if bites else "NOT refused: %s" % found))
            ok = ok and bites
    return ok


def main(argv):
    args = argv[1:]
    if not args or args[0] in ("-h", "--help"):
        print(__doc__)
        return 0 if args else 2
    if args[0] == "--self-test":
        return 0 if self_test(args[1]) else 1
    package = args[0] != "--no-package"
    path = args[-1]
    found = problems_of(path, package)
    for p in found:
        print("%s: %s" % (path, p))
    if not found:
        print("%s: package, picture, icons, version block and manifest as required" % path)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
