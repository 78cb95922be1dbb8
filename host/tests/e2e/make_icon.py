#!/usr/bin/python3
"""Writes the test window's icon: 32 by 32, four coloured quadrants, as a 32-bit .ico."""
import struct
import sys

SIZE = 32
COLOURS = [[(0, 0, 255), (0, 255, 0)], [(255, 0, 0), (255, 255, 0)]]  # BGR, bottom row first

pixels = b"".join(bytes(COLOURS[y * 2 // SIZE][x * 2 // SIZE]) + b"\xff" for y in range(SIZE) for x in range(SIZE))
mask = bytes(SIZE * SIZE // 8)  # all opaque
header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
image = header + pixels + mask
with open(sys.argv[1], "wb") as out:
    out.write(struct.pack("<HHH", 0, 1, 1))
    out.write(struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16))
    out.write(image)
