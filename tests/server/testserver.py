#!/usr/bin/env python3
"""Loopback HTTPS server for solvane's tests and benchmarks.

Makes throw-away CAs and certificates, listens on free loopback ports (tls, tls10,
static_rsa, tls12, other_ca, silent, garbage, proxy for CONNECT, and a refused port), prints
{"ports": {NAME: PORT}, "ca": FILE, "other_ca": FILE} and serves ROUTES until standard input
closes. Other servers import it, add_route() and call main().
"""

import argparse
import dataclasses
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import warnings
from typing import Callable, Dict, List, Optional

CERT_NAMES = ["localhost", "solvane.test", "*.solvane.test", "youtube.com", "www.youtube.com",
              "*.youtube.com", "i.ytimg.com", "*.ytimg.com", "*.ggpht.com", "*.googlevideo.com",
              "sponsor.ajay.app"]


def _openssl(directory: str, *args: str) -> None:
    subprocess.run(["openssl", *args], cwd=directory, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_certificates(directory: str) -> Dict[str, str]:
    """CAs ca and other-ca; server and rsa-server signed by ca, other-server by other-ca."""
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for ca in ("ca", "other-ca"):
        _openssl(directory, "req", "-x509", *ec, "-keyout", f"{ca}.key", "-out", f"{ca}.pem",
                 "-days", "3", "-subj", f"/CN=solvane {ca}",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    with open(os.path.join(directory, "server.ext"), "w") as ext:
        ext.write("subjectAltName=" + ",".join([f"DNS:{n}" for n in CERT_NAMES] + ["IP:127.0.0.1"])
                  + "\nbasicConstraints=critical,CA:FALSE\n"
                  "keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    for name, ca, key in (("server", "ca", ec), ("other-server", "other-ca", ec),
                          ("rsa-server", "ca", ["-newkey", "rsa:2048", "-nodes"])):
        _openssl(directory, "req", *key, "-keyout", f"{name}.key", "-out", f"{name}.csr",
                 "-subj", "/CN=solvane.test")
        _openssl(directory, "x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem",
                 "-CAkey", f"{ca}.key", "-CAcreateserial", "-out", f"{name}.pem", "-days", "3",
                 "-extfile", "server.ext")
    return {n: os.path.join(directory, n) for n in os.listdir(directory)}


@dataclasses.dataclass
class Request:
    method: str
    target: str
    path: str
    query: Dict[str, List[str]]
    headers: Dict[str, str]          # names in lower case
    body: bytes
    raw: bytes                       # the request exactly as received

    def param(self, name: str, default: Optional[str] = None) -> Optional[str]:
        values = self.query.get(name)
        return values[-1] if values else default


class Connection:
    def __init__(self, sock: socket.socket, server: "Server"):
        self.sock, self.server, self.buffer, self.drop_next = sock, server, b"", False

    def _fill(self) -> bool:
        data = self.sock.recv(65536)
        self.buffer += data
        return bool(data)

    def read_request(self) -> Optional[Request]:
        while b"\r\n\r\n" not in self.buffer:
            if len(self.buffer) > 1 << 20 or not self._fill():
                return None
        head, _, self.buffer = self.buffer.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        parts = lines[0].split(" ")
        if len(parts) != 3:
            return None
        headers = {n.strip().lower(): v.strip() for n, _, v in (l.partition(":") for l in lines[1:])}
        length = int(headers.get("content-length", "0") or 0)
        while len(self.buffer) < length:
            if not self._fill():
                return None
        body, self.buffer = self.buffer[:length], self.buffer[length:]
        url = urllib.parse.urlsplit(parts[1])
        return Request(parts[0], parts[1], url.path, urllib.parse.parse_qs(url.query), headers,
                       body, head + b"\r\n\r\n" + body)

    def send(self, data: bytes) -> None:
        self.sock.sendall(data)

    def respond(self, status: int, body: bytes = b"", headers: Optional[List[str]] = None) -> bool:
        """A whole response with its Content-Length; the connection stays open."""
        lines = [f"HTTP/1.1 {status} Status", *(headers or []), f"Content-Length: {len(body)}"]
        self.send(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body)
        return True


# (method or "*", path, handler, prefix, condition); a handler returns whether to keep the connection.
ROUTES: List[tuple] = []


def add_route(method: str, path: str, handler: Callable[[Connection, Request], bool],
              prefix: bool = False, match: Optional[Callable[[Request], bool]] = None,
              first: bool = False) -> None:
    ROUTES.insert(0 if first else len(ROUTES), (method, path, handler, prefix, match))


def find_handler(req: Request):
    for method, path, handler, prefix, match in ROUTES:
        if (method in ("*", req.method) and (req.path.startswith(path) if prefix else req.path == path)
                and (not match or match(req))):
            return handler
    return lambda conn, req: conn.respond(404, b"no route\n")


PATTERN = bytes(range(251)) * 1024  # test bodies: byte i is i % 251


def route_respond(conn: Connection, req: Request) -> bool:
    """A scripted response: status, h (header lines), body or size (pattern bytes), length
    (auto, none or a value), split (piece size) with pause (ms), close (1 or 0)."""
    body = req.param("body")
    size = int(req.param("size", "0"))
    data = body.encode() if body is not None else (PATTERN * (size // len(PATTERN) + 1))[:size]
    length = req.param("length", "auto")
    lines = [f"HTTP/1.1 {req.param('status', '200')} Status", *req.query.get("h", [])]
    if length != "none":
        lines.append(f"Content-Length: {len(data) if length == 'auto' else length}")
    wire = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + data
    split = int(req.param("split", "0")) or len(wire)
    conn.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    for at in range(0, len(wire), split):
        conn.send(wire[at:at + split])
        if at + split < len(wire):
            time.sleep(int(req.param("pause", "2")) / 1000.0)
    close = req.param("close")
    return close != "1" if close is not None else length == "auto" or length.isdigit()


def route_drop_next(conn: Connection, req: Request) -> bool:
    """Answers, then closes the connection as soon as the next request arrives on it."""
    conn.drop_next = True
    return conn.respond(200, b"kept")


def route_stats(conn: Connection, req: Request) -> bool:
    with conn.server.lock:
        return conn.respond(200, json.dumps(conn.server.stats).encode())


add_route("*", "/test/echo", lambda conn, req: conn.respond(200, req.raw))
add_route("GET", "/test/bytes", route_respond)
add_route("*", "/test/respond", route_respond)
add_route("GET", "/test/drop-next", route_drop_next)
add_route("*", "/test/drop", lambda conn, req: False)  # closes without answering
add_route("*", "/test/hang", lambda conn, req: conn.server.stopping.wait() and False)
add_route("GET", "/test/stats", route_stats)


class Server:
    def __init__(self, fixtures: str, certs: Dict[str, str]):
        self.fixtures, self.certs = fixtures, certs
        self.lock = threading.Lock()
        self.stats = {"connections": 0, "resumed": 0, "requests": 0}
        self.stopping = threading.Event()
        self.listeners: Dict[str, socket.socket] = {}

    def context(self, cert: str, versions=(ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.MAXIMUM_SUPPORTED),
                ciphers: Optional[str] = None) -> ssl.SSLContext:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        if ciphers:
            context.set_ciphers(ciphers)
        context.minimum_version, context.maximum_version = versions
        context.load_cert_chain(self.certs[cert + ".pem"], self.certs[cert + ".key"])
        return context

    def start(self) -> Dict[str, int]:
        v = ssl.TLSVersion
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            contexts = {
                "tls": self.context("server"), "other_ca": self.context("other-server"),
                "tls10": self.context("server", (v.TLSv1, v.TLSv1), "ALL:@SECLEVEL=0"),
                "static_rsa": self.context("rsa-server", (v.TLSv1_2, v.TLSv1_2), "kRSA:@SECLEVEL=0"),
                "tls12": self.context("server", (v.TLSv1_2, v.TLSv1_2), "ECDHE")}
        serve = {name: (lambda s, c=c: self._serve_tls(s, c)) for name, c in contexts.items()}
        serve.update(silent=lambda s: self.stopping.wait(), garbage=self._serve_garbage,
                     proxy=self._serve_proxy)
        ports = {}
        for name, handler in serve.items():
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind(("127.0.0.1", 0))
            sock.listen(64)
            self.listeners[name] = sock
            ports[name] = sock.getsockname()[1]
            self._spawn(self._accept_loop, sock, handler)
        # A port free a moment ago with no listener: connecting is refused.
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
            probe.bind(("127.0.0.1", 0))
            ports["refused"] = probe.getsockname()[1]
        return ports

    def _spawn(self, target, *args) -> None:
        threading.Thread(target=target, args=args, daemon=True).start()

    def _accept_loop(self, listener: socket.socket, serve) -> None:
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
            sock.close()

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
        if not head.startswith(b"CONNECT "):
            sock.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n")
            return
        target = socket.create_connection(self.listeners["tls"].getsockname())
        sock.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        target.sendall(early)

        def pipe(source, sink):
            try:
                while data := source.recv(65536):
                    sink.sendall(data)
            except OSError:
                pass
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
        tls = context.wrap_socket(sock, server_side=True)
        with self.lock:
            self.stats["connections"] += 1
            self.stats["resumed"] += tls.session_reused
        conn = Connection(tls, self)
        while (request := conn.read_request()) is not None:
            with self.lock:
                self.stats["requests"] += 1
            if conn.drop_next:
                break
            if not find_handler(request)(conn, request):
                break
        tls.close()


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fixtures", required=True, help="the recorded responses")
    args = parser.parse_args(argv)
    state_dir = tempfile.mkdtemp(prefix="solvane-server-")
    try:
        certs = make_certificates(state_dir)
        server = Server(args.fixtures, certs)
        ports = server.start()
        print(json.dumps({"ports": ports, "ca": certs["ca.pem"], "other_ca": certs["other-ca.pem"]}),
              flush=True)
        try:  # until the parent closes our standard input
            while sys.stdin.buffer.read(4096):
                pass
        except (OSError, KeyboardInterrupt):
            pass
        server.stopping.set()
    finally:
        shutil.rmtree(state_dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
