"""Integration: playing a video in a real mpv under Xvfb against the stand-in service on loopback.

The stand-in runs with its playable media: every stream URL of its player responses points to
small files it made with ffmpeg and serves itself, the video lasts 20 seconds, its description
holds timestamps and its SponsorBlock segments lie inside those 20 seconds. A user searches,
opens a video with the keyboard and presses Ctrl+P; mpv then plays the EDL joining the video and
audio streams, with the description and sponsor chapters and the video's title, the interface
hides and the history file gains the video. With autoplay on, the next video of the results is
appended near the end. The other launch paths play as well: the default extractor's HLS
renditions joined in an EDL, the full HLS master playlist, and the watch page handed to mpv's ytdl
hook (whose helper program is a stand-in here too). Screenshots go into the build folder
(integration-play-*.png)."""
import json
import os
import stat
import tempfile
import time
import unittest

from mpvharness import Mpv, StandIn, Xvfb, save_screen, wait_or_fail

BUILD = os.environ.get("SOLVANE_BUILD", os.path.join(os.path.dirname(__file__), "../../build"))
GEOMETRY = ["--vo=x11", "--force-window=yes", "--geometry=960x600+0+0", "--tls-verify=no"]
CONFIG = {"extractor": "vos", "use_edl": True, "sponsorblock": True, "generate_chapters": True,
          "save_history": True, "autoplay_next": False}

# The stand-in's description ("0:00 Opening", "0:06 - Middle part", "Closing 0:16", "Encore 0:45")
# and its segments [2, 4.5], [12, 14] and the reversed [9, 8] of a 20-second video, sorted by
# start; a segment's end opens an empty chapter, and the last end opens one more up to the end
# of the video. The reversed segment marks nothing, and "Encore", past the end, starts at the end.
CHAPTERS = [("Opening", 0.0), ("SOLVANE-SPONSOR-SEGMENT", 2.0), ("", 4.5), ("Middle part", 6.0),
            ("SOLVANE-SPONSOR-SEGMENT", 12.0), ("", 14.0), ("", 14.0), ("Closing", 16.0),
            ("Encore", 20.0)]


class PlayIntegration(unittest.TestCase):
    def setUp(self):
        self.x = Xvfb("1280x720x24")
        self.addCleanup(self.x.close)
        self.service = StandIn(media=True)
        self.addCleanup(self.service.close)
        self.mpv = None

    def start(self, config, extra=()):
        m = Mpv(config=config, display=self.x.display, extra=GEOMETRY + list(extra),
                env=self.service.env)
        self.mpv = m
        self.addCleanup(m.close)
        m.wait_ready()
        m.wait_until(lambda: (m.get("osd-dimensions") or {}).get("w", 0) == 960, timeout=10)
        m.command(["script-message", "solfb-show"])
        self.wait(lambda: m.sections()["solfb-section"] != {-1})
        return m

    def shot(self, name):
        save_screen(self.x.display, os.path.join(BUILD, "integration-play-%s.png" % name))

    def requests(self, path):
        return [e for e in self.service.log() if e["path"].startswith(path)]

    def wait(self, condition, timeout=20):
        return wait_or_fail(self, condition, timeout, self.service, self.mpv, 10, 2000)

    def prop(self, name):
        """A property of mpv, or None while it is unavailable (nothing loaded yet)."""
        return self.mpv.command(["get_property", name], check=False)

    def keys(self, *names):
        # One key at a time: mpv drops keys sent faster than the plug-in handles them.
        for k in names:
            self.mpv.command(["keypress", k])
            time.sleep(0.03)

    def open_video(self, m):
        """Searches, then opens a row of the results with the keyboard; returns its id."""
        self.keys(*"test", "ENTER")
        self.wait(lambda: self.requests("/youtubei/v1/search"))
        self.wait(lambda: os.path.exists(os.path.join(m.solvane_dir, "listinfo.json")))
        # The rows are in once the thumbnails are asked for.
        self.wait(lambda: self.requests("/vi/"))
        # The search field keeps the focus after the search; F7 hands it to the result list.
        self.keys("F7", "DOWN", "ENTER")
        player = self.wait(lambda: self.requests("/youtubei/v1/player"))
        body = json.loads(player[0]["body"])
        self.assertEqual(body["context"]["client"]["clientName"], "WEB")
        video = body["videoId"]
        # The details are filled once their storyboard frames are asked for.
        self.wait(lambda: self.requests("/vi/%s/mq" % video))
        time.sleep(0.3)
        self.shot("details")
        return video

    def debug_log(self, m):
        with open(os.path.join(m.dir, "mpv-debug.log"), errors="replace") as f:
            return f.read()

    def history(self, m):
        path = os.path.join(m.solvane_dir, "history.json")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [e for e in json.load(f) if e]

    def test_ctrl_p_plays_the_edl_with_chapters_and_records_the_history(self):
        # The player stays on the last frame at the end, so its properties stay readable.
        m = self.start(CONFIG, ["--keep-open=yes"])
        video = self.open_video(m)
        title = "Stand-in video " + video
        self.assertEqual(self.history(m), [])

        self.keys("Ctrl+p")
        # The configured client ("vos") is asked for the streams, then SponsorBlock.
        player = self.wait(lambda: self.requests("/youtubei/v1/player")[1:])
        body = json.loads(player[0]["body"])
        self.assertEqual((body["videoId"], body["context"]["client"]["clientName"]),
                         (video, "VISIONOS"))
        segments = self.wait(lambda: self.requests("/api/skipSegments"))
        self.assertIn("videoID=" + video, segments[0]["path"])
        self.assertEqual(segments[0]["host"], "sponsor.ajay.app")

        # The interface hides and mpv loads the EDL joining the video and audio streams.
        self.wait(lambda: m.sections()["solfb-section"] == {-1})
        path = self.wait(lambda: (self.prop("path") or "").startswith("edl://") and self.prop("path"))
        port = self.service.port
        self.assertIn("https://127.0.0.1:%d/media/video.mp4?itag=" % port, path)
        self.assertIn(";!new_stream;!no_chapters;", path)
        self.assertIn("https://127.0.0.1:%d/media/audio.m4a?itag=" % port, path)

        # mpv really plays it: the streams arrive, the duration is the media's, time advances.
        duration = self.wait(lambda: self.prop("duration"), timeout=15)
        self.assertAlmostEqual(duration, 20.0, delta=0.5)
        self.assertEqual(self.prop("media-title"), title)
        # The video, the audio stream of the EDL and the captions (which the player opens
        # after the main file).
        def track_types():
            return sorted(t["type"] for t in self.prop("track-list") or [])
        self.wait(lambda: len(track_types()) >= 3)
        self.assertEqual(track_types(), ["audio", "sub", "video"])
        start = self.wait(lambda: [self.prop("time-pos")] if self.prop("time-pos") is not None
                          else None)[0]
        self.wait(lambda: (self.prop("time-pos") or 0) >= start + 0.5, timeout=10)
        media = [e["path"] for e in self.requests("/media/")]
        self.assertTrue(any(p.startswith("/media/video.mp4") for p in media), media)
        self.assertTrue(any(p.startswith("/media/audio.m4a") for p in media), media)
        self.assertTrue(any(p.startswith("/media/captions.vtt?lang=en") for p in media), media)

        chapters = [(c["title"], round(c["time"], 3)) for c in self.prop("chapter-list")]
        self.assertEqual(chapters, CHAPTERS)

        # The history file gained the video, with its title and duration.
        entries = self.wait(lambda: self.history(m))
        self.assertEqual([(e["id"], e["title"], e["duration"]) for e in entries],
                         [(video, title, 20)])
        time.sleep(0.3)
        self.shot("playing")
        # Nothing left the machine: mpv opened the stand-in's addresses only.
        opened = [line for line in self.debug_log(m).splitlines()
                  if "Opening https://" in line or "Opening http://" in line]
        self.assertTrue(opened)
        for line in opened:
            self.assertIn("https://127.0.0.1:%d/" % port, line)
        self.assertEqual(m.quit(), 0)

    def test_instant_play_loads_the_resolved_video_with_no_request(self):
        # The same video played with instant play off, then on (after "ready to play"): the
        # same load, chapters and tracks, and with it on no request of the plug-in after the key.
        loads = {}
        for instant in (False, True):
            m = self.start(dict(CONFIG, instant_play=instant), ["--keep-open=yes"])
            video = self.open_video(m)
            if instant:
                self.wait(lambda: "INFO: ready to play: " + video in m.output())
                time.sleep(0.3)
                self.shot("ready")
                # Opening resolved the streams, the manifest-free stream choice and the segments.
                clients = [json.loads(e["body"])["context"]["client"]["clientName"]
                           for e in self.requests("/youtubei/v1/player")]
                self.assertEqual(clients[-2:], ["WEB", "VISIONOS"])
            pressed = len(self.service.log())
            self.keys("Ctrl+p")
            path = self.wait(lambda: (self.prop("path") or "").startswith("edl://") and self.prop("path"))
            self.wait(lambda: self.prop("duration"), timeout=15)
            self.wait(lambda: len(self.prop("track-list") or []) >= 3)
            after = self.service.log()[pressed:]
            # mpv's own media requests carry its user agent; the plug-in's never do.
            plugin_requests = [e["path"] for e in after if e["user_agent"] != "libmpv"]
            if instant:
                self.assertEqual(plugin_requests, [])
            else:
                self.assertTrue(any(p.startswith("/youtubei/v1/player") for p in plugin_requests))
                self.assertTrue(any(p.startswith("/api/skipSegments") for p in plugin_requests))
            loads[instant] = (path, [(c["title"], round(c["time"], 3)) for c in self.prop("chapter-list")],
                              sorted(t["type"] for t in self.prop("track-list")),
                              self.prop("media-title"))
            self.assertEqual(m.quit(), 0)
        self.assertEqual(loads[True], loads[False])
        self.assertEqual(loads[True][1], CHAPTERS)
        self.assertEqual(loads[True][2], ["audio", "sub", "video"])

    def test_autoplay_appends_the_next_video_near_the_end(self):
        m = self.start(dict(CONFIG, autoplay_next=True, show_autoplay_notification=True))
        video = self.open_video(m)
        self.keys("Ctrl+p")
        self.wait(lambda: (self.prop("path") or "").startswith("edl://"))
        # A 20-second video is always within a minute of its end: the next row is queued.
        self.wait(lambda: self.prop("playlist-count") == 2, timeout=20)
        # print-text lands in mpv's log file (the terminal is off).
        self.wait(lambda: "loading autoplay of video id" in self.debug_log(m))
        players = [json.loads(e["body"]) for e in self.requests("/youtubei/v1/player")]
        ids = [p["videoId"] for p in players]
        self.assertEqual(ids[:2], [video, video])
        following = ids[2]
        self.assertNotEqual(following, video)
        self.assertIn("loading autoplay of video id " + following, self.debug_log(m))
        playlist = self.prop("playlist")
        self.assertEqual(len(playlist), 2)
        self.assertTrue(playlist[1]["filename"].startswith("edl://"), playlist[1])
        self.assertIn("Stand-in video " + following, playlist[1]["filename"])
        # Only one video is queued: the check does nothing while the next one waits.
        time.sleep(1.5)
        self.assertEqual(self.prop("playlist-count"), 2)
        self.shot("autoplay")
        self.assertEqual(m.quit(), 0)

    def play_and_wait(self, m, title="Stand-in video %s"):
        """Opens a video, presses Ctrl+P and waits until mpv plays it under `title` (filled with
        the id); returns the video id and mpv's path."""
        video = self.open_video(m)
        self.keys("Ctrl+p")
        self.wait(lambda: m.sections()["solfb-section"] == {-1})
        duration = self.wait(lambda: self.prop("duration"), timeout=20)
        self.assertAlmostEqual(duration, 20.0, delta=0.6)
        start = self.wait(lambda: [self.prop("time-pos")] if self.prop("time-pos") is not None
                          else None)[0]
        self.wait(lambda: (self.prop("time-pos") or 0) >= start + 0.5, timeout=10)
        self.assertEqual(self.prop("media-title"), title.replace("%s", video))
        return video, self.prop("path")

    def hls_renditions(self, stream):
        return "https://127.0.0.1:%d/media/hls/itag/%d/source/yt_live_broadcast/playlist/" % (
            self.service.port, stream)

    def test_default_extractor_joins_the_hls_renditions(self):
        # No extractor: the VISIONOS client with HLS. The master playlist is fetched and the
        # video and audio renditions it names are joined in an EDL.
        config = {k: v for k, v in CONFIG.items() if k != "extractor"}
        m = self.start(config, ["--keep-open=yes"])
        video, path = self.play_and_wait(m)
        player = [json.loads(e["body"]) for e in self.requests("/youtubei/v1/player")]
        self.assertEqual([p["context"]["client"]["clientName"] for p in player],
                         ["WEB", "VISIONOS"])
        self.assertEqual(len(self.requests("/media/master.m3u8")), 1)
        self.assertTrue(path.startswith("edl://"), path)
        # The format asked for by default is the first of its family the master offers.
        self.assertRegex(path, r"/media/hls/itag/\d+/source/yt_live_broadcast/playlist/video\.m3u8")
        self.assertIn(";!new_stream;!no_chapters;", path)
        self.assertIn(self.hls_renditions(234) + "audio.m3u8", path)
        # mpv fetched the segments of both renditions.
        media = [e["path"] for e in self.requests("/media/hls/")]
        self.assertTrue(any(p.endswith("/v0.ts") for p in media), media)
        self.assertTrue(any(p.endswith("/a0.ts") for p in media), media)
        chapters = [(c["title"], round(c["time"], 3)) for c in self.prop("chapter-list")]
        self.assertEqual(chapters, CHAPTERS)
        self.assertEqual(m.quit(), 0)

    def test_full_manifest_hands_the_master_playlist_to_the_player(self):
        config = dict({k: v for k, v in CONFIG.items() if k != "extractor"},
                      use_full_manifest=True)
        m = self.start(config, ["--keep-open=yes"])
        _, path = self.play_and_wait(m)
        # The player opened it through the stand-in's proxy, as the plug-in had fetched it.
        self.assertEqual(path, "https://manifest.googlevideo.com/media/master.m3u8")
        masters = self.requests("/media/master.m3u8")
        self.assertEqual({e["host"] for e in masters}, {"manifest.googlevideo.com"})
        # First the plug-in's own fetch, then the player's (mpv's user agent).
        self.assertNotEqual(masters[0]["user_agent"], "libmpv")
        self.assertTrue(any(e["user_agent"] == "libmpv" for e in masters[1:]), masters)
        # The player itself chose a variant and the audio rendition.
        media = [e["path"] for e in self.requests("/media/hls/")]
        self.assertTrue(any("/video.m3u8" in p for p in media), media)
        self.assertTrue(any(p.endswith("/audio.m3u8") for p in media), media)
        self.assertEqual(m.quit(), 0)

    def test_ytdl_extractor_hands_the_watch_page_to_the_ytdl_hook(self):
        # mpv's ytdl hook runs a helper program; here it is a script that records its arguments
        # and describes the stand-in's muxed file, so nothing leaves the machine.
        folder = tempfile.mkdtemp(prefix="solvane-ytdl-")
        calls = os.path.join(folder, "calls.json")
        helper = os.path.join(folder, "ytdl-stand-in")
        with open(helper, "w") as f:
            f.write("#!/usr/bin/env python3\nimport json, sys\n"
                    "with open(%r, 'a') as f:\n    f.write(json.dumps(sys.argv[1:]) + '\\n')\n"
                    "url = sys.argv[-1]\n"
                    "print(json.dumps({'id': url[-11:], 'title': 'ytdl title', 'ext': 'mp4',\n"
                    "    'url': 'https://127.0.0.1:%d/media/muxed.mp4', 'protocol': 'https',\n"
                    "    'extractor': 'youtube', 'webpage_url': url, 'duration': 20}))\n"
                    % (calls, self.service.port))
        os.chmod(helper, os.stat(helper).st_mode | stat.S_IXUSR)
        self.addCleanup(lambda: [os.remove(os.path.join(folder, n)) for n in os.listdir(folder)]
                        and os.rmdir(folder))
        m = self.start(dict(CONFIG, extractor="ytdl"),
                       ["--keep-open=yes", "--script-opts=ytdl_hook-ytdl_path=" + helper])
        # The hook sets the title it was given for the file, in place of the forced one.
        video, path = self.play_and_wait(m, "ytdl title")
        self.assertEqual(path, "https://www.youtube.com/watch?v=" + video)
        self.assertEqual(self.prop("ytdl"), True)
        # Only the details were asked for: no player request with a streaming client.
        player = [json.loads(e["body"]) for e in self.requests("/youtubei/v1/player")]
        self.assertEqual([p["context"]["client"]["clientName"] for p in player], ["WEB"])
        with open(calls) as f:
            arguments = [json.loads(line) for line in f]
        self.assertEqual([a[-1] for a in arguments], [path])
        self.assertTrue(any(e["path"].startswith("/media/muxed.mp4") for e in self.requests("/media/")))
        # `ytdl` was set for that file only: once it is done, the user's own setting (off, as
        # the harness starts mpv) is back, and a later load of theirs is not handed to the hook.
        m.command(["stop"])
        self.wait(lambda: self.prop("path") is None)
        self.assertEqual(self.prop("ytdl"), False)
        self.assertEqual(m.quit(), 0)


if __name__ == "__main__":
    unittest.main()
