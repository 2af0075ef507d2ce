#include "shell/autostart.h"

#include <cstdlib>
#include <gtest/gtest.h>

#include "ostrel_version.h"
#include "support/program_under_test.h"
#include "util/error.h"
#include "util/file_io.h"

using namespace ostrel;

namespace {
struct Program : test::TProgramUnderTest {
    Program() { Start("127.0.0.1:9"); }
    void OpenPreferences() {
        f().PageControl1.UserSelect(&f().TabSheet4);
        f().PageControl1.UserSelect(&f().TabSheet6);
    }
    std::string Entry() const { return test::ReadAll(AutostartFileName()); }
};
} // namespace

TEST(Autostart, TheCheckBoxWritesTheEntryAndShowsWhatIsThereWhenThePageOpens) {
    Program p;
    p.OpenPreferences();
    EXPECT_FALSE(p.f().chkAutostart.Checked());
    EXPECT_EQ(AutostartFileName(), p.folder.Path() + "config/autostart/" OSTREL_APP_ID ".desktop");

    p.f().chkAutostart.Click();
    ASSERT_TRUE(FileExists(AutostartFileName()));
    const std::string entry = p.Entry();
    EXPECT_NE(entry.find("\nExec=" + p.folder.Path() + "ostrel\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos);

    // Another tool switches it off, or removes it: the page tells the truth when it opens again.
    test::WriteAll(AutostartFileName(), entry + "Hidden=true\n");
    p.OpenPreferences();
    EXPECT_FALSE(p.f().chkAutostart.Checked());
    p.f().chkAutostart.Click(); // on again: the entry is written anew
    EXPECT_EQ(p.Entry(), entry);
    p.OpenPreferences();
    EXPECT_TRUE(p.f().chkAutostart.Checked());

    p.f().chkAutostart.Click();
    EXPECT_FALSE(FileExists(AutostartFileName()));
    EXPECT_TRUE(p.desk.Dialogs.empty());
}

TEST(Autostart, AnEntryThatCannotBeWrittenIsReportedAndTheBoxStaysClear) {
    Program p;
    // The settings folder's parent is a regular file: no folder can be made below it (root too).
    test::WriteAll(p.folder.File("plainfile"), "x");
    ::setenv("XDG_CONFIG_HOME", p.folder.File("plainfile/config").c_str(), 1);
    p.OpenPreferences();
    p.f().chkAutostart.Click();
    ASSERT_EQ(p.desk.Dialogs.size(), 1u);
    EXPECT_NE(p.desk.Dialogs[0].Text.find("chkAutostartClick"), std::string::npos);
    EXPECT_FALSE(p.f().chkAutostart.Checked());
}

TEST(Autostart, ExecQuotesPathsTheDesktopWouldSplitOrExpand) {
    EXPECT_EQ(DesktopExecArgument("/usr/bin/ostrel"), "/usr/bin/ostrel");
    EXPECT_EQ(DesktopExecArgument("/opt/My Apps/ostrel"), "\"/opt/My Apps/ostrel\"");
    EXPECT_EQ(DesktopExecArgument("/opt/100%/ostrel"), "/opt/100%%/ostrel");
    // Inside quotes a backslash escapes $ and the backslash itself; the key file doubles it again.
    EXPECT_EQ(DesktopExecArgument("/opt/$x\\y/ostrel"), "\"/opt/\\\\$x\\\\\\\\y/ostrel\"");
    EXPECT_THROW(SetAutostart(true, "/opt/a\nb/ostrel"), EInOutError);
}
