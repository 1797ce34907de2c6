#!/usr/bin/python3
"""The scan benchmark's host side (bench/run calls it).

Holds a population of N idle test targets in a Wine prefix of the
benchmark's own, through the Windows harness, and for every N times, side by
side and in turn:

  idle   murk_idle.exe: does nothing; Wine's fixed start-up cost
  walk   murk_walk_floor.exe: snapshot walk, open and close each process
  call   murk_call_floor.exe: exactly the calls the tool must make
  tool   Murkscope64.exe -l, its output to a file
  json   Murkscope64.exe -j, its output to a file

each started two ways: by the harness inside the prefix (CreateProcess to
exit, timed with QueryPerformanceCounter; the floors also report their
in-process time) and from the host as a whole wine invocation (timed here).
With --compare LABEL=COMMIT, the tool as that commit builds it also runs
with -l (as LABEL) and -j (as LABEL-j) in the same shuffled rounds, inside
the prefix. Then runs the tool,
the call floor and the start-up program again while the harness samples
their peak working set, profiles the call floor, alone and with the tool's
extra per-process work, and at the first N counts the calls the tool's
(-l, -j) and the call floor's own code make, from a Wine relay trace. Last,
a pass with every target a shell (--shells N prompt-first targets) times -j
against -l, and the watch pass measures -w, started from the host: its CPU
time over a minute of an idle population beside its floor (the list read
every 100 ms and nothing else) and the wine server's, which shares the
list's work under Wine, and its resident set through ten minutes of the
hostile churn.

Writes results.json, results.csv (one row per N), runs.csv (every run) and
table.md into the output folder.
"""

import argparse
import collections
import csv
import json
import os
import platform
import random
import re
import shutil
import statistics
import struct
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Timed both ways at every N.
PROGRAMS = ["idle", "walk", "call", "tool", "json"]
# Also run with their memory sampled.
MEMORY_PROGRAMS = ["idle", "call", "tool", "json"]
# Timed in the pass where every target is a shell.
SHELL_PROGRAMS = ["idle", "call", "tool", "json"]
# Their calls counted from a relay trace at the first N.
TRACED_PROGRAMS = ["tool", "json", "call"]
TRACED_TITLES = {"tool": "tool -l", "json": "tool -j", "call": "call floor"}


def windows_path(path):
    """The Z: drive of a Wine prefix is the host's root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def parse_fields(text):
    """'a=1 b=2' -> {'a': '1', 'b': '2'}; words without '=' are left out."""
    fields = {}
    for word in text.split():
        if "=" in word:
            key, value = word.split("=", 1)
            fields[key] = value
    return fields


def floor_report(stderr_text):
    """The floor's one report line (floor_clock.h), as numbers."""
    for line in stderr_text.replace("|", "\n").splitlines():
        if line.startswith("work_us="):
            return {key: float(value) for key, value in parse_fields(line).items()}
    return {}


def profile_report(stderr_text):
    """The call floor's -p lines: {call: (count, total_us)}."""
    calls = {}
    for line in stderr_text.replace("|", "\n").splitlines():
        if line.startswith("call="):
            fields = parse_fields(line)
            calls[fields["call"]] = (int(fields["count"]), float(fields["total_us"]))
    return calls


RELAY_CALL = re.compile(r"^(?:[\d.]+:)?[0-9a-f]+:Call\s+([\w.]+)\(.*\) ret=([0-9a-f]+)$")


def image_range(executable):
    """Preferred load range of a PE32+ image (Wine keeps the preferred base when it is free)."""
    with open(executable, "rb") as image:
        header = image.read(4096)
    optional = struct.unpack_from("<I", header, 0x3C)[0] + 24
    base = struct.unpack_from("<Q", header, optional + 24)[0]
    size = struct.unpack_from("<I", header, optional + 56)[0]
    return base, base + size


def relay_counts(trace_path, executable):
    """Calls, by name, from a +relay trace of one process.

    "own": the calls made from the program's own image (by return address,
    which leaves out the calls system DLLs make on its behalf). "native": the
    ntdll Nt* system calls made at any depth, start-up included: under Wine
    most of them are requests to the wine server.
    """
    low, high = image_range(executable)
    own = collections.Counter()
    native = collections.Counter()
    with open(trace_path, encoding="latin-1") as trace:
        for line in trace:
            match = RELAY_CALL.match(line.rstrip("\n"))
            if not match:
                continue
            if low <= int(match.group(2), 16) < high:
                own[match.group(1)] += 1
            if match.group(1).startswith("ntdll.Nt"):
                native[match.group(1)] += 1
    return {"own": dict(own), "native": dict(native)}


def listed_by_line(output_path):
    """Records in a -l output: each begins " Process ID=" on a line of its own."""
    with open(output_path, encoding="latin-1") as output:
        return sum(1 for line in output if line.startswith(" Process ID="))


def listed_by_json(output_path):
    """Shell objects in a -j output, and whether its last line is the scan object that counts them."""
    with open(output_path, "rb") as output:
        lines = output.read().decode("utf-8", errors="replace").split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    shells = sum(1 for line in lines if '"type":"shell"' in line)
    try:
        last = json.loads(lines[-1]) if lines else None
    except ValueError:
        last = None
    return shells, isinstance(last, dict) and last.get("type") == "scan" and last.get("shells") == shells


def build_tool_at(build, commit):
    """Murkscope64.exe as another commit builds it: (full commit, path).

    The commit's tree comes from git archive into build/compare/<commit>/,
    is configured and built there (the tool alone, test programs off), and
    only the executable is kept; a later run finds it and builds nothing.
    """
    full = subprocess.run(["git", "-C", ROOT, "rev-parse", "--verify", commit + "^{commit}"],
                          capture_output=True, text=True, check=True).stdout.strip()
    folder = os.path.join(build, "compare", full[:12])
    executable = os.path.join(folder, "Murkscope64.exe")
    if os.path.exists(executable):
        return full, executable
    source = os.path.join(folder, "source")
    binary = os.path.join(folder, "build")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(source)
    print("Building Murkscope64.exe at %s" % full[:12], file=sys.stderr)
    try:
        archive = subprocess.Popen(["git", "-C", ROOT, "archive", "--format=tar", full], stdout=subprocess.PIPE)
        subprocess.run(["tar", "-x", "-C", source], stdin=archive.stdout, check=True)
        archive.stdout.close()
        if archive.wait() != 0:
            raise RuntimeError("git archive %s failed" % full)
        subprocess.run(["cmake", "-S", source, "-B", binary,
                        "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, "cmake", "mingw-w64-x86_64.cmake"),
                        "-DCMAKE_BUILD_TYPE=Release", "-DMURKSCOPE_TESTS=OFF"], stdout=subprocess.DEVNULL, check=True)
        subprocess.run(["cmake", "--build", binary, "--target", "Murkscope64", "-j", str(os.cpu_count() or 1)],
                       stdout=subprocess.DEVNULL, check=True)
        shutil.copy2(os.path.join(binary, "bin", "Murkscope64.exe"), executable)
    finally:
        shutil.rmtree(source, ignore_errors=True)
        shutil.rmtree(binary, ignore_errors=True)
    return full, executable


def current_commit():
    """The commit the current build comes from, with "+" when the tool's tree differs from it."""
    def git(*words):
        return subprocess.run(["git", "-C", ROOT] + list(words), capture_output=True, text=True, check=False)
    commit = git("rev-parse", "HEAD").stdout.strip() or "unknown"
    changed = git("diff", "--quiet", "HEAD", "--", "src", "resources", "cmake", "CMakeLists.txt").returncode != 0
    return commit + ("+" if changed else "")


def compare_option(text):
    """LABEL=COMMIT for --compare."""
    label, _, commit = text.partition("=")
    taken = PROGRAMS + ["current", "current-j", "watch"]
    if not re.fullmatch(r"[A-Za-z][A-Za-z0-9_-]*", label) or not commit or label in taken:
        raise argparse.ArgumentTypeError("expected LABEL=COMMIT with a label of letters, digits, _ and - "
                                         "other than %s" % ", ".join(taken))
    return label, commit


class Harness:
    """murk_bench_harness.exe under wine-run: one command line in, one answer line out."""

    def __init__(self, wine_run, prefix, program, log_path):
        self.log = open(log_path, "ab")
        self.process = subprocess.Popen(
            [wine_run, prefix, program],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self.log,
            text=True,
            bufsize=1,
        )

    def ask(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline()
        if not answer:
            raise RuntimeError("the harness ended while answering: " + command)
        answer = answer.rstrip("\r\n")
        if answer.startswith("error"):
            raise RuntimeError("harness: " + answer)
        return answer

    def close(self):
        try:
            self.process.stdin.write("quit\n")
            self.process.stdin.close()
            self.process.stdout.read()
            self.process.wait(timeout=120)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
        self.log.close()


class Bench:
    def __init__(self, options):
        self.options = options
        self.build = os.path.abspath(options.build)
        self.bin = os.path.join(self.build, "bin")
        self.prefix = os.path.join(self.build, "wineprefix-bench")
        self.wine_run = os.path.join(ROOT, "cmake", "wine-run")
        self.out = os.path.abspath(options.out)
        self.scratch = os.path.join(self.out, "scratch")
        os.makedirs(self.scratch, exist_ok=True)
        self.commands = {
            "idle": ["murk_idle.exe"],
            "walk": ["murk_walk_floor.exe", "-r"],
            "call": ["murk_call_floor.exe", "-r"],
            "tool": ["Murkscope64.exe", "-l"],
            "json": ["Murkscope64.exe", "-j"],
        }
        # The programs that list shells, and the layout each lists them in.
        self.layouts = {"tool": "line", "json": "json"}
        # Other builds of the tool, timed with -l beside the current one.
        self.compared = []
        for label, commit in options.compare:
            if any(build["label"] == label for build in self.compared):
                raise SystemExit("--compare: the label %s is given twice" % label)
            self.compared.append({"label": label, "commit": commit, "option": "-l", "against": "tool"})
            self.compared.append({"label": label + "-j", "commit": commit, "option": "-j", "against": "json"})
        self.timed = PROGRAMS + [build["label"] for build in self.compared]
        self.loads = []

    def note_load(self, when):
        self.loads.append({"when": when, "load": list(os.getloadavg())})

    def build_compared(self):
        """Builds each compared commit's tool in a folder of its own under the build folder."""
        for build in self.compared:
            build["commit"], build["executable"] = build_tool_at(self.build, build["commit"])
            self.commands[build["label"]] = [build["executable"], build["option"]]
            self.layouts[build["label"]] = "line" if build["option"] == "-l" else "json"

    def executable(self, program):
        name = self.commands[program][0]
        return name if os.path.isabs(name) else os.path.join(self.bin, name)

    def harness_command(self, program, extra=()):
        words = self.commands[program] + list(extra)
        return '"' + windows_path(self.executable(program)) + '" ' + " ".join(words[1:])

    def output_path(self, program):
        """Where a listing program's output goes; the others' goes to the null device."""
        return os.path.join(self.scratch, program + "-output.txt") if program in self.layouts else None

    def count_listed(self, program, output_path, run):
        if self.layouts.get(program) == "line":
            run["listed"] = listed_by_line(output_path)
        elif self.layouts.get(program) == "json":
            run["listed"], run["scan_object"] = listed_by_json(output_path)
        return run

    def run_in_harness(self, harness, program, output_path, extra=(), verb="run"):
        answer = harness.ask(verb + " " + (windows_path(output_path) if output_path else "-") + " " +
                             self.harness_command(program, extra))
        head, _, errors = answer.partition(" stderr=")
        fields = parse_fields(head)
        if "timeout" in fields or fields.get("exit") != "0":
            raise RuntimeError(program + " failed in the harness: " + answer)
        run = {"wall_us": float(fields["wall_us"])}
        if "peak_ws" in fields:
            run["peak_ws"] = int(fields["peak_ws"])
            run["samples"] = int(fields["samples"])
        run.update(floor_report(errors))
        return run, errors

    def run_from_host(self, program, output_path, errors_path=None, environment=None, arguments=None):
        """The whole wine invocation, as a user on this machine starts it."""
        errors_path = errors_path or os.path.join(self.scratch, "host-stderr.txt")
        argv = [self.wine_run, self.prefix, self.executable(program)]
        argv += self.commands[program][1:] if arguments is None else arguments
        with open(output_path or os.devnull, "wb") as output, open(errors_path, "wb") as errors:
            start = time.perf_counter()
            status = subprocess.call(argv, stdin=subprocess.DEVNULL, stdout=output, stderr=errors, env=environment)
            wall = time.perf_counter() - start
        if status != 0:
            raise RuntimeError(program + " failed from the host with status %d" % status)
        with open(errors_path, encoding="utf-8", errors="replace") as errors:
            run = {"wall_us": wall * 1e6}
            run.update(floor_report(errors.read()))
        return run

    def timed_in_harness(self, harness, program, verb="run"):
        output_path = self.output_path(program)
        run, _ = self.run_in_harness(harness, program, output_path, verb=verb)
        return self.count_listed(program, output_path, run)

    def timed_from_host(self, program):
        output_path = self.output_path(program)
        return self.count_listed(program, output_path, self.run_from_host(program, output_path))

    def populate(self, harness, size, mode=""):
        answer = harness.ask(("grow %d %s" % (size, mode)).rstrip())
        if answer != "population %d" % size:
            raise RuntimeError("population not grown: " + answer)
        return parse_fields(" ".join(harness.ask("count").split()[2:]))

    def repetitions(self, programs, count, order_base, run_one):
        """count repetitions of every program, in a new shuffled order each time.

        The orders are the same in every benchmark run (drawn from fixed
        numbers, order_base upwards), so that neither drift in the machine's
        load nor what ran just before favours one program.
        """
        for repetition in range(count):
            order = list(programs)
            random.Random(order_base + repetition).shuffle(order)
            for program in order:
                run_one(program)

    def check_runs(self, runs, expected_listed):
        problems = []
        for program, ways in runs.items():
            for way, way_runs in ways.items():
                for run in way_runs:
                    name = "%s (%s)" % (program, way)
                    if program in self.layouts or program == "call":
                        if run.get("listed") != expected_listed:
                            problems.append("%s listed %s, expected %d" % (name, run.get("listed"), expected_listed))
                    if self.layouts.get(program) == "json" and not run.get("scan_object"):
                        problems.append("%s: the last line is not the scan object" % name)
                    if program in ("walk", "call") and run.get("opened") != run.get("processes", 0) - 1:
                        problems.append("%s opened %s of %s processes" % (name, run.get("opened"),
                                                                         run.get("processes")))
                    # A WOW64 process would cost the tool 32-bit reads the call floor does not make.
                    if program == "call" and run.get("wow64", 0) != 0:
                        problems.append("%s met %d WOW64 processes" % (name, run["wow64"]))
        return problems

    def measure(self, harness, size):
        expected_listed = (size + 1) // 2
        names = self.populate(harness, size)
        self.note_load("N=%d start" % size)

        runs = {program: {"harness": [], "host": []} for program in self.timed}

        def run_one(program):
            runs[program]["harness"].append(self.timed_in_harness(harness, program))
            # The other builds are compared inside the prefix only.
            if program in PROGRAMS:
                runs[program]["host"].append(self.timed_from_host(program))

        self.repetitions(self.timed, self.options.runs, size * 1000, run_one)
        # Memory: Wine answers the counters only while the process lives, so
        # the harness samples them every millisecond in runs of their own.
        memory = {program: [] for program in MEMORY_PROGRAMS}
        for _ in range(self.options.memory_runs):
            for program in memory:
                memory[program].append(self.timed_in_harness(harness, program, verb="memory"))
        self.note_load("N=%d end" % size)

        problems = self.check_runs(runs, expected_listed)
        problems += self.check_runs({program: {"memory": memory[program]} for program in ("tool", "json")},
                                    expected_listed)
        profile = self.profile(harness)
        trace = self.trace() if self.options.trace and size == self.first_size else None
        problems += self.trace_problems(trace)
        return {
            "N": size,
            "expected_listed": expected_listed,
            "snapshot_names": {name: int(count) for name, count in names.items()},
            "runs": runs,
            "memory": memory,
            "profile": profile,
            "relay_calls": trace,
            "problems": problems,
        }

    def measure_shells(self, harness, size):
        """-j beside -l with every target a shell: N prompt-first targets, the last
        --shell-windows of which each show a console window of its own, and nothing else."""
        if harness.ask("clear") != "population 0":
            raise RuntimeError("the population did not end")
        windows = min(self.options.shell_windows, size)
        if windows < size:
            self.populate(harness, size - windows, "prompt-first")
        names = self.populate(harness, size, "window-console") if windows > 0 else \
            self.populate(harness, size, "prompt-first")
        self.note_load("all shells N=%d start" % size)
        runs = {program: {"harness": []} for program in SHELL_PROGRAMS}

        def run_one(program):
            runs[program]["harness"].append(self.timed_in_harness(harness, program))

        self.repetitions(SHELL_PROGRAMS, self.options.shell_runs, 7000000 + size * 1000, run_one)
        self.note_load("all shells N=%d end" % size)
        return {
            "N": size,
            "console_windows": windows,
            "expected_listed": size,
            "snapshot_names": {name: int(count) for name, count in names.items()},
            "runs": runs,
            "problems": self.check_runs(runs, size),
        }

    def watch_from_host(self, program, seconds, output_path):
        """-w (or the call floor's -w, the list read alone) for seconds, started
        from the host: its CPU time from the kernel's accounting of the wine
        process (Wine's GetProcessTimes of another process does not follow
        it), the wine server's CPU time over the same span, and the process's
        resident set at every minute."""
        argv = [self.wine_run, self.prefix, self.executable(program), "-w", str(seconds)]
        server_before = wineserver_cpu_seconds(self.prefix)
        with open(output_path, "wb") as output:
            started = time.perf_counter()
            process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.DEVNULL)
            minutes = []
            peak = None
            next_minute = started + 60
            while True:
                pid, status, usage = os.wait4(process.pid, os.WNOHANG)
                if pid != 0:
                    break
                peak = resident_kib(process.pid, "VmHWM") or peak
                if time.perf_counter() >= next_minute:
                    minutes.append(resident_kib(process.pid))
                    next_minute += 60
                time.sleep(0.2)
            wall = time.perf_counter() - started
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            raise RuntimeError("%s -w %d failed with status %d" % (program, seconds, process.returncode))
        server_after = wineserver_cpu_seconds(self.prefix)
        run = {"seconds": seconds, "wall_us": wall * 1e6, "cpu_us": (usage.ru_utime + usage.ru_stime) * 1e6,
               "peak_rss_kib": peak or 0, "rss_minutes_kib": minutes}
        if None not in (server_before, server_after):
            run["server_cpu_us"] = (server_after - server_before) * 1e6
        return run

    def measure_watch(self, harness):
        """-w over an idle population, beside its floor (the list read every
        100 ms and nothing else), then through the hostile churn."""
        population = self.options.watch_population
        if harness.ask("clear") != "population 0":
            raise RuntimeError("the population did not end")
        self.populate(harness, population)
        output_path = os.path.join(self.scratch, "watch-output.txt")
        result = {"population": population}
        seconds = self.options.watch_seconds
        if seconds > 0:
            self.note_load("watch idle start")
            result["floor"] = self.watch_from_host("call", seconds, os.devnull)
            result["idle"] = self.watch_from_host("tool", seconds, output_path)
            result["idle"]["scan"] = last_json_object(output_path)
        seconds = self.options.churn_seconds
        if seconds > 0:
            self.note_load("watch churn start")
            self.populate(harness, population + 1, "hostile:churn")
            self.populate(harness, population + 2, "hostile:churn-clean")
            result["churn"] = self.watch_from_host("tool", seconds, output_path)
            result["churn"]["scan"] = last_json_object(output_path)
        self.note_load("watch end")
        return result

    def profile(self, harness):
        """Median time per call kind over a few profiled call-floor runs."""
        profiles = {}
        for label, extra in (("call", ["-p"]), ("call_with_tool_extras", ["-p", "-e"]),
                             ("call_with_tcp_tables", ["-p", "-t"])):
            samples = []
            for _ in range(self.options.profile_runs):
                run, errors = self.run_in_harness(harness, "call", None, extra)
                samples.append((run, profile_report(errors)))
            kinds = sorted({kind for _, calls in samples for kind in calls})
            profiles[label] = {
                "work_us": statistics.median(run["work_us"] for run, _ in samples),
                "calls": {
                    kind: {
                        "count": statistics.median(calls.get(kind, (0, 0.0))[0] for _, calls in samples),
                        "total_us": statistics.median(calls.get(kind, (0, 0.0))[1] for _, calls in samples),
                    }
                    for kind in kinds
                },
            }
        return profiles

    def trace(self):
        """Counts of the calls the tool's (-l, -j) and the call floor's code make, from +relay traces."""
        counts = {}
        for program in TRACED_PROGRAMS:
            trace_path = os.path.join(self.scratch, "relay-%s.txt" % program)
            environment = dict(os.environ, MURKSCOPE_WINEDEBUG="+relay")
            output_path = os.path.join(self.scratch, "relay-output.txt")
            # The call floor without its report, so that each prints only what the tool must.
            arguments = [] if program == "call" else self.commands[program][1:]
            self.run_from_host(program, output_path, trace_path, environment, arguments)
            counts[program] = relay_counts(trace_path, self.executable(program))
        return counts

    def trace_problems(self, trace):
        if trace is None:
            return []
        # Wine keeps an image at its preferred base when that is free; were
        # it moved, no call would be seen coming from it.
        return ["relay trace: no call seen from the %s's image" % program
                for program in TRACED_PROGRAMS if not trace[program]["own"]]

    def run(self):
        sizes = [int(size) for size in self.options.sizes.split(",")]
        self.first_size = sizes[0]
        started = time.time()
        self.build_compared()
        self.note_load("start")

        # The first run in a new prefix sets the prefix up; it is not timed.
        setup_start = time.perf_counter()
        subprocess.run([self.wine_run, self.prefix, os.path.join(self.bin, "murk_idle.exe")],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        setup_seconds = time.perf_counter() - setup_start

        harness = Harness(self.wine_run, self.prefix, os.path.join(self.bin, "murk_bench_harness.exe"),
                          os.path.join(self.out, "harness-stderr.txt"))
        results = []
        shells = None
        watch = None
        try:
            # One unrecorded round first: Wine's caches and the page cache
            # are warm for every program before the first timed run.
            for program in self.timed:
                self.run_in_harness(harness, program, os.path.join(self.scratch, "warm.txt"))
                if program in PROGRAMS:
                    self.run_from_host(program, os.path.join(self.scratch, "warm.txt"))
            for size in sizes:
                grow_start = time.perf_counter()
                result = self.measure(harness, size)
                result["seconds"] = time.perf_counter() - grow_start
                results.append(result)
                print("N=%d done in %.0f s" % (size, result["seconds"]), file=sys.stderr)
            if self.options.shells > 0:
                pass_start = time.perf_counter()
                shells = self.measure_shells(harness, self.options.shells)
                shells["seconds"] = time.perf_counter() - pass_start
                print("all shells N=%d done in %.0f s" % (self.options.shells, shells["seconds"]), file=sys.stderr)
            if self.options.watch_seconds > 0 or self.options.churn_seconds > 0:
                watch = self.measure_watch(harness)
                print("watch done", file=sys.stderr)
        finally:
            harness.close()
            # Whatever is left in the benchmark's own prefix ends with it.
            server = "/usr/lib/wine/wineserver64"
            if os.path.exists(server):
                subprocess.run([server, "-k"], env=dict(os.environ, WINEPREFIX=self.prefix),
                               stderr=subprocess.DEVNULL, check=False)

        self.note_load("end")
        document = {
            "machine": {
                "nproc": os.cpu_count(),
                "wine": wine_version(),
                "kernel": platform.release(),
                "runs_per_program": self.options.runs,
                "shell_runs": self.options.shell_runs,
                "profile_runs": self.options.profile_runs,
                "memory_runs": self.options.memory_runs,
                "loads": self.loads,
                "prefix_setup_seconds": setup_seconds,
                "total_seconds": time.time() - started,
                "date": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
            },
            "commit": current_commit(),
            "compared": [{"label": build["label"], "commit": build["commit"], "against": build["against"]}
                         for build in self.compared],
            "watch": watch,
            "sizes": results,
            "summary": summarize(results, [(build["label"], build["against"]) for build in self.compared]),
            "shells": shells,
            "shells_summary": summarize_shells(shells) if shells else None,
        }
        write_outputs(self.out, document)
        problems = [problem for result in results for problem in result["problems"]]
        if shells:
            problems += ["all shells: " + problem for problem in shells["problems"]]
        for problem in problems:
            print("problem: " + problem, file=sys.stderr)
        return 1 if problems else 0


def wineserver_cpu_seconds(prefix):
    """User and system time of the prefix's wine server so far, or None. The
    server works in a folder named after the prefix's device and inode."""
    info = os.stat(prefix)
    folder = "/server-%x-%x" % (info.st_dev, info.st_ino)
    ticks = os.sysconf("SC_CLK_TCK")
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if not os.readlink("/proc/%s/cwd" % pid).endswith(folder):
                continue
            with open("/proc/%s/stat" % pid) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / ticks
        except OSError:
            continue
    return None


def resident_kib(pid, field="VmRSS"):
    """A live process's resident set (or its high-water mark, VmHWM), KiB,
    from /proc; None once it is gone. Unlike wait4's maximum, it starts
    afresh at exec, so the Python process that started wine is not in it."""
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def last_json_object(path):
    """The last line of a JSON Lines output, parsed, or None."""
    with open(path, "rb") as output:
        lines = output.read().decode("utf-8", errors="replace").splitlines()
    try:
        return json.loads(lines[-1]) if lines else None
    except ValueError:
        return None


def watch_table(watch):
    """The watch pass, as lines of table.md."""
    def cpu(run):
        return "%.0f ms (%.2f%% of one core)" % (run["cpu_us"] / 1000, run["cpu_us"] / run["wall_us"] * 100)

    def server(run):
        return "%.0f ms" % (run["server_cpu_us"] / 1000) if "server_cpu_us" in run else "unknown"

    lines = ["", "The watch (-w), %d idle targets in the prefix; CPU time of the wine process (user and system, from "
             "the kernel), and the wine server's over the same span." % watch["population"], ""]
    idle, floor = watch.get("idle"), watch.get("floor")
    if idle and floor:
        scan = idle.get("scan") or {}
        lines += [
            "| %d s | CPU time | wine server | peak resident set |" % idle["seconds"],
            "|---|---|---|---|",
            "| the watch (%s processes tested) | %s | %s | %d KiB |" % (scan.get("processes"), cpu(idle), server(idle),
                                                                   idle["peak_rss_kib"]),
            "| its floor: the list read every 100 ms | %s | %s | %d KiB |" % (cpu(floor), server(floor),
                                                                            floor["peak_rss_kib"]),
        ]
    churn = watch.get("churn")
    if churn:
        scan = churn.get("scan") or {}
        lines += ["", "A %d-second watch through the hostile churn (two churning targets beside the idle ones): %s "
                  "processes tested, %s shells listed; CPU time %s, wine server %s; resident set at each minute, KiB: "
                  "%s; peak %d KiB." % (
                      churn["seconds"], scan.get("processes"), scan.get("shells"), cpu(churn), server(churn),
                      ", ".join(str(value) for value in churn["rss_minutes_kib"]), churn["peak_rss_kib"])]
    return lines


def wine_version():
    wine = "/usr/lib/wine/wine64" if os.path.exists("/usr/lib/wine/wine64") else "wine"
    try:
        return subprocess.run([wine, "--version"], capture_output=True, text=True, check=False).stdout.strip()
    except OSError:
        return "unknown"


def median_of(runs, key):
    values = [run[key] for run in runs if key in run]
    return statistics.median(values) if values else float("nan")


BOOTSTRAP_ROUNDS = 2000


def walls(result, program, way="harness"):
    return [run["wall_us"] / 1000 for run in result["runs"][program][way]]


def net_ratio(tool, call, idle):
    """(tool - start-up) / (call floor - start-up), from medians."""
    start_up = statistics.median(idle)
    return (statistics.median(tool) - start_up) / (statistics.median(call) - start_up)


def net_per_process(tool, idle, processes):
    return (statistics.median(tool) - statistics.median(idle)) / processes


def resample(values, rng):
    return [values[rng.randrange(len(values))] for _ in values]


def interval(statistic, rng):
    """95% percentile bootstrap interval of a statistic over resampled runs."""
    estimates = sorted(statistic(rng) for _ in range(BOOTSTRAP_ROUNDS))
    return estimates[int(0.025 * BOOTSTRAP_ROUNDS)], estimates[int(0.975 * BOOTSTRAP_ROUNDS) - 1]


def add_intervals(results, rows, compared):
    """How far the load on the machine leaves the key figures uncertain.

    Runs are resampled with replacement (each program's runs on their own)
    and the figure computed again, 2000 times; the interval holds the middle
    95% of those figures. A fixed generator keeps the report reproducible.
    """
    rng = random.Random(1)
    first, first_row = results[0], rows[0]
    for result, row in zip(results, rows):
        tool, call, idle = walls(result, "tool"), walls(result, "call"), walls(result, "idle")
        row["tool_over_call_low"], row["tool_over_call_high"] = interval(
            lambda r: statistics.median(resample(tool, r)) / statistics.median(resample(call, r)), rng)
        row["tool_net_over_call_net_low"], row["tool_net_over_call_net_high"] = interval(
            lambda r: net_ratio(resample(tool, r), resample(call, r), resample(idle, r)), rng)
        first_tool, first_idle = walls(first, "tool"), walls(first, "idle")
        row["growth_low"], row["growth_high"] = interval(
            lambda r: net_per_process(resample(tool, r), resample(idle, r), row["processes"]) /
            net_per_process(resample(first_tool, r), resample(first_idle, r), first_row["processes"]), rng)
        json_runs = walls(result, "json")
        row["json_net_over_tool_net_low"], row["json_net_over_tool_net_high"] = interval(
            lambda r: net_ratio(resample(json_runs, r), resample(tool, r), resample(idle, r)), rng)
        for program in ["tool", "json"] + [label for label, _ in compared]:
            program_runs = walls(result, program)
            row[program + "_net_ms_low"], row[program + "_net_ms_high"] = interval(
                lambda r: statistics.median(resample(program_runs, r)) - statistics.median(resample(idle, r)), rng)


def summarize(results, compared):
    """One row per N: medians in milliseconds, ratios and per-process costs.

    "net" figures have the start-up program's median taken off: what is left
    is the work of the run itself.
    """
    rows = []
    for result in results:
        runs = result["runs"]
        inside = {program: median_of(runs[program]["harness"], "wall_us") / 1000 for program in runs}
        host = {program: median_of(runs[program]["host"], "wall_us") / 1000 for program in PROGRAMS}
        # Minima: the runs that the rest of the machine disturbed least.
        least = {program: min(run["wall_us"] for run in runs[program]["harness"]) / 1000 for program in PROGRAMS}
        processes = int(median_of(runs["call"]["harness"], "processes"))
        # Paired: the tool and the call floor of one repetition ran a few
        # seconds apart at most, so their ratio cancels slow drift in the load.
        paired = [tool["wall_us"] / call["wall_us"] for tool, call in zip(runs["tool"]["harness"],
                                                                        runs["call"]["harness"])]
        paired_net = [(tool["wall_us"] - idle["wall_us"]) / (call["wall_us"] - idle["wall_us"])
                      for tool, call, idle in zip(runs["tool"]["harness"], runs["call"]["harness"],
                                                  runs["idle"]["harness"])]
        net = {program: inside[program] - inside["idle"] for program in runs if program != "idle"}
        host_net = {program: host[program] - host["idle"] for program in PROGRAMS if program != "idle"}
        row = {
            "N": result["N"],
            "processes": processes,
            "listed": result["expected_listed"],
            "idle_ms": inside["idle"],
            "tool_ms": inside["tool"],
            "walk_ms": inside["walk"],
            "call_ms": inside["call"],
            "tool_over_walk": inside["tool"] / inside["walk"],
            "tool_over_call": inside["tool"] / inside["call"],
            "per_process_wall_us": inside["tool"] * 1000 / processes,
            "tool_net_ms": net["tool"],
            "walk_net_ms": net["walk"],
            "call_net_ms": net["call"],
            "tool_net_over_walk_net": net["tool"] / net["walk"],
            "tool_net_over_call_net": net["tool"] / net["call"],
            "per_process_us": net["tool"] * 1000 / processes,
            "walk_work_ms": median_of(runs["walk"]["harness"], "work_us") / 1000,
            "call_work_ms": median_of(runs["call"]["harness"], "work_us") / 1000,
            "tool_net_over_call_work": net["tool"] / (median_of(runs["call"]["harness"], "work_us") / 1000),
            "call_per_process_us": median_of(runs["call"]["harness"], "work_us") / processes,
            "idle_min_ms": least["idle"],
            "tool_min_ms": least["tool"],
            "call_min_ms": least["call"],
            "tool_net_over_call_net_min": (least["tool"] - least["idle"]) / (least["call"] - least["idle"]),
            "tool_over_call_paired": statistics.median(paired),
            "tool_net_over_call_net_paired": statistics.median(paired_net),
            "json_ms": inside["json"],
            "json_net_ms": net["json"],
            "json_over_tool": inside["json"] / inside["tool"],
            "json_net_over_tool_net": net["json"] / net["tool"],
            "json_per_process_us": net["json"] * 1000 / processes,
            "host_idle_ms": host["idle"],
            "host_tool_ms": host["tool"],
            "host_walk_ms": host["walk"],
            "host_call_ms": host["call"],
            "host_json_ms": host["json"],
            "host_tool_over_walk": host["tool"] / host["walk"],
            "host_tool_over_call": host["tool"] / host["call"],
            "host_tool_net_ms": host_net["tool"],
            "host_call_net_ms": host_net["call"],
            "host_json_net_ms": host_net["json"],
            "host_tool_net_over_call_net": host_net["tool"] / host_net["call"],
            "host_json_net_over_tool_net": host_net["json"] / host_net["tool"],
            "host_per_process_us": host_net["tool"] * 1000 / processes,
            "tool_peak_ws_kib": median_of(result["memory"]["tool"], "peak_ws") / 1024,
            "json_peak_ws_kib": median_of(result["memory"]["json"], "peak_ws") / 1024,
            "call_peak_ws_kib": median_of(result["memory"]["call"], "peak_ws") / 1024,
            "idle_peak_ws_kib": median_of(result["memory"]["idle"], "peak_ws") / 1024,
        }
        for label, against in compared:
            row[label + "_ms"] = inside[label]
            row[label + "_net_ms"] = net[label]
            row[label + "_per_process_us"] = net[label] * 1000 / processes
            row[label + "_net_over_current"] = net[label] / net[against]
        rows.append(row)
    if rows:
        first = rows[0]
        for row in rows:
            row["growth_wall"] = row["per_process_wall_us"] / first["per_process_wall_us"]
            row["growth"] = row["per_process_us"] / first["per_process_us"]
            row["call_growth"] = row["call_per_process_us"] / first["call_per_process_us"]
            row["host_growth"] = row["host_per_process_us"] / first["host_per_process_us"]
        add_intervals(results, rows, compared)
    return rows


def summarize_shells(shells):
    """-j against -l with every target a shell, start-up counted and taken off."""
    runs = {program: walls(shells, program) for program in SHELL_PROGRAMS}
    median = {program: statistics.median(values) for program, values in runs.items()}
    net = {program: median[program] - median["idle"] for program in SHELL_PROGRAMS}
    size = shells["N"]
    by_run = {program: shells["runs"][program]["harness"] for program in SHELL_PROGRAMS}
    paired = [json_run["wall_us"] / tool["wall_us"] for json_run, tool in zip(by_run["json"], by_run["tool"])]
    paired_net = [(json_run["wall_us"] - idle["wall_us"]) / (tool["wall_us"] - idle["wall_us"])
                  for json_run, tool, idle in zip(by_run["json"], by_run["tool"], by_run["idle"])]
    rng = random.Random(2)
    summary = {
        "N": size,
        "console_windows": shells.get("console_windows", 0),
        "processes": int(median_of(by_run["call"], "processes")),
        "listed": size,
        "runs": len(runs["tool"]),
        "idle_ms": median["idle"],
        "call_ms": median["call"],
        "tool_ms": median["tool"],
        "json_ms": median["json"],
        "call_net_ms": net["call"],
        "tool_net_ms": net["tool"],
        "json_net_ms": net["json"],
        "json_over_tool": median["json"] / median["tool"],
        "json_net_over_tool_net": net["json"] / net["tool"],
        "json_over_tool_paired": statistics.median(paired),
        "json_net_over_tool_net_paired": statistics.median(paired_net),
        "tool_net_over_call_net": net["tool"] / net["call"],
        "tool_per_shell_us": net["tool"] * 1000 / size,
        "json_per_shell_us": net["json"] * 1000 / size,
        "json_extra_per_shell_us": (median["json"] - median["tool"]) * 1000 / size,
    }
    summary["json_over_tool_low"], summary["json_over_tool_high"] = interval(
        lambda r: statistics.median(resample(runs["json"], r)) / statistics.median(resample(runs["tool"], r)), rng)
    summary["json_net_over_tool_net_low"], summary["json_net_over_tool_net_high"] = interval(
        lambda r: net_ratio(resample(runs["json"], r), resample(runs["tool"], r), resample(runs["idle"], r)), rng)
    summary["tool_net_over_call_net_low"], summary["tool_net_over_call_net_high"] = interval(
        lambda r: net_ratio(resample(runs["tool"], r), resample(runs["call"], r), resample(runs["idle"], r)), rng)
    return summary


def write_outputs(folder, document):
    with open(os.path.join(folder, "results.json"), "w") as output:
        json.dump(document, output, indent=1)
    rows = document["summary"]
    if rows:
        with open(os.path.join(folder, "results.csv"), "w", newline="") as output:
            writer = csv.DictWriter(output, fieldnames=list(rows[0].keys()))
            writer.writeheader()
            for row in rows:
                writer.writerow({key: round(value, 3) if isinstance(value, float) else value
                                 for key, value in row.items()})
    with open(os.path.join(folder, "runs.csv"), "w", newline="") as output:
        writer = csv.writer(output)
        keys = ("wall_us", "work_us", "processes", "opened", "listed", "peak_ws", "samples")
        writer.writerow(["N", "program", "started_by", "run"] + list(keys))
        passes = [(result, "") for result in document["sizes"]]
        if document.get("shells"):
            passes.append((document["shells"], "-all-shells"))
        for result, suffix in passes:
            for program, ways in result["runs"].items():
                for way, way_runs in ways.items():
                    for index, run in enumerate(way_runs):
                        writer.writerow([result["N"], program, way + suffix, index] +
                                        [run.get(key, "") for key in keys])
            for program, memory_runs in result.get("memory", {}).items():
                for index, run in enumerate(memory_runs):
                    writer.writerow([result["N"], program, "harness-memory", index] +
                                    [run.get(key, "") for key in keys])
    with open(os.path.join(folder, "table.md"), "w") as output:
        output.write(markdown_tables(document))


def json_and_compared_tables(document):
    """The -j rows of the main runs, the other builds beside the current one, the all-shell pass."""
    rows = document["summary"]
    lines = [
        "",
        "The tool with -j beside -l, the same runs (half the targets shells), medians, ms.",
        "",
        "| N | -l | -j | -j/-l | -l, start-up off | -j, start-up off | -j/-l, start-up off (95% interval) "
        "| -j per process, start-up off | from the host: -l, -j start-up off | -j/-l |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for row in rows:
        lines.append("| %d | %.1f | %.1f | %.2f | %.1f | %.1f | %.2f (%.2f–%.2f) | %.0f µs | %.1f, %.1f | %.2f |" % (
            row["N"], row["tool_ms"], row["json_ms"], row["json_over_tool"], row["tool_net_ms"], row["json_net_ms"],
            row["json_net_over_tool_net"], row["json_net_over_tool_net_low"], row["json_net_over_tool_net_high"],
            row["json_per_process_us"], row["host_tool_net_ms"], row["host_json_net_ms"],
            row["host_json_net_over_tool_net"]))
    compared = document.get("compared") or []
    if compared:
        current = document.get("commit", "unknown")
        builds = [{"label": build["label"], "short": build["commit"][:7]} for build in compared]
        short = current[:7] + ("+" if current.endswith("+") else "")
        builds += [{"label": "current", "short": short}, {"label": "current-j", "short": short}]
        lines += [
            "",
            "Builds of the tool with -l (and -j, the labels ending in -j) in the same shuffled rounds, started "
            "inside the prefix: scan cost (median less the start-up program's median) in ms with its 95% interval, "
            "per process in the snapshot, and against the current build in the same layout.",
            "",
            "| N | processes | " + " | ".join("%s (%s)" % (build["label"], build["short"]) for build in builds) +
            " | " + " | ".join("%s/current" % build["label"] for build in compared) + " |",
            "|---|---|" + "---|" * (len(builds) + len(compared)),
        ]
        for row in rows:
            cells = []
            for build in builds:
                key = {"current": "tool", "current-j": "json"}.get(build["label"], build["label"])
                per_process = row["per_process_us"] if key == "tool" else row[key + "_per_process_us"]
                cells.append("%.1f (%.1f–%.1f), %.0f µs" % (row[key + "_net_ms"], row[key + "_net_ms_low"],
                                                            row[key + "_net_ms_high"], per_process))
            cells += ["%.2f" % row[build["label"] + "_net_over_current"] for build in compared]
            lines.append("| %d | %d | %s |" % (row["N"], row["processes"], " | ".join(cells)))
    shells = document.get("shells_summary")
    if shells:
        lines += [
            "",
            "Every target a shell: %d prompt-first targets (%d processes in the snapshot, %d listed), medians of %d "
            "runs started inside the prefix, ms." % (shells["N"], shells["processes"], shells["listed"],
                                                    shells["runs"]),
            "",
            "| | start-up | call floor | -l | -j | -j/-l (95% interval) | -j/-l, paired |",
            "|---|---|---|---|---|---|---|",
            "| start-up counted | %.1f | %.1f | %.1f | %.1f | %.2f (%.2f–%.2f) | %.2f |" % (
                shells["idle_ms"], shells["call_ms"], shells["tool_ms"], shells["json_ms"], shells["json_over_tool"],
                shells["json_over_tool_low"], shells["json_over_tool_high"], shells["json_over_tool_paired"]),
            "| start-up off | | %.1f | %.1f | %.1f | %.2f (%.2f–%.2f) | %.2f |" % (
                shells["call_net_ms"], shells["tool_net_ms"], shells["json_net_ms"], shells["json_net_over_tool_net"],
                shells["json_net_over_tool_net_low"], shells["json_net_over_tool_net_high"],
                shells["json_net_over_tool_net_paired"]),
            "",
            "-l against the call floor, start-up off: %.2f (%.2f–%.2f). Per shell, start-up off: -l %.0f µs, -j %.0f "
            "µs (%.0f µs more)." % (shells["tool_net_over_call_net"], shells["tool_net_over_call_net_low"],
                                   shells["tool_net_over_call_net_high"], shells["tool_per_shell_us"],
                                   shells["json_per_shell_us"], shells["json_extra_per_shell_us"]),
        ]
    return lines


def markdown_tables(document):
    rows = document["summary"]
    machine = document["machine"]
    first = rows[0]["N"] if rows else 0
    lines = [
        "Started by the harness inside the prefix (CreateProcess to exit), medians of %d runs, ms; per-process "
        "cost = tool median / processes in the snapshot; growth against N=%d." % (machine["runs_per_program"], first),
        "",
        "| N | processes | tool | walk floor | call floor | tool/walk | tool/call (95% interval) | per-process cost "
        "| growth |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for row in rows:
        lines.append("| %d | %d | %.1f | %.1f | %.1f | %.2f | %.2f (%.2f–%.2f) | %.0f µs | %.2f |" % (
            row["N"], row["processes"], row["tool_ms"], row["walk_ms"], row["call_ms"], row["tool_over_walk"],
            row["tool_over_call"], row["tool_over_call_low"], row["tool_over_call_high"], row["per_process_wall_us"],
            row["growth_wall"]))
    lines += [
        "",
        "The same runs with the start-up program's median (Wine's fixed cost of a process) taken off; the floors' "
        "own in-process times beside them. As a check on the load, the median of the per-repetition ratios (the "
        "tool's and the call floor's runs of one repetition, start-up taken off).",
        "",
        "| N | start-up | tool | walk floor | call floor | walk in-process | call in-process | tool/walk | tool/call "
        "(95% interval) | tool/call, paired | per-process cost | growth (95% interval) |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for row in rows:
        lines.append("| %d | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.2f | %.2f (%.2f–%.2f) | %.2f | %.0f µs "
                     "| %.2f (%.2f–%.2f) |" % (
                         row["N"], row["idle_ms"], row["tool_net_ms"], row["walk_net_ms"], row["call_net_ms"],
                         row["walk_work_ms"], row["call_work_ms"], row["tool_net_over_walk_net"],
                         row["tool_net_over_call_net"], row["tool_net_over_call_net_low"],
                         row["tool_net_over_call_net_high"], row["tool_net_over_call_net_paired"],
                         row["per_process_us"], row["growth"], row["growth_low"], row["growth_high"]))
    lines += [
        "",
        "Started from the host as a whole wine invocation (wine-run), medians, ms.",
        "",
        "| N | start-up | tool | walk floor | call floor | tool/walk | tool/call | tool − start-up "
        "| net tool/call | per-process cost, start-up off | growth |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for row in rows:
        lines.append("| %d | %.1f | %.1f | %.1f | %.1f | %.2f | %.2f | %.1f | %.2f | %.0f µs | %.2f |" % (
            row["N"], row["host_idle_ms"], row["host_tool_ms"], row["host_walk_ms"], row["host_call_ms"],
            row["host_tool_over_walk"], row["host_tool_over_call"], row["host_tool_net_ms"],
            row["host_tool_net_over_call_net"], row["host_per_process_us"], row["host_growth"]))
    lines += json_and_compared_tables(document)
    lines += [
        "",
        "Peak working set (GetProcessMemoryInfo, sampled by the harness every millisecond until the process "
        "ends), median of %d runs, KiB." % machine["memory_runs"],
        "",
        "| N | tool -l | tool -j | call floor | start-up program |",
        "|---|---|---|---|---|",
    ]
    for row in rows:
        lines.append("| %d | %d | %d | %d | %d |" % (row["N"], row["tool_peak_ws_kib"], row["json_peak_ws_kib"],
                                                    row["call_peak_ws_kib"], row["idle_peak_ws_kib"]))
    lines += ["", "Call floor profile (median of %d runs each): per kind of call, count, total ms, µs per call."
              % machine["profile_runs"], ""]
    for result in document["sizes"]:
        for label, profile in result["profile"].items():
            lines.append("N=%d %s: work %.1f ms" % (result["N"], label, profile["work_us"] / 1000))
            for kind, call in sorted(profile["calls"].items(), key=lambda item: -item[1]["total_us"]):
                per_call = call["total_us"] / call["count"] if call["count"] else 0.0
                lines.append("    %-20s %6d %9.2f ms %8.1f µs" % (kind, call["count"], call["total_us"] / 1000,
                                                                  per_call))
        lines.append("")
    for result in document["sizes"]:
        trace = result.get("relay_calls")
        if not trace:
            continue
        processes = document["summary"][document["sizes"].index(result)]["processes"]
        for part, title in (("own", "Calls made from each program's own code"),
                            ("native", "ntdll Nt* calls at any depth, start-up included")):
            counted = [trace[program][part] for program in TRACED_PROGRAMS]
            lines += ["%s at N=%d (Wine relay trace; %d processes in the snapshot, %d listed): total %s." % (
                title, result["N"], processes, result["expected_listed"],
                ", ".join("%d (%s)" % (sum(calls.values()), TRACED_TITLES[program])
                          for program, calls in zip(TRACED_PROGRAMS, counted))), "",
                "| call | " + " | ".join(TRACED_TITLES[program] for program in TRACED_PROGRAMS) + " |",
                "|---|" + "---|" * len(TRACED_PROGRAMS)]
            names = sorted(set().union(*counted), key=lambda name: (-max(calls.get(name, 0) for calls in counted),
                                                                    name))
            for name in names:
                lines.append("| %s | %s |" % (name, " | ".join("%d" % calls.get(name, 0) for calls in counted)))
            lines.append("")
    if document.get("watch"):
        lines += watch_table(document["watch"]) + [""]
    lines += ["Load average (1, 5, 15 min): " + "; ".join(
        "%s %.2f %.2f %.2f" % (load["when"], *load["load"]) for load in machine["loads"]), ""]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build folder holding bin/")
    parser.add_argument("--out", required=True, help="folder for the results")
    parser.add_argument("--sizes", default="25,50,100,200", help="population sizes, ascending")
    parser.add_argument("--runs", type=int, default=21, help="timed runs of each program per size")
    parser.add_argument("--profile-runs", type=int, default=3, help="profiled call-floor runs per size")
    parser.add_argument("--memory-runs", type=int, default=3, help="memory-sampled runs per program and size")
    parser.add_argument("--no-trace", dest="trace", action="store_false", help="skip the relay trace")
    parser.add_argument("--compare", metavar="LABEL=COMMIT", type=compare_option, action="append", default=[],
                        help="also time the tool as COMMIT builds it (-l), beside the current one; repeatable")
    parser.add_argument("--shells", type=int, default=100,
                        help="targets in the pass where every target is a shell (0: no such pass)")
    parser.add_argument("--shell-runs", type=int, default=21, help="timed runs of each program in that pass")
    parser.add_argument("--shell-windows", type=int, default=50,
                        help="of the shells of that pass, how many show a console window of their own")
    parser.add_argument("--watch-seconds", type=int, default=60,
                        help="length of the watch over the idle population (0: none)")
    parser.add_argument("--churn-seconds", type=int, default=600,
                        help="length of the watch through the hostile churn (0: none)")
    parser.add_argument("--watch-population", type=int, default=100, help="idle targets during the watch pass")
    options = parser.parse_args()
    return Bench(options).run()


if __name__ == "__main__":
    sys.exit(main())
