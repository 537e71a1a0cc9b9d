#!/usr/bin/env python3
"""Draws Reelhawk's icon and writes app/reelhawk.ico: 32x32, 24x24 and 16x16 images at 32 bits per
pixel (BGRA with an AND mask), each drawn at its own size. Plain python3, no extra modules.

The artwork: a film reel on a rounded blue tile, with an orange arrow swooping down to it (the
hawk's dive that fetches the video's address)."""

import math
import os
import struct
import sys

SIZES = (32, 24, 16)
SUPERSAMPLE = 4

TILE = (0x1F, 0x4E, 0x8C)
TILE_EDGE = (0x12, 0x33, 0x5E)
REEL = (0xF4, 0xF6, 0xFA)
HOLE = (0x1F, 0x4E, 0x8C)
ARROW = (0xFF, 0x8A, 0x1E)


def rounded_square(x, y, inset, radius):
    """Inside test for a square [inset, 1-inset]^2 with rounded corners (unit coordinates)."""
    lo, hi = inset + radius, 1.0 - inset - radius
    cx = min(max(x, lo), hi)
    cy = min(max(y, lo), hi)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2 and inset <= x <= 1 - inset and inset <= y <= 1 - inset


def reel(x, y):
    """The reel: a disc with five holes around a hub."""
    cx, cy, r = 0.45, 0.55, 0.33
    d = math.hypot(x - cx, y - cy)
    if d > r:
        return None
    if d < 0.045:
        return HOLE
    for k in range(5):
        a = -math.pi / 2 + k * 2 * math.pi / 5
        hx, hy = cx + 0.19 * math.cos(a), cy + 0.19 * math.sin(a)
        if math.hypot(x - hx, y - hy) < 0.075:
            return HOLE
    return REEL


def arrow(x, y):
    """A thick arrow from the upper right down toward the reel's rim."""
    # Shaft: a band around the line from (0.88, 0.10) to (0.66, 0.40).
    ax, ay, bx, by = 0.88, 0.10, 0.68, 0.38
    vx, vy = bx - ax, by - ay
    length = math.hypot(vx, vy)
    ux, uy = vx / length, vy / length
    px, py = x - ax, y - ay
    along = px * ux + py * uy
    across = abs(-px * uy + py * ux)
    if 0 <= along <= length and across <= 0.055:
        return ARROW
    # Head: a triangle with its tip beyond the shaft's end.
    tip = (bx + ux * 0.16, by + uy * 0.16)
    left = (bx - uy * 0.13, by + ux * 0.13)
    right = (bx + uy * 0.13, by - ux * 0.13)
    if inside_triangle((x, y), tip, left, right):
        return ARROW
    return None


def inside_triangle(p, a, b, c):
    def side(p1, p2, p3):
        return (p1[0] - p3[0]) * (p2[1] - p3[1]) - (p2[0] - p3[0]) * (p1[1] - p3[1])

    d1, d2, d3 = side(p, a, b), side(p, b, c), side(p, c, a)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def sample(x, y):
    """Colour and coverage (0 or 1) of one point of the picture."""
    colour = arrow(x, y)
    if colour is not None:
        return colour, 1
    if not rounded_square(x, y, 0.03, 0.2):
        return (0, 0, 0), 0
    colour = reel(x, y)
    if colour is not None:
        return colour, 1
    edge = not rounded_square(x, y, 0.08, 0.16)
    return (TILE_EDGE if edge else TILE), 1


def render(size):
    """Rows top to bottom of (b, g, r, a) pixels."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    (cr, cg, cb), cov = sample(x, y)
                    r += cr * cov
                    g += cg * cov
                    b += cb * cov
                    a += cov
            if a > 0:
                row.append((round(b / a), round(g / a), round(r / a), round(255 * a / (n * n))))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def image_data(size):
    """One icon image: BITMAPINFOHEADER, BGRA rows bottom-up, then the AND mask."""
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes(channel for pixel in row for channel in pixel) for row in reversed(rows))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, pixel in enumerate(row):
            if pixel[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + colour + bytes(mask)


def icon_file():
    images = [image_data(size) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "app", "reelhawk.ico")
    with open(target, "wb") as f:
        f.write(icon_file())
    print(target)


if __name__ == "__main__":
    main()
