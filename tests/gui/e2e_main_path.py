"""The main path, end to end: the real program under Xvfb with a tray host, a URL copied by
another program (xclip), the request mail at a real SMTP server on loopback, the lists on disk.
Message boxes are read and answered with xdotool as a user would."""

import time
import unittest

import ostrel_e2e
from ostrel_e2e import is_note

URL = "http://example.com/index.html"


class MainPathTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.t = ostrel_e2e.TE2E(time_limit=480)

    @classmethod
    def tearDownClass(cls):
        cls.t.close()

    def setUp(self):
        self.t.smtp.mails.clear()
        self.t.smtp.quits.clear()
        self.t.smtp.refuse_rcpt = False

    def tearDown(self):
        if self.t.app is not None and self.t.app.poll() is None:
            self.t.kill()

    def run_program(self, settings=""):
        self.t.prepare(settings)
        self.t.start()

    def no_mail_for(self, seconds, count=0):
        time.sleep(seconds)
        self.assertEqual(len(self.t.smtp.mails), count, [m.body() for m in self.t.smtp.mails])

    def wait_file(self, name, content, limit=5):
        end = time.monotonic() + limit
        while time.monotonic() < end and self.t.read(name) != content:
            time.sleep(0.05)
        self.assertEqual(self.t.read(name), content)

    def refuse_and_answer(self, url):
        """Copies url while the server refuses it; returns the text of the failure report."""
        self.t.copy(url)
        box = self.t.wait_box(10, "^Warning$")
        self.assertIsNotNone(box, "no failure report came up")
        # What the report says is logged with it.
        text = self.t.wait_log("Error in Request Failed.", 3)
        self.t.press(box, "Return")
        return text or ""

    def test_copied_url_is_sent_and_enters_the_history(self):
        self.run_program("CheckHistory=1\r\n")
        at = self.t.copy(URL)
        self.assertTrue(self.t.smtp.wait_mails(1, 5), "no mail arrived")
        mail = self.t.smtp.mails[0]
        print("copy to mail accepted: %.0f ms" % ((mail.at - at) * 1000))
        self.assertEqual(mail.rcpt_tos, ["www4mail@example.org"])
        self.assertEqual(mail.mail_from, "reader@example.net")
        self.assertEqual(mail.header("Subject"), "www")
        self.assertEqual(mail.body(), "send " + URL + "\r\n")

        # The normal shutdown writes the lists once more; the entry must survive it as it is.
        self.assertEqual(self.t.end_by_installer_flag(), 0)
        history = self.t.read("History.Dat")
        self.assertTrue(history.startswith(URL + " via www4mail@example.org on "), history)
        self.assertEqual(history.count("\r\n"), 1, history)

    def test_repeat_with_duplicate_check_ticked_is_refused_as_duplicate(self):
        self.run_program("CheckHistory=1\r\n")
        self.t.copy(URL)
        self.assertTrue(self.t.smtp.wait_mails(1, 5), "no mail arrived")
        # Again at once: the duplicate note comes up and nothing is sent.
        self.t.copy(URL)
        self.assertIsNotNone(self.t.wait_window(is_note, 3), "no duplicate note")
        self.no_mail_for(2.5, 1)
        self.assertNotIn("Fast Duplicate Discarded", self.t.read("DebugLog.Txt"))

    def test_repeat_with_duplicate_check_clear_is_dropped_as_fast_duplicate(self):
        self.run_program("CheckHistory=0\r\n")
        self.t.copy(URL)
        self.assertTrue(self.t.smtp.wait_mails(1, 5))
        self.t.copy(URL)
        # The duplicate note (two seconds) comes first, then the send that finds the repeat.
        self.assertIsNotNone(self.t.wait_log("Fast Duplicate Discarded", 5))
        self.no_mail_for(0.5, 1)

    def test_refused_recipient_queues_the_request_and_the_next_success_sends_the_queue(self):
        self.run_program()
        self.t.smtp.refuse_rcpt = True
        text = self.refuse_and_answer(URL)
        self.assertIn("Request Failed", text)
        self.assertRegex(text, r"The last successful operation was <\w+>")
        # The report and the "Request Queued" note go; no progress window stays behind.
        self.assertTrue(self.t.wait_gone(lambda w: is_note(w) or w[1] == "Warning", 6))
        self.assertEqual(self.t.read("Queue.Dat"), URL + "\r\n")
        self.assertEqual(self.t.smtp.mails, [])

        self.t.smtp.refuse_rcpt = False
        other = "http://example.com/other.html"
        self.t.copy(other)
        self.assertTrue(self.t.smtp.wait_mails(2, 10), "the queue was not sent")
        self.assertEqual([m.body() for m in self.t.smtp.mails], ["send %s\r\n" % other, "send %s\r\n" % URL])
        self.wait_file("Queue.Dat", "")
        history = self.t.read("History.Dat").split("\r\n")
        self.assertTrue(history[0].startswith(URL + " via "), history)
        self.assertTrue(history[1].startswith(other + " via "), history)

    def test_refusal_report_names_the_step_that_last_succeeded(self):
        # The recipient is refused after "Sending"; the closing of the connection that follows
        # the refusal is no success of the request and is not what the report names.
        self.run_program()
        self.t.smtp.refuse_rcpt = True
        self.assertIn("The last successful operation was <Sending>", self.refuse_and_answer(URL))

    def test_sigkill_right_after_queueing_or_sending_loses_nothing(self):
        self.run_program()
        queued = "http://example.com/queued.html"
        self.t.smtp.refuse_rcpt = True
        self.t.copy(queued)
        box = self.t.wait_box(10, "^Warning$")
        self.assertIsNotNone(box)
        self.t.press(box, "Return")
        # The "Request Queued" note shows once the queue has changed: kill right then.
        self.assertIsNotNone(self.t.wait_window(is_note, 5))
        self.t.kill()
        self.assertEqual(self.t.read("Queue.Dat"), queued + "\r\n")

        self.t.start()
        self.t.smtp.refuse_rcpt = False
        sent = "http://example.com/sent.html"
        quits = len(self.t.smtp.quits)
        self.t.copy(sent)
        # The server has the mail and its QUIT: kill before anything else can happen.
        self.assertTrue(self.t.smtp.wait_quits(quits + 1, 10))
        self.t.kill()
        history = self.t.read("History.Dat")
        queue = self.t.read("Queue.Dat")
        self.assertTrue(history.startswith(sent + " via www4mail@example.org on "), history)
        self.assertTrue(history.endswith("\r\n") and queue in ("", queued + "\r\n"), (history, queue))
        # The queued request is either still queued or in the history: never lost.
        self.assertEqual((queued + " via ") in history, queue == "", (history, queue))

    def test_texts_that_are_no_request_are_ignored_and_zip_is_asked_about(self):
        self.run_program("Confirm=1\r\n")
        for text in ["http://example.com/" + "a" * (513 - 19), "http://example.com/a\r\nhttp://example.com/b",
                     " http://x", ""]:
            self.t.copy(text)
            time.sleep(0.3)
        self.assertEqual(self.t.boxes(), [])
        self.assertEqual(self.t.notes(), [])
        self.no_mail_for(0.5)

        zip_url = "HTTPS://Host/a.ZIP"
        self.t.copy(zip_url)
        box = self.t.wait_box(5, "^Ostrel$")
        self.assertIsNotNone(box, "no question for a ZIP file")
        self.t.press(box, "Escape")  # No
        self.assertTrue(self.t.wait_gone(lambda w: w[0] == box, 5))
        self.no_mail_for(0.5)
        # Asked again, and answered Yes this time: the file goes to the binary server.
        self.t.copy(zip_url)
        box = self.t.wait_box(5, "^Ostrel$")
        self.assertIsNotNone(box, "no question for a ZIP file")
        self.t.press(box, "Return")  # Yes, the default button
        self.assertTrue(self.t.smtp.wait_mails(1, 5))
        self.assertEqual(self.t.smtp.mails[0].rcpt_tos, ["agora@example.org"])
        self.assertIn(zip_url, self.t.smtp.mails[0].body())

        # Anything else goes without asking.
        page = "http://example.com/page.html"
        self.t.copy(page)
        self.assertTrue(self.t.smtp.wait_mails(2, 5))
        self.no_mail_for(0.3, 2)
        self.assertEqual(self.t.boxes(), [])
        self.assertEqual(self.t.smtp.mails[1].body(), "send %s\r\n" % page)
        self.assertEqual(self.t.read("Queue.Dat"), "")

    def test_two_line_text_with_bare_line_feeds_is_ignored(self):
        # Texts copied on this system end their lines with a bare line feed; such a text is no
        # more a URL than one with CR LF.
        self.run_program()
        self.t.copy("http://example.com/a\nhttp://example.com/b")
        self.no_mail_for(1.5)


if __name__ == "__main__":
    ostrel_e2e.run_tests([MainPathTest])
