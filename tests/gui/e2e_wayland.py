"""The desktop program in a Wayland session, end to end: a headless wlroots compositor (sway) that
also offers an X server (Xwayland), a copy made by a Wayland program (wl-copy), and the request
mail that reaches the SMTP server. The program is started with the session's environment as a
desktop would start it (both WAYLAND_DISPLAY and DISPLAY set, no toolkit choice of ours) and must
pick the X server by itself. The session runs on a bus of its own with a panel (swaybar) whose
tray takes icons as StatusNotifierItems, and the program's icon must reach it.

wlroots hands the Wayland clipboard to X programs only while an Xwayland window has the focus
(it assigns Xwayland a seat at the first such focus and refuses reads otherwise). A program that
sits in the tray never has it, so the run keeps an X window (xmessage) focused while it copies,
and then reports, without asserting, what happens once no X window has the focus.

sway refuses to run as root: under root the session, the program and wl-copy run as the
unprivileged user "nobody" (setpriv), the SMTP server stays in this process."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import ostrel_e2e
from ostrel_e2e import need

NOBODY = 65534


class TWaylandSession:
    def __init__(self):
        for program, package in [("sway", "sway"), ("Xwayland", "xwayland"), ("wl-copy", "wl-clipboard"),
                                 ("xdotool", "xdotool"), ("xmessage", "x11-utils"), ("dbus-run-session", "dbus"),
                                 ("swaybar", "sway")]:
            need(program, package)
        self.program = os.path.join(ostrel_e2e.BIN_DIR, "ostrel")
        if not os.access(self.program, os.X_OK):
            raise RuntimeError("the desktop program is not built: %s (set OSTREL_BIN_DIR)" % self.program)
        self.root = tempfile.mkdtemp(prefix="ostrel-wayland-")
        os.chmod(self.root, 0o755)
        self.procs = []
        self.session = {}
        self.smtp = None
        self.sway_log = os.path.join(self.root, "sway.log")

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def as_user(self, argv):
        """Under root, the command as the unprivileged user; otherwise as it is."""
        if os.geteuid() != 0:
            return argv
        return ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups", "--"] + argv

    def own(self):
        if os.geteuid() == 0:
            for folder, dirs, files in os.walk(self.root):
                os.chown(folder, NOBODY, NOBODY)
                for name in files:
                    os.chown(os.path.join(folder, name), NOBODY, NOBODY)

    def spawn(self, argv, env, **kw):
        kw.setdefault("stdout", subprocess.DEVNULL)
        kw.setdefault("stderr", subprocess.DEVNULL)
        p = subprocess.Popen(self.as_user(argv), env=env, **kw)
        self.procs.append(p)
        return p

    def base_env(self):
        return {"PATH": "/usr/bin:/bin", "HOME": self.path("home"), "XDG_RUNTIME_DIR": self.path("runtime"),
                "LANG": "C.UTF-8"}

    def start_compositor(self, limit=20):
        """sway with its headless back end and Xwayland; False when the compositor cannot start here."""
        for sub in ("home", "runtime", "config/ostrel", "program", "work"):
            os.makedirs(self.path(sub), exist_ok=True)
        os.chmod(self.path("runtime"), 0o700)
        envfile = self.path("session.env")
        with open(self.path("sway.conf"), "w") as f:
            # The session's environment, as the compositor gives it to the programs it starts.
            # A panel (swaybar) whose tray takes StatusNotifierItem icons over the session bus.
            f.write("xwayland enable\nbar {\n  mode dock\n}\n"
                    "exec env > %s.part && mv %s.part %s\n" % (envfile, envfile, envfile))
        self.own()
        env = self.base_env()
        env.update({"WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman"})
        self.sway = self.spawn(["dbus-run-session", "--", "sway", "-c", self.path("sway.conf")], env,
                               stderr=open(self.sway_log, "wb"))
        end = time.monotonic() + limit
        while time.monotonic() < end and self.sway.poll() is None:
            if os.path.exists(envfile):
                with open(envfile) as f:
                    for line in f:
                        key, _, value = line.rstrip("\n").partition("=")
                        if key in ("WAYLAND_DISPLAY", "DISPLAY", "DBUS_SESSION_BUS_ADDRESS"):
                            self.session[key] = value
                return "WAYLAND_DISPLAY" in self.session and "DISPLAY" in self.session
            time.sleep(0.05)
        return False

    def program_env(self):
        env = self.base_env()
        env.update(self.session)
        env.update({"XDG_CONFIG_HOME": self.path("config"), "OSTREL_HOME": self.path("program")})
        return env

    def prepare(self):
        if os.geteuid() == 0:
            # The unprivileged user may not reach the build folder (a checkout under /root): it
            # runs a copy of the program, which needs nothing else from there.
            os.makedirs(self.path("bin"), exist_ok=True)
            shutil.copy(self.program, self.path("bin", "ostrel"))
            self.program = self.path("bin", "ostrel")
        self.smtp = ostrel_e2e.TSmtpServer()
        ostrel_e2e.fill_folders(self.path, self.smtp.address(), "Confirm=2\r\n")
        self.own()

    def read(self, name):
        return ostrel_e2e.read_program_file(self.path, name)

    def wl_copy(self, text):
        """A copy by a Wayland program: wl-copy holds the selection in the foreground until another
        copy replaces it."""
        p = self.spawn(["wl-copy", "--foreground", "--", text], self.program_env())
        self.procs = [q for q in self.procs if q is p or q.poll() is None]
        return p

    def x_windows_of(self, pid):
        env = self.program_env()
        r = subprocess.run(self.as_user(["xdotool", "search", "--pid", str(pid), "--name", ".*"]), env=env,
                           capture_output=True, text=True, timeout=10)
        return r.stdout.split()

    def bus_call(self, *args):
        r = subprocess.run(self.as_user(["dbus-send", "--session", "--print-reply"] + list(args)),
                           env=self.program_env(), capture_output=True, text=True, timeout=10)
        return r.stdout

    def tray_items(self):
        """The icons the panel's tray shows: bus names of StatusNotifierItems."""
        out = self.bus_call("--dest=org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                            "org.freedesktop.DBus.Properties.Get", "string:org.kde.StatusNotifierWatcher",
                            "string:RegisteredStatusNotifierItems")
        return re.findall(r'string "([^"/]+)/', out)

    def pid_of_bus_name(self, name):
        out = self.bus_call("--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:" + name)
        found = re.search(r"uint32 (\d+)", out)
        return int(found.group(1)) if found else None

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        if self.smtp:
            self.smtp.stop()
        shutil.rmtree(self.root, ignore_errors=True)


class WaylandTest(unittest.TestCase):
    def setUp(self):
        self.s = TWaylandSession()
        self.addCleanup(self.s.close)
        if not self.s.start_compositor():
            with open(self.s.sway_log, "rb") as f:
                tail = f.read()[-1500:].decode("utf-8", "replace")
            self.skipTest("the headless compositor (sway with Xwayland) could not start here:\n" + tail)

    def wait_log(self, text, limit):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            if text in self.s.read("DebugLog.Txt"):
                return True
            time.sleep(0.05)
        return False

    def test_a_copy_in_a_wayland_program_becomes_a_request_mail(self):
        s = self.s
        s.prepare()
        app = s.spawn([s.program], s.program_env(), cwd=s.path("work"), stderr=open(s.path("app.err"), "wb"))
        self.assertTrue(self.wait_log("Log trimmed", 30), "start-up did not finish: " + s.read("DebugLog.Txt")[-1500:])
        self.assertIsNone(app.poll(), "the program ended")
        # It chose the X server: its windows are there (Qt's client leader at least).
        self.assertTrue(s.x_windows_of(app.pid), "the program has no window on Xwayland")
        # Its icon reaches the panel: swaybar's tray lists an item of the program's own.
        owners = []
        end = time.monotonic() + 10
        while time.monotonic() < end and app.pid not in owners:
            owners = [s.pid_of_bus_name(name) for name in s.tray_items()]
            time.sleep(0.2)
        self.assertIn(app.pid, owners, "the program's icon is not in the panel's tray")

        focus = s.spawn(["xmessage", "-geometry", "200x60", "an X window with the focus"], s.program_env())
        time.sleep(1)

        # The compositor passes Wayland copies on to the X clipboard once the program's event loop
        # runs: copy texts that are no requests until one is noticed.
        noticed = False
        end = time.monotonic() + 20
        n = 0
        while not noticed and time.monotonic() < end:
            n += 1
            before = s.read("DebugLog.Txt").count("CB change detected")
            s.wl_copy("not a request %d" % n)
            limit = time.monotonic() + 1
            while time.monotonic() < limit:
                if s.read("DebugLog.Txt").count("CB change detected") > before:
                    noticed = True
                    break
                time.sleep(0.05)
        self.assertTrue(noticed, "no Wayland copy reached the program")

        url = "http://example.com/from-wayland.html"
        s.wl_copy(url)
        self.assertTrue(s.smtp.wait_mails(1, 20), "no request mail: " + s.read("DebugLog.Txt")[-1500:])
        mail = s.smtp.mails[0]
        self.assertEqual(mail.rcpt_tos, ["www4mail@example.org"])
        self.assertIn("send " + url, mail.body())

        # The limit of the route through Xwayland, told as it is found.
        focus.terminate()
        focus.wait(5)
        time.sleep(0.5)
        s.wl_copy("http://example.com/no-x-focus.html")
        arrived = s.smtp.wait_mails(2, 8)
        print("\nwith no Xwayland window focused, a Wayland copy %s the program"
              % ("still reached" if arrived else "did not reach"))


if __name__ == "__main__":
    ostrel_e2e.run_tests([WaylandTest])
