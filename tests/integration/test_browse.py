"""Integration: browsing in a real mpv under Xvfb against the stand-in service on loopback.

A user's path: type a query and press ENTER, see the rows and thumbnails, open a video and read
its details with the storyboard frames, open a playlist row, load more rows, scroll to the end
with infinite scrolling, and change the search options. Screenshots go into the build folder
(integration-browse-*.png)."""
import json
import os
import sys
import time
import unittest

from mpvharness import Mpv, StandIn, Xvfb, grab_screen, save_screen, wait_or_fail

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "server"))
import standin_service  # noqa: E402  (its PNG writer)

BUILD = os.environ.get("SOLVANE_BUILD", os.path.join(os.path.dirname(__file__), "../../build"))
FIXTURES = os.environ.get("SOLVANE_FIXTURES",
                          os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                       "../../../shared/fixtures"))
GEOMETRY = ["--vo=x11", "--force-window=yes", "--geometry=960x600+0+0"]

# Places in the default layout at 960 x 600 (scale 1, thumbnails 128 x 72).
LIST_TOP = 34
ROW = 72
THUMB_POINT = (40, LIST_TOP + 12)       # upper part of the first row's thumbnail
TITLE_BOX = (140, LIST_TOP + 6, 180, 14)  # first line of the first row's title
DETAILS_FRAMES = (380, 50)              # inside the first storyboard frame
DETAILS_TEXT_BOX = (366, 160, 560, 140)  # the details text under the frames
HEADER_BOX = (64, 528, 250, 24)         # the playlist header's title
STATUS_POINT = (600, 590)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def region(rgb, box):
    x, y, w, h = box
    return tuple(rgb(x + i, y + j) for j in range(h) for i in range(w))


def distinct(pixels):
    return len(set(pixels))


def page_video_ids(path):
    """The videos a person sees on a recorded search page: the results, the videos of its
    shelves and the shorts of its Shorts grids."""
    ids = set()

    def walk(value):
        if isinstance(value, dict):
            for key, inner in value.items():
                if key == "videoRenderer":
                    ids.add(inner["videoId"])
                elif key == "shortsLockupViewModel":
                    ids.add(inner["onTap"]["innertubeCommand"]["reelWatchEndpoint"]["videoId"])
                else:
                    walk(inner)
        elif isinstance(value, list):
            for inner in value:
                walk(inner)

    with open(path, encoding="utf-8") as f:
        walk(json.load(f)["contents"])
    return ids


class BrowseIntegration(unittest.TestCase):
    def setUp(self):
        self.x = Xvfb("1280x720x24")
        self.service = StandIn()
        self.mpv = None

    def tearDown(self):
        self.service.close()
        self.x.close()

    def start(self, config=None):
        m = Mpv(config=config if config is not None else {}, display=self.x.display,
                extra=GEOMETRY, env=self.service.env)
        self.mpv = m
        m.wait_ready()
        m.wait_until(lambda: (m.get("osd-dimensions") or {}).get("w", 0) == 960, timeout=10)
        m.command(["script-message", "solfb-show"])
        m.wait_until(lambda: self.screen()(*STATUS_POINT) != (0, 0, 0), timeout=5)
        # The input section is enabled with the overlay; give the host a moment to apply it.
        time.sleep(0.3)
        return m

    def screen(self):
        return grab_screen(self.x.display)[2]

    def shot(self, name):
        save_screen(self.x.display, os.path.join(BUILD, "integration-browse-%s.png" % name))

    def requests(self, path):
        return [e for e in self.service.log() if e["path"].startswith(path)]

    def wait_requests(self, path, count, timeout=10):
        return self.wait(lambda: len(self.requests(path)) >= count and self.requests(path),
                         timeout)

    def wait(self, condition, timeout=10):
        return wait_or_fail(self, condition, timeout, self.service, self.mpv, 8, 1500)

    def type_query(self, m, text):
        m.command(["keypress", "Ctrl+a"])
        m.command(["keypress", "BS"])
        # One key at a time: mpv drops keys sent faster than it handles them.
        for k in list(text) + ["ENTER"]:
            m.command(["keypress", "SPACE" if k == " " else k])
            time.sleep(0.02)

    def search(self, m, text="test"):
        blank = region(self.screen(), TITLE_BOX)
        self.type_query(m, text)
        self.wait_requests("/youtubei/v1/search", 1)
        # The rows are drawn: titles appear, then the thumbnails arrive.
        self.wait(lambda: region(self.screen(), TITLE_BOX) != blank)
        self.wait(lambda: self.thumbnail_shown())

    def thumbnail_shown(self):
        rgb = self.screen()
        return distinct(region(rgb, (THUMB_POINT[0], THUMB_POINT[1], 60, 8))) >= 2

    def click(self, m, x, y, double=False):
        # The pointer moves first: the host reports the new position before the button.
        m.command(["mouse", x, y])
        time.sleep(0.2)
        # The host's own double-click key is ignored; the toolkit times two clicks itself.
        for _ in range(2 if double else 1):
            m.command(["mouse", x, y, 0, "single"])
            time.sleep(0.05)
        time.sleep(0.1)

    def wheel(self, m, x, y, steps, key="WHEEL_DOWN"):
        m.command(["mouse", x, y])
        time.sleep(0.2)
        for _ in range(steps):
            m.command(["keypress", key])
            time.sleep(0.03)  # one wheel step per pass of the plug-in's loop

    def test_search_fills_the_list_and_a_video_opens_in_the_details(self):
        with self.start() as m:
            self.search(m)
            time.sleep(0.5)
            self.shot("search")
            search = self.requests("/youtubei/v1/search")[0]
            self.assertEqual(json.loads(search["body"])["query"], "test")
            self.assertEqual(json.loads(search["body"])["params"], "CAA%3D")
            self.assertIn("listinfo.json", os.listdir(m.solvane_dir))
            # The shelves and Shorts grids are rows: every video of the page gets its thumbnail,
            # and a short that two grids show is one row with one thumbnail.
            ids = page_video_ids(os.path.join(FIXTURES, search["fixture"]))
            self.assertGreater(len(ids), 40)
            thumbs = lambda: [e["path"].split("/")[2] for e in self.requests("/vi/")
                              if e["path"].endswith("/mqdefault.jpg")]
            self.wait(lambda: ids <= set(thumbs()))
            self.assertEqual(len(thumbs()), len(set(thumbs())))
            images = self.requests("/vi/")
            self.assertTrue(any(e["host"] == "i.ytimg.com" for e in images))

            # Select the first row with a click, go down one row with the keyboard, open it.
            self.click(m, 200, LIST_TOP + ROW // 2)
            m.command(["keypress", "DOWN"])
            m.command(["keypress", "ENTER"])
            player = self.wait_requests("/youtubei/v1/player", 1)
            self.assertEqual(json.loads(player[0]["body"])["context"]["client"]["clientName"],
                             "WEB")
            # The frames arrive and the details show the title and description.
            self.wait_requests("/vi/", len(images) + 3)
            self.wait(lambda: distinct(region(self.screen(), DETAILS_TEXT_BOX)) > 2)
            self.wait(lambda: distinct(region(self.screen(), (DETAILS_FRAMES[0], DETAILS_FRAMES[1], 40, 40))) >= 2)
            time.sleep(0.5)
            self.shot("details")
            frames = [e["path"] for e in self.requests("/vi/") if "/mq1.jpg" in e["path"]
                      or "/mq2.jpg" in e["path"] or "/mq3.jpg" in e["path"]]
            self.assertEqual(len(frames), 3)
            self.assertIn("select: title", m.output())

            # The details scroll with the wheel over them.
            before = region(self.screen(), DETAILS_TEXT_BOX)
            self.wheel(m, 600, 300, 1)
            self.wait(lambda: region(self.screen(), DETAILS_TEXT_BOX) != before)
            self.shot("details-scrolled")

            # A hostile service sends the next video's frames: a JPEG whose Huffman table
            # overruns the decoder's arrays, an 8192 x 8192 PNG bomb of 260 kB (once 8 s of
            # decoding each) and a 2.1-megapixel picture. Each is refused from its header.
            def data(path):
                with open(os.path.join(os.path.dirname(__file__), "../..", path), "rb") as f:
                    return f.read()
            self.service.set_image("/mq1.jpg",
                                   data("fuzz/seeds/gfx_image/jpeg_dht_4080_codes_before_frame.jpg"))
            self.service.set_image("/mq2.jpg", data("tests/gfx/data/png_bomb_8192.png"))
            self.service.set_image("/mq3.jpg", standin_service.png(1500, 1400,
                                                                   [b"\x80" * 4500] * 1400))
            refusals = ["JPEG Huffman table with more than 256 codes",
                        "image size 8192 x 8192 above 2000000 pixels",
                        "image size 1500 x 1400 above 2000000 pixels"]
            cpu_before = cpu_seconds(m.proc.pid)
            m.command(["keypress", "F7"])
            m.command(["keypress", "DOWN"])
            m.command(["keypress", "ENTER"])
            self.wait_requests("/youtubei/v1/player", 2)
            self.wait(lambda: all("loading image from memory failed: " + r in m.output()
                                  for r in refusals))
            self.assertLess(cpu_seconds(m.proc.pid) - cpu_before, 2.0)
            self.shot("hostile-frames")
            self.assertEqual(m.quit(), 0)

    def test_playlist_query_fills_the_header_and_load_more_appends(self):
        with self.start() as m:
            header = region(self.screen(), HEADER_BOX)
            self.type_query(m, "playlist:PLoumn")
            browse = self.wait_requests("/youtubei/v1/browse", 1)
            self.assertEqual(json.loads(browse[0]["body"])["browseId"], "VLPLoumn")
            self.wait(lambda: region(self.screen(), HEADER_BOX) != header)
            self.wait(lambda: self.thumbnail_shown())
            time.sleep(0.5)
            self.shot("playlist")
            # Scroll to the end with the wheel; the "Load More" row is the last one.
            self.wheel(m, 200, 300, 130)
            time.sleep(0.5)
            self.shot("playlist-end")
            self.click(m, 200, 522 - ROW // 2, double=True)
            more = self.wait_requests("/youtubei/v1/browse", 2)
            self.assertIn("continuation", json.loads(more[1]["body"]))
            time.sleep(0.5)
            self.shot("playlist-more")
            self.assertEqual(m.quit(), 0)

    def test_a_playlist_row_opens_the_playlist(self):
        with self.start() as m:
            # The search options: type "Playlist" (three presses from "All").
            self.click(m, 312, 17)  # the options button
            time.sleep(0.3)
            self.shot("options")
            for _ in range(3):
                self.click(m, 300, LIST_TOP + 5 + 31 + 13)
                time.sleep(0.1)
            self.click(m, 312, 17)  # close the options
            time.sleep(0.3)
            self.click(m, 150, 17)  # back into the search field
            self.search(m)
            search = self.requests("/youtubei/v1/search")[0]
            self.assertEqual(json.loads(search["body"])["params"], "CAASAhAD")
            time.sleep(0.5)
            self.shot("playlists")
            self.click(m, 200, LIST_TOP + ROW // 2, double=True)
            browse = self.wait_requests("/youtubei/v1/browse", 1)
            self.assertTrue(json.loads(browse[0]["body"])["browseId"].startswith("VLPL"))
            time.sleep(0.5)
            self.shot("playlist-opened")
            self.assertEqual(m.quit(), 0)

    def test_infinite_scroll_appends_once_per_page(self):
        with self.start({"infinite_scroll": True}) as m:
            self.search(m)
            # 45 rows and "Load More": about 1.3 wheel steps a row reach the end.
            self.wheel(m, 200, 300, 70)
            more = self.wait_requests("/youtubei/v1/search", 2)
            self.assertIn("continuation", json.loads(more[1]["body"]))
            time.sleep(1)
            self.shot("infinite")
            self.assertEqual(m.quit(), 0)


if __name__ == "__main__":
    unittest.main()
