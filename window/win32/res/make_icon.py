#!/usr/bin/env python3
"""Draws the agent's icon (resource 128): one 32x32 image, 32 bits with alpha.

A dark blue disc with a light ring and a dot: a quiet mark for a program that
is never seen. Run it to re-create quorva.ico beside this script.
"""
import math
import os
import struct

SIZE = 32


def pixel(x, y):
    cx = cy = (SIZE - 1) / 2.0
    r = math.hypot(x - cx, y - cy)
    if r > 15.5:
        return (0, 0, 0, 0)
    if 8.5 <= r <= 11.5:
        return (0xE8, 0xF0, 0xF8, 0xFF)  # ring
    if x >= 20 and y >= 20 and r <= 15.5 and abs((x - cx) - (y - cy)) <= 2:
        return (0xE8, 0xF0, 0xF8, 0xFF)  # the tail of the "q"
    if r <= 3.0:
        return (0x40, 0xB0, 0xF0, 0xFF)  # dot
    return (0x30, 0x48, 0x80, 0xFF)  # disc


def build():
    rows = []
    mask_rows = []
    for y in range(SIZE - 1, -1, -1):  # bottom-up, as a DIB is stored
        row = b""
        bits = 0
        mask = b""
        for x in range(SIZE):
            r, g, b, a = pixel(x, y)
            row += bytes((b, g, r, a))
            bits = (bits << 1) | (1 if a == 0 else 0)
            if x % 8 == 7:
                mask += bytes((bits,))
                bits = 0
        rows.append(row)
        mask_rows.append(mask)  # 4 bytes: already a multiple of 4
    xor = b"".join(rows)
    and_mask = b"".join(mask_rows)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0,
                         len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "quorva.ico")
    with open(path, "wb") as f:
        f.write(build())
    print(path)
