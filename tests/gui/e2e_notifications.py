"""Desktop notices, end to end: the real program under Xvfb with a tray host, a session bus of the
test's own and a real notification service on it (dunst). A copied URL whose mail the server
refuses is announced through the service, and the failure dialog still comes up as before.
Without a service on the bus the program stays up and shows its dialog."""

import json
import os
import subprocess
import time
import unittest

import ostrel_e2e
from ostrel_e2e import need

URL = "http://example.com/refused.html"


class TNoticeRun(ostrel_e2e.TE2E):
    """A TE2E whose programs share a private session bus."""

    def __init__(self):
        need("dbus-daemon", "dbus")
        need("dunst", "dunst")
        self.bus = None
        super().__init__(time_limit=240)
        try:
            self.bus_proc = self._spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                        stdout=subprocess.PIPE, env={"PATH": "/usr/bin:/bin"})
            self.bus = self.bus_proc.stdout.readline().decode().strip()
            if not self.bus:
                raise RuntimeError("the session bus did not start")
        except BaseException:
            self.close()
            raise

    def env(self):
        env = super().env()
        if self.bus:
            env["DBUS_SESSION_BUS_ADDRESS"] = self.bus
        return env

    def start_dunst(self):
        os.makedirs(self.path("home"), exist_ok=True)
        # dunst keeps the notices it showed; a short timeout keeps them coming and going.
        self.dunst = self._spawn(["dunst", "-config", "/dev/null"], env=self.env())
        end = time.monotonic() + 10
        while time.monotonic() < end:
            if self.dunstctl("is-paused").returncode == 0:
                return
            time.sleep(0.1)
        raise RuntimeError("dunst did not come up on the test's session bus")

    def dunstctl(self, *args):
        return subprocess.run(["dunstctl"] + list(args), env=self.env(), capture_output=True, text=True, timeout=10)

    def notices(self):
        """Every notice dunst has shown or shows now: (summary, body)."""
        found = []
        history = self.dunstctl("history")
        if history.returncode == 0 and history.stdout.strip():
            for n in json.loads(history.stdout)["data"][0]:
                found.append((n["summary"]["data"], n["body"]["data"]))
        return found

    def shown_notices(self):
        self.dunstctl("close-all")  # what is on screen goes into the history
        return self.notices()


class NotificationTest(unittest.TestCase):
    def setUp(self):
        self.t = TNoticeRun()
        self.addCleanup(self.t.close)

    def fail_one_request(self):
        t = self.t
        t.prepare()
        t.start()
        t.smtp.refuse_rcpt = True
        t.copy(URL)
        box = t.wait_box(15, "^Warning$")
        self.assertIsNotNone(box, "no failure report came up")
        return box

    def test_a_failed_request_is_announced_by_the_notification_service(self):
        t = self.t
        t.start_dunst()
        box = self.fail_one_request()
        end = time.monotonic() + 10
        notices = []
        while time.monotonic() < end and not notices:
            notices = [n for n in t.shown_notices() if n[0] == "Ostrel: request failed"]
            time.sleep(0.2)
        self.assertEqual(len(notices), 1, t.notices())
        self.assertIn(URL, notices[0][1])
        self.assertIn("SMTP server", notices[0][1])
        t.press(box, "Return")
        self.assertTrue(t.wait_gone(lambda w: w[1] == "Warning", 5))
        self.assertEqual(t.read("Queue.Dat"), URL + "\r\n")

    def test_without_a_notification_service_the_dialog_still_tells(self):
        t = self.t
        box = self.fail_one_request()
        self.assertIsNone(t.app.poll(), "the program ended")
        t.press(box, "Return")
        self.assertTrue(t.wait_gone(lambda w: w[1] == "Warning", 5))
        self.assertIsNone(t.app.poll(), "the program ended")


if __name__ == "__main__":
    ostrel_e2e.run_tests([NotificationTest])
