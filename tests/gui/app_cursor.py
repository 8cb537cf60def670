#!/usr/bin/env python3
"""Prints the X server's current cursor as "WIDTHxHEIGHT hot XHOT,YHOT name NAME digest D"
(XFixesGetCursorImage), so a test can tell which cursor a Windows program shows."""
import ctypes
import hashlib
import sys


class CursorImage(ctypes.Structure):
    _fields_ = [("x", ctypes.c_short), ("y", ctypes.c_short),
                ("width", ctypes.c_ushort), ("height", ctypes.c_ushort),
                ("xhot", ctypes.c_ushort), ("yhot", ctypes.c_ushort),
                ("cursor_serial", ctypes.c_ulong), ("pixels", ctypes.POINTER(ctypes.c_ulong)),
                ("atom", ctypes.c_ulong), ("name", ctypes.c_char_p)]


def main():
    x11 = ctypes.CDLL("libX11.so.6")
    xfixes = ctypes.CDLL("libXfixes.so.3")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xfixes.XFixesGetCursorImage.restype = ctypes.POINTER(CursorImage)
    xfixes.XFixesGetCursorImage.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(None)
    if not display:
        print("no display", file=sys.stderr)
        return 1
    image = xfixes.XFixesGetCursorImage(display)
    if not image:
        print("no cursor image", file=sys.stderr)
        return 1
    c = image.contents
    pixels = bytes(ctypes.string_at(c.pixels, c.width * c.height * ctypes.sizeof(ctypes.c_ulong)))
    print("%dx%d hot %d,%d name %s digest %s" % (
        c.width, c.height, c.xhot, c.yhot, (c.name or b"").decode() or "-",
        hashlib.md5(pixels).hexdigest()[:12]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
