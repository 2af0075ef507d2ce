#include "shell/program_folder.h"

#include <filesystem>
#include <gtest/gtest.h>

#include "support/test_support.h"

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
}
