#!/usr/bin/env python3
"""Writes res/updater.ico: 256 colours (8-bit BMP), one image for each size
the system asks for at the usual display scales (large 32/40/48/64 and small
16/20/24/32 pixels at 100/125/150/200 %), so that none has to be stretched.

The picture is a blue disc with a white downward arrow, drawn from geometry so
that every size stays crisp. Run it again after changing the drawing.
"""
import struct
import sys

BLUE, WHITE, DARK, CLEAR = 1, 2, 3, 0
PALETTE = {CLEAR: (0, 0, 0), BLUE: (215, 120, 30), WHITE: (255, 255, 255), DARK: (140, 70, 10)}  # BGR


def draw(size):
    c = (size - 1) / 2.0
    r = size / 2.0 - 0.5
    px = [[CLEAR] * size for _ in range(size)]
    for y in range(size):
        for x in range(size):
            d = ((x - c) ** 2 + (y - c) ** 2) ** 0.5
            if d <= r:
                px[y][x] = DARK if d > r - max(1, size // 16) else BLUE
    s = size / 32.0
    for y in range(size):
        for x in range(size):
            fx, fy = x / s, y / s
            shaft = 13 <= fx <= 18 and 6 <= fy <= 17
            head = 17 <= fy <= 25 and abs(fx - 15.5) <= (25 - fy) * 1.1
            if shaft or head:
                px[y][x] = WHITE
    return px


def image(size):
    px = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 8, 0, 0, 0, 0, 256, 0)
    palette = b''.join(bytes(PALETTE.get(i, (0, 0, 0))) + b'\0' for i in range(256))
    rows = b''.join(bytes(px[y]) for y in reversed(range(size)))  # bottom-up
    mask_stride = ((size + 31) // 32) * 4
    mask = b''
    for y in reversed(range(size)):
        row = bytearray(mask_stride)
        for x in range(size):
            if px[y][x] == CLEAR:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(row)
    return header + palette + rows + mask


def main(path):
    sizes = (32, 16, 20, 24, 40, 48, 64)
    images = [image(size) for size in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 8, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'res/updater.ico')
