#!/usr/bin/python3
"""Audit of every call Murkscope64.exe makes into the system while it scans.

"run" starts a known set of test targets in a Wine prefix of the audit's own
and, while it holds them, runs the tool twice under Wine's relay trace: once
in the line layout (-l), which walks the tool-help snapshot, once in the JSON
Lines layout (-j), which walks the system's process list
(NtQuerySystemInformation) and whose listed shells get more lookups (the
evidence). It checks both traces. "check" checks
one trace recorded earlier; its layout is told by --layout or by the output.
Only calls whose return address lies in the tool's own image count as the
tool's; what system DLLs call among themselves on its behalf is looked at
only for changes made through the tool's own process handles.

Checks (each violation is tagged so that the fault test can tell them apart):
  [access]    OpenProcess asks for 0x0410, 0x0400 or 0x1000 only; a token of
              another process is opened for TOKEN_QUERY only.
  [forbidden] no DLL loaded by name but from System32 (the flag
              LOAD_LIBRARY_SEARCH_SYSTEM32, or a System32 path); no
              call that writes to, allocates or protects memory in, starts
              a thread in, duplicates a handle of, suspends, debugs, ends or
              otherwise changes another process (or its token or security).
  [budget]    every scanned process is opened for the shell test exactly
              once; on that handle at most one NtQueryInformationProcess for
              the basic information, three ReadProcessMemory (and one more
              for the rest of a block that runs on past its first 64 KiB
              read, starting where that read ended, and one more of the
              parameters record for the environment pointer again after a
              block that could not be read) and two VirtualQueryEx, and
              exactly one ProcessWow64Information query
              on each such handle granted (a native process answers 0:
              nothing more is read). In the JSON layout each such handle also
              gets exactly one GetProcessTimes, before the shell test, which
              tells a reused id; after its ProcessWow64Information query
              the main image is read through that same handle: at most three
              ReadProcessMemory (the headers, the resource directory, the
              version data) and three VirtualQueryEx; and a listed shell's
              evidence after that, starting with a read of the parameters
              record the shell test read: at most four more
              ReadProcessMemory (the parameters record, the command line, the
              directory, the desktop asked for) and two more VirtualQueryEx
              (for a text outside the parameters' region), one
              ProcessConsoleHostProcess query and no other information
              query; another process gets no evidence read and no such
              query. A listed shell's console host (the one its object
              names) is opened for reading once after the shell's test, for
              its creation time, its basic information, at most three
              ReadProcessMemory and two VirtualQueryEx, counted for the
              shell. The line layout reads neither. The functions
              NtQueryInformationProcess and NtQuerySystemInformation are each
              looked up at most once in the run, the process list is read
              once, and ntdll is neither loaded nor freed during the scan;
              the line layout loads no DLL.
  [lookups]   a listed process gets exactly the lookups of its layout's
              record, a process that is not listed none of them; the run
              looks each distinct owner of a listed process up once, by the
              first process it owns, and no other account. A listed
              shell whose parent runs gets, in the JSON layout, its parent
              opened for its creation time and image path, counted as the
              shell's lookup.
  [handles]   every process, token and snapshot handle is closed, once, by the
              function that opened it, before the scan moves to another
              process.
  [coverage]  the trace shows what the audit needs: the image's load address,
              the scan, and every target read; the listed processes are the
              targets that hold a prompt; a JSON output ends with its scan
              object, whose process count is the trace's.

Every reading open (0x0410) is a shell test. A limited open (0x1000) of a
listed shell's parent, made after that shell's shell test and before the next
process's, is counted for the shell (the parent ids and whether each parent
runs come from the JSON output).
"""

import argparse
import bisect
import collections
import json
import os
import re
import select
import struct
import subprocess
import sys
import time

# The targets the audit holds while the tool scans.
TARGET_MODES = ["prompt-first", "prompt-first", "no-prompt", "no-prompt", "env-noaccess", "parameters-noaccess"]
LISTED_MODES = {"prompt-first"}

# The launcher's start (a new prefix is set up first), two traced runs and
# the launcher's end stay within CTest's 900 s. A traced run takes well under
# a minute on the shared machine; one still going after the limit is held.
READY_LIMIT_SECONDS = 300
TRACED_RUN_LIMIT_SECONDS = 180

LAYOUT_LINE = "line"  # -l: one record line per listed process
LAYOUT_JSON = "json"  # -j: one JSON object per listed shell, then the scan object
LAYOUT_OPTIONS = {LAYOUT_LINE: "-l", LAYOUT_JSON: "-j"}

READ_ACCESS = 0x0410  # PROCESS_QUERY_INFORMATION | PROCESS_VM_READ
QUERY_ACCESS = 0x0400  # PROCESS_QUERY_INFORMATION
LIMITED_ACCESS = 0x1000  # PROCESS_QUERY_LIMITED_INFORMATION
ALLOWED_ACCESS = (READ_ACCESS, QUERY_ACCESS, LIMITED_ACCESS)
TOKEN_QUERY = 0x0008
TOKEN_CLASSES = {1: "TokenUser", 10: "TokenStatistics", 18: "TokenElevationType", 25: "TokenIntegrityLevel"}
SNAP_PROCESS = 0x2
SNAP_MODULE = 0x8
CURRENT_PROCESS = 0xFFFFFFFFFFFFFFFF
INVALID_HANDLE = {0xFFFFFFFFFFFFFFFF, 0xFFFFFFFF}
DWORD_MASK = 0xFFFFFFFF

# Access rights that let a holder change a process, by name for the messages.
PROCESS_RIGHTS = [
    (0x0001, "PROCESS_TERMINATE"),
    (0x0002, "PROCESS_CREATE_THREAD"),
    (0x0008, "PROCESS_VM_OPERATION"),
    (0x0020, "PROCESS_VM_WRITE"),
    (0x0040, "PROCESS_DUP_HANDLE"),
    (0x0080, "PROCESS_CREATE_PROCESS"),
    (0x0100, "PROCESS_SET_QUOTA"),
    (0x0200, "PROCESS_SET_INFORMATION"),
    (0x0800, "PROCESS_SUSPEND_RESUME"),
    (0x10000, "DELETE"),
    (0x40000, "WRITE_DAC"),
    (0x80000, "WRITE_OWNER"),
    (0x2000000, "MAXIMUM_ALLOWED"),
]

# Calls that change another process (memory, threads, handles, state,
# scheduling, debugging, security) or start one. None of them belongs in a
# read-only scan, whatever handle it is given.
FORBIDDEN = {name.lower() for name in """
WriteProcessMemory NtWriteVirtualMemory ZwWriteVirtualMemory
VirtualProtectEx NtProtectVirtualMemory ZwProtectVirtualMemory
VirtualAllocEx VirtualAllocExNuma VirtualAlloc2 VirtualAlloc2FromApp NtAllocateVirtualMemory NtAllocateVirtualMemoryEx
VirtualFreeEx NtFreeVirtualMemory VirtualLockEx VirtualUnlockEx NtLockVirtualMemory NtUnlockVirtualMemory
MapViewOfFile2 MapViewOfFile3 MapViewOfFileNuma2 NtMapViewOfSection NtMapViewOfSectionEx
UnmapViewOfFile2 NtUnmapViewOfSection NtUnmapViewOfSectionEx FlushInstructionCache NtFlushInstructionCache
CreateRemoteThread CreateRemoteThreadEx NtCreateThread NtCreateThreadEx RtlCreateUserThread
QueueUserAPC QueueUserAPC2 NtQueueApcThread NtQueueApcThreadEx
OpenThread NtOpenThread SetThreadContext Wow64SetThreadContext NtSetContextThread
SuspendThread Wow64SuspendThread NtSuspendThread NtSuspendProcess ResumeThread NtResumeThread NtResumeProcess
TerminateProcess NtTerminateProcess TerminateThread NtTerminateThread TerminateJobObject
DuplicateHandle NtDuplicateObject
DebugActiveProcess DebugActiveProcessStop DebugBreakProcess DbgUiDebugActiveProcess DbgUiIssueRemoteBreakin
NtDebugActiveProcess NtRemoveProcessDebug DebugSetProcessKillOnExit
SetPriorityClass SetProcessAffinityMask SetProcessPriorityBoost SetProcessWorkingSetSize SetProcessWorkingSetSizeEx
SetProcessInformation NtSetInformationProcess SetProcessDEPPolicy SetProcessShutdownParameters
EmptyWorkingSet K32EmptyWorkingSet SetThreadPriority SetThreadAffinityMask NtSetInformationThread
AssignProcessToJobObject NtAssignProcessToJobObject GenerateConsoleCtrlEvent
SetSecurityInfo SetKernelObjectSecurity NtSetSecurityObject SetNamedSecurityInfoA SetNamedSecurityInfoW
SetUserObjectSecurity SetHandleInformation NtSetInformationObject
DuplicateToken DuplicateTokenEx NtDuplicateToken ImpersonateLoggedOnUser SetThreadToken NtImpersonateThread
CreateProcessA CreateProcessW CreateProcessAsUserA CreateProcessAsUserW CreateProcessWithLogonW
CreateProcessWithTokenW CreateProcessInternalA CreateProcessInternalW NtCreateUserProcess NtCreateProcess
NtCreateProcessEx RtlCreateUserProcess WinExec ShellExecuteA ShellExecuteW ShellExecuteExA ShellExecuteExW
""".split()}

# Calls that change a token: allowed only on the tool's own token (the
# debug privilege it enables for itself at start).
TOKEN_CHANGING = {name.lower() for name in """
AdjustTokenPrivileges AdjustTokenGroups SetTokenInformation NtAdjustPrivilegesToken NtAdjustGroupsToken
NtSetInformationToken
""".split()}

# The first token call after OpenProcessToken names the token handle: the
# relay trace shows the output pointer, not the handle written through it.
TOKEN_USERS = {"gettokeninformation", "closehandle"} | TOKEN_CHANGING | {"duplicatetoken", "duplicatetokenex"}

# The shell test of every scanned process and its limits, on the handle it
# opens for reading; "granted" counts the handles the system gave.
TEST_OPEN = "OpenProcess(0x410)"
TEST_GRANTED = "OpenProcess(0x410) granted"
WOW64_QUERY = "NtQueryInformationProcess(Wow64)"
WOW64_INFORMATION_CLASS = 26
READ_LIMITS = {"NtQueryInformationProcess": 1, "ReadProcessMemory": 3, "VirtualQueryEx": 2}
# The read of the rest of a block longer than the first read of 64 KiB.
FIRST_BLOCK_READ = 0x10000
BLOCK_REST = "ReadProcessMemory (rest of the block)"
# A second read of the parameters record, for the environment pointer once
# more after a block that could not be read (it may have moved); the block
# it then names gets the region question and the reads of a first one.
POINTER_AGAIN = "ReadProcessMemory (the environment pointer again)"
# The JSON layout's creation-time check of each reading handle.
TEST_TIMES = "GetProcessTimes"
LIST_CLASS = 5
# A listed shell's evidence in the JSON layout, read through the shell test's
# handle after its ProcessWow64Information query: the parameters record, the
# command line, the directory and the desktop asked for, and a region
# question for a text outside the parameters' region. (A WOW64 process's 32-bit reads would come after
# that query too; Wine runs none.)
EVIDENCE_LIMITS = {"evidence ReadProcessMemory": 4, "evidence VirtualQueryEx": 2}
# Every reading handle's main image in the JSON layout, read between that
# query and the evidence: headers, resource directory, version data.
IMAGE_LIMITS = {"image ReadProcessMemory": 3, "image VirtualQueryEx": 3}
# A listed shell's console host in the JSON layout: the system asked for it
# once through the shell test's handle (ProcessConsoleHostProcess), then the
# host's command line read through a reading handle of its own, opened after
# the shell's test and before the next process's, counted for the shell:
# its creation time, its basic information, at most three reads (the PEB,
# the parameters record, the text) and two region questions.
CONSOLE_HOST_QUERY = "NtQueryInformationProcess(class 49) after the shell test"
HOST_OPEN = "OpenProcess(0x410) of the console host"
HOST_LIMITS = {"ReadProcessMemory of the console host": 3, "VirtualQueryEx of the console host": 2}
HOST_LOOKUPS = {HOST_OPEN: 1, "GetProcessTimes of the console host": 1,
                "NtQueryInformationProcess of the console host": 1}
BUDGET_KEYS = [TEST_OPEN, TEST_GRANTED, WOW64_QUERY, TEST_TIMES, BLOCK_REST, POINTER_AGAIN] + list(READ_LIMITS) + \
    list(EVIDENCE_LIMITS) + list(IMAGE_LIMITS) + list(HOST_LIMITS)

# An account lookup, by either of its names. Each distinct owner is looked
# up once in the run, by the first listed process it owns (the others get
# none): a lookup can wait seconds for a domain controller.
ACCOUNT_KEY = "account lookup"
# The line layout's 32-bit test: ProcessWow64Information on its own handle.
LOOKUP_WOW64 = "ProcessWow64Information query for the name's *32"
# What a listed process is looked up with in each layout, beyond the reads
# and the account lookup.
LOOKUPS = {
    LAYOUT_LINE: {"OpenProcess(0x400)": 2, "OpenProcessToken(TOKEN_QUERY)": 1, "GetTokenInformation(TokenUser)": 1,
                  LOOKUP_WOW64: 1, "OpenProcess(0x1000)": 1, "GetExitCodeProcess": 1,
                  "QueryFullProcessImageNameW": 1},
    LAYOUT_JSON: {"OpenProcessToken(TOKEN_QUERY)": 1, "GetTokenInformation(TokenUser)": 1,
                  "GetTokenInformation(TokenIntegrityLevel)": 1, "GetTokenInformation(TokenStatistics)": 1,
                  "GetTokenInformation(TokenElevationType)": 1,
                  "QueryFullProcessImageNameW": 1, CONSOLE_HOST_QUERY: 1},
}
# The parent check of a listed shell in the JSON layout, made when its parent
# runs: its image path, from a handle whose creation time is the listed one.
PARENT_OPEN = "OpenProcess(0x1000) of the parent"
PARENT_LOOKUPS = {PARENT_OPEN: 1, "GetProcessTimes of the parent": 1, "QueryFullProcessImageNameW of the parent": 1}
# Calls on a process handle that are counted by name, by the handle's role.
ROLE_CALLS = {
    "lookup": {"GetExitCodeProcess", "QueryFullProcessImageNameW"},
    "test": {"GetProcessTimes", "QueryFullProcessImageNameW"},
}

# The summary's columns: (count key, short name).
TEST_COLUMNS = [(TEST_OPEN, "open410"), ("NtQueryInformationProcess", "NtQIP"), ("ReadProcessMemory", "RPM"),
                ("VirtualQueryEx", "VQE"), (WOW64_QUERY, "NtQIP26")]
COLUMNS = {
    LAYOUT_LINE: TEST_COLUMNS + [
        ("OpenProcess(0x400)", "open400"), ("OpenProcessToken(TOKEN_QUERY)", "token"),
        ("GetTokenInformation(TokenUser)", "tokuser"), (ACCOUNT_KEY, "sid"), (LOOKUP_WOW64, "wow64"),
        ("OpenProcess(0x1000)", "open1000"), ("GetExitCodeProcess", "exit"), ("QueryFullProcessImageNameW", "pathW")],
    LAYOUT_JSON: TEST_COLUMNS + [
        (TEST_TIMES, "times"), ("image ReadProcessMemory", "imRPM"), ("image VirtualQueryEx", "imVQE"),
        ("evidence ReadProcessMemory", "evRPM"),
        ("evidence VirtualQueryEx", "evVQE"), ("OpenProcessToken(TOKEN_QUERY)", "token"),
        ("GetTokenInformation(TokenUser)", "tokuser"), ("GetTokenInformation(TokenIntegrityLevel)", "toklevel"),
        (ACCOUNT_KEY, "sid"), ("QueryFullProcessImageNameW", "pathW"), (PARENT_OPEN, "par1000"),
        ("GetProcessTimes of the parent", "partime"), ("QueryFullProcessImageNameW of the parent", "parpath")],
}
LEGEND = {
    LAYOUT_LINE: "open410 = the shell test's open, open400 = the owner and 32-bit lookups' opens, open1000 = the "
                 "image path's open",
    LAYOUT_JSON: "open410 = the shell test's open, times = its creation-time check, im* and ev* = the image's and "
                 "the evidence's calls on its handle after the shell test, par* = the parent check (counted for the "
                 "shell)",
}

# Finding and loading modules: ntdll is looked up once, never loaded or freed
# while the scan runs.
MODULE_FINDS = {"getmodulehandlea", "getmodulehandlew"}
MODULE_LOADS = {"loadlibrarya", "loadlibraryw", "loadlibraryexa", "loadlibraryexw"}
MODULE_FREES = {"freelibrary", "freelibraryandexitthread"}
LOAD_FROM_SYSTEM32 = 0x800  # LOAD_LIBRARY_SEARCH_SYSTEM32
SYSTEM_PATH = re.compile(r"^[a-z]:\\{1,2}windows\\{1,2}system32\\{1,2}[^\\]+$", re.I)  # a trace doubles "\\"
QUERY_FUNCTIONS = {"ntqueryinformationprocess", "ntquerysysteminformation"}

ACCOUNT_LOOKUPS = {"lookupaccountsida", "lookupaccountsidw", "lookupaccountsidlocala", "lookupaccountsidlocalw"}
RUNTIME_MODULES = {"msvcrt", "ucrtbase"}

# "0024:Call KERNEL32.OpenProcess(00000410,00000000,000000f4) ret=14000169a" and
# "0024:Ret  KERNEL32.OpenProcess() retval=00000090 ret=14000169a".
LINE_PATTERN = re.compile(r"^([0-9a-f]+):(Call|Ret)\s+([^.\s]+)\.([^(\s]+)\((.*)\)"
                          r"(?: retval=([0-9a-f]+))? ret=([0-9a-f]+)$")
LOAD_PATTERN = re.compile(r'Loaded L"(.*)" at ([0-9a-f]+):')
RECORD_PATTERN = re.compile(r"Process ID=(-?\d+); Parent Process ID=")
OWNER_PATTERN = re.compile(r"; User Name=(.*?); Process Path=")


# --------------------------------------------------------------------------
# The executable: image size, function extents (.pdata) and imports.

class Image:
    def __init__(self, path):
        with open(path, "rb") as handle:
            self.data = handle.read()
        data = self.data
        header = struct.unpack_from("<I", data, 0x3C)[0]
        if data[header:header + 4] != b"PE\0\0":
            raise ValueError(path + " is not a PE image")
        sections = struct.unpack_from("<H", data, header + 6)[0]
        optional_size = struct.unpack_from("<H", data, header + 20)[0]
        optional = header + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x20B:
            raise ValueError(path + " is not a 64-bit image")
        self.image_base = struct.unpack_from("<Q", data, optional + 24)[0]
        self.size = struct.unpack_from("<I", data, optional + 56)[0]
        directories = optional + 112
        self.sections = []
        table = optional + optional_size
        for index in range(sections):
            entry = table + index * 40
            virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from("<IIII", data, entry + 8)
            self.sections.append((virtual_address, max(virtual_size, raw_size), raw_offset, raw_size))
        self.imports = self._read_imports(*struct.unpack_from("<II", data, directories + 8 * 1))
        self.functions = self._read_functions(*struct.unpack_from("<II", data, directories + 8 * 3))
        self.starts = [begin for begin, _, _ in self.functions]

    def _offset(self, rva):
        for address, size, raw_offset, raw_size in self.sections:
            if address <= rva < address + size and rva - address < raw_size:
                return raw_offset + rva - address
        raise ValueError("RVA %x is outside the file" % rva)

    def _text_at(self, rva):
        offset = self._offset(rva)
        return self.data[offset:self.data.index(b"\0", offset)].decode("latin-1")

    def _read_imports(self, rva, size):
        names = []
        if rva == 0 or size == 0:
            return names
        offset = self._offset(rva)
        while True:
            lookup, _, _, name_rva, thunk = struct.unpack_from("<IIIII", self.data, offset)
            if name_rva == 0:
                break
            module = self._text_at(name_rva)
            entry = self._offset(lookup or thunk)
            while True:
                value = struct.unpack_from("<Q", self.data, entry)[0]
                if value == 0:
                    break
                if not value & (1 << 63):
                    names.append((module, self._text_at((value & 0x7FFFFFFF) + 2)))
                entry += 8
            offset += 20
        return names

    def _root_function(self, begin, end, unwind):
        # Chained unwind information belongs to the function it chains to.
        for _ in range(32):
            offset = self._offset(unwind & ~1)
            flags = self.data[offset] >> 3
            if not flags & 0x4:
                return begin
            codes = self.data[offset + 2]
            chained = offset + 4 + 2 * (codes + (codes & 1))
            begin, end, unwind = struct.unpack_from("<III", self.data, chained)
        return begin

    def _read_functions(self, rva, size):
        functions = []
        if rva == 0:
            return functions
        offset = self._offset(rva)
        for index in range(size // 12):
            begin, end, unwind = struct.unpack_from("<III", self.data, offset + index * 12)
            if begin == 0 and end == 0:
                continue
            functions.append((begin, end, self._root_function(begin, end, unwind)))
        functions.sort()
        return functions

    def function_of(self, rva):
        """Start of the function holding the code at rva, or None."""
        position = bisect.bisect_right(self.starts, rva) - 1
        if position >= 0:
            begin, end, root = self.functions[position]
            if begin <= rva < end:
                return root
        return None


# --------------------------------------------------------------------------
# The relay trace.

def split_arguments(text):
    """Splits a relay argument list at commas outside quoted strings."""
    arguments = []
    current = []
    quoted = False
    escaped = False
    for character in text:
        if quoted:
            current.append(character)
            if escaped:
                escaped = False
            elif character == "\\":
                escaped = True
            elif character == '"':
                quoted = False
        elif character == '"':
            quoted = True
            current.append(character)
        elif character == ",":
            arguments.append("".join(current))
            current = []
        else:
            current.append(character)
    if text:
        arguments.append("".join(current))
    values = []
    for argument in arguments:
        argument = argument.strip()
        token = argument.split(" ", 1)[0]
        try:
            value = int(token, 16)
        except ValueError:
            value = None
        text_part = argument[len(token):].strip()
        if text_part.startswith("L\""):
            text_part = text_part[1:]
        if len(text_part) >= 2 and text_part[0] == '"' and text_part[-1] == '"':
            text_part = text_part[1:-1]
        values.append((value, text_part))
    return values


class Call:
    def __init__(self, line, thread, module, name, arguments, ret):
        self.line = line  # 1-based line in the trace
        self.thread = thread
        self.module = module
        self.name = name
        self.key = name.lower()
        self.arguments = arguments
        self.ret = ret
        self.retval = None
        self.ret_line = None  # line of the matching Ret, when there is one
        self.nested = []  # calls made inside this one by system code

    def argument(self, index, dword=False):
        if index >= len(self.arguments) or self.arguments[index][0] is None:
            return None
        value = self.arguments[index][0]
        # DWORD arguments arrive as whole registers; the upper half is noise.
        return value & DWORD_MASK if dword else value

    def text(self, index):
        return self.arguments[index][1] if index < len(self.arguments) else ""

    def describe(self):
        shown = ",".join("%x" % value if value is not None else "?" for value, _ in self.arguments)
        result = "" if self.retval is None else " -> %x" % self.retval
        return "%s.%s(%s)%s at trace line %d" % (self.module, self.name, shown, result, self.line)


def parse_trace(lines, tool_path_suffix):
    """Answers (image base, tool-level calls in order) from relay lines."""
    base = None
    stacks = collections.defaultdict(list)
    calls = []
    pending_top = {}
    for number, line in enumerate(lines, 1):
        line = line.rstrip("\r\n")
        if base is None and "trace:loaddll:" in line:
            match = LOAD_PATTERN.search(line)
            if match and match.group(1).replace("\\\\", "\\").lower().endswith(tool_path_suffix.lower()):
                base = int(match.group(2), 16)
            continue
        match = LINE_PATTERN.match(line)
        if not match:
            continue
        thread, kind, module, name, arguments, retval, ret = match.groups()
        stack = stacks[thread]
        if kind == "Call":
            call = Call(number, thread, module, name, split_arguments(arguments), int(ret, 16))
            stack.append(call)
            calls.append(call)
        else:
            # Pop to the matching call: a call left without its Ret ended by
            # an exception or never returned.
            while stack and (stack[-1].name != name or stack[-1].module != module):
                stack.pop()
            if stack:
                call = stack.pop()
                call.retval = int(retval, 16) if retval is not None else None
                call.ret_line = number
    if base is None:
        return None, []
    return base, calls


def find_tool_calls(calls, base, size):
    """The calls made from the tool's image, each with the system calls made
    inside it (to the next tool-level call on the same thread)."""
    own = []
    current = {}
    for call in calls:
        if base <= call.ret < base + size:
            own.append(call)
            current[call.thread] = call
        elif call.thread in current:
            current[call.thread].nested.append(call)
    return own


# --------------------------------------------------------------------------
# The checks.

class Handle:
    def __init__(self, kind, value, pid, opener, function):
        self.kind = kind  # "process", "token", "snapshot"
        self.value = value
        self.pid = pid  # the scanned process whose calls these are
        self.of_pid = pid  # the process the handle is of (a shell's parent for its parent check)
        self.opener = opener
        self.function = function
        self.scan_wide = False  # the process list snapshot lives through the whole scan
        self.role = None  # process handles: "test", "lookup" or "parent"
        self.tested = False  # a test handle past its ProcessWow64Information query
        self.own = False  # a token of the tool's own process
        self.last_read = None  # a test handle's last ReadProcessMemory: (address, size)
        self.test_reads = 0  # the shell test's reads so far
        self.parameters_address = None  # the shell test's second read: the process parameters
        self.evidence = False  # past the test and the image: the evidence's read of the parameters began

    def describe(self):
        if self.pid is None:
            owner = ""
        elif self.of_pid != self.pid:
            owner = " of process %d (the parent of %d)" % (self.of_pid, self.pid)
        else:
            owner = " of process %d" % self.pid
        return "%s handle %x%s from %s" % (self.kind, self.value, owner, self.opener.describe())


class Output:
    """What the tool printed: the listed processes and, in the JSON layout,
    each listed shell's parent id and whether its start time was read."""

    def __init__(self, layout, text):
        self.layout = layout
        self.listed = set()
        self.parents = {}  # listed pid -> parent pid
        self.running = {}  # listed pid -> its parent runs
        self.owners = set()  # the listed processes' owners: user names, or SIDs in the JSON layout
        self.console_hosts = {}  # listed pid -> its console host's pid, in the JSON layout
        self.scan = None  # the JSON scan object
        self.problems = []
        if layout == LAYOUT_LINE:
            self.listed = {int(value) & DWORD_MASK for value in RECORD_PATTERN.findall(text)}
            self.owners = set(OWNER_PATTERN.findall(text))
            return
        for number, line in enumerate(text.splitlines(), 1):
            if not line.strip():
                continue
            try:
                record = json.loads(line)
            except ValueError as error:
                self.problems.append("output line %d is not JSON (%s)" % (number, error))
                continue
            kind = record.get("type") if isinstance(record, dict) else None
            if kind == "shell" and isinstance(record.get("pid"), int) and isinstance(record.get("ppid"), int):
                self.listed.add(record["pid"])
                self.parents[record["pid"]] = record["ppid"]
                parent = record.get("parent")
                self.running[record["pid"]] = isinstance(parent, dict) and parent.get("running") is True
                host = record.get("console_host")
                if isinstance(host, dict) and isinstance(host.get("pid"), int):
                    self.console_hosts[record["pid"]] = host["pid"]
                if record.get("sid") is not None:
                    self.owners.add(record["sid"])
            elif kind == "scan" and self.scan is None:
                self.scan = record
            else:
                self.problems.append("output line %d is neither a shell with its ids nor the one scan object" %
                                     number)
        if self.scan is None:
            self.problems.append("the output has no scan object: the run did not finish")


def infer_layout(output_text):
    for line in output_text.splitlines():
        if line.strip():
            return LAYOUT_JSON if line.lstrip().startswith("{") else LAYOUT_LINE
    return LAYOUT_LINE


class Audit:
    def __init__(self, image, base, tool_calls, targets, output):
        self.image = image
        self.base = base
        self.calls = tool_calls
        self.targets = targets  # pid -> mode
        self.output = output
        self.layout = output.layout
        self.listed = output.listed  # pids in the tool's output
        self.violations = []
        self.counts = collections.defaultdict(collections.Counter)  # pid -> key -> count
        self.opened = collections.Counter()
        self.closed = collections.Counter()
        self.resolved = collections.Counter()  # names passed to GetProcAddress
        self.scan_calls = 0
        self.own_tokens = 0  # tokens of the tool's own process (its debug privilege, its own queries)
        self.processes_listed_by_snapshot = 0
        self.parent_checks = collections.Counter()  # parent pid -> parent checks counted for its listed shells

    def fail(self, tag, message):
        self.violations.append("[%s] %s" % (tag, message))

    def function_of_call(self, call):
        return self.image.function_of(call.ret - self.base)

    def check_calls(self):
        self.check_imports()
        live = {}  # handle value -> Handle
        token_pending = None  # (process handle, OpenProcessToken call, process id) awaiting the token's value
        in_scan = False
        scan_seen = False
        episode_pid = None
        reporting = None  # in the JSON layout, the process whose shell test came last
        ntdll_modules = set()  # values ntdll's module handle was seen with
        hosts_read = set()  # the listed shells whose console host's read was seen
        for call in self.calls:
            key = call.key
            if in_scan:
                self.scan_calls += 1

            if key in FORBIDDEN:
                self.fail("forbidden", "the tool calls %s" % call.describe())
            self.check_nested(call, live)

            if key == "getprocaddress":
                name = call.text(1)
                self.resolved[name or "%x" % (call.argument(1) or 0)] += 1
                if name.lower() in FORBIDDEN:
                    self.fail("forbidden", "the tool looks up %s: %s" % (name, call.describe()))
                if name.lower() in QUERY_FUNCTIONS:
                    if call.argument(0) is not None:
                        ntdll_modules.add(call.argument(0))
                    if self.resolved[name] > 1:
                        self.fail("budget", "%s is looked up again (%d times in the run, not once): %s" %
                                  (name, self.resolved[name], call.describe()))
                continue
            if key in MODULE_LOADS:
                # A DLL the tool loads comes from System32 alone, and the
                # text layouts load none.
                flags = call.argument(2, True) if key.startswith("loadlibraryex") else 0
                if not SYSTEM_PATH.match(call.text(0) or "") and not (flags or 0) & LOAD_FROM_SYSTEM32:
                    self.fail("forbidden", "a DLL is loaded by name from the search path: %s" % call.describe())
                if self.layout == LAYOUT_LINE:
                    self.fail("budget", "the line layout loads a DLL: %s" % call.describe())
            if key in MODULE_FINDS or key in MODULE_LOADS:
                names_ntdll = "ntdll" in call.text(0).lower()
                if names_ntdll and call.retval:
                    ntdll_modules.add(call.retval)
                if names_ntdll and key in MODULE_LOADS and in_scan:
                    self.fail("budget", "ntdll is loaded during the scan: %s" % call.describe())
                continue
            if key in MODULE_FREES:
                if in_scan and call.argument(0) in ntdll_modules:
                    self.fail("budget", "ntdll is freed during the scan: %s" % call.describe())
                continue

            # The token handle is named by its first use.
            if token_pending is not None and key in TOKEN_USERS:
                value = call.argument(0)
                if value is not None and value not in live:
                    source, opener, pid = token_pending
                    handle = Handle("token", value, pid, opener, self.function_of_call(opener))
                    handle.own = source == CURRENT_PROCESS
                    live[value] = handle
                    self.opened["token"] += 1
                    if handle.own:
                        self.own_tokens += 1
                    token_pending = None

            if key in TOKEN_CHANGING:
                handle = live.get(call.argument(0))
                if handle is None or handle.kind != "token" or not handle.own:
                    self.fail("forbidden", "a token that is not the tool's own is changed: %s" % call.describe())

            if key in ("openprocess", "ntopenprocess"):
                # OpenProcess(access, inherit, id); NtOpenProcess(&handle, access, attributes, &client id).
                access = call.argument(0 if key == "openprocess" else 1, dword=True)
                pid = call.argument(2, dword=True) if key == "openprocess" else None
                self.check_process_access(call, access)
                function = self.function_of_call(call)
                counted = pid
                # The host's own shell test may follow at once: only the
                # first such open after the shell's test reads the host.
                if access == READ_ACCESS and self.layout == LAYOUT_JSON and reporting is not None and \
                        pid is not None and self.output.console_hosts.get(reporting) == pid and \
                        reporting not in hosts_read and not any(handle.role == "test" for handle in live.values()):
                    role = "host"
                    counted = reporting
                    hosts_read.add(reporting)
                elif access == READ_ACCESS:
                    role = "test"
                elif self.layout == LAYOUT_JSON and reporting is not None and pid is not None and \
                        self.output.parents.get(reporting) == pid:
                    role = "parent"
                    counted = reporting
                else:
                    role = "lookup"
                if pid is not None:
                    if role == "test":
                        reporting = pid
                    self.check_moved_on(live, call, counted, "the next process is opened")
                    episode_pid = counted
                    if in_scan:
                        self.counts[counted][self.open_key(access, role)] += 1
                        if role == "parent":
                            self.parent_checks[pid] += 1
                if key == "openprocess" and call.retval:
                    handle = Handle("process", call.retval, counted, call, function)
                    handle.of_pid = pid
                    handle.role = role
                    self.add_handle(live, handle)
                    if role == "test" and in_scan and pid is not None:
                        self.counts[pid][TEST_GRANTED] += 1
                continue

            if key == "processidtosessionid":
                pid = call.argument(0, dword=True)
                if in_scan and pid is not None:
                    self.check_moved_on(live, call, pid, "the next process's session is asked")
                    episode_pid = pid
                    self.counts[pid][call.name] += 1
                continue

            if key == "openprocesstoken":
                source = call.argument(0)
                access = call.argument(1, dword=True)
                handle = live.get(source)
                pid = handle.pid if handle is not None else None
                if source != CURRENT_PROCESS:
                    if access != TOKEN_QUERY:
                        self.fail("access", "OpenProcessToken asks for access %x, not TOKEN_QUERY only: %s" %
                                  (access, call.describe()))
                    if handle is None or handle.kind != "process":
                        self.fail("handles", "OpenProcessToken on a handle the tool has not open: %s" %
                                  call.describe())
                    elif in_scan:
                        key_name = "OpenProcessToken(TOKEN_QUERY)" if access == TOKEN_QUERY else \
                            "OpenProcessToken(other)"
                        self.counts[pid][key_name] += 1
                if token_pending is not None:
                    self.fail("handles", "the token from %s is neither used nor closed before %s" %
                              (token_pending[1].describe(), call.describe()))
                if call.retval:
                    token_pending = (source, call, pid)
                continue

            if key == "ntquerysysteminformation" and call.argument(0, dword=True) == LIST_CLASS:
                # Asked again at once while its buffer grows; once the first
                # process is opened, the list has been read.
                if self.counts:
                    self.fail("budget", "the process list is read again during the scan: %s" % call.describe())
                in_scan = True
                scan_seen = True
                continue

            if key == "createtoolhelp32snapshot":
                flags = call.argument(0, dword=True)
                pid = call.argument(1, dword=True)
                if flags == SNAP_PROCESS:
                    if in_scan or scan_seen:
                        self.fail("budget", "a second process snapshot: %s" % call.describe())
                    in_scan = True
                    scan_seen = True
                    if call.retval is not None and call.retval not in INVALID_HANDLE:
                        handle = Handle("snapshot", call.retval, None, call, self.function_of_call(call))
                        handle.scan_wide = True
                        self.add_handle(live, handle)
                    continue
                self.check_moved_on(live, call, pid, "a snapshot of the next process is taken")
                episode_pid = pid
                if in_scan:
                    self.counts[pid]["CreateToolhelp32Snapshot(SNAPMODULE)" if flags == SNAP_MODULE else
                                     "CreateToolhelp32Snapshot(%x)" % flags] += 1
                if call.retval is not None and call.retval not in INVALID_HANDLE:
                    self.add_handle(live, Handle("snapshot", call.retval, pid, call, self.function_of_call(call)))
                continue

            if key == "closehandle":
                value = call.argument(0)
                handle = live.pop(value, None)
                if handle is None:
                    self.fail("handles", "CloseHandle on a handle the tool did not open (or closed twice): %s" %
                              call.describe())
                    continue
                self.closed[handle.kind] += 1
                if handle.function is None or self.function_of_call(call) != handle.function:
                    self.fail("handles", "%s is closed by another function: %s" % (handle.describe(),
                                                                                   call.describe()))
                if handle.scan_wide:
                    in_scan = False
                continue

            if key in ("process32first", "process32next", "process32firstw", "process32nextw"):
                handle = live.get(call.argument(0))
                if handle is None or not handle.scan_wide:
                    self.fail("handles", "%s on a handle that is not the process snapshot: %s" %
                              (call.name, call.describe()))
                self.check_moved_on(live, call, None, "the scan moves to the next process")
                episode_pid = None
                if call.retval:
                    self.processes_listed_by_snapshot += 1
                continue

            # Anything else on one of the tool's handles belongs to its process.
            handle = live.get(call.argument(0)) if call.module.lower() not in RUNTIME_MODULES else None
            if handle is not None and handle.pid is not None:
                if in_scan:
                    self.count_on_handle(handle, call)
                continue
            if key in ACCOUNT_LOOKUPS and in_scan:
                if episode_pid is None:
                    self.fail("lookups", "an account lookup outside any process's lookups: %s" % call.describe())
                else:
                    self.counts[episode_pid][ACCOUNT_KEY] += 1

        if token_pending is not None:
            self.fail("handles", "the token from %s is never used or closed" % token_pending[1].describe())
        for handle in live.values():
            self.fail("handles", "%s is never closed" % handle.describe())
        if not scan_seen:
            self.fail("coverage", "the trace shows no process %s: the scan was not recorded" %
                      ("list read" if self.layout == LAYOUT_JSON else "snapshot"))
        self.check_processes()

    @staticmethod
    def open_key(access, role):
        if role == "test":
            return TEST_OPEN
        if role == "host":
            return HOST_OPEN
        if role == "parent":
            return PARENT_OPEN if access == LIMITED_ACCESS else "OpenProcess(other) of the parent"
        return "OpenProcess(0x%x)" % access if access in ALLOWED_ACCESS else "OpenProcess(other)"

    def add_handle(self, live, handle):
        if handle.value in live:
            self.fail("handles", "%s while %s is still open (a close the trace did not show?)" %
                      (handle.opener.describe(), live[handle.value].describe()))
        live[handle.value] = handle
        self.opened[handle.kind] += 1

    def check_moved_on(self, live, call, pid, event):
        for handle in list(live.values()):
            if handle.scan_wide or handle.pid is None:
                continue
            if pid is None or handle.pid != pid:
                self.fail("handles", "%s is still open when %s: %s" % (handle.describe(), event, call.describe()))
                # Reported once; keep the audit going as if it had been closed.
                del live[handle.value]

    def check_process_access(self, call, access):
        if access in ALLOWED_ACCESS:
            return
        if access is None:
            self.fail("access", "OpenProcess without a readable access mask: %s" % call.describe())
            return
        rights = [name for bit, name in PROCESS_RIGHTS if access & bit]
        if access & 0x1FFFFF == 0x1FFFFF:
            rights.insert(0, "PROCESS_ALL_ACCESS")
        self.fail("access", "OpenProcess asks for access %x (%s), not 0x410, 0x400 or 0x1000: %s" %
                  (access, ", ".join(rights) or "other rights", call.describe()))

    def check_nested(self, call, live):
        # System code working for the tool must not change a process through
        # one of the tool's handles either.
        for nested in call.nested:
            if nested.key not in FORBIDDEN:
                continue
            for value, _ in nested.arguments:
                handle = live.get(value)
                if handle is not None and handle.kind == "process":
                    self.fail("forbidden", "%s, inside the tool's %s, changes process %s through the tool's handle"
                              % (nested.describe(), call.describe(), handle.of_pid))
                    break

    def count_on_handle(self, handle, call):
        key = call.key
        counts = self.counts[handle.pid]
        role = handle.role
        name = None
        if handle.kind == "process" and role == "test":
            if key == "ntqueryinformationprocess" and call.argument(1, dword=True) == WOW64_INFORMATION_CLASS:
                name = WOW64_QUERY
                handle.tested = True
            elif handle.tested and "evidence " + call.name in EVIDENCE_LIMITS:
                if key == "readprocessmemory" and call.argument(1) == handle.parameters_address:
                    handle.evidence = True
                name = ("evidence " if handle.evidence else "image ") + call.name
            elif handle.tested and key == "ntqueryinformationprocess":
                name = "NtQueryInformationProcess(class %s) after the shell test" % call.argument(1, dword=True)
            elif call.name in READ_LIMITS:
                name = call.name
                if key == "readprocessmemory":
                    # ReadProcessMemory(process, address, buffer, size, copied)
                    address, size = call.argument(1), call.argument(3)
                    last = handle.last_read
                    if last is not None and last[1] == FIRST_BLOCK_READ and address == last[0] + last[1]:
                        name = BLOCK_REST
                    elif handle.test_reads >= 2 and address == handle.parameters_address:
                        name = POINTER_AGAIN
                    handle.last_read = (address, size)
                    handle.test_reads += 1
                    if handle.test_reads == 2:
                        handle.parameters_address = address
            elif call.name in ROLE_CALLS["test"]:
                name = call.name
        elif handle.kind == "process" and role == "lookup":
            if call.name in ROLE_CALLS["lookup"]:
                name = call.name
            elif key == "ntqueryinformationprocess" and call.argument(1, dword=True) == WOW64_INFORMATION_CLASS:
                name = LOOKUP_WOW64
        elif handle.kind == "process" and role == "host":
            if call.name in ("GetProcessTimes", "NtQueryInformationProcess", "ReadProcessMemory", "VirtualQueryEx"):
                name = call.name + " of the console host"
        elif handle.kind == "process" and role == "parent":
            if call.name in ("GetProcessTimes", "QueryFullProcessImageNameW"):
                name = call.name + " of the parent"
        elif handle.kind == "token" and key == "gettokeninformation":
            klass = call.argument(1, dword=True)
            name = "GetTokenInformation(%s)" % TOKEN_CLASSES.get(klass, "class %s" % klass)
        elif handle.kind == "snapshot" and key == "module32first":
            name = "Module32First"
        if name is None:
            name = "%s on the %s%s handle" % (call.name, role + " " if role else "", handle.kind)
        counts[name] += 1

    def check_imports(self):
        for module, name in self.image.imports:
            if name.lower() in FORBIDDEN:
                self.fail("forbidden", "the image imports %s!%s" % (module, name))

    def parent_checks_expected(self):
        """The listed shells whose parent check opens their parent: those
        whose parent runs."""
        return {pid for pid, running in self.output.running.items() if running}

    def check_processes(self):
        for problem in self.output.problems:
            self.fail("coverage", problem)
        scanned = {pid for pid, counts in self.counts.items() if counts[TEST_OPEN]}
        json_layout = self.layout == LAYOUT_JSON
        parent_checked = self.parent_checks_expected() if json_layout else set()
        for pid, mode in sorted(self.targets.items()):
            if self.counts[pid][TEST_OPEN] == 0:
                self.fail("coverage", "target %d (%s) was never opened for reading: the trace missed it" %
                          (pid, mode))
            expected_listed = mode in LISTED_MODES
            if expected_listed != (pid in self.listed):
                self.fail("coverage", "target %d (%s) is %s in the tool's output" %
                          (pid, mode, "missing" if expected_listed else "listed"))
        for pid in sorted(self.counts):
            counts = self.counts[pid]
            label = self.label_of(pid)
            listed = pid in self.listed
            state = "listed" if listed else "not listed"
            if counts[TEST_OPEN] != 1:
                self.fail("budget", "%s is opened for the shell test %d times, not once" % (label, counts[TEST_OPEN]))
            for name, limit in list(READ_LIMITS.items()) + [(BLOCK_REST, 2), (POINTER_AGAIN, 1)]:
                if counts[name] > limit:
                    self.fail("budget", "%s gets %d %s calls, more than %d" % (label, counts[name], name, limit))
            times = counts[TEST_GRANTED] if json_layout else 0
            if counts[TEST_TIMES] != times:
                self.fail("budget", "%s gets %d GetProcessTimes on %d reading handles, not %d" %
                          (label, counts[TEST_TIMES], counts[TEST_GRANTED], times))
            if counts[WOW64_QUERY] != counts[TEST_GRANTED]:
                self.fail("budget", "%s gets %d ProcessWow64Information queries on %d reading handles, not one each" %
                          (label, counts[WOW64_QUERY], counts[TEST_GRANTED]))
            for name, limit in list(EVIDENCE_LIMITS.items()) + list(IMAGE_LIMITS.items()) + list(HOST_LIMITS.items()):
                limit = limit if json_layout and (listed or name in IMAGE_LIMITS) else 0
                if counts[name] > limit:
                    self.fail("budget", "%s (%s) gets %d %s calls after its shell test, more than %d" %
                              (label, state, counts[name], name, limit))
            if listed:
                # A prompt is found only by following the whole path to the block.
                for name, limit in READ_LIMITS.items():
                    if counts[name] != limit:
                        self.fail("coverage", "%s is listed but shows %d %s calls, not %d: the trace is incomplete"
                                  % (label, counts[name], name, limit))
                expected = dict(LOOKUPS[self.layout])
                if pid in parent_checked:
                    expected.update(PARENT_LOOKUPS)
                if json_layout and pid in self.output.console_hosts:
                    expected.update(HOST_LOOKUPS)
            else:
                expected = {}
            if counts[ACCOUNT_KEY] > (1 if listed else 0):
                self.fail("lookups", "%s (%s) gets %d account lookups, more than %d" %
                          (label, state, counts[ACCOUNT_KEY], 1 if listed else 0))
            expected[ACCOUNT_KEY] = counts[ACCOUNT_KEY]
            for name in (set(counts) - set(BUDGET_KEYS)) | set(expected):
                if counts[name] != expected.get(name, 0):
                    self.fail("lookups", "%s (%s) gets %d x %s, expected %d" %
                              (label, state, counts[name], name, expected.get(name, 0)))
        lookups = sum(counts[ACCOUNT_KEY] for counts in self.counts.values())
        if lookups != len(self.output.owners):
            self.fail("lookups", "%d account lookups in the run for %d distinct owners of listed processes: each "
                      "owner is looked up once" % (lookups, len(self.output.owners)))
        for pid in sorted(self.listed - scanned):
            self.fail("coverage", "process %d is in the output but was never scanned in the trace" % pid)
        if json_layout and self.output.scan is not None and self.output.scan.get("processes") != len(scanned):
            self.fail("coverage", "the scan object counts %s processes, the trace shows %d scanned" %
                      (self.output.scan.get("processes"), len(scanned)))

    def label_of(self, pid):
        if self.targets.get(pid) == "launcher":
            return "the launcher, process %d" % pid
        if pid in self.targets:
            return "target %d (%s)" % (pid, self.targets[pid])
        return "process %d" % pid

    def summarize(self):
        lines = []
        kinds = collections.OrderedDict()
        for pid in sorted(self.counts):
            mode = self.targets.get(pid)
            if mode == "launcher":
                kind = "launcher (holds the targets)"
            elif mode is not None:
                kind = "target " + mode
            elif pid in self.listed:
                kind = "other, listed"
            else:
                kind = "other, not listed"
            kinds.setdefault(kind, []).append(pid)
        columns = COLUMNS[self.layout]
        widths = [max(len(short), 3) for _, short in columns]
        lines.append("Tool-level calls per scanned process, %s run (min-max over the processes of a kind):" %
                     LAYOUT_OPTIONS[self.layout])
        lines.append("  %-30s %3s  %s" % ("kind", "n", " ".join("%*s" % (width, short) for width, (_, short)
                                                                   in zip(widths, columns))))
        for kind, pids in kinds.items():
            cells = []
            for width, (column, _) in zip(widths, columns):
                values = [self.counts[pid][column] for pid in pids]
                low, high = min(values), max(values)
                cells.append("%*s" % (width, str(low) if low == high else "%d-%d" % (low, high)))
            lines.append("  %-30s %3d  %s" % (kind, len(pids), " ".join(cells)))
        lines.append("  (" + LEGEND[self.layout] + ")")
        shown = {column for column, _ in columns} | {TEST_GRANTED}
        extra = collections.Counter()
        for pid in self.counts:
            for name, count in self.counts[pid].items():
                if name not in shown:
                    extra[name] += count
        if extra:
            lines.append("  other calls on the processes' handles: " +
                         ", ".join("%s x%d" % item for item in sorted(extra.items())))
        if self.parent_checks:
            lines.append("Parent checks counted for the listed shells, by parent: " + ", ".join(
                "%s x%d" % (self.label_of(pid), count) for pid, count in sorted(self.parent_checks.items())))
        lines.append("Handles opened / closed by the tool: " + ", ".join(
            "%s %d/%d" % (kind, self.opened[kind], self.closed[kind]) for kind in ("process", "token", "snapshot")) +
            " (tokens include %d of the tool's own process)" % self.own_tokens)
        walked = "in the snapshot: %d" % self.processes_listed_by_snapshot if self.layout == LAYOUT_LINE else \
            "in the list: as scanned"
        lines.append("Processes %s; scanned: %d; listed: %d; tool-level calls in the scan: %d; in the whole run: %d"
                     % (walked, len(self.counts), len(self.listed), self.scan_calls, len(self.calls)))
        lines.append("Names resolved with GetProcAddress: %s" % (", ".join(
            "%s x%d" % item for item in sorted(self.resolved.items())) or "none"))
        lines.append("Imports checked: %d" % len(self.image.imports))
        return lines


def read_targets(path):
    targets = {}
    with open(path) as handle:
        for line in handle:
            parts = line.split()
            if len(parts) == 2 and parts[1].isdigit():
                targets[int(parts[1])] = parts[0]
    return targets


def check_trace(trace_lines, output_text, targets, image, tool_name="Murkscope64.exe", layout=None):
    """Answers (violations, summary lines); the layout is told by the output
    when not given."""
    output = Output(layout or infer_layout(output_text), output_text)
    base, calls = parse_trace(trace_lines, "\\" + tool_name)
    if base is None:
        return ["[coverage] the trace has no load line for %s (WINEDEBUG needs +loaddll)" % tool_name], []
    tool_calls = find_tool_calls(calls, base, image.size)
    if not tool_calls:
        return ["[coverage] no call in the trace comes from the tool's image (WINEDEBUG needs +relay)"], []
    audit = Audit(image, base, tool_calls, targets, output)
    audit.check_calls()
    return audit.violations, audit.summarize()


def print_report(violations, summary):
    for line in summary:
        print(line)
    if violations:
        print("\nFAILED: %d violation(s):" % len(violations))
        for violation in violations:
            print("  " + violation)
        return 1
    print("\nAll checks passed.")
    return 0


# --------------------------------------------------------------------------
# Recording a trace.

def read_line(stream, deadline):
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        ready, _, _ = select.select([stream], [], [], left)
        if not ready:
            return None
        byte = os.read(stream.fileno(), 1)
        if not byte:
            return line.decode("latin-1") if line else None
        line += byte
    return line.decode("latin-1")


def describe_stall(trace_path, held, seconds):
    """The message for a traced run that did not end: the innermost call the
    trace shows still open in each thread (with the process its handle was
    opened on) and the targets held ("mode pid" lines)."""
    with open(trace_path, encoding="latin-1") as handle:
        lines = handle.read().splitlines()
    stacks = collections.defaultdict(list)
    opened = {}  # process handle -> process id, from the OpenProcess calls that returned
    for line in lines:
        match = LINE_PATTERN.match(line)
        if not match:
            continue
        thread, kind, module, name, arguments, retval, _ = match.groups()
        stack = stacks[thread]
        if kind == "Call":
            stack.append((module, name, split_arguments(arguments)))
            continue
        while stack and stack[-1][:2] != (module, name):
            stack.pop()
        if stack:
            _, _, call_arguments = stack.pop()
            if name == "OpenProcess" and retval is not None and len(call_arguments) == 3:
                opened[int(retval, 16)] = (call_arguments[2][0] or 0) & DWORD_MASK
    names = {}
    for line in held:
        parts = line.split()
        if len(parts) == 2 and parts[1].isdigit():
            names[int(parts[1])] = "%s (pid %s)" % (parts[0], parts[1])
    waits = []
    for stack in stacks.values():
        if not stack:
            continue
        module, name, call_arguments = stack[-1]
        first = call_arguments[0][0] if call_arguments else None
        process = opened.get(first)
        waits.append("%s.%s%s" % (module, name, "" if process is None else
                                   " on " + names.get(process, "process %d" % process)))
    return "The tool stalled %d s in %s while %s were held" % (
        seconds, "; ".join(waits) or "no call the trace shows still open", ", ".join(names.values()))


def recorded_paths(folder, layout):
    """The trace and the output of one layout's run in a recorded folder."""
    option = LAYOUT_OPTIONS[layout][1:]
    return os.path.join(folder, "trace-%s.txt" % option), os.path.join(folder, "output-%s.txt" % option)


def record_traces(arguments):
    """Holds the targets and traces one run of the tool per layout while
    they run; answers the target list's path, or None."""
    os.makedirs(arguments.out, exist_ok=True)
    targets_path = os.path.join(arguments.out, "targets.txt")
    environment = dict(os.environ)
    environment.pop("MURKSCOPE_WINEDEBUG", None)
    with open(os.path.join(arguments.out, "launcher-errors.txt"), "wb") as errors:
        launcher = subprocess.Popen([arguments.wine_run, arguments.prefix, arguments.launcher] + TARGET_MODES,
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errors, env=environment)
    targets = []
    try:
        # A new prefix is set up by the first start: allow for it.
        deadline = time.monotonic() + READY_LIMIT_SECONDS
        while True:
            line = read_line(launcher.stdout, deadline)
            if line is None:
                print("The launcher ended or did not report its targets ready in time (see %s)" %
                      os.path.join(arguments.out, "launcher-errors.txt"))
                return None
            line = line.strip()
            if line == "ready":
                break
            if line.startswith("failed"):
                print("The launcher could not start a target: " + line)
                return None
            targets.append(line)
        with open(targets_path, "w") as handle:
            handle.write("\n".join(targets) + "\n")
        environment["MURKSCOPE_WINEDEBUG"] = "+relay,+loaddll"
        for layout in (LAYOUT_LINE, LAYOUT_JSON):
            trace_path, output_path = recorded_paths(arguments.out, layout)
            try:
                with open(trace_path, "wb") as trace, open(output_path, "wb") as output:
                    tool = subprocess.run([arguments.wine_run, arguments.prefix, arguments.tool,
                                           LAYOUT_OPTIONS[layout]], stdin=subprocess.DEVNULL, stdout=output,
                                          stderr=trace, env=environment, timeout=TRACED_RUN_LIMIT_SECONDS)
            except subprocess.TimeoutExpired:
                print(describe_stall(trace_path, targets, TRACED_RUN_LIMIT_SECONDS))
                return None
            if tool.returncode != 0:
                print("The tool's %s run exited with status %d" % (LAYOUT_OPTIONS[layout], tool.returncode))
                return None
    finally:
        # Closing its input ends the launcher, which ends its targets.
        launcher.stdin.close()
        try:
            launcher.wait(timeout=120)
        except subprocess.TimeoutExpired:
            launcher.kill()
            launcher.wait()
    print("Targets held during both scans: " + "; ".join(targets))
    return targets_path


def load_recorded(trace_path, output_path, targets_path):
    with open(trace_path, encoding="latin-1") as handle:
        trace_lines = handle.read().splitlines()
    # The JSON layout writes UTF-8; the line layout's names are read only
    # for their ASCII ids.
    with open(output_path, encoding="utf-8", errors="replace") as handle:
        output_text = handle.read()
    return trace_lines, output_text, read_targets(targets_path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run", help="hold the targets, trace a -l and a -j scan and check both")
    run.add_argument("--wine-run", required=True)
    run.add_argument("--prefix", required=True)
    run.add_argument("--launcher", required=True)
    run.add_argument("--tool", required=True)
    run.add_argument("--out", required=True, help="folder for the traces, the outputs and the target list")
    check = commands.add_parser("check", help="check a recorded trace")
    check.add_argument("--tool", required=True)
    check.add_argument("--trace", required=True)
    check.add_argument("--output", required=True)
    check.add_argument("--targets", required=True)
    check.add_argument("--layout", choices=sorted(LAYOUT_OPTIONS),
                       help="the run's layout (default: told by the output)")
    arguments = parser.parse_args()

    image = Image(arguments.tool)
    tool_name = os.path.basename(arguments.tool)
    if arguments.command == "check":
        trace_lines, output_text, targets = load_recorded(arguments.trace, arguments.output, arguments.targets)
        violations, summary = check_trace(trace_lines, output_text, targets, image, tool_name, arguments.layout)
        return print_report(violations, summary)

    targets_path = record_traces(arguments)
    if targets_path is None:
        return 1
    status = 0
    for layout in (LAYOUT_LINE, LAYOUT_JSON):
        print("\n== The %s run ==" % LAYOUT_OPTIONS[layout])
        trace_lines, output_text, targets = load_recorded(*recorded_paths(arguments.out, layout), targets_path)
        violations, summary = check_trace(trace_lines, output_text, targets, image, tool_name, layout)
        status |= print_report(violations, summary)
    return status


if __name__ == "__main__":
    sys.exit(main())
