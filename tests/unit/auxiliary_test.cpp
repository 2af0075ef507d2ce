#include "requests/auxiliary.h"

#include <algorithm>
#include <map>
#include <unistd.h>

#include <gtest/gtest.h>

#include "mime/quoted_printable.h"
#include "platform/fake_desktop.h"
#include "support/scripted_smtp.h"
#include "support/program_under_test.h"
#include "util/debug_log.h"
#include "util/file_io.h"
#include "util/ini_file.h"
#include "util/program_state.h"

using namespace ostrel;
using ostrel::test::TScriptedServer;

namespace {

// The program with a scripted SMTP server on loopback (or, given one, another server).
struct Program : test::TProgramUnderTest {
    TScriptedServer server;

    explicit Program(int newsletter, std::map<std::string, std::string> replies = {}, std::string smtp = "")
        : server(TScriptedServer::Standard(std::move(replies))) {
        Start(smtp.empty() ? server.Server() : smtp, "NewsLetterRequest=" + std::to_string(newsletter) + "\r\n");
    }
    int Newsletter() { return TIniFile(SettingsFileName()).ReadInteger("General", "NewsLetterRequest", -1); }
    bool Flagged() { return FileExists(folder.File("config/ostrel/Test Message.Flg")); }
    // A header's value as the mail carries it (the encoder aligns values after the colon).
    static std::string Header(const std::string& mail, const std::string& name) {
        const auto at = mail.find("\r\n" + name + ":");
        if (at == std::string::npos)
            return "<none>";
        const auto from = mail.find_first_not_of(' ', at + name.size() + 3);
        return mail.substr(from, mail.find("\r\n", from) - from);
    }
    std::vector<std::string> Rcpts() {
        std::vector<std::string> out;
        for (const auto& line : server.Lines())
            if (line.rfind("RCPT TO:", 0) == 0)
                out.push_back(line);
        return out;
    }
    void FillFriendPage(const std::string& email) {
        f().txtFName.SetText("Bob");
        f().txtFemail.SetText(email);
        f().txtMyName.SetText("Ann");
    }
};

} // namespace

TEST(TestMessage, FirstRequestBringsItWithTheNewsletterOnlyInTheEnvelope) {
    Program p(2);
    p.desk.CopyFromOtherProgram("http://example.com/index.html");
    EXPECT_TRUE(p.desk.Dialogs.empty());
    ASSERT_EQ(p.server.Data().size(), 2u);
    EXPECT_EQ(p.Rcpts(), (std::vector<std::string>{"RCPT TO:<www4mail@example.org>", "RCPT TO:<me@example.org>",
                                                   "RCPT TO:<newsletter-request@example.org>"}));
    const std::string mail = p.server.Data()[1];
    EXPECT_EQ(Program::Header(mail, "Subject"), "Test Message from your copy of Ostrel");
    EXPECT_EQ(Program::Header(mail, "To"), "<me@example.org>");
    EXPECT_NE(mail.find("Your copy: Ostrel standard distribution\r\n"), std::string::npos);
    EXPECT_EQ(mail.find('\xFE'), std::string::npos);
    EXPECT_EQ(mail.find("newsletter-request"), std::string::npos);
    EXPECT_EQ(mail.find("Brismark"), std::string::npos);

    EXPECT_TRUE(p.Flagged());
    EXPECT_EQ(p.folder.Read("config/ostrel/Test Message.Flg"), " ");
    EXPECT_EQ(ProgramState().Prefs.NewsLetterRequest, 3);
    EXPECT_EQ(p.Newsletter(), 3);
    // Only the request is history; the flag is down again for the next one.
    ASSERT_EQ(p.f().lstHistory.Count(), 1);
    EXPECT_EQ(p.f().lstHistory.Item(0).rfind("http://example.com/index.html via www4mail@example.org on ", 0), 0u);
    EXPECT_FALSE(ProgramState().AuxSend);

    p.desk.CopyFromOtherProgram("http://example.com/second.html");
    EXPECT_EQ(p.server.Data().size(), 3u); // the request alone
    EXPECT_EQ(p.f().lstHistory.Count(), 2);
    EXPECT_EQ(p.f().lstHistory.Item(0).rfind("http://example.com/second.html via ", 0), 0u);
}

TEST(TestMessage, WithoutTheNewsletterWishItGoesAloneAndTheSettingStillBecomesRequested) {
    Program p(1);
    p.desk.CopyFromOtherProgram("http://example.com/index.html");
    EXPECT_EQ(p.Rcpts(), (std::vector<std::string>{"RCPT TO:<www4mail@example.org>", "RCPT TO:<me@example.org>"}));
    EXPECT_EQ(p.Newsletter(), 3);
    EXPECT_TRUE(p.Flagged());
}

TEST(TestMessage, AFailedOneIsSilentAndTriedAgainAfterTheNextRequest) {
    Program p(2, {{"RCPT TO:<me@example.org>", "550 no such mailbox"}});
    p.desk.CopyFromOtherProgram("http://example.com/index.html");
    EXPECT_TRUE(p.desk.Dialogs.empty());
    EXPECT_FALSE(p.Flagged());
    EXPECT_EQ(p.Newsletter(), 2);
    EXPECT_EQ(p.f().lstHistory.Count(), 1);
    EXPECT_FALSE(ProgramState().AuxSend);

    p.desk.CopyFromOtherProgram("http://example.com/second.html");
    const auto rcpts = p.Rcpts();
    EXPECT_EQ(std::count(rcpts.begin(), rcpts.end(), "RCPT TO:<me@example.org>"), 2);
    EXPECT_EQ(p.f().lstHistory.Count(), 2); // the failure left no flag behind to swallow this one
}

TEST(TestMessage, AMarkerFromAnEarlierRunMeansNeverAgain) {
    Program p(2);
    p.folder.Write("config/ostrel/Test Message.Flg", " ");
    p.desk.CopyFromOtherProgram("http://example.com/index.html");
    EXPECT_EQ(p.server.Data().size(), 1u);
    EXPECT_EQ(p.Newsletter(), 2);
}

TEST(TestMessage, ADistributionTagHoldingTheMarkerByteIsPutInOnce) {
    Program p(1);
    const std::string tag = std::string("a") + '\xFE' + "b";
    ProgramState().DistInfo = tag;
    p.desk.CopyFromOtherProgram("http://example.com/index.html");
    ASSERT_EQ(p.server.Data().size(), 2u);
    const auto& body = p.app->Message().Body;
    ASSERT_EQ(body.size(), 1u);
    EXPECT_NE(body[0].find("Your copy: " + tag + "\r\n"), std::string::npos);
}

TEST(FriendPage, SendIsEnabledOnlyWithBothNamesAndAnAddress) {
    Program p(1);
    auto& f = p.f();
    EXPECT_FALSE(f.btnFSend.Enabled());
    p.FillFriendPage("bob.example.org");
    EXPECT_FALSE(f.btnFSend.Enabled());
    f.txtFemail.SetText("bob@example.org");
    EXPECT_TRUE(f.btnFSend.Enabled());
    f.txtMyName.SetText("");
    EXPECT_FALSE(f.btnFSend.Enabled());
    f.txtMyName.SetText("Ann");
    f.txtFName.SetText("");
    EXPECT_FALSE(f.btnFSend.Enabled());
}

TEST(FriendPage, TheNoteGoesThroughTheConfiguredServerBeforeAnyRequest) {
    Program p(2);
    p.FillFriendPage("bob@example.org");
    p.f().btnFSend.Click();
    ASSERT_EQ(p.desk.Dialogs.size(), 1u);
    EXPECT_EQ(p.desk.Dialogs[0].Text, "Message sent.");
    EXPECT_EQ(p.Rcpts(), (std::vector<std::string>{"RCPT TO:<bob@example.org>"}));
    const std::string mail = p.server.Data().at(0);
    EXPECT_EQ(Program::Header(mail, "Subject"), "Using this \"Ostrel\" software");
    EXPECT_EQ(Program::Header(mail, "To"), "<bob@example.org>");
    EXPECT_NE(mail.find("\r\n\r\nFrom: Ann   To: Bob\r\n\r\nI have been using a small program"), std::string::npos);
    // The note is long enough to go quoted-printable, which may cut its lines anywhere.
    const std::string body = QuotedPrintableDecode(mail.substr(mail.find("\r\n\r\n") + 4));
    EXPECT_NE(body.find("I will pass\r\nit on.\r\n\r\n\r\nAnn\r\n"), std::string::npos);
    // Not a request, and no test message: that waits for the first request.
    EXPECT_EQ(p.f().lstHistory.Count(), 0);
    EXPECT_FALSE(p.Flagged());
    EXPECT_EQ(p.Newsletter(), 2);
}

TEST(FriendPage, AFailureSaysSoAndKeepsTheFields) {
    Program p(1, {}, "127.0.0.1:9");
    p.FillFriendPage("bob@example.org");
    p.f().btnFSend.Click();
    ASSERT_EQ(p.desk.Dialogs.size(), 1u);
    EXPECT_EQ(p.desk.Dialogs[0].Text, "Problem sending message. Try again later");
    EXPECT_EQ(p.desk.Dialogs[0].Flags & MB_ICONHAND, unsigned{MB_ICONHAND});
    EXPECT_EQ(p.f().txtFemail.Text(), "bob@example.org");
    EXPECT_EQ(p.f().txtMyName.Text(), "Ann");
    EXPECT_FALSE(ProgramState().AuxSend);
}

TEST(FriendPage, ANoteAskedForDuringARequestWaitsForItsTurn) {
    Program p(1);
    p.FillFriendPage("bob@example.org");
    bool clicked = false;
    p.desk.OnPump = [&] {
        if (!clicked && ProgramState().Busy) {
            clicked = true;
            p.f().btnFSend.Click();
        }
    };
    p.desk.CopyFromOtherProgram("http://example.com/index.html");
    ASSERT_TRUE(clicked);
    // Request, then its test message, then the note: one after another on the one client.
    EXPECT_EQ(p.Rcpts(), (std::vector<std::string>{"RCPT TO:<www4mail@example.org>", "RCPT TO:<me@example.org>",
                                                   "RCPT TO:<bob@example.org>"}));
    EXPECT_EQ(p.f().lstHistory.Count(), 1);
    ASSERT_EQ(p.desk.Dialogs.size(), 1u);
    EXPECT_EQ(p.desk.Dialogs[0].Text, "Message sent.");
}
