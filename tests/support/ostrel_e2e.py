"""Runs the real desktop program under Xvfb for end-to-end tests and benchmarks.

One TE2E object owns everything it starts: an X server on a free display, a tray host, an SMTP
server on loopback (aiosmtpd, in this process, keeping every mail), the program itself with a
temp program folder and settings folder, and the xclip processes that hold the clipboard.
close() stops every process by its PID; a hard time limit stops a run that hangs.

Run with /usr/bin/python3: Debian's aiosmtpd is not seen by other interpreters.
"""

import os
import random
import shutil
import signal
import ssl
import subprocess
import tempfile
import threading
import time
import warnings

# aiosmtpd warns of its own attribute when an authenticator is set; nothing of ours uses it.
warnings.filterwarnings("ignore", message="Session.login_data")

try:
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult, LoginPassword
except ImportError as e:  # pragma: no cover - the message is the point
    raise SystemExit("aiosmtpd is missing: install the Debian package python3-aiosmtpd "
                     "and run with /usr/bin/python3 (%s)" % e)

BIN_DIR = os.environ.get("OSTREL_BIN_DIR", "")
# The example server directory the tests compose against, in place of the delivered one.
EXAMPLE_SERVERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "servers")
DATA_FILES = ["uservers.da2", "nbinary.ext", "unbinary.txt", "Suggest.Ini", "getweb_page.tpl",
              "agora_uu.tpl", "agora_mime.tpl", "ftpweb_uu.tpl", "ftpweb_mime.tpl", "HotList.Dat",
              "DistInfo.Dat", "Test Message.Txt", "Friend.Txt", "tips.dat"]


def is_note(w):
    """The progress window and its notes: a low strip about 200 pixels wide, unlike any other
    window of the program (the tray icon is 22 x 22, message boxes are taller)."""
    return 150 <= w[2] <= 300 and w[3] < 60


def is_box(w):
    return not is_note(w) and 60 <= w[3] and w[2] < 700
# Titles of the program's message boxes and message dialogs.
BOX_TITLES = "^(Ostrel|Warning|Error|Information|Confirm)$"


def need(program, package):
    path = shutil.which(program)
    if not path:
        raise RuntimeError("%s not found: install the Debian package %s" % (program, package))
    return path


def free_loopback_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fill_folders(path, smtp_address, settings="", servers=""):
    """Gives the (empty) folders under path() what a user who has set Ostrel up has: the program
    folder with the data files (the example server directory) and OSTREL.INI filled in."""
    for name in DATA_FILES:
        src = os.path.join(EXAMPLE_SERVERS, name)
        if not os.path.exists(src):
            src = os.path.join(BIN_DIR, name)
        if os.path.exists(src):
            shutil.copy(src, path("program", name))
    # The suggestions were offered before, and the test message went out long ago: only
    # requests reach the server, and no question comes up at start.
    with open(path("program", "Suggest.Ini"), "ab") as f:
        f.write(b"\r\nUsed=1\r\n")
    for folder in ("work", "config/ostrel"):  # the working folder, or beside the settings
        with open(path(folder, "Test Message.Flg"), "wb") as f:
            f.write(b" ")
    ini = ("[General]\r\nEmail=reader@example.net\r\nNewsLetterRequest=1\r\nTipEnabled=0\r\n" + settings +
           "[Servers]\r\nSMTP=%s\r\n%sFTP=ftpmail@example.org\r\nHTTPBinary=agora@example.org\r\n"
           "HTTPPages=www4mail@example.org\r\n" % (smtp_address, servers))
    with open(path("config", "ostrel", "OSTREL.INI"), "wb") as f:
        f.write(ini.encode())


def read_program_file(path, name):
    try:
        with open(path("program", name), "rb") as f:
            return f.read().decode("latin-1")
    except FileNotFoundError:
        return ""


class TMail:
    def __init__(self, mail_from, rcpt_tos, content, at):
        self.mail_from = mail_from
        self.rcpt_tos = rcpt_tos
        self.content = content  # bytes as received
        self.at = at  # time.monotonic() when the server accepted it

    def header(self, name):
        for line in self.content.split(b"\r\n"):
            if not line:
                break
            if line.lower().startswith(name.lower().encode() + b":"):
                return line.split(b":", 1)[1].strip().decode("latin-1")
        return None

    def body(self):
        return self.content.split(b"\r\n\r\n", 1)[1].decode("latin-1")


def make_certificates(folder):
    """A test CA and a server certificate for 127.0.0.1 made by openssl: (ca, cert, key)."""
    need("openssl", "openssl")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run = lambda *argv: subprocess.run(list(argv), cwd=folder, check=True, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
    run("openssl", "req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "30", "-subj",
        "/CN=Ostrel e2e CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign")
    run("openssl", "req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    run("openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-out", "server.pem", "-days", "30", "-extfile", "server.ext")
    return [os.path.join(folder, n) for n in ("ca.pem", "server.pem", "server.key")]


class TSmtpServer:
    """aiosmtpd on a free loopback port; refuse_rcpt makes it reject every recipient. With secure
    (a dict of cert, key, user, password) it demands STARTTLS and a log-in, recorded in logins."""

    def __init__(self, secure=None):
        self.logins = []
        self.mails = []
        self.quits = []
        self.refuse_rcpt = False
        self.cond = threading.Condition()
        server = self

        class Handler:
            async def handle_RCPT(self, smtp, session, envelope, address, rcpt_options):
                if server.refuse_rcpt:
                    return "550 5.1.1 <%s>: Recipient address rejected" % address
                envelope.rcpt_tos.append(address)
                return "250 OK"

            async def handle_DATA(self, smtp, session, envelope):
                content = envelope.original_content
                if content is None:
                    content = envelope.content
                with server.cond:
                    server.mails.append(TMail(envelope.mail_from, list(envelope.rcpt_tos), content,
                                              time.monotonic()))
                    server.cond.notify_all()
                return "250 OK kept"

            async def handle_QUIT(self, smtp, session, envelope):
                with server.cond:
                    server.quits.append(time.monotonic())
                    server.cond.notify_all()
                return "221 Bye"

        def authenticate(smtp, session, envelope, mechanism, data):
            ok = (isinstance(data, LoginPassword) and data.login == secure["user"].encode()
                  and data.password == secure["password"].encode())
            with server.cond:
                server.logins.append("%s %s" % (mechanism, "ok" if ok else "refused"))
            return AuthResult(success=ok, handled=False)

        options = dict(hostname="127.0.0.1", data_size_limit=0)
        if secure:
            context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            context.load_cert_chain(secure["cert"], secure["key"])
            options.update(tls_context=context, require_starttls=True, authenticator=authenticate,
                           auth_required=True, auth_require_tls=True)
        self.port = free_loopback_port()
        self.controller = Controller(Handler(), port=self.port, **options)
        self.controller.start()

    def address(self):
        return "127.0.0.1:%d" % self.port

    def wait_mails(self, count, limit):
        end = time.monotonic() + limit
        with self.cond:
            while len(self.mails) < count:
                left = end - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(left)
        return True

    def wait_quits(self, count, limit):
        end = time.monotonic() + limit
        with self.cond:
            while len(self.quits) < count:
                left = end - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(left)
        return True

    def stop(self):
        self.controller.stop()


class TE2E:
    def __init__(self, time_limit=420, secure=False):
        for program, package in [("Xvfb", "xvfb"), ("trayer", "trayer"), ("xclip", "xclip"),
                                 ("xdotool", "xdotool")]:
            need(program, package)
        self.program = os.path.join(BIN_DIR, "ostrel")
        if not os.access(self.program, os.X_OK):
            raise RuntimeError("the desktop program is not built: %s (set OSTREL_BIN_DIR)" % self.program)
        self.root = tempfile.mkdtemp(prefix="ostrel-e2e-")
        self.procs = []  # every child we started, stopped by PID at close()
        self.app = None
        self.xvfb = None
        self.smtp = None
        self.display = None
        self.ca = None
        self.password = None
        self._old_alarm = signal.signal(signal.SIGALRM, self._time_up)
        signal.alarm(time_limit)
        try:
            self._start_x()
            options = None
            if secure:
                os.makedirs(self.path("tls"))
                self.ca, cert, key = make_certificates(self.path("tls"))
                self.password = "e2e pass"
                options = dict(cert=cert, key=key, user="reader@example.net", password=self.password)
            self.smtp = TSmtpServer(options)
        except BaseException:
            self.close()
            raise

    # --- lifetime -------------------------------------------------------------------------

    def _time_up(self, signum, frame):
        self.close()
        raise TimeoutError("end-to-end run took longer than its hard time limit")

    def _start_x(self):
        numbers = list(range(160, 200))
        random.shuffle(numbers)
        for n in numbers:
            if os.path.exists("/tmp/.X11-unix/X%d" % n) or os.path.exists("/tmp/.X%d-lock" % n):
                continue
            xvfb = self._spawn(["Xvfb", ":%d" % n, "-screen", "0", "1280x800x24", "-nolisten", "tcp",
                                "-noreset"])
            end = time.monotonic() + 10
            while time.monotonic() < end and xvfb.poll() is None:
                if os.path.exists("/tmp/.X11-unix/X%d" % n):
                    self.display = ":%d" % n
                    self.xvfb = xvfb
                    break
                time.sleep(0.05)
            if self.display:
                break
            self._stop(xvfb)  # lost the race for that number: try another
        if not self.display:
            raise RuntimeError("no free X display found for Xvfb")
        self._spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                     "--height", "24"], env=self.env())
        time.sleep(0.3)

    def _spawn(self, argv, **kw):
        kw.setdefault("stdout", subprocess.DEVNULL)
        kw.setdefault("stderr", subprocess.DEVNULL)
        p = subprocess.Popen(argv, **kw)
        self.procs.append(p)
        return p

    @staticmethod
    def _stop(p, grace=3.0):
        if p.poll() is None:
            try:
                p.send_signal(signal.SIGTERM)
                p.wait(grace)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
            except ProcessLookupError:
                pass

    def close(self):
        signal.alarm(0)
        # The program first, the X server last.
        for p in reversed(self.procs):
            try:
                self._stop(p)
            except Exception:
                pass
        self.procs = []
        if self.smtp:
            try:
                self.smtp.stop()
            except Exception:
                pass
            self.smtp = None
        shutil.rmtree(self.root, ignore_errors=True)
        if self._old_alarm is not None:
            signal.signal(signal.SIGALRM, self._old_alarm)
            self._old_alarm = None

    # --- the program ----------------------------------------------------------------------

    def env(self):
        env = {"PATH": "/usr/bin:/bin", "DISPLAY": self.display, "HOME": self.path("home"),
               "XDG_CONFIG_HOME": self.path("config"), "XDG_RUNTIME_DIR": self.path("runtime"),
               "OSTREL_HOME": self.path("program"), "QT_QPA_PLATFORM": "xcb", "LANG": "C.UTF-8"}
        if self.ca:
            # The test CA is the one trusted; the password comes as a script would give it.
            env["SSL_CERT_FILE"] = self.ca
            env["OSTREL_SMTP_PASSWORD"] = self.password
        return env

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def prepare(self, settings=""):
        """A fresh program folder with the delivered data, and a filled-in OSTREL.INI."""
        for sub in ("program", "config/ostrel", "runtime", "home", "work"):
            shutil.rmtree(self.path(sub), ignore_errors=True)
            os.makedirs(self.path(sub))
        os.chmod(self.path("runtime"), 0o700)
        secure = "SMTPSecurity=STARTTLS\r\nSMTPUser=reader@example.net\r\n" if self.ca else ""
        fill_folders(self.path, self.smtp.address(), settings, secure)

    def start(self, limit=20):
        """Starts the program and waits until its start-up is over, answering any question."""
        log = self.path("program", "DebugLog.Txt")
        seen = len(self.read("DebugLog.Txt"))  # a restart finds the log of the run before
        self.app = self._spawn([self.program], env=self.env(), cwd=self.path("work"),
                               stderr=open(self.path("app-stderr.txt"), "ab"))
        end = time.monotonic() + limit
        while time.monotonic() < end:
            if self.app.poll() is not None:
                raise RuntimeError("the program ended at start (status %s)" % self.app.returncode)
            if "Log trimmed" in self.read("DebugLog.Txt")[seen:]:
                self._wait_clipboard_watch(end)
                return
            for box in self.boxes():
                self.press(box, "Return")
            time.sleep(0.05)
        raise RuntimeError("the program did not finish its start-up: " + self.read("DebugLog.Txt")[-2000:]
                           if os.path.exists(log) else "no debug log")

    def _wait_clipboard_watch(self, end):
        # The window system tells the program of clipboard changes only once its event loop
        # runs: copy a text that is no request until the program has noticed one.
        n = 0
        while time.monotonic() < end:
            before = self.read("DebugLog.Txt").count("CB change detected")
            n += 1
            self.copy("not a request %d" % n)
            limit = time.monotonic() + 0.5
            while time.monotonic() < limit:
                if self.read("DebugLog.Txt").count("CB change detected") > before:
                    return
                time.sleep(0.02)
        raise RuntimeError("the program does not notice clipboard changes")

    def unload(self, limit=20):
        """Opens the main window through a second copy and clicks "&Unload", as a user would."""
        # A main window brought up while a note holds the input may stay deaf to the mouse after
        # the note has gone: open it only once notes are over.
        self.wait_gone(is_note, 5)
        end = time.monotonic() + limit
        while self.app.poll() is None and time.monotonic() < end:
            win = self.wait_window(lambda w: w[1] == "Ostrel" and w[2] >= 700, 0.2)
            if win is None:
                # Not (or no longer) on screen: ask the running copy to show it.
                self._spawn([self.program], env=self.env(), cwd=self.path("work")).wait(10)
                win = self.wait_window(lambda w: w[1] == "Ostrel" and w[2] >= 700, 5)
                if win is None:
                    continue
                time.sleep(0.5)  # let the window settle before the pointer arrives
            # The button sits at the left end of the button row along the bottom; the view
            # scales the window's 680 x 278 layout to the size it shows.
            x, y = int(40 * win[2] / 680), int(260 * win[3] / 278)
            subprocess.run(["xdotool", "mousemove", "--window", win[0], str(x), str(y), "sleep", "0.1", "click", "1"],
                           env=self.env(), capture_output=True, timeout=5)
            try:
                self.app.wait(1)
            except subprocess.TimeoutExpired:
                pass
        return self.app.wait(1)

    def end_by_installer_flag(self, limit=15):
        """Ends the program the way an installer does: the flag file, seen by the six-second
        timer, runs the normal shutdown."""
        with open(self.path("program", "Installer.Flg"), "wb") as f:
            f.write(b" ")
        return self.app.wait(limit)

    def kill(self):
        self.app.send_signal(signal.SIGKILL)
        self.app.wait(10)

    def read(self, name):
        return read_program_file(self.path, name)

    # --- the clipboard and the windows ------------------------------------------------------

    def copy(self, text):
        """Puts text on the clipboard with xclip, another program; returns the time of the call."""
        at = time.monotonic()
        p = self._spawn(["xclip", "-quiet", "-selection", "clipboard", "-i"], env=self.env(),
                        stdin=subprocess.PIPE)
        p.stdin.write(text.encode("latin-1"))
        p.stdin.close()
        # A holder that lost the selection has ended: forget it.
        self.procs = [q for q in self.procs if q is p or q.poll() is None]
        return at

    def clipboard(self):
        r = subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=self.env(),
                           capture_output=True, timeout=5)
        return r.stdout.decode("latin-1")

    def windows(self):
        """Visible top-level windows of the program: (id, name, width, height)."""
        r = subprocess.run(["xdotool", "search", "--all", "--onlyvisible", "--pid", str(self.app.pid), "--name", ".*"],
                           env=self.env(), capture_output=True, text=True, timeout=5)
        found = []
        for wid in r.stdout.split():
            name = subprocess.run(["xdotool", "getwindowname", wid], env=self.env(), capture_output=True,
                                  text=True, timeout=5).stdout.rstrip("\n")
            geo = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], env=self.env(),
                                 capture_output=True, text=True, timeout=5).stdout
            values = dict(line.split("=", 1) for line in geo.split() if "=" in line)
            w, h = int(values.get("WIDTH", 0)), int(values.get("HEIGHT", 0))
            if w <= 1 or h <= 1:
                continue
            found.append((wid, name, w, h))
        return found

    def notes(self):
        return [w for w in self.windows() if is_note(w)]

    def boxes(self, title=BOX_TITLES):
        import re
        return [w[0] for w in self.windows() if re.match(title, w[1]) and is_box(w)]

    def wait_window(self, test, limit):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            for w in self.windows():
                if test(w):
                    return w
            time.sleep(0.05)
        return None

    def wait_box(self, limit, title=BOX_TITLES):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            boxes = self.boxes(title)
            if boxes:
                return boxes[0]
            time.sleep(0.05)
        return None

    def press(self, wid, key):
        subprocess.run(["xdotool", "windowfocus", wid], env=self.env(), capture_output=True, timeout=5)
        time.sleep(0.1)
        subprocess.run(["xdotool", "key", "--clearmodifiers", key], env=self.env(), capture_output=True,
                       timeout=5)

    def wait_log(self, text, limit):
        """Waits until the debug log holds text; returns the first line that does, or None."""
        end = time.monotonic() + limit
        while True:
            for line in self.read("DebugLog.Txt").split("\r\n"):
                if text in line:
                    return line
            if time.monotonic() >= end:
                return None
            time.sleep(0.05)

    def wait_gone(self, test, limit):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            if not any(test(w) for w in self.windows()):
                return True
            time.sleep(0.05)
        return False


def run_tests(test_case_classes):
    """Runs unittest cases and prints the closing summary line; the exit status tells."""
    import sys
    import unittest
    suite = unittest.TestSuite()
    loader = unittest.TestLoader()
    for cls in test_case_classes:
        suite.addTests(loader.loadTestsFromTestCase(cls))
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    passed = result.testsRun - failed - len(result.skipped)
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(0 if failed == 0 else 1)
