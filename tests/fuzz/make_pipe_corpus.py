#!/usr/bin/env python3
"""Writes the starting inputs of the engine pipe names' fuzzer into
tests/fuzz/corpus/enginepipe/ (or the folder given): pipe names as a listing
of \\\\.\\pipe\\ gives them, in UTF-16LE without a terminator. PowerShell
hosts' names (dotted app domains and process names, the largest time and
pid), the near misses the parser must refuse, and other programs' common
pipes. A few are also written one byte per character ("ascii-"), since the
fuzzer reads its input that way too.

Usage: make_pipe_corpus.py [output folder]
"""
import struct

from make_corpus import wide, write_corpus

TIME = "133781234567890123"
HOST = "PSHost." + TIME + ".4242.DefaultAppDomain.powershell"


def units(*values):
    return struct.pack("<%dH" % len(values), *values)


def padded(chars):
    """A host's name of exactly chars characters, its process name filled out."""
    start = "PSHost." + TIME + ".4242.DefaultAppDomain."
    return start + "p" * (chars - len(start))


HOSTS = [
    ("host", HOST),
    ("host-dotted-domain", "PSHost." + TIME + ".3312.Exchange.Management.Shell.1.powershell"),
    ("host-dotted-process", "PSHost." + TIME + ".7788.DefaultAppDomain.Microsoft.ServiceHub.Controller"),
    ("host-iis-domain", "PSHost." + TIME + ".6004./LM/W3SVC/1/ROOT-1-" + TIME + ".w3wp"),
    ("host-largest-pid", "PSHost." + TIME + ".4294967295.DefaultAppDomain.powershell"),
    ("host-latest-time", "PSHost.9223372036854775807.4242.DefaultAppDomain.powershell"),
    ("host-smallest", "PSHost.1.1.a.b"),
    ("host-256", padded(256)),
]

NEAR_MISSES = [
    ("no-pid", "PSHost." + TIME + ".DefaultAppDomain.powershell"),
    ("pid-too-big", "PSHost." + TIME + ".4294967296.DefaultAppDomain.powershell"),
    ("pid-zero", "PSHost." + TIME + ".0.DefaultAppDomain.powershell"),
    ("pid-leading-zero", "PSHost." + TIME + ".04242.DefaultAppDomain.powershell"),
    ("time-leading-zero", "PSHost.0" + TIME + ".4242.DefaultAppDomain.powershell"),
    ("time-over", "PSHost.9223372036854775808.4242.DefaultAppDomain.powershell"),
    ("time-negative", "PSHost.-" + TIME + ".4242.DefaultAppDomain.powershell"),
    ("no-time", "PSHost..4242.DefaultAppDomain.powershell"),
    ("empty-domain", "PSHost." + TIME + ".4242..powershell"),
    ("empty-inside", "PSHost." + TIME + ".4242.Default..AppDomain.powershell"),
    ("trailing-dot", HOST + "."),
    ("one-part", "PSHost." + TIME + ".4242.powershell"),
    ("no-rest", "PSHost." + TIME + ".4242."),
    ("lower-prefix", "pshost." + TIME + ".4242.DefaultAppDomain.powershell"),
    ("prefix-only", "PSHost."),
    ("no-prefix-dot", "PSHost" + TIME + ".4242.DefaultAppDomain.powershell"),
    ("chars-257", padded(257)),
]

OTHERS = [
    ("lsass", "lsass"),
    ("protected-prefix", "ProtectedPrefix\\Administrators\\WindowsTerminal.4242.DefaultAppDomain.x"),
    ("mojo", "mojo.1234.5678.123456789"),
    ("winpty", "winpty-control-5172-1-1d9a4f0b6c2e3a1-0123456789abcdef0123456789abcdef"),
    ("dotnet-diagnostic", "dotnet-diagnostic-4242-133781234-socket"),
]


def ascii_case(name, text):
    return ("ascii-" + name, text.encode("ascii"))


CASES = ([(name, wide(text)) for name, text in HOSTS + NEAR_MISSES + OTHERS] + [
    ("embedded-zero", wide(HOST[:-4]) + units(0) + wide(HOST[-3:])),
    ("zero-last", wide(HOST) + units(0)),
    ("outside-code-page", wide("PSHost." + TIME + ".4242.DefaultAppDomain.\u041f\u0440\u043e\u0433\u043e\u043d")),
    ("surrogates", wide("PSHost." + TIME + ".4242.") + units(0xD83D, 0xDE00, 0x2E, 0xDC00)),
    ("dot-lookalike", wide("PSHost." + TIME + ".4242") + units(0x2024) + wide("DefaultAppDomain.powershell")),
    ascii_case("host", HOST),
    ascii_case("numbers", TIME + ".4294967295.a.b"),
])


if __name__ == "__main__":
    write_corpus("enginepipe", CASES, "names")
