"""Integration: playing the stand-in's 20-second media in a real mpv under Xvfb: the EDL with
description and sponsor chapters, history and autoplay; the HLS, full-manifest and ytdl launches."""
import json
import os
import shutil
import tempfile
import time
import unittest

from mpvharness import Scene

CONFIG = {"use_edl": True, "sponsorblock": True, "generate_chapters": True, "save_history": True}
# The stand-in's description and segments, sorted; "Encore", past the end, starts at the end.
CHAPTERS = [("Opening", 0.0), ("SOLVANE-SPONSOR-SEGMENT", 2.0), ("", 4.5), ("Middle part", 6.0),
            ("SOLVANE-SPONSOR-SEGMENT", 12.0), ("", 14.0), ("", 14.0), ("Closing", 16.0),
            ("Encore", 20.0)]
HLS = r"/media/hls/itag/\d+/source/yt_live_broadcast/playlist/"


class PlayIntegration(Scene):
    media = True

    def clients(self, video):
        return [json.loads(e["body"])["context"]["client"]["clientName"]
                for e in self.requests("/youtubei/v1/player") if json.loads(e["body"])["videoId"] == video]

    def playing(self):
        m = self.mpv
        self.wait(lambda: not m.shown())
        self.assertAlmostEqual(self.wait(lambda: m.prop("duration")), 20.0, delta=0.6)
        start = self.wait(lambda: [m.prop("time-pos")] if m.prop("time-pos") is not None else None)[0]
        self.wait(lambda: (m.prop("time-pos") or 0) >= start + 0.5)
        return m.prop("path")

    def chapters(self):
        return [(c["title"], round(c["time"], 3)) for c in self.mpv.prop("chapter-list")]

    def test_instant_play_of_the_edl_with_chapters_history_and_autoplay(self):
        m = self.start(dict(CONFIG, extractor="vos", instant_play=True, autoplay_next=True,
                            show_autoplay_notification=True), ["--keep-open=yes"])
        video = self.open_video()
        self.wait(lambda: "INFO: ready to play: " + video in m.output())
        self.assertEqual(self.clients(video), ["WEB", "VISIONOS"])
        self.assertEqual(self.requests("/api/skipSegments")[0]["host"], "sponsor.ajay.app")
        self.assertIn("videoID=" + video, self.requests("/api/skipSegments")[0]["path"])
        self.assertEqual(m.entries("history.json"), [])
        pressed = len(self.requests())
        m.keys("Ctrl+p")
        path = self.playing()
        port = self.standin.port
        self.assertRegex(path, r"^edl://.*https://127\.0\.0\.1:%d/media/video\.mp4\?itag=.*"
                         r";!new_stream;!no_chapters;.*https://127\.0\.0\.1:%d/media/audio\.m4a"
                         r"\?itag=" % (port, port))
        self.assertEqual(m.prop("media-title"), "Stand-in video " + video)
        self.wait(lambda: sorted(t["type"] for t in m.prop("track-list")) == ["audio", "sub", "video"])
        self.assertEqual(self.chapters(), CHAPTERS)
        # Instant play: the plug-in asks nothing more after the key; mpv fetches the media.
        after = self.requests()[pressed:]
        self.assertEqual([e["path"] for e in after if e["user_agent"] != "libmpv"
                          and video in e["path"] + e["body"]], [])
        media = [e["path"] for e in after if e["user_agent"] == "libmpv"]
        for name in ("/media/video.mp4", "/media/audio.m4a", "/media/captions.vtt?lang=en"):
            self.assertTrue(any(p.startswith(name) for p in media), (name, media))
        history = self.wait(lambda: m.entries("history.json"))[-1]
        self.assertEqual((history["id"], history["title"], history["duration"]),
                         (video, "Stand-in video " + video, 20))

        # Within a minute of the end the next row is queued, once.
        self.wait(lambda: m.prop("playlist-count") == 2)
        time.sleep(1.5)
        self.assertEqual(m.prop("playlist-count"), 2)
        following = [i for i in map(lambda e: json.loads(e["body"])["videoId"],
                                    self.requests("/youtubei/v1/player")) if i != video][0]
        self.wait(lambda: "loading autoplay of video id " + following in m.output("mpv-debug.log"))
        queued = m.prop("playlist")[1]["filename"]
        self.assertTrue(queued.startswith("edl://") and "Stand-in video " + following in queued)
        self.shot("autoplay")
        self.assertEqual(m.quit(), 0)

    def test_default_full_manifest_and_ytdl_launches(self):
        # A stand-in for ytdl_hook's helper: describes the muxed file as the page's video.
        folder = tempfile.mkdtemp(prefix="solvane-ytdl-")
        self.addCleanup(shutil.rmtree, folder, True)
        helper = os.path.join(folder, "ytdl")
        with open(helper, "w") as f:
            f.write("#!/usr/bin/env python3\nimport json, sys\nprint(json.dumps({'id': sys.argv[-1]"
                    "[-11:], 'title': 'ytdl title', 'ext': 'mp4', 'url': 'https://127.0.0.1:%d/media/"
                    "muxed.mp4', 'protocol': 'https', 'extractor': 'youtube', 'webpage_url': "
                    "sys.argv[-1], 'duration': 20}))\n" % self.standin.port)
        os.chmod(helper, 0o755)
        rows = [({}, r"^edl://.*%svideo\.m3u8.*;!new_stream;!no_chapters;.*itag/234/.*audio\.m3u8"
                 % HLS, ["WEB", "VISIONOS"]),
                ({"use_full_manifest": True}, r"^https://manifest\.googlevideo\.com/media/master\.m3u8$",
                 ["WEB", "VISIONOS"]),
                ({"extractor": "ytdl"}, r"^https://www\.youtube\.com/watch\?v=VIDEO$", ["WEB"])]
        for config, pattern, clients in rows:
            with self.subTest(config=config):
                m = self.start(dict(CONFIG, **config), ["--keep-open=yes",
                                                        "--script-opts=ytdl_hook-ytdl_path=" + helper])
                video = self.open_video()
                m.keys("Ctrl+p")
                path = self.playing()
                self.assertRegex(path, pattern.replace("VIDEO", video))
                self.assertEqual(self.clients(video), clients)
                media = [(e["path"], e["user_agent"]) for e in self.requests("/media/")]
                if not config:  # segments of both renditions
                    self.assertEqual(len(self.requests("/media/master.m3u8")), 1)
                    for end in ("/v0.ts", "/a0.ts"):
                        self.assertTrue(any(p.endswith(end) for p, _ in media), media)
                    self.assertEqual(self.chapters(), CHAPTERS)
                elif "use_full_manifest" in config:
                    # The plug-in fetched the master, then mpv, which chose the renditions.
                    self.assertEqual([e["user_agent"] == "libmpv" for e in self.requests(
                        "/media/master.m3u8")][:2], [False, True])
                    for end in ("/video.m3u8", "/audio.m3u8"):
                        self.assertTrue(any(p.endswith(end) for p, _ in media), media)
                else:
                    # The hook's title; `ytdl` is on for this file only.
                    self.assertEqual(m.prop("media-title"), "ytdl title")
                    self.assertEqual(m.prop("ytdl"), True)
                    self.assertTrue(any(p.startswith("/media/muxed.mp4") for p, _ in media))
                    m.command(["stop"])
                    self.wait(lambda: m.prop("path") is None)
                    self.assertEqual(m.prop("ytdl"), False)
                if config.get("extractor") != "ytdl":
                    self.assertEqual(m.prop("media-title"), "Stand-in video " + video)
                self.assertEqual(m.quit(), 0)


if __name__ == "__main__":
    unittest.main()
