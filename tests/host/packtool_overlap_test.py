#!/usr/bin/env python3
"""packtool verify and unpack on a package whose entries share bytes, as the installer sees it.

The installer extracts in memory and unscrambles each entry in place, so an entry whose range
overlaps earlier ones reads their bytes already unscrambled; packtool reads such a package into
memory and must see the same bytes. The package is made here with every plain digest set
to what that in-memory extraction computes: exact duplicates, partial overlaps at odd offsets,
an overlap across a 4 MiB reading block of two entries larger than one, a damaged entry
(unscrambled in place all the same) under a later one, an out-of-bounds entry (never unscrambled,
so not applied) and an empty one; the first entry is not stored first, and names differ only in
case (the later bytes under the first spelling, as on a Windows file system). verify and unpack
must report exactly the damaged and the out-of-bounds entry, each with a line on stderr, and
unpack must write every other file with the bytes the installer would.

Usage: packtool_overlap_test.py PACKTOOL
"""
import hashlib
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile

DIRECTORY = 17 * 160
MIB = 1 << 20
# The per-entry outcome lines and the result (verify also prints the layout's problems).
OUTCOME = re.compile(r"^(entry \d+ \(.*\): (digest mismatch|range ends|name refused|path too "
                     r"long|cannot write)|result: )")


def keystream(length, seed, mix):
    """The entry keystream: one byte per byte of the entry, from its seed and mix digest."""
    out = bytearray(length)
    t, n = seed, length
    for i in range(length):
        v = (t + n) & 0xFFFFFFFF
        u = (v * v) & 0xFFFFFFFF
        t = ((u - (1 << 32) if u & 0x80000000 else u) >> 8) & 0xFFFFFFFF
        out[i] = (mix[n & 15] + (u >> 8) + u) & 0xFF
        n -= 1
    return bytes(out)


def xor(a, b):
    return (int.from_bytes(a, "little") ^ int.from_bytes(b, "little")).to_bytes(len(a), "little")


def main():
    tool = sys.argv[1]
    rng = random.Random(19)
    # (name, offset from the data start, size); data starts right after the directory.
    big = 5 * MIB
    layout = [
        ("TavrinSolo.exe", 64, 2936),         # not stored first
        ("readme.txt", 1000, 3001),          # the tail of entry 1, at an odd offset
        ("Sub\\dup1.bin", 64, 2936),          # entry 1 again
        ("Sub\\damaged.bin", 1500, 700),      # inside 1 and 2; its digest is made wrong
        ("big1.bin", 8000, big),              # larger than a block
        # Over big1's block boundary and inside its last block, read while that block is
        # unscrambled: it must see the bytes that block is given.
        ("across.bin", 8000 + 4 * MIB - 100, 300000),
        ("big2.bin", 8200, 4 * MIB + 1000),   # over big1 and across, in two blocks
        ("SUB\\DUP1.bin", 1600, 500),         # under the damaged entry; dup1.bin again
        ("outside.bin", 100, 0x7FFFFFF0),     # out of bounds: skipped, never unscrambled
        ("after-outside.bin", 50, 400),       # where outside would have been
        ("empty.bin", 2000, 0),
    ]
    tail = 8000 + big
    for i in range(len(layout), 17):
        layout.append(("file%d.bin" % (i + 1) if i < 15 else "FILE15.bin", tail, 1000 + i))
        tail += 1000 + i
    data = bytearray(DIRECTORY) + bytearray(rng.randbytes(tail))
    size = len(data)

    # The installer's extraction in memory, entry by entry.
    image = bytearray(data)
    seed, mix = 0x5E27B0D3, bytes(16)
    plain = {}
    digests = []
    for name, offset, length in layout:
        at = DIRECTORY + offset
        if at + length > size:
            digests.append(bytes(16))
            continue
        stored = hashlib.md5(image[at:at + length]).digest()
        image[at:at + length] = xor(image[at:at + length], keystream(length, seed, mix))
        plain[name] = bytes(image[at:at + length])
        digests.append(hashlib.md5(plain[name]).digest())
        seed = (((seed * seed) << 8) | stored[0]) & 0xFFFFFFFF
        mix = stored
    damaged = [i for i, e in enumerate(layout) if e[0] == "Sub\\damaged.bin"][0]
    digests[damaged] = bytes(16)
    for i, (name, offset, length) in enumerate(layout):
        struct.pack_into("<128sII16s8s", data, 160 * i, name.encode(), DIRECTORY + offset,
                         length, digests[i], bytes(8))

    failures = []
    work = tempfile.mkdtemp()
    try:
        package = os.path.join(work, "shared.pkg")
        with open(package, "wb") as f:
            f.write(data)
        expected = ["entry 4 (Sub\\damaged.bin): digest mismatch after unscrambling",
                    "entry 9 (outside.bin): range ends beyond the package (skipped, not chained)",
                    "result: -102"]
        for command in (["verify", package], ["unpack", package, os.path.join(work, "out")]):
            run = subprocess.run([tool] + command, capture_output=True, text=True)
            lines = [l for l in run.stdout.splitlines() if OUTCOME.match(l)]
            if lines != expected:
                failures.append("%s: %s" % (command[0], "\n".join(lines)))
            if run.returncode != 1 or "result -102" not in run.stderr:
                failures.append("%s: exit %d: %s" % (command[0], run.returncode, run.stderr))
        first = {}
        for name, _, _ in layout:
            first.setdefault(name.lower(), name)
        for name, _, _ in layout:
            path = os.path.join(work, "out", *first[name.lower()].split("\\"))
            later = [n for n, _, _ in layout if n.lower() == name.lower() and n in plain][-1:]
            want = plain[later[0]] if later and name != "Sub\\damaged.bin" else None
            have = open(path, "rb").read() if os.path.exists(path) else None
            if have != want:
                failures.append("unpack: %s: %s" % (
                    name, "missing" if have is None else "left" if want is None
                    else "other bytes than the installer's"))
        written = {n.lower() for n in plain if n != "Sub\\damaged.bin"}
        made = sum(len(files) for _, _, files in os.walk(os.path.join(work, "out")))
        if made != len(written):
            failures.append("unpack: %d files, not %d" % (made, len(written)))
    finally:
        shutil.rmtree(work)
    for f in failures:
        print("FAIL:", f)
    print("packtool_overlap_test: %s" % ("all passed" if not failures else "%d failures" % len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
