"""The desktop program in a Wayland session, end to end: a headless wlroots compositor (sway) that
also offers an X server (Xwayland), copies made by a Wayland program (wl-copy), and the request
mails that reach the SMTP server. The program is started with the session's environment as a
desktop would start it (both WAYLAND_DISPLAY and DISPLAY set, no toolkit choice of ours) and must
pick the X server by itself. The session runs on a bus of its own with a panel (swaybar) whose
tray takes icons as StatusNotifierItems, and the program's icon must reach it.

wlroots hands the Wayland clipboard to X programs only while an Xwayland window has the focus, and
a program that sits in the tray never has it; the program follows the compositor's data-control
interface instead. So a copy must arrive with no window at all, with a Wayland window (foot) focused
and with an X window (xmessage) focused, and each window must really hold the focus (asked of sway)
when the copy is made.

sway refuses to run as root: under root the session, the program and wl-copy run as the
unprivileged user "nobody" (setpriv), the SMTP server stays in this process."""

import json
import os
import queue
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import ostrel_e2e
from ostrel_e2e import need

NOBODY = 65534


class TWaylandSession:
    def __init__(self):
        for program, package in [("sway", "sway"), ("Xwayland", "xwayland"), ("wl-copy", "wl-clipboard"),
                                 ("xdotool", "xdotool"), ("xmessage", "x11-utils"), ("dbus-run-session", "dbus"),
                                 ("swaybar", "sway"), ("swaymsg", "sway"), ("foot", "foot")]:
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
        # A group of its own: dbus-run-session leaves the compositor running when it alone is
        # ended, so the whole group is ended at the close.
        kw.setdefault("start_new_session", True)
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
                        if key in ("WAYLAND_DISPLAY", "DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "SWAYSOCK"):
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

    def focused_window(self):
        """The window that holds the keyboard focus, as sway tells it: (app_id or X class, shell),
        or None when no window has it."""
        r = subprocess.run(self.as_user(["swaymsg", "-r", "-t", "get_tree"]), env=self.program_env(),
                           capture_output=True, text=True, timeout=10)
        if r.returncode != 0:
            return None
        nodes = [json.loads(r.stdout)]
        while nodes:
            node = nodes.pop()
            if node.get("focused") and node.get("type") == "con":
                props = node.get("window_properties") or {}
                return (node.get("app_id") or props.get("class"), node.get("shell"))
            nodes += node.get("nodes", []) + node.get("floating_nodes", [])
        return None

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

    @staticmethod
    def signal_group(p, number):
        try:
            os.killpg(p.pid, number)
        except ProcessLookupError:
            pass

    def pid_of_bus_name(self, name):
        out = self.bus_call("--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:" + name)
        found = re.search(r"uint32 (\d+)", out)
        return int(found.group(1)) if found else None

    def close(self):
        for p in reversed(self.procs):
            self.signal_group(p, signal.SIGTERM)
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                pass
            self.signal_group(p, signal.SIGKILL)
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

        # The program follows the Wayland clipboard itself.
        self.assertTrue(self.wait_log("Following the Wayland clipboard", 10),
                        "the program does not follow the Wayland clipboard: " + s.read("DebugLog.Txt")[-1500:])

        # No window at all: Xwayland never had the focus, so only the Wayland route can see it.
        self.assertIsNone(s.focused_window())
        self.copy_and_expect_request(1, "http://example.com/no-window.html")

        # A Wayland window holds the focus.
        # foot runs a command rather than the unprivileged user's shell, which is nologin.
        s.spawn(["foot", "sleep", "600"], s.program_env(), stderr=open(s.path("foot.err"), "wb"))
        self.wait_focus(("foot", "xdg_shell"), "foot.err")
        self.copy_and_expect_request(2, "http://example.com/wayland-focus.html")

        # An X window holds the focus.
        s.spawn(["xmessage", "-geometry", "200x60", "an X window with the focus"],
                s.program_env())
        self.wait_focus(("Xmessage", "xwayland"))
        self.copy_and_expect_request(3, "http://example.com/x-focus.html")

        # A copy that is no request is noticed and sends nothing.
        before = s.read("DebugLog.Txt").count("CB change detected")
        s.wl_copy("not a request")
        end = time.monotonic() + 10
        while time.monotonic() < end and s.read("DebugLog.Txt").count("CB change detected") == before:
            time.sleep(0.05)
        self.assertGreater(s.read("DebugLog.Txt").count("CB change detected"), before)
        self.assertIsNone(app.poll(), "the program ended")
        self.assertEqual(len(s.smtp.mails), 3, [m.body() for m in s.smtp.mails])

    def test_the_selection_set_by_the_program_reaches_wayland_programs(self):
        s = self.s
        probe_path = os.path.join(os.path.dirname(ostrel_e2e.BIN_DIR.rstrip("/")), "tests", "wayland_clipboard_probe")
        if not os.access(probe_path, os.X_OK):
            self.fail("the Wayland clipboard helper is not built: %s (libwayland-dev, libwayland-bin)" % probe_path)
        if os.geteuid() == 0:
            os.makedirs(s.path("bin"), exist_ok=True)
            shutil.copy(probe_path, s.path("bin", "probe"))
            probe_path = s.path("bin", "probe")
        s.own()
        probe = s.spawn([probe_path], dict(s.program_env(), QT_QPA_PLATFORM="xcb"), cwd=s.path("work"),
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(line.rstrip("\n")) for line in probe.stdout], daemon=True).start()

        def next_line(limit=10):
            try:
                return lines.get(timeout=limit)
            except queue.Empty:
                return None

        def say(command):
            probe.stdin.write(command + "\n")
            probe.stdin.flush()

        def paste():
            r = subprocess.run(s.as_user(["wl-paste", "--no-newline"]), env=s.program_env(), capture_output=True,
                               timeout=10)
            return r.stdout.decode("utf-8") if r.returncode == 0 else None

        self.assertEqual(next_line(), "active")
        text = "http://example.com/\u00e9t\u00e9 " + "x" * 200000
        say("set " + text)
        self.assertEqual(paste(), text)
        say("set")
        end = time.monotonic() + 10
        while time.monotonic() < end and paste():
            time.sleep(0.05)
        self.assertFalse(paste(), "the program did not clear the selection")
        say("get")
        # Its own changes are not reported back: the first line after them answers the question.
        self.assertEqual(next_line(), "text ")
        s.wl_copy("from a Wayland program")
        self.assertEqual(next_line(), "change from a Wayland program")
        say("get")
        self.assertEqual(next_line(), "text from a Wayland program")

    def wait_focus(self, window, errors=None):
        end = time.monotonic() + 20
        while time.monotonic() < end and self.s.focused_window() != window:
            time.sleep(0.1)
        told = ""
        if errors:
            with open(self.s.path(errors), "rb") as f:
                told = f.read()[-1500:].decode("utf-8", "replace")
        self.assertEqual(self.s.focused_window(), window, "the window did not get the focus: " + told)

    def copy_and_expect_request(self, n, url):
        s = self.s
        s.wl_copy(url)
        self.assertTrue(s.smtp.wait_mails(n, 20),
                        "no request mail for %s (focus: %s): %s" % (url, s.focused_window(),
                                                                   s.read("DebugLog.Txt")[-1500:]))
        mail = s.smtp.mails[n - 1]
        self.assertEqual(mail.rcpt_tos, ["www4mail@example.org"])
        self.assertIn("send " + url, mail.body())


if __name__ == "__main__":
    ostrel_e2e.run_tests([WaylandTest])
