#!/usr/bin/env python3
"""packtool against crafted installers: a small PE32 of this project's form (code, a resource
section with a named type, an icon and the package as RCDATA 100, relocations) made byte by byte,
then damaged one way at a time: moved headers, headers inside the package, looped and shared
resource subtrees, unsorted and repeated ids, unsorted names, sections out of order in the file, a
named or second language under RCDATA 100, the DLL and PE32+ forms, a zero-length name, and
truncations at each structure.

Every case goes through build, list, verify and unpack. Each run either refuses with exactly one
line on stderr and writes nothing (no OUTPUT, no part file, no unpack folder), or succeeds, and
then a built OUTPUT passes `verify` with result 0. Each case also says whether build must refuse
it and with which words. Under the asan build a sanitizer report fails the one-line rule.
Usage: packtool_crafted_test.py PACKTOOL
       packtool_crafted_test.py PACKTOOL --seeds FOLDER   (writes the PE fuzzer's seeds instead)"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

TOOL = sys.argv[1]
FA, SA = 0x200, 0x1000
failures = []


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def layout_resources(tree, rva):
    """tree: list of (key, child); key an int id or a str name, child a list (a directory) or
    bytes (data). Entries named first, then ids, each ascending. Returns the section's bytes and
    where each structure went: directory, entry, data entry, name and data offsets by path."""
    where = {"dir": {}, "entry": {}, "dataentry": {}, "name": {}, "data": {}}
    dirs, leaves, names = [], [], []

    def walk(entries, path):
        dirs.append((path, entries))
        for key, child in entries:
            if isinstance(key, str):
                names.append((path + (key,), key))
            if isinstance(child, list):
                walk(child, path + (key,))
            else:
                leaves.append((path + (key,), child))

    walk(tree, ())
    at = 0
    for path, entries in dirs:
        where["dir"][path] = at
        for i, (key, _) in enumerate(entries):
            where["entry"][path + (key,)] = at + 16 + 8 * i
        at += 16 + 8 * len(entries)
    for path, _ in leaves:
        where["dataentry"][path] = at
        at += 16
    for path, key in names:
        where["name"][path] = at
        at += 2 + 2 * len(key)
    for path, data in leaves:
        at = align(at, 8)
        where["data"][path] = at
        at += len(data)
    out = bytearray(at)
    for path, entries in dirs:
        d = where["dir"][path]
        named = sum(isinstance(k, str) for k, _ in entries)
        struct.pack_into("<IIHHHH", out, d, 0, 0, 4, 0, named, len(entries) - named)
        for key, child in entries:
            e = where["entry"][path + (key,)]
            first = (0x80000000 | where["name"][path + (key,)]) if isinstance(key, str) else key
            second = (0x80000000 | where["dir"][path + (key,)]) if isinstance(child, list) \
                else where["dataentry"][path + (key,)]
            struct.pack_into("<II", out, e, first, second)
    for path, key in names:
        n = where["name"][path]
        struct.pack_into("<H", out, n, len(key))
        out[n + 2:n + 2 + 2 * len(key)] = key.encode("utf-16-le")
    for path, data in leaves:
        struct.pack_into("<IIII", out, where["dataentry"][path], rva + where["data"][path],
                         len(data), 0, 0)
        out[where["data"][path]:where["data"][path] + len(data)] = data
    return out, where


def make_installer(package, named_type="PNG", languages=(0,), other_names=()):
    """A PE32 i386 program: .text, .rsrc (the tree), .reloc; SizeOfHeaders 0x200."""
    tree = [(name, [(1, [(1033, b"picture bytes " * 9)])]) for name in (named_type,) + other_names]
    tree += [(3, [(1, [(1033, b"icon bytes " * 30)])]),
             (10, [(100, [(language, package) for language in languages])])]
    rsrc_rva = 0x2000
    rsrc, where = layout_resources(tree, rsrc_rva)
    reloc = struct.pack("<IIHH", 0x1000, 12, 0x3000, 0)
    reloc_rva = align(rsrc_rva + len(rsrc), SA)
    sections = [(b".text", 0x1000, 0x10, 0x200, FA, b"\xc3"),
                (b".rsrc", rsrc_rva, len(rsrc), 0x400, align(len(rsrc), FA), bytes(rsrc)),
                (b".reloc", reloc_rva, len(reloc), 0x400 + align(len(rsrc), FA), FA, reloc)]
    image_size = align(reloc_rva + len(reloc), SA)
    pe = 0x80
    out = bytearray(sections[-1][3] + sections[-1][4])
    out[0:2] = b"MZ"
    struct.pack_into("<I", out, 0x3C, pe)
    out[pe:pe + 4] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", out, pe + 4, 0x14C, len(sections), 0, 0, 0, 224, 0x0102)
    o = pe + 24
    struct.pack_into("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", out, o, 0x10B, 2, 0, FA,
                     sections[1][4] + FA, 0, 0x1000, 0x1000, 0x2000, 0x400000, SA, FA, 4, 0, 0, 0,
                     4, 0, 0, image_size, 0x200, 0, 2, 0, 0x100000, 0x1000, 0x100000, 0x1000, 0,
                     16)
    struct.pack_into("<II", out, o + 96 + 8 * 2, rsrc_rva, len(rsrc))
    struct.pack_into("<II", out, o + 96 + 8 * 5, reloc_rva, len(reloc))
    table = o + 224
    for i, (name, va, vsize, raw, rsize, data) in enumerate(sections):
        struct.pack_into("<8sIIIIIIHHI", out, table + 40 * i, name, vsize, va, rsize, raw, 0, 0,
                         0, 0, 0xC0000040)
        out[raw:raw + len(data)] = data
    layout = {"pe": pe, "table": table, "rsrc_raw": 0x400, "rsrc_rva": rsrc_rva,
              "reloc_raw": sections[2][3], "where": where}
    return out, layout


def u32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def put32(data, at, value):
    struct.pack_into("<I", data, at, value)


# Each damage: (name, function(bytes, layout) -> bytes, build outcome: None when build must
# accept, or words its one line must hold).
def moved_headers(data, lay):
    # The NT headers and section table copied into bytes appended to .reloc, e_lfanew there.
    headers = bytes(data[lay["pe"]:lay["table"] + 3 * 40])
    at = len(data)
    data += headers + bytes(align(len(headers), FA) - len(headers))
    put32(data, at + (lay["table"] - lay["pe"]) + 2 * 40 + 16, u32(data, lay["table"] + 80 + 16) +
          align(len(headers), FA))
    put32(data, 0x3C, at)
    return data


def moved_headers_and_size(data, lay):
    data = moved_headers(data, lay)
    at = u32(data, 0x3C)
    put32(data, at + 24 + 60, len(data))  # SizeOfHeaders covering the whole file
    return data


def headers_in_package(data, lay):
    at = lay["rsrc_raw"] + lay["where"]["data"][(10, 100, 0)] + 3000
    data[at:at + lay["table"] + 120 - lay["pe"]] = data[lay["pe"]:lay["table"] + 120]
    put32(data, 0x3C, at)
    return data


def entry_target(lay, path):
    return lay["rsrc_raw"] + lay["where"]["entry"][path] + 4


def looped_subtree(data, lay):
    # RCDATA's id 100 points back at the RCDATA directory itself.
    put32(data, entry_target(lay, (10, 100)), 0x80000000 | lay["where"]["dir"][(10,)])
    return data


def loop_to_root(data, lay):
    put32(data, entry_target(lay, (3,)), 0x80000000)
    return data


def shared_subtree(data, lay):
    # The icon type shares RCDATA's directory.
    put32(data, entry_target(lay, (3,)), 0x80000000 | lay["where"]["dir"][(10,)])
    return data


def shared_data_entry(data, lay):
    put32(data, entry_target(lay, (3, 1, 1033)), lay["where"]["dataentry"][(10, 100, 0)])
    return data


def shared_data(data, lay):
    icon = lay["rsrc_raw"] + lay["where"]["dataentry"][(3, 1, 1033)]
    package = lay["rsrc_raw"] + lay["where"]["dataentry"][(10, 100, 0)]
    put32(data, icon, u32(data, package))
    return data


def shared_name(data, lay):
    # The named type's 1 directory gets a named entry pointing at the type's own name.
    d = lay["rsrc_raw"] + lay["where"]["dir"][("PNG",)]
    struct.pack_into("<HH", data, d + 12, 1, 0)
    put32(data, d + 16, 0x80000000 | lay["where"]["name"][("PNG",)])
    return data


def text_after_resources(data, lay):
    put32(data, lay["table"] + 20, lay["reloc_raw"])  # .text's file bytes: the relocations'
    return data


def unsorted_ids(data, lay):
    a = lay["rsrc_raw"] + lay["where"]["entry"][(3,)]
    b = lay["rsrc_raw"] + lay["where"]["entry"][(10,)]
    data[a:a + 8], data[b:b + 8] = data[b:b + 8], data[a:a + 8]
    return data


def repeated_id(data, lay):
    put32(data, lay["rsrc_raw"] + lay["where"]["entry"][(10,)], 3)
    return data


def characteristics(flags):
    def damage(data, lay):
        struct.pack_into("<H", data, lay["pe"] + 22, flags)
        return data
    return damage


def pe32_plus(data, lay):
    struct.pack_into("<H", data, lay["pe"] + 24, 0x20B)
    return data


def entry_count(data, lay):
    struct.pack_into("<H", data, lay["rsrc_raw"] + 14, 0xFFFF)
    return data


def name_outside(data, lay):
    put32(data, lay["rsrc_raw"] + lay["where"]["entry"][("PNG",)], 0x80000000 | 0x7FFFFF00)
    return data


def data_outside(data, lay):
    put32(data, lay["rsrc_raw"] + lay["where"]["dataentry"][(10, 100, 0)], 0x7FFF0000)
    return data


def data_at_type_level(data, lay):
    put32(data, entry_target(lay, (3,)), lay["where"]["dataentry"][(3, 1, 1033)])
    return data


def directory_outside(data, lay):
    struct.pack_into("<II", data, lay["pe"] + 24 + 96 + 8 * 11, 0x7FFF0000, 16)
    return data


def lfanew(value):
    def damage(data, lay):
        put32(data, 0x3C, value)
        return data
    return damage


def section_count(count):
    def damage(data, lay):
        struct.pack_into("<H", data, lay["pe"] + 6, count)
        return data
    return damage


def truncate(at):
    def damage(data, lay):
        return data[:at(lay)]
    return damage


def reference(package):
    cases = [
        ("valid", lambda d, l: d, None),
        ("moved headers (into bytes appended to .reloc)", moved_headers, "SizeOfHeaders"),
        ("moved headers with SizeOfHeaders over the file", moved_headers_and_size,
         "overlap the headers"),
        ("headers inside the package", headers_in_package, "SizeOfHeaders"),
        ("looped subtree", looped_subtree, "referenced twice"),
        ("loop to the root", loop_to_root, "referenced twice"),
        ("shared subtree", shared_subtree, "referenced twice"),
        ("shared data entry", shared_data_entry, "referenced twice"),
        ("shared data", shared_data, "share bytes"),
        ("shared name", shared_name, "referenced twice"),
        ("unsorted ids", unsorted_ids, "ascending order"),
        ("repeated id", repeated_id, "ascending order"),
        ("unsorted names", {"other_names": ("BMP",)}, "ascending order"),
        ("a name after a longer one it starts", {"other_names": ("PN",)}, "ascending order"),
        ("sections out of order in the file", text_after_resources, "out of order"),
        ("named language under RCDATA 100", {"languages": ("EN",)}, "a name, not a language"),
        ("two languages under RCDATA 100", {"languages": (0, 1033)}, "in 2 languages"),
        ("zero-length name", {"named_type": ""}, None),
        ("DLL flag", characteristics(0x2102), "a DLL"),
        ("not marked executable", characteristics(0x0100), "not marked executable"),
        ("PE32+", pe32_plus, "PE32+"),
        ("entry count past the section", entry_count, "does not fit"),
        ("name outside the section", name_outside, "does not fit"),
        ("data outside the image", data_outside, "outside the image"),
        ("data at the type level", data_at_type_level, "where a directory belongs"),
        ("a data directory in no section", directory_outside, "points into no section"),
        ("e_lfanew into the DOS header", lfanew(0x10), "DOS header"),
        ("e_lfanew past the end", lfanew(0x7FFFFFF0), "beyond the end"),
        ("no sections", section_count(0), "0 sections"),
        ("section count past the table", section_count(60), "SizeOfHeaders"),
    ]
    cuts = {"1 byte": lambda l: 1, "DOS header": lambda l: 0x30,
            "PE signature": lambda l: l["pe"] + 2, "file header": lambda l: l["pe"] + 12,
            "optional header": lambda l: l["pe"] + 100, "section table": lambda l: l["table"] + 50,
            "code": lambda l: 0x300, "resource directory": lambda l: l["rsrc_raw"] + 8,
            "resource entries": lambda l: l["rsrc_raw"] + 20,
            "RCDATA 100": lambda l: l["rsrc_raw"] + l["where"]["data"][(10, 100, 0)] + 100,
            "relocations": lambda l: l["reloc_raw"] + 4}
    for what, at in cuts.items():
        cases.append(("truncated in the " + what, truncate(at),
                      "not a Windows executable" if what == "1 byte" else "truncated"))
    return cases


def run(args):
    p = subprocess.run([TOOL] + args, capture_output=True, timeout=120)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


def check_refusal(case, command, code, err, leftovers):
    lines = err.splitlines()
    if code == 0:
        return True
    if len(lines) != 1 or not lines[0].startswith("packtool: "):
        failures.append(f"{case}: {command}: not one line of error (exit {code}): {err[:2000]}")
    for path in leftovers:
        if os.path.lexists(path):
            failures.append(f"{case}: {command}: refused but left {os.path.basename(path)}")
    return False


def planted_links(work, package, manifest):
    """A link planted at OUTPUT.packtool-part, to INSTALLER and to another file: build refuses
    with one line and writes through neither; without it, OUTPUT gets INSTALLER's permissions."""
    data, _ = make_installer(package)
    exe = os.path.join(work, "links.exe")
    open(exe, "wb").write(data)
    os.chmod(exe, 0o751)
    victim = os.path.join(work, "victim")
    open(victim, "w").write("keep me")
    out = os.path.join(work, "links-out.exe")
    for target in (exe, victim):
        before = open(target, "rb").read()
        os.symlink(target, out + ".packtool-part")
        code, _, err = run(["build", exe, manifest, out])
        if code == 0 or len(err.splitlines()) != 1 or "already exists" not in err:
            failures.append(f"part-file link to {os.path.basename(target)}: exit {code}, {err}")
        if open(target, "rb").read() != before or os.path.lexists(out):
            failures.append(f"build wrote through a part-file link to {os.path.basename(target)}")
        for leftover in (out + ".packtool-part", out):
            if os.path.lexists(leftover):
                os.remove(leftover)
    code, _, err = run(["build", exe, manifest, out])
    if code != 0 or os.stat(out).st_mode & 0o777 != 0o751:
        failures.append(f"build without a planted link: exit {code}, {err}, mode of OUTPUT")


def main():
    work = tempfile.mkdtemp()
    try:
        src = os.path.join(work, "src")
        os.mkdir(src)
        with open(os.path.join(src, "manifest.txt"), "w") as m:
            for i in range(1, 18):
                name = {1: "TavrinSolo.exe", 2: "readme.txt"}.get(i, f"file{i}.bin")
                with open(os.path.join(src, f"f{i}"), "wb") as f:
                    f.write(bytes((i * 7 + j) % 256 for j in range(i * 3000)))
                m.write(f"{name} | f{i}\n")
        # build packs a payload much smaller than the one the crafted installer carries, so that
        # the output is smaller than the input (offsets taken from the input then miss it).
        with open(os.path.join(src, "small.txt"), "w") as m:
            for i in range(1, 18):
                name = {1: "TavrinSolo.exe", 2: "readme.txt"}.get(i, f"file{i}.bin")
                with open(os.path.join(src, f"s{i}"), "wb") as f:
                    f.write(bytes([i]) * i)
                m.write(f"{name} | s{i}\n")
        small = os.path.join(src, "small.txt")
        manifest = os.path.join(src, "manifest.txt")
        package_path = os.path.join(work, "p.pkg")
        code, _, err = run(["pack", manifest, package_path])
        assert code == 0, err
        package = open(package_path, "rb").read()
        for case, damage, build_refusal in reference(package):
            if isinstance(damage, dict):  # made that way rather than damaged
                data, lay = make_installer(package, **damage)
            else:
                data, lay = make_installer(package)
                data = damage(data, lay)
            exe = os.path.join(work, "in.exe")
            open(exe, "wb").write(data)
            out = os.path.join(work, "out.exe")
            folder = os.path.join(work, "unpacked")
            code, _, err = run(["build", exe, small, out])
            if os.environ.get("VERBOSE"):
                print(f"{case}: {err.strip() or 'built'}")
            built = check_refusal(case, "build", code, err, [out, out + ".packtool-part"])
            if build_refusal is None and not built:
                failures.append(f"{case}: build refused: {err.strip()}")
            if build_refusal is not None and (built or build_refusal not in err):
                failures.append(f"{case}: build should refuse with '{build_refusal}': "
                                f"exit {code}, {err.strip()}")
            if built:
                code, text, err = run(["verify", out])
                if code != 0 or "result: 0" not in text.splitlines():
                    failures.append(f"{case}: verify of the built output: {text} {err}")
                os.remove(out)
            for command in (["list", exe], ["verify", exe], ["unpack", exe, folder]):
                code, text, err = run(command)
                check_refusal(case, command[0], code, err,
                              [folder] if command[0] == "unpack" else [])
                if command[0] == "verify" and code == 0 and "result: 0" not in text.splitlines():
                    failures.append(f"{case}: verify succeeded without result 0: {text}")
                shutil.rmtree(folder, ignore_errors=True)
        planted_links(work, package, small)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL:", f)
    print(f"{len(reference(b''))} crafted installers, {len(failures)} failures")
    return 1 if failures else 0


def write_seeds(folder):
    """The PE fuzzer's seeds: crafted installers with a tiny package, as made above."""
    work = tempfile.mkdtemp()
    try:
        with open(os.path.join(work, "m.txt"), "w") as m:
            for i in range(1, 18):
                name = {1: "TavrinSolo.exe", 2: "readme.txt", 17: "Sub\\last.txt"}.get(i, f"f{i}")
                open(os.path.join(work, f"s{i}"), "wb").write(bytes([i]) * i)
                m.write(f"{name} | s{i}\n")
        code, _, err = run(["pack", os.path.join(work, "m.txt"), os.path.join(work, "p.pkg")])
        assert code == 0, err
        package = open(os.path.join(work, "p.pkg"), "rb").read()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    os.makedirs(folder, exist_ok=True)
    for name, kwargs in (("installer", {}), ("zero-length-name", {"named_type": ""}),
                         ("two-languages", {"languages": (0, 1033)})):
        open(os.path.join(folder, name), "wb").write(make_installer(package, **kwargs)[0])


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[2] == "--seeds":
        write_seeds(sys.argv[3])
        sys.exit(0)
    sys.exit(main())
