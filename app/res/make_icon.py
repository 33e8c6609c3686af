#!/usr/bin/env python3
"""Draws the program icon (a sine wave over a keyboard brick) and writes
tonbrik.ico with a 32x32 and a 16x16 image in the 16 standard colours.

Run it again after changing the drawing; the .ico is kept in the repository so
builds need no Python."""
import math
import struct
import sys

# The 16-colour palette every display shows the same (R, G, B).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, GREY, YELLOW, WHITE = 0, 4, 8, 11, 15
CLEAR = None


def draw(size):
    """Rows top to bottom of palette indexes, CLEAR for transparent pixels."""
    s = size / 32.0
    px = [[CLEAR] * size for _ in range(size)]
    corner = max(1, round(3 * s))
    for y in range(size):
        for x in range(size):
            # Rounded square: cut the corners on a circle of radius `corner`.
            cx = min(max(x, corner), size - 1 - corner)
            cy = min(max(y, corner), size - 1 - corner)
            if (x - cx) ** 2 + (y - cy) ** 2 > corner ** 2:
                continue
            edge = (x - cx) ** 2 + (y - cy) ** 2 > (corner - 1) ** 2 or x in (0, size - 1) \
                or y in (0, size - 1)
            px[y][x] = BLACK if edge else NAVY
    # Keyboard along the bottom: white keys parted by grey lines, black keys above.
    keys_top = round(22 * s)
    for y in range(keys_top, size - 1):
        for x in range(1, size - 1):
            if px[y][x] is not CLEAR and px[y][x] != BLACK:
                px[y][x] = GREY if x % max(3, round(4 * s)) == 0 else WHITE
    if size >= 32:
        for k in range(7):
            x0 = 3 + 4 * k
            if k in (2, 6):
                continue
            for y in range(keys_top, keys_top + 5):
                for x in (x0 + 1, x0 + 2):
                    if x < size - 1:
                        px[y][x] = BLACK
    # One period and a half of a sine wave above the keys.
    mid = 11.5 * s
    amp = 7.0 * s
    for x in range(2, size - 2):
        for sub in range(4):
            t = (x + sub / 4.0 - 2) / (size - 4)
            y = round(mid - amp * math.sin(2 * math.pi * 1.5 * t))
            for dy in ((0, 1) if size >= 32 else (0,)):
                if 1 <= y + dy < keys_top:
                    px[y + dy][x] = YELLOW
    return px


def dib(px):
    size = len(px)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    xor = b''
    mask = b''
    for row in reversed(px):  # bitmaps are stored bottom-up
        line = bytearray()
        for x in range(0, size, 2):
            hi = row[x] if row[x] is not CLEAR else 0
            lo = row[x + 1] if row[x + 1] is not CLEAR else 0
            line.append(hi << 4 | lo)
        xor += bytes(line).ljust((len(line) + 3) // 4 * 4, b'\0')
        bits = bytearray((size + 7) // 8)
        for x in range(size):
            if row[x] is CLEAR:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits).ljust((len(bits) + 3) // 4 * 4, b'\0')
    return header + palette + xor + mask


def main(out):
    images = [dib(draw(32)), dib(draw(16))]
    data = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, img in zip((32, 16), images):
        data += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(img), offset)
        offset += len(img)
    with open(out, 'wb') as f:
        f.write(data + b''.join(images))


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'tonbrik.ico')
