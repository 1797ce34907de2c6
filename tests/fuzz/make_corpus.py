#!/usr/bin/env python3
"""Writes the fuzzer's starting inputs: the environment blocks that the test
targets arrange (tests/target.cpp and tests/hostile/hostile_target.cpp), as
UTF-16LE bytes, one file per block, into tests/fuzz/corpus/envblock/.

Each file holds the block as the walk would meet it: up to and including its
closing empty entry or, for a block without one, up to where the reader's
view of it ends (its region's end, an unreadable page, the reader's 64 KiB). Blocks with the same bytes are written once, under
the first name. Run it again after changing a target's blocks.

Usage: make_corpus.py [output folder]
"""
import os
import sys

PAGE_BYTES = 4096
PROMPT_PAST_BUFFER_AT = 65536 + 64
PROMPT_AT_BUFFER_END_AT = 65536 - 20


def wide(text):
    return text.encode("utf-16-le")


def append_entry(block, entry):
    return block + entry + "\0"


def sorted_block(path_characters, prompt_entry):
    """WriteSortedBlock in target.cpp: a developer machine's entries before
    PROMPT, with a PATH of path_characters characters."""
    folder = "C:\\Tools\\bin;"
    path = "Path=" + "".join(folder[index % len(folder)] for index in range(path_characters))
    block = ""
    for entry in ["=C:=C:\\work", "ALLUSERSPROFILE=C:\\ProgramData", "COMPUTERNAME=RESPONDER-01",
                  "ComSpec=C:\\Windows\\system32\\cmd.exe", "NUMBER_OF_PROCESSORS=8", "OS=Windows_NT", path,
                  "PATHEXT=.COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC",
                  "PROCESSOR_ARCHITECTURE=AMD64",
                  "PROCESSOR_IDENTIFIER=Intel64 Family 6 Model 158 Stepping 10, GenuineIntel",
                  "PROCESSOR_LEVEL=6", "PROCESSOR_REVISION=9e0a", "ProgramData=C:\\ProgramData",
                  "ProgramFiles=C:\\Program Files", "ProgramFiles(x86)=C:\\Program Files (x86)", prompt_entry,
                  "PSModulePath=C:\\Program Files\\WindowsPowerShell\\Modules"]:
        block = append_entry(block, entry)
    return block + "\0"


def prompt_at(prompt_byte):
    """PlacePromptAt in target.cpp: filler entries "A=xxx" up to the byte
    offset, then a prompt entry and the closing empty entry."""
    block = ""
    left = prompt_byte // 2
    while left > 0:
        characters = 100 if left > 200 else left
        block += "A=" + "x" * (characters - 3) + "\0" if characters >= 3 else "A"[:characters - 1] + "\0"
        left -= characters
    return block + "PROMPT=$P$G\0\0"


def filled_page(tail):
    """PlaceFilledPage in target.cpp: one page of "B=yyy" entries, no closing
    entry, ending in tail at the page's end."""
    total = PAGE_BYTES // 2
    block = ""
    while len(block) < total - len(tail):
        characters = min(50, total - len(tail) - len(block))
        block += "".join("\0" if index + 1 == characters else ("B" if index == 0 else ("=" if index == 1 else "y"))
                         for index in range(characters))
    return block + tail


# tests/target.cpp, in the order of its modes.
TARGET_BLOCKS = [
    ("prompt-first", "PROMPT=$P$G\0ZZZ=1\0\0"),
    ("prompt-lower-second", "ALLUSERSPROFILE=C:\\ProgramData\0prompt=$p$g\0\0"),
    ("bare-prompt", "A=1\0Prompt\0\0"),
    ("promptx", "A=1\0PROMPTX=1\0\0"),
    ("near-misses", "PROMP=1\0XPROMPT=1\0=PROMPT\0 PROMPT=1\0PROMP\0\0"),
    ("equals-first", "=C:=C:\\work\0=ExitCode=00000000\0PROMPT=$P$G\0\0"),
    ("empty", "\0\0"),
    ("no-prompt", "ALLUSERSPROFILE=C:\\ProgramData\0Path=C:\\Windows\0\0"),
    ("filled-no-prompt", filled_page("")),
    ("filled-cut-prompt", filled_page("PROMPT=$P")),
    ("small-region", "PROMPT=$P$G\0\0"),
    ("region-end", "PROMPT=$P$G\0\0"),
    ("long-path", sorted_block(4000, "PROMPT=$P$G")),
    ("prompt-past-buffer", prompt_at(PROMPT_PAST_BUFFER_AT)),
    ("prompt-at-buffer-end", prompt_at(PROMPT_AT_BUFFER_END_AT)),
]

# tests/hostile/hostile_target.cpp: the fixed blocks its workers switch
# between, as the dirty modes write them and, where they differ, as the clean
# modes do (every 't' and 'T' turned into 'X'). Its garbage is random and left
# to the fuzzer's own mutations.
HOSTILE_PROMPT = "=C:=C:\\work\0ALLUSERSPROFILE=C:\\Users\\All Users\0PROMPT=$P$G\0ZZZ=1\0\0"
HOSTILE_SHORT_PROMPT = "A=1\0PROMPT=$P$G\0\0"


def cut_prompt_image():
    """WriteCutPromptImage: "B=yyy" entries over the reader's 64 KiB buffer,
    its last six characters "PROMPT" with no terminator."""
    total = 65536 // 2
    block = ""
    while len(block) + 6 < total:
        characters = min(60, total - 6 - len(block))
        block += "".join("\0" if index + 1 == characters else ("B" if index == 0 else ("=" if index == 1 else "y"))
                         for index in range(characters))
    return block + "PROMPT"


def clean(block):
    return block.replace("T", "X").replace("t", "x")


HOSTILE_BLOCKS = [
    ("hostile-prompt", HOSTILE_PROMPT),
    ("hostile-prompt-clean", clean(HOSTILE_PROMPT)),
    ("hostile-other", "=C:=C:\\work\0ALLUSERSPROFILE=C:\\Users\\All Users\0HOMEDRIVE=C:\0\0"),
    ("hostile-near-misses", "PROMP=1\0PROMPX=1\0XPROMP=1\0PROMP\0=PROMP\0\0"),
    ("hostile-short-prompt", HOSTILE_SHORT_PROMPT),
    ("hostile-short-prompt-clean", clean(HOSTILE_SHORT_PROMPT)),
    ("hostile-separator-gone", "A=1XPROMPT=$P$G\0\0"),
    ("hostile-page-cut", "A=1\0PRO"),
    ("hostile-leading-empty", "\0PROMPT=$P$G\0\0"),
    ("hostile-cut-prompt", cut_prompt_image()),
    ("hostile-cut-prompt-clean", clean(cut_prompt_image())),
]


def write_corpus(target, cases, what):
    """Writes (name, bytes) cases into the folder given on the command line
    or tests/fuzz/corpus/<target>, once for each distinct content, after
    removing the inputs written before."""
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        if name.endswith(".bin"):
            os.remove(os.path.join(folder, name))
    written = set()
    for name, data in cases:
        if data in written:
            continue
        written.add(data)
        with open(os.path.join(folder, name + ".bin"), "wb") as stream:
            stream.write(data)
    print("%d %s written to %s" % (len(written), what, folder))


def main():
    write_corpus("envblock", [(name, wide(block)) for name, block in TARGET_BLOCKS + HOSTILE_BLOCKS], "blocks")


if __name__ == "__main__":
    main()
