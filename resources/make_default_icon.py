#!/usr/bin/env python3
"""Draws the packer's default icon set and writes it as default.ico.

Six 32-bit RGBA PNG images, 16 to 256 pixels square: a rounded square with a
blue-to-teal gradient carrying a white chevron. Each size is drawn at its own
resolution (4x4 samples per pixel), not scaled from another, so small sizes
stay sharp. Uses only the standard library; the output is the same on every
run, so the committed default.ico can be checked by running this again.

    python3 resources/make_default_icon.py [OUT.ico]
"""
import math
import struct
import sys
import zlib

SIZES = (16, 32, 48, 64, 128, 256)
SAMPLES = 4


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def inside_rounded_square(x, y, radius):
    # x, y in [0, 1]; the square fills the image with a small margin.
    margin = 0.03
    lo, hi = margin + radius, 1 - margin - radius
    cx = min(max(x, lo), hi)
    cy = min(max(y, lo), hi)
    return math.hypot(x - cx, y - cy) <= radius


def inside_chevron(x, y):
    # A "V": two strokes meeting at the bottom, thick enough for 16 pixels.
    half = 0.085
    left = segment_distance(x, y, 0.27, 0.27, 0.5, 0.74)
    right = segment_distance(x, y, 0.73, 0.27, 0.5, 0.74)
    return min(left, right) <= half


def pixel(size, px, py):
    covered = chevron = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / size
            y = (py + (sy + 0.5) / SAMPLES) / size
            if inside_rounded_square(x, y, 0.2):
                covered += 1
                if inside_chevron(x, y):
                    chevron += 1
    if covered == 0:
        return (0, 0, 0, 0)
    t = (py + 0.5) / size
    top, bottom = (32, 86, 196), (18, 170, 160)
    background = [round(a + (b - a) * t) for a, b in zip(top, bottom)]
    share = chevron / covered
    colour = [round(c + (255 - c) * share) for c in background]
    alpha = round(255 * covered / (SAMPLES * SAMPLES))
    return (colour[0], colour[1], colour[2], alpha)


def png(size):
    rows = bytearray()
    for py in range(size):
        rows.append(0)  # filter: none
        for px in range(size):
            rows.extend(pixel(size, px, py))

    def chunk(kind, data):
        body = kind + data
        return (struct.pack(">I", len(data)) + body +
                struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, data = b"", b""
    for size, image in images:
        stored = 0 if size == 256 else size
        entries += struct.pack("<BBBBHHII", stored, stored, 0, 0, 1, 32,
                               len(image), offset + len(data))
        data += image
    return out + entries + data


def main():
    target = sys.argv[1] if len(sys.argv) > 1 else "default.ico"
    with open(target, "wb") as f:
        f.write(ico([(size, png(size)) for size in SIZES]))


if __name__ == "__main__":
    main()
