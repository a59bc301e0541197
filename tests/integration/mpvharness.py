"""Drives a real mpv with the plug-in loaded, over mpv's JSON IPC socket. Standard library only.

Each test gets its own Xvfb display (started on demand), its own empty mpv configuration
directory and its own IPC socket, so tests never share state or depend on the desktop.
"""
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time

PLUGIN = os.environ.get("SOLVANE_PLUGIN", os.path.join(os.path.dirname(__file__), "../../build/solvane.so"))

# Every host of the service the plug-in talks to. Unless a test routes them to a server of its
# own, they go to a closed loopback port, so no test ever leaves the machine.
SERVICE_HOSTS = ["www.youtube.com", "youtube.com", "i.ytimg.com", "i9.ytimg.com",
                 "yt3.ggpht.com", "sponsor.ajay.app", "manifest.googlevideo.com"]
CLOSED_PORT = 9


def resolve_to(port, hosts=SERVICE_HOSTS):
    """A SOLVANE_RESOLVE value sending every host to 127.0.0.1:port."""
    return ",".join("%s:443:127.0.0.1:%d" % (h, port) for h in hosts)


MPV_ARGS = ["--idle=yes", "--terminal=no", "--audio=no", "--ao=null", "--osc=no",
            "--load-stats-overlay=no", "--load-osd-console=no", "--ytdl=no",
            "--load-auto-profiles=no", "--input-default-bindings=yes"]


class Xvfb:
    """A private X server; the display number is chosen by Xvfb itself."""

    def __init__(self, size="1280x720x24"):
        r, w = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", size,
                                      "-nolisten", "tcp"], pass_fds=(w,),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        with os.fdopen(r) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number

    def close(self):
        self.proc.terminate()
        self.proc.wait(5)


class Mpv:
    """One mpv process. `config` (a dict) becomes DIR/solvane/solvane.json when given."""

    def __init__(self, config=None, files=None, extra=(), env=None, display=None,
                 plugin=PLUGIN, timeout=15.0, make_solvane_dir=True, home=None):
        # `home`: the folder of an earlier run to start again in (its files kept); the caller
        # removes it. Otherwise a new folder, removed when this mpv is closed.
        self._owns_dir = home is None
        self.dir = home or tempfile.mkdtemp(prefix="solvane-it-")
        self.config_dir = os.path.join(self.dir, "config")
        self.solvane_dir = os.path.join(self.config_dir, "solvane")
        os.makedirs(self.solvane_dir if make_solvane_dir else self.config_dir, exist_ok=True)
        if config is not None:
            with open(os.path.join(self.solvane_dir, "solvane.json"), "w") as f:
                f.write(config if isinstance(config, str) else json.dumps(config))
        for name, text in (files or {}).items():
            with open(os.path.join(self.solvane_dir, name), "w") as f:
                f.write(text)
        self.sock_path = os.path.join(self.dir, "ipc.sock")
        self.log_path = os.path.join(self.dir, "stderr.log")
        args = (["mpv", "--config-dir=" + self.config_dir, "--script=" + plugin,
                 "--input-ipc-server=" + self.sock_path,
                 "--log-file=" + os.path.join(self.dir, "mpv-debug.log")]
                + MPV_ARGS + list(extra))
        environ = dict(os.environ)
        environ["SOLVANE_RESOLVE"] = resolve_to(CLOSED_PORT)
        environ.update(env or {})
        if display:
            environ["DISPLAY"] = display
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=self._log,
                                     stderr=subprocess.STDOUT, env=environ)
        self.events, self.replies, self._buf, self._id = [], {}, b"", 0
        self.sock = None
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError("mpv exited with %d:\n%s" % (self.proc.returncode, self.output()))
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(self.sock_path)
                self.sock = s
                break
            except OSError:
                s.close()
                if time.monotonic() > deadline:
                    raise TimeoutError("no IPC socket")
                time.sleep(0.02)

    def output(self):
        """Everything mpv and the plug-in wrote to standard output and error so far."""
        self._log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def _pump(self, timeout):
        self.sock.settimeout(timeout)
        try:
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("mpv closed the IPC connection")
            self._buf += data
        except socket.timeout:
            return
        while b"\n" in self._buf:
            line, self._buf = self._buf.split(b"\n", 1)
            if line.strip():
                m = json.loads(line)
                if "event" in m:
                    self.events.append(m)
                else:
                    self.replies[m.get("request_id")] = m

    def command(self, cmd, timeout=5.0, check=True):
        self._id += 1
        rid = self._id
        self.sock.sendall(json.dumps({"command": cmd, "request_id": rid}).encode() + b"\n")
        deadline = time.monotonic() + timeout
        while rid not in self.replies:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no reply to %r" % (cmd,))
            self._pump(min(left, 0.2))
        r = self.replies.pop(rid)
        if check and r["error"] != "success":
            raise RuntimeError("%r failed: %s" % (cmd, r["error"]))
        return r.get("data")

    def get(self, prop):
        return self.command(["get_property", prop])

    def wait_until(self, fn, timeout=5.0, every=0.05):
        deadline = time.monotonic() + timeout
        while True:
            v = fn()
            if v:
                return v
            if time.monotonic() > deadline:
                raise TimeoutError("condition not met")
            self._pump(every)

    def wait_message(self, *prefix, timeout=5.0):
        n = len(prefix)

        def found():
            for i, e in enumerate(self.events):
                if e.get("event") == "client-message" and tuple(e["args"][:n]) == prefix:
                    return self.events.pop(i)["args"]
            return None
        return self.wait_until(found, timeout)

    def sections(self):
        """{section name: set of priorities} of the current input bindings."""
        out = {}
        for b in self.get("input-bindings"):
            out.setdefault(b["section"], set()).add(b.get("priority"))
        return out

    def wait_ready(self, timeout=10.0):
        """The plug-in has run its start-up once its toggle section is registered."""
        return self.wait_until(lambda: "solfb-toggle-section" in self.sections(), timeout)

    def quit(self, timeout=10.0):
        try:
            self.sock.sendall(b'{"command":["quit"]}\n')
        except OSError:
            pass
        return self.proc.wait(timeout)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.sock:
            self.sock.close()
        self._log.close()
        # SOLVANE_KEEP_MPV_DIR=1 keeps each run's folder (logs, files) for a look afterwards.
        if os.environ.get("SOLVANE_KEEP_MPV_DIR"):
            print("mpv folder kept:", self.dir)
        elif self._owns_dir:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class StandIn:
    """The stand-in service (tests/server/standin_service.py) on loopback ports; `env` routes
    the plug-in to it. Ends when closed (its standard input closes). With `media`, its player
    responses point to playable media files it serves itself (see the stand-in's --media)."""

    def __init__(self, fixtures=None, media=False):
        here = os.path.dirname(os.path.abspath(__file__))
        script = os.path.join(here, "..", "server", "standin_service.py")
        fixtures = fixtures or os.environ.get("SOLVANE_FIXTURES",
                                              os.path.join(here, "../../../shared/fixtures"))
        self.proc = subprocess.Popen(["python3", script, "--fixtures", fixtures]
                                     + (["--media"] if media else []),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        info = json.loads(self.proc.stdout.readline())
        self.port = info["ports"]["tls"]
        self.ca = info["ca"]
        self.proxy = info["ports"]["proxy"]
        # The plug-in reaches the stand-in by its host-name override; mpv's own network streams
        # (media, HLS playlists) go through the stand-in's proxy, whatever host they name.
        self.env = {"SOLVANE_RESOLVE": resolve_to(self.port), "SSL_CERT_FILE": self.ca,
                    "http_proxy": "http://127.0.0.1:%d" % self.proxy, "no_proxy": ""}

    def set_image(self, suffix, body):
        """From now on the stand-in answers image paths ending in `suffix` with `body`."""
        import urllib.parse
        self.put("/test/image?suffix=" + urllib.parse.quote(suffix), body)

    def put(self, target, body=b""):
        """A PUT to one of the stand-in's /test/ controls (see standin_service.py)."""
        import ssl
        import http.client
        context = ssl.create_default_context(cafile=self.ca)
        context.check_hostname = False
        connection = http.client.HTTPSConnection("127.0.0.1", self.port, context=context,
                                                 timeout=5)
        connection.request("PUT", target, body=body, headers={"Host": "www.youtube.com"})
        try:
            connection.getresponse().read()
        finally:
            connection.close()

    def log(self):
        """Every service request the stand-in saw, oldest first."""
        import ssl
        import http.client
        context = ssl.create_default_context(cafile=self.ca)
        connection = http.client.HTTPSConnection("127.0.0.1", self.port, context=context,
                                                 timeout=5)
        context.check_hostname = False
        connection.request("GET", "/test/service-log", headers={"Host": "www.youtube.com"})
        try:
            return json.loads(connection.getresponse().read())
        finally:
            connection.close()

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def grab_screen(display):
    """The X screen of `display` as (width, height, rgb(x, y)); needs `xwd` (x11-apps)."""
    import struct
    data = subprocess.run(["xwd", "-root", "-silent", "-display", display], check=True,
                          capture_output=True).stdout
    hdr = struct.unpack(">25I", data[:100])
    w, h, lsb, bpl = hdr[4], hdr[5], hdr[7] == 0, hdr[12]
    px, masks, base = hdr[11] // 8, hdr[14:17], hdr[0] + hdr[19] * 12
    shifts = [(mask & -mask).bit_length() - 1 for mask in masks]

    def rgb(x, y):
        o = base + y * bpl + x * px
        p = int.from_bytes(data[o:o + px], "little" if lsb else "big")
        return tuple((p & mask) >> s for mask, s in zip(masks, shifts))
    return w, h, rgb


def save_screen(display, path):
    """Writes the X screen of `display` to a PNG file (needs imagemagick's convert)."""
    xwd = subprocess.run(["xwd", "-root", "-silent", "-display", display], check=True,
                         capture_output=True).stdout
    subprocess.run(["convert", "xwd:-", "-depth", "8", "PNG24:" + path], input=xwd, check=True)


def wait_or_fail(test, condition, timeout, service, mpv, requests=8, output=1500):
    """Polls `condition` until it gives a true value (returned) or `timeout` seconds pass; then
    fails `test` with the stand-in's last requests and the end of mpv's output."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    test.fail("condition not met in %s s\nrequests: %s\n%s" % (
        timeout, [e["path"][:60] for e in service.log()][-requests:],
        mpv.output()[-output:] if mpv else ""))
