#include <chrono>
#include <memory>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/fake_desktop.h"
#include "requests/auxiliary.h"
#include "shell/ostrel_app.h"
#include "support/peers.h"
#include "support/program_under_test.h"
#include "util/debug_log.h"
#include "util/file_io.h"
#include "util/ini_file.h"
#include "util/program_state.h"

using namespace ostrel;
using ostrel::test::TAiosmtpdPeer;

namespace {

// The program sending through a real aiosmtpd on loopback.
struct Program : test::TProgramUnderTest {
    TAiosmtpdPeer peer;

    explicit Program(int newsletter) {
        Start(peer.Server(), "NewsLetterRequest=" + std::to_string(newsletter) + "\r\n", 10);
    }
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
