#!/usr/bin/env python3
"""Packs square PNG images into one .ico whose entries stay PNG-compressed."""
import struct
import sys


def png_size(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        raise SystemExit("not a PNG image")
    width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
    if width != height or depth != 8 or colour != 6:
        raise SystemExit("expected a square 8-bit RGBA PNG, got %dx%d depth %d type %d"
                         % (width, height, depth, colour))
    return width


def main(out_path, png_paths):
    images = [open(p, "rb").read() for p in png_paths]
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries, blobs = b"", b""
    for data in images:
        size = png_size(data)
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
        blobs += data
    with open(out_path, "wb") as out:
        out.write(header + entries + blobs)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2:])
