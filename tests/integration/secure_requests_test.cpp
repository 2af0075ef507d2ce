// Requests of the whole program through servers that demand encryption and a log-in, and the
// transport faults that used to send a request twice.

#include <chrono>

#include <gtest/gtest.h>

#include "support/certificates.h"
#include "support/peers.h"
#include "support/program_under_test.h"
#include "util/ini_file.h"
#include "util/program_state.h"

using namespace ostrel;
using ostrel::test::TAiosmtpdOptions;
using ostrel::test::TAiosmtpdPeer;
using ostrel::test::TSmtpSinkPeer;
using ostrel::test::TTestCertificates;
using ostrel::test::TTrustOnly;

namespace {

const TTestCertificates& Certificates() {
    return ostrel::test::SharedTestCertificates();
}

TAiosmtpdOptions Options(TAiosmtpdOptions::TSecurity security, const std::string& certificate) {
    TAiosmtpdOptions options;
    options.Security = security;
    options.CertFile = Certificates().Cert(certificate);
    options.KeyFile = Certificates().Key(certificate);
    options.User = "ann@example.org";
    options.Password = "pw";
    return options;
}

struct TSecureProgram : test::TProgramUnderTest {
    TTrustOnly Trust{Certificates().CaFile()};
    TAiosmtpdPeer Peer;
    TSecureProgram(TAiosmtpdOptions::TSecurity security, const std::string& certificate, const std::string& name)
        : Peer(Options(security, certificate)) {
        secrets.Kept["smtp"] = "pw";
        Start(Peer.Server(), "", 10);
        f().cboSecurity.SetItemIndex(name == "TLS" ? 2 : 1);
        f().txtUser.SetText("ann@example.org");
    }
    std::string Reports() const {
        std::string all;
        for (const auto& d : desk.Dialogs)
            all += d.Text + "\n";
        return all;
    }
};

const char* const Url = "http://example.com/secure.html";

} // namespace

TEST(SecureRequests, CopiedUrlGoesOutOverStartTlsWithALogIn) {
    TSecureProgram p(TAiosmtpdOptions::TSecurity::StartTls, "good", "STARTTLS");
    p.desk.CopyFromOtherProgram(Url);
    // The request, then the one-time test message, each over a session of its own.
    ASSERT_TRUE(p.Peer.WaitForMails(2, std::chrono::seconds(10))) << p.Reports();
    EXPECT_EQ(p.Peer.Logins(), (std::vector<std::string>(2, "PLAIN ann@example.org ok")));
    EXPECT_EQ(p.f().lstHistory.Count(), 1);
    EXPECT_EQ(p.f().lstQueue.Count(), 0);
}

TEST(SecureRequests, RefusedCertificateIsAskedAboutAndAYesIsRemembered) {
    {
        TSecureProgram p(TAiosmtpdOptions::TSecurity::Tls, "selfsigned", "TLS");
        p.desk.Answers = {IDNO};
        p.desk.CopyFromOtherProgram(Url);
        EXPECT_TRUE(p.Peer.Mails().empty());
        EXPECT_TRUE(p.Peer.Logins().empty());
        EXPECT_EQ(p.f().lstQueue.Count(), 1) << "a refused send is queued as the settings say";
        const std::string reports = p.Reports();
        EXPECT_NE(reports.find("Trust this certificate for 127.0.0.1"), std::string::npos) << reports;
        EXPECT_NE(reports.find("Request Failed"), std::string::npos) << reports;
        EXPECT_NE(reports.find(Certificates().Fingerprint("selfsigned")), std::string::npos) << reports;
    }
    TSecureProgram p(TAiosmtpdOptions::TSecurity::Tls, "selfsigned", "TLS");
    p.desk.Answers = {IDYES};
    p.desk.CopyFromOtherProgram(Url);
    ASSERT_TRUE(p.Peer.WaitForMails(1, std::chrono::seconds(10))) << p.Reports();
    EXPECT_EQ(TIniFile(SettingsFileName()).ReadString("Servers", "SMTPTrustedCert", ""),
              Certificates().Fingerprint("selfsigned"));
    EXPECT_EQ(p.f().lstHistory.Count(), 1);
    EXPECT_EQ(p.f().lstQueue.Count(), 0);
}

TEST(SecureRequests, CheckReportsEveryStepAndSendsNoMail) {
    TSecureProgram p(TAiosmtpdOptions::TSecurity::StartTls, "good", "STARTTLS");
    p.f().btnCheck.Click();
    ASSERT_FALSE(p.desk.Dialogs.empty());
    const std::string report = p.desk.Dialogs.back().Text;
    for (const char* step : {"Connected to 127.0.0.1", "Greeting: 220", "EHLO: 250", "STARTTLS: 220",
                             "Encrypted with TLS", "AUTH PLAIN: 235", "QUIT: 221", "Every step worked"})
        EXPECT_NE(report.find(step), std::string::npos) << step << " in\n" << report;
    EXPECT_TRUE(p.Peer.Mails().empty());

    p.f().txtPassword.SetText("wrong");
    p.f().btnCheck.Click();
    EXPECT_NE(p.desk.Dialogs.back().Text.find("Failed: The server refused the user name or password"),
              std::string::npos)
        << p.desk.Dialogs.back().Text;
    EXPECT_EQ(p.secrets.Kept["smtp"], "pw") << "the check stored what it was given";
}

TEST(SecureRequests, ServerDroppingTheLineAfterQuitDoesNotMakeADuplicate) {
    TSmtpSinkPeer sink({"-q", "quit"});
    test::TProgramUnderTest p;
    p.Start(sink.Server(), "", 5);
    p.desk.CopyFromOtherProgram(Url);
    EXPECT_EQ(p.f().lstHistory.Count(), 1);
    EXPECT_EQ(p.f().lstQueue.Count(), 0) << "a delivered request was queued to go out again";
    for (const auto& d : p.desk.Dialogs)
        EXPECT_EQ(d.Text.find("Request Failed"), std::string::npos) << d.Text;
}

TEST(SecureRequests, QueueRunGoesOverOneSessionWithOneLogIn) {
    TSecureProgram p(TAiosmtpdOptions::TSecurity::StartTls, "good", "STARTTLS");
    for (const char* url : {"http://example.com/1.html", "http://example.com/2.html", "http://example.com/3.html"})
        p.f().lstQueue.AddItem(url);
    p.app->Dispatcher().btnSendClick();
    ASSERT_TRUE(p.Peer.WaitForMails(3, std::chrono::seconds(10))) << p.Reports();
    EXPECT_EQ(p.Peer.Logins().size(), 1u);
    EXPECT_EQ(p.f().lstQueue.Count(), 0);
    EXPECT_EQ(p.f().lstHistory.Count(), 3);
    EXPECT_FALSE(p.app->SMTP().Connected()) << "the session was left open after the run";
}
