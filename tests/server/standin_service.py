#!/usr/bin/env python3
"""A stand-in for the video service on the loopback test server (testserver.py): recorded
innertube pages (non-ASCII searches retitled in several scripts, "hostile trickle|length|title N"
searches hostile), feeds derived from the playlist id, images in colours derived from the path,
/test/ controls; with --media, 20-second media made by ffmpeg. It prints one JSON line (ports,
CA file) and serves until its standard input closes:
    python3 tests/server/standin_service.py --fixtures ../shared/fixtures [--media]
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
from xml.sax.saxutils import escape

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import testserver  # noqa: E402

SEARCH = {"first": "search/search_web_2026-01_all_test_first.json",
          "playlists": "search/search_web_2026-01_playlists_test_first.json",
          "continuation": "search/search_web_2026-01_all_test_continuation.json"}
BROWSE = {"playlist": "browse/browse_playlist_web_2024-11_VLPLoumn_first.json",
          "uploads": "browse/browse_uploads_web_2024-11_VLUULF_first.json",
          "continuation": "browse/browse_playlist_web_2024-11_VLPLoumn_continuation_last.json"}
NEXT = "next/next_web_2026-06_M4gD1WSo5mA_first.json"
PLAYER = {"WEB": "player/player_web_2023-12_K4DyBUG242c_signatureCipher.json",
          "VISIONOS": "player/player_visionos_2026-06_M4gD1WSo5mA.json"}
SCRIPT_TITLES = [
    "Día de los Muertos en Oaxaca",
    "A title much too long for its row: it goes on and on over four or five lines of the list, "
    "so that only its first lines show and the last of them ends in an ellipsis",
    "O’Brien’s “quoted” story — part 2", "うみねこのなく頃に 第一話", "Когда мы были молодыми",
    "Party time 🎉😀 ★ live now", "Ελληνικά, 한국어, 中文 and Deutsch: Größe"]
FEED = "feeds/feed_playlist_PLav47HAVZMjnTFVZL_trimmed.xml"
SEGMENTS = "sponsorblock/skipSegments_videoID_music_offtopic.json"
STARTED = time.time()  # feed times count back from here, so a feed fetched twice is the same

LOG, LOCK = [], threading.Lock()
IMAGES, PLAYER_URLS, MODES = {}, {}, {}  # image overrides by path end; PUT /test/player, /test/mode


def log(req, chosen=None):
    with LOCK:
        LOG.append({"time": time.time(), "method": req.method, "host": req.headers.get("host"),
                    "path": req.target, "user_agent": req.headers.get("user-agent"),
                    "body": req.body.decode("utf-8", "replace"), "fixture": chosen})


def fixture(conn, name):
    with open(os.path.join(conn.server.fixtures, name), "rb") as f:
        return f.read()


def respond(conn, body, kind="application/json"):
    return conn.respond(200, body, headers=["Content-Type: " + kind])


def walk_videos(node, visit):
    """Calls visit(renderer) on every videoRenderer; drops shelves from lists."""
    if isinstance(node, dict):
        if isinstance(node.get("videoRenderer"), dict):
            visit(node["videoRenderer"])
        for value in node.values():
            walk_videos(value, visit)
    elif isinstance(node, list):
        node[:] = [v for v in node if not (isinstance(v, dict) and {
            "shelfRenderer", "reelShelfRenderer", "gridShelfViewModel"} & v.keys())]
        for value in node:
            walk_videos(value, visit)


def retitled(body, titles):
    """The page without its shelves, its first videos titled `titles`."""
    page, titles = json.loads(body), iter(titles)

    def visit(renderer):
        title = next(titles, None)
        if title:
            renderer["title"] = {"runs": [{"text": title}]}
    walk_videos(page, visit)
    return json.dumps(page, ensure_ascii=False).encode("utf-8")


def route_innertube(conn, req):
    try:
        body = dict(json.loads(req.body or b"{}"))
    except (ValueError, TypeError):
        body = {}
    query, more = str(body.get("query", "")), "continuation" in body
    if req.path == "/youtubei/v1/player":
        name = PLAYER.get(body.get("context", {}).get("client", {}).get("clientName"))
        log(req, name)
        return send_player(conn, name, str(body.get("videoId", ""))) if name else \
            conn.respond(400, b"unknown client\n")
    if req.path == "/youtubei/v1/search":
        if query.startswith("hostile "):
            log(req, "hostile")
            return hostile_search(conn, query.split())
        name = SEARCH["continuation" if more else
                      "playlists" if "SAhAD" in str(body.get("params", "")) else "first"]
    elif req.path == "/youtubei/v1/browse":
        name = BROWSE["continuation" if more else "uploads"
                      if str(body.get("browseId", "")).startswith("VLUU") else "playlist"]
    elif req.path == "/youtubei/v1/next":
        name = NEXT
    else:
        log(req)
        return conn.respond(404, b"no such endpoint\n")
    log(req, name)
    page = fixture(conn, name)
    if req.path.endswith("/search") and not query.isascii() and not more:
        page = retitled(page, SCRIPT_TITLES)
    return respond(conn, page)


def send_player(conn, name, video_id):
    """The recorded player response for `video_id`, streams on the media (--media) or on the
    addresses PUT /test/player gave."""
    body = fixture(conn, name)
    recorded = json.loads(body)["videoDetails"]["videoId"]
    if len(video_id) == len(recorded) and video_id.isascii():
        body = body.replace(recorded.encode(), video_id.encode())
    root, base = json.loads(body), MEDIA["dir"] and media_base(conn)
    streaming = root.get("streamingData", {})
    if base:
        title = "Stand-in video " + video_id
        root["videoDetails"].update(title=title, lengthSeconds=str(MEDIA_SECONDS),
                                    shortDescription=MEDIA_DESCRIPTION)
        root.get("microformat", {}).get("playerMicroformatRenderer", {}).update(
            title={"simpleText": title}, lengthSeconds=str(MEDIA_SECONDS),
            description={"simpleText": MEDIA_DESCRIPTION})
        if "hlsManifestUrl" in streaming:
            # Fetched by the plug-in and, with the full manifest, by mpv through the proxy.
            streaming["hlsManifestUrl"] = "https://manifest.googlevideo.com/media/master.m3u8"
    for key in ("formats", "adaptiveFormats"):
        for entry in streaming.get(key) or []:
            kind = "audio" if str(entry.get("mimeType", "")).startswith("audio/") else "video"
            name = "muxed.mp4" if key == "formats" else "audio.m4a" if kind == "audio" else "video.mp4"
            url = PLAYER_URLS.get(kind) or base and base + name + "?itag=%s" % entry.get("itag")
            if url:
                entry.pop("signatureCipher", None)
                entry.update(url=url, approxDurationMs=str(MEDIA_SECONDS * 1000))
    for track in root.get("captions", {}).get("playerCaptionsTracklistRenderer", {}).get(
            "captionTracks") or []:
        track["baseUrl"] = PLAYER_URLS.get("caption") or base and base + (
            "captions.vtt?lang=%s" % track.get("languageCode", "")) or track["baseUrl"]
    return respond(conn, json.dumps(root).encode())


def derived(seed, length=11):
    """An id of `length` characters of the service's alphabet, derived from `seed`."""
    return base64.urlsafe_b64encode(hashlib.sha1(seed.encode()).digest()).decode()[:length]


def feed_entries(playlist):
    """[(video id, title, publication time)] of a feed, newest first, i * 4 days and a few hours
    (differing between playlists) old."""
    offset = 3600 + int.from_bytes(hashlib.sha1(playlist.encode()).digest()[:4], "big") % 72000
    return [(derived("%s/%d" % (playlist, i)), "Feed video %d of %s" % (i + 1, playlist),
             int(STARTED) - offset - i * 4 * 86400) for i in range(15)]


def feed_xml(fixtures, playlist):
    with open(os.path.join(fixtures, FEED), encoding="utf-8") as f:
        text = f.read()
    start, end = text.index("<entry>"), text.index("</entry>") + len("</entry>")
    head, template = text[:start], text[start:end]
    recorded = [re.search(r"<%s>([^<]*)<" % tag, template).group(1)
                for tag in ("yt:videoId", "media:title", "published")]
    safe = escape(playlist, {"\"": "&quot;"})
    head = head.replace(re.search(r"<yt:playlistId>([^<]*)<", head).group(1), safe).replace(
        "<title>%s<" % re.search(r"<title>([^<]*)<", head).group(1), "<title>Stand-in feed %s<" % safe)
    entries = []
    for video, title, published in feed_entries(playlist):
        entry = template
        for old, new in zip(recorded, (video, escape(title), time.strftime(
                "%Y-%m-%dT%H:%M:%S+00:00", time.gmtime(published)))):
            entry = entry.replace(old, new)
        entries.append(entry)
    return (head + "\n ".join(entries) + "\n</feed>\n").encode()


def route_feed(conn, req):
    playlist = req.param("playlist_id")
    log(req, FEED if playlist else None)
    if not playlist:
        return conn.respond(404, b"no playlist_id\n")
    body = feed_xml(conn.server.fixtures, playlist)
    if MODES.get("feed") == "trickle":
        return trickle(conn, body)
    return respond(conn, body, "text/xml; charset=UTF-8")


def route_segments(conn, req):
    log(req, SEGMENTS)
    segments = json.loads(fixture(conn, SEGMENTS))
    if MEDIA["dir"]:
        segments = [dict(segments[i % len(segments)], segment=list(span),
                         videoDuration=MEDIA_SECONDS) for i, span in enumerate(MEDIA_SEGMENTS)]
    return respond(conn, json.dumps(segments).encode())


def png(width, height, rows):
    """A PNG of RGB rows (each `width` * 3 bytes)."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b"".join(b"\x00" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def colour(seed, index=0):
    # Mid-range colours, so images stand out from both light and dark themes.
    return bytes(64 + b % 160 for b in hashlib.sha1(f"{seed}/{index}".encode()).digest()[:3])


def image(seed, width=320, height=180):
    """Two colour fields split diagonally in steps, with a light band across the middle."""
    a, b = colour(seed, 1), colour(seed, 2)
    return png(width, height, [bytes((230, 230, 230)) * width
                               if height * 2 // 5 <= y < height * 3 // 5 else
                               a * (width * (height - y) // height)
                               + b * (width - width * (height - y) // height)
                               for y in range(height)])


def route_image(conn, req):
    log(req)
    with LOCK:
        body = next((b for end, b in IMAGES.items() if req.path.endswith(end)), None)
    if body is None:
        # /vi/ID/mqdefault.jpg is ID's thumbnail; other images get colours of their path.
        parts = req.path.strip("/").split("/")
        if len(parts) != 3 or parts[0] not in ("vi", "vi_webp"):
            body = image(req.path, 88, 88)
        else:
            body = image(parts[1] if parts[2].startswith("mqdefault") else req.path)
    return respond(conn, body, "image/png")


def route_control(conn, req):
    with LOCK:
        if req.path == "/test/image":
            IMAGES[req.param("suffix", "")] = req.body
        elif req.path == "/test/player":
            PLAYER_URLS.clear()
            PLAYER_URLS.update(json.loads(req.body) if req.body.strip() else {})
        else:
            MODES.update({name: values[-1] for name, values in req.query.items()})
    return conn.respond(200, b"ok\n")


def send_quietly(conn, data):
    """Sends `data`; False once the client has gone (it refused the answer)."""
    try:
        conn.send(data)
        return True
    except OSError:
        return False


def trickle(conn, body):
    """`body` one byte a second, until sent, the client goes or the server stops."""
    conn.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    if not send_quietly(conn, b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body)):
        return False
    for i in range(len(body)):
        if conn.server.stopping.wait(1.0) or not send_quietly(conn, body[i:i + 1]):
            return False
    return True


def hostile_search(conn, words):
    conn.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    if words[1] == "trickle":
        return trickle(conn, b"{" + b" " * 1022 + b"}")
    head = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
    if words[1] == "length":
        if send_quietly(conn, head + b"Content-Length: %d\r\n\r\n" % (1 << 30)):
            block = b" " * (1 << 20)
            for _ in range(1 << 10):
                if conn.server.stopping.is_set() or not send_quietly(conn, block):
                    break
        return False
    if words[1] == "title":
        piece = "A very long title ✓ "
        page = retitled(fixture(conn, SEARCH["first"]),
                        [piece * (int(words[2]) * 2 ** 20 // len(piece.encode()))])
        send_quietly(conn, head + b"Connection: close\r\n\r\n" + page)
        return False
    return conn.respond(404, b"no such hostile answer\n")


# Playable media (--media)
MEDIA = {"dir": None}
MEDIA_SECONDS = 20
MEDIA_DESCRIPTION = "Stand-in video.\n\n0:00 Opening\n0:06 - Middle part\nClosing 0:16\nEncore 0:45\n"
MEDIA_SEGMENTS = [(2.0, 4.5), (12.0, 14.0), (9.0, 8.0)]  # the last marks nothing
VIDEO = ["-f", "lavfi", "-i", f"testsrc=s=320x180:r=15:d={MEDIA_SECONDS}"]
AUDIO = ["-f", "lavfi", "-i", f"sine=f=440:d={MEDIA_SECONDS}"]
H264 = ["-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "30"]
AAC = ["-c:a", "aac", "-b:a", "32k"]
MEDIA_FILES = {"video.mp4": VIDEO + H264 + ["-an"], "audio.m4a": AUDIO + AAC + ["-vn"],
               "muxed.mp4": VIDEO + AUDIO + H264 + AAC + ["-shortest"]}
MEDIA_TYPES = {".mp4": "video/mp4", ".m4a": "audio/mp4", ".m3u8": "application/vnd.apple.mpegurl",
               ".ts": "video/mp2t", ".vtt": "text/vtt"}
# Video stream numbers of the master playlist's variants (240p to 1080p60, H.264 and VP9).
HLS_VIDEO_STREAMS = [229, 230, 231, 232, 270, 311, 312, 604, 605, 606, 609, 614]


def make_media(folder):
    """The media files and the HLS renditions (video alone and audio alone) of ffmpeg's test
    sources."""
    def ffmpeg(args):
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y"] + args, check=True,
                       stdin=subprocess.DEVNULL)
    hls = os.path.join(folder, "hls")
    os.makedirs(hls)
    for name, args in MEDIA_FILES.items():
        ffmpeg(args + ["-movflags", "+faststart", os.path.join(folder, name)])
    for name, args in (("video", MEDIA_FILES["video.mp4"]), ("audio", MEDIA_FILES["audio.m4a"])):
        ffmpeg(args + ["-f", "hls", "-hls_time", "5", "-hls_playlist_type", "vod",
                       "-hls_segment_filename", os.path.join(hls, name[0] + "%d.ts"),
                       os.path.join(hls, name + ".m3u8")])
    with open(os.path.join(folder, "captions.vtt"), "w") as f:
        f.write("WEBVTT\n\n00:00:00.000 --> 00:00:%02d.000\nStand-in captions\n" % MEDIA_SECONDS)
    MEDIA["dir"] = folder


def media_base(conn):
    return "https://127.0.0.1:%d/media/" % conn.server.listeners["tls"].getsockname()[1]


def route_media(conn, req):
    log(req)
    name = req.path[len("/media/"):]
    if name == "master.m3u8":
        uri = media_base(conn) + "hls/itag/%d/source/yt_live_broadcast/playlist/%s"
        lines = ["#EXTM3U", "#EXT-X-INDEPENDENT-SEGMENTS",
                 '#EXT-X-MEDIA:URI="%s",TYPE=AUDIO,GROUP-ID="234",NAME="Default",DEFAULT=YES,'
                 'AUTOSELECT=YES' % (uri % (234, "audio.m3u8"))]
        for stream in HLS_VIDEO_STREAMS:
            lines += ['#EXT-X-STREAM-INF:BANDWIDTH=300000,CODECS="avc1.42c00d,mp4a.40.2",'
                      'RESOLUTION=320x180,FRAME-RATE=15,VIDEO-RANGE=SDR,AUDIO="234",'
                      'CLOSED-CAPTIONS=NONE', uri % (stream, "video.m3u8")]
        body = ("\n".join(lines) + "\n").encode()
    else:
        # HLS playlists and their segments are found by the last part of the path.
        folder = MEDIA["dir"]
        if name.startswith("hls/"):
            folder, name = os.path.join(folder, "hls"), name.rsplit("/", 1)[-1]
        if "/" in name or name not in os.listdir(folder):
            return conn.respond(404, b"no such media\n")
        with open(os.path.join(folder, name), "rb") as f:
            body = f.read()
    return respond(conn, body, MEDIA_TYPES.get(os.path.splitext(name)[1], "application/octet-stream"))


def is_image_host(req):
    return (req.headers.get("host", "").split(":")[0] not in ("www.youtube.com", "youtube.com")
            and req.path != "/api/skipSegments")


for method, path, handler, prefix in [
        ("GET", "/test/service-log", lambda conn, req: respond(conn, json.dumps(LOG[:]).encode()),
         False), ("PUT", "/test/", route_control, True),
        ("POST", "/youtubei/v1/", route_innertube, True),
        ("GET", "/embed/", lambda conn, req: log(req, "embed") or respond(
            conn, fixture(conn, "embed/embed_2020-12_aqz-KE-bpKQ.html"), "text/html"), True),
        ("GET", "/feeds/videos.xml", route_feed, False),
        ("GET", "/api/skipSegments", route_segments, False)]:
    testserver.add_route(method, path, handler, prefix=prefix, first=True)
testserver.add_route("GET", "/media/", route_media, prefix=True, first=True,
                     match=lambda req: MEDIA["dir"] is not None)
testserver.add_route("GET", "/", route_image, prefix=True, match=is_image_host)


def main(argv):
    if "--media" not in argv:
        return testserver.main(argv)
    folder = tempfile.mkdtemp(prefix="solvane-media-")
    try:
        make_media(folder)
        return testserver.main([a for a in argv if a != "--media"])
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
