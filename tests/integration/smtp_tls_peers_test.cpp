// The secure dialogue against a real server: aiosmtpd demanding STARTTLS and AUTH, or speaking
// TLS from the first byte, with certificates that openssl makes for the test.

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mime/message.h"
#include "net/certificate.h"
#include "net/smtp.h"
#include "platform/fake_desktop.h"
#include "support/certificates.h"
#include "support/peers.h"
#include "util/error.h"

using namespace ostrel;
using ostrel::test::TAiosmtpdOptions;
using ostrel::test::TAiosmtpdPeer;
using ostrel::test::TTestCertificates;
using ostrel::test::TTrustOnly;

namespace {

using TSecurity = TAiosmtpdOptions::TSecurity;

const TTestCertificates& Certificates() {
    return ostrel::test::SharedTestCertificates();
}

TAiosmtpdOptions Options(TSecurity security, const std::string& certificate = "good") {
    TAiosmtpdOptions options;
    options.Security = security;
    options.CertFile = Certificates().Cert(certificate);
    options.KeyFile = Certificates().Key(certificate);
    options.User = "ann@example.org";
    options.Password = "c0rrect horse";
    return options;
}

struct TClient {
    TTrustOnly Trust{Certificates().CaFile()};
    FakeDesktop Desktop;
    TmsMessage Message;
    TmsSMTP Smtp{Desktop};

    TClient(const TAiosmtpdPeer& peer, TSmtpSecurity security) {
        Smtp.Server = peer.Server();
        Smtp.TimeOut = 10;
        Smtp.MailMessage = &Message;
        Smtp.Security = security;
        Smtp.UserName = "ann@example.org";
        Smtp.Password = "c0rrect horse";
        Smtp.LogFileName = "kept in memory only";
        Message.Sender.Address = "ann@example.org";
        Message.Recipients.Add("getweb@example.net", "");
        Message.Subject = "request";
        Message.Body = {"GET http://example.com/"};
    }
    ~TClient() { Smtp.LogFileName.clear(); }

    std::string SendFailure() {
        try {
            Smtp.Send();
        } catch (const EOstrelError& e) {
            return std::string(e.ClassName()) + ":" + e.what();
        }
        return "";
    }
    bool LogHoldsThePassword() const {
        for (const auto& line : Smtp.LogLines)
            if (line.find("c0rrect") != std::string::npos || line.find("AHBhc3") != std::string::npos ||
                line.find("YW5uQGV4YW1wbGUub3JnAGMwcnJlY3Qg") != std::string::npos)
                return true;
        return false;
    }
};

} // namespace

TEST(SmtpTlsPeers, StartTlsThenAuthDeliversAndKeepsThePasswordOutOfTheLog) {
    TAiosmtpdPeer peer(Options(TSecurity::StartTls));
    TClient client(peer, TSmtpSecurity::STARTTLS);
    ASSERT_EQ(client.SendFailure(), "");
    ASSERT_TRUE(peer.WaitForMails(1, std::chrono::seconds(10)));
    EXPECT_EQ(peer.Mails()[0].RcptTo, (std::vector<std::string>{"getweb@example.net"}));
    EXPECT_EQ(peer.Logins(), (std::vector<std::string>{"PLAIN ann@example.org ok"}));
    EXPECT_FALSE(client.LogHoldsThePassword());
    EXPECT_NE(std::find(client.Smtp.LogLines.begin(), client.Smtp.LogLines.end(), "STARTTLS"),
              client.Smtp.LogLines.end());
}

TEST(SmtpTlsPeers, TlsFromTheFirstByteDeliversAndAWrongPasswordIsNamed) {
    TAiosmtpdPeer peer(Options(TSecurity::Tls));
    {
        TClient client(peer, TSmtpSecurity::TLS);
        ASSERT_EQ(client.SendFailure(), "");
        ASSERT_TRUE(peer.WaitForMails(1, std::chrono::seconds(10)));
    }
    TClient wrong(peer, TSmtpSecurity::TLS);
    wrong.Smtp.Password = "guess";
    const std::string failure = wrong.SendFailure();
    EXPECT_EQ(failure.rfind(std::string("ESocketError:") + SBadCredentials, 0), 0u) << failure;
    EXPECT_EQ(peer.Mails().size(), 1u);
}

TEST(SmtpTlsPeers, PlainClientMeetsAServerThatWantsStartTls) {
    TAiosmtpdPeer peer(Options(TSecurity::StartTls));
    TClient client(peer, TSmtpSecurity::None);
    client.Smtp.UserName.clear();
    const std::string failure = client.SendFailure();
    EXPECT_EQ(failure.rfind(std::string("ESocketError:") + SStartTlsWanted, 0), 0u) << failure;
    EXPECT_TRUE(peer.Mails().empty());
}

TEST(SmtpTlsPeers, UntrustedCertificatesAreRefusedByReasonAndTheUsersChoiceIsHonoured) {
    struct TCase {
        std::string Certificate;
        std::string Reason;
    };
    const std::vector<TCase> cases = {
        {"expired", "it expired on 2021-01-01"},
        {"wronghost", "it is for mail.example.org, not for 127.0.0.1"},
        {"selfsigned", "it is self-signed"},
        {"unknown", "it was issued by an unknown authority (Unknown Test CA)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Certificate);
        TAiosmtpdPeer peer(Options(TSecurity::Tls, c.Certificate));
        const std::string fingerprint = Certificates().Fingerprint(c.Certificate);
        {
            TClient client(peer, TSmtpSecurity::TLS);
            try {
                client.Smtp.Send();
                ADD_FAILURE() << "sent over an untrusted certificate";
            } catch (const ECertificateError& e) {
                EXPECT_EQ(e.Fingerprint(), fingerprint);
                const std::string message = e.what();
                EXPECT_NE(message.find(c.Reason), std::string::npos) << message;
                EXPECT_NE(message.find(fingerprint), std::string::npos) << message;
            }
            EXPECT_FALSE(client.Smtp.Connected());
        }
        EXPECT_TRUE(peer.Logins().empty()) << "credentials sent to an untrusted server";
        EXPECT_TRUE(peer.Mails().empty());

        // The user compared the fingerprint and trusts that one certificate, typed any way.
        TClient trusting(peer, TSmtpSecurity::TLS);
        std::string typed;
        for (char ch : fingerprint)
            if (ch != ':')
                typed += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        trusting.Smtp.TrustedCert = typed;
        EXPECT_EQ(trusting.SendFailure(), "");
        EXPECT_TRUE(peer.WaitForMails(1, std::chrono::seconds(10)));

        // Trust in one certificate is no trust in another.
        TClient other(peer, TSmtpSecurity::TLS);
        other.Smtp.TrustedCert = Certificates().Fingerprint("good");
        EXPECT_EQ(other.SendFailure().rfind("ECertificateError:", 0), 0u);
    }
}
