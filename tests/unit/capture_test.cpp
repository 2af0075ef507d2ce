#include "requests/capture.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/fake_desktop.h"
#include "support/program_under_test.h"
#include "util/debug_log.h"
#include "util/program_state.h"

using namespace ostrel;

TEST(IsSupportedUrl, AcceptsTheSchemesWithoutRegardToCase) {
    EXPECT_TRUE(IsSupportedUrl("HTTP://Example.com/"));
    EXPECT_TRUE(IsSupportedUrl("https://example.com/a"));
    EXPECT_TRUE(IsSupportedUrl("ftp://ftp.example.com/pub/"));
    EXPECT_TRUE(IsSupportedUrl("news:comp.lang.c"));
    EXPECT_TRUE(IsSupportedUrl("gopher://g.example.com/"));
    EXPECT_FALSE(IsSupportedUrl(" http://x"));
    EXPECT_FALSE(IsSupportedUrl("http://x\r\nhttp://y"));
    EXPECT_FALSE(IsSupportedUrl("http://x\nhttp://y"));
    EXPECT_FALSE(IsSupportedUrl("mailto:x@example.com"));
    EXPECT_FALSE(IsSupportedUrl(""));
}

TEST(NormalizeUrl, ReducesRedirectsAndDropsFragments) {
    EXPECT_EQ(NormalizeUrl("http://r.example/go?u=ftp://ftp.example/f.zip"), "ftp://ftp.example/f.zip");
    EXPECT_EQ(NormalizeUrl("http://r.example/?u=http://t.example/p#x"), "http://t.example/p#x");
    EXPECT_EQ(NormalizeUrl("https://r.example/?u=https://t.example/p"), "https://t.example/p");
    EXPECT_EQ(NormalizeUrl("http://r.example/?u=HTTPS://t.example/p"), "HTTPS://t.example/p");
    EXPECT_EQ(NormalizeUrl("http://a.example/page.html#top"), "http://a.example/page.html");
    EXPECT_EQ(NormalizeUrl("ftp://a.example/x#y"), "ftp://a.example/x#y");
    EXPECT_EQ(NormalizeUrl("mailserver:a@b\x9Fhttp://x#y"), "mailserver:a@b\x9Fhttp://x#y");
    // Only the lower-case marker makes a direct request, as in composition: any other case is
    // part of a URL and treated like one.
    EXPECT_EQ(NormalizeUrl("http://a.example/?MailServer:x#y"), "http://a.example/?MailServer:x");
    EXPECT_EQ(RequestFromHistory("news:MAILSERVER:a%20b"), "news:MAILSERVER:a%20b");
    EXPECT_EQ(RequestFromHistory("mailserver:a%20b"), "mailserver:a b");
}

namespace {
// The program with an SMTP server that refuses connections (nothing listens on port 9 of the
// loopback address here).
struct Program : test::TProgramUnderTest {
    explicit Program(const std::string& extraSettings = "") { Start("127.0.0.1:9", extraSettings); }
};
} // namespace

TEST(Capture, AFailedSendIsReportedAndQueuedOnlyWhenTheSettingsSaySo) {
    Program p;
    p.desk.CopyFromOtherProgram("http://example.com/index.html");
    ASSERT_EQ(p.desk.Dialogs.size(), 1u);
    const auto& report = p.desk.Dialogs[0];
    EXPECT_EQ(report.HelpContext, 9002);
    EXPECT_EQ(report.Text.rfind("Error in Request Failed.", 0), 0u);
    EXPECT_NE(report.Text.find("The last successful operation was <"), std::string::npos);
    EXPECT_EQ(p.f().lstQueue.Items(), (std::vector<std::string>{"http://example.com/index.html"}));
    EXPECT_EQ(p.folder.Read("Queue.Dat"), "http://example.com/index.html\r\n"); // saved at once
    // The desktop's notice as well as the dialog, naming the request and the fault.
    ASSERT_EQ(p.desk.Notifications.size(), 1u);
    EXPECT_NE(p.desk.Notifications[0].Text.find("http://example.com/index.html"), std::string::npos);
    EXPECT_NE(p.desk.Notifications[0].Text.find("onnect"), std::string::npos);
    auto notified = std::find(p.desk.Calls.begin(), p.desk.Calls.end(), "Notify:Ostrel: request failed");
    auto reported = std::find_if(p.desk.Calls.begin(), p.desk.Calls.end(),
                                 [](const std::string& c) { return c.rfind("MessageDlg", 0) == 0; });
    ASSERT_NE(notified, p.desk.Calls.end());
    EXPECT_LT(notified, reported); // before the modal dialog holds the program
    EXPECT_FALSE(ProgramState().Busy);
    EXPECT_TRUE(p.f().lstHistory.Items().empty());

    p.f().chkOnFailure.SetChecked(false);
    p.desk.CopyFromOtherProgram("http://example.com/other.html");
    EXPECT_EQ(p.f().lstQueue.Count(), 1);
}

TEST(Capture, DuplicatesBeepAndAreDroppedWhenRepeatsAreRefused) {
    Program p;
    p.f().lstQueue.AddItem("http://example.com/a.html");
    p.desk.CopyFromOtherProgram("HTTP://EXAMPLE.COM/A.HTML");
    EXPECT_EQ(p.desk.Beeps, 1);
    EXPECT_TRUE(p.desk.Dialogs.empty()); // nothing was sent, so nothing failed
    EXPECT_NE(p.Log().find("Requesting"), std::string::npos); // the note's trace
}

TEST(Capture, DisabledToolQueuesWhenAskedToAndAsksPerPolicy) {
    Program p("Enabled=1\r\nchkNotEnabled=1\r\nConfirm=1\r\n");
    p.desk.Answers = {IDYES};
    p.desk.CopyFromOtherProgram("HTTPS://Host/a.ZIP");
    ASSERT_EQ(p.desk.Dialogs.size(), 1u);
    EXPECT_EQ(p.desk.Dialogs[0].Text, "Queue request for HTTPS://Host/a.ZIP by e-mail?");
    EXPECT_EQ(p.f().lstQueue.Items(), (std::vector<std::string>{"HTTPS://Host/a.ZIP"}));
    p.desk.CopyFromOtherProgram("http://host/page.html"); // not a ZIP or EXE: no question
    EXPECT_EQ(p.desk.Dialogs.size(), 1u);
    EXPECT_EQ(p.f().lstQueue.Count(), 2);
    // A news URL gets its slash before it is checked.
    p.desk.CopyFromOtherProgram("news:comp.os.linux");
    EXPECT_EQ(p.f().lstQueue.Item(2), "news:comp.os.linux/");
}

TEST(Capture, OnlyShortSingleLineUrlsAreCaptured) {
    Program p("Enabled=1\r\nchkNotEnabled=1\r\n");
    p.desk.CopyFromOtherProgram("http://x/" + std::string(504, 'a')); // 513 characters
    p.desk.CopyFromOtherProgram("http://x/a\r\nhttp://y/b");
    p.desk.CopyFromOtherProgram(" http://x/");
    p.desk.CopyFromOtherProgram("");
    EXPECT_EQ(p.f().lstQueue.Count(), 0);
    p.desk.CopyFromOtherProgram("http://x/" + std::string(503, 'a')); // 512 characters
    EXPECT_EQ(p.f().lstQueue.Count(), 1);
    // The limit counts bytes, not characters.
    std::string accents;
    for (int i = 0; i < 251; ++i)
        accents += "\xC3\xA9";
    p.desk.CopyFromOtherProgram("http://y/" + accents + "ab"); // 262 characters, 513 bytes
    EXPECT_EQ(p.f().lstQueue.Count(), 1);
    p.desk.CopyFromOtherProgram("http://y/" + accents + "a"); // 512 bytes
    EXPECT_EQ(p.f().lstQueue.Count(), 2);
}

TEST(Capture, SuperDebugEchoesTextsShorterThan1024Bytes) {
    Program p;
    ProgramState().SuperDebug = true;
    std::string twoByte;
    for (int i = 0; i < 506; ++i)
        twoByte += "\xC3\xA9";
    p.desk.CopyFromOtherProgram(twoByte + "x\r\nline two"); // 1023 bytes, line break included
    p.desk.CopyFromOtherProgram(twoByte + "xy\r\nline two"); // 1024 bytes
    p.desk.CopyFromOtherProgram(std::string(1030, 'z'));
    ProgramState().SuperDebug = false;
    p.desk.CopyFromOtherProgram("not echoed");
    const std::string log = p.Log();
    EXPECT_NE(log.find("CB<<<" + twoByte + "x\r\nline two>>>"), std::string::npos);
    EXPECT_EQ(log.find("xy\r\nline"), std::string::npos);
    EXPECT_EQ(log.find("zzz"), std::string::npos);
    EXPECT_EQ(log.find("not echoed"), std::string::npos);
    EXPECT_EQ(std::count(log.begin(), log.end(), '<'), 3); // one echo
}

TEST(Capture, NothingHappensUntilMyDetailsAreFilledIn) {
    Program p;
    ProgramState().SettingsValid = false;
    p.desk.CopyFromOtherProgram("http://example.com/");
    EXPECT_TRUE(p.desk.Dialogs.empty());
    EXPECT_EQ(p.f().lstQueue.Count(), 0);
    EXPECT_NE(p.Log().find("CB change detected"), std::string::npos);
}

TEST(ManualEntry, CompletesHostNamesAndRefusesTheRest) {
    Program p("Enabled=1\r\nchkNotEnabled=1\r\n");
    p.f().txtURL.SetText("  www.example.com ");
    p.f().btnGo.Click();
    EXPECT_EQ(p.f().txtURL.Text(), "http://www.example.com");
    EXPECT_EQ(p.f().lstQueue.Item(0), "http://www.example.com/");
    p.f().txtURL.SetText("ftp.example.com/pub/");
    p.f().btnGo.Click();
    EXPECT_EQ(p.f().lstQueue.Item(1), "ftp://ftp.example.com/pub/");
    p.f().txtURL.SetText("example.com");
    p.f().btnGo.Click();
    ASSERT_EQ(p.desk.Dialogs.size(), 1u);
    EXPECT_EQ(p.desk.Dialogs[0].Text, "The URL you entered is either invalid or not supported");
    EXPECT_EQ(p.desk.Dialogs[0].Flags, unsigned{MB_OK | MB_ICONHAND});
}

TEST(Dispatch, DontSendModeShowsTheMailAndRecordsNothing) {
    Program p;
    ProgramState().DontSend = true;
    p.desk.CopyFromOtherProgram("http://example.com/index.html");
    ASSERT_EQ(p.desk.Dialogs.size(), 1u);
    const std::string& shown = p.desk.Dialogs[0].Text;
    EXPECT_EQ(shown.rfind("www4mail@example.org\r\nwww\r\n", 0), 0u) << shown;
    EXPECT_NE(shown.find("send http://example.com/index.html"), std::string::npos) << shown;
    EXPECT_TRUE(p.f().lstHistory.Items().empty());
    EXPECT_TRUE(p.f().lstQueue.Items().empty());
    ProgramState().DontSend = false;
}

TEST(Dispatch, TheQueueRunStopsAtTheFirstFailureAndKeepsIt) {
    Program p;
    for (const char* u : {"http://a.example/", "http://b.example/"})
        p.f().lstQueue.AddItem(u);
    p.app->Settings().ControlRefresh();
    p.f().btnSend.Click();
    EXPECT_EQ(p.desk.Dialogs.size(), 1u); // one report, not one per entry or an endless loop
    EXPECT_TRUE(p.desk.Notifications.empty());
    EXPECT_EQ(p.f().lstQueue.Count(), 2);
    EXPECT_EQ(p.f().lstQueue.Item(0), "http://a.example/");
    EXPECT_FALSE(ProgramState().QueueRun);
}

TEST(Dispatch, ARequestArrivingDuringASendWaitsItsTurn) {
    Program p;
    bool copied = false;
    p.desk.OnPump = [&] {
        // Another copy while the first request is being sent.
        if (ProgramState().Busy && !copied) {
            copied = true;
            p.desk.CopyFromOtherProgram("http://second.example/");
        }
    };
    p.desk.CopyFromOtherProgram("http://first.example/");
    p.desk.OnPump = nullptr;
    ASSERT_TRUE(copied);
    // Both failed to send and were queued, first one first: neither was lost and the second
    // did not start while the first was under way.
    EXPECT_EQ(p.f().lstQueue.Items(), (std::vector<std::string>{"http://first.example/", "http://second.example/"}));
    EXPECT_EQ(p.desk.Dialogs.size(), 2u);
}

TEST(HistoryMenu, ShowDetailAndRequestAgainWorkForRequestsWithBlanks) {
    Program p;
    p.f().lstHistory.AddItem("http://x.example/a%20b.html via www4mail@example.org on 07/12/26 10:00:00");
    p.f().lstHistory.SetItemIndex(0);
    p.f().PopupMenu1.Find("mnuShowDetail")->OnClick();
    ASSERT_EQ(p.desk.Dialogs.size(), 1u);
    EXPECT_EQ(p.desk.Dialogs[0].Text, "http://x.example/a%20b.html\r\n\nVia: www4mail@example.org\r\n\n"
                                      "Date/Time: 07/12/26 10:00:00");
    ProgramState().DontSend = true;
    p.f().PopupMenu1.Find("mnuRequestAgain")->OnClick();
    ProgramState().DontSend = false;
    ASSERT_EQ(p.desk.Dialogs.size(), 2u);
    EXPECT_NE(p.desk.Dialogs[1].Text.find("send http://x.example/a%20b.html"), std::string::npos);
    p.f().PopupMenu1.Find("mnuDeletefromHistory")->OnClick();
    EXPECT_EQ(p.folder.Read("History.Dat"), "");
}
