#!/usr/bin/env python3
"""Draws the console's icon, a red heart crossed by a white pulse line, and
writes it as a Windows .ico with a 32x32 and a 16x16 image (32-bit colour
with alpha, plus the 1-bit mask older readers want).

    make-icon.py OUT.ico [SIZE ...]      (default sizes: 32 16)

Only the standard library is used, so the icon can be remade anywhere.
"""
import struct
import sys

HEART = (214, 30, 52)       # fill
HEART_EDGE = (140, 12, 30)  # rim
PULSE = (255, 255, 255)

# The pulse line in heart coordinates (x right, y up, heart within -1.2..1.2).
PULSE_POINTS = [(-1.25, 0.05), (-0.45, 0.05), (-0.25, 0.55), (-0.02, -0.75),
                (0.22, 0.35), (0.38, 0.05), (1.25, 0.05)]


def in_heart(x, y):
    # The classic heart curve: (x^2 + y^2 - 1)^3 - x^2 y^3 <= 0.
    a = x * x + y * y - 1.0
    return a * a * a - x * x * y * y * y <= 0.0


def dist_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    cx, cy = ax + t * dx, ay + t * dy
    return ((px - cx) ** 2 + (py - cy) ** 2) ** 0.5


def sample(x, y, size):
    """Colour and coverage of one sub-pixel sample in heart coordinates."""
    if not in_heart(x, y):
        return None
    width = max(0.16, 2.6 / size)  # at least one pixel wide
    d = min(dist_to_segment(x, y, *PULSE_POINTS[i], *PULSE_POINTS[i + 1])
            for i in range(len(PULSE_POINTS) - 1))
    if d <= width / 2:
        return PULSE
    # A darker rim just inside the outline.
    rim = 0.07 if size >= 24 else 0.0
    if rim and not all(in_heart(x + ox, y + oy)
                       for ox, oy in ((rim, 0), (-rim, 0), (0, rim), (0, -rim))):
        return HEART_EDGE
    return HEART


def render(size):
    """Rows top to bottom of (r, g, b, a) pixels."""
    ss = 4
    scale = 2.6 / size  # heart coordinates per pixel
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0]
            hits = 0
            for sy in range(ss):
                for sx in range(ss):
                    x = (px + (sx + 0.5) / ss - size / 2) * scale
                    y = -((py + (sy + 0.5) / ss - size / 2) * scale) + 0.1
                    c = sample(x, y, size)
                    if c is not None:
                        hits += 1
                        for k in range(3):
                            acc[k] += c[k]
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(v // hits for v in acc) + (255 * hits // (ss * ss),))
        rows.append(row)
    return rows


def bmp_entry(size):
    rows = render(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + mask


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sizes = [int(s) for s in sys.argv[2:]] or [32, 16]
    images = [bmp_entry(s) for s in sizes]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(sys.argv[1], 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
