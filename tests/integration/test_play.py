"""Integration: playing a video in a real mpv under Xvfb against the stand-in service on loopback.

The stand-in runs with its playable media: every stream URL of its player responses points to
small files it made with ffmpeg and serves itself, the video lasts 20 seconds, its description
holds timestamps and its SponsorBlock segments lie inside those 20 seconds. A user searches,
opens a video with the keyboard and presses Ctrl+P; mpv then plays the EDL joining the video and
audio streams, with the description and sponsor chapters and the video's title, the interface
hides and the history file gains the video. With autoplay on, the next video of the results is
appended near the end. Screenshots go into the build folder (integration-play-*.png)."""
import json
import os
import time
import unittest

from mpvharness import Mpv, StandIn, Xvfb, save_screen, wait_or_fail

BUILD = os.environ.get("SOLVANE_BUILD", os.path.join(os.path.dirname(__file__), "../../build"))
GEOMETRY = ["--vo=x11", "--force-window=yes", "--geometry=960x600+0+0", "--tls-verify=no"]
CONFIG = {"extractor": "vos", "use_edl": True, "sponsorblock": True, "generate_chapters": True,
          "save_history": True, "autoplay_next": False}

# The stand-in's description ("0:00 Opening", "0:06 - Middle part", "Closing 0:16") and its
# segments [2, 4.5] and [12, 14] of a 20-second video, sorted by start; a segment's end opens an
# empty chapter, and the last end opens one more up to the end of the video.
CHAPTERS = [("Opening", 0.0), ("SOLVANE-SPONSOR-SEGMENT", 2.0), ("", 4.5), ("Middle part", 6.0),
            ("SOLVANE-SPONSOR-SEGMENT", 12.0), ("", 14.0), ("", 14.0), ("Closing", 16.0)]


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


if __name__ == "__main__":
    unittest.main()
