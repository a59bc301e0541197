"""Integration: the plug-in inside a real, headless mpv (null video output)."""
import os
import re
import shutil
import tempfile
import time
import unittest

from mpvharness import Mpv

LINE = re.compile(r"^\[\d+\] (INFO|WARNING|FATAL ERROR): ")


class StartupIntegration(unittest.TestCase):
    def test_loads_with_no_configuration_file(self):
        with Mpv(config=None, extra=["--vo=null"]) as m:
            m.wait_ready()
            m.wait_until(lambda: "app init ok" in m.output())
            out = m.output()
            self.assertIn("using default extractor (vos_hls)\n", out)
            info = [l for l in out.splitlines() if "INFO: configuration" in l]
            self.assertEqual(len(info), 1, out)
            self.assertRegex(info[0], LINE)
            self.assertIn(os.path.join(m.solvane_dir, "solvane.json"), info[0])
            self.assertEqual(m.quit(), 0)
            self.assertFalse(os.path.exists(os.path.join(m.solvane_dir, "solvane_state.json")))

    def test_loads_when_the_solvane_directory_is_missing(self):
        with Mpv(config=None, extra=["--vo=null"], make_solvane_dir=False) as m:
            m.wait_ready()
            self.assertIsNone(m.proc.poll())
            self.assertEqual(m.quit(), 0)

    def test_configured_extractor_line(self):
        with Mpv(config={"extractor": "android", "player_path": "/opt/mpv"}, extra=["--vo=null"]) as m:
            m.wait_ready()
            m.wait_until(lambda: "app init ok" in m.output())
            out = m.output()
            self.assertIn("player path: /opt/mpv\n", out)
            self.assertIn("using android extractor\n", out)
            self.assertNotIn("default extractor", out)
            self.assertEqual(m.quit(), 0)

    def test_show_hide_and_toggle_drive_the_key_section(self):
        with Mpv(config={}, extra=["--vo=null"]) as m:
            m.wait_ready()
            self.assertEqual(m.sections()["solfb-section"], {-1})  # hidden at start

            m.command(["script-message", "solfb-show"])
            m.wait_until(lambda: m.sections()["solfb-section"] != {-1})
            # The exclusive section takes the keys: ENTER reaches the plug-in's binding and
            # mpv's own "q" (quit) is swallowed.
            m.command(["keypress", "ENTER"])
            self.assertEqual(m.wait_message("key-binding", "solfb-keys")[3], "ENTER")
            m.command(["keypress", "q"])
            time.sleep(0.3)
            self.assertIsNone(m.proc.poll())

            m.command(["script-message", "solfb-hide"])
            m.wait_until(lambda: m.sections()["solfb-section"] == {-1})

            m.command(["script-message", "solfb-toggle"])
            m.wait_until(lambda: m.sections()["solfb-section"] != {-1})
            m.command(["script-message", "solfb-toggle"])
            m.wait_until(lambda: m.sections()["solfb-section"] == {-1})

            # F12 in the toggle section shows it again.
            m.command(["keypress", "F12"])
            m.wait_until(lambda: m.sections()["solfb-section"] != {-1})
            # ESC inside the interface hides it.
            m.command(["keypress", "ESC"])
            m.wait_until(lambda: m.sections()["solfb-section"] == {-1})
            self.assertEqual(m.quit(), 0)

    def test_state_file_written_on_quit_only_with_save_state(self):
        with Mpv(config={"save_state": False}, extra=["--vo=null"]) as m:
            m.wait_ready()
            self.assertEqual(m.quit(), 0)
            self.assertFalse(os.path.exists(os.path.join(m.solvane_dir, "solvane_state.json")))
        # The restored query is run again at start-up and saved again at quit.
        state = '{\n  "query": "lofi radio caf\u00e9",\n  "video_id": "jfKfPfyJRdk",\n  "reserved": 0\n}\n'
        with Mpv(config={"save_state": True}, files={"solvane_state.json": state},
                 extra=["--vo=null"]) as m:
            m.wait_ready()
            self.assertEqual(m.quit(), 0)
            with open(os.path.join(m.solvane_dir, "solvane_state.json")) as f:
                self.assertEqual(f.read(), state)

    def test_idle_plugin_does_not_spin_a_core(self):
        with Mpv(config={}, extra=["--vo=null"]) as m:
            m.wait_ready()
            ticks = os.sysconf("SC_CLK_TCK")

            def cpu():
                with open("/proc/%d/stat" % m.proc.pid) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                return (int(fields[11]) + int(fields[12])) / ticks
            before = cpu()
            time.sleep(2.0)
            used = cpu() - before
            self.assertLess(used, 0.5, "mpv with the idle plug-in used %.2f s of CPU in 2 s" % used)
            # A key press is answered promptly even while the loop idles.
            m.command(["script-message", "solfb-show"])
            t0 = time.monotonic()
            m.command(["keypress", "ENTER"])
            m.wait_message("key-binding", "solfb-keys")
            self.assertLess(time.monotonic() - t0, 1.0)
            self.assertEqual(m.quit(), 0)

    def test_unreadable_configuration_is_explained_and_mpv_goes_on(self):
        # A directory stands where the file should be: it exists but is no regular file.
        d = tempfile.mkdtemp(prefix="solvane-it-")
        try:
            os.makedirs(os.path.join(d, "config", "solvane", "solvane.json"))
            with Mpv(config=None, extra=["--vo=null"], home=d) as m:
                m.wait_ready()
                m.wait_until(lambda: "app init ok" in m.output())
                self.assertRegex(m.output(), r"\[\d+\] ERROR: configuration: cannot read %s "
                                 r"\(not a regular file\); using the built-in defaults" %
                                 re.escape(os.path.join(m.solvane_dir, "solvane.json")))
                self.assertEqual(m.quit(), 0)
        finally:
            shutil.rmtree(d, ignore_errors=True)

if __name__ == "__main__":
    unittest.main()
