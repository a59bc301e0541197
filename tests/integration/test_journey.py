"""Integration: a new user's path in a real mpv under Xvfb against the stand-in service.

Search, open a video, play it, follow its channel and a playlist as favourites, open the feed of
both, look at the history and the favourites, quit, start again, and find every list as it was.
The rows on screen are checked by their thumbnails: the stand-in draws each video's thumbnail in
colours derived from its id, so the colour at a row's thumbnail names the video shown there.
Screenshots go into the build folder (integration-journey-*.png)."""
import json
import os
import shutil
import sys
import tempfile
import time
import unittest

from mpvharness import Mpv, StandIn, Xvfb, grab_screen, save_screen, wait_or_fail

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "server"))
import standin_service  # noqa: E402  (its colours and feeds, to know what the rows must show)

BUILD = os.environ.get("SOLVANE_BUILD", os.path.join(HERE, "../../build"))
GEOMETRY = ["--vo=x11", "--force-window=yes", "--geometry=960x600+0+0", "--tls-verify=no",
            "--keep-open=yes"]
CONFIG = {"save_history": True, "save_state": True, "update_favorites": True,
          "sponsorblock": True}

# The default layout at 960 x 600: rows of 72 pixels from y = 34, thumbnails at their left.
LIST_TOP = 34
ROW = 72
VISIBLE_ROWS = 6
THUMB_SPOT = (40, 12)  # inside the upper-left colour field of a row's thumbnail


def close_to(a, b, slack=6):
    return all(abs(x - y) <= slack for x, y in zip(a, b))


class JourneyIntegration(unittest.TestCase):
    def setUp(self):
        self.x = Xvfb("1280x720x24")
        self.addCleanup(self.x.close)
        self.service = StandIn(media=True)
        self.addCleanup(self.service.close)
        self.home = tempfile.mkdtemp(prefix="solvane-journey-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.mpv = None
        # mpv 0.35 has no clipboard property: copying goes to the first clipboard program on
        # PATH. This stand-in "xclip" keeps what it is given in a file.
        self.tools = tempfile.mkdtemp(prefix="solvane-tools-")
        self.addCleanup(shutil.rmtree, self.tools, True)
        self.clipboard = os.path.join(self.tools, "clipboard.txt")
        xclip = os.path.join(self.tools, "xclip")
        with open(xclip, "w") as f:
            f.write("#!/bin/sh\ncat > '%s'\n" % self.clipboard)
        os.chmod(xclip, 0o755)

    # -- driving -------------------------------------------------------------------------------

    def start(self):
        env = dict(self.service.env, PATH=self.tools + ":" + os.environ["PATH"])
        m = Mpv(config=CONFIG, display=self.x.display, extra=GEOMETRY, env=env, home=self.home)
        self.mpv = m
        self.addCleanup(m.close)
        m.wait_ready()
        m.wait_until(lambda: (m.get("osd-dimensions") or {}).get("w", 0) == 960, timeout=10)
        self.show()
        return m

    def show(self):
        self.mpv.command(["script-message", "solfb-show"])
        self.wait(lambda: self.mpv.sections()["solfb-section"] != {-1})
        time.sleep(0.3)

    def wait(self, condition, timeout=20):
        return wait_or_fail(self, condition, timeout, self.service, self.mpv, 10, 2000)

    def keys(self, *names):
        # One key at a time: mpv drops keys sent faster than the plug-in handles them.
        for k in names:
            self.mpv.command(["keypress", k])
            time.sleep(0.03)

    def query(self, text):
        self.keys("F6", "Ctrl+a", "BS", *text, "ENTER")

    def requests(self, path):
        return [e for e in self.service.log() if e["path"].startswith(path)]

    def prop(self, name):
        return self.mpv.command(["get_property", name], check=False)

    def shot(self, name):
        save_screen(self.x.display, os.path.join(BUILD, "integration-journey-%s.png" % name))

    def file(self, name):
        path = os.path.join(self.mpv.solvane_dir, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def entries(self, name):
        text = self.file(name)
        return [e for e in json.loads(text) if e] if text else []

    # -- what the list shows -------------------------------------------------------------------

    def row_colours(self, count):
        rgb = grab_screen(self.x.display)[2]
        return [rgb(THUMB_SPOT[0], LIST_TOP + k * ROW + THUMB_SPOT[1]) for k in range(count)]

    def shows(self, video_ids):
        """True once the first rows show the thumbnails of `video_ids`, in that order."""
        wanted = [tuple(standin_service.colour(v, 1)) for v in video_ids]
        seen = self.row_colours(len(wanted))
        return all(close_to(a, b) for a, b in zip(seen, wanted))

    def wait_rows(self, video_ids, what):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.shows(video_ids):
                return
            time.sleep(0.2)
        self.shot("failed-" + what)
        self.fail("%s: rows show %s, expected the thumbnails of %s (%s)" % (
            what, self.row_colours(len(video_ids)), video_ids,
            [tuple(standin_service.colour(v, 1)) for v in video_ids]))

    def expected_feed(self, playlists, per_channel=15, max_age_days=30):
        """The feed rows the stand-in's feeds of `playlists` make: each feed's first entries,
        those younger than the age limit, newest first (earlier feeds first on equal ages)."""
        rows = []
        now = time.time()
        for playlist in playlists:
            for video, _, published in standin_service.feed_entries(playlist)[:per_channel]:
                if now - published <= max_age_days * 86400:
                    rows.append((now - published, video))
        return [video for _, video in sorted(rows, key=lambda r: r[0])]

    # -- the path ------------------------------------------------------------------------------

    def test_search_play_follow_feed_history_restart(self):
        m = self.start()

        # Search and open the first result: DOWN leads from the search field into the list.
        self.query("test")
        self.wait(lambda: self.requests("/vi/"))
        self.keys("DOWN", "ENTER")
        player = self.wait(lambda: self.requests("/youtubei/v1/player"))
        video = json.loads(player[0]["body"])["videoId"]
        self.wait(lambda: self.requests("/vi/%s/mq" % video))

        # Copy its address: the stand-in xclip receives it.
        self.keys("Ctrl+d")
        self.wait(lambda: os.path.exists(self.clipboard) and os.path.getsize(self.clipboard))
        with open(self.clipboard) as f:
            self.assertEqual(f.read(), "https://www.youtube.com/watch?v=" + video)
        self.shot("copied")

        # Play it: mpv plays the HLS video rendition with the audio one beside it (no EDL by
        # default), the interface hides, the history gains it.
        self.keys("Ctrl+p")
        self.wait(lambda: m.sections()["solfb-section"] == {-1})
        self.wait(lambda: (self.prop("duration") or 0) > 19)
        self.assertRegex(self.prop("path"), r"^https://127\.0\.0\.1:\d+/media/hls/itag/\d+/.*/video\.m3u8$")
        self.wait(lambda: sorted(t["type"] for t in self.prop("track-list") or [])[:2]
                  == ["audio", "video"])
        self.assertEqual(self.prop("media-title"), "Stand-in video " + video)
        self.wait(lambda: self.entries("history.json"))
        self.assertEqual([e["id"] for e in self.entries("history.json")], [video])

        # When the video ends (held at its end by keep-open), the browser comes back.
        self.wait(lambda: m.command(["seek", "-1", "absolute"], check=False) is None
                  and (self.prop("time-pos") or 0) > 15)
        self.wait(lambda: m.sections()["solfb-section"] != {-1})
        time.sleep(0.3)

        # Follow the video's channel: its uploads, then Ctrl+F.
        self.keys("Ctrl+u")
        uploads = self.wait(lambda: self.requests("/youtubei/v1/browse"))
        self.assertTrue(json.loads(uploads[0]["body"])["browseId"].startswith("VLUU"))
        self.wait(lambda: self.requests("/vi/") and len(self.requests("/youtubei/v1/browse")) == 1
                  and self.file("listinfo.json"))
        time.sleep(0.5)
        self.keys("Ctrl+f")
        followed = self.wait(lambda: len(self.entries("favlist.json")) == 1
                             and self.entries("favlist.json"))
        # Named after the channel (the owner of the stand-in's uploads page), not "Videos".
        self.assertEqual(followed[0]["title"], "Laphroaig Whisky")
        time.sleep(0.3)
        self.shot("followed")  # the status line says "following Laphroaig Whisky"

        # And a playlist.
        self.query("playlist:PLoumn")
        self.wait(lambda: len(self.requests("/youtubei/v1/browse")) == 2)
        time.sleep(1)
        self.keys("Ctrl+f")
        favourites = self.wait(lambda: len(self.entries("favlist.json")) == 2
                               and self.entries("favlist.json"))
        ids = [f["id"] for f in favourites]
        self.assertTrue(ids[0].startswith("UU"), ids)
        self.assertTrue(ids[1].startswith("PL"), ids)
        self.shot("playlist")

        # The feed: one RSS request per favourite, rows of both newest first.
        self.keys("Ctrl+g")
        feeds = self.wait(lambda: len(self.requests("/feeds/videos.xml")) == 2
                          and self.requests("/feeds/videos.xml"))
        self.assertEqual(sorted(e["path"] for e in feeds),
                         sorted("/feeds/videos.xml?playlist_id=" + i for i in ids))
        expected = self.expected_feed(ids)
        self.assertEqual(len(expected), 16)  # eight of each feed are younger than a month
        self.wait_rows(expected[:VISIBLE_ROWS], "feed")
        self.shot("feed")

        # History and favourites.
        self.keys("Ctrl+h")
        self.wait_rows([video], "history")
        self.keys("Ctrl+s")
        self.wait_rows([f["thumb_id"] for f in favourites], "favourites")
        self.shot("favourites")

        files = {n: self.file(n) for n in ("favlist.json", "history.json")}
        frames = {i: len(self.requests("/vi/%s/mq%d.jpg" % (video, i))) for i in (1, 2, 3)}
        self.assertEqual(m.quit(), 0)
        m.close()

        # Between the runs the favourites file becomes a link into another folder and gains a
        # stray byte after its end, so it no longer reads completely; a rewrite killed there
        # left its temporary file.
        link = os.path.join(m.solvane_dir, "favlist.json")
        real = os.path.join(self.home, "lists", "favlist.json")
        os.makedirs(os.path.dirname(real))
        files["favlist.json"] += b"x"
        with open(real, "wb") as f:
            f.write(files["favlist.json"])
        os.remove(link)
        os.symlink(real, link)
        leftover = real + ".tmp999999999"
        with open(leftover, "wb") as f:
            f.write(b"[")

        # Start again: the lists are there, the files unchanged, and the restored video's three
        # storyboard frames are fetched again beside the restored list.
        m = self.start()
        self.wait(lambda: all(len(self.requests("/vi/%s/mq%d.jpg" % (video, i))) == frames[i] + 1
                              for i in (1, 2, 3)))
        self.wait(lambda: "favourites file damaged: %s: reading stopped at byte %d"
                  % (link, len(files["favlist.json"]) - 1) in m.output())
        self.assertFalse(os.path.exists(leftover))
        self.keys("Ctrl+s")
        self.wait_rows([f["thumb_id"] for f in favourites], "favourites after the restart")
        # Following another playlist changes nothing on disk; the status line says why.
        browsed = len(self.requests("/youtubei/v1/browse"))
        self.query("playlist:PLoumn")
        self.wait(lambda: len(self.requests("/youtubei/v1/browse")) == browsed + 1)
        time.sleep(1)
        self.keys("Ctrl+f")
        time.sleep(0.5)
        self.shot("damaged-favourites")
        self.keys("Ctrl+h")
        self.wait_rows([video], "history after the restart")
        before = len(self.requests("/feeds/videos.xml"))
        self.keys("Ctrl+g")
        self.wait(lambda: len(self.requests("/feeds/videos.xml")) == before + 2)
        self.wait_rows(self.expected_feed(ids)[:VISIBLE_ROWS], "feed after the restart")
        self.shot("restarted")
        self.assertEqual(m.quit(), 0)
        self.assertEqual({n: self.file(n) for n in files}, files)
        self.assertTrue(os.path.islink(link))


if __name__ == "__main__":
    unittest.main()
