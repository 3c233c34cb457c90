#!/usr/bin/env python3
"""Draws the desktop icons from the program's own 32x32 icon (XPM): PNGs at
whole-number scales (nearest neighbour keeps the pixel art crisp) and an SVG
of the same pixels for the scalable theme folder. Plain Python, no extra modules.

    packaging/make_icons.py res/icon_128.xpm packaging/icons
"""
import re
import struct
import sys
import zlib


def read_xpm(path):
    rows = re.findall(r'"([^"]*)"', open(path, encoding="ascii").read())
    width, height, ncolors, cpp = (int(v) for v in rows[0].split()[:4])
    colors = {}
    for line in rows[1:1 + ncolors]:
        key, fields = line[:cpp], line[cpp:].split()
        value = fields[fields.index("c") + 1]
        colors[key] = None if value.lower() == "none" else (
            int(value[1:3], 16), int(value[3:5], 16), int(value[5:7], 16))
    pixels = []
    for line in rows[1 + ncolors:1 + ncolors + height]:
        pixels.append([colors[line[i * cpp:(i + 1) * cpp]] for i in range(width)])
    return width, height, pixels


def write_png(path, width, height, pixels, scale):
    raw = bytearray()
    for row in pixels:
        line = bytearray([0])  # filter: none
        for px in row:
            rgba = (0, 0, 0, 0) if px is None else (*px, 255)
            line += bytes(rgba) * scale
        raw += bytes(line) * scale

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width * scale,
                                             height * scale, 8, 6, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
        out.write(chunk(b"IEND", b""))


def write_svg(path, width, height, pixels):
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width * 4}" '
             f'height="{height * 4}" viewBox="0 0 {width} {height}" '
             'shape-rendering="crispEdges">']
    for y, row in enumerate(pixels):
        x = 0
        while x < width:  # one rectangle per run of equal pixels
            px, run = row[x], 1
            while x + run < width and row[x + run] == px:
                run += 1
            if px is not None:
                parts.append(f'<rect x="{x}" y="{y}" width="{run}" height="1" '
                             f'fill="#{px[0]:02x}{px[1]:02x}{px[2]:02x}"/>')
            x += run
    parts.append("</svg>\n")
    open(path, "w", encoding="ascii").write("\n".join(parts))


def main():
    source, outdir = sys.argv[1], sys.argv[2]
    width, height, pixels = read_xpm(source)
    for scale in (1, 2, 4):
        write_png(f"{outdir}/kelvane-{width * scale}.png", width, height, pixels, scale)
    write_svg(f"{outdir}/kelvane.svg", width, height, pixels)


if __name__ == "__main__":
    main()
