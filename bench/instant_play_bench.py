#!/usr/bin/env python3
"""Ctrl+P to mpv's `path`, with instant play on (after "ready to play") against off, in two real
mpv processes under Xvfb against the stand-in service with its playable media.

Each round opens a new video in both players through a `video:` query (on first, then off, so
the rounds interleave), waits until it is ready (on: the plug-in's "ready to play" line; off: its
storyboard frames have arrived), then sends Ctrl+P and times until mpv sets `path` to the video.
Both ends are read from mpv's own terminal log with its clock (--msg-time, microseconds): the
key press is its "Run command: keypress" line, and `path` is set by the time of the first
"Setting option" line after it: mpv applying the per-file options the plug-in's loadfile carries
(both ways of playing pass some), which it does right after setting `path` and looking up the
file's resume position. Polling mpv over its IPC socket instead would add a millisecond of socket
round trips to both sides; the poll still checks that `path` names the video. After
each round the player is stopped, so every Ctrl+P starts from an idle player and the figures leave
out mpv's own time to close the previous file (the same with instant play on and off; with
--replace the rounds keep it in, as when one video follows another). Both
players use the default extractor (HLS master) with SponsorBlock, so the chain that instant play
moves ahead is the stream request, the master playlist and the segments. The plug-in's requests
between the key and the load are counted (mpv's own media requests carry its user agent).

    SOLVANE_PLUGIN=build/solvane.so python3 bench/instant_play_bench.py [rounds] [--replace]

Prints one markdown table row: rounds, on (min, median), off (min, median), median ratio, and the
plug-in's requests after the key with instant play on.
"""
import os
import re
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
from mpvharness import Mpv, StandIn, Xvfb  # noqa: E402
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import emit  # noqa: E402

WINDOW = ["--vo=x11", "--force-window=yes", "--geometry=960x600+0+0", "--tls-verify=no",
          "--pause", "--terminal=yes", "--msg-time", "--msg-module",
          "--msg-level=all=no,cplayer=debug"]
KEY_LINE = re.compile(r'^\[\s*([0-9.]+)\]\s+cplayer: Run command: keypress, flags=\d+, '
                      r'args=\[name="Ctrl\+p"\]', re.M)
PATH_LINE = re.compile(r"^\[\s*([0-9.]+)\]\s+cplayer: Setting option '", re.M)


def key_to_path(m, rounds_before):
    """Seconds by mpv's clock from the Ctrl+P of round `rounds_before` (0-based, counting this
    player's Ctrl+P lines) to mpv setting `path` for the file it loads."""
    # mpv may write the lines a moment after `path` is seen set over IPC.
    deadline = time.monotonic() + 5
    while True:
        output = m.output()
        keys_seen = list(KEY_LINE.finditer(output))
        loaded = keys_seen and PATH_LINE.search(output, keys_seen[-1].end())
        if loaded or time.monotonic() > deadline:
            break
        time.sleep(0.02)
    if len(keys_seen) != rounds_before + 1:
        raise RuntimeError("%d Ctrl+P lines in mpv's log, %d expected"
                           % (len(keys_seen), rounds_before + 1))
    key = keys_seen[-1]
    if not loaded:
        raise RuntimeError("no file opened after Ctrl+P in mpv's log")
    return float(loaded.group(1)) - float(key.group(1))
CONFIG = {"sponsorblock": True, "generate_chapters": True, "use_edl": True}


def keys(m, *names):
    for k in names:
        m.command(["keypress", k])
        time.sleep(0.02)


def wait(condition, timeout=20):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError("condition not met")
        time.sleep(0.02)


def start(service, display, instant):
    m = Mpv(config=dict(CONFIG, instant_play=instant), display=display, env=service.env,
            extra=WINDOW)
    m.wait_ready()
    m.wait_until(lambda: (m.get("osd-dimensions") or {}).get("w", 0) == 960, timeout=10)
    return m


def round_trip(m, service, video, instant, stop, index):
    """Opens `video`, waits until it is ready, presses Ctrl+P; returns (seconds from the key to
    the load, the plug-in's requests in between)."""
    m.command(["script-message", "solfb-show"])
    wait(lambda: m.sections().get("solfb-section", {-1}) != {-1})
    keys(m, "F6", "Ctrl+a", "BS", *("video:" + video), "ENTER")
    if instant:
        wait(lambda: "INFO: ready to play: " + video in m.output())
    else:
        wait(lambda: any(e["path"].startswith("/vi/%s/mq3" % video) for e in service.log()))
        time.sleep(0.3)
    pressed = len(service.log())
    start = time.monotonic()
    m.command(["keypress", "Ctrl+p"])
    while video not in (m.command(["get_property", "path"], check=False) or ""):
        if time.monotonic() - start > 20:
            raise TimeoutError("no load")
    elapsed = key_to_path(m, index)
    requests = [e for e in service.log()[pressed:] if e["user_agent"] != "libmpv"]
    if stop:
        m.command(["stop"])
        wait(lambda: m.command(["get_property", "path"], check=False) is None)
    return elapsed, requests


def main():
    numbers = [a for a in sys.argv[1:] if not a.startswith("--")]
    rounds = int(numbers[0]) if numbers else 10
    stop = "--replace" not in sys.argv[1:]
    service = StandIn(media=True)
    screens = [Xvfb("960x600x24"), Xvfb("960x600x24")]
    players = {}
    try:
        players[True] = start(service, screens[0].display, True)
        players[False] = start(service, screens[1].display, False)
        times = {True: [], False: []}
        after_key = 0
        for i in range(rounds):
            for instant in (True, False):
                video = "bnch%s%06d" % ("n" if instant else "f", i)
                elapsed, requests = round_trip(players[instant], service, video, instant, stop,
                                               i)
                times[instant].append(elapsed * 1000)
                if instant:
                    after_key += len([e for e in requests if video in e["path"]
                                      or video in (e["body"] or "")])
    finally:
        for m in players.values():
            m.close()
        for x in screens:
            x.close()
        service.close()
    on, off = times[True], times[False]
    print("| Ctrl+P to mpv `path`, %d interleaved rounds%s | on: min %.1f ms, median %.1f ms | "
          "off: min %.1f ms, median %.1f ms | %.3fx | %d |"
          % (rounds, "" if stop else ", replacing the playing file", min(on),
             statistics.median(on), min(off), statistics.median(off),
             statistics.median(on) / statistics.median(off), after_key))
    emit("instant play: Ctrl+P to mpv path%s" % ("" if stop else ", replacing the playing file"),
         "ms", "instant_play on, after \"ready to play\"", on, "instant_play off", off,
         goal="<= 0.1x", note="%d plug-in requests for the video after the key with it on"
         % after_key)


if __name__ == "__main__":
    main()
