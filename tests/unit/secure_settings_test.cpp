// The sending settings of My Details: security, user, the password kept out of OSTREL.INI.

#include <gtest/gtest.h>

#include "net/smtp.h"
#include "support/program_under_test.h"
#include "support/test_support.h"
#include "util/error.h"
#include "util/ini_file.h"
#include "util/program_state.h"

using namespace ostrel;

namespace {

std::string Ini(const std::string& section, const std::string& key) {
    return TIniFile(SettingsFileName()).ReadString(section, key, "<missing>");
}

} // namespace

TEST(SecureSettings, FirstRunPreselectsStartTls) {
    test::TProgramUnderTest p;
    p.desk.DefaultAnswer = IDNO;
    p.app = std::make_unique<TOstrelApp>(p.desk, p.folder.Path() + "ostrel", std::vector<std::string>{}, &p.secrets);
    p.app->FormCreate();
    EXPECT_EQ(p.f().cboSecurity.Text(), "STARTTLS");
    EXPECT_EQ(p.app->SMTP().TimeOut, 120);
}

TEST(SecureSettings, StoredSettingsWithoutTheKeyStayPlain) {
    test::TProgramUnderTest p;
    p.Start("mail.example.org");
    EXPECT_EQ(p.f().cboSecurity.Text(), "None") << "a missing key is None when a server is stored";
    EXPECT_EQ(SecurityIndexOf("tls", false), 2);
    EXPECT_EQ(SecurityIndexOf("ssl3", false), 1) << "an unknown word must not mean less protection";
}

TEST(SecureSettings, OkKeepsThePasswordInTheSecretsAndOnlyTheRestInTheFile) {
    test::TProgramUnderTest p;
    p.Start("smtp.example.org");
    auto& f = p.f();
    f.cboSecurity.SetItemIndex(2);
    f.txtUser.SetText("ann@example.org");
    f.txtPassword.SetText("hunter2");
    f.btnOk.Click();
    EXPECT_EQ(Ini("Servers", "SMTPSecurity"), "TLS");
    EXPECT_EQ(Ini("Servers", "SMTPUser"), "ann@example.org");
    EXPECT_EQ(p.folder.Read("config/ostrel/OSTREL.INI").find("hunter2"), std::string::npos);
    EXPECT_EQ(p.secrets.Kept["smtp"], "hunter2");
    EXPECT_EQ(f.txtPassword.Text(), "");
    EXPECT_EQ(f.lblPasswordWhere.Caption(), "The password is kept in the test keyring.");

    // The send takes the kept password and the page's choices.
    p.app->PrepareTransport();
    EXPECT_EQ(p.app->SMTP().Security, TSmtpSecurity::TLS);
    EXPECT_EQ(p.app->SMTP().Password, "hunter2");
}

TEST(SecureSettings, PasswordThatCannotBeKeptStaysInTheFieldAndMissingOneFailsTheSend) {
    test::TProgramUnderTest p;
    p.Start("smtp.example.org");
    auto& f = p.f();
    f.txtUser.SetText("ann");
    f.txtPassword.SetText("pw");
    p.secrets.FailWith = "the keyring is locked";
    f.btnOk.Click();
    EXPECT_EQ(f.txtPassword.Text(), "pw");
    ASSERT_FALSE(p.desk.Dialogs.empty());
    EXPECT_EQ(p.desk.Dialogs.back().Text, "The password was not kept: the keyring is locked");
    EXPECT_TRUE(f.Visible());

    p.secrets.FailWith.clear();
    f.txtPassword.SetText("");
    try {
        p.app->PrepareTransport();
        ADD_FAILURE() << "no password, yet ready to send";
    } catch (const ESocketError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "No password is kept for ann: enter it on My Details (or set OSTREL_SMTP_PASSWORD)");
    }
}
