#!/usr/bin/env python3
"""Writes kestrel.ico: one 32x32 image in 16 colours, a kestrel hovering in front of a
round patch of sky. The picture is the grid below; run this script again after editing it.

    python3 resources/make_icon.py resources/kestrel.ico
"""
import struct
import sys

# The standard 16-colour palette, as (blue, green, red, reserved) in the file.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]  # (red, green, blue)

# The bird, left half only (16 columns); the right half is its mirror image.
# '.' shows the background: a round patch of sky ('c', light cyan) in a blue rim ('b'),
# transparent outside it. Bird colours: 'r' dark red (rufous body), 'o' olive (wings),
# 'k' black (wing tips, eye stripe, tail band), 'w' white, 'y' yellow (beak, feet),
# 'g' grey (tail), 's' silver (spotted belly).
KEYS = {'k': 0, 'r': 1, 'o': 3, 'g': 8, 's': 7, 'b': 12, 'y': 11, 'c': 14, 'w': 15}

BIRD = [
    "................",
    "................",
    "................",
    "................",
    "..............rr",
    ".............rrr",
    ".............kwr",
    "..............wy",
    "kk............ww",
    ".kk..........orr",
    "..kkk......ooorr",
    "...kkoooooooorrr",
    "....kooooooorrrr",
    ".....oooooorrrrr",
    "......oorrrrrrrs",
    ".......rrrrrrrrr",
    "........kkrrrrsr",
    "..........krrrrr",
    "............rrrs",
    "............yrrr",
    ".............ggg",
    ".............ggg",
    "............gggg",
    "............gggg",
    "...........ggggg",
    "...........kkkkk",
    "...........wwwww",
    "................",
    "................",
    "................",
    "................",
    "................",
]


def background(x, y):
    d = ((x - 15.5) ** 2 + (y - 15.5) ** 2) ** 0.5
    if d > 15.6:
        return '.'
    return 'b' if d > 14.4 else 'c'


def rows():
    assert len(BIRD) == 32
    lines = []
    for y, half in enumerate(BIRD):
        assert len(half) == 16, half
        full = half + half[::-1]
        lines.append(''.join(ch if ch != '.' else background(x, y) for x, ch in enumerate(full)))
    return lines


def main(path):
    lines = rows()
    width = height = 32
    # Pixel rows are stored bottom-up; 4 bits per pixel, rows padded to 4 bytes.
    xor = bytearray()
    mask = bytearray()
    for line in reversed(lines):
        row = bytearray()
        for x in range(0, width, 2):
            hi = KEYS.get(line[x], 0)
            lo = KEYS.get(line[x + 1], 0)
            row.append(hi << 4 | lo)
        xor += row
        bits = 0
        for x in range(width):
            bits = bits << 1 | (1 if line[x] == '.' else 0)
        mask += struct.pack('>I', bits)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    header = struct.pack('<IiiHHIIiiII', 40, width, height * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', width, height, 16, 0, 1, 4, len(image), 6 + 16)
    with open(path, 'wb') as out:
        out.write(directory + entry + image)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'kestrel.ico')
