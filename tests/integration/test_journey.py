"""Integration: a new user's path in a real mpv under Xvfb against the stand-in: search, copy,
play, follow, feed, history, favourites, restart with a damaged favourites file. A row's
thumbnail colour (derived from the video id by the stand-in) names its video."""
import json
import os
import shutil
import tempfile
import time
import unittest

from mpvharness import Scene
import standin_service  # noqa: E402  (its colours and feeds, to know what the rows must show)

CONFIG = {"save_history": True, "save_state": True, "update_favorites": True, "sponsorblock": True}
LIST_TOP, ROW, VISIBLE_ROWS = 34, 72, 6
THUMB_SPOT = (40, 12)  # inside the upper-left colour field of a row's thumbnail


class JourneyIntegration(Scene):
    media = True

    def start(self):
        return super().start(CONFIG, ["--keep-open=yes"], home=self.home,
                             env={"PATH": self.tools + ":" + os.environ["PATH"]})

    def wait_rows(self, video_ids):
        wanted = [tuple(standin_service.colour(v, 1)) for v in video_ids]

        def shown():
            rgb = self.screen()
            seen = [rgb(THUMB_SPOT[0], LIST_TOP + k * ROW + THUMB_SPOT[1]) for k in range(len(wanted))]
            return all(abs(a - b) <= 6 for s, w in zip(seen, wanted) for a, b in zip(s, w))
        self.wait(shown)

    def expected_feed(self, playlists):
        """The feed rows: entries younger than a month, newest first."""
        now = time.time()
        rows = sorted((now - published, video) for playlist in playlists
                      for video, _, published in standin_service.feed_entries(playlist)
                      if now - published <= 30 * 86400)
        return [video for _, video in rows]

    def follow_playlist(self):
        browsed = len(self.requests("/youtubei/v1/browse"))
        self.mpv.search("playlist:PLoumn")
        self.wait(lambda: len(self.requests("/youtubei/v1/browse")) == browsed + 1)
        time.sleep(1)
        self.mpv.keys("Ctrl+f")

    def test_search_play_follow_feed_history_restart(self):
        self.home = tempfile.mkdtemp(prefix="solvane-journey-")
        self.addCleanup(shutil.rmtree, self.home, True)
        # mpv 0.35 has no clipboard property: copying runs "xclip", here a stand-in.
        self.tools = os.path.join(self.home, "tools")
        clipboard = os.path.join(self.tools, "clipboard.txt")
        os.makedirs(self.tools)
        with open(os.path.join(self.tools, "xclip"), "w") as f:
            f.write("#!/bin/sh\ncat > '%s'\n" % clipboard)
        os.chmod(os.path.join(self.tools, "xclip"), 0o755)
        m = self.start()

        video = self.open_video()
        m.keys("Ctrl+d")
        self.wait(lambda: os.path.exists(clipboard) and os.path.getsize(clipboard))
        with open(clipboard) as f:
            self.assertEqual(f.read(), "https://www.youtube.com/watch?v=" + video)

        # Play it: the HLS video rendition with the audio one beside it (no EDL by default).
        m.keys("Ctrl+p")
        self.wait(lambda: not m.shown())
        self.wait(lambda: (m.prop("duration") or 0) > 19)
        self.assertRegex(m.prop("path"), r"^https://127\.0\.0\.1:\d+/media/hls/itag/\d+/.*/video\.m3u8$")
        self.wait(lambda: sorted(t["type"] for t in m.prop("track-list") or [])[:2] == ["audio", "video"])
        self.assertEqual(m.prop("media-title"), "Stand-in video " + video)
        self.assertEqual([e["id"] for e in self.wait(lambda: self.mpv.entries("history.json"))], [video])
        self.wait(lambda: m.command(["seek", "-1", "absolute"], check=False) is None
                  and (m.prop("time-pos") or 0) > 15)
        self.wait(m.shown)
        time.sleep(0.3)

        # Follow the channel (its uploads, then Ctrl+F) and a playlist.
        m.keys("Ctrl+u")
        uploads = self.wait(lambda: self.requests("/youtubei/v1/browse"))
        self.assertTrue(json.loads(uploads[0]["body"])["browseId"].startswith("VLUU"))
        self.wait(lambda: os.path.exists(os.path.join(m.solvane_dir, "listinfo.json")))
        time.sleep(1)
        m.keys("Ctrl+f")
        followed = self.wait(lambda: self.mpv.entries("favlist.json"))
        self.assertEqual([f["title"] for f in followed], ["Laphroaig Whisky"])
        self.follow_playlist()
        favourites = self.wait(lambda: len(self.mpv.entries("favlist.json")) == 2
                               and self.mpv.entries("favlist.json"))
        ids = [f["id"] for f in favourites]
        self.assertEqual([i[:2] for i in ids], ["UU", "PL"])

        # The feed: one request per favourite, the rows of both newest first.
        m.keys("Ctrl+g")
        feeds = self.wait(lambda: len(self.requests("/feeds/videos.xml")) == 2
                          and self.requests("/feeds/videos.xml"))
        self.assertEqual(sorted(e["path"] for e in feeds),
                         sorted("/feeds/videos.xml?playlist_id=" + i for i in ids))
        self.assertEqual(len(self.expected_feed(ids)), 16)
        self.wait_rows(self.expected_feed(ids)[:VISIBLE_ROWS])
        self.shot("feed")
        m.keys("Ctrl+h")
        self.wait_rows([video])
        m.keys("Ctrl+s")
        self.wait_rows([f["thumb_id"] for f in favourites])
        files = {}
        for name in ("favlist.json", "history.json"):
            with open(os.path.join(m.solvane_dir, name), "rb") as f:
                files[name] = f.read()
        self.assertEqual(m.quit(), 0)
        m.close()

        # Between the runs the favourites file becomes a link, gains a stray byte, and a killed
        # rewrite left its temporary file.
        link = os.path.join(m.solvane_dir, "favlist.json")
        real = os.path.join(self.home, "lists", "favlist.json")
        os.makedirs(os.path.dirname(real))
        files["favlist.json"] += b"x"
        with open(real, "wb") as f:
            f.write(files["favlist.json"])
        os.remove(link)
        os.symlink(real, link)
        with open(real + ".tmp999999999", "wb") as f:
            f.write(b"[")

        # Start again: the restored video's frames come back, the damage is explained, the
        # leftover removed, the lists are there.
        m = self.start()
        self.wait(lambda: all(self.requests("/vi/%s/mq%d.jpg" % (video, i)) for i in (1, 2, 3)))
        self.wait(lambda: "favourites file damaged: %s: reading stopped at byte %d"
                  % (link, len(files["favlist.json"]) - 1) in m.output())
        self.assertFalse(os.path.exists(real + ".tmp999999999"))
        m.keys("Ctrl+s")
        self.wait_rows([f["thumb_id"] for f in favourites])
        # Following another playlist changes nothing on disk.
        self.follow_playlist()
        time.sleep(0.5)
        m.keys("Ctrl+h")
        self.wait_rows([video])
        self.assertEqual(m.quit(), 0)
        for name, data in files.items():
            with open(os.path.join(m.solvane_dir, name), "rb") as f:
                self.assertEqual(f.read(), data)
        self.assertTrue(os.path.islink(link))


if __name__ == "__main__":
    unittest.main()
