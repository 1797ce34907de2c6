#!/usr/bin/python3
"""Shows that every check of the call audit can fail: takes the trace that
audit_calls.py recorded and passed, plants one fault at a time in a copy (a
wider access mask, a forbidden call, an extra read, a missing or extra lookup,
a leaked or misplaced close, a lost target) and requires the checker to report
it under the right tag. Control edits that must not count as faults (a system
DLL's own call, noise in a register's upper half) must still pass.
"""

import argparse
import os
import sys

# The checker is imported from the source folder, which must stay clean.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import audit_calls  # noqa: E402

SYSTEM_RETURN = "7b000010"  # a return address inside a system DLL, far from the image


class Trace:
    """The recorded trace with its tool-level calls located."""

    def __init__(self, lines, output_text, targets, image, tool_name):
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

    def reading_open(self, pid):
        return self.find("OpenProcess", lambda call: call.argument(0, True) == 0x410 and call.argument(2, True) == pid)

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


def replace_in_line(lines, number, old, new):
    changed = list(lines)
    if old not in changed[number - 1]:
        raise LookupError("%r not on trace line %d" % (old, number))
    changed[number - 1] = changed[number - 1].replace(old, new, 1)
    return changed


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


def list_faults(trace):
    """(description, expected tag or None for a control, edit) triples."""
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
    account = trace.after(token_open, "LookupAccountSidA")
    wow = trace.after(lookup_open, "IsWow64Process")
    module_snapshot = trace.after(listed_open, "CreateToolhelp32Snapshot", lambda call: call.argument(0, True) == 8)
    module_close = trace.on_handle(module_snapshot, "CloseHandle")
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
         lambda: replace_in_line(lines, listed_open.line, "OpenProcess(00000410,", "OpenProcess(001fffff,")),
        ("OpenProcess adds PROCESS_VM_WRITE and PROCESS_VM_OPERATION", "access",
         lambda: replace_in_line(lines, quiet_open.line, "OpenProcess(00000410,", "OpenProcess(00000438,")),
        ("OpenProcess adds PROCESS_TERMINATE", "access",
         lambda: replace_in_line(lines, lookup_open.line, "OpenProcess(00000400,", "OpenProcess(00000401,")),
        ("OpenProcess adds PROCESS_DUP_HANDLE", "access",
         lambda: replace_in_line(lines, quiet_open.line, "OpenProcess(00000410,", "OpenProcess(00000450,")),
        ("OpenProcess adds PROCESS_CREATE_THREAD", "access",
         lambda: replace_in_line(lines, quiet_open.line, "OpenProcess(00000410,", "OpenProcess(00000412,")),
        ("OpenProcessToken asks for TOKEN_ADJUST_PRIVILEGES too", "access",
         lambda: replace_in_line(lines, token_open.line, ",00000008,", ",00000028,")),
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
        ("a second module snapshot of a listed process", "lookups", lambda: insert_after(
            lines, module_close, lines_of(lines, module_snapshot) + lines_of(lines, module_close))),
        ("a process that is not listed gets the 32-bit test", "lookups", lambda: insert_after(
            lines, quiet_read, make_call_lines(thread, "KERNEL32", "IsWow64Process", [handle, "0021f7e0"], "00000001",
                                         read_ret))),
        ("a process that is not listed is opened for a lookup", "lookups", lambda: insert_after(
            lines, quiet_close,
            make_call_lines(thread, "KERNEL32", "OpenProcess", ["00000400", "00000000", "%08x" % quiet], handle,
                      "%x" % lookup_open.ret) +
            make_call_lines(thread, "KERNEL32", "CloseHandle", [handle], "00000001", "%x" % quiet_close.ret))),
        ("the token handle is never closed", "handles", lambda: remove_call(lines, token_close)),
        ("a reading handle is never closed", "handles", lambda: remove_call(lines, quiet_close)),
        ("a module snapshot is never closed", "handles", lambda: remove_call(lines, module_close)),
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
         lambda: replace_in_line(lines, quiet_open.line, "OpenProcess(00000410,", "OpenProcess(100000410,")),
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--recorded", required=True, help="folder audit_calls.py run wrote")
    arguments = parser.parse_args()
    image = audit_calls.Image(arguments.tool)
    lines, output_text, targets = audit_calls.load_recorded(
        os.path.join(arguments.recorded, "trace.txt"), os.path.join(arguments.recorded, "output.txt"),
        os.path.join(arguments.recorded, "targets.txt"))
    trace = Trace(lines, output_text, targets, image, os.path.basename(arguments.tool))
    if trace.base is None:
        print("The recorded trace has no load line for the tool: record it again with audit_calls.py run")
        return 1

    failures = 0
    for description, tag, edit in list_faults(trace):
        try:
            changed = edit()
        except LookupError as error:
            print("CANNOT PLANT  %s: %s" % (description, error))
            failures += 1
            continue
        violations, _ = audit_calls.check_trace(changed, output_text, targets, image, trace.tool_name)
        tags = sorted({violation[1:violation.index("]")] for violation in violations})
        if tag is None:
            good = not violations
            verdict = "passes" if good else "reported: " + violations[0]
        else:
            good = tag in tags
            first = next((violation for violation in violations if violation.startswith("[%s]" % tag)), None)
            verdict = ("caught: " + first) if good else "NOT caught as [%s] (tags: %s)" % (tag, ", ".join(tags))
        print("%-6s %-66s %s" % ("ok" if good else "WRONG", description, verdict[:160]))
        if not good:
            failures += 1
    if failures:
        print("\nFAILED: %d planted fault(s) or control(s) not judged as expected" % failures)
        return 1
    print("\nEvery planted fault was caught under its tag; every control passed.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
