#include "util/ini_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/test_support.h"
#include "util/error.h"

using namespace ostrel;
using ostrel::test::TempDir;
using ostrel::test::WriteAll;
using ostrel::test::ReadAll;

TEST(IniFile, ReadsWithProfileSemantics) {
    TempDir dir;
    WriteAll(dir.File("a.ini"), "[general]\r\n  EMAIL =  \"me@example.org\" \r\nemail=second\r\n"
                                "[Other]\nx=1\n[GENERAL]\nLate=yes\nquoted='single'\nhalf=\"open\n");
    TIniFile ini(dir.File("a.ini"));
    EXPECT_EQ(ini.ReadString("General", "Email", "d"), "me@example.org"); // first match, quotes and blanks gone
    EXPECT_EQ(ini.ReadString("General", "Late", "d"), "d");               // a repeated section is not read
    EXPECT_EQ(ini.ReadString("other", "X", "d"), "1");
    EXPECT_EQ(ini.ReadString("Missing", "x", "dflt"), "dflt");
    EXPECT_EQ(TIniFile(dir.File("none.ini")).ReadString("General", "Email", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"general", "Other"}));
}

TEST(IniFile, IntegersAcceptHexAndFallBackToTheDefault) {
    TempDir dir;
    WriteAll(dir.File("a.ini"), "[G]\na=0x3C\nb=$1f\nc=abc\nd=-3\ne=0x\nf=12abc\ng=99999999999\n");
    TIniFile ini(dir.File("a.ini"));
    EXPECT_EQ(ini.ReadInteger("G", "a", 7), 60);
    EXPECT_EQ(ini.ReadInteger("G", "b", 7), 31);
    EXPECT_EQ(ini.ReadInteger("G", "c", 7), 7);
    EXPECT_EQ(ini.ReadInteger("G", "d", 7), -3);
    EXPECT_EQ(ini.ReadInteger("G", "e", 7), 7);
    EXPECT_EQ(ini.ReadInteger("G", "f", 7), 7);
    EXPECT_EQ(ini.ReadInteger("G", "g", 7), 7);
    EXPECT_TRUE(ini.ReadBool("G", "d", false));
}

TEST(IniFile, LongValuesAreCutAndJunkNeverHangs) {
    TempDir dir;
    std::string junk = "[G]\nk=" + std::string(5000, 'v') + "\n";
    junk += std::string(10 * 1024 * 1024, 'x'); // a 10 MB line without "="
    junk += "\n[never closed\nk2=1\n\x01\x02\xff=\xfe\nnoequals\n";
    WriteAll(dir.File("a.ini"), junk);
    TIniFile ini(dir.File("a.ini"));
    EXPECT_EQ(ini.ReadString("G", "k", "").size(), 1023u);
    EXPECT_EQ(ini.ReadString("never closed", "k2", ""), "1");
    EXPECT_EQ(ini.ReadString("never closed", "noequals", "d"), "d");
}

TEST(IniFile, WritesReplaceInPlaceAndKeepTheRest) {
    TempDir dir;
    WriteAll(dir.File("a.ini"), "; kept\r\n[General]\r\nEmail=old\r\nOther=1\r\n\r\n[Servers]\r\nSMTP=x\r\n");
    TIniFile ini(dir.File("a.ini"));
    ini.WriteString("general", "EMAIL", "new@example.org");
    ini.WriteString("General", "Added", "2");
    ini.WriteString("Fresh", "k", "v");
    EXPECT_EQ(ReadAll(dir.File("a.ini")), "; kept\r\n[General]\r\nEMAIL=new@example.org\r\nOther=1\r\nAdded=2\r\n"
                                          "\r\n[Servers]\r\nSMTP=x\r\n[Fresh]\r\nk=v\r\n");
    EXPECT_EQ(ini.ReadString("General", "Email", ""), "new@example.org");
}

TEST(IniFile, AFailedWriteRaisesAndLeavesTheOldFile) {
    TempDir dir;
    WriteAll(dir.File("a.ini"), "[G]\nk=old\n");
    // A folder everyone may read but no one may write, tried by a user without privileges.
    ::chmod(dir.Path().c_str(), 0555);
    const int status = test::RunUnprivileged([&] {
        try {
            TIniFile(dir.File("a.ini")).WriteString("G", "k", "new");
            return 1;
        } catch (const EIniFileError&) {
            return 0;
        }
    });
    ::chmod(dir.Path().c_str(), 0700);
    EXPECT_EQ(status, 0) << "the write did not raise EIniFileError";
    EXPECT_EQ(ReadAll(dir.File("a.ini")), "[G]\nk=old\n");
}

TEST(IniFile, AWriteIntoAMissingFolderRaisesTheUserMessage) {
    TIniFile ini("/nonexistent-folder/OSTREL.INI");
    try {
        ini.WriteString("G", "k", "v");
        FAIL() << "no exception";
    } catch (const EIniFileError& e) {
        EXPECT_STREQ(e.what(), "Unable to write to /nonexistent-folder/OSTREL.INI");
    }
}

TEST(IniFileWrite, AValueTheFileHoldsAlreadyLeavesTheFileAlone) {
    // Start-up and Ok write keys that seldom change; each replacement would wait for the disk.
    test::TempDir dir;
    const std::string path = dir.File("OSTREL.INI");
    const TIniFile ini(path);
    ini.WriteString("General", "Email", "me@example.org");
    const struct timespec old[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    auto modified = [&] {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0);
        return st.st_mtim.tv_sec;
    };
    ini.WriteString("General", "Email", "me@example.org");
    EXPECT_EQ(modified(), 1000);
    ini.WriteString("General", "Email", "you@example.org");
    EXPECT_NE(modified(), 1000);
    EXPECT_EQ(ini.ReadString("General", "Email", ""), "you@example.org");
}
