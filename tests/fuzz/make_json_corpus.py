#!/usr/bin/env python3
"""Writes the starting inputs of the JSON text writer's fuzzer into
tests/fuzz/corpus/jsontext/ (or the folder given): UTF-16LE texts as
targets' names, paths, command lines and environment entries may hold
them, with lone and paired surrogates, control characters and escapes.

Usage: make_json_corpus.py [output folder]
"""
import struct

from make_corpus import wide, write_corpus


def units(*values):
    return struct.pack("<%dH" % len(values), *values)


CASES = [
    ("empty", b""),
    ("path", wide("C:\\Windows\\System32\\cmd.exe")),
    ("command-line", wide('cmd.exe /q /k "echo \\"quoted\\" & whoami"')),
    ("prompt", wide("PROMPT=$P$G")),
    ("controls", units(*range(0x20), 0x7F)),
    ("line-ends", wide("a\r\nb\tc\bd\fe")),
    ("outside-code-page", wide("Пример\u00e9\u4e2d\u6587.exe")),
    ("pair", units(0xD83D, 0xDE00, 0x0041)),
    ("lone-high", units(0x0041, 0xD800, 0x0042)),
    ("lone-low", units(0xDC00, 0x0041)),
    ("high-at-end", units(0x0041, 0xDBFF)),
    ("two-highs", units(0xD800, 0xD801, 0xDC01)),
    ("reversed-pair", units(0xDE00, 0xD83D)),
    ("highest", units(0xDBFF, 0xDFFF, 0xFFFF, 0xFFFE, 0xFEFF)),
    ("edges", units(0x007F, 0x0080, 0x07FF, 0x0800, 0xD7FF, 0xE000)),
    ("zero-inside", units(0x0041, 0x0000, 0x0042)),
]


if __name__ == "__main__":
    write_corpus("jsontext", CASES, "texts")
