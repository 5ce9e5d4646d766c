#!/usr/bin/env python3
"""Writes quorvex_ae.ico: the window icon of the Qt dialog (a burst on a
trace, amber on dark blue) at 16, 32 and 48 pixels, for the Win32 resource.

Plain Python, no imaging library: each image is a 32-bit BGRA DIB with its
AND mask, as every Windows version reads them. The output is the same bytes
on every run, so the committed file can be checked against it.

    python3 src/app/win32/make_icon.py [OUTPUT]
"""
import math
import struct
import sys
from pathlib import Path

BACKGROUND = (0x1F, 0x3A, 0x5F)
TRACE = (0xF2, 0xC1, 0x4E)
SIZES = (16, 32, 48)
SUPERSAMPLE = 4  # per axis: enough to smooth a 2-pixel line at 16 px


def trace_points():
    """The trace in the 32-unit drawing space of the Qt icon."""
    points = [(1.0, 16.0)]
    for i in range(1, 32):
        t = (i - 8) / 4.0
        envelope = t * t * math.exp(2.0 - t) / 4.0 if t > 0 else 0.0
        points.append((float(i), 16.0 - 13.0 * envelope * math.sin(2.4 * i)))
    return points


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    u = 0.0 if length2 == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / length2))
    cx, cy = ax + u * dx, ay + u * dy
    return math.hypot(px - cx, py - cy)


def render(size):
    """Rows top to bottom of (r, g, b) tuples."""
    scale = size / 32.0
    points = [(x * scale, y * scale) for x, y in trace_points()]
    segments = list(zip(points, points[1:]))
    # At least a pixel wide, or the 16-pixel icon loses its trace.
    half_width = max(1.0, 2.0 * scale) / 2.0
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            covered = 0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    px = x + (sx + 0.5) / SUPERSAMPLE
                    py = y + (sy + 0.5) / SUPERSAMPLE
                    if any(distance_to_segment(px, py, a[0], a[1], b[0], b[1]) <= half_width
                           for a, b in segments
                           if min(a[0], b[0]) - 2 <= px <= max(a[0], b[0]) + 2):
                        covered += 1
            alpha = covered / (SUPERSAMPLE * SUPERSAMPLE)
            row.append(tuple(round(bg + (fg - bg) * alpha) for bg, fg in zip(BACKGROUND, TRACE)))
        rows.append(row)
    return rows


def dib(size):
    """BITMAPINFOHEADER, bottom-up BGRA pixels, and an all-opaque AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, 255)) for row in reversed(render(size)) for r, g, b in row)
    mask_stride = ((size + 31) // 32) * 4
    return header + pixels + bytes(mask_stride * size)


def icon():
    images = [dib(size) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


if __name__ == "__main__":
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("quorvex_ae.ico")
    target.write_bytes(icon())
