"""Integration: the plug-in's start-up, keys and exit inside a real, headless mpv (no video)."""
import os
import shutil
import tempfile
import time
import unittest

from mpvharness import Mpv


class StartupIntegration(unittest.TestCase):
    def test_configurations_are_read_or_explained_and_mpv_goes_on(self):
        # (the solvane folder: "" absent, "empty", "dir" with a folder as solvane.json; output)
        rows = [("", ["using default extractor (vos_hls)\n"]),
                ("empty", ["] INFO: configuration: no DIR/solvane.json, using the built-in defaults\n"]),
                ("dir", ["] ERROR: configuration: cannot read DIR/solvane.json (not a regular "
                         "file); using the built-in defaults"])]
        for folder, lines in rows:
            with self.subTest(folder=folder):
                home = tempfile.mkdtemp(prefix="solvane-it-")
                self.addCleanup(shutil.rmtree, home, True)
                if folder == "dir":
                    os.makedirs(os.path.join(home, "config", "solvane", "solvane.json"))
                with Mpv(extra=["--vo=null"], make_solvane_dir=bool(folder), home=home) as m:
                    m.wait_ready()
                    m.wait_until(lambda: "app init ok" in m.output(), timeout=20)
                    out = m.output().replace(m.solvane_dir, "DIR")
                    for line in lines:
                        self.assertIn(line, out)
                    self.assertEqual(m.quit(), 0)
                    self.assertFalse(os.path.exists(os.path.join(m.solvane_dir, "solvane_state.json")))

    def test_keys_idle_cost_and_the_state_saved_at_quit(self):
        state = '{\n  "query": "lofi radio caf\u00e9",\n  "video_id": "jfKfPfyJRdk",\n  "reserved": 0\n}\n'
        compact = '{"video_id": "jfKfPfyJRdk", "query": "lofi radio caf\u00e9"}'
        with Mpv(config={"save_state": True}, files={"solvane_state.json": compact},
                 extra=["--vo=null"]) as m:
            m.wait_ready()
            self.assertEqual(m.sections()["solfb-section"], {-1})  # hidden at start

            before = m.cpu_seconds()
            time.sleep(2.0)
            self.assertLess(m.cpu_seconds() - before, 0.5, "the idle plug-in spins a core")

            # Shown, it takes the keys: ENTER reaches it, mpv's "q" (quit) does nothing.
            m.command(["script-message", "solfb-show"])
            m.wait_until(m.shown)
            m.command(["keypress", "ENTER"])
            self.assertEqual(m.wait_message("key-binding", "solfb-keys")[3], "ENTER")
            m.command(["keypress", "q"])
            time.sleep(0.5)
            self.assertIsNone(m.proc.poll())
            for how, shown in [(["script-message", "solfb-hide"], False),
                               (["script-message", "solfb-toggle"], True),
                               (["script-message", "solfb-toggle"], False),
                               (["keypress", "F12"], True), (["keypress", "ESC"], False)]:
                m.command(how)
                m.wait_until(lambda: m.shown() == shown)
            self.assertEqual(m.quit(), 0)
            with open(os.path.join(m.solvane_dir, "solvane_state.json")) as f:
                self.assertEqual(f.read(), state)


if __name__ == "__main__":
    unittest.main()
