#!/usr/bin/env python3
"""A stand-in for the video service, built on the loopback test server (testserver.py).

It answers what the plug-in asks the real service for, from the recorded responses in the
fixtures directory:

  POST /youtubei/v1/search   first page by the filter token (channels, playlists, all) or the
                             continuation page when the body carries a "continuation"; a
                             query that is not ASCII gets video titles in several scripts
  POST /youtubei/v1/browse   a playlist or channel-uploads first page, or a continuation page
  POST /youtubei/v1/next     recommended videos, or a continuation page
  POST /youtubei/v1/player   the player response recorded for the body's client name
  GET  /embed/ID             the embed page (visitor data)
  GET  /feeds/videos.xml     the RSS feed of the playlist named by "playlist_id", made from the
                             recorded feed: the playlist's own id and title, 15 entries with
                             video ids, titles and publication times derived from the playlist
                             id (entry i was published i * 4 days and a few hours before the
                             stand-in started, so entries from the ninth on are older than a
                             month)
  GET  /api/skipSegments     SponsorBlock segments
  GET  images                on every other host (i.ytimg.com, yt3.ggpht.com, ...): thumbnails
                             (/vi/ID/mqdefault.jpg), storyboard frames (/vi/ID/mq1.jpg .. mq3.jpg)
                             and owner pictures, made here as small PNG images (the decoder
                             reads them whatever the name says; Python's standard library has
                             no JPEG encoder)
  GET  /test/service-log     every service request so far, as JSON (method, host, path, body)
  PUT  /test/image?suffix=S  from now on, answer image paths ending in S with the request's body
  PUT  /test/player          from now on, put the addresses of the request's JSON body
                             ({"video": URL, "audio": URL, "caption": URL}, each optional) in the
                             player responses: every video stream, audio stream or caption track
                             (an empty body puts the server's own back)
  PUT  /test/mode?feed=trickle  from now on, feeds answer one byte a second

Hostile answers, chosen by the search query:
  "hostile trickle"   a 1 kB answer sent one byte a second
  "hostile length"    a Content-Length of 1 GB, and the bytes after it for as long as they are read
  "hostile title N"   the first page with its first title N MB long, without a Content-Length

With --media, the player responses become playable here: every stream URL (formats,
adaptiveFormats, caption tracks, and the master playlist of hlsManifestUrl on the host
manifest.googlevideo.com) points to small media files this server makes
with ffmpeg at start-up and serves itself (GET /media/...), the video lasts 20 seconds, its
description holds timestamps (one of them past the end, as real descriptions sometimes have),
its title is "Stand-in video ID", and the SponsorBlock segments are the recorded ones moved
inside those 20 seconds, with one more whose end comes before its start. The HLS master playlist is shaped as the
service's: an audio rendition with stream number 234 and one variant per common video stream
number, each an HLS media playlist of MPEG-TS segments (GET /media/hls/itag/N/...).

Its certificate is valid for the service's host names, so the plug-in reaches it unchanged
through SOLVANE_RESOLVE ("HOST:443:127.0.0.1:PORT") and SSL_CERT_FILE (the printed "ca").

Run by hand:  python3 tests/server/standin_service.py --fixtures ../shared/fixtures [--media]
It prints one JSON line (ports, CA file) and serves until its standard input closes.
"""

import base64
import hashlib
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import testserver  # noqa: E402

SERVICE_HOSTS = ["www.youtube.com", "youtube.com", "i.ytimg.com", "i9.ytimg.com",
                 "yt3.ggpht.com", "sponsor.ajay.app", "manifest.googlevideo.com"]

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
# Bodies a test put in place of the made-up images, by the end of the image path
# (PUT /test/image?suffix=/mq1.jpg): hostile files the plug-in must refuse.
IMAGE_OVERRIDES = {}


def log(req, chosen=None):
    entry = {"time": time.time(), "method": req.method, "host": req.headers.get("host"), "path": req.target,
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
    if MEDIA["dir"]:
        body = playable_player(body, video_id, media_base(conn))
    if PLAYER_URLS:
        body = player_with_urls(body, PLAYER_URLS)
    return conn.respond(200, body, headers=["Content-Type: application/json"])


def body_json(req):
    try:
        value = json.loads(req.body or b"{}")
        return value if isinstance(value, dict) else {}
    except ValueError:
        return {}


# A search whose query is not ASCII gets the first page without its shelves, with its first video
# titles in several scripts (text drawing tests: accents, typographic quotes, kana, Cyrillic,
# emoji, a title too long for its row).
SCRIPT_TITLES = [
    "Día de los Muertos en Oaxaca",
    "A title much too long for its row: it goes on and on over four or five lines of the list, "
    "so that only its first lines show and the last of them ends in an ellipsis",
    "O’Brien’s “quoted” story — part 2",
    "うみねこのなく頃に 第一話",
    "Когда мы были молодыми",
    "Party time 🎉😀 ★ live now",
    "Ελληνικά, 한국어, 中文 and Deutsch: Größe",
]


SHELVES = {"shelfRenderer", "reelShelfRenderer", "gridShelfViewModel"}


def script_titles(body):
    page = json.loads(body)
    titles = iter(SCRIPT_TITLES)

    def walk(node):
        if isinstance(node, dict):
            renderer = node.get("videoRenderer")
            if isinstance(renderer, dict):
                title = next(titles, None)
                if title:
                    renderer["title"] = {"runs": [{"text": title}]}
            for value in node.values():
                walk(value)
        elif isinstance(node, list):
            node[:] = [v for v in node if not (isinstance(v, dict) and SHELVES & v.keys())]
            for value in node:
                walk(value)
    walk(page)
    return json.dumps(page, ensure_ascii=False).encode("utf-8")


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
    if req.path == "/youtubei/v1/search" and str(body.get("query", "")).startswith("hostile "):
        log(req, "hostile")
        return hostile_search(conn, str(body["query"]))
    if req.path == "/youtubei/v1/search" and not str(body.get("query", "")).isascii() \
            and "continuation" not in body:
        name = choose(body)
        log(req, name)
        with open(os.path.join(conn.server.fixtures, name), "rb") as f:
            page = script_titles(f.read())
        return conn.respond(200, page, headers=["Content-Type: application/json"])
    return send_fixture(conn, req, choose(body))


def route_embed(conn, req):
    return send_fixture(conn, req, "embed/embed_2020-12_aqz-KE-bpKQ.html", "text/html")


FEED = "feeds/feed_playlist_PLav47HAVZMjnTFVZL_trimmed.xml"
FEED_ENTRIES = 15
FEED_STEP = 4 * 86400
# Publication times count back from the stand-in's start, so feeds fetched twice are the same.
STARTED = time.time()


def derived(seed, length=11):
    """An id of `length` characters of the service's alphabet, derived from `seed`."""
    digest = hashlib.sha1(seed.encode()).digest()
    return base64.urlsafe_b64encode(digest).decode()[:length]


def feed_entries(playlist):
    """[(video id, title, publication time in seconds since the epoch)] of a playlist's feed,
    newest first. The few hours' offset differs between playlists, so their entries interleave."""
    offset = 3600 + int.from_bytes(hashlib.sha1(playlist.encode()).digest()[:4], "big") % 72000
    return [(derived("%s/%d" % (playlist, i)), "Feed video %d of %s" % (i + 1, playlist),
             int(STARTED) - offset - i * FEED_STEP) for i in range(FEED_ENTRIES)]


def feed_xml(fixtures, playlist):
    with open(os.path.join(fixtures, FEED), encoding="utf-8") as f:
        text = f.read()
    start, end = text.index("<entry>"), text.index("</entry>") + len("</entry>")
    head, template = text[:start], text[start:end]
    recorded_id = re.search(r"<yt:videoId>([^<]*)<", template).group(1)
    recorded_title = re.search(r"<media:title>([^<]*)<", template).group(1)
    recorded_time = re.search(r"<published>([^<]*)<", template).group(1)
    recorded_playlist = re.search(r"<yt:playlistId>([^<]*)<", head).group(1)
    recorded_name = re.search(r"<title>([^<]*)<", head).group(1)
    safe = xml_escape(playlist)
    head = head.replace(recorded_playlist, safe).replace(
        "<title>%s<" % recorded_name, "<title>Stand-in feed %s<" % safe)
    entries = []
    for video, title, published in feed_entries(playlist):
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime(published))
        entries.append(template.replace(recorded_id, video).replace(recorded_title,
                                                                    xml_escape(title))
                       .replace(recorded_time, stamp))
    return (head + "\n ".join(entries) + "\n</feed>\n").encode()


def xml_escape(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))


def route_feed(conn, req):
    playlist = req.param("playlist_id")
    if not playlist:
        log(req)
        return conn.respond(404, b"no playlist_id\n")
    log(req, FEED)
    if MODES.get("feed") == "trickle":
        return trickle(conn, feed_xml(conn.server.fixtures, playlist))
    return conn.respond(200, feed_xml(conn.server.fixtures, playlist),
                        headers=["Content-Type: text/xml; charset=UTF-8"])


SEGMENTS = "sponsorblock/skipSegments_videoID_music_offtopic.json"


def route_segments(conn, req):
    if not MEDIA["dir"]:
        return send_fixture(conn, req, SEGMENTS)
    log(req, SEGMENTS)
    with open(os.path.join(conn.server.fixtures, SEGMENTS), "rb") as f:
        segments = json.loads(f.read())
    entries = []
    for i, span in enumerate(MEDIA_SEGMENTS):
        entry = dict(segments[i % len(segments)])
        entry["segment"] = list(span)
        entry["videoDuration"] = MEDIA_SECONDS
        entries.append(entry)
    body = json.dumps(entries).encode()
    return conn.respond(200, body, headers=["Content-Type: application/json"])


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


def route_image_override(conn, req):
    with IMAGES_LOCK:
        IMAGE_OVERRIDES[req.param("suffix", "")] = req.body
    return conn.respond(200, b"ok\n")


def route_image(conn, req):
    log(req)
    with IMAGES_LOCK:
        body = next((b for end, b in IMAGE_OVERRIDES.items() if req.path.endswith(end)),
                    IMAGES.get(req.path))
    if body is None:
        body = image_for(req.path)
        with IMAGES_LOCK:
            IMAGES[req.path] = body
    return conn.respond(200, body, headers=["Content-Type: image/png"])


# ---------------------------------------------------------------------------------------------
# Hostile answers

PLAYER_URLS = {}
MODES = {}


def route_player_urls(conn, req):
    urls = json.loads(req.body) if req.body.strip() else {}
    with IMAGES_LOCK:
        PLAYER_URLS.clear()
        PLAYER_URLS.update(urls)
    return conn.respond(200, b"ok\n")


def route_mode(conn, req):
    with IMAGES_LOCK:
        MODES.update({name: values[-1] for name, values in req.query.items()})
    return conn.respond(200, b"ok\n")


def player_with_urls(body, urls):
    """The player response with `urls` ("video", "audio", "caption") in place of the addresses
    of every stream and caption track of that kind."""
    root = json.loads(body)
    streaming = root.get("streamingData") or {}
    for entry in (streaming.get("formats") or []) + (streaming.get("adaptiveFormats") or []):
        kind = "audio" if str(entry.get("mimeType", "")).startswith("audio/") else "video"
        if kind in urls:
            entry.pop("signatureCipher", None)
            entry["url"] = urls[kind]
    captions = root.get("captions", {}).get("playerCaptionsTracklistRenderer", {})
    for track in captions.get("captionTracks") or []:
        if "caption" in urls:
            track["baseUrl"] = urls["caption"]
    return json.dumps(root).encode()


def send_quietly(conn, data):
    """Sends `data`; False once the client has gone (it refused the answer)."""
    try:
        conn.send(data)
        return True
    except OSError:
        return False


def trickle(conn, body):
    """`body` with its Content-Length, one byte a second, until it is sent, the client goes or
    the server stops."""
    conn.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    if not send_quietly(conn, b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body)):
        return False
    for i in range(len(body)):
        if conn.server.stopping.wait(1.0) or not send_quietly(conn, body[i:i + 1]):
            return False
    return True


def long_title_page(fixtures, megabytes):
    """The first search page with its first video title `megabytes` MB long."""
    with open(os.path.join(fixtures, SEARCH["first"]), "rb") as f:
        page = json.loads(f.read())
    pending = [page]
    while pending:
        node = pending.pop()
        if isinstance(node, dict):
            if isinstance(node.get("videoRenderer"), dict):
                piece = "A very long title ✓ "
                node["videoRenderer"]["title"] = {
                    "runs": [{"text": piece * (megabytes * 2 ** 20 // len(piece.encode()))}]}
                break
            pending.extend(reversed(list(node.values())))
        elif isinstance(node, list):
            pending.extend(reversed(node))
    return json.dumps(page, ensure_ascii=False).encode("utf-8")


def hostile_search(conn, query):
    conn.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    words = query.split()
    if words[1] == "trickle":
        return trickle(conn, b"{" + b" " * 1022 + b"}")
    if words[1] == "length":
        size = 1 << 30
        if not send_quietly(conn, b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                  b"Content-Length: %d\r\n\r\n" % size):
            return False
        block = b" " * (1 << 20)
        for _ in range(size // len(block)):
            if conn.server.stopping.is_set() or not send_quietly(conn, block):
                return False
        return True
    if words[1] == "title":
        body = long_title_page(conn.server.fixtures, int(words[2]))
        send_quietly(conn, b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                           b"Connection: close\r\n\r\n" + body)
        return False
    return conn.respond(404, b"no such hostile answer\n")


# ---------------------------------------------------------------------------------------------
# Playable media (--media)

MEDIA = {"dir": None}
MANIFEST_HOST = "manifest.googlevideo.com"
MEDIA_SECONDS = 20
MEDIA_DESCRIPTION = ("Stand-in video.\n\n0:00 Opening\n0:06 - Middle part\nClosing 0:16\n"
                     "Encore 0:45\n")
# The last segment is reversed: it marks nothing, and must not cost the others.
MEDIA_SEGMENTS = [(2.0, 4.5), (12.0, 14.0), (9.0, 8.0)]
MEDIA_FILES = {
    "video.mp4": ["-f", "lavfi", "-i", f"testsrc=s=320x180:r=15:d={MEDIA_SECONDS}",
                  "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "30",
                  "-an", "-movflags", "+faststart"],
    "audio.m4a": ["-f", "lavfi", "-i", f"sine=f=440:d={MEDIA_SECONDS}", "-c:a", "aac",
                  "-b:a", "32k", "-vn", "-movflags", "+faststart"],
    "muxed.mp4": ["-f", "lavfi", "-i", f"testsrc=s=320x180:r=15:d={MEDIA_SECONDS}",
                  "-f", "lavfi", "-i", f"sine=f=440:d={MEDIA_SECONDS}", "-c:v", "libx264",
                  "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "30", "-c:a", "aac",
                  "-b:a", "32k", "-shortest", "-movflags", "+faststart"],
}
MEDIA_TYPES = {".mp4": "video/mp4", ".m4a": "audio/mp4", ".m3u8": "application/vnd.apple.mpegurl",
               ".ts": "video/mp2t", ".vtt": "text/vtt"}


def make_media(folder):
    """Makes the media files once (ffmpeg's own test sources) into `folder`."""
    for name, args in MEDIA_FILES.items():
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y"] + args
                       + [os.path.join(folder, name)], check=True, stdin=subprocess.DEVNULL)
    # The HLS renditions: video alone and audio alone, each a media playlist of MPEG-TS
    # segments with relative names, as the service's HLS playlists are.
    hls = os.path.join(folder, "hls")
    os.makedirs(hls)
    for name, args in (("video", MEDIA_FILES["video.mp4"][:-2]), ("audio", MEDIA_FILES["audio.m4a"][:-2])):
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y"] + args
                       + ["-f", "hls", "-hls_time", "5", "-hls_playlist_type", "vod",
                          "-hls_segment_filename", os.path.join(hls, name[0] + "%d.ts"),
                          os.path.join(hls, name + ".m3u8")],
                       check=True, stdin=subprocess.DEVNULL)
    with open(os.path.join(folder, "captions.vtt"), "w") as f:
        f.write("WEBVTT\n\n00:00:00.000 --> 00:00:%02d.000\nStand-in captions\n" % MEDIA_SECONDS)
    MEDIA["dir"] = folder


def media_base(conn):
    return "https://127.0.0.1:%d/media/" % conn.server.listeners["tls"].getsockname()[1]


def playable_player(body, video_id, base):
    """The player response with every stream on this server's media files."""
    try:
        root = json.loads(body)
    except ValueError:
        return body
    if not isinstance(root, dict):
        return body
    title = "Stand-in video " + video_id
    details = root.get("videoDetails")
    if isinstance(details, dict):
        details.update(title=title, lengthSeconds=str(MEDIA_SECONDS),
                       shortDescription=MEDIA_DESCRIPTION)
    micro = root.get("microformat", {}).get("playerMicroformatRenderer")
    if isinstance(micro, dict):
        micro.update(title={"simpleText": title}, lengthSeconds=str(MEDIA_SECONDS),
                     description={"simpleText": MEDIA_DESCRIPTION})
    streaming = root.get("streamingData")
    if isinstance(streaming, dict):
        for key, kind in (("formats", "muxed"), ("adaptiveFormats", None)):
            for entry in streaming.get(key) or []:
                mime = str(entry.get("mimeType", ""))
                name = ("muxed.mp4" if kind else
                        "audio.m4a" if mime.startswith("audio/") else "video.mp4")
                url = base + name + "?itag=%s" % entry.get("itag")
                entry.pop("signatureCipher", None)
                entry["url"] = url
                entry["approxDurationMs"] = str(MEDIA_SECONDS * 1000)
        if "hlsManifestUrl" in streaming:
            # Fetched by the plug-in (through its host-name override) and, with the full
            # manifest, by the player (through the test server's proxy).
            streaming["hlsManifestUrl"] = "https://%s/media/master.m3u8" % MANIFEST_HOST
    captions = root.get("captions", {}).get("playerCaptionsTracklistRenderer", {})
    for track in captions.get("captionTracks") or []:
        track["baseUrl"] = base + "captions.vtt?lang=%s" % track.get("languageCode", "")
    return json.dumps(root).encode()


# Video stream numbers of the variants in the master playlist (240p to 1080p60, H.264 and VP9).
HLS_VIDEO_STREAMS = [229, 230, 231, 232, 270, 311, 312, 604, 605, 606, 609, 614]


def hls_master(base):
    """A master playlist shaped as the service's: the audio rendition (stream number 234) and one
    variant per video stream number, all on this server's HLS media playlists."""
    def uri(stream, name):
        return base + "hls/itag/%d/source/yt_live_broadcast/playlist/%s" % (stream, name)
    lines = ["#EXTM3U", "#EXT-X-INDEPENDENT-SEGMENTS",
             '#EXT-X-MEDIA:URI="%s",TYPE=AUDIO,GROUP-ID="234",NAME="Default",DEFAULT=YES,'
             'AUTOSELECT=YES' % uri(234, "audio.m3u8")]
    for stream in HLS_VIDEO_STREAMS:
        lines += ['#EXT-X-STREAM-INF:BANDWIDTH=300000,CODECS="avc1.42c00d,mp4a.40.2",'
                  'RESOLUTION=320x180,FRAME-RATE=15,VIDEO-RANGE=SDR,AUDIO="234",'
                  'CLOSED-CAPTIONS=NONE', uri(stream, "video.m3u8")]
    return ("\n".join(lines) + "\n").encode()


def route_media(conn, req):
    log(req)
    name = req.path[len("/media/"):]
    if name == "master.m3u8":
        body = hls_master(media_base(conn))
    else:
        # HLS playlists and their segments are found by the last part of the path.
        folder = MEDIA["dir"]
        if name.startswith("hls/"):
            folder, name = os.path.join(folder, "hls"), name.rsplit("/", 1)[-1]
        if "/" in name or name not in os.listdir(folder):
            return conn.respond(404, b"no such media\n")
        with open(os.path.join(folder, name), "rb") as f:
            body = f.read()
    kind = MEDIA_TYPES.get(os.path.splitext(name)[1], "application/octet-stream")
    return conn.respond(200, body, headers=["Content-Type: " + kind])


def is_service_page(req):
    return req.headers.get("host", "").split(":")[0] in ("www.youtube.com", "youtube.com")


def is_image_host(req):
    return not is_service_page(req) and req.path not in ("/api/skipSegments",)


testserver.add_route("GET", "/test/service-log", route_log, first=True)
testserver.add_route("PUT", "/test/image", route_image_override, first=True)
testserver.add_route("PUT", "/test/player", route_player_urls, first=True)
testserver.add_route("PUT", "/test/mode", route_mode, first=True)
testserver.add_route("POST", "/youtubei/v1/", route_innertube, prefix=True, first=True)
testserver.add_route("GET", "/embed/", route_embed, prefix=True, first=True)
testserver.add_route("GET", "/feeds/videos.xml", route_feed, first=True)
testserver.add_route("GET", "/api/skipSegments", route_segments, first=True)
testserver.add_route("GET", "/media/", route_media, prefix=True, first=True,
                     match=lambda req: MEDIA["dir"] is not None)
testserver.add_route("GET", "/", route_image, prefix=True, match=is_image_host)


def main(argv):
    if "--media" not in argv:
        return testserver.main(argv)
    argv = [a for a in argv if a != "--media"]
    folder = tempfile.mkdtemp(prefix="solvane-media-")
    try:
        make_media(folder)
        return testserver.main(argv)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
