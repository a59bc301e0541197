"""Integration: what the interface relies on in the real mpv it runs in.

mpv 0.35 copies overlay pixels during "overlay-add", which lets the plug-in repaint and replace
its buffer freely between announcements. If a future mpv read the buffer later instead, the
probe's screen would turn green (or show garbage) and this test fails."""
import os
import time
import unittest

from mpvharness import Mpv, Xvfb, grab_screen

PROBE = os.environ.get("SOLVANE_OVERLAY_PROBE",
                       os.path.join(os.environ.get("SOLVANE_BUILD", "../../build"), "tests/overlay_probe.so"))


class HostContractIntegration(unittest.TestCase):
    def test_overlay_pixels_are_copied_during_overlay_add(self):
        x = Xvfb("640x360x24")
        try:
            with Mpv(plugin=PROBE, display=x.display,
                     extra=["--vo=x11", "--force-window=yes", "--geometry=640x360+0+0"]) as m:
                m.wait_until(lambda: (m.get("osd-dimensions") or {}).get("w", 0) > 0, timeout=10)
                m.command(["script-message", "probe-draw"])
                m.wait_message("probe-drawn")

                def red():
                    _, _, rgb = grab_screen(x.display)
                    return rgb(50, 50) == (255, 0, 0)
                m.wait_until(red, timeout=5)
                # Force further redraws: the announced (red) pixels must stay.
                m.command(["set", "geometry", "600x340+0+0"])
                m.command(["show-text", "x", "100"])
                time.sleep(0.5)
                self.assertEqual(grab_screen(x.display)[2](50, 50), (255, 0, 0))
        finally:
            x.close()


if __name__ == "__main__":
    unittest.main()
