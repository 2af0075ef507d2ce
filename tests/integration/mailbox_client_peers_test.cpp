// The mailbox client against a real Dovecot: IMAP and POP3, STARTTLS and TLS, with
// certificates that openssl makes for the test.

#include <string>

#include <gtest/gtest.h>

#include "net/certificate.h"
#include "net/mailbox_client.h"
#include "platform/fake_desktop.h"
#include "support/certificates.h"
#include "support/dovecot.h"

using namespace ostrel;
using ostrel::test::TDovecotPeer;
using ostrel::test::TTrustOnly;

namespace {

const std::string kMail = "From: getweb@example.org\r\nTo: ann@example.org\r\nSubject: page\r\n"
                          "Message-ID: <1@example.org>\r\n\r\n<html>hello</html>\r\n";

TMailboxAccount Account(TMailProtocol protocol, TMailboxSecurity security, std::uint16_t port) {
    TMailboxAccount a;
    a.Protocol = protocol;
    a.Security = security;
    a.Server = "localhost:" + std::to_string(port);
    a.User = TDovecotPeer::User;
    a.Password = TDovecotPeer::Password;
    a.TimeOut = 10;
    return a;
}

struct MailboxClient : ::testing::Test {
    TTrustOnly Trust{ostrel::test::SharedTestCertificates().CaFile()};
    FakeDesktop Desktop;
};

TEST_F(MailboxClient, ImapOverStartTlsListsHeadersAndReadsWithoutMarking) {
    TDovecotPeer dovecot;
    const std::string first = dovecot.Deliver(kMail);
    dovecot.Deliver("From: someone@example.net\r\nSubject: other\r\n\r\nprivate\r\n");
    TMailboxClient client(Desktop, Account(TMailProtocol::IMAP, TMailboxSecurity::STARTTLS, dovecot.ImapPort()));
    client.Open();
    EXPECT_NE(client.UidValidity(), 0u);
    auto mails = client.List(1);
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_NE(mails[0].Headers.find("Subject: page"), std::string::npos);
    EXPECT_EQ(mails[0].Headers.find("<html>"), std::string::npos) << "only the header fields are read";
    EXPECT_EQ(client.Fetch(mails[0]), kMail);
    // A listing from beyond the last UID names no mail.
    EXPECT_TRUE(client.List(mails[1].Uid + 1).empty());
    EXPECT_TRUE(client.Close());
    EXPECT_EQ(dovecot.Flags(first), "") << "read with BODY.PEEK from a read-only folder";
    EXPECT_GT(Desktop.PumpCount, 0) << "the waits pump the desktop";
}

TEST_F(MailboxClient, ImapOverTlsDeletesOnlyTheMailNamed) {
    TDovecotPeer dovecot;
    const std::string reply = dovecot.Deliver(kMail);
    const std::string other = dovecot.Deliver("From: someone@example.net\r\nSubject: other\r\n\r\nprivate\r\n");
    auto account = Account(TMailProtocol::IMAP, TMailboxSecurity::TLS, dovecot.ImapsPort());
    account.WillDelete = true;
    TMailboxClient client(Desktop, account);
    client.Open();
    auto mails = client.List(1);
    ASSERT_EQ(mails.size(), 2u);
    client.Delete(mails[0]);
    client.Close();
    EXPECT_EQ(dovecot.Flags(reply), "(gone)");
    EXPECT_EQ(dovecot.Flags(other), "");
}

TEST_F(MailboxClient, Pop3OverTlsListsUidlsHeadersAndMails) {
    TDovecotPeer dovecot;
    dovecot.Deliver(kMail);
    dovecot.Deliver("From: someone@example.net\r\nSubject: other\r\n\r\n.starts with a dot\r\n");
    TMailboxClient client(Desktop, Account(TMailProtocol::POP3, TMailboxSecurity::TLS, dovecot.Pop3sPort()));
    client.Open();
    auto mails = client.List(0);
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_FALSE(mails[0].Key.empty());
    EXPECT_NE(mails[0].Key, mails[1].Key);
    client.ReadHeaders({&mails[0], &mails[1]});
    EXPECT_NE(mails[1].Headers.find("Subject: other"), std::string::npos);
    EXPECT_EQ(mails[1].Headers.find(".starts"), std::string::npos);
    EXPECT_EQ(client.Fetch(mails[1]), "From: someone@example.net\r\nSubject: other\r\n\r\n.starts with a dot\r\n");
    EXPECT_TRUE(client.Close());
}

TEST_F(MailboxClient, RefusedLogInAndForeignCertificatesSendNothingFurther) {
    TDovecotPeer dovecot;
    auto wrong = Account(TMailProtocol::IMAP, TMailboxSecurity::TLS, dovecot.ImapsPort());
    wrong.Password = "not it";
    TMailboxClient refused(Desktop, wrong);
    try {
        refused.Open();
        FAIL() << "a wrong password was taken";
    } catch (const ELoginRefused& e) {
        EXPECT_NE(std::string(e.what()).find("log-in"), std::string::npos) << e.what();
    }

    TDovecotPeer foreign("wronghost");
    for (auto [security, port] : {std::pair{TMailboxSecurity::TLS, foreign.ImapsPort()},
                                  std::pair{TMailboxSecurity::STARTTLS, foreign.ImapPort()}}) {
        TMailboxClient client(Desktop, Account(TMailProtocol::IMAP, security, port));
        EXPECT_THROW(client.Open(), ECertificateError);
        ASSERT_NE(client.RefusedCertificate(), nullptr);
        EXPECT_EQ(client.RefusedCertificate()->Fingerprint(),
                  ostrel::test::SharedTestCertificates().Fingerprint("wronghost"));
    }
    EXPECT_EQ(foreign.Log().find("user=<reader>"), std::string::npos) << "no log-in reached the server";
    // The user may trust that one certificate.
    auto trusted = Account(TMailProtocol::POP3, TMailboxSecurity::TLS, foreign.Pop3sPort());
    trusted.TrustedCert = ostrel::test::SharedTestCertificates().Fingerprint("wronghost");
    TMailboxClient client(Desktop, trusted);
    EXPECT_NO_THROW(client.Open());
    client.Close();
}

TEST_F(MailboxClient, NoPasswordInClearToAnotherMachine) {
    auto account = Account(TMailProtocol::IMAP, TMailboxSecurity::None, 143);
    account.Server = "192.0.2.1";
    TMailboxClient client(Desktop, account);
    try {
        client.Open();
        FAIL();
    } catch (const ESocketError& e) {
        EXPECT_EQ(std::string(e.what()), SMailboxPasswordNeedsTls);
    }
}

} // namespace
