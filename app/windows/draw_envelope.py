#!/usr/bin/env python3
"""Draws the application's envelope icon and writes every image file of it.

The drawing is made of a few shapes on a 16-unit grid, scaled to each size and
anti-aliased by supersampling. Run it from anywhere after changing the
drawing; it rewrites:

  app/windows/app.ico          nine images: 48, 32, 24, 16 px at 256 colours,
                               256 (PNG), 48, 32, 24, 16 px at 32 bits + alpha
  app/resources/envelope-N.png the 32-bit images for the window and Image1

Only the standard library is used.
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
APP = os.path.dirname(HERE)

# Colours (red, green, blue).
PAPER = (252, 248, 236)
FLAP = (236, 226, 198)
FOLD = (200, 186, 150)
INK = (56, 72, 112)
SEAL = (176, 32, 32)
SEAL_EDGE = (112, 16, 16)

# The drawing on a 16 x 16 grid; a stroke of width 1 on half units lands on
# pixel centres at 16 px, so the small image stays crisp.
BODY = [(0.5, 2.5), (15.5, 2.5), (15.5, 13.5), (0.5, 13.5)]
FLAP_TRIANGLE = [(0.5, 2.5), (15.5, 2.5), (8.0, 9.0)]
FOLD_LINES = [((0.5, 13.5), (6.2, 7.6)), ((15.5, 13.5), (9.8, 7.6))]
SEAL_CENTRE = (8.0, 8.6)
SEAL_RADIUS = 1.7


def point_in_polygon(x, y, polygon):
    inside = False
    j = len(polygon) - 1
    for i, (xi, yi) in enumerate(polygon):
        xj, yj = polygon[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


def distance_to_segment(x, y, a, b):
    (ax, ay), (bx, by) = a, b
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length2))
    px, py = ax + t * dx, ay + t * dy
    return math.hypot(x - px, y - py)


def outline(polygon, closed=True):
    points = list(polygon)
    segments = list(zip(points, points[1:]))
    if closed:
        segments.append((points[-1], points[0]))
    return segments


def layers(size):
    """Shapes from back to front: (colour, test(x, y) on the 16 grid)."""
    width = 0.6 if size >= 128 else 1.0  # grid units: one pixel at 16 px
    half = width / 2

    def stroke(segments, w=half):
        return lambda x, y: any(distance_to_segment(x, y, a, b) <= w for a, b in segments)

    shapes = [
        (PAPER, lambda x, y: point_in_polygon(x, y, BODY)),
        (FOLD, stroke(FOLD_LINES, half * (0.75 if size > 16 else 0.5))),
        (FLAP, lambda x, y: point_in_polygon(x, y, FLAP_TRIANGLE)),
        (INK, stroke([(FLAP_TRIANGLE[0], FLAP_TRIANGLE[2]), (FLAP_TRIANGLE[1], FLAP_TRIANGLE[2])])),
        (INK, stroke(outline(BODY))),
    ]
    if size >= 24:
        cx, cy = SEAL_CENTRE
        shapes.append((SEAL_EDGE, lambda x, y: math.hypot(x - cx, y - cy) <= SEAL_RADIUS))
        shapes.append((SEAL, lambda x, y: math.hypot(x - cx, y - cy) <= SEAL_RADIUS - 0.45))
    return shapes


def render(size):
    """RGBA rows, top row first, each a list of (r, g, b, a) tuples."""
    samples = 4 if size >= 128 else 8
    scale = 16.0 / size
    shapes = layers(size)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) * scale
                    y = (py + (sy + 0.5) / samples) * scale
                    colour = None
                    for fill, inside in shapes:
                        if inside(x, y):
                            colour = fill
                    if colour is not None:
                        acc[0] += colour[0]
                        acc[1] += colour[1]
                        acc[2] += colour[2]
                        acc[3] += 1.0
            n = samples * samples
            alpha = acc[3] / n
            if alpha == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(round(c / acc[3])) for c in acc[:3]) + (int(round(alpha * 255)),))
        rows.append(row)
    return rows


def png_bytes(rows):
    size = len(rows)
    raw = b"".join(b"\x00" + bytes(v for pixel in row for v in pixel) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def and_mask(rows):
    size = len(rows)
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, pixel in enumerate(row):
            if pixel[3] < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def bitmap_header(size, bits, image_bytes, colours_used):
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, image_bytes, 0, 0, colours_used, 0)


def bmp32_bytes(rows):
    size = len(rows)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask = and_mask(rows)
    return bitmap_header(size, 32, len(pixels) + len(mask), 0) + pixels + mask


def build_palette(images):
    """Up to 256 colours: the most frequent opaque colours at 5 bits a channel."""
    counts = {}
    for rows in images:
        for row in rows:
            for r, g, b, a in row:
                if a >= 128:
                    key = (r >> 3, g >> 3, b >> 3)
                    counts[key] = counts.get(key, 0) + 1
    ranked = sorted(counts, key=lambda k: -counts[k])[:255]
    palette = [(0, 0, 0)] + [((r << 3) | (r >> 2), (g << 3) | (g >> 2), (b << 3) | (b >> 2)) for r, g, b in ranked]
    while len(palette) < 256:
        palette.append((0, 0, 0))
    return palette


def nearest(palette, colour, cache):
    if colour not in cache:
        r, g, b = colour
        cache[colour] = min(range(1, 256), key=lambda i: (palette[i][0] - r) ** 2 + (palette[i][1] - g) ** 2 + (palette[i][2] - b) ** 2)
    return cache[colour]


def bmp8_bytes(rows, palette, cache):
    size = len(rows)
    stride = (size + 3) // 4 * 4
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, (r, g, b, a) in enumerate(row):
            line[x] = 0 if a < 128 else nearest(palette, (r, g, b), cache)
        pixels += line
    mask = and_mask(rows)
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return bitmap_header(size, 8, len(pixels) + len(mask), 256) + table + bytes(pixels) + mask


def ico_bytes(entries):
    """entries: (size, bits, data) in directory order."""
    out = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    directory, blobs = b"", b""
    for size, bits, data in entries:
        side = 0 if size >= 256 else size
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, bits, len(data), offset)
        blobs += data
        offset += len(data)
    return out + directory + blobs


def main():
    images = {size: render(size) for size in (16, 24, 32, 48, 256)}
    for size, rows in images.items():
        with open(os.path.join(APP, "resources", "envelope-%d.png" % size), "wb") as f:
            f.write(png_bytes(rows))

    palette = build_palette([images[s] for s in (48, 32, 24, 16)])
    cache = {}
    entries = [(s, 8, bmp8_bytes(images[s], palette, cache)) for s in (48, 32, 24, 16)]
    entries.append((256, 32, png_bytes(images[256])))
    entries += [(s, 32, bmp32_bytes(images[s])) for s in (48, 32, 24, 16)]
    with open(os.path.join(HERE, "app.ico"), "wb") as f:
        f.write(ico_bytes(entries))


if __name__ == "__main__":
    main()
