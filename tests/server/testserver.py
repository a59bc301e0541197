#!/usr/bin/env python3
"""Loopback HTTPS server for solvane's tests and benchmarks.

It makes a throw-away certificate authority and a server certificate at start-up (openssl CLI),
listens on free loopback ports and prints one JSON line describing itself on standard output:

    {"ports": {"tls": P, "other_ca": P, "silent": P, "garbage": P, "proxy": P, "tls10": P,
               "tls11": P, "static_rsa": P, "tls12": P, "refused": P},
     "ca": "/tmp/.../ca.pem", "other_ca": "/tmp/.../other-ca.pem", "names": [...]}

Listeners:
  tls       HTTPS with a certificate from the test CA; requests go through ROUTES. It offers
            TLS 1.2 and 1.3.
  tls10     the same service offering only TLS 1.0; tls11 only TLS 1.1 (both with every
            cipher OpenSSL still has, security level 0).
  static_rsa  TLS 1.2 with static-RSA key exchange only (RSA certificate from the test CA).
  tls12     TLS 1.2 only, ECDHE suites only.
  refused   a port nothing listens on (connections are refused).
  other_ca  the same service, with a certificate from another CA (clients must refuse it).
  silent    accepts TCP connections and never sends or reads anything.
  garbage   answers every connection with plain bytes instead of a TLS handshake.
  proxy     an HTTP proxy that tunnels every CONNECT, whatever host it names, to the tls
            listener. Programs that honour "http_proxy" for HTTPS (mpv's network streams do)
            reach this server under the service's host names without name resolution, and
            nothing they open leaves the machine.

Routing is table-driven: ROUTES holds Route entries (method, path, prefix match, optional
predicate over the request, handler). Other test modules import this file and add routes with
add_route() (for example InnerTube answers chosen by the request body) before calling main().

The server ends when its standard input closes (the test process that started it went away)
or on SIGTERM.
"""

import argparse
import dataclasses
import json
import mimetypes
import shutil
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from typing import Callable, Dict, List, Optional

# Names the server certificate is valid for. Tests reach the server through SOLVANE_RESOLVE.
CERT_NAMES = [
    "localhost", "solvane.test", "*.solvane.test", "youtube.com", "www.youtube.com",
    "*.youtube.com", "i.ytimg.com", "*.ytimg.com", "*.ggpht.com", "*.googlevideo.com",
    "sponsor.ajay.app",
]


# ---------------------------------------------------------------------------------------------
# Certificates

def _openssl(*args: str, cwd: str) -> None:
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_ca(directory: str, name: str) -> None:
    """A self-signed CA: NAME.key and NAME.pem."""
    _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.pem", "-days", "3",
             "-subj", f"/CN=solvane {name}",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)


def make_server_cert(directory: str, ca: str, name: str, key: str = "ec") -> None:
    """NAME.key and NAME.pem signed by CA, valid for CERT_NAMES and 127.0.0.1. KEY is "ec"
    (P-256) or "rsa" (2048 bits)."""
    alt = ",".join([f"DNS:{n}" for n in CERT_NAMES] + ["IP:127.0.0.1"])
    with open(os.path.join(directory, f"{name}.ext"), "w") as ext:
        ext.write(f"subjectAltName={alt}\n"
                  "basicConstraints=critical,CA:FALSE\n"
                  "keyUsage=critical,digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage=serverAuth\n")
    key_args = (["-newkey", "rsa:2048"] if key == "rsa" else
                ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"])
    _openssl("req", *key_args, "-nodes",
             "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj", "/CN=solvane.test",
             cwd=directory)
    _openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key",
             "-CAcreateserial", "-out", f"{name}.pem", "-days", "3", "-extfile", f"{name}.ext",
             cwd=directory)


def make_certificates(directory: str) -> Dict[str, str]:
    make_ca(directory, "ca")
    make_ca(directory, "other-ca")
    make_server_cert(directory, "ca", "server")
    make_server_cert(directory, "other-ca", "other-server")
    make_server_cert(directory, "ca", "rsa-server", key="rsa")
    return {n: os.path.join(directory, n) for n in
            ("ca.pem", "other-ca.pem", "server.pem", "server.key",
             "other-server.pem", "other-server.key", "rsa-server.pem", "rsa-server.key")}


# ---------------------------------------------------------------------------------------------
# Requests and responses

@dataclasses.dataclass
class Request:
    method: str
    target: str
    path: str
    query: Dict[str, List[str]]
    version: str
    headers: Dict[str, str]          # names in lower case
    body: bytes
    raw: bytes                       # the request exactly as received

    def param(self, name: str, default: Optional[str] = None) -> Optional[str]:
        values = self.query.get(name)
        return values[-1] if values else default


class Connection:
    """One client connection: a buffered reader over the TLS socket plus per-connection state
    that scripted routes use (for example "drop the next request")."""

    def __init__(self, sock: socket.socket, server: "Server"):
        self.sock = sock
        self.server = server
        self.buffer = b""
        self.state: Dict[str, object] = {}

    def _fill(self) -> bool:
        data = self.sock.recv(65536)
        if not data:
            return False
        self.buffer += data
        return True

    def read_request(self) -> Optional[Request]:
        while b"\r\n\r\n" not in self.buffer:
            if len(self.buffer) > 1 << 20 or not self._fill():
                return None
        head, _, rest = self.buffer.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        parts = lines[0].split(" ")
        if len(parts) != 3:
            return None
        method, target, version = parts
        headers: Dict[str, str] = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        length = int(headers.get("content-length", "0") or 0)
        self.buffer = rest
        while len(self.buffer) < length:
            if not self._fill():
                return None
        body, self.buffer = self.buffer[:length], self.buffer[length:]
        url = urllib.parse.urlsplit(target)
        return Request(method, target, url.path, urllib.parse.parse_qs(url.query), version,
                       headers, body, head + b"\r\n\r\n" + body)

    def send(self, data: bytes) -> None:
        self.sock.sendall(data)

    def respond(self, status: int, body: bytes = b"", reason: str = "",
                headers: Optional[List[str]] = None, length: str = "auto",
                keep_alive: bool = True) -> bool:
        """Writes a whole response. `length` is "auto" (a correct Content-Length), "none" (no
        Content-Length; the connection closes after the body) or a literal header value.
        Returns whether the connection stays open."""
        lines = [f"HTTP/1.1 {status} {reason or STATUS_TEXT.get(status, 'Status')}"]
        lines += headers or []
        if length == "auto":
            lines.append(f"Content-Length: {len(body)}")
        elif length != "none":
            lines.append(f"Content-Length: {length}")
        if length == "none":
            keep_alive = False
        if not keep_alive:
            lines.append("Connection: close")
        self.send(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body)
        return keep_alive


STATUS_TEXT = {200: "OK", 204: "No Content", 304: "Not Modified", 400: "Bad Request",
               404: "Not Found", 500: "Internal Server Error"}

# A route answers one request and returns whether the connection stays open.
Handler = Callable[[Connection, Request], bool]


@dataclasses.dataclass
class Route:
    method: str                      # "GET", "POST" or "*"
    path: str
    handler: Handler
    prefix: bool = False             # match every path starting with `path`
    match: Optional[Callable[[Request], bool]] = None  # extra condition (e.g. on the body)


ROUTES: List[Route] = []


def add_route(method: str, path: str, handler: Handler, prefix: bool = False,
              match: Optional[Callable[[Request], bool]] = None, first: bool = False) -> None:
    route = Route(method, path, handler, prefix, match)
    if first:
        ROUTES.insert(0, route)
    else:
        ROUTES.append(route)


def find_route(request: Request) -> Optional[Route]:
    for route in ROUTES:
        if route.method not in ("*", request.method):
            continue
        if route.prefix:
            if not request.path.startswith(route.path):
                continue
        elif request.path != route.path:
            continue
        if route.match and not route.match(request):
            continue
        return route
    return None


_PATTERN_BLOCK = bytes(range(251)) * 256


def pattern_bytes(size: int) -> bytes:
    """Deterministic test body: byte i is i % 251."""
    whole, part = divmod(size, len(_PATTERN_BLOCK))
    return _PATTERN_BLOCK * whole + _PATTERN_BLOCK[:part]


# ---------------------------------------------------------------------------------------------
# Routes used by the networking tests

def route_fixture(conn: Connection, req: Request) -> bool:
    root = os.path.realpath(conn.server.fixtures)
    relative = urllib.parse.unquote(req.path[len("/fixtures/"):])
    path = os.path.realpath(os.path.join(root, relative))
    if not path.startswith(root + os.sep) or not os.path.isfile(path):
        return conn.respond(404, b"no such fixture\n")
    with open(path, "rb") as f:
        body = f.read()
    kind = mimetypes.guess_type(path)[0] or "application/octet-stream"
    return conn.respond(200, body, headers=[f"Content-Type: {kind}"])


def route_echo(conn: Connection, req: Request) -> bool:
    """The request bytes exactly as received."""
    return conn.respond(200, req.raw, headers=["Content-Type: application/octet-stream"])


def route_bytes(conn: Connection, req: Request) -> bool:
    """SIZE pattern bytes with a Content-Length, streamed."""
    size = int(req.param("size", "0"))
    conn.send(f"HTTP/1.1 200 OK\r\nContent-Length: {size}\r\n\r\n".encode())
    block = conn.server.pattern_block
    sent = 0
    while sent < size:
        piece = min(len(block), size - sent)
        conn.send(block[:piece] if piece < len(block) else block)
        sent += piece
    return True


def route_respond(conn: Connection, req: Request) -> bool:
    """A scripted response. Parameters:
    status, reason   status line (default 200)
    h                extra header line "Name: value" (repeatable)
    body | size      body text, or SIZE pattern bytes
    length           "auto" (default), "none" or a literal Content-Length value
    split            write the response in pieces of this many bytes, pausing between them
    pause            milliseconds of that pause (default 2)
    close            1: close the connection after the response (even one that looks kept);
                     0: keep it open (even when the response gives no usable length)
    """
    status = int(req.param("status", "200"))
    body = req.param("body")
    data = body.encode() if body is not None else pattern_bytes(int(req.param("size", "0")))
    headers = req.query.get("h", [])
    length = req.param("length", "auto")
    lines = [f"HTTP/1.1 {status} {req.param('reason') or STATUS_TEXT.get(status, 'Status')}"]
    lines += headers
    if length == "auto":
        lines.append(f"Content-Length: {len(data)}")
    elif length != "none":
        lines.append(f"Content-Length: {length}")
    wire = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + data
    split = int(req.param("split", "0"))
    if split > 0:
        conn.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        pause = int(req.param("pause", "2")) / 1000.0
        for at in range(0, len(wire), split):
            conn.send(wire[at:at + split])
            time.sleep(pause)
    else:
        conn.send(wire)
    close = req.param("close")
    if close is not None:
        return close != "1"
    # Without a usable length the body ends when the connection closes.
    return length == "auto" or length.isdigit()


def route_drop_next(conn: Connection, req: Request) -> bool:
    """Answers, then closes the connection as soon as the next request arrives on it."""
    conn.state["drop_next"] = True
    return conn.respond(200, req.param("body", "kept").encode())


def route_drop(conn: Connection, req: Request) -> bool:
    """Closes the connection without answering."""
    return False


def route_hang(conn: Connection, req: Request) -> bool:
    """Reads the request and never answers."""
    conn.server.stopping.wait()
    return False


def route_stats(conn: Connection, req: Request) -> bool:
    with conn.server.lock:
        stats = dict(conn.server.stats)
    return conn.respond(200, json.dumps(stats).encode(), headers=["Content-Type: application/json"])


add_route("GET", "/fixtures/", route_fixture, prefix=True)
add_route("*", "/test/echo", route_echo)
add_route("GET", "/test/bytes", route_bytes)
add_route("*", "/test/respond", route_respond)
add_route("GET", "/test/drop-next", route_drop_next)
add_route("*", "/test/drop", route_drop)
add_route("*", "/test/hang", route_hang)
add_route("GET", "/test/stats", route_stats)


# ---------------------------------------------------------------------------------------------
# Server

class Server:
    def __init__(self, fixtures: str, certs: Dict[str, str]):
        self.fixtures = fixtures
        self.certs = certs
        self.lock = threading.Lock()
        # connections: completed handshakes; resumed: those that resumed an earlier session.
        self.stats = {"connections": 0, "resumed": 0, "requests": 0, "handshake_failures": 0}
        self.stopping = threading.Event()
        self.pattern_block = pattern_bytes(251 * 1024)
        self.listeners: Dict[str, socket.socket] = {}

    def context(self, cert: str, key: str,
                versions=(ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.MAXIMUM_SUPPORTED),
                ciphers: Optional[str] = None) -> ssl.SSLContext:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        if ciphers:
            context.set_ciphers(ciphers)
        context.minimum_version, context.maximum_version = versions
        context.load_cert_chain(self.certs[cert], self.certs[key])
        return context

    def old_contexts(self) -> Dict[str, ssl.SSLContext]:
        """The servers a client must refuse, and one TLS 1.2-only server it must accept."""
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            v = ssl.TLSVersion
            return {
                "tls10": self.context("server.pem", "server.key", (v.TLSv1, v.TLSv1),
                                      "ALL:@SECLEVEL=0"),
                "tls11": self.context("server.pem", "server.key", (v.TLSv1_1, v.TLSv1_1),
                                      "ALL:@SECLEVEL=0"),
                "static_rsa": self.context("rsa-server.pem", "rsa-server.key",
                                           (v.TLSv1_2, v.TLSv1_2), "kRSA:@SECLEVEL=0"),
                "tls12": self.context("server.pem", "server.key", (v.TLSv1_2, v.TLSv1_2),
                                      "ECDHE"),
            }

    def listen(self, name: str) -> int:
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", 0))
        sock.listen(64)
        self.listeners[name] = sock
        return sock.getsockname()[1]

    def start(self) -> Dict[str, int]:
        ports = {name: self.listen(name)
                 for name in ("tls", "other_ca", "silent", "garbage", "proxy")}
        main_context = self.context("server.pem", "server.key")
        other_context = self.context("other-server.pem", "other-server.key")
        for name, context in self.old_contexts().items():
            ports[name] = self.listen(name)
            self._spawn(self._accept_loop, name,
                        lambda s, context=context: self._serve_tls(s, context))
        # A port that was free a moment ago and has no listener: connecting is refused.
        probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        probe.bind(("127.0.0.1", 0))
        ports["refused"] = probe.getsockname()[1]
        probe.close()
        self._spawn(self._accept_loop, "tls", lambda s: self._serve_tls(s, main_context))
        self._spawn(self._accept_loop, "other_ca", lambda s: self._serve_tls(s, other_context))
        self._spawn(self._accept_loop, "silent", self._serve_silent)
        self._spawn(self._accept_loop, "garbage", self._serve_garbage)
        self._spawn(self._accept_loop, "proxy", self._serve_proxy)
        return ports

    def _spawn(self, target, *args) -> None:
        threading.Thread(target=target, args=args, daemon=True).start()

    def _accept_loop(self, name: str, serve) -> None:
        listener = self.listeners[name]
        while not self.stopping.is_set():
            try:
                sock, _ = listener.accept()
            except OSError:
                return
            self._spawn(self._guard, serve, sock)

    def _guard(self, serve, sock: socket.socket) -> None:
        try:
            serve(sock)
        except (OSError, ssl.SSLError, ValueError):
            pass
        finally:
            try:
                sock.close()
            except OSError:
                pass

    def _serve_silent(self, sock: socket.socket) -> None:
        self.stopping.wait()

    def _serve_garbage(self, sock: socket.socket) -> None:
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello" + b"\x00" * 64)
        time.sleep(0.2)

    def _serve_proxy(self, sock: socket.socket) -> None:
        head = b""
        while b"\r\n\r\n" not in head:
            data = sock.recv(4096)
            if not data or len(head) > 65536:
                return
            head += data
        head, early = head.split(b"\r\n\r\n", 1)
        words = head.split(b"\r\n", 1)[0].split()
        if len(words) < 2 or words[0] != b"CONNECT":
            sock.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n")
            return
        target = socket.create_connection(self.listeners["tls"].getsockname())
        sock.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        if early:
            target.sendall(early)

        def pipe(source, sink):
            try:
                while True:
                    data = source.recv(65536)
                    if not data:
                        break
                    sink.sendall(data)
            except OSError:
                pass
            finally:
                for s in (source, sink):
                    try:
                        s.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass
        back = threading.Thread(target=pipe, args=(target, sock), daemon=True)
        back.start()
        pipe(sock, target)
        back.join()
        target.close()

    def _serve_tls(self, sock: socket.socket, context: ssl.SSLContext) -> None:
        try:
            tls = context.wrap_socket(sock, server_side=True)
        except (ssl.SSLError, OSError):
            with self.lock:
                self.stats["handshake_failures"] += 1
            return
        with self.lock:
            self.stats["connections"] += 1
            if tls.session_reused:
                self.stats["resumed"] += 1
        conn = Connection(tls, self)
        try:
            while True:
                request = conn.read_request()
                if request is None:
                    break
                with self.lock:
                    self.stats["requests"] += 1
                if conn.state.pop("drop_next", False):
                    break
                route = find_route(request)
                if route is None:
                    keep = conn.respond(404, b"no route\n")
                else:
                    keep = route.handler(conn, request)
                if not keep:
                    break
        finally:
            try:
                tls.close()
            except OSError:
                pass


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fixtures", required=True, help="directory served under /fixtures/")
    parser.add_argument("--state-dir", help="where certificates go (default: a new temp dir)")
    args = parser.parse_args(argv)

    state_dir = args.state_dir or tempfile.mkdtemp(prefix="solvane-server-")
    os.makedirs(state_dir, exist_ok=True)
    certs = make_certificates(state_dir)
    server = Server(args.fixtures, certs)
    ports = server.start()
    print(json.dumps({"ports": ports, "ca": certs["ca.pem"], "other_ca": certs["other-ca.pem"],
                      "names": CERT_NAMES, "state_dir": state_dir}), flush=True)

    # Run until the parent closes our standard input (or kills us).
    try:
        while sys.stdin.buffer.read(4096):
            pass
    except (OSError, KeyboardInterrupt):
        pass
    server.stopping.set()
    if not args.state_dir:
        shutil.rmtree(state_dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
