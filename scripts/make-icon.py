#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Tollbeck authors

"""Draw the Tollbeck icon: the front face of a DE-9 serial connector.

Regenerates app/icons/tollbeck-N.png for N = 32, 48, 64, 128 and 256: one
picture, drawn at each size, on a transparent background. Each is written
with a palette (at most 256 colours), or as RGBA should its colours not fit.
Run from the repo root:  python3 scripts/make-icon.py
Standard library only, and deterministic, so the PNGs are byte-identical
on every run and can live in git.
"""
import math
import os
import struct
import zlib

SIZES = (32, 48, 64, 128, 256)
UNITS = 32  # the picture below is drawn on a 32 x 32 grid and scaled to each size
SS = 4  # supersamples per axis, for anti-aliased edges

CREAM = (0xF2, 0xE6, 0xC2)
SHADE_DARK = (0xA0, 0xA0, 0xA0)
SHADE_LIGHT = (0xC8, 0xC8, 0xC8)
BLACK = (0x00, 0x00, 0x00)

# D-shaped shell: trapezoid wider at the top, corners rounded by RADIUS.
# The polygon is the shape's "spine"; the rounded outline lies RADIUS outside it.
RADIUS = 2.5
BODY = [(3.5, 8.0), (28.5, 8.0), (24.2, 24.0), (7.8, 24.0)]  # clockwise, y down
OUTLINE = 1.5  # black rim width
PIN_R = 1.7
PITCH = 4.6
ROW_Y = (13.4, 19.2)
# Upper row: five pins centred on x=16; lower row: four pins offset by half a pitch.
PINS = [(16 + (i - 2) * PITCH, ROW_Y[0]) for i in range(5)] + \
       [(16 + (i - 1.5) * PITCH, ROW_Y[1]) for i in range(4)]


def seg_dist(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def body_sdf(x, y):
    """Signed distance to the rounded D shell (negative inside)."""
    d = min(seg_dist(x, y, *BODY[i], *BODY[(i + 1) % 4]) for i in range(4))
    inside = all((bx - ax) * (y - ay) - (by - ay) * (x - ax) >= 0
                 for (ax, ay), (bx, by) in zip(BODY, BODY[1:] + BODY[:1]))
    return (-d if inside else d) - RADIUS


def sample(x, y):
    """Colour of one sub-sample point, or None where it is background."""
    d = body_sdf(x, y)
    if d > 0:
        return None
    if d > -OUTLINE:
        return BLACK
    if any(math.hypot(x - px, y - py) <= PIN_R for px, py in PINS):
        return BLACK
    # Lit from the lower left: the inner top and right edges fall in shadow,
    # i.e. points whose up-right neighbour is already at the rim.
    if body_sdf(x + 1.1, y - 1.1) > -OUTLINE:
        return SHADE_DARK
    if body_sdf(x + 2.2, y - 2.2) > -OUTLINE:
        return SHADE_LIGHT
    return CREAM


def render(size):
    """Return rows of RGBA tuples, averaging SS*SS samples per pixel."""
    scale = UNITS / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            hits = [c for c in (sample((px + (i + 0.5) / SS) * scale,
                                       (py + (j + 0.5) / SS) * scale)
                                for j in range(SS) for i in range(SS)) if c]
            if not hits:
                row.append((0, 0, 0, 0))
                continue
            rgb = tuple(round(sum(c[k] for c in hits) / len(hits)) for k in range(3))
            row.append(rgb + (round(255 * len(hits) / SS ** 2),))
        rows.append(row)
    return rows


def chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def write_png(path, rows):
    # Index 0 is the fully transparent background; other colours are
    # numbered in scan order, which keeps the output deterministic.
    size = len(rows)
    palette = [(0, 0, 0, 0)]
    index = {palette[0]: 0}
    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter type: none
        for rgba in row:
            if rgba not in index:
                index[rgba] = len(palette)
                palette.append(rgba)
            raw.append(index[rgba])
    png = b"\x89PNG\r\n\x1a\n"
    if len(palette) <= 256:
        png += chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 3, 0, 0, 0))
        png += chunk(b"PLTE", b"".join(bytes(c[:3]) for c in palette))
        png += chunk(b"tRNS", bytes(c[3] for c in palette))
    else:
        raw = bytearray()
        for row in rows:
            raw.append(0)
            for rgba in row:
                raw += bytes(rgba)
        png += chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for size in SIZES:
        write_png(os.path.join(root, "app", "icons", "tollbeck-%d.png" % size), render(size))
