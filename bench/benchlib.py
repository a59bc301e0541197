"""Shared by the end-to-end benchmarks and bench/run.sh: the result rows every comparison
reports and the figures made from them.

A benchmark script prints one line per comparison, "BENCH-ROW " followed by a JSON object:

    {"measure": "...", "unit": "ms", "kind": "ratio" | "difference",
     "plugin": {"label": "...", "samples": [...]},
     "reference": {"label": "...", "samples": [...]},
     "goal": "<= 1.5x" (optional), "note": "..." (optional)}

Samples are per round; rounds alternate between the plug-in and its reference (or run both
side by side at the same time), so both sides see the same machine. The table gives min and
median of each side and the ratio (or difference) of the medians.
"""
import json
import statistics

ROW_PREFIX = "BENCH-ROW "


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def emit(measure, unit, plugin_label, plugin, reference_label, reference, kind="ratio",
         goal=None, note=None):
    row = {"measure": measure, "unit": unit, "kind": kind,
           "plugin": {"label": plugin_label, "samples": list(plugin)},
           "reference": {"label": reference_label, "samples": list(reference)}}
    if goal:
        row["goal"] = goal
    if note:
        row["note"] = note
    print(ROW_PREFIX + json.dumps(row), flush=True)
    return row


def figures(row):
    """(plug-in min, median, reference min, median, ratio or difference of the medians)."""
    p, r = row["plugin"]["samples"], row["reference"]["samples"]
    pm, rm = statistics.median(p), statistics.median(r)
    if row.get("kind") == "difference":
        relation = pm - rm
    else:
        relation = pm / rm if rm else float("inf")
    return min(p), pm, min(r), rm, relation


def cpu_ns(pid):
    """CPU time of every live thread of `pid` in nanoseconds (/proc/PID/task/*/schedstat), far
    finer than the 10 ms ticks of /proc/PID/stat."""
    import os
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # the thread ended between the listing and the read
    return total


def memory_kib(pid):
    """(VmRSS, VmHWM) of `pid` in KiB."""
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0])
    return values["VmRSS"], values["VmHWM"]
