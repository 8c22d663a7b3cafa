#!/usr/bin/env python3
"""Wraps a 256x256 PNG into a one-image .ico file (PNG-compressed icons, Windows Vista and later).

Usage: png_to_ico.py INPUT.png OUTPUT.ico
"""
import struct
import sys

png = open(sys.argv[1], "rb").read()
if png[:8] != b"\x89PNG\r\n\x1a\n":
    sys.exit("not a PNG: " + sys.argv[1])
width, height = struct.unpack(">II", png[16:24])
header = struct.pack("<HHH", 0, 1, 1)
# Width and height 0 mean 256; 32 bits per pixel; the image follows the 22-byte directory.
entry = struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(png), 6 + 16)
open(sys.argv[2], "wb").write(header + entry + png)
