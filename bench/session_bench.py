#!/usr/bin/env python3
"""Memory and idle CPU of a real mpv with the plug-in, under Xvfb, against the stand-in service.

memory: each round starts a fresh mpv with the plug-in, shows the interface and lets it settle;
        its resident size then is the round's reference (mpv with the plug-in, idle). It then
        browses 340 rows (three 100-row playlist pages and two 20-row search pages, thumbnails
        downloaded) and opens 20 videos in the details view (player and recommendations
        requests, three storyboard frames each), waits until the stand-in has seen no request
        for a second and a half, and reads the resident size again and its peak (VmRSS and
        VmHWM of /proc/PID/status). Reported: the differences of the medians, in MiB.

cpu:    two mpv with the plug-in side by side, each on its own Xvfb, neither loading anything;
        the interface shown in one and hidden in the other. After settling, each round reads the
        CPU time of every thread of both processes (/proc/PID/task/*/schedstat, nanoseconds)
        over the same few seconds. Reported: CPU milliseconds per second, shown against hidden.

    SOLVANE_PLUGIN=build/solvane.so python3 bench/session_bench.py memory|cpu [rounds]
"""
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
from mpvharness import PLUGIN, Mpv, StandIn, Xvfb  # noqa: E402
from benchlib import cpu_ns, emit, loadavg, memory_kib  # noqa: E402

SIZE = (960, 600)
WINDOW = ["--vo=x11", "--force-window=yes", "--geometry=%dx%d+0+0" % SIZE]
LIST_TOP = 34
ROW = 72
# 3 x 100 + 2 x 20 rows.
QUERIES = ["playlist:PLoumn", "test", "playlist:PLoumn", "test", "playlist:PLoumn"]
DETAILS_VIEWS = 20
QUIET = 1.5        # seconds without a request to the stand-in: the browsing has settled
CPU_SETTLE = 3.0
CPU_ROUND = 3.0    # seconds per CPU round


def start(display, env=None, plugin=PLUGIN):
    m = Mpv(config={}, display=display, env=env, extra=WINDOW, plugin=plugin)
    m.wait_ready()
    m.wait_until(lambda: (m.get("osd-dimensions") or {}).get("w", 0) == SIZE[0], timeout=10)
    return m


def count(service, prefix):
    return sum(1 for e in service.log() if e["path"].startswith(prefix))


def wait_for(condition, timeout=15, what="condition"):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.05)


def wait_quiet(service, timeout=30):
    """Until the stand-in has seen no new request for QUIET seconds."""
    seen, since = len(service.log()), time.monotonic()
    deadline = since + timeout
    while time.monotonic() - since < QUIET:
        if time.monotonic() > deadline:
            raise TimeoutError("the downloads did not settle")
        time.sleep(0.25)
        now = len(service.log())
        if now != seen:
            seen, since = now, time.monotonic()


def type_query(m, text):
    m.command(["keypress", "Ctrl+a"])
    m.command(["keypress", "BS"])
    # One key at a time: mpv drops keys sent faster than it handles them.
    for k in list(text) + ["ENTER"]:
        m.command(["keypress", "SPACE" if k == " " else k])
        time.sleep(0.02)


def browse(m, service):
    for query in QUERIES:
        before = count(service, "/youtubei/v1/")
        type_query(m, query)
        wait_for(lambda: count(service, "/youtubei/v1/") > before, what="list request")
        wait_quiet(service)
    # Select the first row, then open it and each next row in the details view.
    m.command(["mouse", 200, LIST_TOP + ROW // 2])
    time.sleep(0.2)
    m.command(["mouse", 200, LIST_TOP + ROW // 2, 0, "single"])
    time.sleep(0.2)
    for _ in range(DETAILS_VIEWS):
        before = count(service, "/youtubei/v1/player")
        m.command(["keypress", "ENTER"])
        wait_for(lambda: count(service, "/youtubei/v1/player") > before, what="player request")
        time.sleep(0.3)
        m.command(["keypress", "DOWN"])
        time.sleep(0.05)
    wait_quiet(service)
    frames = sum(1 for e in service.log() if e["path"].endswith(("/mq1.jpg", "/mq2.jpg")))
    if frames < DETAILS_VIEWS * 2:
        raise RuntimeError("only %d storyboard frames requested: the details views did not "
                           "open %d videos" % (frames, DETAILS_VIEWS))


def bench_memory(rounds, plugin):
    idle, after, peak = [], [], []
    for _ in range(rounds):
        x = Xvfb("%dx%dx24" % SIZE)
        service = StandIn()
        m = None
        try:
            m = start(x.display, service.env, plugin)
            m.command(["script-message", "solfb-show"])
            wait_quiet(service)
            idle.append(memory_kib(m.proc.pid)[0] / 1024)
            browse(m, service)
            time.sleep(1.0)
            rss, hwm = memory_kib(m.proc.pid)
            after.append(rss / 1024)
            peak.append(hwm / 1024)
        finally:
            if m:
                m.close()
            service.close()
            x.close()
    emit("RSS after 340 rows and 20 details views", "MiB", "after browsing", after,
         "mpv with the plug-in, idle", idle, kind="difference", goal="<= +40 MiB")
    emit("Peak RSS while browsing 340 rows and 20 details views", "MiB", "peak (VmHWM)", peak,
         "mpv with the plug-in, idle", idle, kind="difference", goal="<= +40 MiB")


def bench_cpu(rounds, plugin):
    xs = [Xvfb("%dx%dx24" % SIZE), Xvfb("%dx%dx24" % SIZE)]
    ms = []
    try:
        ms = [start(x.display, plugin=plugin) for x in xs]
        ms[0].command(["script-message", "solfb-show"])
        time.sleep(CPU_SETTLE)
        shown, hidden = [], []
        pids = [m.proc.pid for m in ms]
        for _ in range(rounds):
            before = [cpu_ns(p) for p in pids]
            start_time = time.monotonic()
            time.sleep(CPU_ROUND)
            used = [cpu_ns(p) - b for p, b in zip(pids, before)]
            wall = time.monotonic() - start_time
            shown.append(used[0] / 1e6 / wall)
            hidden.append(used[1] / 1e6 / wall)
    finally:
        for m in ms:
            m.close()
        for x in xs:
            x.close()
    emit("CPU while idle, interface shown", "ms CPU/s", "shown, idle", shown,
         "hidden, idle", hidden, goal="<= 2x",
         note="two mpv with the plug-in side by side, same %.0f s rounds" % CPU_ROUND)


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in ("memory", "cpu"):
        sys.exit(__doc__)
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    plugin = os.environ.get("SOLVANE_PLUGIN", PLUGIN)
    print("load average before: %s" % loadavg(), flush=True)
    (bench_memory if sys.argv[1] == "memory" else bench_cpu)(rounds, plugin)
    print("load average after: %s" % loadavg(), flush=True)


if __name__ == "__main__":
    main()
