#!/usr/bin/env python3
"""Converts the dialer's artwork (dialer/art, PNG) into the Windows resources Kavrel.exe is built
with: kavrel.ico (24 x 24, 256 colours, with a transparency mask) and keypad.bmp (24-bit).

Standard library only, and deterministic: the committed files can be checked against it (run it
and `git diff --exit-code`).

    python3 dialer/win32_resources/make_resources.py [art folder] [output folder]
"""
import os
import struct
import sys
import zlib


def read_png(path):
    """Returns (width, height, channels, rows) of an 8-bit RGB or RGBA PNG, rows as bytes."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(f"{path}: not a PNG file")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace:
        raise ValueError(f"{path}: only 8-bit RGB or RGBA, not interlaced")
    channels = 4 if colour == 6 else 3
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for x in range(stride):
            left = line[x - channels] if x >= channels else 0
            up = previous[x]
            corner = previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + left) & 255
            elif kind == 2:
                line[x] = (line[x] + up) & 255
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                predictor = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                line[x] = (line[x] + predictor) & 255
        rows.append(bytes(line))
        previous = line
    return width, height, channels, rows


def pixels(width, channels, row):
    return [tuple(row[x * channels:(x + 1) * channels]) for x in range(width)]


def bitmap_info(width, height, bits, colours=0):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, 0, 0, 0, colours, 0)


def padded(data):
    return data + b"\x00" * (-len(data) % 4)


def bmp(path):
    width, height, channels, rows = read_png(path)
    body = b"".join(
        padded(b"".join(bytes((b, g, r)) for r, g, b, *_ in pixels(width, channels, row)))
        for row in reversed(rows)  # bottom-up
    )
    info = bitmap_info(width, height, 24)
    offset = 14 + len(info)
    return struct.pack("<2sIHHI", b"BM", offset + len(body), 0, 0, offset) + info + body


def ico(path):
    width, height, channels, rows = read_png(path)
    grid = [pixels(width, channels, row) for row in rows]

    def opaque(p):
        return channels == 3 or p[3] >= 128

    palette = sorted({p[:3] for line in grid for p in line if opaque(p)})
    if len(palette) > 256:
        raise ValueError(f"{path}: {len(palette)} colours do not fit a 256-colour icon")
    palette += [(0, 0, 0)] * (256 - len(palette))
    index = {c: i for i, c in reversed(list(enumerate(palette)))}
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    xor = b"".join(
        padded(bytes(index[p[:3]] if opaque(p) else 0 for p in line)) for line in reversed(grid)
    )
    mask = b""
    for line in reversed(grid):
        bits = "".join("0" if opaque(p) else "1" for p in line)
        bits += "0" * (-len(bits) % 32)
        mask += int(bits, 2).to_bytes(len(bits) // 8, "big")
    # An icon's bitmap header counts the colour and the mask rows together.
    image = bitmap_info(width, height * 2, 8, 256) + colours + xor + mask
    entry = struct.pack("<BBBBHHII", width, height, 0, 0, 1, 8, len(image), 6 + 16)
    return struct.pack("<HHH", 0, 1, 1) + entry + image


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    art = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "art")
    out = sys.argv[2] if len(sys.argv) > 2 else here
    for name, data in (("kavrel.ico", ico(os.path.join(art, "icon.png"))),
                       ("keypad.bmp", bmp(os.path.join(art, "keypad.png")))):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
