#!/usr/bin/env python3
"""Writes a one-image .ico with 24 bits per pixel from an 8-bit RGBA PNG.

Usage: png-to-ico.py IN.png OUT.ico. Transparency goes into the icon's mask
(alpha below one half is transparent); 24-bit colour has no alpha of its own.
"""
import struct
import sys
import zlib


def read_rgba(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit(f"{path}: not a PNG")
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if (depth, colour, interlace) != (8, 6, 0):
                sys.exit(f"{path}: needs 8-bit RGBA, not interlaced")
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw, stride, rows, prior = zlib.decompress(idat), width * 4, [], bytearray(width * 4)
    for y in range(height):
        line = raw[y * (stride + 1):(y + 1) * (stride + 1)]
        kind, row = line[0], bytearray(line[1:])
        for i in range(stride):
            left = row[i - 4] if i >= 4 else 0
            up, corner = prior[i], prior[i - 4] if i >= 4 else 0
            if kind == 1:
                row[i] = (row[i] + left) & 255
            elif kind == 2:
                row[i] = (row[i] + up) & 255
            elif kind == 3:
                row[i] = (row[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                row[i] = (row[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append(bytes(row))
        prior = row
    return width, height, rows


def main():
    width, height, rows = read_rgba(sys.argv[1])
    colour, mask = b"", b""
    mask_stride = ((width + 31) // 32) * 4
    for row in reversed(rows):  # bottom-up
        line, bits = bytearray(), bytearray(mask_stride)
        for x in range(width):
            r, g, b, a = row[x * 4:x * 4 + 4]
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
                r = g = b = 0
            line += bytes((b, g, r))
        line += bytes(-len(line) % 4)
        colour += line
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 24, 0, len(colour) + len(mask), 0, 0, 0, 0)
    image = header + colour + mask
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack(
        "<BBBBHHII", width % 256, height % 256, 0, 0, 1, 24, len(image), 22)
    open(sys.argv[2], "wb").write(directory + image)


main()
