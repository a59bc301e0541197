"""Integration: text in several scripts in a real mpv under Xvfb against the stand-in service.

The user types "café 日本語" into the search field (the characters arrive as text input, one key
at a time) and searches; the stand-in answers a query that is not ASCII with titles holding
accents, typographic quotes, kana, Cyrillic, Greek, Hangul, Han and emoji, and one title too long
for its row, which shows its first three lines above the row's age and views and ends them in an
ellipsis. The fallback fonts draw them. Opening a video shows readable figures in the details
with the exact date and count after them. Screenshots go into the build folder
(integration-text-*.png)."""
import json
import os
import re
import time
import unittest

from mpvharness import Mpv, StandIn, Xvfb, grab_screen, save_screen, wait_or_fail

BUILD = os.environ.get("SOLVANE_BUILD", os.path.join(os.path.dirname(__file__), "../../build"))
GEOMETRY = ["--vo=x11", "--force-window=yes", "--geometry=960x600+0+0"]

# Places in the default layout at 960 x 600 (scale 1, thumbnails 128 x 72).
LIST_TOP = 34
ROW = 72
SEARCH_BOX = (40, 9, 250, 16)  # the search field's text
TEXT_X = 128 + 5                # the rows' text column
LONG_ROW = 1                    # the row of the title too long for it
DETAILS_LINE_BOX = (366, 150, 580, 60)  # the details' title and second line
STATUS_POINT = (600, 590)
QUERY = "café 日本語"


def region(rgb, box):
    x, y, w, h = box
    return [rgb(x + i, y + j) for j in range(h) for i in range(w)]


def ink_columns(rgb, box, background):
    """The columns of the box holding a pixel that differs from the background."""
    x, y, w, h = box
    return [i for i in range(w) if any(rgb(x + i, y + j) != background for j in range(h))]


class TextIntegration(unittest.TestCase):
    def setUp(self):
        self.x = Xvfb("1280x720x24")
        self.service = StandIn()

    def tearDown(self):
        self.service.close()
        self.x.close()

    def screen(self):
        return grab_screen(self.x.display)[2]

    def shot(self, name):
        save_screen(self.x.display, os.path.join(BUILD, "integration-text-%s.png" % name))

    def wait(self, condition, mpv, timeout=10):
        return wait_or_fail(self, condition, timeout, self.service, mpv, 8, 3000)

    def test_typed_and_listed_text_in_several_scripts(self):
        with Mpv(config={"show_extra_metadata": True}, display=self.x.display, extra=GEOMETRY, env=self.service.env) as m:
            m.wait_ready()
            m.wait_until(lambda: (m.get("osd-dimensions") or {}).get("w", 0) == 960, timeout=10)
            m.command(["script-message", "solfb-show"])
            self.wait(lambda: self.screen()(*STATUS_POINT) != (0, 0, 0), m)
            time.sleep(0.3)
            background = self.screen()(SEARCH_BOX[0] + 200, SEARCH_BOX[1] + 8)

            # Typed one character at a time; the field shows each as it comes.
            for k in QUERY:
                m.command(["keypress", "SPACE" if k == " " else k])
                time.sleep(0.05)
            time.sleep(0.3)
            self.shot("typed")
            # Nine characters in the field: the ink reaches past where nine pixel-font cells
            # of boxes would (the ideographs are a full em wide, the boxes half of one).
            columns = ink_columns(self.screen(), SEARCH_BOX, background)
            self.assertTrue(columns, "the search field shows nothing")
            self.assertGreater(columns[-1] - columns[0], 9 * 7)

            m.command(["keypress", "ENTER"])
            search = self.wait(lambda: [e for e in self.service.log()
                                        if e["path"].startswith("/youtubei/v1/search")], m)
            self.assertEqual(json.loads(search[0]["body"])["query"], QUERY)
            # The rows are drawn with the titles the stand-in gave; the Latin, Greek and
            # Cyrillic letters come from one fallback font and the kana from another.
            self.wait(lambda: "NotoSansCJK" in m.output() and "DejaVuSans" in m.output(), m)
            time.sleep(1.0)
            self.shot("rows")
            opened = re.findall(r"fallback font: (\S+), opened", m.output())
            self.assertFalse(any("Color" in name for name in opened), opened)
            # The long title keeps to three lines of 14 pixels from the row's padding: nothing
            # is drawn between them and the bottom line (14 pixels above the lower padding).
            rgb = self.screen()
            top = LIST_TOP + LONG_ROW * ROW
            band = rgb(TEXT_X + 150, top + 50)
            gap = region(rgb, (TEXT_X, top + 5 + 3 * 14, 200, ROW - 5 - 14 - (5 + 3 * 14)))
            self.assertEqual(set(gap), {band})
            self.assertNotEqual(set(region(rgb, (TEXT_X, top + 5 + 2 * 14, 200, 14))), {band})

            # A video opens; the details show its figures.
            m.command(["mouse", 200, LIST_TOP + ROW // 2])
            time.sleep(0.2)
            m.command(["mouse", 200, LIST_TOP + ROW // 2, 0, "single"])
            time.sleep(0.2)
            m.command(["keypress", "ENTER"])
            self.wait(lambda: "select: title" in m.output(), m)
            self.wait(lambda: len(set(region(self.screen(), DETAILS_LINE_BOX))) > 2, m)
            time.sleep(0.5)
            self.shot("details")
            self.assertEqual(m.quit(), 0)


if __name__ == "__main__":
    unittest.main()
