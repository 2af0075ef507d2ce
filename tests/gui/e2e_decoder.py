"""The decoder wizard and update files, end to end: a file UUencoded by sharutils, cut into
three mails as a mail program would show them, copied part by part (out of order) with xclip into
the wizard opened from the main window, then all at once; and update blocks copied to the clipboard, one that replaces two
data files and restarts the program, one whose names point outside the program folder."""

import os
import subprocess
import time

import ostrel_e2e
import ostrel_e2e_more
from ostrel_e2e_more import is_main, is_wizard, pid_alive

BEGIN = "---Begin Ostrel Update File---"
END = "---End Ostrel Update File---"


def uuencode(data, name, folder):
    src = os.path.join(folder, "uu-input")
    with open(src, "wb") as f:
        f.write(data)
    r = subprocess.run(["uuencode", src, name], capture_output=True, check=True, timeout=10)
    return r.stdout.decode("ascii")


def mail(subject, body):
    """A mail as copied from a mail program on this system: headers, body, signature, LF ends."""
    return ("From: Bymail Server <server@example.org>\nTo: reader@example.net\nSubject: %s\n"
            "Date: Mon, 7 Dec 2026 10:00:00 +0000\n\n%s\n-- \nThe ByMail service, your friend\n" % (subject, body))


class DecoderTest(ostrel_e2e_more.TRunCase):
    @classmethod
    def setUpClass(cls):
        if not subprocess.run(["which", "uuencode"], capture_output=True).stdout:
            raise RuntimeError("uuencode not found: install the Debian package sharutils")
        super().setUpClass()

    def next_part(self, wizard, text):
        t = self.t
        # The wizard empties the clipboard when it waits for a part: copy after that.
        t.wait_for(lambda: t.clipboard() == "", 3)
        t.copy(text)
        t.wait_for(lambda: t.clipboard() == text, 3)
        t.press(wizard, "alt+n")

    def test_three_parts_with_a_wrong_one_between(self):
        t = self.t
        self.running()
        original = os.urandom(9000) + bytes(range(256))
        encoded = uuencode(original, "file.bin", t.path("work"))
        folder = t.path("work")
        with open(os.path.join(folder, "encoded"), "w") as f:
            f.write(encoded)
        subprocess.run(["split", "-n", "l/3", "encoded", "part."], cwd=folder, check=True, timeout=10)
        parts = []
        for n, suffix in enumerate(["aa", "ab", "ac"], 1):
            with open(os.path.join(folder, "part." + suffix)) as f:
                parts.append(mail("file.bin (%d/3)" % n, f.read()))
        self.assertIn("begin ", parts[0])
        self.assertIn("\nend", parts[2])

        main = t.show_main()
        self.assertIsNotNone(main, "no main window on a right click")
        t.click_button(main[0], "UUDecoder")
        wizard = t.wait_window(is_wizard, 5)
        self.assertIsNotNone(wizard, "the wizard did not open")
        self.assertTrue(t.wait_gone(is_main, 3), "the main window stayed while the wizard is open")
        t.screenshot("decoder-wizard")
        wid = wizard[0]

        self.next_part(wid, parts[0])
        # Part 3 where part 2 is expected: held without a question; the wizard asks for part 2.
        self.next_part(wid, parts[2])
        time.sleep(0.5)
        self.assertEqual(t.boxes(), [], "part 3 was not taken silently")
        t.screenshot("decoder-holding")
        self.assertFalse(os.path.exists(t.path("program", "downloads", "file.bin")))
        self.next_part(wid, parts[1])
        decoded = t.wait_box(10, "^Information$")
        self.assertIsNotNone(decoded, "no Decoded dialog")
        t.screenshot("decoder-decoded")
        t.press(decoded, "Return")
        target = t.path("program", "downloads", "file.bin")
        self.assertTrue(t.wait_for(lambda: os.path.exists(target), 5), os.listdir(t.path("program")))
        with open(target, "rb") as f:
            self.assertEqual(f.read(), original)
        self.assertTrue(t.wait_gone(is_wizard, 5), "the wizard stayed open")
        main = t.wait_window(is_main, 5)
        self.assertIsNotNone(main, "the main window did not come back")
        self.assertFalse(os.path.exists(t.path("program", "uudecoder.tmp")))

        # All three mails copied at once, last first: one press of Next; the name is taken, so
        # the new file gets a number and the first stays as it was.
        t.click_button(main[0], "UUDecoder")
        wizard = t.wait_window(is_wizard, 5)
        self.assertIsNotNone(wizard, "the wizard did not open again")
        self.next_part(wizard[0], parts[2] + parts[0] + parts[1])
        decoded = t.wait_box(10, "^Information$")
        self.assertIsNotNone(decoded, "no Decoded dialog for the mails copied at once")
        t.press(decoded, "Return")
        second = t.path("program", "downloads", "file (1).bin")
        self.assertTrue(t.wait_for(lambda: os.path.exists(second), 5), os.listdir(t.path("program", "downloads")))
        with open(second, "rb") as f:
            self.assertEqual(f.read(), original)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), original)
        self.assertTrue(t.wait_gone(is_wizard, 5), "the wizard stayed open")

        # A copy that lost a character in a data line: named as damaged, never saved under its
        # name; what could be read is kept beside it.
        main = t.wait_window(is_main, 5)
        t.click_button(main[0], "UUDecoder")
        wizard = t.wait_window(is_wizard, 5)
        lines = encoded.split("\n")
        lines[5] = lines[5][:20] + lines[5][21:]
        self.next_part(wizard[0], mail("file.bin", "\n".join(lines)))
        error = t.wait_box(10, "^Error$")
        self.assertIsNotNone(error, "no error for the damaged file")
        t.screenshot("decoder-damaged")
        t.press(error, "Return")
        self.assertTrue(t.wait_for(lambda: os.path.exists(t.path("program", "downloads", "file.bin.damaged")), 5))
        self.assertEqual(sorted(os.listdir(t.path("program", "downloads"))),
                         ["file (1).bin", "file.bin", "file.bin.damaged"])
        self.assertTrue(t.wait_gone(is_wizard, 5), "the wizard stayed open")

    def test_update_block_replaces_two_files_and_restarts_once(self):
        t = self.t
        self.running()
        first = t.app.pid
        friend = b"A friend's note, delivered by update.\r\n"
        hot = b"Updated: an entry from the update -> http://example.com/updated.html\r\n"
        text = ("Subject: Ostrel update\n\nHello,\n\n" + BEGIN + "\n" + uuencode(friend, "Friend.Txt", t.path("work")) +
                uuencode(hot, "HotList.Dat", t.path("work")) + END + "\n-- \nThe maker\n")
        t.copy(text)
        box = t.wait_box(10, "^Information$")
        self.assertIsNotNone(box, "no restart note")
        t.press(box, "Return")
        try:
            status = t.app.wait(10)
        except subprocess.TimeoutExpired:
            status = None
        self.assertEqual(status, 0, "the old copy did not end")
        pids = t.wait_for(lambda: [p for p in t.program_pids() if p != first], 10)
        for pid in pids:
            t.adopt(pid)
        self.assertEqual(len(pids), 1, "not exactly one new copy: %s" % pids)
        self.assertEqual(t.read("Friend.Txt").encode("latin-1"), friend)
        self.assertEqual(t.read("HotList.Dat").encode("latin-1"), hot)
        self.assertFalse(os.path.exists(t.path("program", "uudecoder.tmp")))
        # The new copy takes the flag that let it run, and finishes its start-up.
        flag = t.path("program", "AllowDuplicateInstance.Flg")
        self.assertTrue(t.wait_for(lambda: not os.path.exists(flag), 10), "the restart flag stayed")
        self.assertTrue(t.wait_for(lambda: t.read("DebugLog.Txt").count("Log trimmed") == 2, 10))
        self.assertTrue(pid_alive(pids[0]))

        # A block naming a file above the program folder and the program itself.
        program = os.path.join(ostrel_e2e.BIN_DIR, "ostrel")
        before = os.stat(program).st_mtime_ns
        evil = (BEGIN + "\n" + uuencode(b"outside\n", "../x", t.path("work")) +
                uuencode(b"#!/bin/sh\necho taken\n", "ostrel", t.path("work")) + END + "\n")
        t.copy(evil)
        restarted = None
        deadline = time.monotonic() + 4
        while time.monotonic() < deadline and restarted is None:
            restarted = t.windows_of(pids[0]) and [w for w in t.windows_of(pids[0]) if w[1] == "Information"]
            time.sleep(0.1)
        for w in restarted or []:  # a name cut to its last part may be taken: let it restart
            t.press(w[0], "Return")
        time.sleep(2)
        for pid in t.program_pids():
            t.adopt(pid)
        self.assertFalse(os.path.exists(t.path("x")), "a file was written above the program folder")
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(t.path("program")), "x")))
        self.assertFalse(os.path.exists(t.path("program", "ostrel")), "the program was replaced")
        self.assertEqual(os.stat(program).st_mtime_ns, before)
        self.assertTrue(t.program_pids(), "no copy of the program runs any more")


if __name__ == "__main__":
    ostrel_e2e.run_tests([DecoderTest])
