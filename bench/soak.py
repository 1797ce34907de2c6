#!/usr/bin/python3
"""The watch's soak (bench/soak calls it): not a test, and not run in CI.

In the benchmark's Wine prefix, the harness holds the watch pass's idle
population (half of it shells) and, for SECONDS, starts SHELLS short-lived
shells at random moments, each living a random 300 ms to 3 s with its prompt
entry in the environment it is created with, while Murkscope64.exe -w,
started from the host, runs the whole time. The watch's output is matched
against what the harness started (a process is its id and creation time):
how many got a shell line, how many an ended line, which were reported
twice; and the watch's resident set (the Linux RSS of its wine process) is
sampled every second, from just before the first shell to its end.

Writes soak.json (and keeps the watch's output and the harness's record of
every shell in scratch/) in the output folder.
"""

import argparse
import bisect
import collections
import datetime
import json
import os
import random
import statistics
import subprocess
import sys
import threading
import time

from bench import Harness, current_commit, resident_kib, wine_version, windows_path

# The watch is given SECONDS and these: its own start and first poll may
# take up to READY_TIMEOUT_SECONDS, and it outlives the last shell's end by
# what is left of them, at least MINIMUM_TAIL_SECONDS. It ends by itself, so
# that it writes its scan object.
READY_TIMEOUT_SECONDS = 20
TAIL_SECONDS = 10
MINIMUM_TAIL_SECONDS = 5
QUIET_SECONDS = 1.0
# Between 1601-01-01 (FILETIME) and 1970-01-01, in milliseconds.
FILETIME_EPOCH_MS = 11644473600000


def filetime_ms(value):
    """A FILETIME (100 ns since 1601) as milliseconds since 1970."""
    return value / 10000 - FILETIME_EPOCH_MS


def iso_ms(text):
    """"2026-12-08T02:09:06.699Z" as milliseconds since 1970, or None."""
    if not text:
        return None
    moment = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)
    return moment.timestamp() * 1000


def iso_text(milliseconds):
    moment = datetime.datetime.fromtimestamp(milliseconds / 1000, tz=datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (int(milliseconds) % 1000)


def schedule(shells, seconds, shortest_ms, longest_ms, draw):
    """(due ms, lifetime ms) per shell: start moments drawn uniformly over the
    span that lets the last one end within SECONDS, so the gaps between them
    are random; lifetimes uniform between the bounds."""
    rng = random.Random(draw)
    span = seconds * 1000 - longest_ms
    dues = sorted(int(rng.uniform(0, span)) for _ in range(shells))
    return [(due, rng.randint(shortest_ms, longest_ms)) for due in dues]


def read_lines(path):
    """The JSON objects of a JSON Lines file; a line that does not parse (a
    last line cut short) is counted apart."""
    objects = []
    broken = 0
    with open(path, "rb") as output:
        for line in output.read().decode("utf-8", errors="replace").splitlines():
            try:
                objects.append(json.loads(line))
            except ValueError:
                broken += 1
    return objects, broken


def read_shells(path):
    """The harness's record of the soak's shells, one a line."""
    shells = []
    with open(path) as record:
        for line in record:
            words = line.split()
            shell = {"index": int(words[0]), "pid": int(words[1]), "due_ms": int(words[2]),
                     "lifetime_asked_ms": int(words[3]), "started_ms": float(words[4]), "closed_ms": float(words[5]),
                     "end_seen_ms": float(words[6])}
            created, exited = int(words[7]), int(words[8])
            if shell["pid"] and created:
                shell["created"] = iso_text(filetime_ms(created))
                shell["created_epoch_ms"] = filetime_ms(created)
                shell["lifetime_ms"] = (exited - created) / 10000
            shells.append(shell)
    return shells


class Sampler(threading.Thread):
    """The watch's resident set and the load average, every second."""

    def __init__(self, pid, origin):
        super().__init__(daemon=True)
        self.pid = pid
        self.origin = origin
        self.samples = []
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            rss = resident_kib(self.pid)
            if rss is None:
                break
            self.samples.append({"t": round(time.time() - self.origin, 1), "rss_kib": rss,
                                 "load": list(os.getloadavg())})
            self.stopping.wait(1.0)


class Tail(threading.Thread):
    """When each of the watch's lines reached its output file (every line is
    flushed as it is written), read every 20 ms: epoch ms per line, in order."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.arrivals = []
        self.stopping = threading.Event()

    def run(self):
        offset = 0
        while True:
            stopping = self.stopping.is_set()
            try:
                with open(self.path, "rb") as output:
                    output.seek(offset)
                    data = output.read()
            except OSError:
                data = b""
            now = time.time() * 1000
            # Only whole lines: a line being written is counted once it ends.
            whole = data[:data.rfind(b"\n") + 1]
            offset += len(whole)
            self.arrivals += [now] * whole.count(b"\n")
            if stopping:
                return
            self.stopping.wait(0.02)


def count_shell_lines(path):
    try:
        with open(path, "rb") as output:
            return output.read().count(b'"type":"shell"')
    except OSError:
        return 0


def wait_ready(process, output_path, expected):
    """Until the watch has listed the idle population's shells and said
    nothing for a second: its first poll is done."""
    deadline = time.time() + READY_TIMEOUT_SECONDS
    last_count, last_change = -1, time.time()
    while time.time() < deadline:
        if process.poll() is not None:
            raise RuntimeError("the watch ended before the soak began (status %d)" % process.returncode)
        count = count_shell_lines(output_path)
        if count != last_count:
            last_count, last_change = count, time.time()
        elif count >= expected and time.time() - last_change >= QUIET_SECONDS:
            return count
        time.sleep(0.1)
    raise RuntimeError("the watch listed %d of the %d idle shells in %d s" % (last_count, expected,
                                                                              READY_TIMEOUT_SECONDS))


def load_at(samples, moment):
    """The 1-minute load average of the sample nearest a moment (s from the origin)."""
    if not samples:
        return None
    return min(samples, key=lambda sample: abs(sample["t"] - moment))["load"][0]


def analyse(shells, objects, arrivals, shortest_ms):
    """Matches the watch's lines to the shells the harness started."""
    shell_lines = collections.Counter()
    ended_lines = collections.Counter()
    ended_at = {}
    by_pid = collections.defaultdict(list)
    polls = []  # the poll times the output shows: an ended object's "ended"
    shell_arrival = {}
    for number, item in enumerate(objects):
        if item.get("type") not in ("shell", "ended"):
            continue
        key = (item.get("pid"), item.get("started"))
        if item["type"] == "shell" and number < len(arrivals):
            shell_arrival.setdefault(key, arrivals[number])
        by_pid[item.get("pid")].append(item)
        if item["type"] == "shell":
            shell_lines[key] += 1
        else:
            ended_lines[key] += 1
            ended_at[key] = item.get("ended")
            if iso_ms(item.get("ended")) is not None:
                polls.append(iso_ms(item["ended"]))
    polls.sort()

    def key_of(shell):
        # The tool writes creation times to the millisecond; the harness's
        # FILETIME is finer, so the same process may differ by the last digit.
        for item in by_pid.get(shell["pid"], []):
            started = iso_ms(item.get("started"))
            if started is not None and abs(started - shell["created_epoch_ms"]) < 1.5:
                return (shell["pid"], item.get("started"))
        return (shell["pid"], shell["created"])

    started = [shell for shell in shells if "created" in shell]
    counts = {"asked": len(shells), "started": len(started), "failed_to_start": len(shells) - len(started),
              "shell_lines": 0, "ended_lines": 0, "both": 0, "shell_duplicates": 0, "ended_duplicates": 0,
              "shorter_than_shortest": 0}
    misses = []
    ended_delays = []
    shell_delays = []
    for shell in started:
        key = key_of(shell)
        listed, ended = shell_lines[key], ended_lines[key]
        counts["shell_lines"] += listed > 0
        counts["ended_lines"] += ended > 0
        counts["both"] += listed > 0 and ended > 0
        counts["shell_duplicates"] += listed > 1
        counts["ended_duplicates"] += ended > 1
        counts["shorter_than_shortest"] += shell["lifetime_ms"] < shortest_ms
        if key in shell_arrival:
            shell_delays.append(shell_arrival[key] - shell["created_epoch_ms"])
        if ended and iso_ms(ended_at[key]) is not None:
            ended_delays.append(iso_ms(ended_at[key]) - (shell["created_epoch_ms"] + shell["lifetime_ms"]))
        if listed == 1 and ended == 1:
            continue
        created = shell["created_epoch_ms"]
        exited = created + shell["lifetime_ms"]
        low, high = bisect.bisect_left(polls, created - 1000), bisect.bisect_right(polls, exited + 1000)
        misses.append({
            "pid": shell["pid"], "created": shell["created"], "lifetime_ms": round(shell["lifetime_ms"], 1),
            "shell_lines": listed, "ended_lines": ended,
            "lines_for_pid": [{"type": item["type"], "started": item.get("started"), "ended": item.get("ended")}
                              for item in by_pid.get(shell["pid"], [])],
            "due_ms": shell["due_ms"], "start_late_ms": round(shell["started_ms"] - shell["due_ms"], 1),
            "polls_seen_near_ms": [round(poll - created, 1) for poll in polls[low:high]],
        })
    # Duplicates anywhere in the output, the idle population's shells too.
    counts["duplicates_in_output"] = sum(1 for value in shell_lines.values() if value > 1) + \
        sum(1 for value in ended_lines.values() if value > 1)
    lifetimes = [shell["lifetime_ms"] for shell in started]
    summary = {
        "lifetime_ms": {"min": min(lifetimes), "median": statistics.median(lifetimes), "max": max(lifetimes)}
        if lifetimes else None,
        "start_late_ms": {"median": statistics.median(shell["started_ms"] - shell["due_ms"] for shell in started),
                          "max": max(shell["started_ms"] - shell["due_ms"] for shell in started)} if started else None,
        "shell_line_after_creation_ms": {"median": statistics.median(shell_delays), "max": max(shell_delays),
                                         "min": min(shell_delays)} if shell_delays else None,
        "ended_time_less_exit_ms": {"median": statistics.median(ended_delays), "max": max(ended_delays),
                                     "min": min(ended_delays)} if ended_delays else None,
    }
    return counts, misses, summary


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build folder holding bin/")
    parser.add_argument("--out", required=True, help="folder for the results")
    parser.add_argument("--seconds", type=int, default=600, help="span over which the shells start and end")
    parser.add_argument("--shells", type=int, default=1000, help="short-lived shells started")
    parser.add_argument("--population", type=int, default=100, help="idle targets beside them (half shells)")
    parser.add_argument("--shortest-ms", type=int, default=300, help="shortest lifetime of a shell")
    parser.add_argument("--longest-ms", type=int, default=3000, help="longest lifetime of a shell")
    parser.add_argument("--draw", type=int, default=1, help="which random draw of start moments and lifetimes")
    options = parser.parse_args()
    if options.seconds * 1000 <= options.longest_ms or options.shells < 1:
        parser.error("--seconds must exceed the longest lifetime and --shells be at least 1")

    build = os.path.abspath(options.build)
    out = os.path.abspath(options.out)
    scratch = os.path.join(out, "scratch")
    os.makedirs(scratch, exist_ok=True)
    binaries = os.path.join(build, "bin")
    prefix = os.path.join(build, "wineprefix-bench")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    wine_run = os.path.join(root, "cmake", "wine-run")
    schedule_path = os.path.join(scratch, "soak-schedule.txt")
    shells_path = os.path.join(scratch, "soak-shells.txt")
    output_path = os.path.join(scratch, "soak-watch-output.txt")
    errors_path = os.path.join(scratch, "soak-watch-stderr.txt")

    plan = schedule(options.shells, options.seconds, options.shortest_ms, options.longest_ms, options.draw)
    with open(schedule_path, "w") as written:
        for due, lifetime in plan:
            written.write("%d %d\n" % (due, lifetime))

    loads = [{"when": "start", "load": list(os.getloadavg()), "fuzzers": fuzzers_running()}]
    subprocess.run([wine_run, prefix, os.path.join(binaries, "murk_idle.exe")], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    harness = Harness(wine_run, prefix, os.path.join(binaries, "murk_bench_harness.exe"),
                      os.path.join(out, "soak-harness-stderr.txt"))
    watch = None
    sampler = None
    tail = None
    try:
        answer = harness.ask("grow %d" % options.population)
        if answer != "population %d" % options.population:
            raise RuntimeError("population not grown: " + answer)
        idle_shells = (options.population + 1) // 2
        watch_seconds = READY_TIMEOUT_SECONDS + options.seconds + TAIL_SECONDS
        origin = time.time()
        with open(output_path, "wb") as output, open(errors_path, "wb") as errors:
            watch = subprocess.Popen([wine_run, prefix, os.path.join(binaries, "Murkscope64.exe"), "-w",
                                      str(watch_seconds)], stdin=subprocess.DEVNULL, stdout=output, stderr=errors)
        sampler = Sampler(watch.pid, origin)
        sampler.start()
        tail = Tail(output_path)
        tail.start()
        wait_ready(watch, output_path, idle_shells)
        ready_at = time.time() - origin
        loads.append({"when": "soak start", "load": list(os.getloadavg()), "fuzzers": fuzzers_running()})
        print("The watch is ready after %.1f s; %d shells over %d s" % (ready_at, options.shells, options.seconds),
              file=sys.stderr)
        answer = harness.ask("soak %s %s" % (windows_path(schedule_path), windows_path(shells_path)))
        soak_end = time.time() - origin
        loads.append({"when": "soak end", "load": list(os.getloadavg()), "fuzzers": fuzzers_running()})
        if watch_seconds - soak_end < MINIMUM_TAIL_SECONDS:
            raise RuntimeError("the soak ended %.0f s into the watch's %d s" % (soak_end, watch_seconds))
        watch.wait(timeout=watch_seconds + 60)
        end_at = time.time() - origin
    finally:
        if sampler:
            sampler.stopping.set()
        if tail:
            tail.stopping.set()
            tail.join()
        if watch and watch.poll() is None:
            watch.kill()
            watch.wait()
        harness.close()
        server = "/usr/lib/wine/wineserver64"
        if os.path.exists(server):
            subprocess.run([server, "-k"], env=dict(os.environ, WINEPREFIX=prefix), stderr=subprocess.DEVNULL,
                           check=False)
    loads.append({"when": "end", "load": list(os.getloadavg()), "fuzzers": fuzzers_running()})

    fields = dict(word.split("=", 1) for word in answer.split()[1:])
    shells = read_shells(shells_path)
    objects, broken = read_lines(output_path)
    samples = sampler.samples
    counts, misses, summary = analyse(shells, objects, tail.arrivals, options.shortest_ms)
    # The sampler's moments are seconds from the watch's start.
    for miss in misses:
        miss["load_1min"] = load_at(samples, iso_ms(miss["created"]) / 1000 - origin)
    before = [sample for sample in samples if sample["t"] <= ready_at]
    start_rss = before[-1]["rss_kib"] if before else None
    # The last sample taken while the watch lived: after the soak's tail.
    end_rss = samples[-1]["rss_kib"] if samples else None
    during = [sample["rss_kib"] for sample in samples if sample["t"] >= ready_at]
    minutes = [sample["rss_kib"] for sample in samples if sample["t"] >= ready_at and
               int(sample["t"] - ready_at) % 60 == 0]
    document = {
        "machine": {"nproc": os.cpu_count(), "wine": wine_version(), "loads": loads,
                    "fuzzers": fuzzers_running(), "date": time.strftime("%Y-%m-%d %H:%M:%S %Z")},
        "commit": current_commit(),
        "options": vars(options),
        "harness": fields,
        "watch": {"seconds_asked": watch_seconds, "ready_after_s": ready_at, "soak_end_s": soak_end,
                  "end_s": end_at, "exit_status": watch.returncode, "lines": len(objects),
                  "unparsed_lines": broken, "idle_shells_listed_first": idle_shells,
                  "scan": objects[-1] if objects and objects[-1].get("type") == "scan" else None},
        "counts": counts,
        "summary": summary,
        "rss_kib": {"start": start_rss, "end": end_rss, "min": min(during) if during else None,
                    "max": max(during) if during else None, "each_minute": minutes,
                    "end_less_start": (end_rss - start_rss) if None not in (start_rss, end_rss) else None},
        "load_1min_during": {"min": min(sample["load"][0] for sample in samples),
                             "max": max(sample["load"][0] for sample in samples),
                             "mean": statistics.mean(sample["load"][0] for sample in samples)} if samples else None,
        "misses": misses,
    }
    with open(os.path.join(out, "soak.json"), "w") as written:
        json.dump(document, written, indent=1)
    print_table(document)
    problems = []
    if counts["failed_to_start"]:
        problems.append("%d shells did not start" % counts["failed_to_start"])
    if watch.returncode != 0 or document["watch"]["scan"] is None:
        problems.append("the watch ended with status %d, %s scan object last" % (
            watch.returncode, "a" if document["watch"]["scan"] else "no"))
    if misses:
        problems.append("%d shells not reported exactly once with both lines" % len(misses))
    if document["rss_kib"]["end_less_start"] is not None and abs(document["rss_kib"]["end_less_start"]) > 1024:
        problems.append("resident set moved %d KiB" % document["rss_kib"]["end_less_start"])
    for problem in problems:
        print("problem: " + problem, file=sys.stderr)
    return 1 if problems else 0


def fuzzers_running():
    """The fuzzers beside the run (programs named *_fuzz), with their nice value."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as stat:
                text = stat.read()
            # The kernel's own name of a process is cut at 15 characters.
            with open("/proc/%s/cmdline" % pid, "rb") as command:
                name = os.path.basename(command.read().split(b"\0")[0].decode("utf-8", errors="replace"))
        except OSError:
            continue
        if name.endswith("_fuzz"):
            found.append({"name": name, "nice": int(text.rsplit(")", 1)[1].split()[16])})
    return found


def print_table(document):
    counts, rss, options = document["counts"], document["rss_kib"], document["options"]
    loads = document["load_1min_during"] or {}
    rows = [
        ("shells started", "%d of %d" % (counts["started"], counts["asked"])),
        ("with a shell line", "%d" % counts["shell_lines"]),
        ("with an ended line", "%d" % counts["ended_lines"]),
        ("with both", "%d" % counts["both"]),
        ("reported twice (shell, ended)", "%d, %d" % (counts["shell_duplicates"], counts["ended_duplicates"])),
        ("duplicates in the whole output", "%d" % counts["duplicates_in_output"]),
        ("lived under %d ms" % options["shortest_ms"], "%d" % counts["shorter_than_shortest"]),
        ("resident set, start / end", "%s / %s KiB (%+d KiB)" % (rss["start"], rss["end"], rss["end_less_start"] or 0)),
        ("resident set, min / max", "%s / %s KiB" % (rss["min"], rss["max"])),
        ("load (1 min), min / mean / max", "%.2f / %.2f / %.2f" % (loads.get("min", 0), loads.get("mean", 0),
                                                                  loads.get("max", 0))),
        ("misses", "%d" % len(document["misses"])),
    ]
    summary = document["summary"]
    for name, key in (("lifetime, ms", "lifetime_ms"), ("shell line after creation, ms", "shell_line_after_creation_ms"),
                      ("ended time less exit, ms", "ended_time_less_exit_ms")):
        if summary.get(key):
            rows.insert(-1, (name + ", min / median / max", "%.1f / %.1f / %.1f" % (
                summary[key]["min"], summary[key]["median"], summary[key]["max"])))
    if summary.get("start_late_ms"):
        rows.insert(-1, ("started after due, ms, median / max", "%.1f / %.1f" % (
            summary["start_late_ms"]["median"], summary["start_late_ms"]["max"])))
    print("| %d shells over %d s, %d idle targets | |" % (options["shells"], options["seconds"],
                                                         options["population"]))
    print("|---|---|")
    for name, value in rows:
        print("| %s | %s |" % (name, value))
    for miss in document["misses"]:
        print("miss: pid %d created %s lived %.0f ms: %d shell, %d ended lines" % (
            miss["pid"], miss["created"], miss["lifetime_ms"], miss["shell_lines"], miss["ended_lines"]))


if __name__ == "__main__":
    sys.exit(main())
