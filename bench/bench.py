#!/usr/bin/python3
"""The scan benchmark's host side (bench/run calls it).

Holds a population of N idle test targets in a Wine prefix of the
benchmark's own, through the Windows harness, and for every N times, side by
side and in turn:

  idle   murk_idle.exe: does nothing; Wine's fixed start-up cost
  walk   murk_walk_floor.exe: snapshot walk, open and close each process
  call   murk_call_floor.exe: exactly the calls the tool must make
  tool   Murkscope64.exe -l, its output to a file

each started two ways: by the harness inside the prefix (CreateProcess to
exit, timed with QueryPerformanceCounter; the floors also report their
in-process time) and from the host as a whole wine invocation (timed here).
Then runs the tool, the call floor and the start-up program again while the
harness samples their peak working set, profiles the call floor, alone and
with the tool's extra per-process work, and at the first N counts the calls
the tool's and the call floor's own code make, from a Wine relay trace.

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
import statistics
import struct
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAMS = ["idle", "walk", "call", "tool"]


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
        }
        self.loads = []

    def note_load(self, when):
        self.loads.append({"when": when, "load": list(os.getloadavg())})

    def harness_command(self, program, extra=()):
        words = self.commands[program] + list(extra)
        return '"' + windows_path(os.path.join(self.bin, words[0])) + '" ' + " ".join(words[1:])

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
        argv = [self.wine_run, self.prefix, os.path.join(self.bin, self.commands[program][0])]
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

    def listed_by_tool(self, output_path):
        # Each record of the line layout begins " Process ID=" on a line of its own.
        with open(output_path, encoding="latin-1") as output:
            return sum(1 for line in output if line.startswith(" Process ID="))

    def measure(self, harness, size):
        expected_listed = (size + 1) // 2
        answer = harness.ask("grow %d" % size)
        if answer != "population %d" % size:
            raise RuntimeError("population not grown: " + answer)
        count_words = harness.ask("count").split()
        names = parse_fields(" ".join(count_words[2:]))
        self.note_load("N=%d start" % size)

        runs = {program: {"harness": [], "host": []} for program in PROGRAMS}
        tool_output = os.path.join(self.scratch, "tool-output.txt")
        for repetition in range(self.options.runs):
            # A new order for each repetition (shuffled, the same in every
            # benchmark run), so that neither drift in the machine's load nor
            # what ran just before favours one program.
            order = list(PROGRAMS)
            random.Random(size * 1000 + repetition).shuffle(order)
            for program in order:
                output_path = tool_output if program == "tool" else None
                inside, _ = self.run_in_harness(harness, program, output_path)
                if program == "tool":
                    inside["listed"] = self.listed_by_tool(tool_output)
                runs[program]["harness"].append(inside)
                outside = self.run_from_host(program, output_path)
                if program == "tool":
                    outside["listed"] = self.listed_by_tool(tool_output)
                runs[program]["host"].append(outside)
        # Memory: Wine answers the counters only while the process lives, so
        # the harness samples them every millisecond in runs of their own.
        memory = {program: [] for program in ("idle", "call", "tool")}
        for _ in range(self.options.memory_runs):
            for program in memory:
                output_path = tool_output if program == "tool" else None
                run, _ = self.run_in_harness(harness, program, output_path, verb="memory")
                if program == "tool":
                    run["listed"] = self.listed_by_tool(tool_output)
                memory[program].append(run)
        self.note_load("N=%d end" % size)

        problems = []
        for run in memory["tool"]:
            if run["listed"] != expected_listed:
                problems.append("tool (memory run) listed %d, expected %d" % (run["listed"], expected_listed))
        for way in ("harness", "host"):
            for run in runs["tool"][way]:
                if run["listed"] != expected_listed:
                    problems.append("tool (%s) listed %d, expected %d" % (way, run["listed"], expected_listed))
            for run in runs["call"][way]:
                if run.get("listed") != expected_listed:
                    problems.append("call floor (%s) listed %s, expected %d" % (way, run.get("listed"),
                                                                             expected_listed))
            for program in ("walk", "call"):
                for run in runs[program][way]:
                    if run.get("opened") != run.get("processes", 0) - 1:
                        problems.append("%s floor (%s) opened %s of %s processes" % (
                            program, way, run.get("opened"), run.get("processes")))

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

    def profile(self, harness):
        """Median time per call kind over a few profiled call-floor runs."""
        profiles = {}
        for label, extra in (("call", ["-p"]), ("call_with_tool_extras", ["-p", "-e"])):
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
        """Counts of the calls the tool's and the call floor's code make, from +relay traces."""
        counts = {}
        for program in ("tool", "call"):
            trace_path = os.path.join(self.scratch, "relay-%s.txt" % program)
            environment = dict(os.environ, MURKSCOPE_WINEDEBUG="+relay")
            output_path = os.path.join(self.scratch, "relay-output.txt")
            # The call floor without its report, so that both print only what the tool must.
            arguments = ["-l"] if program == "tool" else []
            self.run_from_host(program, output_path, trace_path, environment, arguments)
            counts[program] = relay_counts(trace_path, os.path.join(self.bin, self.commands[program][0]))
        return counts

    def trace_problems(self, trace):
        if trace is None:
            return []
        # Wine keeps an image at its preferred base when that is free; were
        # it moved, no call would be seen coming from it.
        return ["relay trace: no call seen from the %s's image" % program
                for program in ("tool", "call") if not trace[program]["own"]]

    def run(self):
        sizes = [int(size) for size in self.options.sizes.split(",")]
        self.first_size = sizes[0]
        started = time.time()
        self.note_load("start")

        # The first run in a new prefix sets the prefix up; it is not timed.
        setup_start = time.perf_counter()
        subprocess.run([self.wine_run, self.prefix, os.path.join(self.bin, "murk_idle.exe")],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        setup_seconds = time.perf_counter() - setup_start

        harness = Harness(self.wine_run, self.prefix, os.path.join(self.bin, "murk_bench_harness.exe"),
                          os.path.join(self.out, "harness-stderr.txt"))
        results = []
        try:
            # One unrecorded round first: Wine's caches and the page cache
            # are warm for every program before the first timed run.
            for program in PROGRAMS:
                self.run_in_harness(harness, program, os.path.join(self.scratch, "warm.txt"))
                self.run_from_host(program, os.path.join(self.scratch, "warm.txt"))
            for size in sizes:
                grow_start = time.perf_counter()
                result = self.measure(harness, size)
                result["seconds"] = time.perf_counter() - grow_start
                results.append(result)
                print("N=%d done in %.0f s" % (size, result["seconds"]), file=sys.stderr)
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
                "profile_runs": self.options.profile_runs,
                "memory_runs": self.options.memory_runs,
                "loads": self.loads,
                "prefix_setup_seconds": setup_seconds,
                "total_seconds": time.time() - started,
                "date": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
            },
            "sizes": results,
            "summary": summarize(results),
        }
        write_outputs(self.out, document)
        problems = [problem for result in results for problem in result["problems"]]
        for problem in problems:
            print("problem: " + problem, file=sys.stderr)
        return 1 if problems else 0


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


def add_intervals(results, rows):
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


def summarize(results):
    """One row per N: medians in milliseconds, ratios and per-process costs.

    "net" figures have the start-up program's median taken off: what is left
    is the work of the run itself.
    """
    rows = []
    for result in results:
        runs = result["runs"]
        inside = {program: median_of(runs[program]["harness"], "wall_us") / 1000 for program in PROGRAMS}
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
        net = {program: inside[program] - inside["idle"] for program in ("walk", "call", "tool")}
        host_net = {program: host[program] - host["idle"] for program in ("walk", "call", "tool")}
        rows.append({
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
            "host_idle_ms": host["idle"],
            "host_tool_ms": host["tool"],
            "host_walk_ms": host["walk"],
            "host_call_ms": host["call"],
            "host_tool_over_walk": host["tool"] / host["walk"],
            "host_tool_over_call": host["tool"] / host["call"],
            "host_tool_net_ms": host_net["tool"],
            "host_call_net_ms": host_net["call"],
            "host_tool_net_over_call_net": host_net["tool"] / host_net["call"],
            "host_per_process_us": host_net["tool"] * 1000 / processes,
            "tool_peak_ws_kib": median_of(result["memory"]["tool"], "peak_ws") / 1024,
            "call_peak_ws_kib": median_of(result["memory"]["call"], "peak_ws") / 1024,
            "idle_peak_ws_kib": median_of(result["memory"]["idle"], "peak_ws") / 1024,
        })
    if rows:
        first = rows[0]
        for row in rows:
            row["growth_wall"] = row["per_process_wall_us"] / first["per_process_wall_us"]
            row["growth"] = row["per_process_us"] / first["per_process_us"]
            row["call_growth"] = row["call_per_process_us"] / first["call_per_process_us"]
            row["host_growth"] = row["host_per_process_us"] / first["host_per_process_us"]
        add_intervals(results, rows)
    return rows


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
        for result in document["sizes"]:
            for program in PROGRAMS:
                for way in ("harness", "host"):
                    for index, run in enumerate(result["runs"][program][way]):
                        writer.writerow([result["N"], program, way, index] + [run.get(key, "") for key in keys])
            for program, memory_runs in result["memory"].items():
                for index, run in enumerate(memory_runs):
                    writer.writerow([result["N"], program, "harness-memory", index] +
                                    [run.get(key, "") for key in keys])
    with open(os.path.join(folder, "table.md"), "w") as output:
        output.write(markdown_tables(document))


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
    lines += [
        "",
        "Peak working set (GetProcessMemoryInfo, sampled by the harness every millisecond until the process "
        "ends), median of %d runs, KiB." % machine["memory_runs"],
        "",
        "| N | tool | call floor | start-up program |",
        "|---|---|---|---|",
    ]
    for row in rows:
        lines.append("| %d | %d | %d | %d |" % (row["N"], row["tool_peak_ws_kib"], row["call_peak_ws_kib"],
                                               row["idle_peak_ws_kib"]))
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
            tool = trace["tool"][part]
            call = trace["call"][part]
            lines += ["%s at N=%d (Wine relay trace; %d processes in the snapshot): total %d (tool), %d (call "
                      "floor)." % (title, result["N"], processes, sum(tool.values()), sum(call.values())), "",
                      "| call | tool | call floor |", "|---|---|---|"]
            names = sorted(set(tool) | set(call), key=lambda name: (-max(tool.get(name, 0), call.get(name, 0)), name))
            for name in names:
                lines.append("| %s | %d | %d |" % (name, tool.get(name, 0), call.get(name, 0)))
            lines.append("")
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
    options = parser.parse_args()
    return Bench(options).run()


if __name__ == "__main__":
    sys.exit(main())
