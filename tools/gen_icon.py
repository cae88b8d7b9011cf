#!/usr/bin/env python3
"""Draws the program's icon (packaging/libupgrade.svg: the night-blue sky over
a shelf of book spines, the red book with the yellow arrow of the upgrade) as
a Windows .ico with 16, 32 and 48 pixel images, 32-bit with alpha.

    gen_icon.py OUTPUT.ico
"""
import struct
import sys

SKY = [(0.0, (0x12, 0x2A, 0x5C)), (0.65, (0x22, 0x58, 0x96)), (1.0, (0x0C, 0x1E, 0x42))]
SPINES = [(14, 52, 10, 48, (0xB2, 0x36, 0x30)), (26, 44, 13, 56, (0xD6, 0xA0, 0x34)),
          (41, 58, 9, 42, (0x3A, 0x80, 0x54)), (78, 48, 12, 52, (0x70, 0x48, 0x8C)),
          (92, 56, 10, 44, (0xC4, 0x6E, 0x28)), (104, 46, 11, 54, (0x46, 0x6E, 0xAA)),
          (10, 100, 108, 6, (0x78, 0x54, 0x34))]
ARROW = [(15, 7), (21, 14), (17.5, 14), (17.5, 21), (12.5, 21), (12.5, 14), (9, 14)]


def sky(y):
    t = y / 128.0
    for (t0, c0), (t1, c1) in zip(SKY, SKY[1:]):
        if t <= t1:
            u = (t - t0) / (t1 - t0)
            return tuple(int(a + (b - a) * u) for a, b in zip(c0, c1))
    return SKY[-1][1]


def inside(poly, x, y):
    hit = False
    for (x0, y0), (x1, y1) in zip(poly, poly[1:] + poly[:1]):
        if (y0 > y) != (y1 > y) and x < x0 + (y - y0) * (x1 - x0) / (y1 - y0):
            hit = not hit
    return hit


def in_round_rect(x, y, left, top, w, h, r):
    if not (left <= x <= left + w and top <= y <= top + h):
        return False
    cx = min(max(x, left + r), left + w - r)
    cy = min(max(y, top + r), top + h - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def colour(x, y):
    """The picture at (x, y) in the 128-unit square, or None outside it."""
    # The book, in its own 32-unit frame: translate(34 14) scale(2.6).
    bx, by = (x - 34) / 2.6, (y - 14) / 2.6
    if inside(ARROW, bx, by):
        return (0xFF, 0xD6, 0x40)
    if 8 <= bx <= 25 and 25 <= by <= 28:
        return (0xF5, 0xF0, 0xE1)
    if in_round_rect(bx, by, 5, 3, 20, 26, 2):
        edge = not in_round_rect(bx, by, 5.4, 3.4, 19.2, 25.2, 1.6)
        return (0x5A, 0x14, 0x14) if edge else (0xC8, 0x32, 0x28)
    for left, top, w, h, c in SPINES:
        if left <= x <= left + w and top <= y <= top + h:
            return c
    if in_round_rect(x, y, 4, 4, 120, 120, 18):
        return sky(y)
    return None


def image(size, samples=4):
    rows = []
    for py in range(size - 1, -1, -1):  # bottom-up, as a DIB
        row = bytearray()
        for px in range(size):
            r = g = b = a = 0
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) * 128.0 / size
                    y = (py + (sy + 0.5) / samples) * 128.0 / size
                    c = colour(x, y)
                    if c:
                        r, g, b, a = r + c[0], g + c[1], b + c[2], a + 1
            n = samples * samples
            row += bytes((b // a, g // a, r // a, 255 * a // n) if a else (0, 0, 0, 0))
        rows.append(bytes(row))
    pixels = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + mask_row * size, 0, 0, 0, 0)
    return header + pixels + bytes(mask_row * size)


def main():
    sizes = [16, 32, 48]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(sys.argv[1], "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main()
