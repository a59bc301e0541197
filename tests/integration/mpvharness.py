"""Drives a real mpv with the plug-in over its JSON IPC socket, each in its own folder; `Scene`
runs windowed tests on one private Xvfb and one stand-in service per class."""
import contextlib
import http.client
import json
import os
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "server"))  # the stand-in's colours, feeds, images
PLUGIN = os.environ.get("SOLVANE_PLUGIN", os.path.join(HERE, "../../build/solvane.so"))
BUILD = os.environ.get("SOLVANE_BUILD", os.path.join(HERE, "../../build"))
FIXTURES = os.environ.get("SOLVANE_FIXTURES", os.path.join(HERE, "../../../shared/fixtures"))
# Every host of the service; unrouted, they go to a closed loopback port.
SERVICE_HOSTS = ["www.youtube.com", "youtube.com", "i.ytimg.com", "i9.ytimg.com",
                 "yt3.ggpht.com", "sponsor.ajay.app", "manifest.googlevideo.com"]
MPV_ARGS = ["--idle=yes", "--terminal=no", "--audio=no", "--ao=null", "--osc=no",
            "--load-stats-overlay=no", "--load-osd-console=no", "--ytdl=no",
            "--load-auto-profiles=no", "--input-default-bindings=yes"]


def resolve_to(port):
    return ",".join("%s:443:127.0.0.1:%d" % (h, port) for h in SERVICE_HOSTS)


def poll(condition, timeout, every=0.05, pump=None):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        pump(every) if pump else time.sleep(every)


class Xvfb:
    def __init__(self, size="1280x720x24"):
        r, w = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", size,
                                      "-nolisten", "tcp"], pass_fds=(w,),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        with os.fdopen(r) as f:
            self.display = ":" + f.readline().strip()
        if self.display == ":":
            raise RuntimeError("Xvfb did not start")

    def close(self):
        self.proc.terminate()
        self.proc.wait(5)


class Mpv:
    """mpv; `config` (dict or text) becomes solvane/solvane.json, `files` more files beside it;
    `home` is a kept folder of an earlier run."""

    def __init__(self, config=None, files=None, extra=(), env=None, display=None,
                 plugin=PLUGIN, timeout=20.0, make_solvane_dir=True, home=None):
        self._owns_dir = home is None
        self.dir = home or tempfile.mkdtemp(prefix="solvane-it-")
        self.config_dir = os.path.join(self.dir, "config")
        self.solvane_dir = os.path.join(self.config_dir, "solvane")
        os.makedirs(self.solvane_dir if make_solvane_dir else self.config_dir, exist_ok=True)
        if config is not None:
            files = dict(files or {}, **{"solvane.json": config if isinstance(config, str)
                                         else json.dumps(config)})
        for name, text in (files or {}).items():
            with open(os.path.join(self.solvane_dir, name), "w") as f:
                f.write(text)
        sock_path = os.path.join(self.dir, "ipc.sock")
        environ = dict(os.environ, SOLVANE_RESOLVE=resolve_to(9), **({"DISPLAY": display} if display else {}))
        environ.update(env or {})
        self._log = open(os.path.join(self.dir, "stderr.log"), "wb")
        self.proc = subprocess.Popen(
            ["mpv", "--config-dir=" + self.config_dir, "--script=" + plugin,
             "--input-ipc-server=" + sock_path, "--log-file=" + os.path.join(self.dir, "mpv-debug.log")]
            + MPV_ARGS + list(extra), stdin=subprocess.DEVNULL, stdout=self._log,
            stderr=subprocess.STDOUT, env=environ)
        self.events, self.replies, self._buf, self._id = [], {}, b"", 0
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)

        def connected():
            if self.proc.poll() is not None:
                raise RuntimeError("mpv exited with %d:\n%s" % (self.proc.returncode, self.output()))
            return self.sock.connect_ex(sock_path) == 0
        if not poll(connected, timeout, 0.02):
            raise TimeoutError("no IPC socket")

    def output(self, name="stderr.log"):
        """mpv's and the plug-in's output so far (or another file of the folder)."""
        self._log.flush()
        with open(os.path.join(self.dir, name), errors="replace") as f:
            return f.read()

    def entries(self, name):
        path = os.path.join(self.solvane_dir, name)
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [e for e in json.load(f) if e]

    def _pump(self, timeout):
        self.sock.settimeout(timeout)
        try:
            data = self.sock.recv(65536)
        except socket.timeout:
            return
        if not data:
            raise ConnectionError("mpv closed the IPC connection")
        self._buf += data
        *lines, self._buf = self._buf.split(b"\n")
        for m in (json.loads(line) for line in lines if line.strip()):
            if "event" in m:
                self.events.append(m)
            else:
                self.replies[m.get("request_id")] = m

    def command(self, cmd, timeout=10.0, check=True):
        self._id += 1
        rid = self._id
        self.sock.sendall(json.dumps({"command": cmd, "request_id": rid}).encode() + b"\n")
        if not poll(lambda: rid in self.replies, timeout, 0.2, self._pump):
            raise TimeoutError("no reply to %r" % (cmd,))
        r = self.replies.pop(rid)
        if check and r["error"] != "success":
            raise RuntimeError("%r failed: %s" % (cmd, r["error"]))
        return r.get("data")

    def get(self, prop):
        return self.command(["get_property", prop])

    def prop(self, name):
        return self.command(["get_property", name], check=False)

    def wait_until(self, fn, timeout=10.0, every=0.05):
        value = poll(fn, timeout, every, self._pump)
        if not value:
            raise TimeoutError("condition not met")
        return value

    def wait_message(self, *prefix, timeout=10.0):
        def found():
            for i, e in enumerate(self.events):
                if e.get("event") == "client-message" and tuple(e["args"][:len(prefix)]) == prefix:
                    return self.events.pop(i)["args"]
        return self.wait_until(found, timeout)

    def sections(self):
        out = {}
        for b in self.get("input-bindings"):
            out.setdefault(b["section"], set()).add(b.get("priority"))
        return out

    def shown(self):
        return self.sections()["solfb-section"] != {-1}

    def wait_ready(self, timeout=20.0):
        return self.wait_until(lambda: "solfb-toggle-section" in self.sections(), timeout)

    def keys(self, *names):
        # One at a time: mpv drops keys sent faster than the plug-in handles them.
        for k in names:
            self.command(["keypress", "SPACE" if k == " " else k])
            time.sleep(0.03)

    def search(self, text):
        self.keys("F6", "Ctrl+a", "BS", *text, "ENTER")

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def quit(self, timeout=20.0):
        with contextlib.suppress(OSError):
            self.sock.sendall(b'{"command":["quit"]}\n')
        return self.proc.wait(timeout)

    def close(self):
        """Ends mpv and removes its folder; fails when mpv refused an option the plug-in gave."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.sock.close()
        if self._log.closed:
            return
        self._log.close()
        log = os.path.join(self.dir, "mpv-debug.log")
        refused = []
        if os.path.exists(log):
            with open(log, errors="replace") as f:
                refused = [line for line in f if "Error parsing option" in line]
        # SOLVANE_KEEP_MPV_DIR=1 keeps each run's folder for a look afterwards.
        if os.environ.get("SOLVANE_KEEP_MPV_DIR"):
            print("mpv folder kept:", self.dir)
        elif self._owns_dir:
            shutil.rmtree(self.dir, ignore_errors=True)
        if refused:
            raise AssertionError("mpv refused: " + "".join(refused))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class StandIn:
    """tests/server/standin_service.py on loopback; `env` routes the plug-in to it and mpv
    through its proxy; with `media` it serves playable media."""

    def __init__(self, fixtures=None, media=False):
        self.proc = subprocess.Popen(["python3", os.path.join(HERE, "../server/standin_service.py"),
                                      "--fixtures", fixtures or FIXTURES] + ["--media"] * media,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        info = json.loads(self.proc.stdout.readline())
        self.port, self.ca = info["ports"]["tls"], info["ca"]
        self.env = {"SOLVANE_RESOLVE": resolve_to(self.port), "SSL_CERT_FILE": self.ca,
                    "http_proxy": "http://127.0.0.1:%d" % info["ports"]["proxy"], "no_proxy": ""}

    def _request(self, method, target, body=None):
        context = ssl.create_default_context(cafile=self.ca)
        context.check_hostname = False
        with contextlib.closing(http.client.HTTPSConnection("127.0.0.1", self.port, context=context,
                                                            timeout=10)) as connection:
            connection.request(method, target, body=body, headers={"Host": "www.youtube.com"})
            return connection.getresponse().read()

    def put(self, target, body=b""):
        self._request("PUT", target, body)

    def set_image(self, suffix, body):
        self.put("/test/image?suffix=" + urllib.parse.quote(suffix), body)

    def log(self):
        return json.loads(self._request("GET", "/test/service-log"))

    def close(self):
        self.proc.stdin.close()  # the stand-in ends
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        self.proc.stdout.close()


def xwd(display):
    return subprocess.run(["xwd", "-root", "-silent", "-display", display], check=True,
                          capture_output=True).stdout


def grab_screen(display):
    """The X screen of `display` as (width, height, rgb(x, y))."""
    data = xwd(display)
    hdr = struct.unpack(">25I", data[:100])
    w, h, lsb, bpl = hdr[4], hdr[5], hdr[7] == 0, hdr[12]
    px, masks, base = hdr[11] // 8, hdr[14:17], hdr[0] + hdr[19] * 12
    shifts = [(mask & -mask).bit_length() - 1 for mask in masks]

    def rgb(x, y):
        o = base + y * bpl + x * px
        p = int.from_bytes(data[o:o + px], "little" if lsb else "big")
        return tuple((p & mask) >> s for mask, s in zip(masks, shifts))
    return w, h, rgb


def region(rgb, box):
    x, y, w, h = box
    return tuple(rgb(x + i, y + j) for j in range(h) for i in range(w))


class Scene(unittest.TestCase):
    """One Xvfb and (with `service`) one stand-in per class; requests count from the latest
    `start`; screenshots go to build/integration-<file>-<name>.png."""
    service = True
    media = False

    @classmethod
    def setUpClass(cls):
        cls.x = Xvfb("1280x720x24")
        cls.standin = StandIn(media=cls.media) if cls.service else None

    @classmethod
    def tearDownClass(cls):
        if cls.standin:
            cls.standin.close()
        cls.x.close()

    def start(self, config=None, extra=(), size=(960, 600), show=True, **kwargs):
        self.mark = len(self.standin.log()) if self.standin else 0
        m = Mpv(config={} if config is None else config, display=self.x.display,
                env=dict(self.standin.env if self.standin else {}, **kwargs.pop("env", {})),
                extra=["--vo=x11", "--force-window=yes", "--geometry=%dx%d+0+0" % size,
                       "--tls-verify=no"] + list(extra), **kwargs)
        self.mpv = m
        self.addCleanup(m.close)
        m.wait_ready()
        m.wait_until(lambda: (m.get("osd-dimensions") or {}).get("w", 0) == size[0], timeout=20)
        if show:
            m.command(["script-message", "solfb-show"])
            self.wait(m.shown)
            time.sleep(0.3)  # the host applies the overlay with the input section
        return m

    def open_video(self):
        """Searches, opens the first row (DOWN leads from the field into the list); its id."""
        self.mpv.search("test")
        self.wait(lambda: self.requests("/vi/"))
        self.mpv.keys("DOWN", "ENTER")
        video = json.loads(self.wait(lambda: self.requests("/youtubei/v1/player"))[0]["body"])["videoId"]
        self.wait(lambda: self.requests("/vi/%s/mq1" % video))
        return video

    def requests(self, path=""):
        return [e for e in self.standin.log()[self.mark:] if e["path"].startswith(path)]

    def screen(self):
        return grab_screen(self.x.display)[2]

    def shot(self, name):
        path = os.path.join(BUILD, "integration-%s-%s.png" % (type(self).__module__[5:], name))
        subprocess.run(["convert", "xwd:-", "-depth", "8", "PNG24:" + path], input=xwd(self.x.display))

    def wait(self, condition, timeout=40):
        """`condition`'s first true value; fails with a screenshot, the last requests and
        mpv's output after `timeout` seconds."""
        value = poll(condition, timeout, 0.1)
        if not value:
            self.shot("failed")
            self.fail("condition not met in %s s\nrequests: %s\n%s" % (
                timeout, [e["path"][:60] for e in self.requests()][-10:] if self.standin else "",
                self.mpv.output()[-2000:]))
        return value
