#!/usr/bin/env python3
"""Wraps the drawn application icon (a 256x256 PNG) into a Windows .ico file."""
import struct
import sys

png = open(sys.argv[1], "rb").read()
if png[:8] != b"\x89PNG\r\n\x1a\n":
    sys.exit(f"{sys.argv[1]} is not a PNG file")
width, height = struct.unpack(">II", png[16:24])
# Width and height 0 stand for 256.
entry = struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(png), 6 + 16)
with open(sys.argv[2], "wb") as out:
    out.write(struct.pack("<HHH", 0, 1, 1) + entry + png)
