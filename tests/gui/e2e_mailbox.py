"""Replies come home, end to end: the real program under Xvfb, a URL copied by another program,
the request at an SMTP peer, the reply put into a Dovecot of the run's own (IMAP over TLS with a
certificate made by openssl for the run), fetched with the History page's button; the page lands
in downloads/, the history knows it arrived, and the mail on the server is left as it was."""

import os
import time
import unittest

import ostrel_e2e
from dovecot_peer import PASSWORD, USER, TDovecot
from ostrel_e2e import make_certificates
from ostrel_e2e_more import TRun

URL = "http://example.com/e2e-reply.html"


class TMailRun(TRun):
    mail_ca = None

    def env(self):
        env = super().env()
        if self.mail_ca:
            env["SSL_CERT_FILE"] = self.mail_ca
            env["OSTREL_MAILBOX_PASSWORD"] = PASSWORD
        return env


def wait_for(test, limit):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if test():
            return True
        time.sleep(0.1)
    return test()


class MailboxTest(unittest.TestCase):
    def test_a_copied_url_comes_back_as_a_file_and_the_history_knows(self):
        t = TMailRun(time_limit=240)
        dovecot = None
        try:
            os.chmod(t.root, 0o755)  # the mail server runs as nobody when started by root
            os.makedirs(t.path("tls"))
            t.mail_ca, cert, key = make_certificates(t.path("tls"))
            os.makedirs(t.path("dovecot"))
            dovecot = TDovecot(t.path("dovecot"), cert, key)
            t.prepare("[Mailbox]\r\nProtocol=IMAP\r\nServer=127.0.0.1:%d\r\nSecurity=TLS\r\nUser=%s\r\n"
                      "Interval=0\r\n" % (dovecot.ports["imaps"], USER))
            t.start()
            t.copy(URL)
            self.assertTrue(t.smtp.wait_mails(1, 10), "no request arrived: " + t.read("DebugLog.Txt")[-1500:])
            self.assertTrue(wait_for(lambda: URL in t.read("History.Dat"), 10))

            reply = dovecot.deliver(("From: Www4Mail <%s>\r\nTo: reader@example.net\r\nSubject: Re: %s\r\n"
                                     "Message-ID: <e2e-1@example.org>\r\nContent-Type: text/html; charset=utf-8\r\n"
                                     "\r\n<html><body>it came home</body></html>\r\n"
                                     % (t.smtp.mails[0].rcpt_tos[0], URL)).encode())
            main = t.show_main()
            self.assertIsNotNone(main, "the main window did not open")
            t.click_tab(main[0], "History")
            t.click_page(main[0], 600, 192)  # "Fetch replies"
            saved = t.path("program", "downloads", "example.com_e2e-reply.html")
            self.assertTrue(wait_for(lambda: os.path.exists(saved), 20),
                            "nothing saved: " + t.read("DebugLog.Txt")[-1500:])
            with open(saved, "rb") as f:
                self.assertIn(b"it came home", f.read())
            self.assertTrue(wait_for(lambda: (URL + "\tarrived\t") in t.read("Replies.Dat"), 5), t.read("Replies.Dat"))
            t.screenshot("mailbox-history-arrived")
            self.assertEqual(dovecot.files()[reply], "new/" + reply, "the mail on the server was not changed")
            self.assertEqual(t.end_by_installer_flag(), 0)
        finally:
            if dovecot:
                dovecot.stop()
            t.close()


if __name__ == "__main__":
    ostrel_e2e.run_tests([MailboxTest])
