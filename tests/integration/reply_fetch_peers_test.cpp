// The desktop program's fetch against a Dovecot of the test's own: it waits for a send under way
// instead of running beside it, and what arrived shows in the History list, in a notice that
// opens it, and behind the list's "Open".

#include <filesystem>

#include <gtest/gtest.h>

#include "support/certificates.h"
#include "support/dovecot.h"
#include "support/program_under_test.h"
#include "support/scripted_smtp.h"
#include "util/program_state.h"

using namespace ostrel;
using ostrel::test::TDovecotPeer;
using ostrel::test::TScriptedServer;

namespace fs = std::filesystem;

namespace {

struct Program : test::TProgramUnderTest {
    std::map<std::string, std::string> replies;
    TScriptedServer server{[this](test::TScriptedConnection& c) { TScriptedServer::Standard(replies)(c); }};

    explicit Program(const TDovecotPeer& dovecot) {
        folder.Write("config/ostrel/Test Message.Flg", " ");
        Start(server.Server());
        f().cboMailProtocol.SetItemIndex(1);
        f().txtMailServer.SetText("localhost:" + std::to_string(dovecot.ImapPort()));
        f().cboMailSecurity.SetItemIndex(1);
        f().txtMailUser.SetText(TDovecotPeer::User);
        secrets.Store("mailbox", TDovecotPeer::Password);
    }
};

} // namespace

TEST(ReplyFetchInTheProgram, AFetchAskedForDuringASendWaitsAndItsArrivalShowsAndOpens) {
    test::TTrustOnly trust(test::SharedTestCertificates().CaFile());
    TDovecotPeer dovecot;
    Program p(dovecot);
    const std::string url = "http://example.com/news.html";
    const std::string service = p.f().cboHTTPServersPages.Text();
    const std::string saved = p.folder.Path() + "downloads/example.com_news.html";

    bool asked = false, overlapped = false, ranInside = true;
    p.desk.OnPump = [&] {
        const bool sending = ProgramState().Busy;
        if (sending && p.app->ReplyFetch().Running())
            overlapped = true;
        if (sending && !asked) {
            asked = true;
            dovecot.Deliver("From: " + service + "\r\nSubject: Re: " + url +
                            "\r\nMessage-ID: <r1@example.org>\r\nContent-Type: text/html\r\n\r\n<html>news</html>\r\n");
            p.f().btnFetch.Click();
            ranInside = fs::exists(saved);
        }
    };
    p.desk.CopyFromOtherProgram(url);
    ASSERT_TRUE(asked) << "the request was sent";
    EXPECT_FALSE(ranInside) << "the fetch waited for the send";
    EXPECT_FALSE(overlapped);
    ASSERT_TRUE(fs::exists(saved)) << p.Log();
    EXPECT_NE(test::ReadAll(saved).find("<html>news</html>"), std::string::npos);

    // The history names the state; the notice and "Open" open the file.
    ASSERT_EQ(p.f().lstHistory.Count(), 1);
    const std::string shown = p.f().lstHistory.DisplayText(p.f().lstHistory.Item(0));
    EXPECT_NE(shown.find("[arrived]"), std::string::npos) << shown;
    ASSERT_EQ(p.desk.Notifications.size(), 1u);
    EXPECT_EQ(p.desk.Notifications[0].OpenPath, saved);
    p.f().lstHistory.SetItemIndex(0);
    p.f().PopupMenu1.Find("mnuOpen")->OnClick();
    EXPECT_EQ(p.desk.Opened, std::vector<std::string>{saved});

    // A request nothing came back for says so instead of opening anything.
    p.f().lstHistory.InsertItem(0, "http://example.com/other.html via " + service + " on 2026-12-01 10:00:00");
    p.f().lstHistory.SetItemIndex(0);
    p.desk.Dialogs.clear();
    p.f().PopupMenu1.Find("mnuOpen")->OnClick();
    ASSERT_EQ(p.desk.Dialogs.size(), 1u);
    EXPECT_EQ(p.desk.Dialogs[0].Text.rfind("Nothing has arrived", 0), 0u);
    EXPECT_EQ(p.desk.Opened.size(), 1u);
}
