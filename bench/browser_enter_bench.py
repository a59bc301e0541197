#!/usr/bin/env python3
"""ENTER to the first rows on screen, in a real mpv under Xvfb against the stand-in service,
beside curl fetching the same response from the same stand-in, in alternating rounds.

Each round types a query and presses ENTER in the search field; measured is the time from the
key press to the overlay-add that publishes the rows, both read from mpv's own debug log (its
"Run command:" lines carry mpv's clock, millisecond resolution). The rows' overlay-add is the
first one after the stand-in received the round's request (times related through the ENTER
line); the screen's first-row area is checked to have changed too. Queries alternate between a
search and a playlist so that every round changes the rows. Right after, curl POSTs the very request body the plug-in
sent in that round (read from the stand-in's log) over a fresh TLS connection, as the API pool
did. Reported as a BENCH-ROW line (bench/benchlib.py) with every round's samples.

    SOLVANE_PLUGIN=build/solvane.so python3 bench/browser_enter_bench.py [rounds]
"""
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
from mpvharness import Mpv, StandIn, Xvfb, grab_screen  # noqa: E402
from benchlib import emit, loadavg  # noqa: E402

TITLE_BOX = (140, 40, 180, 14)
QUERIES = ["test", "playlist:PLoumn"]


def region(display):
    rgb = grab_screen(display)[2]
    x, y, w, h = TITLE_BOX
    return tuple(rgb(x + i, y + j) for j in range(0, h, 2) for i in range(0, w, 3))


COMMAND = re.compile(r'^\[\s*([0-9.]+)\]\[d\]\[cplayer\] Run command: (keypress|overlay-add), '
                     r'flags=\d+, args=\[(?:name="([^"]*)")?')


def enter_to_rows(log_path, rounds):
    """Milliseconds from each ENTER key press to its rows' overlay-add, by mpv's log clock.

    `rounds`: per round (wall time just before ENTER was sent, wall time the stand-in logged the
    round's request). mpv's log times are relative to its start; the ENTER line relates them to
    wall time, so the first overlay-add after the request arrived can be picked out."""
    events = []
    with open(log_path, errors="replace") as f:
        for line in f:
            m = COMMAND.match(line)
            if m:
                events.append((float(m.group(1)), m.group(2), m.group(3)))
    enters = [i for i, e in enumerate(events) if e[1] == "keypress" and e[2] == "ENTER"]
    if len(enters) != len(rounds):
        raise RuntimeError("%d ENTER lines in mpv's log for %d rounds" % (len(enters), len(rounds)))
    out = []
    for i, (sent, requested) in zip(enters, rounds):
        t_enter = events[i][0]
        offset = sent - t_enter  # wall time = log time + offset (to about a millisecond)
        for t, kind, _ in events[i + 1:]:
            if kind == "keypress":
                raise RuntimeError("no overlay-add after the request of the ENTER at %.3f" % t_enter)
            if kind == "overlay-add" and t + offset >= requested:
                out.append(round((t - t_enter) * 1000, 3))
                break
    return out


def curl_post(service, entry):
    """Seconds for curl to POST `entry` (a stand-in log entry) on a fresh TLS connection."""
    host = "www.youtube.com"
    args = ["curl", "-s", "-o", "/dev/null", "--cacert", service.ca,
            "--connect-to", "%s:443:127.0.0.1:%d" % (host, service.port),
            "-H", "content-type: application/json", "--data-binary", entry["body"],
            "https://%s%s" % (host, entry["path"])]
    start = time.monotonic()
    subprocess.run(args, check=True)
    return time.monotonic() - start


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    print("load average before: %s" % loadavg(), flush=True)
    x = Xvfb("960x600x24")
    service = StandIn()
    m = Mpv(config={}, display=x.display, env=service.env,
            extra=["--vo=x11", "--force-window=yes", "--geometry=960x600+0+0"])
    rounds, curl = [], []
    try:
        m.wait_ready()
        m.wait_until(lambda: (m.get("osd-dimensions") or {}).get("w", 0) == 960, timeout=10)
        m.command(["script-message", "solfb-show"])
        time.sleep(1)
        for i in range(runs):
            m.command(["keypress", "Ctrl+a"])
            m.command(["keypress", "BS"])
            for k in QUERIES[i % 2]:
                m.command(["keypress", k])
                time.sleep(0.02)
            time.sleep(0.3)
            seen = len([e for e in service.log() if e["path"].startswith("/youtubei/v1/")])
            before = region(x.display)
            sent = time.time()
            m.command(["keypress", "ENTER"])
            start = time.monotonic()
            while region(x.display) == before:
                if time.monotonic() - start > 10:
                    raise TimeoutError("rows did not change")
            time.sleep(1.5)  # let the thumbnails arrive before the reference runs
            log = [e for e in service.log() if e["path"].startswith("/youtubei/v1/")]
            if len(log) != seen + 1:
                raise RuntimeError("%d requests for one ENTER" % (len(log) - seen))
            rounds.append((sent, log[-1]["time"]))
            curl.append(curl_post(service, log[-1]) * 1000)
        m.quit()
        enter = enter_to_rows(os.path.join(m.dir, "mpv-debug.log"), rounds)
    finally:
        m.close()
        service.close()
        x.close()
    emit("ENTER to rows published", "ms", "mpv with the plug-in, stand-in", enter,
         "curl, same request, fresh connection", curl, goal="<= 1.5x",
         note="key press to the rows' overlay-add, by mpv's log clock (1 ms resolution)")
    print("load average after: %s" % loadavg(), flush=True)


if __name__ == "__main__":
    main()
