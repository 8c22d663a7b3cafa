#!/usr/bin/env python3
"""Draws the Morvell application icon (256 x 256, 32-bit RGBA PNG) into res/morvell.png."""
import math, os, struct, sys, zlib

SIZE = 256

def inside_rounded(x, y, margin, radius):
    lo, hi = margin, SIZE - 1 - margin
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2 and lo <= x <= hi and lo <= y <= hi

def dist_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / float(dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))

# The letter M as four strokes, and a small download arrow below it.
STROKES = [(64, 176, 64, 72), (64, 72, 128, 140), (128, 140, 192, 72), (192, 72, 192, 176)]

def pixel(x, y):
    if not inside_rounded(x, y, 8, 48):
        return (0, 0, 0, 0)
    t = y / float(SIZE)
    r, g, b = int(30 + 20 * t), int(110 + 60 * t), int(200 - 40 * t)
    if any(dist_to_segment(x, y, *s) <= 14 for s in STROKES):
        return (255, 255, 255, 255)
    if 112 <= x <= 144 and 188 <= y <= 206:
        return (255, 210, 80, 255)
    if 206 <= y <= 232 and abs(x - 128) <= (232 - y) * 1.2:
        return (255, 210, 80, 255)
    return (r, g, b, 255)

def main(out):
    raw = bytearray()
    for y in range(SIZE):
        raw.append(0)
        for x in range(SIZE):
            raw.extend(pixel(x, y))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
    with open(out, "wb") as f:
        f.write(png)

if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "res", "morvell.png"))
