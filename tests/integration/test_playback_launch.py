"""Integration: the playback launch in a real mpv, through a probe plug-in that calls it.

Checks what the player makes of the load: the EDL joining video and audio, the chapters from the
description and the sponsor segments, the forced title, the appended load of a queued autoplay,
and the autoplay check's reads of the playlist and time properties. The streams are the
stand-in service's media files (20 seconds) on loopback: the launch hands the player nothing but
the service's https hosts, and the stand-in is routed in as one of them."""
import os
import unittest

from mpvharness import Mpv, StandIn

PROBE = os.environ.get("SOLVANE_PLAYBACK_PROBE",
                       os.path.join(os.environ.get("SOLVANE_BUILD", "../../build"),
                                    "tests/playback_probe.so"))
TITLE = 'Probe: "quoted", a=b; #1'


class PlaybackLaunchIntegration(unittest.TestCase):
    def start(self):
        service = StandIn(media=True)
        self.addCleanup(service.close)
        self.base = "https://127.0.0.1:%d/media/" % service.port
        m = Mpv(plugin=PROBE, extra=["--vo=null", "--pause", "--tls-verify=no"], env=service.env)
        self.addCleanup(m.close)
        # Messages sent before the probe runs are lost: ping until it answers.
        def answered():
            m.command(["script-message", "probe-ping"])
            try:
                return m.wait_message("probe-pong", timeout=0.2)
            except TimeoutError:
                return None
        m.wait_until(answered, timeout=10)
        return m

    def play(self, m, mode):
        m.command(["script-message", "probe-play", mode, self.base])
        m.wait_message("probe-played", mode)
        m.wait_message("solfb-hide")

    def test_edl_with_chapters_and_title(self):
        m = self.start()
        self.play(m, "edl")
        m.wait_until(lambda: m.get("chapter-list"), timeout=10)
        path = m.get("path")
        self.assertTrue(path.startswith("edl://!global_tags,title=%24%" + TITLE + ";"), path)
        audio = self.base + "audio.m4a"
        self.assertIn(";!new_stream;!no_chapters;%%%d%%%s" % (len(audio), audio), path)
        self.assertEqual(m.get("media-title"), TITLE)
        chapters = [(c["title"], round(c["time"], 3)) for c in m.get("chapter-list")]
        self.assertEqual(chapters, [("Intro", 0.0), ("Middle part", 10.0),
                                    ("SOLVANE-SPONSOR-SEGMENT", 12.0), ("", 15.0), ("", 15.0)])
        types = sorted(t["type"] for t in m.get("track-list"))
        self.assertEqual(types, ["audio", "video"])
        self.assertEqual(m.get("ytdl"), False)

    def test_queued_load_appends_and_autoplay_reads_the_player(self):
        m = self.start()
        self.play(m, "alone")
        m.wait_until(lambda: m.get("path") == self.base + "video.mp4"
                     and (m.command(["get_property", "duration"], check=False) or 0) > 0,
                     timeout=10)
        self.assertEqual(m.get("media-title"), TITLE)
        # The only entry is playing with 20 s left: the next video is asked for.
        m.command(["script-message", "probe-autoplay"])
        self.assertEqual(m.wait_message("probe-autoplay-requested")[1], "b")
        # A queued load is appended, not played in place.
        self.play(m, "queued")
        m.wait_until(lambda: m.get("playlist-count") == 2, timeout=5)
        self.assertEqual(m.get("playlist-pos"), 0)
        # With an entry after the current one, autoplay waits.
        m.command(["script-message", "probe-autoplay"])
        m.wait_message("probe-autoplay-idle")


if __name__ == "__main__":
    unittest.main()
