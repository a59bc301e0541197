"""Integration: a hostile stand-in (image bombs, player responses naming local files, lavfi,
EDL, memory and foreign hosts, searches that trickle, lie about their length or carry a 64 MB
title) opens nothing outside the service, reports each failure and never freezes F12; and a
search typed during a feed of 200 trickling favourites is sent at once."""
import json
import os
import re
import time
import unittest

from mpvharness import HERE, Scene

CONFIG = {"extractor": "vos", "use_edl": True, "instant_play": False, "sponsorblock": False}
# The longest a key may wait here: room for a loaded machine, below a freeze of seconds.
ANSWER_BOUND_S = 1.0


class HostileIntegration(Scene):
    media = True

    def query(self, text):
        self.mpv.search(text)
        return time.time()

    def answering_until(self, condition, timeout=40):
        """Presses F12 (hide, show) and times each change of the input section until `condition`."""
        deadline = time.monotonic() + timeout
        while True:
            for _ in range(2):
                before, pressed = self.mpv.shown(), time.monotonic()
                self.mpv.command(["keypress", "F12"])
                while self.mpv.shown() == before:
                    self.assertLess(time.monotonic() - pressed, 10, "F12 had no effect")
                self.answers.append((time.monotonic() - pressed, self.phase))
            if condition():
                return
            self.assertLess(time.monotonic(), deadline, self.mpv.output()[-2000:])

    def status_after(self, mark, text):
        return ("INFO: status: " + text + "\n") in self.mpv.output()[mark:]

    def test_hostile_service_opens_nothing_and_never_freezes_the_interface(self):
        with open(os.path.join(HERE, "../gfx/data/png_bomb_8192.png"), "rb") as f:
            self.standin.set_image("", f.read())
        m = self.start(CONFIG, ["--keep-open=yes"])
        port, self.answers = self.standin.port, []
        trickled = self.query("hostile trickle")
        self.wait(lambda: self.requests("/youtubei/v1/search"))

        # Every image is a bomb, refused from its header.
        self.phase, mark = "bombs", len(m.output())
        self.query("test")
        self.answering_until(lambda: self.status_after(mark, "done") and m.output().count(
            "loading image from memory failed: image size 8192 x 8192 above 2000000 pixels") >= 4)
        m.keys("F7", "DOWN", "ENTER")
        self.answering_until(lambda: self.requests("/youtubei/v1/player") and
                             any("/mq1.jpg" in e["path"] for e in self.requests("/vi/")))

        # Hostile addresses: each refused by name on the status line, nothing loaded.
        self.phase = "addresses"
        for what, url, scheme, host in [
                ("video", "media/video.mp4", "none", "none"),
                ("video", "file:///etc/passwd", "file", "none"),
                ("audio", "av://lavfi:movie=/etc/passwd", "av", "lavfi:movie="),
                ("caption", "memory://WEBVTT/", "memory", "WEBVTT"),  # the format follows the path
                # Reachable through mpv's proxy: they would play.
                ("audio", "https://media.solvane.test/media/audio.m4a", "https", "media.solvane.test"),
                ("video", "https://rr1.googlevideo.com.solvane.test/media/video.mp4", "https",
                 "rr1.googlevideo.com.solvane.test")]:
            with self.subTest(url=url):
                self.standin.put("/test/player", json.dumps({what: url}).encode())
                players, mark = len(self.requests("/youtubei/v1/player")), len(m.output())
                m.keys("Ctrl+p")
                detail = "scheme %s, host %s" % (scheme, host)
                self.answering_until(lambda: self.status_after(
                    mark, "play failed: %s URL refused (%s)" % (what, detail)))
                self.assertIn("WARNING: refused %s URL: %s\n" % (what, detail), m.output()[mark:])
                self.assertEqual(len(self.requests("/youtubei/v1/player")), players + 1)
                self.assertIsNone(m.prop("path"))

        # Answers over 32 MB (announced or not) are refused without being kept; 24 MB is read.
        for query, status in [("hostile length", "answer from www.youtube.com too large (over 32 MB)"),
                              ("hostile title 64", "answer from www.youtube.com too large (over 32 MB)"),
                              ("hostile title 24", "done")]:
            self.phase, mark = query, len(m.output())
            self.query(query)
            self.answering_until(lambda: self.status_after(mark, status))
            if query == "hostile title 64":
                with open("/proc/%d/status" % m.proc.pid) as f:
                    peak_kb = int(next(line for line in f if line.startswith("VmHWM:")).split()[1])
                self.assertLess(peak_kb, 512 * 1024)
                self.assertLess(os.path.getsize(os.path.join(m.solvane_dir, "listinfo.json")), 4 << 20)
        self.phase = "trickle"
        self.answering_until(lambda: self.status_after(
            0, "www.youtube.com did not answer completely within 60 s"), timeout=120)
        self.assertGreater(time.time() - trickled, 59)

        # The service's own addresses play, and are the only ones mpv opened.
        self.standin.put("/test/player")
        m.keys("Ctrl+p")
        self.wait(lambda: (m.prop("path") or "").startswith("edl://"))
        log = m.output("mpv-debug.log").splitlines()
        self.assertEqual(len([line for line in log if "Run command: loadfile" in line]), 1)
        service = "https://127.0.0.1:%d/media/" % port
        opened = [line.split("Opening ", 1)[1] for line in log
                  if "Opening " in line and "Opening segment" not in line]
        opened += [line.split("' = '", 1)[1].rsplit("' (flags", 1)[0] for line in log
                   if re.search(r"Setting option '(sub|audio)-files-append'", line)]
        self.assertTrue(any(target.startswith(service) for target in opened), opened)
        for target in filter(None, opened):
            for part in (target[6:].split(";") if target.startswith("edl://") else [target]):
                if not part.startswith("!"):  # EDL headers (title, stream markers)
                    self.assertTrue(re.sub(r"^%\d+%", "", part).startswith(service), target)
        worst = max(self.answers)
        print("F12 to the interface's change: %d presses, worst %.0f ms (%s)"
              % (len(self.answers), worst[0] * 1000, worst[1]))
        self.assertLess(worst[0], ANSWER_BOUND_S)
        self.assertEqual(m.quit(), 0)

    def test_search_during_a_feed_of_200_favourites_is_sent_at_once(self):
        entries = "".join('  {"type": "playlist", "id": "PLhostile%04d", "title": "Favourite %d", '
                          '"thumb_id": "vid%08d", "count": "15", "escaped": true},\n' % (i, i, i)
                          for i in range(200))
        self.standin.put("/test/mode?feed=trickle")
        self.addCleanup(self.standin.put, "/test/mode?feed=")
        m = self.start(CONFIG, files={"favlist.json": "[\n" + entries + "  null\n]\n"})
        m.keys("Ctrl+g")
        self.wait(lambda: len(self.requests("/feeds/videos.xml")) >= 3)
        time.sleep(1)
        self.query("test")
        self.wait(lambda: self.requests("/youtubei/v1/search"))
        self.assertLess(len(self.requests("/feeds/videos.xml")), 200)
        self.assertEqual(m.quit(), 0)


if __name__ == "__main__":
    unittest.main()
