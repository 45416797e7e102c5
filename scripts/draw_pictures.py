#!/usr/bin/env python3
"""Draws Quillfold's pictures: the three status lamps and the program icon.

Writes into resources/:
  imgOff.ico, imgHold.ico, imgOn.ico   traffic lights with the red, yellow or green
                                       lamp lit; 16 colours, 32x32 and 16x16
  quillfold.ico                        the program icon: 16x16 and 32x32 in 256
                                       colours, 16, 32, 48 and 128 in 32-bit colour
  quillfold-<size>.png                 the same icon as PNG for desktop menus

Pure Python (zlib and struct only), so the pictures can be redrawn anywhere.
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "resources")
SAMPLES = 4  # supersampling per axis


def rounded_box(px, py, x0, y0, x1, y1, r):
    """Signed distance to a rounded rectangle (negative inside)."""
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r
    qx, qy = abs(px - cx) - hx, abs(py - cy) - hy
    outside = math.hypot(max(qx, 0), max(qy, 0))
    return outside + min(max(qx, qy), 0) - r


def circle(px, py, cx, cy, r):
    return math.hypot(px - cx, py - cy) - r


def render(size, shapes):
    """shapes: list of (distance function in unit coordinates, rgba). Later shapes paint over earlier."""
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    u = (x + (sx + 0.5) / SAMPLES) / size
                    v = (y + (sy + 0.5) / SAMPLES) / size
                    colour = (0, 0, 0, 0)
                    for dist, rgba in shapes:
                        if dist(u, v) <= 0:
                            colour = rgba
                    a = colour[3] / 255
                    acc[0] += colour[0] * a
                    acc[1] += colour[1] * a
                    acc[2] += colour[2] * a
                    acc[3] += a
            n = SAMPLES * SAMPLES
            alpha = acc[3] / n
            if alpha > 0:
                row.append((round(acc[0] / acc[3]), round(acc[1] / acc[3]), round(acc[2] / acc[3]), round(alpha * 255)))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    return pixels


RED, DIM_RED = (255, 0, 0, 255), (128, 0, 0, 255)
YELLOW, DIM_YELLOW = (255, 255, 0, 255), (128, 128, 0, 255)
GREEN, DIM_GREEN = (0, 255, 0, 255), (0, 128, 0, 255)
BODY, RIM = (0, 0, 0, 255), (128, 128, 128, 255)


def traffic_light(lit, x0=0.25, x1=0.75, y0=0.03, y1=0.97):
    """A traffic light in the box; lit is 0 (red), 1 (yellow) or 2 (green)."""
    w = x1 - x0
    cx = (x0 + x1) / 2
    r = w * 0.30
    step = (y1 - y0) / 3
    colours = [(RED, DIM_RED), (YELLOW, DIM_YELLOW), (GREEN, DIM_GREEN)]
    shapes = [
        (lambda u, v: rounded_box(u, v, x0, y0, x1, y1, w * 0.25), RIM),
        (lambda u, v: rounded_box(u, v, x0 + w * 0.08, y0 + w * 0.08, x1 - w * 0.08, y1 - w * 0.08, w * 0.2), BODY),
    ]
    for i, (on, off) in enumerate(colours):
        cy = y0 + step * (i + 0.5)
        shapes.append((lambda u, v, cy=cy: circle(u, v, cx, cy, r), on if i == lit else off))
    return shapes


def program_icon():
    paper, fold, edge = (250, 250, 245, 255), (205, 205, 195, 255), (110, 110, 120, 255)
    shapes = [
        # a sheet with its top right corner folded over
        (lambda u, v: max(rounded_box(u, v, 0.06, 0.04, 0.78, 0.96, 0.04), (u - 0.56) + (0.26 - v) - 0.0), edge),
        (lambda u, v: max(rounded_box(u, v, 0.09, 0.07, 0.75, 0.93, 0.03), (u - 0.56) + (0.26 - v) - 0.02), paper),
        (lambda u, v: max(u - 0.76, 0.25 - v, (0.56 - u) + (v - 0.04) - 0.22, -(u - 0.56) - (0.26 - v) + 0.0), fold),
    ]
    # lines of text on the sheet
    for i in range(5):
        y = 0.36 + i * 0.11
        shapes.append((lambda u, v, y=y: rounded_box(u, v, 0.16, y, 0.50, y + 0.04, 0.02), (150, 160, 180, 255)))
    return shapes + traffic_light(2, x0=0.58, x1=0.96, y0=0.30, y1=0.98)


# --- writing -----------------------------------------------------------------

VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
       (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255), (255, 0, 255),
       (0, 255, 255), (255, 255, 255)]


def palette_256():
    cube = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    greys = [(round(i * 255 / 39),) * 3 for i in range(40)]
    return (cube + greys)[:256]


def nearest(palette, rgb):
    return min(range(len(palette)), key=lambda i: sum((a - b) ** 2 for a, b in zip(palette[i], rgb)))


def and_mask(pixels):
    size = len(pixels)
    stride = ((size + 31) // 32) * 4
    out = b""
    for row in reversed(pixels):
        bits = 0
        line = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        out += bytes(line)
    return out


def bmp_entry(pixels, bpp):
    size = len(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, 0, 0)
    if bpp == 32:
        body = b"".join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(pixels) for p in row)
        return header + body + and_mask(pixels)
    palette = VGA if bpp == 4 else palette_256()
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette) + b"\0" * 4 * ((1 << bpp) - len(palette))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, 1 << bpp, 0)
    cache = {}
    rows = b""
    for row in reversed(pixels):
        indices = []
        for p in row:
            key = p[:3] if p[3] >= 128 else (0, 0, 0)
            if key not in cache:
                cache[key] = nearest(palette, key)
            indices.append(cache[key])
        if bpp == 4:
            line = bytes((indices[i] << 4) | (indices[i + 1] if i + 1 < len(indices) else 0)
                         for i in range(0, len(indices), 2))
        else:
            line = bytes(indices)
        rows += line + b"\0" * ((-len(line)) % 4)
    return header + table + rows + and_mask(pixels)


def write_ico(path, entries):
    """entries: list of (pixels, bpp)."""
    blobs = [bmp_entry(p, bpp) for p, bpp in entries]
    offset = 6 + 16 * len(entries)
    directory = b""
    for (pixels, bpp), blob in zip(entries, blobs):
        size = len(pixels)
        colours = 16 if bpp == 4 else 0
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bpp, len(blob), offset)
        offset += len(blob)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(entries)) + directory + b"".join(blobs))


def write_png(path, pixels):
    size = len(pixels)
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    for name, lit in (("imgOff", 0), ("imgHold", 1), ("imgOn", 2)):
        shapes = traffic_light(lit)
        write_ico(os.path.join(OUT, name + ".ico"), [(render(32, shapes), 4), (render(16, shapes), 4)])
    icon = program_icon()
    images = {size: render(size, icon) for size in (16, 32, 48, 128)}
    write_ico(os.path.join(OUT, "quillfold.ico"),
              [(images[16], 8), (images[32], 8)] + [(images[s], 32) for s in (16, 32, 48, 128)])
    for size, pixels in images.items():
        write_png(os.path.join(OUT, "quillfold-%d.png" % size), pixels)


if __name__ == "__main__":
    main()
