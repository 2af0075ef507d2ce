"""A new user's first run, end to end: an empty program folder and no settings, the questions
of the first start, My Details filled in by typing, then the first requests with the one-time
test message and the newsletter request, and a request from the hot list."""

import os
import time

import ostrel_e2e
import ostrel_e2e_more
from ostrel_e2e_more import is_main

NEWSLETTER = "newsletter-request@example.org"
EMAIL = "newuser@example.net"


class FirstRunTest(ostrel_e2e_more.TRunCase):
    time_limit = 170

    def wait_settings(self, key, value, limit=5):
        self.t.wait_for(lambda: self.t.settings()[0].get(key) == value, limit)
        self.assertEqual(self.t.settings()[0].get(key), value, self.t.settings()[1])

    def flag_files(self):
        return [p for p in (self.t.path("config", "ostrel", "Test Message.Flg"), self.t.path("work", "Test Message.Flg"),
                            self.t.path("program", "Test Message.Flg")) if os.path.exists(p)]

    def test_first_run_from_nothing_to_requests(self):
        t = self.t
        t.fresh()
        seen, main = t.first_start(EMAIL, t.smtp.address(), newsletter=True, shots="first-run")
        steps = dict(seen)
        self.assertIsNotNone(steps["empty-field"], "no report of the empty address")
        self.assertIsNotNone(main, "the main window was not shown for the empty field")
        self.assertIsNotNone(steps["newsletter"], "no newsletter question")
        self.assertIsNotNone(steps["newsletter-thanks"], "no note after Yes to the newsletter")
        self.assertIsNotNone(steps["trimmed"], "start-up did not finish")
        # The delivered suggestions equal the servers a new user starts with: nothing to ask,
        # and the suggestion file is marked as offered.
        log = t.read("DebugLog.Txt")
        self.assertNotIn("but we believe", log)
        self.assertRegex(t.read("Suggest.Ini"), r"Used=1")

        # Ok saved the details and hid the window.
        self.wait_settings("Email", EMAIL)
        self.wait_settings("SMTP", t.smtp.address())
        self.assertTrue(t.wait_gone(is_main, 5), "Ok did not hide the main window")
        self.assertEqual(t.settings()[0].get("NewsLetterRequest"), "2")
        self.assertEqual(self.flag_files(), [])

        # The first request: the request mail, then the test message to the user himself with
        # the newsletter request in the envelope only.
        url = "http://example.com/first.html"
        t.copy(url)
        self.assertTrue(t.smtp.wait_mails(2, 15), [m.body() for m in t.smtp.mails])
        request, test = t.smtp.mails[0], t.smtp.mails[1]
        self.assertEqual(request.rcpt_tos, ["query@saildocs.com"])
        # The delivered directory's page service, in the form its own instructions give.
        self.assertIn("send %s\r\n-----" % url, request.body())
        self.assertEqual(request.mail_from, EMAIL)
        self.assertEqual(test.header("Subject"), "Test Message from your copy of Ostrel")
        self.assertEqual(sorted(test.rcpt_tos), sorted([EMAIL, NEWSLETTER]))
        self.assertIn(EMAIL, test.header("To") or "")
        headers = test.content.split(b"\r\n\r\n", 1)[0].decode("latin-1")
        self.assertNotIn(NEWSLETTER, headers, "the blind copy shows in the headers")
        self.assertNotIn("\nBcc:", headers)
        self.assertEqual(test.mail_from, EMAIL)
        self.wait_settings("NewsLetterRequest", "3")
        self.assertTrue(t.wait_for(self.flag_files, 5), "no marker of the sent test message")

        # The second request goes alone.
        other = "http://example.com/second.html"
        t.copy(other)
        self.assertTrue(t.smtp.wait_mails(3, 15))
        time.sleep(1.5)
        self.assertEqual(len(t.smtp.mails), 3, [m.header("Subject") for m in t.smtp.mails])
        self.assertIn(other, t.smtp.mails[2].body())
        self.assertEqual(t.smtp.mails[2].rcpt_tos, ["query@saildocs.com"])

        # The hot list: search a description, request the entry found.
        main = t.show_main()
        self.assertIsNotNone(main, "the main window did not come up again")
        t.click_tab(main[0], "Hot List")
        t.click_page(main[0], 300, 19)  # txtLookFor
        t.type_text("BBC")
        t.click_page(main[0], 612, 18)  # btnSearch
        time.sleep(0.5)
        t.screenshot("first-run-hot-list")
        self.assertEqual(t.boxes(), [], "the search found nothing")
        t.click_page(main[0], 612, 190)  # btnRequest
        self.assertTrue(t.smtp.wait_mails(4, 15), "the hot-list request was not sent")
        hot = t.smtp.mails[3]
        self.assertIn("https://www.bbc.co.uk/news", hot.body())
        self.assertEqual(hot.rcpt_tos, ["query@saildocs.com"])
        time.sleep(1)
        self.assertEqual(len(t.smtp.mails), 4)
        # Every request is in the history on disk, newest first.
        history = t.read("History.Dat").split("\r\n")
        self.assertTrue(history[0].startswith("https://www.bbc.co.uk/news via query@saildocs.com on "), history)
        self.assertTrue(history[1].startswith(other + " via "), history)
        self.assertTrue(history[2].startswith(url + " via "), history)


if __name__ == "__main__":
    ostrel_e2e.run_tests([FirstRunTest])
