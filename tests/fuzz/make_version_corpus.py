#!/usr/bin/env python3
"""Writes the version-data fuzzer's starting inputs into
tests/fuzz/corpus/versiondata/: images as they lie mapped in memory (offset 0
is the image's base), of headers and resources only, laid out as the test
target lays out the images it builds for itself (tests/target.cpp, the
image-* modes): PE32+ and PE32, version data right after the directory or
far from it, and the target's hostile copies.

Usage: make_version_corpus.py [output folder]
"""
import os
import struct
import sys

PAGE = 4096


def align(data):
    return data + b"\0" * (-len(data) % 4)


def block(key, value=b"", text=False, children=b""):
    """One VS_VERSIONINFO block; its length leaves out the padding after it."""
    body = align(b"\0" * 6 + key.encode("utf-16-le") + b"\0\0") + value
    if children:
        body = align(body) + children
    return struct.pack("<HHH", len(body), len(value) // 2 if text else len(value), 1 if text else 0) + body[6:]


def version_data(name, terminated=True):
    value = (name + ("\0" if terminated else "")).encode("utf-16-le")
    table = block("040904b0", text=True, children=block("OriginalFilename", value, text=True))
    fixed = struct.pack("<I", 0xFEEF04BD) + b"\0" * 48
    return block("VS_VERSION_INFO", fixed, children=block("StringFileInfo", text=True, children=table))


def image(name, pe32=False, data_at=0x60, terminated=True):
    """Headers, then at PAGE the tables of RT_VERSION -> 1 -> 0x409 -> data."""
    data = version_data(name, terminated)
    rsrc = bytearray(data_at + len(data))
    struct.pack_into("<14xH2I", rsrc, 0, 1, 16, 0x80000018)
    struct.pack_into("<14xH2I", rsrc, 0x18, 1, 1, 0x80000030)
    struct.pack_into("<14xH2I", rsrc, 0x30, 1, 0x409, 0x48)
    struct.pack_into("<2I", rsrc, 0x48, PAGE + data_at, len(data))
    rsrc[data_at:] = data
    headers = bytearray(PAGE)
    headers[0:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, 0x80)
    struct.pack_into("<4sH14xH", headers, 0x80, b"PE\0\0", 0x14C if pe32 else 0x8664, 0xE0 if pe32 else 0xF0)
    struct.pack_into("<H", headers, 0x98, 0x10B if pe32 else 0x20B)
    struct.pack_into("<I", headers, 0x98 + 56, (PAGE + len(rsrc) + PAGE - 1) // PAGE * PAGE)
    count_at = 0x98 + (92 if pe32 else 108)
    struct.pack_into("<I16x2I", headers, count_at, 16, PAGE, len(rsrc))
    return bytearray(headers + rsrc)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "versiondata")
    os.makedirs(folder, exist_ok=True)
    inputs = {
        "target-cmd": image("Cmd.Exe"),
        "pe32-powershell": image("PowerShell.EXE", pe32=True),
        "data-far-away": image("pwsh.dll", data_at=0x2000),
        "murk-target": image("murk_target.exe"),
        "unterminated": image("Cmd.Exe", terminated=False),
        "long-name": image("Cmd.Exe" + "x" * 254),
    }
    # The hostile copies: RT_VERSION pointing back at the root, absurd
    # counts and data size, NT headers far outside the image.
    for name, at, form, value in [("self-directory", PAGE + 20, "<I", 0x80000000),
                                  ("absurd-sizes", PAGE + 0x4C, "<I", 0xFFFFFF00),
                                  ("nt-outside", 0x3C, "<I", 0x7FFFFFF0)]:
        inputs[name] = image("Cmd.Exe")
        struct.pack_into(form, inputs[name], at, value)
    struct.pack_into("<H", inputs["absurd-sizes"], PAGE + 14, 0xFFFF)
    for name, data in inputs.items():
        with open(os.path.join(folder, name + ".bin"), "wb") as output:
            output.write(data)


if __name__ == "__main__":
    main()
