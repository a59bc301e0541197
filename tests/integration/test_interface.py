"""Integration: the interface in a real mpv under Xvfb, on the X screen, the service unreachable."""
import time
import unittest

from mpvharness import Scene, region

# Places in the default layout at 960 x 600 (scale 1).
SEARCH_FIELD = (40, 8, 250, 20)
LIST_POINT = (150, 300)
STATUS_POINT = (600, 590)
STATUS_TEXT = (2, 582, 200, 16)
GO_BUTTON = (342, 17)
OPTIONS_BUTTON = (312, 17)       # the search button's left neighbour: opens the options
OPTIONS_PANEL = (10, 40, 80, 40)


def luminance(c):
    return 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2]


class InterfaceIntegration(Scene):
    service = False

    def settled(self):
        last = None
        for _ in range(50):
            time.sleep(0.1)
            now = region(self.screen(), SEARCH_FIELD)
            if now == last:
                return now
            last = now
        return last

    def test_toggle_type_click_search_and_resize(self):
        m = self.start(show=False)
        self.assertEqual(self.screen()(*LIST_POINT), (0, 0, 0))  # hidden at start
        m.command(["script-message", "solfb-toggle"])
        self.wait(lambda: self.screen()(*LIST_POINT) != (0, 0, 0))
        self.shot("mirra")
        colour = self.screen()(*LIST_POINT)  # the built-in theme is a light grey-green
        self.assertGreater(colour[1], colour[0])
        self.assertGreater(luminance(colour), 120)

        # Typing shows in the field; Ctrl+A, BS empties it; a key's down and up types it once.
        empty = self.settled()
        m.keys(*"solvane")
        self.assertNotEqual(self.settled(), empty, "typed text is not drawn")
        m.keys("Ctrl+a", "BS")
        self.assertEqual(self.settled(), empty, "Ctrl+A then BS did not empty the field")
        m.keys("x")
        once = self.settled()
        m.keys("BS")
        self.assertEqual(self.settled(), empty)
        m.command(["keydown", "x"])
        m.command(["keyup", "x"])
        self.assertEqual(self.settled(), once)

        said = "INFO: status: cannot reach www.youtube.com (no network?)\n"
        self.assertNotIn(said, m.output())
        m.keys("ENTER")
        self.wait(lambda: said in m.output())
        self.assertIn("INFO: status: searching...\n", m.output())
        self.shot("unreachable")

        # A click arriving with the move from the search button onto the options button (mpv
        # reports the click first) opens and closes the options and never searches.
        status, closed = region(self.screen(), STATUS_TEXT), region(self.screen(), OPTIONS_PANEL)
        for k in range(4):
            m.command(["mouse", *GO_BUTTON])
            time.sleep(0.3)
            m.command(["mouse", *OPTIONS_BUTTON, 0, "single"])
            self.wait(lambda: (region(self.screen(), OPTIONS_PANEL) != closed) == (k % 2 == 0))
            self.assertEqual(region(self.screen(), STATUS_TEXT), status, "click %d searched" % k)

        # A smaller window: the status bar follows the bottom edge, nothing is drawn outside.
        status = self.screen()(*STATUS_POINT)
        m.command(["set", "geometry", "800x500+0+0"])
        self.wait(lambda: self.screen()(600, 490) == status)
        self.assertEqual(self.screen()(900, 300), (0, 0, 0))
        self.assertEqual(m.quit(), 0)

    def test_dark_theme_at_a_scale_too_large_for_the_window(self):
        # At scale 4 a 1280 x 720 window gets scale 2: everything stays on the window.
        m = self.start({"theme": "dark", "scale": 4}, size=(1280, 720))
        self.wait(lambda: self.screen()(600, 710) != (0, 0, 0))
        time.sleep(0.5)
        self.shot("dark-scale4")
        self.assertIn("interface scale 2 for a smaller window", m.output())
        rgb = self.screen()
        details, listing = rgb(1000, 400), rgb(300, 300)
        self.assertNotEqual(details, listing)
        self.assertNotEqual(rgb(1260, 34), details)
        self.assertLess(luminance(listing), 100)
        self.assertEqual(m.quit(), 0)


if __name__ == "__main__":
    unittest.main()
