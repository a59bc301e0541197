"""Integration: the interface inside a real mpv under Xvfb, checked on the X screen.

Screenshots are saved as PNG files in the build folder (integration-*.png) for a person to
look at."""
import os
import time
import unittest

from mpvharness import Mpv, Xvfb, grab_screen, save_screen

BUILD = os.environ.get("SOLVANE_BUILD", os.path.join(os.path.dirname(__file__), "../../build"))
GEOMETRY = ["--vo=x11", "--force-window=yes", "--geometry=960x600+0+0"]

# Places in the default layout at 960 x 600 (scale 1).
SEARCH_FIELD = (40, 8, 250, 20)  # x, y, w, h inside the search input
LIST_POINT = (150, 300)          # inside the empty result list
STATUS_POINT = (600, 590)        # on the status bar at the bottom
STATUS_TEXT = (2, 582, 200, 16)  # x, y, w, h around the status bar's text
GO_BUTTON = (342, 17)            # the search button at the right of the top bar
OPTIONS_BUTTON = (312, 17)       # its neighbour on the left: opens the search options
OPTIONS_PANEL = (10, 40, 80, 40) # where the options panel opens, above the result list


def luminance(c):
    return 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2]


def region(rgb, box):
    x, y, w, h = box
    return tuple(rgb(x + i, y + j) for j in range(h) for i in range(w))


class InterfaceIntegration(unittest.TestCase):
    def setUp(self):
        self.x = Xvfb("1280x720x24")

    def tearDown(self):
        self.x.close()

    def start(self, config=None):
        m = Mpv(config=config if config is not None else {}, display=self.x.display, extra=GEOMETRY)
        m.wait_ready()
        m.wait_until(lambda: (m.get("osd-dimensions") or {}).get("w", 0) == 960, timeout=10)
        return m

    def screen(self):
        return grab_screen(self.x.display)[2]

    def shown(self, m):
        """Shows the interface and waits until it is on the screen."""
        m.command(["script-message", "solfb-show"])
        m.wait_until(lambda: self.screen()(STATUS_POINT[0], STATUS_POINT[1]) != (0, 0, 0), timeout=5)
        time.sleep(0.2)

    def settle(self, m, seconds=0.4):
        """Waits until two screen reads agree: the plug-in has drawn and mpv has shown it."""
        deadline = time.monotonic() + 5
        last = None
        while time.monotonic() < deadline:
            time.sleep(seconds / 4)
            now = region(self.screen(), SEARCH_FIELD)
            if now == last:
                return now
            last = now
        return last

    def test_toggle_shows_and_hides_the_overlay(self):
        with self.start() as m:
            self.assertEqual(self.screen()(*LIST_POINT), (0, 0, 0))  # hidden at start
            m.command(["script-message", "solfb-toggle"])
            m.wait_until(lambda: self.screen()(*LIST_POINT) != (0, 0, 0), timeout=5)
            save_screen(self.x.display, os.path.join(BUILD, "integration-interface-mirra.png"))
            list_colour = self.screen()(*LIST_POINT)
            # The built-in theme is a light grey-green.
            self.assertGreater(list_colour[1], list_colour[0])
            self.assertGreater(luminance(list_colour), 120)
            m.command(["script-message", "solfb-toggle"])
            m.wait_until(lambda: self.screen()(*LIST_POINT) == (0, 0, 0), timeout=5)
            self.assertEqual(m.quit(), 0)

    def test_dark_theme_is_dark(self):
        with self.start({"theme": "dark"}) as m:
            self.shown(m)
            save_screen(self.x.display, os.path.join(BUILD, "integration-interface-dark.png"))
            self.assertLess(luminance(self.screen()(*LIST_POINT)), 100)
            self.assertEqual(m.quit(), 0)

    def test_typing_and_editing_the_search_field(self):
        with self.start() as m:
            self.shown(m)
            empty = self.settle(m)
            for k in "solvane":
                m.command(["keypress", k])
            typed = self.settle(m)
            self.assertNotEqual(typed, empty, "typed text is not drawn in the search field")
            save_screen(self.x.display, os.path.join(BUILD, "integration-interface-typed.png"))
            m.command(["keypress", "Ctrl+a"])
            m.command(["keypress", "BS"])
            self.assertEqual(self.settle(m), empty, "Ctrl+A then BS did not empty the field")

            # A real keyboard sends down and up for each key: the key must type once.
            m.command(["keypress", "x"])
            once = self.settle(m)
            m.command(["keypress", "BS"])
            self.assertEqual(self.settle(m), empty)
            m.command(["keydown", "x"])
            m.command(["keyup", "x"])
            self.assertEqual(self.settle(m), once)

            # Searching with the service unreachable (every host goes to a closed port) says so
            # on the status line, and the log shows what the status line said.
            said = "INFO: status: cannot reach www.youtube.com (no network?)\n"
            self.assertNotIn(said, m.output())
            m.command(["keypress", "ENTER"])
            m.wait_until(lambda: said in m.output(), timeout=2.5)
            self.assertIn("INFO: status: searching...\n", m.output())
            time.sleep(0.3)
            save_screen(self.x.display, os.path.join(BUILD, "integration-interface-unreachable.png"))
            self.assertEqual(m.quit(), 0)

    def test_resize_lays_the_interface_out_again(self):
        with self.start() as m:
            self.shown(m)
            status = self.screen()(*STATUS_POINT)
            m.command(["set", "geometry", "800x500+0+0"])
            m.wait_until(lambda: (m.get("osd-dimensions") or {}).get("w", 0) == 800, timeout=10)
            # The status bar follows the bottom edge.
            m.wait_until(lambda: self.screen()(600, 490) == status, timeout=5)
            self.assertEqual(self.screen()(900, 300), (0, 0, 0))  # nothing drawn outside
            save_screen(self.x.display, os.path.join(BUILD, "integration-interface-resized.png"))
            self.assertEqual(m.quit(), 0)

    def test_broken_configuration_is_explained_and_the_interface_shows(self):
        # A new user's typos: named files that are not there, a number written as a text, a
        # size far out of range, a key name in lower case. mpv keeps running and the interface
        # comes up on the built-in font, theme and layout.
        config = ('{"font": "/nonexistent/font.ttf", "theme_path": "missing-theme.json",\n'
                  ' "layout_bundle_path": "missing-layout.json", "mascot": "missing.png",\n'
                  ' "font_size": "16", "thumb_size": 100000,\n'
                  ' "key_bindings": [{"key": "f5", "action": "show_feed"}]}')
        with self.start(config) as m:
            d = m.solvane_dir
            out = m.output()
            for line in [
                    "WARNING: configuration: font_size: \"16\" is not a number; using 14",
                    "WARNING: configuration: thumb_size: 100000 is out of range (18 to 360); "
                    "using 360",
                    "WARNING: configuration: key_bindings entry 1 {\"key\": \"f5\", "
                    "\"action\": \"show_feed\"}: unknown key \"f5\"",
                    "ERROR: font: cannot use /nonexistent/font.ttf (file does not exist); "
                    "using the built-in font",
                    "ERROR: theme_path: cannot read %s/missing-theme.json (file does not "
                    "exist); using the default theme" % d,
                    "ERROR: mascot: cannot read %s/missing.png (file does not exist); showing "
                    "no mascot" % d,
                    "ERROR: layout_bundle_path: cannot read %s/missing-layout.json (file does "
                    "not exist); using the built-in layout" % d]:
                self.assertIn(line, out)
            self.shown(m)
            save_screen(self.x.display, os.path.join(BUILD, "integration-interface-broken-config.png"))
            list_colour = self.screen()(*LIST_POINT)
            self.assertGreater(list_colour[1], list_colour[0])  # the built-in theme
            self.assertIsNone(m.proc.poll())
            self.assertEqual(m.quit(), 0)

    def test_scale_four_fits_a_small_window(self):
        # At scale 4 a 1280 x 720 window cannot hold the interface: it is built at the scale
        # that fits (2), so the video buttons and the details view stay on the window.
        m = Mpv(config={"scale": 4}, display=self.x.display,
                extra=["--vo=x11", "--force-window=yes", "--geometry=1280x720+0+0"])
        with m:
            m.wait_ready()
            m.wait_until(lambda: (m.get("osd-dimensions") or {}).get("w", 0) == 1280, timeout=10)
            m.command(["script-message", "solfb-show"])
            m.wait_until(lambda: self.screen()(600, 710) != (0, 0, 0), timeout=5)
            time.sleep(0.5)
            save_screen(self.x.display, os.path.join(BUILD, "integration-interface-scale4.png"))
            self.assertIn("interface scale 2 for a smaller window", m.output())
            rgb = self.screen()
            details, listing = rgb(1000, 400), rgb(300, 300)
            self.assertNotEqual(details, listing)  # the details view is beside the list
            self.assertNotEqual(rgb(1260, 34), details)  # a button at the top right
            self.assertEqual(m.quit(), 0)

    def test_move_and_click_at_once_presses_the_button_under_the_pointer(self):
        # The pointer rests on the search button, then moves onto its neighbour and clicks in
        # the same instant (mpv reports the click before the move): the neighbour is pressed,
        # every time, and no search starts.
        with self.start() as m:
            self.shown(m)
            status = region(self.screen(), STATUS_TEXT)
            closed = region(self.screen(), OPTIONS_PANEL)
            for k in range(4):
                m.command(["mouse", GO_BUTTON[0], GO_BUTTON[1]])
                time.sleep(0.3)
                m.command(["mouse", OPTIONS_BUTTON[0], OPTIONS_BUTTON[1], 0, "single"])
                opened = k % 2 == 0
                try:
                    m.wait_until(lambda: (region(self.screen(), OPTIONS_PANEL) != closed) == opened,
                                 timeout=3)
                except TimeoutError:
                    save_screen(self.x.display, os.path.join(BUILD, "integration-interface-click-failed.png"))
                    self.fail("click %d did not %s the options" % (k, "open" if opened else "close"))
                if opened and k == 0:
                    save_screen(self.x.display, os.path.join(BUILD, "integration-interface-options.png"))
                self.assertEqual(region(self.screen(), STATUS_TEXT), status,
                                 "click %d pressed the search button" % k)
            self.assertEqual(m.quit(), 0)


if __name__ == "__main__":
    unittest.main()
