#include "platform/secrets.h"

#include <cstdlib>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/test_support.h"

using namespace ostrel;
using ostrel::test::ReadAll;
using ostrel::test::TempDir;
using ostrel::test::WriteAll;

namespace {

// Sets or clears an environment variable for the life of the object.
class TEnvVar {
public:
    TEnvVar(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~TEnvVar() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// No session bus: the keyring is out of the picture, whatever desktop runs the tests.
struct TNoKeyring {
    TEnvVar Bus{"DBUS_SESSION_BUS_ADDRESS", std::nullopt};
    TEnvVar Runtime{"XDG_RUNTIME_DIR", std::nullopt};
    TEnvVar Variable{"OSTREL_SMTP_PASSWORD", std::nullopt};
};

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
}

} // namespace

TEST(SecretFileTest, KeptPrivateReadBackAndReplacedWhole) {
    TNoKeyring none;
    TempDir dir;
    SystemSecrets secrets(dir.Path(), nullptr);
    const auto kept = secrets.Store("smtp", "s3cret pass");
    ASSERT_TRUE(kept.Ok) << kept.Error;
    EXPECT_EQ(kept.Place, TSecretPlace::File);
    EXPECT_EQ(kept.Where, dir.File("smtp.password"));
    EXPECT_EQ(ModeOf(dir.File("smtp.password")), 0600u);

    EXPECT_TRUE(secrets.Store("smtp", "second").Ok);
    EXPECT_EQ(ReadAll(dir.File("smtp.password")), "second\n");
    EXPECT_FALSE(std::ifstream(dir.File("smtp.password.new")).good()) << "temporary file left behind";
    const auto found = secrets.Lookup("smtp");
    EXPECT_TRUE(found.Ok);
    EXPECT_EQ(found.Value, "second");
    // Each account has its own place.
    EXPECT_FALSE(secrets.Lookup("mailbox").Ok);
    EXPECT_TRUE(secrets.Lookup("mailbox").Error.empty());
}

TEST(SecretFileTest, FileOthersCanReadIsRefusedWithTheFix) {
    TNoKeyring none;
    TempDir dir;
    const std::string path = dir.File("smtp.password");
    WriteAll(path, "leaked\n");
    ::chmod(path.c_str(), 0644);
    const auto found = SystemSecrets(dir.Path(), nullptr).Lookup("smtp");
    EXPECT_FALSE(found.Ok);
    EXPECT_TRUE(found.Value.empty());
    EXPECT_NE(found.Error.find("can be read by other users"), std::string::npos) << found.Error;
    EXPECT_NE(found.Error.find("chmod 600 '" + path + "'"), std::string::npos) << found.Error;
    EXPECT_EQ(found.Error.find("leaked"), std::string::npos) << "the password in a message";

    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(SystemSecrets(dir.Path(), nullptr).Lookup("smtp").Value, "leaked");
}

TEST(SecretFileTest, UnwritableFolderReportsAndKeepsNothingHalfWritten) {
    TNoKeyring none;
    TempDir dir;
    WriteAll(dir.File("plain"), "x");
    // A folder under a regular file: ENOTDIR, also for root.
    const auto kept = SystemSecrets(dir.File("plain"), nullptr).Store("smtp", "pw");
    EXPECT_FALSE(kept.Ok);
    EXPECT_NE(kept.Error.find(dir.File("plain/smtp.password")), std::string::npos) << kept.Error;
    EXPECT_EQ(kept.Error.find("pw\n"), std::string::npos);
    EXPECT_EQ(ReadAll(dir.File("plain")), "x");
}

TEST(SecretFileTest, EnvironmentComesFirstAndALinkIsNotFollowed) {
    TNoKeyring none;
    TempDir dir;
    WriteAll(dir.File("elsewhere"), "target\n");
    ::chmod(dir.File("elsewhere").c_str(), 0600);
    ASSERT_EQ(::symlink(dir.File("elsewhere").c_str(), dir.File("smtp.password").c_str()), 0);
    SystemSecrets secrets(dir.Path(), nullptr);
    EXPECT_FALSE(secrets.Lookup("smtp").Ok) << "a planted link was followed";

    TEnvVar variable("OSTREL_SMTP_PASSWORD", "from env");
    const auto found = secrets.Lookup("smtp");
    EXPECT_TRUE(found.Ok);
    EXPECT_EQ(found.Value, "from env");
    EXPECT_EQ(found.Place, TSecretPlace::Environment);
    EXPECT_EQ(found.Where, "the environment variable OSTREL_SMTP_PASSWORD");
    EXPECT_EQ(SecretVariableName("mailbox"), "OSTREL_MAILBOX_PASSWORD");
}
