#!/usr/bin/env python3
"""Writes the loader images and the sample encoder firmware in resources/firmware/.

password.txt        the 32-byte interrupt vector area the loader takes as its password
Forced_BOR.txt      writes 0xA504 to 0x0120 (software brown-out reset)
RAM_BSL_standin.txt a stand-in with the shape of the vendor's RAM loader (two runs at
                    0x2500 and 0x2576, version bytes 00 06 05 34 first). It is accepted
                    by the simulated loader only; it is not a loader for real hardware.
sample_firmware_v1.3.0.txt  a sample encoder image for the demo: "OVFW" + version at
                    0x4400, code filler up to 0x7FFF, the vector area at 0xFFE0.
"""
import os

OUT = os.path.join(os.path.dirname(__file__), "..", "resources", "firmware")


def password():
    # Vector i at 0xFFE0 + 2i points to 0x4500 + 4i; the reset vector points to 0x4404.
    words = [0x4500 + 4 * i for i in range(16)]
    words[15] = 0x4404
    out = []
    for w in words:
        out += [w & 0xFF, w >> 8]
    return out


def filler(seed, count):
    x = seed
    out = []
    for _ in range(count):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return out


def ti_txt(runs):
    lines = []
    for address, data in runs:
        lines.append("@%04X" % address)
        for i in range(0, len(data), 16):
            lines.append("".join("%02X " % b for b in data[i:i + 16]))
    return "\r\n".join(lines) + "\r\nq"


def write(name, text):
    with open(os.path.join(OUT, name), "w", newline="") as f:
        f.write(text)


def firmware(version, seed):
    head = list(b"OVFW") + list(version.encode()) + [0]
    code = head + filler(seed, 0x8000 - 0x4400 - len(head))
    return ti_txt([(0x4400, code), (0xFFE0, password())])


write("password.txt", ti_txt([(0xFFE0, password())]))
write("Forced_BOR.txt", "@0120\r\n04 A5 \r\nq")
first = [0x00, 0x06, 0x05, 0x34] + filler(7, 0x76 - 4)
write("RAM_BSL_standin.txt", ti_txt([(0x2500, first), (0x2576, filler(11, 2793 - 0x76))]))
write("sample_firmware_v1.3.0.txt", firmware("V1.3.0", 1))
