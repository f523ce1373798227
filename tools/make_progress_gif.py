#!/usr/bin/env python3
"""Writes the wizard's progress strip animation: a GIF of 375 x 22 pixels, 92 frames of
100 ms each, looping without end. A row of green blocks slides through a sunken track.

    make_progress_gif.py OUT.gif
"""
import struct
import sys

WIDTH, HEIGHT, FRAMES, DELAY = 375, 22, 92, 10  # delay in hundredths of a second

PALETTE = [
    (0xF0, 0xF0, 0xF0),  # 0 track
    (0x80, 0x80, 0x80),  # 1 dark edge
    (0xFF, 0xFF, 0xFF),  # 2 light edge
    (0x1F, 0xA0, 0x3C),  # 3 block
    (0x7C, 0xD8, 0x8E),  # 4 block highlight
    (0x17, 0x7A, 0x2E),  # 5 block shadow
    (0xD4, 0xD0, 0xC8),  # 6 unused
    (0x00, 0x00, 0x00),  # 7 unused
]
BLOCK, GAP, BLOCKS = 9, 3, 5


def frame_pixels(index):
    pixels = bytearray(WIDTH * HEIGHT)
    for x in range(WIDTH):
        pixels[x] = 1
        pixels[(HEIGHT - 1) * WIDTH + x] = 2
    for y in range(HEIGHT):
        pixels[y * WIDTH] = 1
        pixels[y * WIDTH + WIDTH - 1] = 2
    run = BLOCKS * (BLOCK + GAP)
    travel = WIDTH + run
    start = index * travel // FRAMES - run
    for b in range(BLOCKS):
        left = start + b * (BLOCK + GAP)
        for x in range(max(2, left), min(WIDTH - 2, left + BLOCK)):
            for y in range(3, HEIGHT - 3):
                colour = 4 if y < 7 else (5 if y > HEIGHT - 7 else 3)
                pixels[y * WIDTH + x] = colour
    return bytes(pixels)


def lzw(pixels, min_code_size):
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    codes = []
    table = {bytes([i]): i for i in range(clear)}
    next_code, size = end + 1, min_code_size + 1
    codes.append((clear, size))
    current = b""
    for value in pixels:
        candidate = current + bytes([value])
        if candidate in table:
            current = candidate
            continue
        codes.append((table[current], size))
        if next_code < 4096:
            table[candidate] = next_code
            next_code += 1
            if next_code > (1 << size) and size < 12:
                size += 1
        else:
            codes.append((clear, size))
            table = {bytes([i]): i for i in range(clear)}
            next_code, size = end + 1, min_code_size + 1
        current = bytes([value])
    codes.append((table[current], size))
    codes.append((end, size))
    out, bits, nbits = bytearray(), 0, 0
    for code, width in codes:
        bits |= code << nbits
        nbits += width
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8
    if nbits:
        out.append(bits & 0xFF)
    return bytes(out)


def sub_blocks(data):
    out = bytearray()
    for i in range(0, len(data), 255):
        chunk = data[i:i + 255]
        out.append(len(chunk))
        out += chunk
    out.append(0)
    return bytes(out)


def main():
    gif = bytearray(b"GIF89a")
    gif += struct.pack("<HHBBB", WIDTH, HEIGHT, 0xF2, 0, 0)  # global table of 8 colours
    for r, g, b in PALETTE:
        gif += bytes([r, g, b])
    gif += b"\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00"  # loop forever
    for index in range(FRAMES):
        gif += b"\x21\xF9\x04" + struct.pack("<BHBB", 0x04, DELAY, 0, 0)
        gif += b"\x2C" + struct.pack("<HHHHB", 0, 0, WIDTH, HEIGHT, 0)
        gif += bytes([3]) + sub_blocks(lzw(frame_pixels(index), 3))
    gif += b"\x3B"
    with open(sys.argv[1], "wb") as out:
        out.write(gif)


if __name__ == "__main__":
    main()
