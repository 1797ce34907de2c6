#!/usr/bin/python3
"""Draws the scan benchmark's figure from its results.json (bench/bench.py).

Left: median wall time against N for the tool (-l and -j), the two floors
and Wine's start-up alone. Right: the cost per process in the snapshot,
start-up taken off, against N, with the call floor's own in-process time per
process. Other builds of the tool timed beside the current one (--compare)
are drawn dashed in both.

Usage: plot.py RESULTS_JSON OUTPUT_PNG
"""

import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402 (the back end is chosen first)

SERIES = [
    ("tool", "Murkscope64 -l", "tab:red", "o"),
    ("json", "Murkscope64 -j", "tab:purple", "D"),
    ("call", "call floor", "tab:blue", "s"),
    ("walk", "walk floor", "tab:green", "^"),
    ("idle", "start-up (does nothing)", "tab:gray", "x"),
]


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    with open(sys.argv[1]) as results:
        document = json.load(results)
    rows = document["summary"]
    machine = document["machine"]
    sizes = [row["N"] for row in rows]
    compared = document.get("compared") or []
    compared_colours = ["tab:orange", "tab:brown", "tab:olive", "tab:cyan"]

    figure, (times, costs) = plt.subplots(1, 2, figsize=(11, 4.4))
    for key, label, colour, marker in SERIES:
        times.plot(sizes, [row[key + "_ms"] for row in rows], marker=marker, color=colour, label=label)
    for index, build in enumerate(compared):
        times.plot(sizes, [row[build["label"] + "_ms"] for row in rows], linestyle="--", marker=".",
                   color=compared_colours[index % len(compared_colours)],
                   label="-l at %s (%s)" % (build["commit"][:7], build["label"]))
    times.set_xlabel("N (idle targets in the prefix)")
    times.set_ylabel("median wall time, ms")
    times.set_title("Run time, started inside the prefix")
    times.set_xticks(sizes)
    times.set_ylim(bottom=0)
    times.grid(alpha=0.3)
    times.legend(fontsize=8)

    for key, label, colour, marker in SERIES:
        if key == "idle":
            continue
        costs.plot(sizes, [row[key + "_net_ms"] * 1000 / row["processes"] for row in rows], marker=marker,
                   color=colour, label=label)
    for index, build in enumerate(compared):
        costs.plot(sizes, [row[build["label"] + "_per_process_us"] for row in rows], linestyle="--", marker=".",
                   color=compared_colours[index % len(compared_colours)],
                   label="-l at %s (%s)" % (build["commit"][:7], build["label"]))
    costs.plot(sizes, [row["call_per_process_us"] for row in rows], linestyle="--", color="tab:blue",
               label="call floor, in-process clock")
    costs.set_xlabel("N (idle targets in the prefix)")
    costs.set_ylabel("µs per process in the snapshot")
    costs.set_title("Cost per process, start-up taken off")
    costs.set_xticks(sizes)
    costs.set_ylim(bottom=0)
    costs.grid(alpha=0.3)
    costs.legend(fontsize=8)

    loads = [load["load"][0] for load in machine["loads"]]
    figure.suptitle("%s, %d cores, %d runs per point, load average %.1f–%.1f" % (
        machine["wine"], machine["nproc"], machine["runs_per_program"], min(loads), max(loads)), fontsize=10)
    figure.tight_layout()
    figure.savefig(sys.argv[2], dpi=100)
    return 0


if __name__ == "__main__":
    sys.exit(main())
