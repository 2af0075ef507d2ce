#include <chrono>
#include <memory>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/fake_desktop.h"
#include "requests/auxiliary.h"
#include "shell/ostrel_app.h"
#include "support/peers.h"
#include "support/test_support.h"
#include "util/debug_log.h"
#include "util/file_io.h"
#include "util/ini_file.h"
#include "util/program_state.h"

using namespace ostrel;
using ostrel::test::TAiosmtpdPeer;

namespace {

// The whole program on the fake desktop, sending through a real aiosmtpd on loopback, working
// in its program folder (where the test message's marker goes).
struct Program {
    TAiosmtpdPeer peer;
    test::ProgramFolder folder;
    FakeDesktop desk;
    std::unique_ptr<TOstrelApp> app;
    std::string oldCwd;

    explicit Program(int newsletter) {
        for (const char* f : {"uservers.da2", "Suggest.Ini", "nbinary.ext", "unbinary.txt", "getweb_page.tpl",
                              "agora_uu.tpl", "agora_mime.tpl", "Test Message.Txt", "Friend.Txt", "DistInfo.Dat"})
            folder.CopyData(f);
        folder.Write("config/ostrel/OSTREL.INI",
                     "[General]\r\nEmail=me@example.org\r\nNewsLetterRequest=" + std::to_string(newsletter) +
                         "\r\n[Servers]\r\nSMTP=" + peer.Server() + "\r\n");
        char cwd[4096];
        oldCwd = ::getcwd(cwd, sizeof cwd) ? cwd : "/";
        EXPECT_EQ(::chdir(folder.Path().c_str()), 0);
        WriteDebugLog("Started Ostrel");
        app = std::make_unique<TOstrelApp>(desk, folder.Path() + "ostrel", std::vector<std::string>{});
        app->FormCreate();
        app->SMTP().TimeOut = 10;
        desk.Dialogs.clear();
    }
    ~Program() {
        app.reset();
        EXPECT_EQ(::chdir(oldCwd.c_str()), 0);
    }
    TfrmProps& f() { return app->Form(); }
};

} // namespace

TEST(AuxiliaryPeers, TestMessageReachesTheUserWithTheNewsletterInTheEnvelopeOnly) {
    Program p(2);
    p.desk.CopyFromOtherProgram("http://example.com/index.html");
    ASSERT_TRUE(p.peer.WaitForMails(2, std::chrono::seconds(10)));
    const auto mails = p.peer.Mails();
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_EQ(mails[0].RcptTo, (std::vector<std::string>{"www4mail@example.org"}));

    const auto& test = mails[1];
    EXPECT_EQ(test.MailFrom, "me@example.org");
    EXPECT_EQ(test.RcptTo, (std::vector<std::string>{"me@example.org", NewsletterRequestAddress}));
    EXPECT_EQ(test.Content.find("newsletter-request"), std::string::npos);
    EXPECT_EQ(test.Content.find("Brismark"), std::string::npos);
    EXPECT_NE(test.Content.find("Test Message from your copy of Ostrel"), std::string::npos);
    EXPECT_NE(test.Content.find("\r\nYour copy: Ostrel standard distribution\r\n"), std::string::npos);

    EXPECT_EQ(p.folder.Read("config/ostrel/Test Message.Flg"), " ");
    EXPECT_EQ(TIniFile(SettingsFileName()).ReadInteger("General", "NewsLetterRequest", -1), 3);
    EXPECT_EQ(p.f().lstHistory.Count(), 1);
}

TEST(AuxiliaryPeers, FriendNoteArrivesAddressedToTheFriendAlone) {
    Program p(2);
    p.f().txtFName.SetText("Bob");
    p.f().txtFemail.SetText("bob@example.net");
    p.f().txtMyName.SetText("Ann");
    p.f().btnFSend.Click();
    ASSERT_TRUE(p.peer.WaitForMails(1, std::chrono::seconds(10)));
    const auto mails = p.peer.Mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].MailFrom, "me@example.org");
    // The newsletter wish travels with the test message only.
    EXPECT_EQ(mails[0].RcptTo, (std::vector<std::string>{"bob@example.net"}));
    const std::string& content = mails[0].Content;
    EXPECT_NE(content.find("Using this \"Ostrel\" software"), std::string::npos);
    EXPECT_NE(content.find("\r\n\r\nFrom: Ann   To: Bob\r\n\r\nI have been using"), std::string::npos);
    EXPECT_NE(content.find("\r\n\r\nAnn\r\n"), std::string::npos);
    ASSERT_EQ(p.desk.Dialogs.size(), 1u);
    EXPECT_EQ(p.desk.Dialogs[0].Text, "Message sent.");
    EXPECT_FALSE(FileExists(p.folder.File("config/ostrel/Test Message.Flg")));
}
