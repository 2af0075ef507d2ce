// ostrel-cli fetch against a Dovecot of the test's own: replies saved once and decoded, other
// mail left as it was, and the failures a user meets (log-in refused, a foreign certificate,
// no mailbox set up) reported with exit status 1.

#include <filesystem>

#include <gtest/gtest.h>

#include "support/certificates.h"
#include "support/dovecot.h"
#include "support/run_program.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using ostrel::test::ReadAll;
using ostrel::test::TDovecotPeer;
using ostrel::test::TempDir;
using ostrel::test::WriteAll;

namespace {

const std::string kRequest = "http://example.com/news.html";

std::string PageReply(const std::string& messageId) {
    return "From: Www4Mail <www4mail@example.org>\r\nTo: ann@example.org\r\nSubject: Re: " + kRequest +
           "\r\nMessage-ID: <" + messageId +
           "@example.org>\r\nMIME-Version: 1.0\r\nContent-Type: text/html; charset=iso-8859-1\r\n"
           "Content-Transfer-Encoding: quoted-printable\r\n\r\n<html>Caf=E9 =\r\nnews</html>\r\n";
}

const std::string kPrivate = "From: friend@example.net\r\nTo: ann@example.org\r\nSubject: lunch?\r\n"
                             "Message-ID: <p1@example.net>\r\n\r\nsee you at noon\r\n";

class CliFetchTest : public ::testing::Test {
protected:
    TempDir home, config, runtime;

    void Setup(const std::string& mailbox) {
        for (const char* name : {"uservers.da2", "nbinary.ext", "unbinary.txt", "getweb_page.tpl", "Suggest.Ini"})
            fs::copy_file(std::string(OSTREL_BIN_DIR) + "/" + name, home.File(name),
                          fs::copy_options::overwrite_existing);
        WriteAll(home.File("History.Dat"), kRequest + " via www4mail@example.org on 2026-12-01 10:00:00\r\n");
        fs::create_directories(config.File("ostrel"));
        WriteAll(config.File("ostrel/Test Message.Flg"), " ");
        WriteAll(config.File("ostrel/OSTREL.INI"),
                 "[General]\r\nEmail=ann@example.org\r\nNewsLetterRequest=1\r\nTipEnabled=0\r\n[Servers]\r\n"
                 "SMTP=127.0.0.1:9\r\n[Mailbox]\r\n" +
                     mailbox);
    }

    ostrel::test::TProgramRun Run(const std::string& password = TDovecotPeer::Password) {
        return ostrel::test::RunProgram({std::string(OSTREL_BIN_DIR) + "/ostrel-cli", "fetch"},
                                        {"XDG_CONFIG_HOME=" + config.Path(), "OSTREL_HOME=" + home.Path(),
                                         "XDG_RUNTIME_DIR=" + runtime.Path(), "HOME=" + config.Path(),
                                         "PATH=/usr/bin:/bin",
                                         "SSL_CERT_FILE=" + ostrel::test::SharedTestCertificates().CaFile(),
                                         "OSTREL_MAILBOX_PASSWORD=" + password});
    }
};

} // namespace

TEST_F(CliFetchTest, ImapOverTlsSavesEachReplyOnceDecodedAndLeavesOtherMailAlone) {
    TDovecotPeer dovecot;
    const std::string reply = dovecot.Deliver(PageReply("r1"));
    const std::string other = dovecot.Deliver(kPrivate);
    Setup("Protocol=IMAP\r\nServer=localhost:" + std::to_string(dovecot.ImapsPort()) +
          "\r\nSecurity=TLS\r\nUser=reader\r\n");

    const auto first = Run();
    ASSERT_EQ(first.Status, 0) << first.Out << first.Err;
    const std::string saved = home.File("downloads/example.com_news.html");
    EXPECT_EQ(first.Out, "saved: " + saved + "\n");
    // Decoded; a page keeps its bytes and says their charset, which the mail header alone told.
    EXPECT_EQ(ReadAll(saved), "<meta charset=\"iso-8859-1\">\r\n<html>Caf\xE9 news</html>\r\n");
    EXPECT_EQ(dovecot.Flags(reply), "");
    EXPECT_EQ(dovecot.Flags(other), "") << "the private mail is neither read nor marked";
    EXPECT_NE(ReadAll(home.File("Replies.Dat")).find("arrived"), std::string::npos);

    // Nothing new: nothing saved, and the mailbox was read all the same.
    const auto second = Run();
    EXPECT_EQ(second.Status, 0) << second.Err;
    EXPECT_EQ(second.Out, "");
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(home.File("downloads")))
        ++files;
    EXPECT_EQ(files, 1u);

    // A second reply of the same name never replaces the first.
    dovecot.Deliver(PageReply("r2"));
    const auto third = Run();
    EXPECT_EQ(third.Status, 0) << third.Err;
    EXPECT_EQ(third.Out, "saved: " + home.File("downloads/example.com_news (1).html") + "\n");
    EXPECT_EQ(ReadAll(saved), "<meta charset=\"iso-8859-1\">\r\n<html>Caf\xE9 news</html>\r\n");
}

TEST_F(CliFetchTest, Pop3WithDeleteRemovesTheSavedReplyOnly) {
    TDovecotPeer dovecot;
    const std::string reply = dovecot.Deliver(PageReply("r1"));
    const std::string other = dovecot.Deliver(kPrivate);
    Setup("Protocol=POP3\r\nServer=localhost:" + std::to_string(dovecot.Pop3sPort()) +
          "\r\nSecurity=TLS\r\nUser=reader\r\nDelete=1\r\n");
    const auto run = Run();
    ASSERT_EQ(run.Status, 0) << run.Out << run.Err;
    EXPECT_EQ(run.Out, "saved: " + home.File("downloads/example.com_news.html") + "\n");
    EXPECT_EQ(dovecot.Flags(reply), "(gone)");
    EXPECT_EQ(dovecot.Flags(other), "");
    EXPECT_EQ(Run().Out, "");
}

TEST_F(CliFetchTest, FailuresSayWhichAndSaveNothing) {
    TDovecotPeer dovecot;
    dovecot.Deliver(PageReply("r1"));
    Setup("Protocol=IMAP\r\nServer=localhost:" + std::to_string(dovecot.ImapPort()) +
          "\r\nSecurity=STARTTLS\r\nUser=reader\r\n");
    const auto refused = Run("not the password");
    EXPECT_EQ(refused.Status, 1);
    EXPECT_EQ(refused.Out, "");
    EXPECT_NE(refused.Err.find("password"), std::string::npos) << refused.Err;
    EXPECT_EQ(refused.Err.find("not the password"), std::string::npos) << "no secret in a message";

    TDovecotPeer foreign("wronghost");
    foreign.Deliver(PageReply("r1"));
    Setup("Protocol=IMAP\r\nServer=localhost:" + std::to_string(foreign.ImapsPort()) +
          "\r\nSecurity=TLS\r\nUser=reader\r\n");
    const auto certificate = Run();
    EXPECT_EQ(certificate.Status, 1);
    EXPECT_NE(certificate.Err.find("TrustedCert=" + ostrel::test::SharedTestCertificates().Fingerprint("wronghost")),
              std::string::npos)
        << certificate.Err;
    EXPECT_EQ(foreign.Log().find("user=<reader>"), std::string::npos) << "no log-in was sent";
    EXPECT_FALSE(fs::exists(home.File("downloads/example.com_news.html")));

    Setup("Protocol=None\r\n");
    const auto none = Run();
    EXPECT_EQ(none.Status, 1);
    EXPECT_NE(none.Err.find("no mailbox is set up"), std::string::npos) << none.Err;
}
