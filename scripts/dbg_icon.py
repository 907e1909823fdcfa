#!/usr/bin/env python3
"""Draws the web console's icon, src/lib/libdbg/dbg_icon.png: a rounded tile with a
shell prompt (a chevron and a cursor bar). Pure Python (zlib, struct), no image library.

Usage: scripts/dbg_icon.py [OUT.png]   (default: the library's icon, rewritten in place)
"""
import math
import os
import struct
import sys
import zlib

SIZE = 64          # pixels per side
SAMPLES = 4        # supersampling per axis, for smooth edges
TOP = (0x25, 0x63, 0xeb)      # tile colour at the top
BOTTOM = (0x0e, 0x3a, 0x8c)   # and at the bottom
INK = (0xff, 0xff, 0xff)
CURSOR = (0x7d, 0xf0, 0xb4)


def rounded_rect(x, y, x0, y0, x1, y1, r):
    """Signed distance from (x, y) to a rounded rectangle (negative inside)."""
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r
    dx, dy = abs(x - cx) - hx, abs(y - cy) - hy
    outside = math.hypot(max(dx, 0), max(dy, 0))
    return outside + min(max(dx, dy), 0) - r


def segment(x, y, ax, ay, bx, by, w):
    """Signed distance to a stroke of half-width w from a to b with round caps."""
    px, py, vx, vy = x - ax, y - ay, bx - ax, by - ay
    t = max(0.0, min(1.0, (px * vx + py * vy) / (vx * vx + vy * vy)))
    return math.hypot(px - vx * t, py - vy * t) - w


def shade(x, y):
    """Colour and coverage (0..1) of one sample point in a 0..SIZE square."""
    if rounded_rect(x, y, 2, 2, SIZE - 2, SIZE - 2, 13) > 0:
        return (0, 0, 0), 0.0
    t = y / SIZE
    colour = tuple(round(a + (b - a) * t) for a, b in zip(TOP, BOTTOM))
    chevron = min(segment(x, y, 16, 19, 30, 32, 4.2), segment(x, y, 30, 32, 16, 45, 4.2))
    if chevron <= 0:
        return INK, 1.0
    if rounded_rect(x, y, 34, 40.5, 50, 48.5, 2) <= 0:
        return CURSOR, 1.0
    return colour, 1.0


def pixels():
    rows = []
    for py in range(SIZE):
        row = bytearray([0])  # filter type None
        for px in range(SIZE):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c, a = shade(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
                    for i in range(3):
                        acc[i] += c[i] * a
                    acc[3] += a
            n = SAMPLES * SAMPLES
            alpha = acc[3] / n
            rgb = [round(v / acc[3]) if acc[3] else 0 for v in acc[:3]]
            row += bytes(rgb + [round(alpha * 255)])
        rows.append(bytes(row))
    return b"".join(rows)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def png():
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(pixels(), 9)) + chunk(b"IEND", b""))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        here, "..", "src", "lib", "libdbg", "dbg_icon.png")
    with open(out, "wb") as f:
        f.write(png())


if __name__ == "__main__":
    main()
