"""Integration: what the plug-in relies on in the real mpv, through probe plug-ins: mpv copies
overlay pixels during "overlay-add" (should it read them later, the screen turns green) and
plays the launch's EDL with a title that needs escaping."""
import os
import time
import unittest

from mpvharness import BUILD, Mpv, StandIn, Xvfb, grab_screen

OVERLAY_PROBE = os.environ.get("SOLVANE_OVERLAY_PROBE", os.path.join(BUILD, "tests/overlay_probe.so"))
PLAYBACK_PROBE = os.environ.get("SOLVANE_PLAYBACK_PROBE",
                                os.path.join(BUILD, "tests/playback_probe.so"))
TITLE = 'Probe: "quoted", a=b; #1'


class HostContractIntegration(unittest.TestCase):
    def test_overlay_pixels_are_copied_during_overlay_add(self):
        x = Xvfb("640x360x24")
        self.addCleanup(x.close)
        with Mpv(plugin=OVERLAY_PROBE, display=x.display,
                 extra=["--vo=x11", "--force-window=yes", "--geometry=640x360+0+0"]) as m:
            m.wait_until(lambda: (m.get("osd-dimensions") or {}).get("w", 0) > 0, timeout=20)
            m.command(["script-message", "probe-draw"])
            m.wait_message("probe-drawn")
            m.wait_until(lambda: grab_screen(x.display)[2](50, 50) == (255, 0, 0), timeout=20)
            m.command(["set", "geometry", "600x340+0+0"])
            m.command(["show-text", "x", "100"])
            time.sleep(0.5)
            self.assertEqual(grab_screen(x.display)[2](50, 50), (255, 0, 0))

    def test_playback_launch(self):
        service = StandIn(media=True)
        self.addCleanup(service.close)
        base = "https://127.0.0.1:%d/media/" % service.port
        m = Mpv(plugin=PLAYBACK_PROBE, extra=["--vo=null", "--pause", "--tls-verify=no"],
                env=service.env)
        self.addCleanup(m.close)

        def answered():  # messages sent before the probe runs are lost
            m.command(["script-message", "probe-ping"])
            return any(e.get("args") == ["probe-pong"] for e in m.events)
        m.wait_until(answered, timeout=20, every=0.2)

        m.command(["script-message", "probe-play", base])
        m.wait_message("probe-played")
        m.wait_until(lambda: m.prop("duration"), timeout=20)
        path = m.get("path")
        self.assertTrue(path.startswith("edl://!global_tags,title=%24%" + TITLE + ";"), path)
        audio = base + "audio.m4a"
        self.assertIn(";!new_stream;!no_chapters;%%%d%%%s" % (len(audio), audio), path)
        self.assertEqual(m.get("media-title"), TITLE)
        self.assertEqual(sorted(t["type"] for t in m.get("track-list")), ["audio", "video"])


if __name__ == "__main__":
    unittest.main()
