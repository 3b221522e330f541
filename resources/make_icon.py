#!/usr/bin/env python3
"""Draws the Colloquor mark and writes colloquor.ico with seven 32-bit images (16 to 256 px).

The mark: a blue rounded tile with two overlapping speech bubbles, a white one (what is said) and
an amber one (its translation). Drawn from signed distances with 4x4 supersampling, so every size
is rendered directly instead of scaled from a large bitmap. Needs only numpy.

    python3 resources/make_icon.py [output.ico]
"""
import struct
import sys
from pathlib import Path

import numpy as np

SIZES = (16, 24, 32, 48, 64, 128, 256)
TILE_TOP = np.array((59, 130, 246), dtype=float)
TILE_BOTTOM = np.array((29, 78, 216), dtype=float)
FRONT = np.array((255, 255, 255), dtype=float)
BACK = np.array((255, 175, 40), dtype=float)
SUPERSAMPLE = 4


def rounded_box(x, y, cx, cy, half_w, half_h, radius):
    """Signed distance to a rounded rectangle (negative inside)."""
    qx = np.abs(x - cx) - (half_w - radius)
    qy = np.abs(y - cy) - (half_h - radius)
    outside = np.hypot(np.maximum(qx, 0), np.maximum(qy, 0))
    inside = np.minimum(np.maximum(qx, qy), 0)
    return outside + inside - radius


def triangle(x, y, a, b, c):
    """Signed distance to a triangle a, b, c (negative inside), exact enough for a tail."""
    def edge(p, q):
        ex, ey = q[0] - p[0], q[1] - p[1]
        wx, wy = x - p[0], y - p[1]
        t = np.clip((wx * ex + wy * ey) / (ex * ex + ey * ey), 0, 1)
        dx, dy = wx - ex * t, wy - ey * t
        return dx * dx + dy * dy, ex * wy - ey * wx

    d1, s1 = edge(a, b)
    d2, s2 = edge(b, c)
    d3, s3 = edge(c, a)
    distance = np.sqrt(np.minimum(np.minimum(d1, d2), d3))
    inside = ((s1 >= 0) & (s2 >= 0) & (s3 >= 0)) | ((s1 <= 0) & (s2 <= 0) & (s3 <= 0))
    return np.where(inside, -distance, distance)


def bubble(x, y, cx, cy, half_w, half_h, tail):
    body = rounded_box(x, y, cx, cy, half_w, half_h, half_h * 0.55)
    return np.minimum(body, triangle(x, y, *tail))


def coverage(distance, pixel):
    """Area coverage from a signed distance in unit coordinates."""
    return np.clip(0.5 - distance / pixel, 0, 1)


def render(size):
    n = size * SUPERSAMPLE
    pixel = 1.0 / n
    coords = (np.arange(n) + 0.5) / n
    x, y = np.meshgrid(coords, coords)

    tile = coverage(rounded_box(x, y, 0.5, 0.5, 0.47, 0.47, 0.2), pixel)
    shade = y[..., None]
    rgb = TILE_TOP * (1 - shade) + TILE_BOTTOM * shade

    back = bubble(x, y, 0.6, 0.6, 0.27, 0.17, ((0.68, 0.72), (0.80, 0.72), (0.80, 0.88)))
    front = bubble(x, y, 0.4, 0.38, 0.29, 0.18, ((0.26, 0.50), (0.40, 0.50), (0.22, 0.67)))
    # A gap of tile colour around the front bubble keeps the two apart at small sizes.
    gap = max(0.035, 1.2 / size)
    back_cover = coverage(back, pixel) * (1 - coverage(front - gap, pixel))
    front_cover = coverage(front, pixel)

    rgb = rgb * (1 - back_cover[..., None]) + BACK * back_cover[..., None]
    rgb = rgb * (1 - front_cover[..., None]) + FRONT * front_cover[..., None]

    def shrink(a):
        shape = (size, SUPERSAMPLE, size, SUPERSAMPLE) + a.shape[2:]
        return a.reshape(shape).mean(axis=(1, 3))

    alpha = shrink(tile)
    colour = shrink(rgb * tile[..., None])
    safe = np.where(alpha > 0, alpha, 1)[..., None]
    colour = colour / safe  # straight (not premultiplied) alpha, as icons expect
    image = np.dstack([colour, alpha[..., None] * 255])
    return np.clip(np.rint(image), 0, 255).astype(np.uint8)


def dib(image):
    """A 32-bit BI_RGB icon image: header, bottom-up BGRA rows, and the 1-bit AND mask."""
    size = image.shape[0]
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    bgra = image[::-1, :, [2, 1, 0, 3]].tobytes()
    mask_row = ((size + 31) // 32) * 4
    transparent = image[::-1, :, 3] == 0
    mask = bytearray()
    for row in transparent:
        bits = np.packbits(row.astype(np.uint8))
        mask += bits.tobytes() + bytes(mask_row - len(bits))
    return header + bgra + bytes(mask)


def write_ico(path, images):
    entries = []
    blobs = []
    offset = 6 + 16 * len(images)
    for image in images:
        size = image.shape[0]
        blob = dib(image)
        entries.append(struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob),
                                   offset))
        blobs.append(blob)
        offset += len(blob)
    Path(path).write_bytes(struct.pack("<HHH", 0, 1, len(images)) + b"".join(entries)
                           + b"".join(blobs))


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("colloquor.ico")
    write_ico(out, [render(size) for size in SIZES])
    print(f"wrote {out} ({out.stat().st_size} bytes, sizes {', '.join(map(str, SIZES))})")


if __name__ == "__main__":
    main()
