#!/usr/bin/env python3
"""testserver.py answering as the service from recorded responses (player by client name);
GET /test/service-log returns the service requests so far."""

import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server"))
import testserver  # noqa: E402

LOG = []
PLAYER = {
    "WEB": "player/player_web_2023-12_K4DyBUG242c_signatureCipher.json",
    "VISIONOS": "player/player_visionos_2026-06_M4gD1WSo5mA.json",
}
ROUTES = {  # path (or its start) -> the recorded answer
    "/embed/": "embed/embed_2020-12_aqz-KE-bpKQ.html",
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
