#!/usr/bin/env python3
"""Draws the control window's logo (logo.png beside this script): a violet ring with a
short diagonal stroke through its lower right, on a transparent background. Standard
library only; run it again after changing the drawing."""

import math
import os
import struct
import zlib

SIZE = 128
SAMPLES = 4  # per axis, for smooth edges

INNER = (0.55, 0.40, 0.98)  # lighter violet at the top left
OUTER = (0.35, 0.25, 0.70)  # darker violet at the bottom right


def coverage(x, y):
    """1 where the shape is, 0 elsewhere, for a point in [-1, 1] coordinates."""
    r = math.hypot(x, y)
    if 0.52 <= r <= 0.80:
        return 1.0
    # The stroke: a band along the diagonal from the ring's lower right outwards.
    along = (x + y) / math.sqrt(2.0)
    across = abs(x - y) / math.sqrt(2.0)
    if 0.38 <= along <= 0.98 and across <= 0.11:
        return 1.0
    return 0.0


def pixel(px, py):
    hits = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = ((px + (sx + 0.5) / SAMPLES) / SIZE) * 2.0 - 1.0
            y = ((py + (sy + 0.5) / SAMPLES) / SIZE) * 2.0 - 1.0
            hits += coverage(x, y)
    alpha = hits / (SAMPLES * SAMPLES)
    t = (px + py) / (2.0 * (SIZE - 1))
    rgb = [INNER[i] + (OUTER[i] - INNER[i]) * t for i in range(3)]
    return bytes([round(c * 255) for c in rgb] + [round(alpha * 255)])


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    rows = b"".join(b"\x00" + b"".join(pixel(x, y) for x in range(SIZE)) for y in range(SIZE))
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(rows, 9))
    png += chunk(b"IEND", b"")
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "logo.png")
    with open(path, "wb") as out:
        out.write(png)


if __name__ == "__main__":
    main()
