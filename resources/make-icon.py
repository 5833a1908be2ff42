#!/usr/bin/env python3
"""Draws QVStowletIcon.png, the plug-in's icon: a paper clip over a stowed picture.

Run from anywhere; writes QVStowletIcon.png beside this script, the same on every run.
"""
import math
import os
import struct
import zlib

SIZE = 64
HERE = os.path.dirname(os.path.abspath(__file__))


def png(width, height, pixel):
    rows = b"".join(
        b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(width)) for y in range(height))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def near_segment(x, y, x0, y0, x1, y1, width):
    dx, dy = x1 - x0, y1 - y0
    t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / float(dx * dx + dy * dy)))
    return math.hypot(x - (x0 + t * dx), y - (y0 + t * dy)) <= width


def near_arc(x, y, cx, cy, r, upper, width):
    if upper and y > cy or not upper and y < cy:
        return False
    return abs(math.hypot(x - cx, y - cy) - r) <= width


def pixel(x, y):
    # The clip: two straight wires joined by round ends, slanted over the picture.
    clip = (near_segment(x, y, 22, 14, 22, 44, 1.6) or near_segment(x, y, 32, 14, 32, 50, 1.6) or
            near_segment(x, y, 27, 20, 27, 44, 1.6) or near_arc(x, y, 27, 14, 5, True, 1.6) or
            near_arc(x, y, 27.5, 44, 5.5, False, 1.6) or near_arc(x, y, 24.5, 44, 2.5, False, 1.6))
    if clip:
        return (90, 96, 110, 255)
    # The picture card: sky, sun and a hill, with a white frame and rounded corners.
    left, top, right, bottom = 14, 18, 56, 54
    inside = left <= x < right and top <= y < bottom
    corner = min(x - left, right - 1 - x) < 3 and min(y - top, bottom - 1 - y) < 3
    if not inside or (corner and math.hypot(min(x - left, right - 1 - x) - 3,
                                            min(y - top, bottom - 1 - y) - 3) > 3):
        return (0, 0, 0, 0)
    if x < left + 3 or x >= right - 3 or y < top + 3 or y >= bottom - 3:
        return (250, 250, 252, 255)
    if math.hypot(x - 45, y - 28) < 5:
        return (255, 205, 70, 255)
    if y > 44 - 6 * math.sin((x - left) / 9.0):
        return (60, 150, 80, 255)
    return (110, 170, 235, 255)


with open(os.path.join(HERE, "QVStowletIcon.png"), "wb") as f:
    f.write(png(SIZE, SIZE, pixel))
