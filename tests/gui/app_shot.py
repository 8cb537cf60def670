#!/usr/bin/env python3
"""Reads screenshots of the installer window (any format ImageMagick reads) for the GUI tests.

  app_shot.py picture SHOT EXE X Y   the window at screen (X, Y) shows bitmap 101 of EXE, read
                                     from the executable with wrestool: every sampled pixel above
                                     the OS line matches, and the same bitmap one pixel off does not
  app_shot.py count SHOT X0 Y0 X1 Y1 R G B [TOL]
                                     prints how many pixels of the screen rectangle [X0,X1) x
                                     [Y0,Y1) are within TOL (default 0) of the colour
  app_shot.py columns SHOT X0 Y0 X1 Y1 R G B [TOL]
                                     prints the first and last column holding such a pixel
                                     ("none" when there is none)
  app_shot.py same SHOT1 SHOT2 X0 Y0 X1 Y1
                                     prints how many pixels of the rectangle differ
"""
import struct
import subprocess
import sys


def load(path):
    """(width, height, bytes) of an RGB image, via ImageMagick's binary PPM."""
    data = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], check=True,
                          stdout=subprocess.PIPE).stdout
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    pos += 1
    assert fields[0] == b"P6" and fields[3] == b"255", fields
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[pos:pos + width * height * 3]


def bitmap_of(exe):
    """(width, height, rows) of bitmap 101: rows[y][x] = (r, g, b), top row first."""
    dib = subprocess.run(["wrestool", "-x", "-t", "2", "-n", "101", "--raw", exe], check=True,
                         stdout=subprocess.PIPE).stdout
    size, width, height, planes, bits, compression = struct.unpack_from("<IiiHHI", dib, 0)
    if bits != 24 or compression != 0:
        raise SystemExit("bitmap 101 is not an uncompressed 24-bit DIB")
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(abs(height)):
        src = abs(height) - 1 - y if height > 0 else y
        base = size + src * stride
        rows.append([(dib[base + 3 * x + 2], dib[base + 3 * x + 1], dib[base + 3 * x])
                     for x in range(width)])
    return width, abs(height), rows


def pixel(image, x, y):
    width, _, data = image
    i = (y * width + x) * 3
    return data[i], data[i + 1], data[i + 2]


def matches(image, rows, ox, oy, width, points):
    good = 0
    for x, y in points:
        if pixel(image, ox + x, oy + y) == rows[y][x]:
            good += 1
    return good


def picture(shot, exe, ox, oy):
    image = load(shot)
    width, height, rows = bitmap_of(exe)
    # A grid over the picture above y = 395: the OS line is drawn from y = 400 on.
    points = [(x, y) for y in range(0, min(height, 395), 7) for x in range(0, width - 1, 7)]
    good = matches(image, rows, ox, oy, width, points)
    shifted = matches(image, rows, ox + 1, oy, width, points)
    print("picture: %d of %d sampled pixels match; one pixel off: %d" %
          (good, len(points), shifted))
    return 0 if good == len(points) and shifted < len(points) * 0.9 else 1


def close(a, b, tol):
    return all(abs(p - q) <= tol for p, q in zip(a, b))


def selected(image, x0, y0, x1, y1, colour, tol):
    for y in range(y0, y1):
        for x in range(x0, x1):
            if close(pixel(image, x, y), colour, tol):
                yield x, y


def main(argv):
    if len(argv) < 2 or argv[1] in ("-h", "--help"):
        print(__doc__)
        return 2
    cmd = argv[1]
    if cmd == "picture":
        return picture(argv[2], argv[3], int(argv[4]), int(argv[5]))
    if cmd in ("count", "columns"):
        image = load(argv[2])
        x0, y0, x1, y1, r, g, b = (int(v) for v in argv[3:10])
        tol = int(argv[10]) if len(argv) > 10 else 0
        found = list(selected(image, x0, y0, x1, y1, (r, g, b), tol))
        if cmd == "count":
            print(len(found))
        elif found:
            print(min(x for x, _ in found), max(x for x, _ in found))
        else:
            print("none")
        return 0
    if cmd == "same":
        a, b = load(argv[2]), load(argv[3])
        x0, y0, x1, y1 = (int(v) for v in argv[4:8])
        print(sum(1 for y in range(y0, y1) for x in range(x0, x1)
                  if pixel(a, x, y) != pixel(b, x, y)))
        return 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
