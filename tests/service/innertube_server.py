#!/usr/bin/env python3
"""The loopback test server (tests/server/testserver.py) with the service's endpoints added:
InnerTube POSTs answered with recorded responses chosen by the request body, the embed page,
RSS feeds, HLS manifests and SponsorBlock segments. Every request to these routes is logged and
GET /test/service-log returns the log as JSON (method, path, user agent, visitor header, body).
"""

import json
import os
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server"))
import testserver  # noqa: E402

LOG = []
LOG_LOCK = threading.Lock()

PLAYER = {
    "WEB": "player/player_web_2023-12_K4DyBUG242c_signatureCipher.json",
    "IOS": "player/player_ios_2024-11_M4gD1WSo5mA.json",
    "VISIONOS": "player/player_visionos_2026-06_M4gD1WSo5mA.json",
    "ANDROID": "player/player_android_2023-12_K4DyBUG242c.json",
}
LISTINGS = {
    "/youtubei/v1/search": "search/search_web_2026-01_all_test_first.json",
    "/youtubei/v1/browse": "browse/browse_playlist_web_2024-11_VLPLoumn_first.json",
    "/youtubei/v1/next": "next/next_web_2026-06_M4gD1WSo5mA_first.json",
}


def log(req):
    entry = {"method": req.method, "path": req.target,
             "user_agent": req.headers.get("user-agent"),
             "visitor": req.headers.get("x-goog-visitor-id"),
             "content_type": req.headers.get("content-type"),
             "body": req.body.decode("utf-8", "replace")}
    with LOG_LOCK:
        LOG.append(entry)


def send_fixture(conn, name, kind="application/json"):
    with open(os.path.join(conn.server.fixtures, name), "rb") as f:
        body = f.read()
    return conn.respond(200, body, headers=[f"Content-Type: {kind}"])


def route_innertube(conn, req):
    log(req)
    if req.path == "/youtubei/v1/player":
        try:
            client = json.loads(req.body)["context"]["client"]["clientName"]
        except (ValueError, KeyError, TypeError):
            return conn.respond(400, b"bad body\n")
        name = PLAYER.get(client)
        if not name:
            return conn.respond(400, b"unknown client\n")
        return send_fixture(conn, name)
    name = LISTINGS.get(req.path)
    if not name:
        return conn.respond(404, b"no such endpoint\n")
    return send_fixture(conn, name)


def route_embed(conn, req):
    log(req)
    return send_fixture(conn, "embed/embed_2020-12_aqz-KE-bpKQ.html", "text/html")


def route_feed(conn, req):
    log(req)
    return send_fixture(conn, "feeds/feed_playlist_PLav47HAVZMjnTFVZL_trimmed.xml", "text/xml")


def route_manifest(conn, req):
    log(req)
    return send_fixture(conn, "hls/hls_live_master_2020-12_5qap5aO4i9A.m3u8",
                        "application/vnd.apple.mpegurl")


def route_segments(conn, req):
    log(req)
    return send_fixture(conn, "sponsorblock/skipSegments_videoID_music_offtopic.json")


def route_log(conn, req):
    with LOG_LOCK:
        body = json.dumps(LOG).encode()
    return conn.respond(200, body, headers=["Content-Type: application/json"])


testserver.add_route("POST", "/youtubei/v1/", route_innertube, prefix=True, first=True)
testserver.add_route("GET", "/embed/", route_embed, prefix=True, first=True)
testserver.add_route("GET", "/feeds/videos.xml", route_feed, first=True)
testserver.add_route("GET", "/api/manifest/", route_manifest, prefix=True, first=True)
testserver.add_route("GET", "/api/skipSegments", route_segments, first=True)
testserver.add_route("GET", "/test/service-log", route_log, first=True)

if __name__ == "__main__":
    sys.exit(testserver.main())
