"""More end-to-end machinery on top of ostrel_e2e: a first run from an empty program folder,
reading what a message box says, clicking controls of the main window by their place in the
form, screenshots, and keeping track of copies of the program that it started itself (a
restart), so that they are stopped by PID like everything else.

Run with /usr/bin/python3, like ostrel_e2e.
"""

import os
import re
import signal
import subprocess
import time
import unittest

import ostrel_e2e
from ostrel_e2e import is_box

# The main window's client area in form units; the view scales it with the font.
FORM_WIDTH = 680
TAB_NAMES = ["General", "My Details", "Mailbox", "Servers", "History", "Queued Requests", "Hot List",
             "Preferences", "Friend", "About"]
# Pixel centres of the page tabs, from the main window's top left, with the default font.
TAB_CENTRES = {"General": (36, 17), "My Details": (107, 17), "Mailbox": (178, 17), "Servers": (241, 17),
               "History": (300, 17), "Queued Requests": (391, 17), "Hot List": (483, 17), "Preferences": (557, 17),
               "Friend": (627, 17), "About": (680, 17)}
# Where a page's own coordinates start, in pixels from the window's top left (below the tabs).
PAGE_ORIGIN = (6, 37)
# Form-unit centres of the buttons below the pages.
BUTTONS = {"Unload": (40, 260), "UUDecoder": (120, 260), "Help": (480, 260), "Cancel": (560, 260),
           "Ok": (640, 260)}
SETTINGS_KEYS = ["Email", "SMTP", "Confirm", "prefBinaryFormat", "Enabled", "CheckHistory", "chkOnFailure",
                 "chkNotEnabled", "chkNever", "ChunkSize", "Chunks", "FTP", "HTTPBinary", "HTTPPages"]


def is_main(w):
    return w[1] == "Ostrel" and w[2] >= 600


def is_wizard(w):
    return w[1] == "Ostrel - UUDecoder"


class TRun(ostrel_e2e.TE2E):
    """A TE2E that can also start the program from nothing and follow its restarts."""

    def __init__(self, time_limit=180):
        self.others = []  # PIDs of copies that the program started itself
        super().__init__(time_limit=time_limit)

    def close(self):
        for pid in self.others:
            stop_pid(pid)
        self.others = []
        super().close()

    def env(self):
        env = super().env()
        # A folder of temporary files of this run's own, so that nothing the program keeps in
        # the temporary folder meets another run's.
        if self.display:
            env["TMPDIR"] = self.path("tmp")
        return env

    # --- the program folder and settings ---------------------------------------------------

    def fresh(self):
        """An empty program folder and no settings file: what a new user has."""
        for sub in ("program", "config", "runtime", "home", "work", "tmp"):
            subprocess.run(["rm", "-rf", self.path(sub)], check=True)
            os.makedirs(self.path(sub))
        os.chmod(self.path("runtime"), 0o700)

    def settings_file(self):
        return self.path("config", "ostrel", "OSTREL.INI")

    def settings(self):
        """OSTREL.INI as {key: value} over all sections, and the raw text."""
        try:
            with open(self.settings_file(), "rb") as f:
                raw = f.read().decode("latin-1")
        except FileNotFoundError:
            return {}, ""
        values = {}
        for line in raw.splitlines():
            if "=" in line and not line.startswith("["):
                k, v = line.split("=", 1)
                values[k.strip()] = v.strip()
        return values, raw

    def launch(self, args=(), keep=True):
        """Starts a copy of the program and returns its Popen without waiting for anything."""
        p = self._spawn([self.program] + list(args), env=self.env(), cwd=self.path("work"),
                        stderr=open(self.path("app-stderr.txt"), "ab"))
        if keep:
            self.app = p
        return p

    # --- processes started by the program --------------------------------------------------

    def program_pids(self):
        """PIDs of running copies of the program that use this run's program folder."""
        mine = ("OSTREL_HOME=" + self.path("program")).encode()
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/environ" % entry, "rb") as f:
                    env = f.read().split(b"\0")
                exe = os.readlink("/proc/%s/exe" % entry)
                with open("/proc/%s/stat" % entry, "rb") as f:
                    state = f.read().rsplit(b")", 1)[1].split()[0]
            except OSError:
                continue
            if mine in env and os.path.basename(exe) == "ostrel" and state != b"Z":
                found.append(int(entry))
        return sorted(found)

    def adopt(self, pid):
        """Remembers a copy the program started, so that close() stops it."""
        if pid not in self.others:
            self.others.append(pid)

    # --- windows ---------------------------------------------------------------------------

    def windows_of(self, pid):
        saved = self.app
        try:
            self.app = type("P", (), {"pid": pid})()
            return self.windows()
        finally:
            self.app = saved

    def answer(self, limit, key, title=ostrel_e2e.BOX_TITLES, shot=None):
        """Waits for a message box (a title matching title), presses key and waits until it has
        gone; returns the box's (id, name, width, height) or None. Qt's message boxes do not
        give their text away on this system: shot names a screenshot that shows it."""
        wid = self.wait_box(limit, title)
        if wid is None:
            return None
        box = next((w for w in self.windows() if w[0] == wid), (wid, "", 0, 0))
        if shot:
            self.screenshot(shot)
        self.press(wid, key)
        end = time.monotonic() + 5
        while time.monotonic() < end and any(w[0] == wid for w in self.windows()):
            time.sleep(0.05)
        return box

    def geometry(self, wid):
        geo = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], env=self.env(), capture_output=True,
                             text=True, timeout=5).stdout
        values = dict(line.split("=", 1) for line in geo.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def click_in(self, wid, x, y, button=1, form_width=FORM_WIDTH):
        """Clicks at form coordinates (x, y) of a window, scaled as the view scales them."""
        w = self.geometry(wid)[2]
        scale = w / float(form_width)
        # No window manager runs here: focus is given, not asked for.
        subprocess.run(["xdotool", "windowfocus", wid], env=self.env(), capture_output=True, timeout=5)
        subprocess.run(["xdotool", "mousemove", "--window", wid, str(int(x * scale)), str(int(y * scale)), "click",
                        str(button)], env=self.env(), capture_output=True, timeout=5)

    def click_tab(self, wid, name):
        x, y = TAB_CENTRES[name]
        subprocess.run(["xdotool", "windowfocus", wid], env=self.env(), capture_output=True, timeout=5)
        subprocess.run(["xdotool", "mousemove", "--window", wid, str(x), str(y), "click", "1"], env=self.env(),
                       capture_output=True, timeout=5)
        time.sleep(0.3)

    def click_page(self, wid, x, y, button=1):
        """Clicks at a point of the active page, in the page's form units."""
        scale = self.geometry(wid)[2] / float(FORM_WIDTH)
        px, py = PAGE_ORIGIN
        subprocess.run(["xdotool", "windowfocus", wid], env=self.env(), capture_output=True, timeout=5)
        subprocess.run(["xdotool", "mousemove", "--window", wid, str(int(px + x * scale)), str(int(py + y * scale)),
                        "click", str(button)], env=self.env(), capture_output=True, timeout=5)
        time.sleep(0.2)

    def tray_icon(self, limit=10):
        """The program's window docked in the tray host: (id, name, width, height) or None."""
        return self.wait_window(lambda w: w[2] <= 64 and w[3] <= 64 and w[1] in ("Ostrel", ""), limit)

    def click_tray(self, button, limit=10):
        icon = self.tray_icon(limit)
        if icon is None:
            return False
        subprocess.run(["xdotool", "mousemove", "--window", icon[0], str(icon[2] // 2), str(icon[3] // 2), "click",
                        str(button)], env=self.env(), capture_output=True, timeout=5)
        return True

    def show_main(self, limit=10):
        """Opens the main window with a right click on the tray icon."""
        if not self.click_tray(3, limit):
            return None
        return self.wait_window(is_main, limit)

    def click_button(self, wid, name):
        x, y = BUTTONS[name]
        self.click_in(wid, x, y)

    def type_text(self, text):
        subprocess.run(["xdotool", "type", "--delay", "20", text], env=self.env(), capture_output=True, timeout=30)

    def key(self, key):
        subprocess.run(["xdotool", "key", "--clearmodifiers", key], env=self.env(), capture_output=True, timeout=5)

    def screenshot(self, name, window="root"):
        """Saves a screenshot into $OSTREL_SCREENSHOTS when it is set; returns the path or None."""
        folder = os.environ.get("OSTREL_SCREENSHOTS")
        if not folder:
            return None
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name + ".png")
        subprocess.run(["import", "-window", window, path], env=self.env(), capture_output=True, timeout=20)
        return path

    def pixels(self, x, y, w, h):
        """The colours of a screen rectangle as a list of (r, g, b), read with ImageMagick."""
        r = subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "txt:-"],
                           env=self.env(), capture_output=True, text=True, timeout=20)
        colours = []
        for line in r.stdout.splitlines():
            m = re.search(r"\((\d+(?:\.\d+)?),(\d+(?:\.\d+)?),(\d+(?:\.\d+)?)", line)
            if m and not line.startswith("#"):
                colours.append(tuple(int(float(v)) for v in m.groups()))
        return colours

    def first_start(self, email, smtp, newsletter=True, shots=""):
        """Starts the program from an empty program folder as a new user would: answers the
        empty-field report, closes the tip of the day, answers the newsletter question, fills
        in My Details and presses Ok. Returns what it saw, in order, for the caller to check."""
        seen = []
        self.launch()
        # The log as it stands while the first question waits, before start-up trims it.
        self.wait_box(15, "^Error$")
        self.early_log = self.read("DebugLog.Txt")
        box = self.answer(15, "Return", "^Error$", shot=shots and shots + "-empty-field")
        seen.append(("empty-field", box))
        main = self.wait_window(is_main, 10)
        seen.append(("main", main))
        tips = self.wait_window(lambda w: w[1] == "Ostrel - Tip of the Day", 10)
        seen.append(("tips", tips))
        if tips:
            self.press(tips[0], "Escape")
        box = self.answer(10, "Return" if newsletter else "Escape", "^Ostrel$",
                          shot=shots and shots + "-newsletter")
        seen.append(("newsletter", box))
        if newsletter:
            seen.append(("newsletter-thanks", self.answer(10, "Return", "^(Ostrel|Information)$")))
        seen.append(("trimmed", self.wait_log("Log trimmed", 10)))
        if main:
            self.fill_details(main[0], email, smtp)
        return seen, main

    def fill_details(self, wid, email, smtp):
        """Types the address and the SMTP server into My Details (through the labels' mnemonics),
        chooses no encryption (the test server on loopback has none) and presses Ok."""
        for mnemonic, text in (("alt+d", email), ("alt+s", smtp)):
            self.press(wid, mnemonic)
            time.sleep(0.1)
            self.key("ctrl+a")
            self.type_text(text)
        self.press(wid, "alt+e")
        time.sleep(0.1)
        self.key("Home")
        self.press(wid, "alt+o")

    def wait_for(self, test, limit, step=0.05):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            value = test()
            if value:
                return value
            time.sleep(step)
        return test()


def stop_pid(pid, grace=3.0):
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    end = time.monotonic() + grace
    while time.monotonic() < end:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.05)
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def pid_alive(pid):
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except OSError:
        return False


def log_lines(text):
    """The messages of DebugLog.Txt, without their time stamps."""
    out = []
    for line in text.split("\r\n"):
        if not line:
            continue
        m = re.match(r"^.*?\d\d:\d\d:\d\d\S*: (.*)$", line)
        out.append(m.group(1) if m else line)
    return out


__all__ = ["TRun", "is_main", "is_wizard", "is_box", "stop_pid", "pid_alive", "log_lines", "TAB_NAMES",
           "SETTINGS_KEYS", "BUTTONS"]


class TRunCase(unittest.TestCase):
    """Tests that share one X server, tray host and SMTP server (a TRun) for the whole class; after
    each test its program and any copy that program started are stopped."""
    time_limit = 175

    @classmethod
    def setUpClass(cls):
        cls.t = TRun(time_limit=cls.time_limit)

    @classmethod
    def tearDownClass(cls):
        cls.t.close()

    def tearDown(self):
        if self.t.app is not None and self.t.app.poll() is None:
            self.t.kill()
        for pid in self.t.others:
            stop_pid(pid)
        self.t.others = []

    def running(self, lists=()):
        """A copy started on prepared settings (and the given (file, text) lists), its start-up over."""
        t = self.t
        t.prepare()
        os.makedirs(t.path("tmp"), exist_ok=True)
        for name, text in lists:
            with open(t.path("program", name), "wb") as f:
                f.write(text.encode())
        t.start()
