#!/usr/bin/env python3
"""Draws the installer's artwork: the window picture (900 x 424, 24-bit BMP) and the program icon
(16 x 16 and 32 x 32, 16 colours). Pure Python and deterministic: the same bytes on every run.
Usage: make_art.py PICTURE.bmp ICON.ico"""
import math
import struct
import sys

W, H = 900, 424


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def smoothstep(e0, e1, x):
    t = min(1.0, max(0.0, (x - e0) / (e1 - e0)))
    return t * t * (3 - 2 * t)


# Night sky over a warm horizon that fades into the white band below the picture.
SKY = [(0, (12, 22, 52)), (150, (44, 36, 104)), (260, (122, 62, 128)), (330, (236, 142, 122)),
       (380, (250, 226, 214)), (424, (248, 246, 250))]


def sky_colour(y):
    for (y0, c0), (y1, c1) in zip(SKY, SKY[1:]):
        if y <= y1:
            return mix(c0, c1, smoothstep(y0, y1, y))
    return SKY[-1][1]


# 5 x 7 dot-matrix letters for the title, like the display of a sound desk.
GLYPHS = {
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "I": ["11111", "00100", "00100", "00100", "00100", "00100", "11111"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "C": ["01111", "10000", "10000", "10000", "10000", "10000", "01111"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "B": ["11110", "10001", "10001", "11110", "10001", "10001", "11110"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    " ": ["00000"] * 7,
}


class Canvas:
    def __init__(self):
        self.px = []
        for y in range(H):
            row = sky_colour(y)
            self.px.append([list(row) for _ in range(W)])

    def add(self, x, y, colour, amount):
        if 0 <= x < W and 0 <= y < H and amount > 0:
            p = self.px[y][x]
            for i in range(3):
                p[i] = min(255.0, p[i] + colour[i] * amount)

    def blend(self, x, y, colour, amount):
        if 0 <= x < W and 0 <= y < H and amount > 0:
            p = self.px[y][x]
            amount = min(1.0, amount)
            for i in range(3):
                p[i] += (colour[i] - p[i]) * amount

    def dot(self, cx, cy, radius, colour, amount=1.0, blend=True):
        r = int(radius + 2)
        for y in range(int(cy) - r, int(cy) + r + 1):
            for x in range(int(cx) - r, int(cx) + r + 1):
                d = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
                cover = min(1.0, max(0.0, radius + 0.5 - d)) * amount
                (self.blend if blend else self.add)(x, y, colour, cover)


class Random:
    """A small fixed LCG, so that the stars never move between builds."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state * 1103515245 + 12345) & 0x7FFFFFFF
        return self.state / 0x7FFFFFFF


def draw_stars(c):
    rnd = Random(20261207)
    for _ in range(170):
        x, y = rnd.next() * W, rnd.next() * 230
        bright = (0.35 + 0.65 * rnd.next()) * (1 - y / 260)
        c.dot(x, y, 0.6 + rnd.next() * 0.9, (255, 250, 235), bright, blend=False)


def draw_waves(c):
    # Three voices of a sound, strongest to the right of the middle, glowing over the sky.
    waves = [(5.0, 0.3, (90, 225, 255), 1.0), (8.5, 1.9, (255, 96, 200), 0.8),
             (12.5, 4.1, (255, 205, 110), 0.6)]
    for freq, phase, colour, weight in waves:
        prev = None
        for x in range(W):
            t = x / W
            envelope = 0.15 + 0.85 * math.exp(-((t - 0.6) / 0.27) ** 2)
            y = 232 + 58 * weight * envelope * math.sin(2 * math.pi * freq * t + phase)
            slope = 0.0 if prev is None else y - prev
            prev = y
            stretch = math.sqrt(1 + slope * slope)
            for yy in range(int(y) - 26, int(y) + 27):
                d = abs(yy + 0.5 - y) / stretch
                core = max(0.0, 1.6 - d) / 1.6
                glow = 0.28 * math.exp(-d * d / 72.0)
                c.add(x, yy, colour, (core + glow) * (0.45 + 0.55 * envelope))


def draw_faders(c):
    # A row of mixer faders along the horizon, in soft white.
    for i in range(15):
        x = 470 + i * 28
        top = 300 + int(18 * (1 + math.sin(i * 1.7)))
        for y in range(top, 352):
            for dx in range(-2, 3):
                c.blend(x + dx, y, (255, 255, 255), 0.18)
        knob = top + 10 + int(12 * (1 + math.cos(i * 2.3)))
        for y in range(knob - 4, knob + 5):
            for dx in range(-7, 8):
                c.blend(x + dx, y, (255, 255, 255), 0.55)


def draw_text(c, text, left, top, cell, radius, colour):
    x0 = left
    for ch in text:
        rows = GLYPHS[ch]
        for r, bits in enumerate(rows):
            for col, bit in enumerate(bits):
                if bit == "1":
                    cx, cy = x0 + col * cell + cell / 2, top + r * cell + cell / 2
                    c.dot(cx + 1.5, cy + 2, radius + 1.5, (10, 10, 30), 0.35)
                    c.dot(cx, cy, radius, colour)
        x0 += 6 * cell


def vignette(c):
    for y in range(H):
        row = c.px[y]
        fade = 1 - smoothstep(300, 380, y)  # none over the light horizon
        for x in range(W):
            edge = abs(x - W / 2) / (W / 2)
            k = 1 - 0.28 * fade * edge ** 3
            p = row[x]
            p[0] *= k
            p[1] *= k
            p[2] *= k


def write_bmp(path, c):
    row_bytes = W * 3  # 2700: already a multiple of 4
    pixels = bytearray()
    for y in range(H - 1, -1, -1):  # bottom-up
        for p in c.px[y]:
            pixels += bytes((int(p[2] + 0.5), int(p[1] + 0.5), int(p[0] + 0.5)))
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 24, 0, row_bytes * H, 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    with open(path, "wb") as f:
        f.write(head + info + pixels)


# The icon: a navy rounded tile with the cyan and pink waves of the picture, in 16 colours.
PALETTE = [(0, 0, 0), (12, 22, 52), (44, 36, 104), (122, 62, 128), (90, 225, 255),
           (255, 96, 200), (255, 205, 110), (255, 255, 255), (60, 130, 170), (160, 70, 140),
           (28, 30, 78), (200, 240, 255), (255, 180, 230), (128, 128, 128), (192, 192, 192),
           (236, 142, 122)]


def icon_image(size):
    s = size / 32.0
    idx = [[0] * size for _ in range(size)]
    mask = [[1] * size for _ in range(size)]
    radius = 6 * s
    for y in range(size):
        for x in range(size):
            cx = min(max(x + 0.5, radius), size - radius)
            cy = min(max(y + 0.5, radius), size - radius)
            if math.hypot(x + 0.5 - cx, y + 0.5 - cy) <= radius:
                mask[y][x] = 0
                idx[y][x] = 1 if y < size * 0.45 else 10 if y < size * 0.7 else 2
    for freq, phase, colour, amp in ((1.5, 0.3, 4, 8), (2.5, 1.9, 5, 5)):
        prev = None
        for x in range(int(3 * s), size - int(3 * s)):
            y = int(size / 2 + amp * s * math.sin(2 * math.pi * freq * (x + 0.5) / size + phase))
            low, high = (y, y) if prev is None else (min(prev, y), max(prev, y))
            prev = y
            for yy in range(low, high + 1):  # joined up, so the line has no gaps
                if 0 <= yy < size and mask[yy][x] == 0:
                    idx[yy][x] = colour
    return idx, mask


def icon_entry(size):
    idx, mask = icon_image(size)
    xor_row = ((size * 4 + 31) // 32) * 4
    and_row = ((size + 31) // 32) * 4
    data = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                       (xor_row + and_row) * size, 0, 0, 16, 0)
    data += b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    for y in range(size - 1, -1, -1):
        row = bytearray(xor_row)
        for x in range(size):
            row[x // 2] |= idx[y][x] << (4 if x % 2 == 0 else 0)
        data += row
    for y in range(size - 1, -1, -1):
        row = bytearray(and_row)
        for x in range(size):
            if mask[y][x]:
                row[x // 8] |= 0x80 >> (x % 8)
        data += row
    return data


def write_ico(path):
    images = [(16, icon_entry(16)), (32, icon_entry(32))]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(path, "wb") as f:
        f.write(out)


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    c = Canvas()
    draw_stars(c)
    draw_faders(c)
    draw_waves(c)
    vignette(c)
    draw_text(c, "TAVRIN SOLO", 40, 38, 7, 2.6, (250, 250, 255))
    draw_text(c, "CUEBOARD", 42, 104, 3, 1.1, (150, 225, 255))
    write_bmp(argv[1], c)
    write_ico(argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
