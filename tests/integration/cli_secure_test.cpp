// ostrel-cli login, check and send against aiosmtpd demanding STARTTLS and AUTH, with the test
// CA trusted through SSL_CERT_FILE and no keyring (the password goes to the private file).

#include <filesystem>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/certificates.h"
#include "support/peers.h"
#include "support/run_program.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using ostrel::test::ReadAll;
using ostrel::test::TAiosmtpdOptions;
using ostrel::test::TAiosmtpdPeer;
using ostrel::test::TempDir;
using ostrel::test::TTestCertificates;
using ostrel::test::WriteAll;

namespace {

const TTestCertificates& Certificates() {
    return ostrel::test::SharedTestCertificates();
}

class CliSecureTest : public ::testing::Test {
protected:
    TempDir home, config, runtime;
    TAiosmtpdPeer peer{[] {
        TAiosmtpdOptions o;
        o.Security = TAiosmtpdOptions::TSecurity::StartTls;
        o.CertFile = Certificates().Cert("good");
        o.KeyFile = Certificates().Key("good");
        o.User = "ann@example.org";
        o.Password = "open sesame";
        return o;
    }()};

    void SetUp() override {
        for (const char* name : {"uservers.da2", "nbinary.ext", "unbinary.txt", "getweb_page.tpl", "Suggest.Ini"})
            fs::copy_file(std::string(OSTREL_BIN_DIR) + "/" + name, home.File(name));
        WriteAll(home.File("Suggest.Ini"), ReadAll(home.File("Suggest.Ini")) + "\r\nUsed=1\r\n");
        fs::create_directories(config.File("ostrel"));
        WriteAll(config.File("ostrel/Test Message.Flg"), " ");
        WriteAll(config.File("ostrel/OSTREL.INI"),
                 "[General]\r\nEmail=ann@example.org\r\nNewsLetterRequest=1\r\nTipEnabled=0\r\n[Servers]\r\nSMTP=" +
                     peer.Server() +
                     "\r\nSMTPSecurity=STARTTLS\r\nSMTPUser=ann@example.org\r\nHTTPPages=www4mail@example.org\r\n");
    }

    ostrel::test::TProgramRun Run(const std::vector<std::string>& args, const std::string& input = "") {
        std::vector<std::string> argv{std::string(OSTREL_BIN_DIR) + "/ostrel-cli"};
        argv.insert(argv.end(), args.begin(), args.end());
        return ostrel::test::RunProgram(argv,
                                        {"XDG_CONFIG_HOME=" + config.Path(), "OSTREL_HOME=" + home.Path(),
                                         "XDG_RUNTIME_DIR=" + runtime.Path(), "HOME=" + config.Path(),
                                         "PATH=/usr/bin:/bin", "SSL_CERT_FILE=" + Certificates().CaFile()},
                                        input);
    }
};

} // namespace

TEST_F(CliSecureTest, LoginKeepsThePasswordPrivatelyAndCheckWalksEveryStep) {
    auto login = Run({"login", "--password-stdin"}, "open sesame\n");
    ASSERT_EQ(login.Status, 0) << login.Err;
    const std::string file = config.File("ostrel/smtp.password");
    EXPECT_EQ(login.Out, "The password is kept in " + file + ".\n");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadAll(config.File("ostrel/OSTREL.INI")).find("sesame"), std::string::npos);

    const auto check = Run({"check"});
    EXPECT_EQ(check.Status, 0) << check.Out << check.Err;
    for (const char* step : {"STARTTLS: 220", "AUTH PLAIN: 235", "QUIT: 221", "Every step worked"})
        EXPECT_NE(check.Out.find(step), std::string::npos) << step << " in\n" << check.Out;
    EXPECT_TRUE(peer.Mails().empty());

    ASSERT_EQ(Run({"login", "--password-stdin"}, "wrong\n").Status, 0);
    const auto refused = Run({"check"});
    EXPECT_EQ(refused.Status, 1);
    EXPECT_NE(refused.Out.find("Failed: The server refused the user name or password"), std::string::npos)
        << refused.Out;

    // The password file opened to others is refused with the fix, not used.
    ::chmod(file.c_str(), 0644);
    const auto open = Run({"check"});
    EXPECT_EQ(open.Status, 1);
    EXPECT_NE(open.Out.find("chmod 600"), std::string::npos) << open.Out;
}

TEST_F(CliSecureTest, SendExitsZeroWhenSentAndOneWhenTheLogInFailsAndTheRequestIsQueued) {
    ASSERT_EQ(Run({"login", "--password-stdin"}, "open sesame\n").Status, 0);
    const auto sent = Run({"send", "http://example.com/a.html"});
    EXPECT_EQ(sent.Status, 0) << sent.Out << sent.Err;
    EXPECT_TRUE(peer.WaitForMails(1, std::chrono::seconds(10)));

    ASSERT_EQ(Run({"login", "--password-stdin"}, "wrong\n").Status, 0);
    const auto failed = Run({"send", "http://example.com/b.html"});
    EXPECT_EQ(failed.Status, 1);
    EXPECT_NE(failed.Out.find("The server refused the user name or password"), std::string::npos) << failed.Out;
    EXPECT_NE(failed.Out.find("; queued"), std::string::npos) << failed.Out;
    EXPECT_NE(ReadAll(home.File("Queue.Dat")).find("http://example.com/b.html"), std::string::npos);
    EXPECT_EQ(Run({"send"}).Status, 2);
}
