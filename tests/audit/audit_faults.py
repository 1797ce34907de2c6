#!/usr/bin/python3
"""Shows that every check of the call audit can fail: takes the two traces
that audit_calls.py recorded and passed (-l and -j), plants one fault at a
time in a copy (a wider access mask, a forbidden call, an extra read, a
missing or extra lookup, an evidence read or parent check for a process that
is not listed, NtQueryInformationProcess looked up again or ntdll loaded or
freed during the scan, a DLL loaded by its bare name or by the line layout,
a console host read once too often or asked for a process that is not
listed, a leaked or misplaced close, a lost target or output
record) and requires the checker to report it under the right tag. Control
edits that must not count as faults (a system DLL's own call, noise in a
register's upper half, the recorded traces unchanged) must still pass.
"""

import argparse
import collections
import json
import os
import sys

# The checker is imported from the source folder, which must stay clean.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import audit_calls  # noqa: E402

SYSTEM_RETURN = "7b000010"  # a return address inside a system DLL, far from the image


class Trace:
    """The recorded trace with its tool-level calls located."""

    def __init__(self, layout, lines, output_text, targets, image, tool_name):
        self.layout = layout
        self.lines = lines
        self.output_text = output_text
        self.targets = targets
        self.image = image
        self.tool_name = tool_name
        base, calls = audit_calls.parse_trace(lines, "\\" + tool_name)
        self.base = base
        self.calls = audit_calls.find_tool_calls(calls, base, image.size)

    def pid_of(self, mode, index=0):
        return sorted(pid for pid, name in self.targets.items() if name == mode)[index]

    def find(self, name, predicate=lambda call: True, index=0):
        found = [call for call in self.calls if call.name == name and predicate(call)]
        if len(found) <= index:
            raise LookupError("no %s #%d in the recorded trace" % (name, index))
        return found[index]

    def reading_open(self, pid, index=0):
        """The process's shell-test open."""
        return self.find("OpenProcess", lambda call: call.argument(0, True) == 0x410 and call.argument(2, True) == pid,
                         index)

    def after(self, call, name, predicate=lambda other: True):
        """The first call of that name after the given one."""
        position = self.calls.index(call)
        for other in self.calls[position + 1:]:
            if other.name == name and predicate(other):
                return other
        raise LookupError("no %s after trace line %d" % (name, call.line))

    def on_handle(self, opener, name):
        """The call of that name made on the handle the opener returned."""
        return self.after(opener, name, lambda other: other.argument(0) == opener.retval)

    def thread(self):
        return self.calls[0].thread

    def function_of_call(self, call):
        return self.image.function_of(call.ret - self.base)


# Edits on a list of lines; each answers a new list.

def block_of(call):
    """0-based slice bounds of a call's lines, Call to Ret inclusive."""
    return call.line - 1, call.ret_line


def lines_of(lines, call):
    start, end = block_of(call)
    return lines[start:end]


def duplicate_call(lines, call):
    start, end = block_of(call)
    return lines[:end] + lines[start:end] + lines[end:]


def remove_call(lines, call):
    start, end = block_of(call)
    return lines[:start] + lines[end:]


def remove_calls(lines, calls):
    # From the last: each removal leaves the earlier lines where they were.
    for call in sorted(calls, key=lambda call: call.line, reverse=True):
        lines = remove_call(lines, call)
    return lines


def replace_in_line(lines, number, old, new):
    changed = list(lines)
    if old not in changed[number - 1]:
        raise LookupError("%r not on trace line %d" % (old, number))
    changed[number - 1] = changed[number - 1].replace(old, new, 1)
    return changed


def with_access(lines, call, access):
    """The lines with the OpenProcess call asking for another access mask."""
    return replace_in_line(lines, call.line, "OpenProcess(%08x," % call.argument(0, True),
                           "OpenProcess(%08x," % access)


def with_token_access(lines, call, access):
    """The lines with the OpenProcessToken call asking for another access mask."""
    return replace_in_line(lines, call.line, ",%08x," % call.argument(1, True), ",%08x," % access)


def replace_in_text(text, old, new):
    if old not in text:
        raise LookupError("%r not in the output" % old)
    return text.replace(old, new, 1)


def make_call_lines(thread, module, name, arguments, retval, ret):
    return ["%s:Call %s.%s(%s) ret=%s" % (thread, module, name, ",".join(arguments), ret),
            "%s:Ret  %s.%s() retval=%s ret=%s" % (thread, module, name, retval, ret)]


def insert_after(lines, call, new_lines):
    end = call.ret_line
    return lines[:end] + new_lines + lines[end:]


def insert_inside(lines, call, new_lines):
    # Just before the call's Ret: made by system code on the call's behalf.
    end = call.ret_line - 1
    return lines[:end] + new_lines + lines[end:]


def move_after(lines, call, target):
    start, end = block_of(call)
    block = lines[start:end]
    rest = lines[:start] + lines[end:]
    position = target.ret_line - (end - start)
    return rest[:position] + block + rest[position:]


def format_handle(value):
    return "%08x" % value


def line_faults(trace):
    """(description, expected tag or None for a control, edit) triples for
    the -l trace; an edit answers the changed trace's lines."""
    lines = trace.lines
    thread = trace.thread()
    listed = trace.pid_of("prompt-first")
    quiet = trace.pid_of("no-prompt")
    listed_open = trace.reading_open(listed)
    quiet_open = trace.reading_open(quiet)
    listed_read = trace.on_handle(listed_open, "ReadProcessMemory")
    quiet_read = trace.on_handle(quiet_open, "ReadProcessMemory")
    listed_query = trace.on_handle(listed_open, "NtQueryInformationProcess")
    quiet_wow64_query = trace.after(quiet_open, "NtQueryInformationProcess",
                                    lambda call: call.argument(0) == quiet_open.retval and call.argument(1, True) == 26)
    listed_region = trace.on_handle(listed_open, "VirtualQueryEx")
    lookup_open = trace.after(listed_open, "OpenProcess", lambda call: call.argument(0, True) == 0x400)
    token_open = trace.after(lookup_open, "OpenProcessToken")
    token_info = trace.after(token_open, "GetTokenInformation")
    token_value = token_info.argument(0)
    token_close = trace.after(token_info, "CloseHandle", lambda call: call.argument(0) == token_value)
    account = trace.after(token_open, "LookupAccountSidW")
    wow = trace.after(lookup_open, "NtQueryInformationProcess",
                      lambda call: call.argument(0) == lookup_open.retval and call.argument(1, True) == 26)
    image_open = trace.after(listed_open, "OpenProcess", lambda call: call.argument(0, True) == 0x1000)
    image_exit_code = trace.on_handle(image_open, "GetExitCodeProcess")
    image_path = trace.on_handle(image_open, "QueryFullProcessImageNameW")
    image_close = trace.on_handle(image_open, "CloseHandle")
    ntdll_lookup = trace.find("GetModuleHandleA", lambda call: "ntdll" in call.text(0).lower())
    quiet_close = trace.on_handle(quiet_open, "CloseHandle")
    listed_close = trace.on_handle(listed_open, "CloseHandle")
    list_snapshot = trace.find("CreateToolhelp32Snapshot", lambda call: call.argument(0, True) == 2)
    list_close = trace.on_handle(list_snapshot, "CloseHandle")
    next_process = trace.after(quiet_close, "Process32Next")
    handle = format_handle(quiet_open.retval)
    read_ret = "%x" % quiet_read.ret
    # A call site of another function than the one holding the reading open.
    other_site = next(call for call in trace.calls
                      if trace.function_of_call(call) not in (None, trace.function_of_call(listed_open)))

    faults = [
        ("OpenProcess asks for PROCESS_ALL_ACCESS", "access",
         lambda: with_access(lines, listed_open, 0x1fffff)),
        ("OpenProcess adds PROCESS_VM_WRITE and PROCESS_VM_OPERATION", "access",
         lambda: with_access(lines, quiet_open, 0x438)),
        ("OpenProcess adds PROCESS_TERMINATE", "access",
         lambda: with_access(lines, lookup_open, 0x401)),
        ("the image path's limited open adds PROCESS_VM_WRITE", "access",
         lambda: with_access(lines, image_open, 0x1020)),
        ("OpenProcess adds PROCESS_DUP_HANDLE", "access",
         lambda: with_access(lines, quiet_open, 0x450)),
        ("OpenProcess adds PROCESS_CREATE_THREAD", "access",
         lambda: with_access(lines, quiet_open, 0x412)),
        ("OpenProcessToken asks for TOKEN_ADJUST_PRIVILEGES too", "access",
         lambda: with_token_access(lines, token_open, 0x28)),
        ("the reading handle gets one ReadProcessMemory too many", "budget",
         lambda: duplicate_call(lines, listed_read)),
        ("a second NtQueryInformationProcess", "budget", lambda: duplicate_call(lines, listed_query)),
        ("the ProcessWow64Information query is left out", "budget", lambda: remove_call(lines, quiet_wow64_query)),
        ("a second ProcessWow64Information query", "budget", lambda: duplicate_call(lines, quiet_wow64_query)),
        ("a third VirtualQueryEx", "budget",
         lambda: duplicate_call(lines, trace.on_handle(listed_open, "VirtualQueryEx"))),
        ("a process is opened for reading twice", "budget",
         lambda: insert_after(lines, quiet_close, lines_of(lines, quiet_open) + lines_of(lines, quiet_close))),
        ("a listed process's account is looked up twice", "lookups", lambda: duplicate_call(lines, account)),
        ("the 32-bit test is left out", "lookups", lambda: remove_call(lines, wow)),
        ("the token is asked for another class than TokenUser", "lookups",
         lambda: replace_in_line(lines, token_info.line, "(%s,00000001," % format_handle(token_value),
                                 "(%s,00000002," % format_handle(token_value))),
        ("a listed process's image path is asked twice", "lookups", lambda: duplicate_call(lines, image_path)),
        ("the image path is asked without the exit-code test", "lookups",
         lambda: remove_call(lines, image_exit_code)),
        ("a second limited open of a listed process", "lookups", lambda: insert_after(
            lines, image_close, lines_of(lines, image_open) + lines_of(lines, image_close))),
        ("a process that is not listed gets IsWow64Process asked", "lookups", lambda: insert_after(
            lines, quiet_read, make_call_lines(thread, "KERNEL32", "IsWow64Process", [handle, "0021f7e0"], "00000001",
                                         read_ret))),
        ("a process that is not listed is opened for a lookup", "lookups", lambda: insert_after(
            lines, quiet_close,
            make_call_lines(thread, "KERNEL32", "OpenProcess", ["00000400", "00000000", "%08x" % quiet], handle,
                      "%x" % lookup_open.ret) +
            make_call_lines(thread, "KERNEL32", "CloseHandle", [handle], "00000001", "%x" % quiet_close.ret))),
        ("the token handle is never closed", "handles", lambda: remove_call(lines, token_close)),
        ("a reading handle is never closed", "handles", lambda: remove_call(lines, quiet_close)),
        ("the image path's handle is never closed", "handles", lambda: remove_call(lines, image_close)),
        ("the process list snapshot is never closed", "handles", lambda: remove_call(lines, list_close)),
        ("a handle is closed twice", "handles", lambda: duplicate_call(lines, listed_close)),
        ("a reading handle is closed only after the scan moved on", "handles",
         lambda: move_after(lines, quiet_close, next_process)),
        ("a handle is closed by another function than its opener", "handles",
         lambda: replace_in_line(replace_in_line(lines, listed_close.line, "ret=%x" % listed_close.ret,
                                             "ret=%x" % other_site.ret),
                               listed_close.ret_line, "ret=%x" % listed_close.ret, "ret=%x" % other_site.ret)),
        ("the privileges of a scanned process's token are changed", "forbidden", lambda: insert_after(
            lines, token_info, make_call_lines(thread, "advapi32", "AdjustTokenPrivileges",
                                         [format_handle(token_value), "00000000", "0021e5f0", "00000010", "00000000",
                                          "00000000"], "00000001", "%x" % token_info.ret))),
        ("system code writes through the tool's handle inside ReadProcessMemory", "forbidden",
         lambda: insert_inside(lines, quiet_read, make_call_lines(thread, "ntdll", "NtWriteVirtualMemory",
                                                          [handle, "00340000", "0020e8e0", "00000010", "00000000"],
                                                          "00000000", SYSTEM_RETURN))),
        ("ntdll is loaded during the scan", "budget", lambda: insert_after(
            lines, quiet_close, make_call_lines(thread, "KERNEL32", "LoadLibraryA",
                                                ['%x "ntdll.dll"' % ntdll_lookup.argument(0)],
                                                "%x" % ntdll_lookup.retval, "%x" % ntdll_lookup.ret))),
        ("the line layout loads user32", "budget", lambda: insert_after(
            lines, quiet_close, make_call_lines(thread, "KERNEL32", "LoadLibraryExA",
                                                ['%x "user32.dll"' % ntdll_lookup.argument(0), "00000000", "00000800"],
                                                "7b400000", "%x" % ntdll_lookup.ret))),
        ("ntdll is freed during the scan", "budget", lambda: insert_after(
            lines, quiet_close, make_call_lines(thread, "KERNEL32", "FreeLibrary", ["%x" % ntdll_lookup.retval],
                                                "00000001", "%x" % ntdll_lookup.ret))),
        ("the image's load line is missing", "coverage",
         lambda: [line for line in lines if "trace:loaddll:" not in line or trace.tool_name not in line]),
        ("a target never shows up in the trace", "coverage",
         lambda: replace_in_line(lines, quiet_open.line, ",%08x)" % quiet, ",%08x)" % (quiet + 0x1000))),
        ("a listed target's read path is cut short in the trace", "coverage",
         lambda: remove_call(lines, listed_region)),
        # Controls: not faults of the tool.
        ("control: a system DLL's own TerminateProcess on another handle", None, lambda: insert_inside(
            lines, quiet_read, make_call_lines(thread, "KERNEL32", "TerminateProcess", ["00000999", "00000000"],
                                         "00000001", SYSTEM_RETURN))),
        ("control: noise in the upper half of the access register", None,
         lambda: with_access(lines, quiet_open, 0x100000410)),
        ("control: the recorded trace unchanged", None, lambda: list(lines)),
    ]
    # Each call that would change another process, made by the tool itself
    # on the handle of a process that is not listed.
    for name, arguments in [
            ("WriteProcessMemory", [handle, "00340000", "0020e8e0", "00000010", "00000000"]),
            ("VirtualProtectEx", [handle, "00340000", "00001000", "00000040", "0020e8e0"]),
            ("VirtualAllocEx", [handle, "00000000", "00001000", "00003000", "00000040"]),
            ("CreateRemoteThread", [handle, "00000000", "00000000", "00340000", "00000000", "00000000", "00000000"]),
            ("DuplicateHandle", [handle, "00000004", "ffffffffffffffff", "0020e8e0", "00000000", "00000000",
                                 "00000002"]),
            ("TerminateProcess", [handle, "00000000"]),
            ("SuspendThread", ["00000050"]),
            ("DebugActiveProcess", ["%08x" % quiet]),
            ("NtSuspendProcess", [handle]),
            ("SetPriorityClass", [handle, "00000040"])]:
        module = "ntdll" if name.startswith("Nt") else "KERNEL32"
        faults.append(("the tool calls " + name, "forbidden",
                       lambda name=name, module=module, arguments=arguments: insert_after(
                           lines, quiet_read, make_call_lines(thread, module, name, arguments, "00000001", read_ret))))
    return faults


def json_faults(trace):
    """The same for the -j trace; an edit answers the changed trace's lines
    or (lines, output text)."""
    lines = trace.lines
    output_text = trace.output_text
    thread = trace.thread()
    listed = trace.pid_of("prompt-first")
    quiet = trace.pid_of("no-prompt")
    quiet_open = trace.reading_open(quiet)
    quiet_close = trace.on_handle(quiet_open, "CloseHandle")
    listed_open = trace.reading_open(listed)
    listed_times = trace.on_handle(listed_open, "GetProcessTimes")
    listed_basic = trace.on_handle(listed_open, "NtQueryInformationProcess")
    listed_region = trace.on_handle(listed_open, "VirtualQueryEx")
    listed_wow64 = trace.after(listed_open, "NtQueryInformationProcess",
                               lambda call: call.argument(0) == listed_open.retval and call.argument(1, True) == 26)
    quiet_wow64 = trace.after(quiet_open, "NtQueryInformationProcess",
                              lambda call: call.argument(0) == quiet_open.retval and call.argument(1, True) == 26)
    # The evidence begins where the shell test read the parameters record:
    # its second read.
    def second_read(opener):
        on_it = lambda call: call.argument(0) == opener.retval
        return trace.after(trace.after(opener, "ReadProcessMemory", on_it), "ReadProcessMemory", on_it)

    listed_parameters = second_read(listed_open)
    quiet_parameters = second_read(quiet_open)
    evidence_read = trace.after(listed_wow64, "ReadProcessMemory",
                                lambda call: call.argument(0) == listed_open.retval and
                                call.argument(1) == listed_parameters.argument(1))
    quiet_image_read = trace.after(quiet_wow64, "ReadProcessMemory", lambda call: call.argument(0) == quiet_open.retval)
    listed_close = trace.on_handle(listed_open, "CloseHandle")
    token_open = trace.on_handle(listed_open, "OpenProcessToken")
    token_value = trace.after(token_open, "GetTokenInformation").argument(0)
    integrity = trace.after(token_open, "GetTokenInformation",
                            lambda call: call.argument(0) == token_value and call.argument(1, True) == 25)
    parent_open = trace.after(listed_close, "OpenProcess", lambda call: call.argument(0, True) == 0x1000)
    parent_times = trace.on_handle(parent_open, "GetProcessTimes")
    parent_path = trace.on_handle(parent_open, "QueryFullProcessImageNameW")
    parent_close = trace.on_handle(parent_open, "CloseHandle")
    next_open = trace.after(parent_close, "OpenProcess", lambda call: call.argument(0, True) == 0x410)
    query_lookup = trace.find("GetProcAddress", lambda call: call.text(1) == "NtQueryInformationProcess")
    module_load = trace.find("LoadLibraryExA")
    host_query = trace.after(listed_wow64, "NtQueryInformationProcess",
                             lambda call: call.argument(0) == listed_open.retval and call.argument(1, True) == 49)
    host_open = trace.after(host_query, "OpenProcess", lambda call: call.argument(0, True) == 0x410)
    host_read = trace.on_handle(host_open, "ReadProcessMemory")
    list_read = trace.find("NtQuerySystemInformation", lambda call: call.argument(0, True) == 5)
    quiet_handle = format_handle(quiet_open.retval)
    quiet_id = "%08x" % quiet

    def calls_for(opener, closer, pid, between=()):
        # An open of the given process made where the opener was made, the
        # calls between, and the close made where the closer was made.
        opened = lines_of(lines, opener)
        opened[0] = opened[0].replace(",%08x)" % opener.argument(2, True), ",%s)" % pid)
        middle = [line for call in between for line in lines_of(lines, call)]
        return opened + middle + lines_of(lines, closer)

    scan_object = next((json.loads(line) for line in output_text.splitlines() if line.startswith('{"type":"scan"')),
                       {})
    shell_lines = [line for line in output_text.splitlines(True) if line.startswith('{"type":"shell"')]
    return [
        ("a listed shell's reading open adds PROCESS_VM_WRITE", "access",
         lambda: with_access(lines, listed_open, 0x430)),
        ("the parent's open adds PROCESS_TERMINATE", "access",
         lambda: with_access(lines, parent_open, 0x1001)),
        ("the parent is opened with PROCESS_QUERY_INFORMATION | PROCESS_VM_READ", "lookups",
         lambda: with_access(lines, parent_open, 0x410)),
        ("the evidence token asks for TOKEN_ADJUST_PRIVILEGES too", "access",
         lambda: with_token_access(lines, token_open, 0x28)),
        ("a process that is not listed gets its session asked", "lookups", lambda: insert_after(
            lines, quiet_close, make_call_lines(thread, "KERNEL32", "ProcessIdToSessionId", [quiet_id, "0020ea2c"],
                                                "00000001", "%x" % listed_times.ret))),
        ("a reading handle's creation time is not checked", "budget", lambda: remove_call(lines, listed_times)),
        ("a process that is not listed gets an evidence read", "budget", lambda: insert_after(
            lines, quiet_image_read, lines_of(lines, quiet_parameters))),
        ("a process's image is read four times", "budget", lambda: insert_after(
            lines, quiet_image_read, lines_of(lines, quiet_image_read) * 2)),
        ("a listed shell is opened for reading a second time", "budget", lambda: insert_after(
            lines, listed_close, lines_of(lines, listed_open) + lines_of(lines, listed_close))),
        ("a process that is not listed gets a parent check", "lookups", lambda: insert_after(
            lines, quiet_close, calls_for(parent_open, parent_close, quiet_id, [parent_times, parent_path]))),
        ("a listed shell's parent check is left out", "lookups",
         lambda: remove_calls(lines, [parent_open, parent_times, parent_path, parent_close])),
        ("the integrity level is not asked", "lookups", lambda: remove_call(lines, integrity)),
        ("a listed shell's parent path is asked twice", "lookups", lambda: duplicate_call(lines, parent_path)),
        ("two ReadProcessMemory too many after the shell test", "budget",
         lambda: insert_after(lines, evidence_read, lines_of(lines, evidence_read) * 2)),
        ("a listed shell's console host is read four times", "budget",
         lambda: insert_after(lines, host_read, lines_of(lines, host_read))),
        ("a process that is not listed gets its console host asked", "lookups", lambda: insert_after(
            lines, quiet_wow64, make_call_lines(thread, "ntdll", "NtQueryInformationProcess",
                                                [quiet_handle, "00000031", "0020e8e0", "00000008", "0020e8dc"],
                                                "c0000003", "%x" % host_query.ret))),
        ("three VirtualQueryEx after the shell test", "budget",
         lambda: insert_after(lines, listed_wow64, lines_of(lines, listed_region) * 3)),
        ("a second basic-information query, after the shell test", "lookups",
         lambda: insert_after(lines, listed_wow64, lines_of(lines, listed_basic))),
        ("a DLL is loaded by its bare name", "forbidden",
         lambda: replace_in_line(lines, module_load.line, ",00000800)", ",00000000)")),
        ("NtQueryInformationProcess is looked up a second time", "budget", lambda: insert_after(
            lines, quiet_close, lines_of(lines, query_lookup))),
        ("the process list is read again during the scan", "budget", lambda: insert_after(
            lines, quiet_close, lines_of(lines, list_read))),
        ("a listed shell's reading handle is never closed", "handles", lambda: remove_call(lines, listed_close)),
        ("the parent's handle is never closed", "handles", lambda: remove_call(lines, parent_close)),
        ("a listed shell's reading handle is closed only after the next process is opened", "handles",
         lambda: move_after(lines, listed_close, next_open)),
        ("a listed target's shell object is missing from the output", "coverage",
         lambda: (lines, "".join(line for line in output_text.splitlines(True) if line != shell_lines[0]))),
        ("the output ends without its scan object", "coverage",
         lambda: (lines, "".join(line for line in output_text.splitlines(True)
                                 if not line.startswith('{"type":"scan"')))),
        ("the scan object counts one process more than the trace shows", "coverage",
         lambda: (lines, replace_in_text(output_text, ',"processes":%s,' % scan_object.get("processes"),
                                         ',"processes":%d,' % (scan_object.get("processes", 0) + 1)))),
        ("a target never shows up in the trace", "coverage",
         lambda: replace_in_line(lines, quiet_open.line, ",%s)" % quiet_id, ",%08x)" % (quiet + 0x1000))),
        ("control: noise in the upper half of a listed shell's reading open's access register", None,
         lambda: with_access(lines, listed_open, 0x100000410)),
        ("control: noise in the upper half of the parent's process id register", None,
         lambda: replace_in_line(lines, parent_open.line, ",%08x)" % parent_open.argument(2, True),
                                 ",1%08x)" % parent_open.argument(2, True))),
        ("control: the recorded trace unchanged", None, lambda: list(lines)),
    ]


def judge(trace, faults):
    """Plants each fault and answers how many were not judged as expected."""
    failures = 0
    for description, tag, edit in faults:
        try:
            changed = edit()
        except LookupError as error:
            print("CANNOT PLANT  %s: %s" % (description, error))
            failures += 1
            continue
        changed_lines, output_text = changed if isinstance(changed, tuple) else (changed, trace.output_text)
        violations, _ = audit_calls.check_trace(changed_lines, output_text, trace.targets, trace.image,
                                                trace.tool_name, trace.layout)
        tags = sorted({violation[1:violation.index("]")] for violation in violations})
        if tag is None:
            good = not violations
            verdict = "passes" if good else "reported: " + violations[0]
        else:
            good = tag in tags
            first = next((violation for violation in violations if violation.startswith("[%s]" % tag)), None)
            verdict = ("caught: " + first) if good else "NOT caught as [%s] (tags: %s)" % (tag, ", ".join(tags))
        print("%-6s %-72s %s" % ("ok" if good else "WRONG", description, verdict[:160]))
        if not good:
            failures += 1
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--recorded", required=True, help="folder audit_calls.py run wrote")
    arguments = parser.parse_args()
    image = audit_calls.Image(arguments.tool)
    failures = 0
    planted = collections.Counter()
    for layout, make_faults in ((audit_calls.LAYOUT_LINE, line_faults), (audit_calls.LAYOUT_JSON, json_faults)):
        lines, output_text, targets = audit_calls.load_recorded(
            *audit_calls.recorded_paths(arguments.recorded, layout), os.path.join(arguments.recorded, "targets.txt"))
        trace = Trace(layout, lines, output_text, targets, image, os.path.basename(arguments.tool))
        option = audit_calls.LAYOUT_OPTIONS[layout]
        if trace.base is None:
            print("The recorded %s trace has no load line for the tool: record it again with audit_calls.py run" %
                  option)
            return 1
        faults = make_faults(trace)
        print("== Faults planted in the %s trace ==" % option)
        failures += judge(trace, faults)
        planted.update("control" if tag is None else "fault" for _, tag, _ in faults)
        print()
    if failures:
        print("FAILED: %d of %d planted faults and controls not judged as expected" %
              (failures, sum(planted.values())))
        return 1
    print("All %d planted faults were caught under their tags; all %d controls passed." %
          (planted["fault"], planted["control"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
