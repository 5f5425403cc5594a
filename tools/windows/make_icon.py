#!/usr/bin/env python3
"""Packs the program's PNG icons into resources/ovitone.ico for the Windows build.

An icon file may hold PNG images as they are (Windows Vista and later read them), so the
.ico is the PNGs behind a directory of sizes. Run it again after the PNGs change:
    python3 tools/windows/make_icon.py
"""
import pathlib
import struct

resources = pathlib.Path(__file__).resolve().parents[2] / "resources"
images = [(size, (resources / name).read_bytes()) for size, name in
          [(32, "ovitone-32.png"), (48, "ovitone-48.png"), (64, "ovitone-64.png"),
           (256, "ovitone.png")]]
header = struct.pack("<HHH", 0, 1, len(images))
offset = len(header) + 16 * len(images)
directory, data = b"", b""
for size, png in images:
    # Width and height 0 mean 256.
    directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(png),
                             offset + len(data))
    data += png
(resources / "ovitone.ico").write_bytes(header + directory + data)
