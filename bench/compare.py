#!/usr/bin/env python3
"""Runs every comparison of BENCHMARKS.md, interleaved, and writes the table. Called by
bench/run.sh after it has built the benchmarks; see BENCHMARKS.md for the method.

    python3 bench/compare.py --build BUILD_DIR [--rounds N] [--only NAME,...] [--update]

Compiled benchmarks (Google Benchmark): each round runs the plug-in's benchmark in one process,
then its reference in another (--benchmark_filter picks one; Google Benchmark repeats it until
its time is stable and reports the mean of that run); the next round starts again with the
plug-in. End-to-end scripts alternate (or run side by side) on their own and report their
samples as BENCH-ROW lines (bench/benchlib.py). Absent benchmarks are skipped with a note.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from benchlib import ROW_PREFIX, figures, loadavg  # noqa: E402

# Compiled comparisons: (key, measure, binary, plug-in benchmark, reference candidates, time
# field, goal). A candidate is a list of words that must all appear in the benchmark's name;
# the first candidate found is used.
COMPILED = [
    ("gets", "100 small GETs through the image pool", "net_download_bench",
     "BM_pool_100_small_gets", [["BM_curl_100_small_gets"]], "real_time", "<= 0.5x"),
    # The on-demand readers are simdjson's; RapidJSON stands in when they are absent.
    ("parse-search", "parse_listing, search page", "service_parse_bench", "listing/search",
     [["ondemand", "search"], ["rapid", "search"]], "cpu_time",
     "<= 1.5x simdjson"),
    ("parse-browse", "parse_listing, browse page", "service_parse_bench", "listing/browse",
     [["ondemand", "browse"], ["rapid", "browse"]], "cpu_time",
     "<= 1.5x simdjson"),
    ("json", "JSON navigator, search rows", "base_json_bench", "navigator",
     [["rapidjson_tree"]], "cpu_time", None),
    ("text-line", "text_draw, one line of 80 characters", "gfx_text_bench", "text_draw_line",
     [["reference_stb_line"]], "cpu_time", None),
    ("text-paragraph", "text_draw, 1,000 characters word-wrapped", "gfx_text_bench",
     "text_draw_paragraph_words", [["reference_stb_paragraph"]], "cpu_time", None),
    ("scale", "surface_scale of a thumbnail", "gfx_surface_bench", "scale_thumbnail",
     [["reference_stbir_resize"]], "cpu_time", None),
    ("redraw", "full redraw, 1920 x 1080", "toolkit_redraw_bench",
     "full_redraw/1920x1080_scale1", [["frame_memcpy/1920x1080"]], "cpu_time", None),
    ("thumbnail", "thumbnail arrival to row published", "browser_screens_bench",
     "BM_ThumbnailToRowPublished", [["BM_FrameCopy"]], "real_time", None),
]

# End-to-end scripts: (key, script, arguments before the rounds, what it measures).
SCRIPTS = [
    ("enter", "browser_enter_bench.py", [], "ENTER to rows published vs curl, fresh connection"),
    ("feed", "playback_feed_bench.py", ["feed"], "feed of 50 favourites vs curl, 4 kept connections"),
    ("memory", "session_bench.py", ["memory"], "RSS after browsing vs mpv with the plug-in idle"),
    ("cpu", "session_bench.py", ["cpu"], "CPU shown and idle vs hidden and idle"),
    ("instant-play", "instant_play_bench.py", [], "instant play, Ctrl+P to path, on vs off"),
]

# Compiled benchmarks that alternate on their own and print BENCH-ROW lines, given the rounds as
# their argument: (key, binary, what it measures).
ROW_BINARIES = [
    ("fallback", "gfx_fallback_bench", "text with fallback fonts vs the pixel font; cold vs warm CJK"),
]

UNITS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1000.0}


def listed(binary):
    out = subprocess.run([binary, "--benchmark_list_tests"], capture_output=True, text=True,
                         check=True).stdout
    return [line.strip() for line in out.splitlines() if line.strip()]


def run_one(binary, name, field):
    """One process running one benchmark: its time in milliseconds."""
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run([binary, "--benchmark_filter=^%s$" % re.escape(name),
                        "--benchmark_out=" + out.name, "--benchmark_out_format=json"],
                       capture_output=True, text=True, check=True)
        report = json.load(open(out.name))
    result = [b for b in report["benchmarks"] if b.get("run_type") != "aggregate"]
    if len(result) != 1:
        raise RuntimeError("%s %s: %d results" % (binary, name, len(result)))
    return result[0][field] * UNITS[result[0]["time_unit"]]


def compiled_row(build, rounds, key, measure, binary, plugin, candidates, field, goal, log):
    path = os.path.join(build, "bench", binary)
    if not os.path.exists(path):
        return None, "%s: %s not built" % (measure, binary)
    names = listed(path)
    # Options a benchmark was registered with follow its name ("/iterations:10/manual_time").
    plugin = next((n for n in names if n == plugin or n.startswith(plugin + "/")), plugin)
    if plugin not in names:
        return None, "%s: %s has no benchmark %s" % (measure, binary, plugin)
    found = [(i, n) for i, words in enumerate(candidates) for n in names
             if n != plugin and all(w in n for w in words)]
    if not found:
        return None, "%s: no reference benchmark in %s" % (measure, binary)
    choice, reference = found[0]
    p, r = [], []
    for i in range(rounds):
        p.append(run_one(path, plugin, field))
        r.append(run_one(path, reference, field))
        log.write("%s round %d: %s %.4f ms, %s %.4f ms\n" % (key, i + 1, plugin, p[-1],
                                                           reference, r[-1]))
    row = {"measure": measure, "unit": "ms (%s)" % field.replace("_time", ""), "kind": "ratio",
           "plugin": {"label": plugin, "samples": p},
           "reference": {"label": "%s %s" % (binary, reference), "samples": r}}
    if goal:
        row["goal"] = goal
    if choice > 0:
        row["note"] = "no %s benchmark was found, so the reference is %s" % (
            " ".join(candidates[0]), reference)
    return row, None


def script_rows(build, rounds, script, arguments, log):
    path = os.path.join(HERE, script)
    if script.endswith(".py"):
        command = [sys.executable, path]
    else:
        path = os.path.join(build, "bench", script)
        command = [path]
    if not os.path.exists(path):
        return [], "bench/%s not present" % script
    env = dict(os.environ, SOLVANE_PLUGIN=os.path.join(build, "solvane.so"),
               SOLVANE_BUILD=build)
    proc = subprocess.run(command + arguments + [str(rounds)], env=env,
                          capture_output=True, text=True)
    log.write("== %s %s\n%s\n%s\n" % (script, " ".join(arguments), proc.stdout, proc.stderr))
    rows = [json.loads(line[len(ROW_PREFIX):]) for line in proc.stdout.splitlines()
            if line.startswith(ROW_PREFIX)]
    if proc.returncode != 0:
        return rows, "bench/%s %s failed (status %d; see the log)" % (
            script, " ".join(arguments), proc.returncode)
    if not rows:
        return rows, "bench/%s %s reported no BENCH-ROW line" % (script, " ".join(arguments))
    return rows, None


def number(value):
    return "%.3g" % value if abs(value) < 100 else "%.0f" % value


def table(rows):
    lines = ["| measure | plug-in | min | median | reference | min | median | unit | result "
             "| goal |", "|---|---|---|---|---|---|---|---|---|---|"]
    notes = []
    for row in rows:
        pmin, pmed, rmin, rmed, relation = figures(row)
        unit = row["unit"]
        result = ("%+.1f %s" % (relation, unit) if row.get("kind") == "difference"
                  else "%.2f x" % relation)
        lines.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            row["measure"], row["plugin"]["label"], number(pmin), number(pmed),
            row["reference"]["label"], number(rmin), number(rmed), unit, result,
            row.get("goal", "")))
        if row.get("note"):
            notes.append("%s: %s." % (row["measure"], row["note"]))
    return "\n".join(lines + [""] + notes)


BEGIN, END = "<!-- bench/run.sh: begin -->", "<!-- bench/run.sh: end -->"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--only", default="")
    parser.add_argument("--update", action="store_true",
                        help="replace the table in BENCHMARKS.md")
    args = parser.parse_args()
    if args.rounds < 10 and args.update:
        sys.exit("BENCHMARKS.md takes figures from at least 10 rounds")
    only = set(filter(None, args.only.split(",")))
    build = os.path.abspath(args.build)
    log_path = os.path.join(build, "bench-log.txt")
    rows, notes = [], []
    load_before = loadavg()
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    with open(log_path, "w") as log:
        for key, *spec in COMPILED:
            if only and key not in only:
                continue
            print("running %s ..." % spec[0], flush=True)
            row, note = compiled_row(build, args.rounds, key, *spec, log)
            if row:
                rows.append(row)
            if note:
                notes.append(note)
        for key, binary, what in ROW_BINARIES:
            if only and key not in only:
                continue
            print("running %s (%s) ..." % (binary, what), flush=True)
            found, note = script_rows(build, args.rounds, binary, [], log)
            rows += found
            if note:
                notes.append(note)
        for key, script, arguments, what in SCRIPTS:
            if only and key not in only:
                continue
            print("running %s (%s) ..." % (script, what), flush=True)
            found, note = script_rows(build, args.rounds, script, arguments, log)
            rows += found
            if note:
                notes.append(note)
    load_after = loadavg()
    text = "\n".join([
        table(rows), "",
        "%d rounds, run %s; load average (1, 5, 15 min) %s before and %s after; %d cores." % (
            args.rounds, started, load_before, load_after, os.cpu_count()),
    ] + ["Skipped or incomplete: %s." % n for n in notes])
    print()
    print(text)
    with open(os.path.join(build, "bench-results.md"), "w") as f:
        f.write(text + "\n")
    with open(os.path.join(build, "bench-results.json"), "w") as f:
        json.dump({"rows": rows, "notes": notes, "loadavg": [load_before, load_after],
                   "rounds": args.rounds}, f, indent=1)
    if args.update:
        path = os.path.join(ROOT, "BENCHMARKS.md")
        with open(path) as f:
            doc = f.read()
        if BEGIN not in doc or END not in doc:
            sys.exit("BENCHMARKS.md has no table markers")
        head, rest = doc.split(BEGIN, 1)
        _, tail = rest.split(END, 1)
        with open(path, "w") as f:
            f.write(head + BEGIN + "\n" + text + "\n" + END + tail)
        print("BENCHMARKS.md updated")


if __name__ == "__main__":
    main()
