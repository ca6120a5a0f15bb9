#!/usr/bin/env python3
"""Draws the dialer's artwork: the 24 x 24 window icon, the same icon at the desktop's other sizes
(icon-16.png ... icon-256.png), and the 128 x 256 picture beside the keypad.

Standard library only, and deterministic: the same script always writes the same bytes, so the
committed PNG files can be checked against it (run it and `git diff --exit-code`).

    python3 dialer/art/make_art.py [output folder]    # default: this script's folder
"""
import math
import os
import re
import struct
import sys
import zlib

SOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def cxx_list(path, name):
    """The items of the braced list that initializes constant `name` in the C++ header `path`
    (below the source folder): the picture shows the program's own tables, not copies of them."""
    with open(os.path.join(SOURCES, path), encoding="utf-8") as f:
        found = re.search(name + r"(?:\[\])?\s*=\s*\{([^}]*)\}", f.read())
    return [item.strip() for item in found.group(1).split(",") if item.strip()]


# The eight tone frequencies of the keypad, rows and columns, and the keys' captions row by row:
# a key's caption is the first character that presses it.
ROW_HZ = tuple(int(f) for f in cxx_list("synth/tone_bank.h", "RowFreq"))
COL_HZ = tuple(int(f) for f in cxx_list("synth/tone_bank.h", "ColFreq"))
CAPTIONS = "".join(chars.lstrip("u\"")[0] for chars in cxx_list("dialer/form1.h", "kKeyChars"))
KEYS = tuple(CAPTIONS[row:row + 4] for row in range(0, 16, 4))

# 5 x 7 glyphs of the key captions, one string per row, '#' = ink.
GLYPHS = {
    "0": (".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."),
    "1": ("..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."),
    "2": (".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"),
    "3": ("####.", "....#", "....#", ".###.", "....#", "....#", "####."),
    "4": ("...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."),
    "5": ("#####", "#....", "####.", "....#", "....#", "#...#", ".###."),
    "6": ("..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."),
    "7": ("#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."),
    "8": (".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."),
    "9": (".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."),
    "A": (".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"),
    "B": ("####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."),
    "C": (".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."),
    "D": ("####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."),
    "*": (".....", "#.#.#", ".###.", "#####", ".###.", "#.#.#", "....."),
    "#": (".#.#.", ".#.#.", "#####", ".#.#.", "#####", ".#.#.", ".#.#."),
}


class Canvas:
    def __init__(self, width, height, fill=(0, 0, 0, 255), alpha=False):
        self.width = width
        self.height = height
        self.alpha = alpha
        self.px = [[fill for _ in range(width)] for _ in range(height)]

    def put(self, x, y, rgba):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.px[y][x] = rgba

    def rect(self, x0, y0, x1, y1, rgba):
        """Fills x0 <= x < x1, y0 <= y < y1."""
        for y in range(y0, y1):
            for x in range(x0, x1):
                self.put(x, y, rgba)

    def png(self):
        channels = 4 if self.alpha else 3
        raw = b"".join(
            b"\x00" + b"".join(bytes(p[:channels]) for p in row) for row in self.px
        )

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        colour_type = 6 if self.alpha else 2  # RGBA for the icon, 24-bit RGB for the picture
        header = struct.pack(">IIBBBBB", self.width, self.height, 8, colour_type, 0, 0, 0)
        return (
            b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b"")
        )


def mix(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3)) + (255,)


def key_face(c, x0, y0, w, h, face, light, shadow):
    """A raised key with clipped corners: light top-left edge, dark bottom-right edge."""
    for y in range(h):
        for x in range(w):
            corner = (x in (0, w - 1)) and (y in (0, h - 1))
            if corner:
                continue
            if x == 0 or y == 0:
                colour = light
            elif x == w - 1 or y == h - 1:
                colour = shadow
            else:
                colour = mix(face, light, 0.35 * (1 - y / h))
            c.put(x0 + x, y0 + y, colour)


def glyph(c, ch, x0, y0, scale, ink):
    for gy, row in enumerate(GLYPHS[ch]):
        for gx, cell in enumerate(row):
            if cell == "#":
                c.rect(x0 + gx * scale, y0 + gy * scale,
                       x0 + (gx + 1) * scale, y0 + (gy + 1) * scale, ink)


def picture():
    c = Canvas(128, 256)
    top, bottom = (22, 38, 64), (10, 74, 86)
    for y in range(256):
        c.rect(0, y, 128, y + 1, mix(top, bottom, y / 255))

    # The two-tone spectrum: the eight keypad frequencies on a log scale, the row group in amber
    # and the column group in cyan, over a dark panel with a faint grid.
    px0, py0, px1, py1 = 6, 8, 122, 72
    c.rect(px0, py0, px1, py1, (8, 16, 28, 255))
    for gy in range(py0 + 8, py1, 16):
        c.rect(px0 + 1, gy, px1 - 1, gy + 1, (30, 52, 70, 255))
    lo, hi = math.log(600), math.log(1750)
    for group, freqs, colour in ((0, ROW_HZ, (255, 176, 32)), (1, COL_HZ, (64, 224, 240))):
        for i, f in enumerate(freqs):
            x = px0 + 4 + int((math.log(f) - lo) / (hi - lo) * (px1 - px0 - 12))
            height = 44 - 6 * i if group == 0 else 26 + 6 * i
            for y in range(py1 - 2 - height, py1 - 2):
                t = (py1 - 2 - y) / height
                c.rect(x, y, x + 5, y + 1, mix(colour, (255, 255, 255), 0.45 * t))
    c.rect(px0, py1 - 2, px1, py1 - 1, (120, 140, 160, 255))

    # The keypad, 4 x 4, with the captions of the window's own keys.
    kw, kh, gap, left, kt = 25, 28, 6, 5, 86
    face, light, shadow = (200, 206, 214), (246, 248, 250), (92, 100, 112)
    accent = (255, 176, 32)
    for r, row in enumerate(KEYS):
        for col, ch in enumerate(row):
            x0, y0 = left + col * (kw + gap), kt + r * (kh + gap)
            is_letter = col == 3
            key_face(c, x0, y0, kw, kh, mix(face, accent, 0.35) if is_letter else face,
                     light, shadow)
            glyph(c, ch, x0 + (kw - 10) // 2, y0 + (kh - 14) // 2, 2, (24, 32, 48, 255))
    return c


def icon():
    c = Canvas(24, 24, (0, 0, 0, 0), alpha=True)
    body = (22, 38, 64, 255)
    for y in range(24):
        for x in range(24):
            corner = min(x, 23 - x) + min(y, 23 - y)
            if corner >= 2:
                c.put(x, y, body)
    for r in range(4):
        for col in range(4):
            x0, y0 = 1 + col * 6, 1 + r * 6
            colour = (255, 176, 32, 255) if (r, col) == (1, 1) else (214, 220, 228, 255)
            if col == 3:
                colour = (64, 224, 240, 255)
            c.rect(x0, y0, x0 + 4, y0 + 4, colour)
    return c


# The desktop's icon theme sizes besides 24, the window icon's own.
ICON_SIZES = (16, 32, 48, 64, 128, 256)


def scaled(src, size, sub=4):
    """The icon's pixels taken as squares and averaged over sub x sub points of each new pixel:
    exact at whole multiples of its size, smooth edges between them. Integer arithmetic only."""
    c = Canvas(size, size, (0, 0, 0, 0), alpha=True)
    for y in range(size):
        for x in range(size):
            total = [0, 0, 0, 0]
            for j in range(sub):
                sy = ((y * sub + j) * 2 + 1) * src.height // (2 * size * sub)
                for i in range(sub):
                    sx = ((x * sub + i) * 2 + 1) * src.width // (2 * size * sub)
                    r, g, b, a = src.px[sy][sx]
                    total[0] += r * a
                    total[1] += g * a
                    total[2] += b * a
                    total[3] += a
            alpha = total[3]
            if alpha:
                rgb = tuple((total[k] + alpha // 2) // alpha for k in range(3))
                c.put(x, y, rgb + ((alpha + sub * sub // 2) // (sub * sub),))
    return c


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    window_icon = icon()
    sizes = tuple((f"icon-{n}.png", scaled(window_icon, n)) for n in ICON_SIZES)
    for name, canvas in (("keypad.png", picture()), ("icon.png", window_icon)) + sizes:
        with open(os.path.join(out, name), "wb") as f:
            f.write(canvas.png())


if __name__ == "__main__":
    main()
