#!/usr/bin/env python3
"""Console tests of Murkscope64.exe: Wine's real console in a terminal.

    console_test.py BIN_DIR WINE_RUN PREFIX GROUP

Every Windows program runs in a tmux pane of its own (200x50 cells,
TERM=xterm-256color, a tmux server of this run's own), started by a shell
that then prints STATUS=<exit status>.  The pane is read back with its
colour codes (tmux capture-pane -e) and the colour of every character is
worked out from them.  Wine writes a colour code lazily, just before the
next character, so what the tool leaves behind is read by a program of our
own in the same console (console_probe.exe) and from a relay trace of the
tool's console calls (SetConsoleTextAttribute, SetConsoleMode,
SetConsoleCtrlHandler).

Groups (one CTest test each):
  colours     each text in its colour, every path
  restore     attributes and input mode put back after every path; -j
              never touches them
  key_wait    the key wait: ordinary, function and cursor keys end it,
              modifiers alone do not
  control_c   Ctrl+C ends the wait, status 0, the wait's control handler
              removed again; Ctrl+C during a scan puts the attributes back;
              Ctrl+C ends a watch with its scan object and status 0
  redirect    no colour codes in output sent to a file or a pipe; without
              PROMPT, the two lines there and no key wait
  no_console  no console at all: the key wait returns at once

Only the Python standard library is used.  Nothing here asserts a duration:
deadlines only stop a run that hangs.
"""

import os
import re
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SCREEN_COLUMNS = 200
SCREEN_ROWS = 50
POLL_SECONDS = 0.1
# Deadline for expected screen content; the machine is shared and slow.
SCREEN_DEADLINE_SECONDS = 90
# How long the tool must still be waiting before a key is sent.
STILL_WAITING_SECONDS = 2
NO_CONSOLE_LIMIT_SECONDS = 120
READY_LIMIT_SECONDS = 120
# A program run without a terminal; the first one sets up a new prefix, 30 s
# on the loaded machine. Under CTest's 600 s with the rest of a group.
QUIET_LIMIT_SECONDS = 240

WHITE = 97
RED = 91
GREEN = 92

TOOL = "Murkscope64.exe"
PROBE = "console_probe.exe"
WAIT_CHECK = "console_wait_check.exe"
TARGET = "murk_target.exe"

STARS = "*" * 64
UNDERSCORES = "_" * 64
HYPHENS = "-" * 64
TITLE = "Murkscope v1.5 by Quorvane"
WEB_ADDRESS = "https://quorvane.example/murkscope"
SEARCHING = ":: Searching for the Command Prompts (cmd.exe)"
NO_MATCH = "No Command-prompt oriented Processes found on your system"
CLOSING_NOTE = "Note: Type Murkscope64.exe -h for more options"
NOT_FROM_PROMPT = "This is a console application. Kindly Run it from the CMD Prompt!"
PRESS_ANY_KEY = "Press any key to exit...."
HELP_LINES = (
    "Usage:",
    "Murkscope64 [-h | -l | -x | -j | -w [seconds]]",
    "Examples:",
    "//Display all the Hidden Command Prompts/Shells",
    "Murkscope64",
    "//Display all the Command Prompts line by line",
    "Murkscope64 -l",
    "//Display all the Command Prompts in XML format",
    "Murkscope64 -x",
    "//Display every shell with its evidence as JSON Lines",
    "Murkscope64 -j",
    "//Watch for new shells as JSON Lines, until Ctrl+C or for the seconds given",
    "Murkscope64 -w [seconds]",
    "//Show this help screen",
    "Murkscope64 -h",
)
WHITE_TEXTS = (STARS, TITLE, WEB_ADDRESS, CLOSING_NOTE)
RED_TEXTS = (UNDERSCORES, SEARCHING, NOT_FROM_PROMPT, PRESS_ANY_KEY)

# Lines of our own programs and shell inside a pane, left out of the
# colour classification of the tool's text.
OWN_LINE = re.compile(r"^(STATUS[=-]|MARK |BEFORE |AFTER |WAITING|NO-WAIT|INJECTED |AFTER-MODIFIERS |"
                      r"LEFTOVER |END$|STATE |SET |WAIT CHECK READY|WAIT ENDED|STILL RUNNING)")

RELAY_FUNCTIONS = ("SetConsoleCtrlHandler", "SetConsoleMode", "SetConsoleTextAttribute")
RELAY_CALL = re.compile(r"^([0-9a-f]+):Call KERNEL32\.(" + "|".join(RELAY_FUNCTIONS) +
                        r")\(([0-9a-f]+),([0-9a-f]+)\)")
DEFAULT_HANDLER_KILL = re.compile(r"default_ctrl_handler Terminating process ([0-9a-f]+) on event (\d+)")
SGR = re.compile(r"\x1b\[([0-9;]*)m")
STATE_LINE = re.compile(r"attributes=0x([0-9a-f]+) input-mode=0x([0-9a-f]+)")


class Failure(Exception):
    pass


class Results:
    """Collects the outcome of every check; a group fails if any check does."""

    def __init__(self):
        self.failures = []
        self.checks = 0

    def check(self, condition, message):
        self.checks += 1
        print(("ok    " if condition else "FAIL  ") + message, flush=True)
        if not condition:
            self.failures.append(message)
        return condition

    def note(self, message):
        print("      " + message, flush=True)


RESULTS = Results()


# ------------------------------------------------------------------ terminal

class Terminal:
    """A tmux server of this run's own; one session (one pane) per run."""

    def __init__(self, work_dir):
        self.socket = "murkscope-console-%d" % os.getpid()
        self.config = os.path.join(work_dir, "tmux.conf")
        with open(self.config, "w") as config:
            # The server stays up between sessions: one that exits with its
            # last session can take a new session down with it.
            config.write("set -s exit-empty off\n"
                         "set -g default-terminal xterm-256color\n"
                         "set -g default-shell /bin/sh\n"
                         "set -g history-limit 20000\n")
        self.environment = {key: value for key, value in os.environ.items()
                            if key not in ("TMUX", "TMUX_PANE", "MURKSCOPE_WINEDEBUG")}
        self.environment["TERM"] = "xterm-256color"
        self.sessions = 0

    def run_tmux(self, *arguments):
        result = subprocess.run(["tmux", "-L", self.socket, "-f", self.config] + list(arguments),
                                env=self.environment, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=QUIET_LIMIT_SECONDS)
        if result.returncode != 0:
            raise Failure("tmux %s: %s" % (" ".join(arguments[:1]), result.stderr.decode(errors="replace")))
        return result.stdout.decode("utf-8", errors="replace")

    def start(self, command):
        """Runs a shell command in a new pane; the pane then shows STATUS=<n>."""
        self.sessions += 1
        name = "run%d" % self.sessions
        # Ctrl+C in the pane is a SIGINT to its foreground process group,
        # which Wine turns into a console control event: the shell catches
        # it (its children keep the default action) so that it lives on to
        # report the status. A terminal that echoes ^C leaves it at the start
        # of a line: the status goes on a line of its own.
        shell = 'trap : INT; %s; status=$?; echo; echo "STATUS=$status"; while :; do sleep 3600; done' % command
        self.run_tmux("new-session", "-d", "-s", name, "-x", str(SCREEN_COLUMNS), "-y", str(SCREEN_ROWS), shell)
        return name

    def capture(self, name):
        return self.run_tmux("capture-pane", "-p", "-e", "-J", "-S", "-", "-E", "-", "-t", name)

    def wait_for(self, name, pattern, what):
        """Polls the screen until pattern matches its plain text."""
        expression = re.compile(pattern, re.M)
        deadline = time.monotonic() + SCREEN_DEADLINE_SECONDS
        while True:
            screen = self.capture(name)
            if expression.search(strip_codes(screen)):
                return screen
            if time.monotonic() > deadline:
                print("---- screen of %s ----\n%s\n----" % (name, strip_codes(screen)))
                raise Failure("no %s on the screen" % what)
            time.sleep(POLL_SECONDS)

    def wait_for_file(self, path, text, what):
        deadline = time.monotonic() + SCREEN_DEADLINE_SECONDS
        while True:
            if os.path.exists(path):
                with open(path, "rb") as stream:
                    if text.encode() in stream.read():
                        return
            if time.monotonic() > deadline:
                raise Failure("no %s in %s" % (what, path))
            time.sleep(POLL_SECONDS)

    def send_keys(self, name, *keys):
        self.run_tmux("send-keys", "-t", name, *keys)

    def close(self, name):
        self.run_tmux("kill-session", "-t", name)

    def stop(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], env=self.environment,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def strip_codes(text):
    return SGR.sub("", text)


def parse_screen(screen):
    """The screen as lines of (character, foreground, background) cells.

    Foreground and background are SGR numbers (None for the terminal's
    default); the colour state carries over from line to line as tmux
    writes it.
    """
    lines = []
    foreground = None
    background = None
    for raw in screen.split("\n"):
        cells = []
        position = 0
        for match in SGR.finditer(raw):
            for character in raw[position:match.start()]:
                cells.append((character, foreground, background))
            position = match.end()
            parameters = [int(part) if part else 0 for part in match.group(1).split(";")]
            index = 0
            while index < len(parameters):
                value = parameters[index]
                if value == 0:
                    foreground = background = None
                elif 30 <= value <= 37 or 90 <= value <= 97:
                    foreground = value
                elif value == 39:
                    foreground = None
                elif 40 <= value <= 47 or 100 <= value <= 107:
                    background = value
                elif value == 49:
                    background = None
                elif value in (38, 48):
                    # Extended colours: 5;n or 2;r;g;b.
                    size = 3 if index + 1 < len(parameters) and parameters[index + 1] == 5 else 5
                    colour = tuple(parameters[index:index + size])
                    if value == 38:
                        foreground = colour
                    else:
                        background = colour
                    index += size - 1
                index += 1
        for character in raw[position:]:
            cells.append((character, foreground, background))
        lines.append(cells)
    return lines


def line_text(cells):
    return " ".join("".join(cell[0] for cell in cells).split())


def line_colours(cells):
    """The set of (foreground, background) pairs of the visible characters."""
    return {(cell[1], cell[2]) for cell in cells if not cell[0].isspace()}


def line_foregrounds(cells):
    return {cell[1] for cell in cells if not cell[0].isspace()}


def expected_foreground(text):
    if text in WHITE_TEXTS:
        return WHITE
    if text in RED_TEXTS:
        return RED
    return GREEN


def find_line(lines, text, start=0):
    for index in range(start, len(lines)):
        if line_text(lines[index]) == text:
            return index
    return -1


def find_line_starting(lines, prefix, start=0):
    for index in range(start, len(lines)):
        if line_text(lines[index]).startswith(prefix):
            return index
    return -1


# ----------------------------------------------------------------- programs

class Programs:
    """Paths and command lines of the programs under test."""

    def __init__(self, bin_dir, wine_run, prefix, work_dir):
        self.bin_dir = os.path.abspath(bin_dir)
        self.wine_run = os.path.abspath(wine_run)
        self.prefix = os.path.abspath(prefix)
        self.work_dir = work_dir

    def unix(self, program):
        return os.path.join(self.bin_dir, program)

    def windows(self, program):
        """The program's path as Wine's cmd.exe sees it (Z: is the root)."""
        path = "Z:" + self.unix(program).replace("/", "\\")
        return '"%s"' % path if " " in path else path

    def wine(self, program, *arguments, debug=None):
        """A shell command running program under Wine in the test prefix."""
        words = [self.wine_run, self.prefix, self.unix(program)] + list(arguments)
        command = " ".join(shlex.quote(word) for word in words)
        if debug:
            command = "MURKSCOPE_WINEDEBUG=%s %s" % (shlex.quote(debug), command)
        return command

    def wine_cmd(self, chain):
        """A shell command running cmd.exe /c chain (delayed expansion on)."""
        words = [self.wine_run, self.prefix, "cmd", "/v:on", "/c", chain]
        return " ".join(shlex.quote(word) for word in words)

    def file(self, name):
        return os.path.join(self.work_dir, name)

    def run_quietly(self, *arguments, timeout=QUIET_LIMIT_SECONDS):
        """Runs a program under Wine with no terminal at all."""
        return subprocess.run([self.wine_run, self.prefix] + list(arguments), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                              start_new_session=True)

    def prepare_prefix(self):
        """Creates the prefix on first use and limits relay traces to the
        console calls the checks read (a full relay trace of the scan is
        huge and slow)."""
        result = self.run_quietly("reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude",
                                  "/t", "REG_SZ", "/d",
                                  ";".join("kernel32." + name for name in RELAY_FUNCTIONS), "/f")
        if result.returncode != 0:
            raise Failure("cannot prepare the Wine prefix %s" % self.prefix)


class MatchingProcess:
    """murk_target.exe prompt-first: a process whose environment block
    begins with PROMPT=$P$G, so that the scan prints a header and a record
    (or the target in another mode)."""

    def __init__(self, programs, mode="prompt-first"):
        self.process = subprocess.Popen([programs.wine_run, programs.prefix, programs.unix(TARGET), mode],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, start_new_session=True)
        readable, _, _ = select.select([self.process.stdout], [], [], READY_LIMIT_SECONDS)
        ready = self.process.stdout.read(1) if readable else b""
        if ready != b"R":
            self.stop()
            raise Failure("the matching process did not report ready")

    def stop(self):
        if self.process.stdin:
            self.process.stdin.close()
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


# ------------------------------------------------------------------- checks

def exit_status(screen):
    match = re.search(r"^STATUS=(\d+)", strip_codes(screen), re.M)
    return int(match.group(1)) if match else None


def check_tool_colours(lines, label):
    """Every visible line of the tool in one colour, the one its text has."""
    counts = {WHITE: 0, RED: 0, GREEN: 0}
    for cells in lines:
        text = line_text(cells)
        if not text or OWN_LINE.match(text):
            continue
        expected = expected_foreground(text)
        found = line_foregrounds(cells)
        if not RESULTS.check(found == {expected}, "%s: '%s' in colour %s (found %s)" %
                             (label, text[:70], expected, sorted(map(str, found)))):
            continue
        counts[expected] += 1
    RESULTS.note("%s: %d lines bright white, %d bright red, %d bright green" %
                 (label, counts[WHITE], counts[RED], counts[GREEN]))
    return counts


def check_texts_in_order(lines, texts, label):
    """The texts appear as whole lines, in this order."""
    at = 0
    for text in texts:
        found = find_line(lines, text, at)
        if not RESULTS.check(found >= 0, "%s: line '%s' present" % (label, text)):
            return False
        at = found + 1
    return True


def check_absent(lines, text, label):
    RESULTS.check(find_line(lines, text) < 0, "%s: no line '%s'" % (label, text))


BANNER = (STARS, TITLE, WEB_ADDRESS, STARS)
HEADER = (UNDERSCORES, SEARCHING, UNDERSCORES)


def check_block_records(lines, label, names):
    for name in names:
        at = find_line(lines, "Process Name: " + name)
        if RESULTS.check(at >= 0, "%s: block record of %s" % (label, name)):
            RESULTS.check(find_line_starting(lines, "Process ID: ", max(0, at - 4)) == at - 4 and
                          find_line_starting(lines, "Parent Process ID: ", max(0, at - 4)) == at - 2 and
                          find_line_starting(lines, "User Name: ", at) == at + 2 and
                          find_line_starting(lines, "Process Path: ", at) == at + 4,
                          "%s: record of %s has id, parent, name, user and path lines" % (label, name))


def split_segments(lines):
    """Lines between "MARK <name>" lines, by name."""
    segments = {}
    current = None
    for cells in lines:
        text = line_text(cells)
        if text.startswith("MARK "):
            current = text[5:]
            segments[current] = []
        elif current is not None:
            segments[current].append(cells)
    return segments


def read_state(text):
    match = STATE_LINE.search(text)
    if not match:
        return None
    return int(match.group(1), 16), int(match.group(2), 16)


def read_relay(path):
    """The whole trace and the console calls of the traced program's own
    thread: (function, first argument, second argument) in order. That
    thread is the one that sets text attributes or the input mode; the
    console host process does neither. Handlers the C runtimes register
    while their DLLs load come before the program's first such call and are
    left out."""
    with open(path, errors="replace") as stream:
        text = stream.read()
    calls = []
    for line in text.splitlines():
        match = RELAY_CALL.match(line)
        if match:
            calls.append((match.group(1), match.group(2), int(match.group(3), 16), int(match.group(4), 16)))
    threads = {call[0] for call in calls if call[1] != "SetConsoleCtrlHandler"}
    if len(threads) != 1:
        return text, None
    thread = threads.pop()
    own = [call[1:] for call in calls if call[0] == thread]
    first = next(index for index, call in enumerate(own) if call[0] != "SetConsoleCtrlHandler")
    return text, own[first:]


def check_wait_calls(calls, label, fresh_mode):
    """Around the key wait: input switched to raw mode and back to the mode
    it had, one control handler added in between and removed again before
    the mode is put back."""
    modes = [call for call in calls if call[0] == "SetConsoleMode"]
    handlers = [call for call in calls if call[0] == "SetConsoleCtrlHandler"]
    RESULTS.note("%s: relay %s" % (label, ", ".join("%s(%x,%x)" % call for call in calls
                                                   if call[0] != "SetConsoleTextAttribute")))
    RESULTS.check(len(modes) == 2 and modes[0][2] == 0 and modes[1][2] == fresh_mode and modes[0][1] == modes[1][1],
                  "%s: SetConsoleMode to 0 for the wait, then back to 0x%x (modes %s)" %
                  (label, fresh_mode, ["0x%x" % call[2] for call in modes]))
    RESULTS.check(len(handlers) == 2 and handlers[0][2] == 1 and handlers[1][2] == 0 and
                  handlers[0][1] == handlers[1][1],
                  "%s: one control handler added and the same one removed again (%s)" %
                  (label, ["%x:%s" % (call[1], "add" if call[2] else "remove") for call in handlers]))
    order = [call[0] for call in calls if call[0] != "SetConsoleTextAttribute"]
    RESULTS.check(order == ["SetConsoleMode", "SetConsoleCtrlHandler", "SetConsoleCtrlHandler", "SetConsoleMode"],
                  "%s: handler added after raw mode is set, removed before the mode is put back" % label)


def check_relay(path, label, fresh):
    """The tool's console calls: the wait's calls, the attributes put back
    last, and no end by the default control handler."""
    text, calls = read_relay(path)
    if not RESULTS.check(calls is not None, "%s: relay trace holds the tool's console calls" % label):
        return
    check_wait_calls(calls, label, fresh[1])
    attributes = [call for call in calls if call[0] == "SetConsoleTextAttribute"]
    RESULTS.check(bool(attributes) and attributes[-1][2] == fresh[0] and calls[-1][0] == "SetConsoleTextAttribute",
                  "%s: last call sets the attributes back to 0x%x (last 0x%x)" %
                  (label, fresh[0], attributes[-1][2] if attributes else -1))
    killed = DEFAULT_HANDLER_KILL.search(text)
    RESULTS.check(killed is None, "%s: not ended by the default control handler%s" %
                  (label, "" if killed is None else " (%s)" % killed.group(0)))


def measure_fresh_console(terminal, programs, redirection=""):
    """Attributes and input mode of a console Wine has just made."""
    name = terminal.start(programs.wine(PROBE, "state") + redirection)
    screen = terminal.wait_for(name, r"^STATUS=\d+$", "status of the probe")
    terminal.close(name)
    state = read_state(strip_codes(screen))
    if state is None:
        raise Failure("the probe reported no console state")
    RESULTS.note("fresh console: attributes=0x%04x input-mode=0x%04x" % state)
    return state


def wait_still_waiting(terminal, name, label):
    """After the prompt text, the tool must still be running a while later."""
    time.sleep(STILL_WAITING_SECONDS)
    screen = terminal.capture(name)
    RESULTS.check(exit_status(screen) is None and "AFTER exit=" not in strip_codes(screen),
                  "%s: still waiting %d s after the prompt" % (label, STILL_WAITING_SECONDS))


def run_direct_wait(terminal, programs, fresh, keys, label, redirection=""):
    """The tool started directly by wine, no PROMPT; keys end the wait."""
    relay = programs.file("relay-%s.txt" % re.sub(r"\W+", "-", label))
    name = terminal.start(programs.wine(TOOL, debug="+relay") + " 2>" + shlex.quote(relay) + redirection)
    terminal.wait_for(name, "^ " + re.escape(PRESS_ANY_KEY), "key prompt (%s)" % label)
    wait_still_waiting(terminal, name, label)
    started = time.monotonic()
    terminal.send_keys(name, *keys)
    screen = terminal.wait_for(name, r"^STATUS=\d+$", "exit status (%s)" % label)
    RESULTS.note("%s: ended %.1f s after the key" % (label, time.monotonic() - started))
    terminal.close(name)
    RESULTS.check(exit_status(screen) == 0, "%s: exit status 0 (STATUS=%s)" % (label, exit_status(screen)))
    lines = parse_screen(screen)
    check_texts_in_order(lines, (NOT_FROM_PROMPT, PRESS_ANY_KEY), label)
    check_relay(relay, label, fresh)
    return lines


def run_probe_wait(terminal, programs, label, attributes, input_mode, keys, extra=()):
    """The tool as the probe's child, no PROMPT, with a console state of our
    choosing; answers the plain screen and its lines."""
    arguments = ["run", "--attributes", "0x%x" % attributes, "--input-mode", "0x%x" % input_mode,
                 "--report-wait"] + list(extra)
    name = terminal.start(programs.wine(PROBE, *arguments))
    terminal.wait_for(name, r"^WAITING", "start of the key wait (%s)" % label)
    if "--modifiers" in extra:
        screen = terminal.wait_for(name, r"^AFTER-MODIFIERS pending=\d+ running=\d$", "end of the modifier records (%s)" % label)
        match = re.search(r"^AFTER-MODIFIERS pending=(\d+) running=(\d)", strip_codes(screen), re.M)
        RESULTS.check(match is not None and match.group(1) == "0" and match.group(2) == "1",
                      "%s: Shift, Ctrl, Alt alone and a key release all read, tool still waiting (%s)" %
                      (label, match.group(0) if match else "no report"))
        injected = re.search(r"^INJECTED records=(\d+)", strip_codes(screen), re.M)
        RESULTS.check(injected is not None and injected.group(1) == "7",
                      "%s: 7 modifier records written to the console input" % label)
    wait_still_waiting(terminal, name, label)
    terminal.send_keys(name, *keys)
    screen = terminal.wait_for(name, r"^STATUS=\d+$", "end of the probe (%s)" % label)
    terminal.close(name)
    plain = strip_codes(screen)
    RESULTS.check(exit_status(screen) == 0, "%s: probe ran to its end" % label)
    return plain, parse_screen(screen)


def check_probe_restore(plain, lines, label, attributes, input_mode, leftover):
    before = re.search(r"^BEFORE attributes=0x([0-9a-f]+) input-mode=0x([0-9a-f]+)", plain, re.M)
    after = re.search(r"^AFTER exit=(\d+) attributes=0x([0-9a-f]+) input-mode=0x([0-9a-f]+)", plain, re.M)
    if not RESULTS.check(before is not None and after is not None, "%s: probe reported before and after" % label):
        return
    RESULTS.check((int(before.group(1), 16), int(before.group(2), 16)) == (attributes, input_mode),
                  "%s: console set to attributes 0x%04x, input mode 0x%04x before the run" %
                  (label, attributes, input_mode))
    RESULTS.check(after.group(1) == "0", "%s: tool's exit status 0 (exit=%s)" % (label, after.group(1)))
    RESULTS.check(int(after.group(2), 16) == attributes and int(after.group(3), 16) == input_mode,
                  "%s: attributes and input mode after the run 0x%s, 0x%s (before 0x%04x, 0x%04x)" %
                  (label, after.group(2), after.group(3), attributes, input_mode))
    before_line = find_line_starting(lines, "BEFORE ")
    after_line = find_line_starting(lines, "AFTER exit=")
    RESULTS.check(line_colours(lines[after_line]) == line_colours(lines[before_line]),
                  "%s: next text on screen in the colours of before the run %s (after %s)" %
                  (label, sorted(map(str, line_colours(lines[before_line]))),
                   sorted(map(str, line_colours(lines[after_line])))))
    found = re.search(r"^LEFTOVER count=\d+(.*)$", plain, re.M)
    RESULTS.check(found is not None and found.group(1).split() == list(leftover),
                  "%s: input left unread %s (expected %s)" %
                  (label, found.group(1).split() if found else None, list(leftover)))


def run_cmd_chain(terminal, programs, runs, with_state):
    """All runs in one cmd.exe (which sets PROMPT=$P$G and is itself a
    prompt process), each after a MARK line and followed by its status and,
    with_state, the probe's report of the console state."""
    parts = []
    for label, arguments, state in runs:
        parts.append("echo MARK %s" % label)
        if with_state:
            parts.append("%s set 0x%x 0x%x" % (programs.windows(PROBE), state[0], state[1]))
        parts.append(" ".join([programs.windows(TOOL)] + list(arguments)))
        parts.append("echo STATUS-%s=!ERRORLEVEL!" % label)
        if with_state:
            parts.append("%s state" % programs.windows(PROBE))
    parts.append("echo MARK end")
    name = terminal.start(programs.wine_cmd(" & ".join(parts)))
    screen = terminal.wait_for(name, r"^STATUS=\d+$", "end of cmd.exe")
    terminal.close(name)
    plain = strip_codes(screen)
    RESULTS.check(exit_status(screen) == 0, "cmd.exe ended with status 0")
    for label, _, _ in runs:
        status = re.search(r"^STATUS-%s=(\d+)" % re.escape(label), plain, re.M)
        RESULTS.check(status is not None and status.group(1) == "0",
                      "%s: exit status 0 (%s)" % (label, status.group(0) if status else "none"))
    return split_segments(parse_screen(screen))


# ------------------------------------------------------------------- groups

PATHS = (
    ("no-argument", ()),
    ("line", ("-l",)),
    ("xml", ("-x",)),
    ("help", ("-h",)),
    ("two-arguments", ("-l", "-x")),
)


def check_path_texts(lines, label, arguments, names):
    """The texts of one path: banner, then the help screen, or the header
    and one record per name in the layout the arguments ask for."""
    check_texts_in_order(lines, BANNER, label)
    if arguments not in ((), ("-l",), ("-x",)):
        check_texts_in_order(lines, HELP_LINES, label)
        check_absent(lines, SEARCHING, label)
        check_absent(lines, CLOSING_NOTE, label)
        return
    check_texts_in_order(lines, HEADER + (HYPHENS,), label)
    if arguments == ():
        check_block_records(lines, label, names)
        check_texts_in_order(lines, (CLOSING_NOTE,), label)
        check_absent(lines, NOT_FROM_PROMPT, label)
        check_absent(lines, PRESS_ANY_KEY, label)
        return
    check_absent(lines, CLOSING_NOTE, label)
    for name in names:
        if arguments == ("-l",):
            record = re.compile(r"^Process ID=\d+; Parent Process ID=\d+; Process Name=%s; User Name=\S+; "
                                r"Process Path=.+;$" % re.escape(name))
            RESULTS.check(any(record.match(line_text(cells)) for cells in lines),
                          "%s: line record of %s" % (label, name))
        else:
            check_texts_in_order(lines, ("<Cmd_Process>", "<Process_Name> %s </Process_Name>" % name,
                                         "</Cmd_Process>"), label)


def group_colours(terminal, programs):
    target = MatchingProcess(programs)
    try:
        segments = run_cmd_chain(terminal, programs, [(label, arguments, None) for label, arguments in PATHS],
                                 with_state=False)
    finally:
        target.stop()
    names = ("Cmd.exe", "Murk_target.exe")
    for label, arguments in PATHS:
        lines = segments.get(label, [])
        check_path_texts(lines, label, arguments, names)
        counts = check_tool_colours(lines, label)
        if arguments in ((), ("-l",), ("-x",)):
            RESULTS.check(counts[WHITE] > 0 and counts[RED] > 0 and counts[GREEN] > 0,
                          "%s: banner, header and records all on screen" % label)

    # No PROMPT and no prompt process: the no-match line and the two lines
    # asking for a key.
    fresh = measure_fresh_console(terminal, programs)
    lines = run_direct_wait(terminal, programs, fresh, ["x"], "no-prompt")
    check_texts_in_order(lines, BANNER + (NO_MATCH, CLOSING_NOTE, NOT_FROM_PROMPT, PRESS_ANY_KEY), "no-prompt")
    counts = check_tool_colours(lines, "no-prompt")
    RESULTS.check(counts[RED] == 2, "no-prompt: exactly the two lines asking for a key in bright red")


# Console states set before each run: none equal to what the tool uses, each
# different from the others.
RESTORE_STATES = ((0x1e, 0x0007), (0x03, 0x0001), (0x06, 0x0003), (0x31, 0x01f7), (0x4b, 0x0005))


def group_restore(terminal, programs):
    runs = [(label, arguments, state) for (label, arguments), state in zip(PATHS, RESTORE_STATES)]
    segments = run_cmd_chain(terminal, programs, runs, with_state=True)
    for label, _, state in runs:
        lines = segments.get(label, [])
        set_line = find_line_starting(lines, "SET ")
        state_line = find_line_starting(lines, "STATE ")
        if not RESULTS.check(set_line >= 0 and state_line > set_line, "%s: probe reported before and after" % label):
            continue
        before = read_state(line_text(lines[set_line]))
        after = read_state(line_text(lines[state_line]))
        RESULTS.check(before == state, "%s: console set to 0x%04x, 0x%04x" % (label, state[0], state[1]))
        RESULTS.check(after == before, "%s: attributes and input mode after the run 0x%04x, 0x%04x (before 0x%04x, "
                      "0x%04x)" % ((label,) + tuple(after or (-1, -1)) + tuple(before or (-1, -1))))
        tool_colours = set()
        for cells in lines[set_line + 1:state_line]:
            if not OWN_LINE.match(line_text(cells)):
                tool_colours |= line_foregrounds(cells)
        RESULTS.check(bool(tool_colours) and not tool_colours & line_foregrounds(lines[set_line]),
                      "%s: the tool's text in colours of its own %s" % (label, sorted(map(str, tool_colours))))
        RESULTS.check(line_colours(lines[state_line]) == line_colours(lines[set_line]),
                      "%s: next text on screen in the colours of before the run %s (after %s)" %
                      (label, sorted(map(str, line_colours(lines[set_line]))),
                       sorted(map(str, line_colours(lines[state_line])))))

    # -j: JSON Lines only, in whatever colour the console has; the tool
    # never sets its attributes, not even back to what they were.
    lines = run_cmd_chain(terminal, programs, [("json", ("-j",), (0x2e, 0x0007))], with_state=True).get("json", [])
    set_line = find_line_starting(lines, "SET ")
    state_line = find_line_starting(lines, "STATE ")
    if RESULTS.check(set_line >= 0 and state_line > set_line, "json: probe reported before and after"):
        RESULTS.check(read_state(line_text(lines[state_line])) == (0x2e, 0x0007), "json: attributes unchanged")
        output = [cells for cells in lines[set_line + 1:state_line] if not OWN_LINE.match(line_text(cells))]
        RESULTS.check(any(line_text(cells).startswith('{"type":"scan"') for cells in output),
                      "json: the scan object on the screen")
        RESULTS.check(all(line_colours(cells) <= line_colours(lines[set_line]) for cells in output if cells),
                      "json: every line in the colours set before the run")

    # No PROMPT: the tool waits for a key, then puts the console back.
    plain, lines = run_probe_wait(terminal, programs, "no-prompt-key", 0x1e, 0x0007, ["a"])
    check_probe_restore(plain, lines, "no-prompt-key", 0x1e, 0x0007, ["key:up:0x41"])


def group_key_wait(terminal, programs):
    fresh = measure_fresh_console(terminal, programs)
    run_direct_wait(terminal, programs, fresh, ["x"], "ordinary key x")
    run_direct_wait(terminal, programs, fresh, ["F5"], "function key F5")
    run_direct_wait(terminal, programs, fresh, ["Up"], "cursor key Up")
    # Wine reports Escape without its character (0x1B on Windows).
    run_direct_wait(terminal, programs, fresh, ["Escape"], "key Escape")
    # A terminal sends no bytes for a modifier pressed alone, so bare
    # modifier records are written into the console input by the probe.
    # Wine itself reports Shift+Up as Shift down, Up down, Up up, Shift up:
    # the wait must pass over the Shift press and end on Up, leaving the two
    # releases unread.
    plain, lines = run_probe_wait(terminal, programs, "modifiers then Shift+Up", 0x06, 0x0003, ["S-Up"],
                                  extra=("--modifiers",))
    check_probe_restore(plain, lines, "modifiers then Shift+Up", 0x06, 0x0003, ["key:up:0x26", "key:up:0x10"])


def group_control_c(terminal, programs):
    fresh = measure_fresh_console(terminal, programs)
    run_direct_wait(terminal, programs, fresh, ["C-c"], "Ctrl+C")

    plain, lines = run_probe_wait(terminal, programs, "Ctrl+C in a set console", 0x1e, 0x0007, ["C-c"])
    check_probe_restore(plain, lines, "Ctrl+C in a set console", 0x1e, 0x0007, [])

    # The wait alone: the first Ctrl+C ends it; the second must reach the
    # default handler, which Wine reports when it ends the process.
    label = "handler left after the wait"
    relay = programs.file("relay-wait-check.txt")
    name = terminal.start(programs.wine(WAIT_CHECK, debug="+relay") + " 2>" + shlex.quote(relay))
    screen = terminal.wait_for(name, r"^WAIT CHECK READY pid=[0-9a-f]+$", "start of the wait check")
    pid = re.search(r"^WAIT CHECK READY pid=([0-9a-f]+)", strip_codes(screen), re.M).group(1)
    time.sleep(STILL_WAITING_SECONDS)
    terminal.send_keys(name, "C-c")
    terminal.wait_for(name, r"^WAIT ENDED", "end of the wait after Ctrl+C")
    terminal.send_keys(name, "C-c")
    screen = terminal.wait_for(name, r"^STATUS=\d+$", "end of the wait check")
    terminal.close(name)
    RESULTS.check("STILL RUNNING" not in strip_codes(screen),
                  "%s: a second Ctrl+C after the wait ends the process" % label)
    text, calls = read_relay(relay)
    killed = DEFAULT_HANDLER_KILL.search(text)
    RESULTS.check(killed is not None and killed.group(1) == pid and killed.group(2) == "0",
                  "%s: ended by the default handler on CTRL_C_EVENT (%s; pid %s)" %
                  (label, killed.group(0) if killed else "no such report", pid))
    if RESULTS.check(calls is not None, "%s: relay trace holds the wait's console calls" % label):
        check_wait_calls(calls, label, fresh[1])
    RESULTS.note("%s: exit status %s (Wine's default handler ends a process with status 0)" %
                 (label, exit_status(screen)))

    # Ctrl+C during a scan. A process stopped with SIGSTOP holds the scan
    # once it reaches it (Wine's cross-process region query waits on it),
    # with the record colour of the listed target before it set.
    label = "Ctrl+C during a scan"
    listed = MatchingProcess(programs)
    holder = MatchingProcess(programs, "no-prompt")
    os.kill(holder.process.pid, signal.SIGSTOP)
    try:
        name = terminal.start(programs.wine(PROBE, "run", "-l"))
        terminal.wait_for(name, "^ " + re.escape(SEARCHING), "the scan header (%s)" % label)
        wait_still_waiting(terminal, name, label)
        terminal.send_keys(name, "C-c")
        screen = terminal.wait_for(name, r"^STATUS=\d+$", "end of the probe (%s)" % label)
        terminal.close(name)
    finally:
        os.kill(holder.process.pid, signal.SIGCONT)
        holder.stop()
        listed.stop()
    plain = strip_codes(screen)
    before = re.search(r"^BEFORE attributes=0x([0-9a-f]+)", plain, re.M)
    # The tool ends before its closing empty lines: the probe's line follows
    # the last separator on the same line.
    after = re.search(r"AFTER exit=\d+ attributes=0x([0-9a-f]+)", plain)
    RESULTS.check(before is not None and after is not None and after.group(1) == before.group(1) == "%04x" % fresh[0],
                  "%s: the attributes after the run as before it (%s, %s)" %
                  (label, after and after.group(0), before and before.group(0)))

    # Ctrl+C ends a watch, which writes its scan object and ends with 0.
    label = "Ctrl+C ends a watch"
    listed = MatchingProcess(programs)
    try:
        name = terminal.start(programs.wine(TOOL, "-w"))
        terminal.wait_for(name, r'^\{"type":"shell"', "the watch's first shell object")
        terminal.send_keys(name, "C-c")
        screen = terminal.wait_for(name, r"^STATUS=\d+$", "end of the watch")
        terminal.close(name)
    finally:
        listed.stop()
    plain = strip_codes(screen)
    RESULTS.check(exit_status(screen) == 0, "%s: exit status 0 (STATUS=%s)" % (label, exit_status(screen)))
    # The terminal echoes ^C where the cursor stands and wraps long lines:
    # the lines are read joined.
    flat = "".join(plain.splitlines())
    RESULTS.check(re.search(r'\{"type":"scan",[^{}]*,"error":null,"ended":"[0-9T:.Z-]+"\}STATUS=', flat) is not None,
                  "%s: the scan object, with when the watch ended, is the last line" % label)


REDIRECT_RUNS = (
    # label, tool arguments (None: the tool run by cmd.exe, which gives it
    # PROMPT), where the output goes
    ("line-file", ("-l",), "file"),
    ("xml-pipe", ("-x",), "pipe"),
    ("help-file", ("-h",), "file"),
    ("two-arguments-pipe", ("-l", "-x"), "pipe"),
    ("block-file", None, "file"),
    ("no-prompt-file", (), "file"),
    ("no-prompt-pipe", (), "pipe"),
)


def group_redirect(terminal, programs):
    script = []
    for label, arguments, how in REDIRECT_RUNS:
        path = shlex.quote(programs.file("out-%s.txt" % label))
        run = programs.wine_cmd(programs.windows(TOOL)) if arguments is None else programs.wine(TOOL, *arguments)
        if how == "file":
            script.append('%s > %s; echo "STATUS-%s=$?"' % (run, path, label))
        else:
            # The shell's status of a pipeline is cat's: the tool's own is
            # passed on through a file of its own.
            status = shlex.quote(programs.file("status-%s.txt" % label))
            script.append('{ %s; echo "STATUS-%s=$?" > %s; } | cat > %s; cat %s' % (run, label, status, path, status))
    target = MatchingProcess(programs)
    try:
        name = terminal.start("; ".join(script))
        # Without PROMPT and with its output in a file or a pipe, the tool
        # prints its two lines and ends: nobody sees them to press a key. No
        # key is sent here, so every run must end on its own.
        screen = terminal.wait_for(name, r"^STATUS=\d+$", "end of the redirected runs, no key pressed")
        terminal.close(name)
    finally:
        target.stop()
    plain = strip_codes(screen)
    RESULTS.check(TITLE not in plain and NO_MATCH not in plain and "Process ID" not in plain,
                  "nothing of the tool's text on the screen")
    for label, arguments, _ in REDIRECT_RUNS:
        status = re.search(r"^STATUS-%s=(\d+)" % re.escape(label), plain, re.M)
        RESULTS.check(status is not None and status.group(1) == "0",
                      "%s: exit status 0 (%s)" % (label, status.group(0) if status else "none"))
        with open(programs.file("out-%s.txt" % label), "rb") as stream:
            data = stream.read()
        check_plain_output(data, label)
        lines = plain_lines(data)
        check_texts_in_order(lines, BANNER, label)
        if arguments is None or arguments == ("-l",):
            check_texts_in_order(lines, HEADER, label)
            RESULTS.check(b"Murk_target.exe" in data, "%s: record of the matching process" % label)
        if arguments is None:
            check_texts_in_order(lines, (CLOSING_NOTE,), label)
            check_absent(lines, PRESS_ANY_KEY, label)
        if arguments in (("-h",), ("-l", "-x")):
            check_texts_in_order(lines, HELP_LINES, label)
        if arguments == ():
            check_texts_in_order(lines, (CLOSING_NOTE, NOT_FROM_PROMPT, PRESS_ANY_KEY), label)

    # Standard input redirected: the console is still there and the wait
    # is on its own input, so the tool must not end at the end of standard
    # input. Wine's console host then reads the terminal from the redirected
    # input too, so no key reaches the console; Ctrl+C (a signal, turned into
    # a control event) ends the wait instead.
    fresh = measure_fresh_console(terminal, programs, " < /dev/null")
    run_direct_wait(terminal, programs, fresh, ["C-c"], "stdin from /dev/null", " < /dev/null")


def plain_lines(data):
    """Output bytes as lines of uncoloured cells, for the line checks."""
    text = data.decode("latin-1").replace("\r", "")
    return [[(character, None, None) for character in line] for line in text.split("\n")]


def check_plain_output(data, label):
    RESULTS.check(len(data) > 0 and b"\x1b" not in data, "%s: no ESC byte in %d bytes of output" % (label, len(data)))
    RESULTS.check(not re.search(rb"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]", data),
                  "%s: no control bytes but tab, CR and LF" % label)
    RESULTS.check(data.count(b"\n") > 0 and data.count(b"\n") == data.count(b"\r\n"),
                  "%s: %d lines, each ending in CR LF" % (label, data.count(b"\n")))


def group_no_console(terminal, programs):
    del terminal
    probe = programs.run_quietly(programs.unix(PROBE), "state")
    RESULTS.check(probe.stdout.startswith(b"NO-CONSOLE"),
                  "without a terminal Wine gives the program no console (%s)" %
                  probe.stdout.decode(errors="replace").strip())
    for label, stdin in (("stdin /dev/null", subprocess.DEVNULL), ("stdin an open pipe", subprocess.PIPE)):
        started = time.monotonic()
        process = subprocess.Popen([programs.wine_run, programs.prefix, programs.unix(TOOL)], stdin=stdin,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            # An open pipe stays open until the tool ends: the wait must not
            # read standard input. The output is far below a pipe's capacity.
            process.wait(timeout=NO_CONSOLE_LIMIT_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            RESULTS.check(False, "%s: the tool ended (still running after %d s)" % (label, NO_CONSOLE_LIMIT_SECONDS))
            continue
        finally:
            if process.stdin:
                process.stdin.close()
        output = process.stdout.read()
        process.stdout.close()
        RESULTS.note("%s: ended %.1f s after its start" % (label, time.monotonic() - started))
        RESULTS.check(process.returncode == 0, "%s: exit status 0 (%s)" % (label, process.returncode))
        check_plain_output(output, label)
        check_texts_in_order(plain_lines(output), BANNER + (NO_MATCH, CLOSING_NOTE, NOT_FROM_PROMPT, PRESS_ANY_KEY),
                             label)


GROUPS = {
    "colours": group_colours,
    "restore": group_restore,
    "key_wait": group_key_wait,
    "control_c": group_control_c,
    "redirect": group_redirect,
    "no_console": group_no_console,
}


def main():
    if len(sys.argv) != 5 or sys.argv[4] not in GROUPS:
        print(__doc__)
        return 2
    bin_dir, wine_run, prefix, group = sys.argv[1:]
    for program in (TOOL, PROBE, WAIT_CHECK, TARGET):
        if not os.path.exists(os.path.join(bin_dir, program)):
            print("missing %s in %s" % (program, bin_dir))
            return 2
    # A CTest timeout ends the run with SIGTERM: the tmux server and the
    # programs in its panes are still ended.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(1))
    work_dir = tempfile.mkdtemp(prefix="murkscope-console-")
    programs = Programs(bin_dir, wine_run, prefix, work_dir)
    terminal = Terminal(work_dir)
    started = time.monotonic()
    try:
        programs.prepare_prefix()
        GROUPS[group](terminal, programs)
    except Failure as failure:
        RESULTS.check(False, str(failure))
    except subprocess.TimeoutExpired as expired:
        RESULTS.check(False, "%s still running after %d s" % (" ".join(expired.cmd[2:]), expired.timeout))
    finally:
        terminal.stop()
    print("%s: %d checks, %d failed, %.1f s" % (group, RESULTS.checks, len(RESULTS.failures),
                                                 time.monotonic() - started))
    if RESULTS.failures:
        print("files kept in %s" % work_dir)
        return 1
    shutil.rmtree(work_dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
