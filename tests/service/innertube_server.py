#!/usr/bin/env python3
"""The loopback test server (tests/server/testserver.py) answering as the service from the
recorded responses: InnerTube POSTs (the player response by the body's client name), the embed
page, an RSS feed, an HLS manifest and SponsorBlock segments. GET /test/service-log returns every
service request so far as JSON (method, path, user agent, visitor header, content type, body)."""

import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server"))
import testserver  # noqa: E402

LOG = []
PLAYER = {
    "WEB": "player/player_web_2023-12_K4DyBUG242c_signatureCipher.json",
    "IOS": "player/player_ios_2024-11_M4gD1WSo5mA.json",
    "VISIONOS": "player/player_visionos_2026-06_M4gD1WSo5mA.json",
}
ROUTES = {  # path (or its start) -> the recorded answer
    "/youtubei/v1/search": "search/search_web_2026-01_all_test_first.json",
    "/embed/": "embed/embed_2020-12_aqz-KE-bpKQ.html",
    "/feeds/videos.xml": "feeds/feed_playlist_PLav47HAVZMjnTFVZL_trimmed.xml",
    "/api/manifest/": "hls/hls_live_master_2020-12_5qap5aO4i9A.m3u8",
    "/api/skipSegments": "sponsorblock/skipSegments_videoID_music_offtopic.json",
}


def route_service(conn, req):
    h = req.headers
    LOG.append({"method": req.method, "path": req.target, "user_agent": h.get("user-agent"),
                "visitor": h.get("x-goog-visitor-id"), "content_type": h.get("content-type"),
                "body": req.body.decode("utf-8", "replace")})
    if req.path == "/youtubei/v1/player":
        name = PLAYER.get(json.loads(req.body or "{}").get("context", {}).get("client", {})
                          .get("clientName"))
    else:
        name = next((n for p, n in ROUTES.items() if req.path.startswith(p)), None)
    if not name:
        return conn.respond(404, b"no such endpoint\n")
    with open(os.path.join(conn.server.fixtures, name), "rb") as f:
        return conn.respond(200, f.read())


testserver.add_route("*", "/", route_service, prefix=True)
testserver.add_route("GET", "/test/service-log", lambda conn, req: conn.respond(
    200, json.dumps(LOG).encode()), first=True)

if __name__ == "__main__":
    sys.exit(testserver.main())
