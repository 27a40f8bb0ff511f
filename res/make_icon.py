#!/usr/bin/env python3
"""Writes kvpcact.ico: one 32 x 32, 16-colour image of a clock face.

Run it from this folder; the output is committed, so the build needs no Python.
"""
import math
import struct

SIZE = 32
# The standard 16-colour palette (B, G, R, 0).
PALETTE = [
    (0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128),
    (128, 0, 0), (128, 0, 128), (128, 128, 0), (192, 192, 192),
    (128, 128, 128), (0, 0, 255), (0, 255, 0), (0, 255, 255),
    (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255),
]
BLACK, NAVY, GREY, BLUE, WHITE = 0, 4, 8, 12, 15


def pixel(x, y):
    """Palette index at (x, y), or None where the icon is transparent."""
    cx = cy = 15.5
    dx, dy = x - cx, y - cy
    r = math.hypot(dx, dy)
    if r > 15.5:
        return None
    if r > 13.0:
        return NAVY
    # Hour marks at 12, 3, 6 and 9.
    if r > 10.0 and (abs(dx) < 1.0 or abs(dy) < 1.0):
        return BLUE
    # Minute hand straight up, hour hand towards 4 o'clock.
    if abs(dx) < 1.0 and -11.0 < dy <= 0.5:
        return BLACK
    angle = math.radians(30)
    along = dx * math.cos(angle) + dy * math.sin(angle)
    across = -dx * math.sin(angle) + dy * math.cos(angle)
    if -0.5 <= along < 7.5 and abs(across) < 1.1:
        return BLACK
    if r < 2.0:
        return GREY
    return WHITE


def main():
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bottom-up, as bitmaps are stored
        for x in range(0, SIZE, 2):
            hi, lo = row[x] or 0, row[x + 1] or 0
            xor.append(hi << 4 | lo)
        bits = 0
        for x in range(SIZE):
            bits = bits << 1 | (row[x] is None)
        mask += struct.pack(">I", bits)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (b, g, r) in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    with open("kvpcact.ico", "wb") as f:
        f.write(icondir + entry + image)


if __name__ == "__main__":
    main()
