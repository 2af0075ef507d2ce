"""Start-up and the single-instance rule, end to end under Xvfb: the first start from an empty
program folder (what the debug log records, the questions, My Details typed in, every setting
written by Ok), a second copy while one runs, the duplicate-instance flag, the installer flag
that ends a running copy, and the server suggestions of a fresh suggestion file."""

import os
import re
import subprocess
import time

import ostrel_e2e
import ostrel_e2e_more
from ostrel_e2e_more import SETTINGS_KEYS, is_main, log_lines

HISTORY = "http://example.com/old.html via www4mail@example.org on 01/12/26 10:00:00\r\n"
QUEUE = "http://example.com/queued.html\r\n"


class StartupTest(ostrel_e2e_more.TRunCase):
    def running(self):
        """A copy started on prepared settings and lists, its start-up over."""
        super().running(lists=(("History.Dat", HISTORY), ("Queue.Dat", QUEUE)))

    def test_first_start_logs_its_stages_asks_and_saves_every_setting(self):
        t = self.t
        t.fresh()
        seen, main = t.first_start("someone@example.net", "smtp.example.net", newsletter=False,
                                   shots="startup-first")
        steps = dict(seen)
        self.assertIsNotNone(steps["empty-field"], "no report of the empty address")
        self.assertIsNotNone(main, "the main window was not shown for the empty field")
        self.assertIsNotNone(steps["newsletter"], "no newsletter question")
        self.assertIsNotNone(steps["trimmed"])
        # The delivered data was copied into the empty program folder.
        for name in ("uservers.da2", "HotList.Dat", "Suggest.Ini", "tips.dat"):
            self.assertTrue(os.path.exists(t.path("program", name)), name)

        # Start-up ends by trimming the log, which always drops its first line: what it wrote
        # is read while the empty-field report waits.
        lines = log_lines(t.early_log)
        self.assertEqual(lines[0], "Started Ostrel")
        self.assertEqual(lines[1], "Cmd:")
        self.assertRegex(lines[2], r"Version: ?\d+\.\d+")
        stages = [int(l[4:]) for l in lines if re.match(r"^LPS \d+$", l)]
        self.assertEqual(stages[:7], [90902, 90903, 90904, 90905, 90906, 90907, 90910], stages)
        self.assertIn(90999, stages)
        self.assertLess(stages.index(90910), stages.index(90999))
        self.assertLess(lines.index("Loaded Server File"), lines.index("LPS 90999"))

        # Ok writes the keys one after the other: wait for all of them.
        t.wait_for(lambda: all(k in t.settings()[0] for k in SETTINGS_KEYS), 5)
        values, raw = t.settings()
        missing = [k for k in SETTINGS_KEYS if k not in values]
        self.assertEqual(missing, [], raw)
        self.assertEqual(values["Email"], "someone@example.net")
        self.assertEqual(values["SMTP"], "smtp.example.net")
        self.assertEqual(values["NewsLetterRequest"], "1", raw)  # answered No
        self.assertTrue(t.wait_gone(is_main, 5), "Ok did not hide the window")

    def test_second_copy_ends_at_once_and_leaves_the_lists(self):
        t = self.t
        self.running()
        at = time.monotonic()
        second = t.launch(keep=False)
        self.assertEqual(second.wait(5), 0)
        self.assertLess(time.monotonic() - at, 2.0)
        time.sleep(0.5)
        self.assertIsNone(t.app.poll(), "the first copy ended")
        self.assertEqual(t.read("History.Dat"), HISTORY)
        self.assertEqual(t.read("Queue.Dat"), QUEUE)
        # The second copy logged its start and nothing more.
        self.assertEqual(log_lines(t.read("DebugLog.Txt"))[-1], "Started Ostrel")

    def test_second_copy_raises_an_open_window_and_leaves_the_tray_alone(self):
        t = self.t
        self.running()
        # Resident in the tray: a second start does not pull the window up.
        self.assertEqual(t.launch(keep=False).wait(5), 0)
        self.assertIsNone(t.wait_window(is_main, 2), "a second start opened the hidden window")
        # Open: it stays open (raised) and the second copy still ends.
        self.assertIsNotNone(t.show_main())
        self.assertEqual(t.launch(keep=False).wait(5), 0)
        self.assertIsNotNone(t.wait_window(is_main, 2), "the open window went away")

    def test_duplicate_flag_lets_a_second_copy_run_once(self):
        t = self.t
        self.running()
        flag = t.path("program", "AllowDuplicateInstance.Flg")
        with open(flag, "wb") as f:
            f.write(b"\r")
        second = t.launch(keep=False)
        t.adopt(second.pid)
        ended = None
        try:
            ended = second.wait(3)
        except subprocess.TimeoutExpired:
            pass
        self.assertIsNone(ended, "the second copy ended although the flag allowed it")
        self.assertFalse(os.path.exists(flag), "the flag file is still there")
        self.assertEqual(t.read("DebugLog.Txt").count("Log trimmed"), 2, "the second copy did not start up")
        self.assertIsNone(t.app.poll())
        # The flag is used up: a third copy ends at once.
        self.assertEqual(t.launch(keep=False).wait(5), 0)

    def test_installer_flag_ends_the_running_copy_through_its_shutdown(self):
        t = self.t
        self.running()
        os.remove(t.path("program", "Queue.Dat"))  # written again only by the shutdown
        flag = t.path("program", "Installer.Flg")
        with open(flag, "wb") as f:
            f.write(b"x")
        at = time.monotonic()
        try:
            status = t.app.wait(8)
        except subprocess.TimeoutExpired:
            status = None
        self.assertEqual(status, 0, "the program did not end within a timer tick")
        print("installer flag to exit: %.1f s" % (time.monotonic() - at))
        self.assertFalse(os.path.exists(flag))
        self.assertEqual(t.read("Queue.Dat"), QUEUE)
        self.assertEqual(t.read("History.Dat"), HISTORY)
        self.assertIsNone(t.tray_icon(0.5), "the tray icon stayed behind")

    def wait_exit(self, limit):
        try:
            return self.t.app.wait(limit)
        except subprocess.TimeoutExpired:
            return None

    def test_installer_flag_during_a_start_up_question_ends_the_program(self):
        t = self.t
        t.prepare()
        os.makedirs(t.path("tmp"), exist_ok=True)
        with open(t.settings_file(), "rb") as f:
            ini = f.read()
        with open(t.settings_file(), "wb") as f:  # the newsletter question comes up
            f.write(ini.replace(b"NewsLetterRequest=1", b"NewsLetterRequest=0"))
        with open(t.path("program", "Queue.Dat"), "wb") as f:
            f.write(QUEUE.encode())
        t.launch()
        self.assertIsNotNone(t.wait_box(15, "^Ostrel$"), "no newsletter question")
        os.remove(t.path("program", "Queue.Dat"))  # written again only by the shutdown
        flag = t.path("program", "Installer.Flg")
        with open(flag, "wb") as f:
            f.write(b"x")
        # The timer ticks every six seconds: the flag is seen within one tick.
        self.assertEqual(self.wait_exit(8), 0, "the question kept the program running")
        self.assertFalse(os.path.exists(flag))
        self.assertEqual(t.read("Queue.Dat"), QUEUE)
        self.assertNotIn("Log trimmed", t.read("DebugLog.Txt"), "start-up went on after the quit")
        self.assertEqual(t.settings()[0].get("NewsLetterRequest"), "0", "an unanswered question was taken as No")

    def test_a_program_folder_that_cannot_be_written_leaves_an_icon_that_ends_it(self):
        t = self.t
        t.prepare()
        os.makedirs(t.path("tmp"), exist_ok=True)
        os.makedirs(t.path("program", "DebugLog.Txt"))  # no log line can be written there
        t.launch()
        box = t.wait_box(15, "^Ostrel$")
        self.assertIsNotNone(box, "the failure was not reported")
        self.assertIsNotNone(t.tray_icon(5), "no tray icon beside the report")
        t.screenshot("startup-log-unwritable")
        t.press(box, "Return")
        self.assertTrue(t.wait_gone(lambda w: w[0] == box, 5))
        self.assertIsNotNone(t.show_main(), "the icon does not open the window")
        time.sleep(1)
        self.assertEqual(t.boxes(), [], "the failure was reported again")
        with open(t.path("program", "Installer.Flg"), "wb") as f:
            f.write(b"x")
        self.assertEqual(self.wait_exit(8), 0, "the installer's flag did not end the program")

    def test_fresh_suggestions_are_asked_for_each_role_with_the_icon_off(self):
        t = self.t
        t.prepare()
        os.makedirs(t.path("tmp"), exist_ok=True)
        with open(t.path("program", "Suggest.Ini"), "wb") as f:
            f.write(b"[Servers]\r\nFTP=ftpweb@example.org\r\nHTTPBinary=webgetter@example.org\r\n"
                    b"HTTPPages=getweb@example.org\r\n")
        t.launch()
        icon_during = []
        # FTP, binary, page: take only the binary server's suggestion.
        for n, key in enumerate(["Escape", "Return", "Escape"]):
            wid = t.wait_box(10, "^(Information|Ostrel)$")
            self.assertIsNotNone(wid, "question %d did not come" % (n + 1))
            icon_during.append(t.tray_icon(0.2))
            if n == 0:
                t.screenshot("startup-suggestion")
            t.press(wid, key)
            self.assertTrue(t.wait_gone(lambda w: w[0] == wid, 5))
        self.assertEqual(icon_during, [None, None, None], "the tray icon stayed during the questions")
        self.assertIsNotNone(t.wait_log("Log trimmed", 10))
        self.assertIsNotNone(t.tray_icon(5), "the tray icon did not come back")
        self.assertEqual(t.boxes(), [], "a fourth question")
        values, raw = t.settings()
        self.assertEqual((values.get("FTP"), values.get("HTTPBinary"), values.get("HTTPPages")),
                         ("ftpmail@example.org", "webgetter@example.org", "www4mail@example.org"), raw)
        self.assertRegex(t.read("Suggest.Ini"), r"Used=1")


if __name__ == "__main__":
    ostrel_e2e.run_tests([StartupTest])
