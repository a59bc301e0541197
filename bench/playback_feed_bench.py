#!/usr/bin/env python3
"""Two end-to-end measurements in a real mpv under Xvfb, each beside a reference taken in the
same run.

1. Feed of 50 favourites ("feed [rounds]" alone, as bench/run.sh runs it, with the plug-in's
   and curl's rounds alternating). The favourites file holds 50 playlists; Ctrl+G (show_feed) sends one
   RSS request per favourite through the request queue and the API pool to the stand-in
   service, which answers each with a distinct 15-entry feed. Measured: from just before the
   keypress to the first screen read that was begun after the 50th feed request arrived at the
   stand-in and shows the final list (row titles, scroll bar and status line as they stay
   once everything is in). The areas are read with XGetImage every few milliseconds (the
   interval is printed; it is the resolution). Reference: curl fetching the same 50 feed URLs
   from the same stand-in with four parallel connections (--parallel --parallel-max 4), one
   process, status 200 checked.

2. CPU while idle. mpv with the plug-in loaded and never shown beside mpv without it (same
   arguments otherwise), each on its own Xvfb, run at the same time; CPU time (utime + stime of
   /proc/PID/stat, every thread) over the same interval after start-up has settled. Once idle
   (nothing loaded), once playing a generated video (lavfi testsrc) in both.

    SOLVANE_PLUGIN=build/solvane.so python3 bench/playback_feed_bench.py [rounds]
"""
import ctypes
import ctypes.util
import hashlib
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
from mpvharness import MPV_ARGS, Mpv, StandIn, Xvfb  # noqa: E402
from benchlib import emit  # noqa: E402

FAVOURITES = 50
FEED_HOST = "www.youtube.com"
SIZE = (960, 600)
WINDOW = ["--vo=x11", "--force-window=yes", "--geometry=%dx%d+0+0" % SIZE]
# Screen areas of the list that a merged feed response changes: the row titles (right of the
# thumbnails, which keep arriving on their own), the list's scroll bar and the status line.
# Each is (x, y, width, height) at the 960 x 600 window size.
AREAS = [(130, 38, 215, 480), (346, 36, 14, 486), (0, 582, 360, 16)]
POLL = 0.003     # seconds between screen reads
SETTLED = 1.5     # the areas unchanged this long: the round is over
IDLE_SETTLE = 3.0
IDLE_SECONDS = 20.0
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def favourites_text(count=FAVOURITES):
    lines = ["["]
    for i in range(count):
        lines.append('  {"type": "playlist", "id": "UUbench%017d", "title": "Bench playlist %d", '
                     '"thumb_id": "bench%06d", "count": "15 Videos"},' % (i, i, i))
    lines += ["  null", "]"]
    return "\n".join(lines) + "\n"


def playlist_ids(count=FAVOURITES):
    return ["UUbench%017d" % i for i in range(count)]


class Screen:
    """Reads AREAS of the X screen with XGetImage (libX11 through ctypes): a few small
    rectangles per poll instead of a whole-screen xwd dump, so that polling every few
    milliseconds takes little of the CPU the plug-in and the stand-in need."""

    class XImage(ctypes.Structure):
        _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                    ("format", ctypes.c_int), ("data", ctypes.c_void_p),
                    ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                    ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                    ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
                    ("bits_per_pixel", ctypes.c_int)]

    def __init__(self, display):
        x = ctypes.CDLL(ctypes.util.find_library("X11"))
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XGetImage.restype = ctypes.POINTER(Screen.XImage)
        x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        x.XFree.argtypes = [ctypes.c_void_p]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.x = x
        self.display = x.XOpenDisplay(display.encode())
        if not self.display:
            raise RuntimeError("cannot open display " + display)
        self.root = x.XDefaultRootWindow(self.display)

    def areas(self):
        parts = []
        for left, top, w, h in AREAS:
            image = self.x.XGetImage(self.display, self.root, left, top, w, h,
                                     0xFFFFFFFF, 2)  # AllPlanes, ZPixmap
            if not image:
                raise RuntimeError("XGetImage failed")
            parts.append(ctypes.string_at(image.contents.data,
                                          image.contents.bytes_per_line * h))
            self.x.XFree(image.contents.data)
            self.x.XFree(image)
        return b"".join(parts)

    def close(self):
        self.x.XCloseDisplay(self.display)


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


# ---------------------------------------------------------------------------------------------
# Feed

def feed_requests(service):
    return [e for e in service.log() if e["path"].startswith("/feeds/videos.xml")]


def feed_round(m, service, screen):
    """One Ctrl+G: (seconds to the final list on screen, seconds to the 50th request's
    arrival, seconds to the first request's arrival, median seconds between screen reads)."""
    seen = len(feed_requests(service))
    grabs = []
    pressed = time.time()
    m.command(["keypress", "Ctrl+g"])
    last_change = time.monotonic()
    while True:
        at = time.time()
        areas = hashlib.blake2b(screen.areas(), digest_size=16).digest()
        if grabs and areas != grabs[-1][1]:
            last_change = time.monotonic()
        grabs.append((at, areas))
        if time.monotonic() - last_change > SETTLED and len(grabs) > 10:
            break
        if time.time() - pressed > 30:
            raise TimeoutError("the feed did not settle")
        time.sleep(POLL)
    requests = feed_requests(service)[seen:]
    if len(requests) != FAVOURITES:
        raise RuntimeError("%d feed requests instead of %d" % (len(requests), FAVOURITES))
    wanted = set(playlist_ids())
    asked = {e["path"].split("playlist_id=", 1)[1] for e in requests}
    if asked != wanted:
        raise RuntimeError("feed requests for other playlists: %s" % sorted(asked ^ wanted)[:3])
    first = min(e["time"] for e in requests)
    last = max(e["time"] for e in requests)
    final = grabs[-1][1]
    shown = next((at for at, areas in grabs if at >= last and areas == final), None)
    if shown is None:
        raise RuntimeError("no screen grab after the last feed request")
    gaps = [b[0] - a[0] for a, b in zip(grabs, grabs[1:])]
    return shown - pressed, last - pressed, first - pressed, statistics.median(gaps)


def curl_feeds(service):
    args = ["curl", "-s", "--http1.1", "--parallel", "--parallel-max", "4",
            "--cacert", service.ca,
            "--connect-to", "%s:443:127.0.0.1:%d" % (FEED_HOST, service.port),
            "-w", "%{http_code} %{size_download} %{num_connects}\n"]
    for playlist in playlist_ids():
        args += ["-o", "/dev/null",
                 "https://%s/feeds/videos.xml?playlist_id=%s" % (FEED_HOST, playlist)]
    start = time.monotonic()
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    seconds = time.monotonic() - start
    rows = [line.split() for line in out.splitlines() if line.strip()]
    if len(rows) != FAVOURITES or any(r[0] != "200" or int(r[1]) < 1000 for r in rows):
        raise RuntimeError("curl: unexpected results %s" % rows[:3])
    return seconds, sum(int(r[2]) for r in rows)


def bench_feed(rounds):
    x = Xvfb("%dx%dx24" % SIZE)
    service = StandIn()
    m = Mpv(config={}, files={"favlist.json": favourites_text()}, display=x.display,
            env=service.env, extra=WINDOW)
    rows = []
    try:
        m.wait_ready()
        m.wait_until(lambda: (m.get("osd-dimensions") or {}).get("w", 0) == SIZE[0], timeout=10)
        m.command(["script-message", "solfb-show"])
        time.sleep(1.5)
        screen = Screen(x.display)
        curl = []
        # Rounds alternate: the plug-in's feed, then curl's, against the same stand-in.
        for _ in range(rounds):
            rows.append(feed_round(m, service, screen))
            time.sleep(1.0)  # the last thumbnails of the round
            curl.append(curl_feeds(service))
        images = sum(1 for e in service.log() if e["host"] and e["host"] != FEED_HOST)
        screen.close()
    finally:
        m.close()
    x.close()
    service.close()
    return rows, curl, images


# ---------------------------------------------------------------------------------------------
# CPU

class BareMpv:
    """mpv as the harness starts it (same configuration folder layout, IPC socket and
    arguments), minus the plug-in."""

    def __init__(self, display, extra):
        self.dir = tempfile.mkdtemp(prefix="solvane-bench-")
        config = os.path.join(self.dir, "config")
        os.makedirs(os.path.join(config, "solvane"))
        sock_path = os.path.join(self.dir, "ipc.sock")
        args = (["mpv", "--config-dir=" + config, "--input-ipc-server=" + sock_path,
                 "--log-file=" + os.path.join(self.dir, "mpv-debug.log")]
                + MPV_ARGS + list(extra))
        env = dict(os.environ, DISPLAY=display)
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, env=env)
        deadline = time.monotonic() + 15
        while True:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(sock_path)
                self.sock = s
                break
            except OSError:
                s.close()
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    raise RuntimeError("mpv without the plug-in did not start")
                time.sleep(0.02)
        self.buf = b""

    def command(self, cmd):
        self.sock.sendall(json.dumps({"command": cmd, "request_id": 1}).encode() + b"\n")
        self.sock.settimeout(5)
        while True:
            while b"\n" in self.buf:
                line, self.buf = self.buf.split(b"\n", 1)
                reply = json.loads(line)
                if reply.get("request_id") == 1:
                    if reply["error"] != "success":
                        raise RuntimeError("%r failed: %s" % (cmd, reply["error"]))
                    return reply.get("data")
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("mpv closed the IPC connection")
            self.buf += data

    def close(self):
        self.proc.kill()
        self.proc.wait()
        self.sock.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def position(m):
    try:
        return m.command(["get_property", "time-pos"]) or 0
    except RuntimeError:  # nothing loaded yet
        return 0


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime (fields 14 and 15)


def bench_cpu(play):
    """CPU seconds over IDLE_SECONDS of mpv with the hidden plug-in and of mpv alone, run side
    by side; with `play`, both play the same generated video."""
    x1, x2 = Xvfb("%dx%dx24" % SIZE), Xvfb("%dx%dx24" % SIZE)
    plugin = bare = None
    try:
        plugin = Mpv(config={}, display=x1.display, extra=WINDOW)
        bare = BareMpv(x2.display, WINDOW)
        plugin.wait_ready()
        if play:
            source = "av://lavfi:testsrc=d=%d" % (IDLE_SECONDS + 30)
            for m in (plugin, bare):
                m.command(["loadfile", source])
            for m in (plugin, bare):
                deadline = time.monotonic() + 10
                while position(m) < 0.5:
                    if time.monotonic() > deadline:
                        raise TimeoutError("playback did not start")
                    time.sleep(0.1)
        time.sleep(IDLE_SETTLE)
        pids = [plugin.proc.pid, bare.proc.pid]
        before = [cpu_ticks(p) for p in pids]
        start = time.monotonic()
        time.sleep(IDLE_SECONDS)
        after = [cpu_ticks(p) for p in pids]
        wall = time.monotonic() - start
        if play:
            for m in (plugin, bare):
                if m.command(["get_property", "idle-active"]):
                    raise RuntimeError("playback ended inside the interval")
        return [(a - b) / CLOCK_TICKS for a, b in zip(after, before)], wall
    finally:
        for m in (plugin, bare):
            if m:
                m.close()
        x1.close()
        x2.close()


# ---------------------------------------------------------------------------------------------

def print_cpu(idle, idle_wall, playing, play_wall):
    print("CPU over %.0f s (ms; one tick = %.0f ms)   plug-in hidden   mpv alone   ratio"
          "   extra ms CPU per s" % (IDLE_SECONDS, 1000 / CLOCK_TICKS))
    for name, (p, b), wall in (("idle", idle, idle_wall), ("playing", playing, play_wall)):
        # Below one clock tick the ratio is a lower bound.
        ratio = "%.2f" % (p / b) if b else "> %.0f" % (p * CLOCK_TICKS)
        print("  %-30s %12.0f %12.0f %9s %10.1f"
              % (name, p * 1000, b * 1000, ratio, (p - b) * 1000 / wall))


def main():
    # "cpu" as the argument measures only the CPU cases; "feed [rounds]" only the feed.
    cpu_only = len(sys.argv) > 1 and sys.argv[1] == "cpu"
    if len(sys.argv) > 1 and sys.argv[1] == "feed":
        rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 10
        print("load average before: %s" % loadavg(), flush=True)
        feed, curl, _ = bench_feed(rounds)
        emit("Feed of 50 favourites, Ctrl+G to the full list on screen", "ms",
             "mpv with the plug-in, stand-in", [r[0] * 1000 for r in feed],
             "curl, 4 kept connections", [c * 1000 for c, _ in curl], goal="<= 1.0x",
             note="screen read every %.1f ms (median)"
             % (statistics.median(r[3] for r in feed) * 1000))
        print("load average after: %s" % loadavg(), flush=True)
        return
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 and not cpu_only else 5
    load_before = loadavg()
    idle, idle_wall = bench_cpu(play=False)
    playing, play_wall = bench_cpu(play=True)
    if cpu_only:
        print("load average before %s, after %s" % (load_before, loadavg()))
        print_cpu(idle, idle_wall, playing, play_wall)
        return
    feed, curl, images = bench_feed(rounds)
    load_after = loadavg()

    shown = statistics.median(r[0] for r in feed) * 1000
    last = statistics.median(r[1] for r in feed) * 1000
    c = statistics.median(s for s, _ in curl) * 1000
    print("load average before %s, after %s; %d rounds" % (load_before, load_after, rounds))
    print()
    print("feed of %d favourites (median)          ms   ratio to curl" % FAVOURITES)
    print("  Ctrl+G to final list on screen   %8.0f   %.2f" % (shown, shown / c))
    print("  Ctrl+G to 50th request arrival   %8.0f   %.2f" % (last, last / c))
    print("  curl, 4 parallel connections     %8.0f   1.00   (%d connections)"
          % (c, curl[0][1]))
    print("  rounds (shown/last/first, ms):   %s" % ", ".join(
        "%.0f/%.0f/%.0f" % tuple(v * 1000 for v in r[:3]) for r in feed))
    print("  screen read every %.1f ms (median)" % (statistics.median(r[3] for r in feed) * 1000))
    print("  curl rounds (ms):                %s" % ", ".join("%.0f" % (s * 1000) for s, _ in curl))
    print("  image requests during the rounds: %d" % images)
    print()
    print_cpu(idle, idle_wall, playing, play_wall)
    print()
    print(json.dumps({"rounds": rounds, "loadavg": [load_before, load_after],
                      "feed_shown_ms": round(shown, 1), "feed_last_request_ms": round(last, 1),
                      "curl_ms": round(c, 1), "ratio": round(shown / c, 2),
                      "idle_cpu_s": idle, "playing_cpu_s": playing}))


if __name__ == "__main__":
    main()
