#!/usr/bin/env python3
"""ENTER to the first rows on screen, in a real mpv under Xvfb against the stand-in service,
beside curl fetching the same response from the same stand-in, in alternating rounds.

Each round types a query and presses ENTER in the search field; the time until the first row's
title area of the X screen changes is measured (the screen is polled with xwd, about every
15 ms, so figures carry that resolution). Queries alternate between a search and a playlist so
that every round changes the rows. Right after, curl POSTs the very request body the plug-in
sent in that round (read from the stand-in's log) over a fresh TLS connection, as the API pool
did. Reported as a BENCH-ROW line (bench/benchlib.py) with every round's samples.

    SOLVANE_PLUGIN=build/solvane.so python3 bench/browser_enter_bench.py [rounds]
"""
import os
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
    enter, curl = [], []
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
            start = time.monotonic()
            m.command(["keypress", "ENTER"])
            while region(x.display) == before:
                if time.monotonic() - start > 10:
                    raise TimeoutError("rows did not change")
            enter.append((time.monotonic() - start) * 1000)
            time.sleep(1.5)  # let the thumbnails arrive before the reference runs
            log = [e for e in service.log() if e["path"].startswith("/youtubei/v1/")]
            if len(log) != seen + 1:
                raise RuntimeError("%d requests for one ENTER" % (len(log) - seen))
            curl.append(curl_post(service, log[-1]) * 1000)
    finally:
        m.close()
        service.close()
        x.close()
    emit("ENTER to rows on screen", "ms", "mpv with the plug-in, stand-in", enter,
         "curl, same request, fresh connection", curl, goal="<= 1.5x",
         note="screen polled with xwd about every 15 ms")
    print("load average after: %s" % loadavg(), flush=True)


if __name__ == "__main__":
    main()
