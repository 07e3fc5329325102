#!/usr/bin/env python3
"""Draws the program icon (resource 104): one 32x32 image in 16 colours, written as install.ico.

A blue tile with a yellow ring and a white arrow pointing down into it (fetch and install).
Run from this folder: python3 make_icon.py
"""
import struct

SIZE = 32
# The 16-colour palette as (red, green, blue), standard VGA order; stored as blue, green, red, 0.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_BLUE, BLUE, YELLOW, WHITE = 0, 4, 12, 11, 15


def pixel(x, y):
    """Palette index of the pixel at column x, row y (row 0 at the top)."""
    # Rounded tile: blue with a dark border, corners left to the mask.
    corner = 3
    cx = min(x, SIZE - 1 - x)
    cy = min(y, SIZE - 1 - y)
    if cx < corner and cy < corner and (corner - cx) ** 2 + (corner - cy) ** 2 > corner ** 2 + 1:
        return None
    if cx == 0 or cy == 0:
        return DARK_BLUE
    colour = BLUE
    # Yellow ring centred low on the tile.
    dx, dy = x - 15.5, y - 18.5
    r2 = dx * dx + dy * dy
    if 8.0 ** 2 <= r2 <= 11.0 ** 2:
        colour = YELLOW
    # White arrow: shaft from the top, head pointing into the ring.
    if 14 <= x <= 17 and 3 <= y <= 15:
        colour = WHITE
    if 15 <= y <= 21 and abs(x - 15.5) <= 21 - y + 0.5:
        colour = WHITE
    return colour


def build():
    rows_xor = []
    rows_and = []
    for y in range(SIZE - 1, -1, -1):  # bottom-up
        xor = bytearray()
        mask_bits = 0
        for x in range(0, SIZE, 2):
            a, b = pixel(x, y), pixel(x + 1, y)
            xor.append(((a or 0) << 4) | (b or 0))
        for x in range(SIZE):
            mask_bits = (mask_bits << 1) | (1 if pixel(x, y) is None else 0)
        rows_xor.append(bytes(xor))
        rows_and.append(struct.pack(">I", mask_bits))
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    image = header + palette + b"".join(rows_xor) + b"".join(rows_and)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    with open("install.ico", "wb") as out:
        out.write(build())
