#!/usr/bin/env python3
"""A stand-in for the video service, built on the loopback test server (testserver.py).

It answers what the plug-in asks the real service for, from the recorded responses in the
fixtures directory:

  POST /youtubei/v1/search   first page by the filter token (channels, playlists, all) or the
                             continuation page when the body carries a "continuation"
  POST /youtubei/v1/browse   a playlist or channel-uploads first page, or a continuation page
  POST /youtubei/v1/next     recommended videos, or a continuation page
  POST /youtubei/v1/player   the player response recorded for the body's client name
  GET  /embed/ID             the embed page (visitor data)
  GET  /feeds/videos.xml     a playlist RSS feed
  GET  /api/skipSegments     SponsorBlock segments
  GET  images                on every other host (i.ytimg.com, yt3.ggpht.com, ...): thumbnails
                             (/vi/ID/mqdefault.jpg), storyboard frames (/vi/ID/mq1.jpg .. mq3.jpg)
                             and owner pictures, made here as small PNG images (the decoder
                             reads them whatever the name says; Python's standard library has
                             no JPEG encoder)
  GET  /test/service-log     every service request so far, as JSON (method, host, path, body)

Its certificate is valid for the service's host names, so the plug-in reaches it unchanged
through SOLVANE_RESOLVE ("HOST:443:127.0.0.1:PORT") and SSL_CERT_FILE (the printed "ca").

Run by hand:  python3 tests/server/standin_service.py --fixtures ../shared/fixtures
It prints one JSON line (ports, CA file) and serves until its standard input closes.
"""

import hashlib
import json
import os
import struct
import sys
import threading
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import testserver  # noqa: E402

SERVICE_HOSTS = ["www.youtube.com", "youtube.com", "i.ytimg.com", "i9.ytimg.com",
                 "yt3.ggpht.com", "sponsor.ajay.app"]

SEARCH = {
    "first": "search/search_web_2026-01_all_test_first.json",
    "channels": "search/search_web_2026-01_channels_bbc_first.json",
    "playlists": "search/search_web_2026-01_playlists_test_first.json",
    "continuation": "search/search_web_2026-01_all_test_continuation.json",
}
BROWSE = {
    "playlist": "browse/browse_playlist_web_2024-11_VLPLoumn_first.json",
    "uploads": "browse/browse_uploads_web_2024-11_VLUULF_first.json",
    "continuation": "browse/browse_playlist_web_2024-11_VLPLoumn_continuation_last.json",
}
NEXT = {
    "first": "next/next_web_2026-06_M4gD1WSo5mA_first.json",
    # A continuation that holds comments and no videos: the list gains no row.
    "continuation": "next/next_web_2026-01_comments_continuation.json",
}
PLAYER = {
    "WEB": "player/player_web_2023-12_K4DyBUG242c_signatureCipher.json",
    "IOS": "player/player_ios_2024-11_M4gD1WSo5mA.json",
    "VISIONOS": "player/player_visionos_2026-06_M4gD1WSo5mA.json",
    "ANDROID": "player/player_android_2023-12_K4DyBUG242c.json",
    "ANDROID_VR": "player/player_android_2023-12_K4DyBUG242c.json",
    "WEB_EMBEDDED_PLAYER": "player/player_tvembedded_2023-12_rwcfPqbAx-0.json",
}

LOG = []
LOG_LOCK = threading.Lock()
IMAGES = {}
IMAGES_LOCK = threading.Lock()


def log(req, chosen=None):
    entry = {"method": req.method, "host": req.headers.get("host"), "path": req.target,
             "user_agent": req.headers.get("user-agent"),
             "visitor": req.headers.get("x-goog-visitor-id"),
             "body": req.body.decode("utf-8", "replace"), "fixture": chosen}
    with LOG_LOCK:
        LOG.append(entry)


def send_fixture(conn, req, name, kind="application/json"):
    log(req, name)
    with open(os.path.join(conn.server.fixtures, name), "rb") as f:
        body = f.read()
    return conn.respond(200, body, headers=[f"Content-Type: {kind}"])


def send_player(conn, req, name, video_id):
    """The recorded player response, made to be the response for `video_id`: the recorded id is
    replaced wherever it occurs (ids have one length, so nothing else moves)."""
    log(req, name)
    with open(os.path.join(conn.server.fixtures, name), "rb") as f:
        body = f.read()
    try:
        recorded = json.loads(body)["videoDetails"]["videoId"]
    except (ValueError, KeyError, TypeError):
        recorded = None
    if recorded and len(video_id) == len(recorded) and video_id.isascii():
        body = body.replace(recorded.encode(), video_id.encode())
    return conn.respond(200, body, headers=["Content-Type: application/json"])


def body_json(req):
    try:
        value = json.loads(req.body or b"{}")
        return value if isinstance(value, dict) else {}
    except ValueError:
        return {}


def choose_search(body):
    if "continuation" in body:
        return SEARCH["continuation"]
    params = str(body.get("params", ""))
    # The type filter: "SAhAC" channels, "SAhAD" playlists (see the search filter tokens).
    if "SAhAC" in params:
        return SEARCH["channels"]
    if "SAhAD" in params:
        return SEARCH["playlists"]
    return SEARCH["first"]


def choose_browse(body):
    if "continuation" in body:
        return BROWSE["continuation"]
    if str(body.get("browseId", "")).startswith("VLUU"):
        return BROWSE["uploads"]
    return BROWSE["playlist"]


def choose_next(body):
    return NEXT["continuation"] if "continuation" in body else NEXT["first"]


def route_innertube(conn, req):
    body = body_json(req)
    if req.path == "/youtubei/v1/player":
        client = body.get("context", {}).get("client", {}).get("clientName")
        name = PLAYER.get(client)
        if not name:
            log(req)
            return conn.respond(400, b"unknown client\n")
        return send_player(conn, req, name, str(body.get("videoId", "")))
    choose = {"/youtubei/v1/search": choose_search, "/youtubei/v1/browse": choose_browse,
              "/youtubei/v1/next": choose_next}.get(req.path)
    if not choose:
        log(req)
        return conn.respond(404, b"no such endpoint\n")
    return send_fixture(conn, req, choose(body))


def route_embed(conn, req):
    return send_fixture(conn, req, "embed/embed_2020-12_aqz-KE-bpKQ.html", "text/html")


def route_feed(conn, req):
    return send_fixture(conn, req, "feeds/feed_playlist_PLav47HAVZMjnTFVZL_trimmed.xml",
                        "text/xml")


def route_segments(conn, req):
    return send_fixture(conn, req, "sponsorblock/skipSegments_videoID_music_offtopic.json")


def route_log(conn, req):
    with LOG_LOCK:
        body = json.dumps(LOG).encode()
    return conn.respond(200, body, headers=["Content-Type: application/json"])


# ---------------------------------------------------------------------------------------------
# Images

def png(width, height, rows):
    """A PNG of RGB rows (each `width` * 3 bytes)."""
    raw = b"".join(b"\x00" + row for row in rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 6))
            + chunk(b"IEND", b""))


def colour(seed, index=0):
    digest = hashlib.sha1(f"{seed}/{index}".encode()).digest()
    # Mid-range colours, so thumbnails stand out from both light and dark themes.
    return bytes(64 + b % 160 for b in digest[:3])


def thumbnail(seed, width=320, height=180):
    """Two colour fields split diagonally in steps, with a light band across the middle."""
    a, b = colour(seed, 1), colour(seed, 2)
    rows = []
    for y in range(height):
        if height * 2 // 5 <= y < height * 3 // 5:
            rows.append(bytes((230, 230, 230)) * width)
            continue
        split = width * (height - y) // height
        rows.append(a * split + b * (width - split))
    return png(width, height, rows)


def frame(seed, index, width=320, height=180):
    c = colour(seed, 10 + index)
    rows = [c * width if (y // 20) % 2 == 0 else bytes(x // 2 for x in c) * width
            for y in range(height)]
    return png(width, height, rows)


def avatar(seed, side=88):
    c = colour(seed, 5)
    rows = [(c if (y // 11 + x // 11) % 2 == 0 else bytes((250, 250, 250)))
            for y in range(side) for x in range(side)]
    return png(side, side, [b"".join(rows[y * side:(y + 1) * side]) for y in range(side)])


def image_for(path):
    parts = path.strip("/").split("/")
    if len(parts) == 3 and parts[0] in ("vi", "vi_webp"):
        video, name = parts[1], parts[2].split(".")[0]
        if name in ("mq1", "mq2", "mq3"):
            return frame(video, int(name[-1]))
        return thumbnail(video)
    return avatar(path)


def route_image(conn, req):
    log(req)
    with IMAGES_LOCK:
        body = IMAGES.get(req.path)
    if body is None:
        body = image_for(req.path)
        with IMAGES_LOCK:
            IMAGES[req.path] = body
    return conn.respond(200, body, headers=["Content-Type: image/png"])


def is_service_page(req):
    return req.headers.get("host", "").split(":")[0] in ("www.youtube.com", "youtube.com")


def is_image_host(req):
    return not is_service_page(req) and req.path not in ("/api/skipSegments",)


testserver.add_route("GET", "/test/service-log", route_log, first=True)
testserver.add_route("POST", "/youtubei/v1/", route_innertube, prefix=True, first=True)
testserver.add_route("GET", "/embed/", route_embed, prefix=True, first=True)
testserver.add_route("GET", "/feeds/videos.xml", route_feed, first=True)
testserver.add_route("GET", "/api/skipSegments", route_segments, first=True)
testserver.add_route("GET", "/", route_image, prefix=True, match=is_image_host)

if __name__ == "__main__":
    sys.exit(testserver.main())
