#!/usr/bin/env python3
"""Writes the version-data fuzzer's starting inputs into
tests/fuzz/corpus/versiondata/: images as they lie mapped in memory (offset 0
is the image's base), of headers and resources only. They are the images the
test target builds for itself (tests/target.cpp, the image-* modes) and a few
layouts real linkers make: PE32 and PE32+, other resource types and named
entries before RT_VERSION, several string tables, the version data away from
the directory.

Usage: make_version_corpus.py [output folder]
"""
import os
import struct
import sys

PAGE = 4096
RESOURCES_AT = PAGE


def align(data):
    return data + b"\0" * (-len(data) % 4)


def block(key, value=b"", value_length=None, text=False, children=b""):
    """One VS_VERSIONINFO block: header, key, value, children, each aligned."""
    head_and_key = align(b"\0" * 6 + key.encode("utf-16-le") + b"\0\0")
    # A block's length leaves out the padding after its last byte.
    with_value = align(head_and_key) + value
    if children:
        with_value = align(with_value) + children
    if value_length is None:
        value_length = len(value) // 2 if text else len(value)
    return struct.pack("<HHH", len(with_value), value_length, 1 if text else 0) + with_value[6:]


def text_value(text, terminated=True):
    return (text + ("\0" if terminated else "")).encode("utf-16-le")


def version_data(strings_tables, terminated=True):
    fixed = struct.pack("<I", 0xFEEF04BD) + b"\0" * 48
    tables = b""
    for key, strings in strings_tables:
        children = b""
        for name, value in strings:
            children = align(children) + block(name, text_value(value, terminated), text=True)
        tables = align(tables) + block(key, text=True, children=children)
    string_info = block("StringFileInfo", text=True, children=tables)
    var_info = block("VarFileInfo", text=True,
                     children=block("Translation", struct.pack("<HH", 0x409, 1200)))
    return block("VS_VERSION_INFO", fixed, children=align(string_info) + var_info)


def directory(entries):
    """A resource directory table: named entries first, then ids."""
    named = [entry for entry in entries if entry[0] & 0x80000000]
    ids = [entry for entry in entries if not entry[0] & 0x80000000]
    table = struct.pack("<IIHHHH", 0, 0, 0, 0, len(named), len(ids))
    for name, offset in named + ids:
        table += struct.pack("<II", name, offset)
    return table


def resources(types, data_items, data_at=None):
    """types: [(type id or name offset, [(name, [(language, data index)])])].
    Lays out the tables, then data entries, then the data (or at data_at)."""
    # First pass: sizes of every table.
    root_size = 16 + 8 * len(types)
    offset = root_size
    name_tables = []
    for _, names in types:
        name_tables.append(offset)
        offset += 16 + 8 * len(names)
    language_tables = []
    for _, names in types:
        for _, languages in names:
            language_tables.append(offset)
            offset += 16 + 8 * len(languages)
    entries_at = offset
    count = sum(len(languages) for _, names in types for _, languages in names)
    offset += 16 * count
    data_start = data_at if data_at is not None else offset
    data_offsets = []
    blob = b""
    for item in data_items:
        data_offsets.append(data_start + len(blob))
        blob = align(blob + item)

    out = directory([(kind, 0x80000000 | name_tables[index]) for index, (kind, _) in enumerate(types)])
    language_index = 0
    for _, names in types:
        out += directory([(name, 0x80000000 | language_tables[language_index + index])
                          for index, (name, _) in enumerate(names)])
        language_index += len(names)
    entry_index = 0
    leaves = []
    for _, names in types:
        for _, languages in names:
            out += directory([(language, entries_at + 16 * (entry_index + index))
                              for index, (language, _) in enumerate(languages)])
            for _, data_index in languages:
                leaves.append(data_index)
            entry_index += len(languages)
    for data_index in leaves:
        out += struct.pack("<IIII", RESOURCES_AT + data_offsets[data_index], len(data_items[data_index]), 0, 0)
    if data_at is None:
        out += blob
    else:
        out = out + b"\0" * (data_at - len(out)) + blob
    return out


def image(rsrc, pe32=False, image_bytes=None):
    headers = bytearray(PAGE)
    headers[0:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, 0x80)
    headers[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<HH", headers, 0x84, 0x14C if pe32 else 0x8664, 0)
    optional = 0x98
    struct.pack_into("<H", headers, 0x94, 0xE0 if pe32 else 0xF0)
    struct.pack_into("<H", headers, optional, 0x10B if pe32 else 0x20B)
    size = image_bytes or (RESOURCES_AT + len(rsrc) + PAGE - 1) // PAGE * PAGE
    struct.pack_into("<I", headers, optional + 56, size)
    count_at = optional + (92 if pe32 else 108)
    struct.pack_into("<I", headers, count_at, 16)
    struct.pack_into("<II", headers, count_at + 4 + 16, RESOURCES_AT, len(rsrc))
    return bytes(headers) + rsrc


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "versiondata")
    os.makedirs(folder, exist_ok=True)
    cmd = version_data([("040904b0", [("OriginalFilename", "Cmd.Exe")])])
    only_version = [(16, [(1, [(0x409, 0)])])]
    inputs = {
        "target-cmd": image(resources(only_version, [cmd])),
        "target-unterminated": image(resources(only_version, [version_data(
            [("040904b0", [("OriginalFilename", "Cmd.Exe")])], terminated=False)])),
        "target-long-name": image(resources(only_version, [version_data(
            [("040904b0", [("OriginalFilename", "Cmd.Exe" + "x" * 254)])])])),
        "pe32-powershell": image(resources(only_version, [version_data(
            [("040904b0", [("CompanyName", "Microsoft Corporation"), ("OriginalFilename", "PowerShell.EXE")])])]),
            pe32=True),
        "types-before-version": image(resources(
            [(3, [(1, [(0x409, 0)]), (2, [(0x409, 0)])]), (14, [(1, [(0x409, 1)])]), (16, [(1, [(0, 2)])]),
             (24, [(1, [(0x409, 3)])])],
            [b"\x28" + b"\0" * 39, b"\0\0\1\0\2\0", version_data(
                [("000004b0", [("FileDescription", "Tool")]), ("040904b0", [("OriginalFilename", "pwsh.dll")])]),
             b"<assembly/>"])),
        "data-far-away": image(resources(only_version, [cmd], data_at=0x9000)),
        "murk-target": image(resources(only_version, [version_data(
            [("040904b0", [("FileDescription", "Murkscope test target"),
                           ("OriginalFilename", "murk_target.exe")])])])),
    }
    self_pointing = bytearray(inputs["target-cmd"])
    struct.pack_into("<I", self_pointing, RESOURCES_AT + 20, 0x80000000)
    inputs["self-directory"] = bytes(self_pointing)
    absurd = bytearray(inputs["target-cmd"])
    struct.pack_into("<H", absurd, RESOURCES_AT + 14, 0xFFFF)
    struct.pack_into("<I", absurd, RESOURCES_AT + 0x4C, 0xFFFFFF00)
    inputs["absurd-sizes"] = bytes(absurd)
    outside = bytearray(inputs["target-cmd"])
    struct.pack_into("<I", outside, 0x3C, 0x7FFFFFF0)
    inputs["nt-outside"] = bytes(outside)
    for name, data in inputs.items():
        with open(os.path.join(folder, name + ".bin"), "wb") as output:
            output.write(data)


if __name__ == "__main__":
    main()
