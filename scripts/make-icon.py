#!/usr/bin/env python3
"""Draws the program icon and writes res/flashtool.ico.

The icon is a disc over a drive with a lightning bolt: the tool writes new
firmware into the drive. Two images, 32x32 and 16x16, both in the classic
16-colour palette at 4 bits per pixel, in that order: the resource compiler
numbers the images 1 and 2 in the order it finds them in the file.

    scripts/make-icon.py [--preview out.png]

--preview also writes both images side by side, enlarged 8 times, as a PNG
for looking at the artwork.
"""
import os
import struct
import sys
import zlib

# The standard 16-colour VGA palette, as Windows paints 4-bit images.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, GREEN, TEAL, SILVER, GRAY, LIME, YELLOW, AQUA, WHITE = 0, 2, 6, 7, 8, 10, 11, 14, 15
CLEAR = None  # transparent: AND mask bit set


def mask_of(size, inside):
    """Pixels whose centre lies inside the shape; shapes use 0..1 coordinates."""
    return [[inside((x + 0.5) / size, (y + 0.5) / size) for x in range(size)]
            for y in range(size)]


def paint(canvas, mask, fill, edge=None):
    """Fills a shape and, with edge, draws its inner one-pixel border."""
    size = len(canvas)
    for y in range(size):
        for x in range(size):
            if not mask[y][x]:
                continue
            border = any(not (0 <= x + dx < size and 0 <= y + dy < size and mask[y + dy][x + dx])
                         for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            canvas[y][x] = edge if (border and edge is not None) else fill


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 < r * r


def box(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def polygon(points):
    def inside(x, y):
        hit = False
        for (ax, ay), (bx, by) in zip(points, points[1:] + points[:1]):
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                hit = not hit
        return hit
    return inside


def draw(size):
    c = [[CLEAR] * size for _ in range(size)]
    px = 1.0 / size
    # The drive: a bevelled silver box with its tray slot and a busy light.
    paint(c, mask_of(size, box(0.03, 0.59, 0.97, 0.94)), SILVER, BLACK)
    paint(c, mask_of(size, box(0.03 + px, 0.59 + px, 0.97 - px, 0.59 + 2 * px)), WHITE)
    paint(c, mask_of(size, box(0.03 + px, 0.94 - 2 * px, 0.97 - px, 0.94 - px)), GRAY)
    paint(c, mask_of(size, box(0.12, 0.72, 0.66, 0.72 + px)), BLACK)
    paint(c, mask_of(size, box(0.76, 0.72, 0.76 + 2 * px, 0.72 + 2 * px)), LIME)
    # The disc, resting on the drive: silver with a sheen, a hub and a hole.
    paint(c, mask_of(size, circle(0.40, 0.38, 0.36)), SILVER, GRAY)
    paint(c, mask_of(size, lambda x, y: circle(0.40, 0.38, 0.30)(x, y)
                     and -0.10 < (x - 0.40) - (y - 0.38) < 0.10 and y < 0.38), WHITE)
    paint(c, mask_of(size, lambda x, y: circle(0.40, 0.38, 0.30)(x, y)
                     and -0.08 < (x - 0.40) - (y - 0.38) < 0.08 and y > 0.46), AQUA)
    paint(c, mask_of(size, circle(0.40, 0.38, 0.12)), WHITE, GRAY)
    paint(c, mask_of(size, circle(0.40, 0.38, 0.05)), CLEAR)
    # The bolt striking down into the drive.
    bolt = [(0.74, 0.02), (0.98, 0.02), (0.88, 0.26), (0.99, 0.26),
            (0.70, 0.64), (0.77, 0.36), (0.63, 0.36)]
    paint(c, mask_of(size, polygon(bolt)), YELLOW, BLACK)
    return c


def dib(image):
    """One icon image: header, palette, XOR bits bottom-up, AND mask."""
    size = len(image)
    xor_stride = (size * 4 + 31) // 32 * 4
    and_stride = (size + 31) // 32 * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(image):
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, index in enumerate(row):
            if index is CLEAR:
                bits[x // 8] |= 0x80 >> (x % 8)
                index = 0
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
        xor += line
        mask += bits
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def ico(images):
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = [dib(image) for image in images]
    for image, blob in zip(images, blobs):
        size = len(image)
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    return out + b''.join(blobs)


def png(images, scale, path):
    """Both images side by side on a checkerboard, enlarged, for review."""
    width = sum(len(i) for i in images) * scale + scale * (len(images) + 1)
    height = max(len(i) for i in images) * scale + 2 * scale
    rows = []
    for y in range(height):
        row = bytearray([0])
        for x in range(width):
            colour = (0xE0, 0xE0, 0xE0) if (x // 4 + y // 4) % 2 else (0xB0, 0xB0, 0xB0)
            left = scale
            for image in images:
                ix, iy = (x - left) // scale, (y - scale) // scale
                if 0 <= ix < len(image) and 0 <= iy < len(image) and image[iy][ix] is not CLEAR:
                    colour = PALETTE[image[iy][ix]]
                left += len(image) * scale + scale
            row += bytes(colour)
        rows.append(bytes(row))

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data
                + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF))
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n')
        f.write(chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b'IDAT', zlib.compress(b''.join(rows))))
        f.write(chunk(b'IEND', b''))


def main(argv):
    images = [draw(32), draw(16)]
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, '..', 'res', 'flashtool.ico'), 'wb') as f:
        f.write(ico(images))
    if len(argv) == 3 and argv[1] == '--preview':
        png(images, 8, argv[2])
    elif len(argv) != 1:
        sys.exit(__doc__)


if __name__ == '__main__':
    main(sys.argv)
