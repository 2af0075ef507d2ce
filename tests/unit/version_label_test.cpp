#include "util/version_label.h"

#include <gtest/gtest.h>

#include "forms/form.h"
#include "ostrel_version.h"
#include "support/test_support.h"
#include "util/program_state.h"

namespace ostrel {
namespace {

class TLabelHost : public TForm {
public:
    TLabelHost() : TForm("frmHost"), VersionLabel1(Make<TVersionLabel>("VersionLabel1", this)) {}
    TVersionLabel& VersionLabel1;
};

TEST(VersionLabel, ShowsTheCompiledInFileVersionByDefault) {
    test::ProgramFolder folder;
    TLabelHost host;
    auto& l = host.VersionLabel1;
    EXPECT_EQ(l.VersionResource(), vrFileVersion);
    EXPECT_EQ(l.LangCharset(), "080904E4");
    EXPECT_FALSE(l.WordWrap);
    EXPECT_TRUE(l.AutoSize);
    EXPECT_EQ(l.Caption(), std::string("File Version: ") + OSTREL_VERSION);
    EXPECT_EQ(l.GetInfo(), l.Caption());
}

TEST(VersionLabel, PropertyChangesRefreshTheText) {
    test::ProgramFolder folder;
    TLabelHost host;
    auto& l = host.VersionLabel1;

    l.SetVersionResource(vrProductName);
    EXPECT_EQ(l.VersionResourceKey(), "ProductName");
    EXPECT_EQ(l.InfoPrefix(), "Product Name:");
    EXPECT_EQ(l.Caption(), "Product Name: Ostrel");

    l.SetShowInfoPrefix(false);
    EXPECT_EQ(l.Caption(), "Ostrel");

    l.SetShowInfoPrefix(true);
    l.SetVersionResourceKey("ProductVersion");
    EXPECT_EQ(l.InfoPrefix(), "ProductVersion");
    EXPECT_EQ(l.Caption(), std::string("ProductVersion ") + OSTREL_VERSION);

    l.SetInfoPrefix("Ostrel, mail-only web access. Version:");
    EXPECT_EQ(l.Caption(), std::string("Ostrel, mail-only web access. Version: ") + OSTREL_VERSION);
}

TEST(VersionLabel, ErrorTextsInsteadOfFailures) {
    test::ProgramFolder folder;
    test::TempDir dir;
    test::WriteAll(dir.File("other.bin"), "not a program");
    TLabelHost host;
    auto& l = host.VersionLabel1;
    l.SetShowInfoPrefix(false);

    EXPECT_EQ(l.GetInfoGeneral(dir.File("other.bin"), "080904E4"), "< No Data Available >");
    EXPECT_EQ(l.GetInfoGeneral(dir.File("missing.bin"), "080904E4"), "< No Data Available >");
    EXPECT_EQ(l.GetInfoGeneral("", "080904E4"), "< No Data Available >");

    const std::string self = RunningProgramPath();
    EXPECT_EQ(l.GetInfoGeneral(self, "040904B0"), "Error retrieving version info");
    EXPECT_EQ(l.GetInfoGeneral(self, "080904e4"), OSTREL_VERSION);

    l.SetVersionResourceKey("SpecialBuild");
    EXPECT_EQ(l.Caption(), "Error retrieving version info");
    l.SetVersionResource(vrComments);
    EXPECT_EQ(l.Caption(), "No Version Info");

    l.SetShowInfoPrefix(true);
    l.SetVersionResource(vrFileVersion);
    l.SetLangCharset("040904B0");
    EXPECT_EQ(l.Caption(), "File Version: Error retrieving version info");
}

TEST(VersionLabel, TheProgramPathTheShellGaveCountsAsTheRunningProgram) {
    test::ProgramFolder folder;
    ProgramState().ExePath = folder.File("ostrel");
    TLabelHost host;
    EXPECT_EQ(host.VersionLabel1.GetInfoGeneral(folder.File("ostrel"), "080904E4"),
              std::string("File Version: ") + OSTREL_VERSION);
    // The running test program itself is still known by its real file.
    EXPECT_EQ(host.VersionLabel1.GetInfoGeneral("/proc/self/exe", "080904E4"),
              std::string("File Version: ") + OSTREL_VERSION);
}

} // namespace
} // namespace ostrel
