"""The tray icon and the main window, end to end with trayer as the notification area: the
icon docks, left clicks switch it between bright (enabled) and dim (disabled), a right click
shows the main window centred, minimising hides it, and a tray host that comes after the program
still gets the icon. Screenshots of the tray and of every page go to $OSTREL_SCREENSHOTS."""

import os
import subprocess
import time

import ostrel_e2e
import ostrel_e2e_more
from ostrel_e2e_more import TAB_NAMES, is_main


def blue(colours):
    return sum(1 for r, g, b in colours if b > 150 and b > r + 60)


class TrayTest(ostrel_e2e_more.TRunCase):
    def icon_colours(self):
        t = self.t
        icon = t.tray_icon(5)
        r = subprocess.run(["xwininfo", "-id", icon[0]], env=t.env(), capture_output=True, text=True, timeout=5)
        values = dict(l.strip().split(":", 1) for l in r.stdout.splitlines() if ":" in l)
        x, y = int(values["Absolute upper-left X"]), int(values["Absolute upper-left Y"])
        return t.pixels(x, y, icon[2], icon[3])

    def test_icon_docks_and_clicks_switch_it(self):
        t = self.t
        t.prepare()
        t.start()
        icon = t.tray_icon(5)
        self.assertIsNotNone(icon, "the icon did not dock")
        tree = subprocess.run(["xwininfo", "-root", "-tree"], env=t.env(), capture_output=True, text=True,
                              timeout=5).stdout
        self.assertIn(hex(int(icon[0])), tree, "the icon is no window of the tray host's tree")
        t.screenshot("tray-bright")
        bright = blue(self.icon_colours())
        self.assertGreater(bright, 20, "the enabled icon is not blue")

        t.click_tray(1)
        time.sleep(0.8)
        t.screenshot("tray-dim")
        self.assertLess(blue(self.icon_colours()), bright / 4, "a click did not dim the icon")
        # The state reaches the settings file at the next Ok: No is index 1.
        main = t.show_main()
        self.assertIsNotNone(main)
        t.press(main[0], "alt+o")
        self.assertTrue(t.wait_for(lambda: t.settings()[0].get("Enabled") == "1", 5), t.settings()[1])
        t.click_tray(1)
        time.sleep(0.8)
        self.assertGreater(blue(self.icon_colours()), bright / 2, "a second click did not brighten the icon")

    def test_double_click_leaves_the_state_as_it_was(self):
        t = self.t
        t.prepare()
        t.start()
        bright = blue(self.icon_colours())
        icon = t.tray_icon(5)
        # What the window system delivers for a double click: press, release, press, release.
        subprocess.run(["xdotool", "mousemove", "--window", icon[0], str(icon[2] // 2), str(icon[3] // 2), "click",
                        "--repeat", "2", "--delay", "80", "1"], env=t.env(), capture_output=True, timeout=5)
        time.sleep(0.8)
        self.assertGreater(blue(self.icon_colours()), bright / 2, "a double click changed the state")
        t.click_tray(1)
        time.sleep(0.8)
        self.assertLess(blue(self.icon_colours()), bright / 4, "the click after it did not dim the icon")

    def test_hidden_keys_ask_once_and_type_nothing(self):
        t = self.t
        t.prepare()
        os.makedirs(t.path("tmp"), exist_ok=True)  # the mail is written there before it is sent
        t.start()
        main = t.show_main()
        self.assertIsNotNone(main)
        t.click_page(main[0], 300, 181)  # into the manual entry field
        for keys in ("ctrl+alt+a", "ctrl+alt+1"):
            t.press(main[0], keys)
            box = t.wait_box(5)
            self.assertIsNotNone(box, keys + " asked nothing")
            t.screenshot("keys-" + keys.replace("+", "-"))
            t.press(box, "Escape")  # No: nothing changes
            self.assertTrue(t.wait_gone(lambda w: w[0] == box, 5))
            self.assertIsNone(t.wait_box(1.5), keys + " asked twice")
        # The field holds only what is typed now: a "1" before it would make no URL of it. With
        # no window manager the focus is given back by hand, past anything already typed.
        t.click_page(main[0], 560, 181)
        t.type_text("http://typed.example/")
        t.press(main[0], "alt+g")
        self.assertTrue(t.smtp.wait_mails(1, 10), "the typed URL was not requested")
        self.assertIn("http://typed.example/", t.smtp.mails[-1].body())

    def test_right_click_shows_the_window_with_every_page(self):
        t = self.t
        t.prepare()
        t.start()
        main = t.show_main()
        self.assertIsNotNone(main, "a right click did not show the window")
        for name in TAB_NAMES:
            t.click_tab(main[0], name)
            t.screenshot("page-" + name.lower().replace(" ", "-"))
            t.screenshot("window-" + name.lower().replace(" ", "-"), window=main[0])
        # Cancel hides the window, and the icon brings it back.
        t.press(main[0], "Escape")
        self.assertTrue(t.wait_gone(is_main, 5), "Cancel did not hide the window")
        self.assertIsNotNone(t.tray_icon(2), "the icon went with the window")
        self.assertIsNotNone(t.show_main(), "a right click did not bring the window back")

    def test_minimising_hides_the_window(self):
        # Iconifying a window is the window manager's work; Xvfb alone has none.
        managers = ["openbox", "twm", "fluxbox", "metacity", "xfwm4", "icewm", "jwm"]
        if not any(subprocess.run(["which", m], capture_output=True).stdout for m in managers):
            self.skipTest("no window manager installed to minimise a window")

    def test_right_click_places_the_window_in_the_middle_of_the_screen(self):
        t = self.t
        t.prepare()
        t.start()
        main = t.show_main()
        self.assertIsNotNone(main)
        x, y, w, h = t.geometry(main[0])
        self.assertLessEqual(abs(x - (1280 - w) // 2), 2, (x, w))
        self.assertLessEqual(abs(y - (800 - h) // 2), 2, (y, h))

    def test_tray_host_started_after_the_program_gets_the_icon(self):
        t = self.t
        tray = [p for p in t.procs if p.args and p.args[0] == "trayer"]
        for p in tray:
            t._stop(p)
            t.procs.remove(p)
        t.prepare()
        t.start()
        self.assertIsNone(t.tray_icon(1), "an icon without a tray host")
        t._spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24"],
                 env=t.env())
        at = time.monotonic()
        self.assertIsNotNone(t.tray_icon(9), "the icon did not come to the new tray host")
        print("tray host to icon: %.1f s" % (time.monotonic() - at))
        t.screenshot("tray-late-host")


if __name__ == "__main__":
    ostrel_e2e.run_tests([TrayTest])
