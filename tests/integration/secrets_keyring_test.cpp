// The program's secrets against a real Secret Service: gnome-keyring-daemon on a private session
// bus made by dbus-run-session. The test runs itself again inside that session.

#include "platform/secrets.h"

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/run_program.h"
#include "support/test_support.h"

using namespace ostrel;
using ostrel::test::ReadAll;
using ostrel::test::RunProgram;
using ostrel::test::TempDir;
using ostrel::test::WriteAll;

namespace {

const char* const InsideVariable = "OSTREL_TEST_INSIDE_KEYRING_SESSION";

std::string SelfPath() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
}

bool Inside() {
    return std::getenv(InsideVariable) != nullptr;
}

// Runs the named test of this file inside a fresh session bus with an unlocked keyring in a
// home folder of its own; returns its output when it failed.
void RunInsideKeyringSession(const std::string& test) {
    for (const char* program : {"/usr/bin/dbus-run-session", "/usr/bin/gnome-keyring-daemon"})
        ASSERT_EQ(::access(program, X_OK), 0) << program
                                              << " not found: install the Debian packages dbus and "
                                                 "gnome-keyring";
    TempDir home;
    ::mkdir(home.File("run").c_str(), 0700);
    // The daemon makes and unlocks the login keyring with the password it reads, then forks
    // away; it ends with the session bus.
    const std::string script = "printf 'keyring-pw' | gnome-keyring-daemon --unlock --components=secrets >/dev/null "
                               "&& exec \"$0\" --gtest_filter=" +
                               test;
    const auto run = RunProgram({"/usr/bin/dbus-run-session", "--", "/bin/sh", "-c", script, SelfPath()},
                                {"PATH=/usr/bin:/bin", "HOME=" + home.Path(), "XDG_DATA_HOME=" + home.File("data"),
                                 "XDG_CONFIG_HOME=" + home.File("config"), "XDG_RUNTIME_DIR=" + home.File("run"),
                                 std::string(InsideVariable) + "=1"});
    EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
}

} // namespace

TEST(SecretServiceTest, PasswordGoesToTheKeyringNotToAFileAndComesBack) {
    if (!Inside())
        return RunInsideKeyringSession("SecretServiceTest.PasswordGoesToTheKeyringNotToAFileAndComesBack");
    ::unsetenv("OSTREL_SMTP_PASSWORD");
    TempDir settings;
    // A stale copy in the file must go when the keyring takes the password.
    WriteAll(settings.File("smtp.password"), "old\n");
    ::chmod(settings.File("smtp.password").c_str(), 0600);
    int pumps = 0;
    SystemSecrets secrets(settings.Path(), [&] { ++pumps; });
    const auto kept = secrets.Store("smtp", "p\xc3\xa4ss word");
    ASSERT_TRUE(kept.Ok) << kept.Error;
    EXPECT_EQ(kept.Place, TSecretPlace::Keyring);
    EXPECT_FALSE(std::ifstream(settings.File("smtp.password")).good()) << "the old password file is still there";

    const auto found = SystemSecrets(settings.Path(), nullptr).Lookup("smtp");
    EXPECT_TRUE(found.Ok) << found.Error;
    EXPECT_EQ(found.Value, "p\xc3\xa4ss word");
    EXPECT_EQ(found.Place, TSecretPlace::Keyring);
    // The mailbox account and another set of settings have passwords of their own.
    EXPECT_FALSE(secrets.Lookup("mailbox").Ok);
    TempDir other;
    EXPECT_FALSE(SystemSecrets(other.Path(), nullptr).Lookup("smtp").Ok);

    // Another program of the desktop sees it under the program's own attributes.
    const auto tool = RunProgram({"/usr/bin/secret-tool", "lookup", "account", "smtp", "settings", settings.Path()},
                                 {"DBUS_SESSION_BUS_ADDRESS=" + std::string(std::getenv("DBUS_SESSION_BUS_ADDRESS"))});
    EXPECT_EQ(tool.Out, "p\xc3\xa4ss word");
}

TEST(SecretServiceTest, UnreachableBusFallsBackToThePrivateFile) {
    if (Inside())
        return;
    const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string saved = old != nullptr ? old : "";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    ::unsetenv("OSTREL_SMTP_PASSWORD");
    TempDir settings;
    const auto kept = SystemSecrets(settings.Path(), nullptr).Store("smtp", "filed");
    const auto found = SystemSecrets(settings.Path(), nullptr).Lookup("smtp");
    if (old != nullptr)
        ::setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
    else
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ASSERT_TRUE(kept.Ok) << kept.Error;
    EXPECT_EQ(kept.Place, TSecretPlace::File);
    EXPECT_EQ(ReadAll(settings.File("smtp.password")), "filed\n");
    EXPECT_EQ(found.Value, "filed");
}
