#!/usr/bin/env python3
"""Writes the starting inputs of the process-list walk's fuzzer into
tests/fuzz/corpus/listwalk/ (or the folder given): list buffers laid out as
the system fills them (records of SYSTEM_PROCESS_INFORMATION's 64-bit layout,
each followed by room for its threads and its image name), placed at the
address the fuzzer gives them (LIST_ADDRESS in listwalk_fuzz.cpp), and the
faulty ones the walk must survive.

Usage: make_list_corpus.py [output folder]
"""
import struct

from make_corpus import write_corpus

LIST_ADDRESS = 0x10000
RECORD_BYTES = 0x68
THREAD_BYTES = 0x50


def record(pid, ppid, name, threads=1, created=0x01DB4A0B6E2F1C00, session=1):
    """One record, its threads' room and its name: (bytes, name offset in them)."""
    name_bytes = name.encode("utf-16-le")
    name_at = RECORD_BYTES + THREAD_BYTES * threads
    body = bytearray(name_at + len(name_bytes) + 2)
    struct.pack_into("<IIQ", body, 0x20, created & 0xFFFFFFFF, created >> 32, 0)
    body[name_at:name_at + len(name_bytes)] = name_bytes
    struct.pack_into("<QQ", body, 0x50, pid, ppid)
    struct.pack_into("<I", body, 0x64, session)
    while len(body) % 8:
        body.append(0)
    return body, name_at, len(name_bytes)


def build(processes, mend=None):
    """A list of (pid, ppid, name) records, nexts and names set; mend(buffer,
    starts) spoils it afterwards."""
    out = bytearray()
    starts = []
    for pid, ppid, name in processes:
        body, name_at, name_length = record(pid, ppid, name)
        start = len(out)
        starts.append(start)
        if name:
            struct.pack_into("<HHIQ", body, 0x38, name_length, name_length + 2, 0, LIST_ADDRESS + start + name_at)
        out += body
    for index, start in enumerate(starts):
        following = starts[index + 1] - start if index + 1 < len(starts) else 0
        struct.pack_into("<I", out, start, following)
    if mend:
        mend(out, starts)
    return bytes(out)


WINDOWS = [(0, 0, ""), (4, 0, "System"), (120, 4, "Registry"), (812, 640, "services.exe"),
           (4120, 3900, "explorer.exe"), (5172, 4120, "cmd.exe"), (5180, 5172, "conhost.exe"),
           (6044, 5172, "whoami.exe")]
WINE = [(32, 0, "services.exe"), (56, 32, "winedevice.exe"), (272, 32, "cmd.exe"), (300, 272, "murk_target.exe")]


def set_u32(at, value):
    return lambda out, starts: struct.pack_into("<I", out, starts[at], value)


def set_name(at, length, address):
    return lambda out, starts: struct.pack_into("<HHIQ", out, starts[at] + 0x38, length, length, 0, address)


def loop_back(out, starts):
    struct.pack_into("<I", out, starts[2], RECORD_BYTES)  # the smallest next that moves on


CASES = [
    ("windows", build(WINDOWS)),
    ("wine", build(WINE)),
    ("one", build([(5172, 4120, "cmd.exe")])),
    ("next-zero-first", build(WINDOWS, set_u32(0, 0))),
    ("next-short", build(WINDOWS, set_u32(1, 8))),
    ("next-past-end", build(WINDOWS, set_u32(3, 0x7FFFFFF0))),
    ("next-smallest", build(WINDOWS, loop_back)),
    ("name-outside", build(WINE, set_name(2, 14, 0x7FF612340000))),
    ("name-before", build(WINE, set_name(1, 14, LIST_ADDRESS - 2))),
    ("name-odd-length", build(WINE, set_name(2, 13, LIST_ADDRESS + 0x100))),
    ("name-odd-address", build(WINE, set_name(2, 14, LIST_ADDRESS + 0x101))),
    ("name-huge", build(WINE, set_name(2, 0xFFFE, LIST_ADDRESS + RECORD_BYTES))),
    ("cut-record", build(WINE)[:RECORD_BYTES * 2 + 40]),
    ("record-only", build([(4, 0, "System")])[:RECORD_BYTES]),
    ("short", build(WINE)[:RECORD_BYTES - 1]),
]


if __name__ == "__main__":
    write_corpus("listwalk", CASES, "lists")
