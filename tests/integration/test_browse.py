"""Integration: browsing in a real mpv under Xvfb against the stand-in: search, thumbnails,
details with storyboard frames, text in several scripts, search options,
a playlist scrolled to its end."""
import json
import os
import re
import time
import unittest

from mpvharness import FIXTURES, Scene, region

# Places in the default layout at 960 x 600 (scale 1, rows of 72 pixels with 128 x 72 thumbnails).
LIST_TOP, ROW = 34, 72
THUMB_BOX = (40, LIST_TOP + 12, 60, 8)    # upper part of the first row's thumbnail
TITLE_BOX = (140, LIST_TOP + 6, 180, 14)  # first line of the first row's title
TEXT_X = 133                              # the rows' text column
FRAME_BOX = (380, 50, 40, 40)             # inside the first storyboard frame
DETAILS_BOX = (366, 150, 560, 150)        # the details' title and text under the frames
HEADER_BOX = (64, 528, 250, 24)           # the playlist header's title
SEARCH_BOX = (40, 9, 250, 16)             # the search field's text
QUERY = "café 日本語"


def page_video_ids(path):
    """The videos of a recorded search page, shelves and Shorts grids included."""
    with open(path, encoding="utf-8") as f:
        text = json.dumps(json.load(f)["contents"])
    return set(re.findall(r'"videoRenderer": \{"videoId": "([^"]+)"', text)
               + re.findall(r'"reelWatchEndpoint": \{"videoId": "([^"]+)"', text))


class BrowseIntegration(Scene):
    def changes(self, box, action):
        before = region(self.screen(), box)
        action()
        self.wait(lambda: region(self.screen(), box) != before)

    def click(self, x, y, double=False):
        # The pointer moves first; the toolkit times two clicks itself.
        self.mpv.command(["mouse", x, y])
        time.sleep(0.2)
        for _ in range(2 if double else 1):
            self.mpv.command(["mouse", x, y, 0, "single"])
            time.sleep(0.05)
        time.sleep(0.2)

    def wheel(self, steps, x=200):
        self.mpv.command(["mouse", x, 300])
        time.sleep(0.2)
        self.mpv.keys(*["WHEEL_DOWN"] * steps)

    def search(self, text=None):
        self.changes(TITLE_BOX, lambda: self.mpv.keys("ENTER") if text is None
                     else self.mpv.search(text))
        self.wait(lambda: len(set(region(self.screen(), THUMB_BOX))) >= 2)  # thumbnails
        return json.loads(self.requests("/youtubei/v1/search")[-1]["body"])

    def test_search_details_scripts_options_and_a_playlist(self):
        m = self.start({"infinite_scroll": True, "show_extra_metadata": True})
        self.assertEqual(self.search("test")["params"], "CAA%3D")
        self.shot("search")
        self.assertIn("listinfo.json", os.listdir(m.solvane_dir))
        # Every video of the page gets one thumbnail (a short in two grids is one row).
        ids = page_video_ids(os.path.join(FIXTURES, self.requests("/youtubei/v1/search")[0]["fixture"]))
        self.assertGreater(len(ids), 40)
        thumbs = lambda: [e["path"].split("/")[2] for e in self.requests("/vi/")
                          if e["path"].endswith("/mqdefault.jpg") and e["host"] == "i.ytimg.com"]
        self.wait(lambda: ids <= set(thumbs()))
        self.assertEqual(len(thumbs()), len(set(thumbs())))

        # Click, DOWN, ENTER: the details fill with the storyboard frames and texts.
        self.click(200, LIST_TOP + ROW // 2)
        frames = region(self.screen(), FRAME_BOX)
        m.keys("DOWN", "ENTER")
        player = self.wait(lambda: self.requests("/youtubei/v1/player"))
        self.assertEqual(json.loads(player[0]["body"])["context"]["client"]["clientName"], "WEB")
        video = json.loads(player[0]["body"])["videoId"]
        self.wait(lambda: len([e for e in self.requests("/vi/%s/mq" % video)
                               if re.search(r"/mq[123]\.jpg$", e["path"])]) == 3)
        self.wait(lambda: region(self.screen(), FRAME_BOX) != frames)
        self.wait(lambda: len(set(region(self.screen(), DETAILS_BOX))) > 2)
        self.assertIn("select: title", m.output())
        self.shot("details")
        self.changes(DETAILS_BOX, lambda: self.wheel(1, 600))  # the details scroll

        # The query in several scripts is drawn wider than nine boxes of a missing glyph.
        m.keys("F6", "Ctrl+a", "BS")
        time.sleep(0.3)
        background = self.screen()(SEARCH_BOX[0] + 200, SEARCH_BOX[1] + 8)
        m.keys(*QUERY)
        time.sleep(0.5)
        rgb = self.screen()
        columns = [i for i in range(SEARCH_BOX[2]) if any(
            rgb(SEARCH_BOX[0] + i, SEARCH_BOX[1] + j) != background for j in range(SEARCH_BOX[3]))]
        self.assertGreater(columns[-1] - columns[0], 9 * 7)
        self.assertEqual(self.search()["query"], QUERY)
        # The titles need two fallback fonts; no colour font is taken.
        self.wait(lambda: "NotoSansCJK" in m.output() and "DejaVuSans" in m.output())
        time.sleep(1.0)
        self.shot("scripts")
        self.assertFalse(any("Color" in n for n in re.findall(r"fallback font: (\S+), opened",
                                                              m.output())))
        # The long title (second row) keeps to three lines above the row's bottom line.
        rgb, top = self.screen(), LIST_TOP + ROW
        band = rgb(TEXT_X + 150, top + 50)
        self.assertEqual(set(region(rgb, (TEXT_X, top + 47, 200, ROW - 66))), {band})
        self.assertNotEqual(set(region(rgb, (TEXT_X, top + 33, 200, 14))), {band})

        # The search options: type "Playlist" is three presses from "All".
        self.click(312, 17)
        for _ in range(3):
            self.click(300, LIST_TOP + 49)
        self.click(312, 17)
        self.click(150, 17)  # back into the search field
        self.assertEqual(self.search("test")["params"], "CAASAhAD")
        # A double click opens the first playlist; at its end infinite scrolling asks for more.
        self.changes(HEADER_BOX, lambda: self.click(200, LIST_TOP + ROW // 2, double=True))
        browse = self.wait(lambda: self.requests("/youtubei/v1/browse"))
        self.assertTrue(json.loads(browse[0]["body"])["browseId"].startswith("VLPL"))
        self.shot("playlist")
        self.wheel(130)
        more = self.wait(lambda: self.requests("/youtubei/v1/browse")[1:])
        self.assertIn("continuation", json.loads(more[0]["body"]))
        self.assertEqual(m.quit(), 0)


if __name__ == "__main__":
    unittest.main()
