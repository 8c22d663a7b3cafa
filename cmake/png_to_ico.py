#!/usr/bin/env python3
"""Makes the program's .ico from the 256x256 PNG: the PNG itself as the 256-pixel image, and
16, 24, 32 and 48-pixel images drawn down from it (area averages over premultiplied alpha), each
a 32-bit bitmap with its mask, as the title bar, the taskbar and Explorer pick them by size.

Usage: png_to_ico.py INPUT.png OUTPUT.ico
"""
import struct
import sys
import zlib

SMALL_SIZES = (16, 24, 32, 48)


def read_rgba(png):
    """The pixels of an 8-bit RGBA, non-interlaced PNG as rows of (r, g, b, a)."""
    if png[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit("not a PNG")
    at, data, header = 8, b"", None
    while at < len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        body = png[at + 8:at + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            data += body
        at += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour != 6 or interlace != 0:
        sys.exit("only 8-bit RGBA PNGs without interlacing are read")
    raw, stride, rows, previous = zlib.decompress(data), width * 4, [], bytearray(width * 4)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - 4] if i >= 4 else 0
            up, corner = previous[i], previous[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append([tuple(line[x * 4:x * 4 + 4]) for x in range(width)])
        previous = line
    return rows


def drawn_down(rows, size):
    """Each target pixel averages the source pixels whose centres fall inside it."""
    source = len(rows)
    out = []
    for ty in range(size):
        ys = [y for y in range(source) if ty * source <= y * size + size // 2 < (ty + 1) * source]
        line = []
        for tx in range(size):
            xs = [x for x in range(source) if tx * source <= x * size + size // 2 < (tx + 1) * source]
            r = g = b = a = 0
            for y in ys:
                for x in xs:
                    pr, pg, pb, pa = rows[y][x]
                    r, g, b, a = r + pr * pa, g + pg * pa, b + pb * pa, a + pa
            count = len(xs) * len(ys)
            line.append((r // a, g // a, b // a, a // count) if a else (0, 0, 0, 0))
        out.append(line)
    return out


def bitmap(pixels):
    """A 32-bit icon bitmap: the header (twice the height, for the mask), BGRA rows bottom up,
    then the AND mask (all clear: the alpha channel decides)."""
    size = len(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for line in reversed(pixels) for (r, g, b, a) in line)
    mask_stride = ((size + 31) // 32) * 4
    return header + colour + bytes(mask_stride * size)


def main(source, target):
    png = open(source, "rb").read()
    rows = read_rgba(png)
    if len(rows) != 256 or len(rows[0]) != 256:
        sys.exit("the icon must be 256 x 256 pixels")
    images = [(size, bitmap(drawn_down(rows, size))) for size in SMALL_SIZES] + [(256, png)]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, image in images:
        # Width and height 0 mean 256; 32 bits per pixel.
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset + len(body))
        body += image
    open(target, "wb").write(directory + body)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
