"""The main path over a provider-like server, end to end: the real program under Xvfb, a URL
copied by another program, the request at an aiosmtpd that demands STARTTLS and a log-in, with
a certificate made by openssl for the run and its CA trusted through SSL_CERT_FILE."""

import unittest

import ostrel_e2e

URL = "http://example.com/secure.html"


class SecureTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.t = ostrel_e2e.TE2E(time_limit=240, secure=True)

    @classmethod
    def tearDownClass(cls):
        cls.t.close()

    def test_copied_url_reaches_a_server_that_demands_starttls_and_auth(self):
        self.t.prepare("CheckHistory=1\r\n")
        self.t.start()
        at = self.t.copy(URL)
        self.assertTrue(self.t.smtp.wait_mails(1, 10), "no mail arrived: " + self.t.read("DebugLog.Txt")[-1500:])
        mail = self.t.smtp.mails[0]
        print("copy to mail accepted over STARTTLS+AUTH: %.0f ms" % ((mail.at - at) * 1000))
        self.assertEqual(mail.rcpt_tos, ["www4mail@example.org"])
        self.assertEqual(mail.body(), "send " + URL + "\r\n")
        self.assertEqual(self.t.smtp.logins, ["PLAIN ok"])
        self.assertEqual(self.t.end_by_installer_flag(), 0)
        self.assertTrue(self.t.read("History.Dat").startswith(URL + " via www4mail@example.org on "))
        log = self.t.read("SMTP.LOG")
        self.assertIn("STARTTLS", log)
        self.assertIn("AUTH PLAIN <credentials hidden>", log)
        self.assertNotIn("e2e pass", log)
        with open(self.t.path("config", "ostrel", "OSTREL.INI"), "rb") as f:
            self.assertNotIn(self.t.password.encode(), f.read())


if __name__ == "__main__":
    ostrel_e2e.run_tests([SecureTest])
