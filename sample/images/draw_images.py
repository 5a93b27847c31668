#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Draw the sample pages as 8-bit PGM files (0 = black, 255 = white).

The PGM files are committed; this script only documents how they were made
and remakes them: python3 draw_images.py (in this folder).
"""
import math
import random


def save(name, width, height, pixel):
    with open(name, "wb") as out:
        out.write(b"P5\n%d %d\n255\n" % (width, height))
        out.write(bytes(pixel(x, y) for y in range(height) for x in range(width)))


def label():
    """A 4 x 2 inch shipping label at 203 dpi: border, text, barcode, code block, logo."""
    width, height = 812, 406
    rng = random.Random(7)
    ink = set()

    def box(x0, y0, x1, y1):
        for y in range(y0, y1):
            for x in range(x0, x1):
                ink.add((x, y))

    box(0, 0, width, 6); box(0, height - 6, width, height)
    box(0, 0, 6, height); box(width - 6, 0, width, height)
    # Lines of text: glyph-sized blocks with word gaps.
    for line, y in enumerate(range(30, 200, 34)):
        x = 30
        size = 22 if line == 0 else 16
        while x < 520:
            if rng.random() < 0.18:
                x += size
                continue
            box(x, y, x + size * 2 // 3, y + size)
            x += size
    # A 1D barcode: bars of 2 to 8 dots.
    x = 40
    while x < 520:
        bar = rng.choice((2, 4, 6, 8))
        box(x, 250, x + bar, 380)
        x += bar + rng.choice((2, 4, 6))
    # A two-dimensional code block with three finder squares.
    cell, ox, oy = 6, 600, 230
    for cy in range(25):
        for cx in range(25):
            finder = (cx < 7 and cy < 7) or (cx > 17 and cy < 7) or (cx < 7 and cy > 17)
            if finder:
                fx, fy = cx % 18, cy % 18
                on = fx in (0, 6) or fy in (0, 6) or (2 <= fx <= 4 and 2 <= fy <= 4)
            else:
                on = rng.random() < 0.5
            if on:
                box(ox + cx * cell, oy + cy * cell, ox + (cx + 1) * cell, oy + (cy + 1) * cell)

    def pixel(x, y):
        if (x, y) in ink:
            return 0
        # A gray logo: a shaded disc.
        dx, dy = x - 680, y - 110
        if dx * dx + dy * dy < 70 * 70:
            return max(0, min(255, 60 + (dx + dy + 140) * 140 // 280))
        return 255

    save("label.pgm", width, height, pixel)


def photo():
    """A photo-like page: smooth light falling over a sphere."""
    width, height = 576, 384

    def pixel(x, y):
        dx, dy = (x - 300) / 150.0, (y - 190) / 150.0
        r2 = dx * dx + dy * dy
        if r2 < 1.0:
            nz = math.sqrt(1.0 - r2)
            light = max(0.0, -0.5 * dx - 0.5 * dy + 0.7 * nz)
            return int(30 + 215 * light)
        return int(255 - 120 * y / height - 40 * math.sin(x / 40.0) ** 2)

    save("photo.pgm", width, height, pixel)


def steps():
    """Eight gray steps from black to white, 1 inch wide."""
    save("steps.pgm", 203, 120, lambda x, y: min(255, (x * 8 // 203) * 255 // 7))


label()
photo()
steps()
