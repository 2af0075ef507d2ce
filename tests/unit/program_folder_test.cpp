#include "shell/program_folder.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

#include "support/test_support.h"
#include "util/error.h"

using namespace ostrel;
namespace fs = std::filesystem;

TEST(SeedProgramFolder, CopiesMissingDataButNeverUserFilesOrPrograms) {
    test::TempDir install, home;
    test::WriteAll(install.File("uservers.da2"), "delivered");
    test::WriteAll(install.File("tips.dat"), "0,tip");
    test::WriteAll(install.File("History.Dat"), "not yours");
    test::WriteAll(install.File("ostrel"), "binary");
    fs::permissions(install.File("ostrel"), fs::perms::owner_all);
    fs::create_directories(install.File("help"));
    test::WriteAll(install.File("help/index.html"), "<html>");
    test::WriteAll(home.File("tips.dat"), "0,the user's own");

    EXPECT_EQ(SeedProgramFolder(install.Path(), home.Path()), 2);
    EXPECT_EQ(test::ReadAll(home.File("uservers.da2")), "delivered");
    EXPECT_EQ(test::ReadAll(home.File("help/index.html")), "<html>");
    EXPECT_EQ(test::ReadAll(home.File("tips.dat")), "0,the user's own");
    EXPECT_FALSE(fs::exists(home.File("History.Dat")));
    EXPECT_FALSE(fs::exists(home.File("ostrel")));
    // The installation folder itself is left alone.
    EXPECT_EQ(SeedProgramFolder(install.Path(), install.Path()), 0);
    // A program folder inside the installation folder is not copied into itself.
    test::TempDir beside;
    test::WriteAll(beside.File("tips.dat"), "0,tip");
    fs::create_directories(beside.File("home"));
    EXPECT_EQ(SeedProgramFolder(beside.Path(), beside.File("home/")), 1);
    EXPECT_FALSE(fs::exists(beside.File("home/home")));
    EXPECT_EQ(test::ReadAll(beside.File("home/tips.dat")), "0,tip");
}

namespace {
// An installation under a temp folder: usr/bin/ostrel and usr/share/ostrel with the data.
struct Installation {
    test::TempDir root;
    std::string exe = root.File("usr/bin/ostrel");
    Installation() {
        fs::create_directories(root.File("usr/bin"));
        test::WriteAll(exe, "program");
        fs::create_directories(root.File("usr/share/ostrel/help"));
        test::WriteAll(root.File("usr/share/ostrel/uservers.da2"), "delivered");
        test::WriteAll(root.File("usr/share/ostrel/help/index.html"), "<html>");
    }
};

void SetEnv(const char* name, const std::string& value) {
    if (value.empty())
        ::unsetenv(name);
    else
        ::setenv(name, value.c_str(), 1);
}
} // namespace

TEST(SeedProgramFolder, ADiskThatFillsUpLeavesNoHalfFileAndTheNextStartCompletesTheFolder) {
    test::TempDir install, home;
    const std::string big = test::RandomBytes(100000, 5);
    test::WriteAll(install.File("uservers.da2"), big);
    test::WriteAll(install.File("tips.dat"), "0,tip");
    fs::create_directories(install.File("help"));
    test::WriteAll(install.File("help/a.html"), "<html>a");
    test::WriteAll(install.File("help/b.html"), big);
    {
        test::TFileSizeLimit full(50000);
        SeedProgramFolder(install.Path(), home.Path());
    }
    EXPECT_FALSE(fs::exists(home.File("uservers.da2")));
    EXPECT_FALSE(fs::exists(home.File("help/b.html")));
    EXPECT_EQ(test::ReadAll(home.File("tips.dat")), "0,tip");
    EXPECT_EQ(test::ReadAll(home.File("help/a.html")), "<html>a");

    SeedProgramFolder(install.Path(), home.Path());
    EXPECT_TRUE(test::ReadAll(home.File("uservers.da2")) == big);
    EXPECT_TRUE(test::ReadAll(home.File("help/b.html")) == big);
    for (const auto& e : fs::recursive_directory_iterator(home.Path()))
        EXPECT_NE(e.path().filename().string()[0], '.') << "left behind: " << e.path();
}

TEST(ProgramFolder, InstalledEachUserGetsASeededFolderOfTheirOwn) {
    Installation inst;
    test::TempDir alice, bob;
    SetEnv("OSTREL_HOME", "");
    EXPECT_TRUE(RunsInstalled(inst.exe));
    EXPECT_EQ(DeliveredDataFolder(inst.exe), inst.root.File("usr/share/ostrel/"));

    SetEnv("XDG_DATA_HOME", "");
    SetEnv("HOME", alice.Path());
    EXPECT_EQ(PrepareProgramFolder(inst.exe), alice.File(".local/share/ostrel/"));
    EXPECT_EQ(test::ReadAll(alice.File(".local/share/ostrel/help/index.html")), "<html>");
    test::WriteAll(alice.File(".local/share/ostrel/History.Dat"), "alice's");

    SetEnv("HOME", bob.Path());
    SetEnv("XDG_DATA_HOME", bob.File("data"));
    EXPECT_EQ(PrepareProgramFolder(inst.exe), bob.File("data/ostrel/"));
    EXPECT_FALSE(fs::exists(bob.File("data/ostrel/History.Dat")));
    EXPECT_EQ(test::ReadAll(bob.File("data/ostrel/uservers.da2")), "delivered");
    // A relative $XDG_DATA_HOME is not a place: the default under $HOME is used.
    SetEnv("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(ProgramFolderOf(inst.exe), bob.File(".local/share/ostrel/"));
    // $OSTREL_HOME still decides.
    SetEnv("OSTREL_HOME", alice.File("elsewhere"));
    EXPECT_EQ(ProgramFolderOf(inst.exe), alice.File("elsewhere/"));
    SetEnv("OSTREL_HOME", "");
}

TEST(ProgramFolder, TheBuildTreeKeepsItsDataBesideTheProgram) {
    test::TempDir build;
    test::WriteAll(build.File("uservers.da2"), "delivered");
    SetEnv("OSTREL_HOME", "");
    EXPECT_FALSE(RunsInstalled(build.File("ostrel")));
    EXPECT_EQ(DeliveredDataFolder(build.File("ostrel")), build.Path());
    EXPECT_EQ(PrepareProgramFolder(build.File("ostrel")), build.Path());
}

TEST(ProgramFolder, AFolderThatCannotBeMadeIsNamedWithTheWayOut) {
    Installation inst;
    test::TempDir home;
    test::WriteAll(home.File("plainfile"), "x");
    SetEnv("OSTREL_HOME", "");
    SetEnv("XDG_DATA_HOME", home.File("plainfile"));
    try {
        PrepareProgramFolder(inst.exe);
        ADD_FAILURE() << "a folder under a regular file was taken";
    } catch (const EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find(home.File("plainfile/ostrel/")), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("OSTREL_HOME"), std::string::npos) << e.what();
    }
}
