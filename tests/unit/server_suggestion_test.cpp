#include "servers/server_suggestion.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "forms/controls.h"
#include "forms/form.h"
#include "platform/fake_desktop.h"
#include "servers/server_directory.h"
#include "support/server_controls.h"
#include "support/test_support.h"
#include "util/error.h"
#include "util/ini_file.h"
#include "util/program_state.h"

using namespace ostrel;

namespace {

const char* const Directory = "[page1@a]\r\nType=0\r\n[page2@a]\r\nType=0\r\n"
                              "[bin1@b]\r\nType=1\r\n[bin2@b]\r\nType=3\r\n"
                              "[ftp1@c]\r\nType=2\r\n[ftp2@c]\r\nType=2\r\n";

class ServerSuggestionTest : public ::testing::Test, protected test::TServerPage {
protected:
    test::ProgramFolder folder;
    FakeDesktop desktop;
    TServerDirectory directory{desktop, Controls()};
    // The tray icon's switches, in order, and whether it is shown now.
    std::vector<bool> traySwitches;
    bool trayShown = true;
    TServerSuggestion suggestion{desktop,
                                 [this](bool active) {
                                     traySwitches.push_back(active);
                                     trayShown = active;
                                 },
                                 nullptr};
    // Whether the icon was shown while each question was on screen.
    std::vector<bool> trayDuringQuestion;

    void SetUp() override {
        folder.Write("uservers.da2", Directory);
        directory.OnApplyServerSelections = [this](TServerDirectory& d) { suggestion.ApplyServerSelections(d); };
        desktop.OnDialog = [this](const FakeDesktop::TDialog&) { trayDuringQuestion.push_back(trayShown); };
    }
    void Suggest(const std::string& content) { folder.Write("Suggest.Ini", content); }
    void Settings(const std::string& servers) {
        folder.Write("config/ostrel/OSTREL.INI", "[General]\r\nEmail=me@example.org\r\n[Servers]\r\n" + servers);
    }
    TIniFile SettingsIni() const { return TIniFile(SettingsFileName()); }
    TIniFile SuggestIni() const { return TIniFile(LocalPath("Suggest.Ini")); }
    std::vector<std::string> Selected() const { return {ftps.Text(), binaries.Text(), pages.Text()}; }
    std::vector<std::string> LoggedStages() const {
        std::vector<std::string> out;
        const std::string log = folder.Read("DebugLog.Txt");
        for (size_t at = 0; (at = log.find(": LPS ", at)) != std::string::npos;) {
            at += 6;
            out.push_back(log.substr(at, log.find('\r', at) - at));
        }
        return out;
    }
};

std::string Question(const std::string& label, const std::string& current, const std::string& suggested) {
    return "The " + label + " is set to " + current + " but we believe " + suggested +
           " is better right now.\r\n\nPress Yes to accept this change. Press No to continue using " + current;
}

} // namespace

TEST_F(ServerSuggestionTest, FreshFileThatAgreesAsksNothingAndOnlyMarksItselfUsed) {
    Suggest("[Servers]\r\nFTP=ftp2@c\r\nHTTPBinary=bin2@b\r\nHTTPPages=page2@a\r\n");
    Settings("SMTP=mail.example.org\r\nFTP=ftp2@c\r\n"); // one role set, equal to the suggestion
    directory.LoadServerDirectory();

    EXPECT_TRUE(desktop.Dialogs.empty());
    EXPECT_EQ(Selected(), (std::vector<std::string>{"ftp2@c", "bin2@b", "page2@a"}));
    EXPECT_TRUE(SuggestIni().ReadBool("Servers", "Used", false));
    EXPECT_EQ(SuggestIni().ReadString("Servers", "Used", ""), "1");
    // Taken silently, so nothing was accepted by a question and the settings stay as they were.
    EXPECT_FALSE(suggestion.SuggestionAccepted());
    EXPECT_EQ(SettingsIni().ReadString("Servers", "HTTPPages", "<none>"), "<none>");
    EXPECT_EQ(traySwitches, (std::vector<bool>{false, true}));
    EXPECT_EQ(LoggedStages(), (std::vector<std::string>{"909159", "93900", "93900", "93900", "90978"}));

    // The next start finds the file used: no stage lines, no tray switching.
    traySwitches.clear();
    directory.LoadServerDirectory();
    EXPECT_TRUE(traySwitches.empty());
    EXPECT_EQ(LoggedStages().size(), 5u);
}

TEST_F(ServerSuggestionTest, EachDifferingRoleIsAskedInOrderAndAnyYesSavesAllThree) {
    Suggest("[Servers]\r\nFTP=ftp2@c\r\nHTTPBinary=bin2@b\r\nHTTPPages=page2@a\r\n");
    Settings("SMTP=mail.example.org\r\nFTP=ftp1@c\r\nHTTPBinary=bin1@b\r\nHTTPPages=page1@a\r\n");
    desktop.Answers = {IDNO, IDYES, IDNO};
    directory.LoadServerDirectory();

    ASSERT_EQ(desktop.Dialogs.size(), 3u);
    EXPECT_EQ(desktop.Dialogs[0].Text, Question("Ftp Server", "ftp1@c", "ftp2@c"));
    EXPECT_EQ(desktop.Dialogs[1].Text, Question("Http Binary Server", "bin1@b", "bin2@b"));
    EXPECT_EQ(desktop.Dialogs[2].Text, Question("Http Page Server", "page1@a", "page2@a"));
    for (const auto& d : desktop.Dialogs) {
        EXPECT_FALSE(d.IsMessageBox);
        EXPECT_EQ(d.Type, TMsgDlgType::mtInformation);
        EXPECT_EQ(d.Buttons, unsigned{mbYes | mbNo});
    }
    EXPECT_EQ(trayDuringQuestion, (std::vector<bool>{false, false, false}));
    EXPECT_TRUE(trayShown);

    EXPECT_EQ(Selected(), (std::vector<std::string>{"ftp1@c", "bin2@b", "page1@a"}));
    const auto ini = SettingsIni();
    EXPECT_EQ(ini.ReadString("Servers", "FTP", ""), "ftp1@c");
    EXPECT_EQ(ini.ReadString("Servers", "HTTPBinary", ""), "bin2@b");
    EXPECT_EQ(ini.ReadString("Servers", "HTTPPages", ""), "page1@a");
    EXPECT_EQ(ini.ReadString("Servers", "SMTP", ""), "mail.example.org");
}

TEST_F(ServerSuggestionTest, AllNoKeepsTheChoicesAndLeavesTheSettingsFileAlone) {
    Suggest("[Servers]\r\nUsed=0\r\nFTP=ftp2@c\r\nHTTPBinary=bin2@b\r\nHTTPPages=page2@a\r\n");
    Settings("FTP=ftp1@c\r\nHTTPBinary=bin1@b\r\nHTTPPages=page1@a\r\n");
    const std::string before = folder.Read("config/ostrel/OSTREL.INI");
    desktop.DefaultAnswer = IDNO;
    directory.LoadServerDirectory();
    EXPECT_EQ(desktop.Dialogs.size(), 3u);
    EXPECT_EQ(Selected(), (std::vector<std::string>{"ftp1@c", "bin1@b", "page1@a"}));
    EXPECT_EQ(folder.Read("config/ostrel/OSTREL.INI"), before);
    EXPECT_TRUE(SuggestIni().ReadBool("Servers", "Used", false));
}

TEST_F(ServerSuggestionTest, ARoleTheFileSuggestsNothingForIsNotAskedAbout) {
    // Asking to switch to no server at all ("we believe  is better") would drop the user's choice.
    Suggest("[Servers]\r\nHTTPPages=page1@a\r\n");
    Settings("FTP=ftp2@c\r\nHTTPBinary=bin2@b\r\nHTTPPages=page2@a\r\n");
    desktop.DefaultAnswer = IDYES;
    directory.LoadServerDirectory();
    ASSERT_EQ(desktop.Dialogs.size(), 1u);
    EXPECT_NE(desktop.Dialogs[0].Text.find("we believe page1@a is better"), std::string::npos);
    EXPECT_EQ(Selected(), (std::vector<std::string>{"ftp2@c", "bin2@b", "page1@a"}));
    EXPECT_EQ(SettingsIni().ReadString("Servers", "FTP", ""), "ftp2@c");
}

TEST_F(ServerSuggestionTest, UsedFileOnlySuppliesDefaults) {
    Suggest("[Servers]\r\nUsed=7\r\nFTP=ftp2@c\r\nHTTPBinary=unknown@x\r\nHTTPPages=page2@a\r\n");
    Settings("FTP=ftp1@c\r\n");
    directory.LoadServerDirectory();
    EXPECT_TRUE(desktop.Dialogs.empty());
    EXPECT_TRUE(traySwitches.empty());
    // The setting wins; a role without one takes the suggestion; one not listed gets the first.
    EXPECT_EQ(Selected(), (std::vector<std::string>{"ftp1@c", "bin1@b", "page2@a"}));
    EXPECT_TRUE(LoggedStages().empty());
    EXPECT_EQ(SettingsIni().ReadString("Servers", "HTTPPages", "<none>"), "<none>");
}

TEST_F(ServerSuggestionTest, MissingFileIsCreatedHoldingOnlyUsed) {
    directory.LoadServerDirectory();
    EXPECT_TRUE(desktop.Dialogs.empty());
    EXPECT_EQ(SuggestIni().ReadSection("Servers"), (std::vector<std::string>{"Used"}));
    EXPECT_TRUE(SuggestIni().ReadBool("Servers", "Used", false));
    EXPECT_EQ(Selected(), (std::vector<std::string>{"ftp1@c", "bin1@b", "page1@a"}));
}

TEST_F(ServerSuggestionTest, AnUnwritableSuggestionFileRaisesButBringsTheTrayIconBack) {
    // A folder where the file should be: it reads as missing and cannot be replaced.
    std::filesystem::create_directory(folder.File("Suggest.Ini"));
    EXPECT_THROW(directory.LoadServerDirectory(), EOstrelError);
    EXPECT_EQ(traySwitches, (std::vector<bool>{false, true}));
    EXPECT_TRUE(trayShown);
}

TEST(SuggestServer, OnlyADifferenceAsksAndTheComparisonKeepsCase) {
    test::ProgramFolder folder;
    FakeDesktop desktop;
    TForm form("frmQuestion");
    TServerSuggestion suggestion(desktop, nullptr, &form);
    EXPECT_EQ(suggestion.SuggestServer("a@x", "a@x", "Ftp Server"), "a@x");
    EXPECT_TRUE(desktop.Dialogs.empty());
    EXPECT_EQ(ProgramState().Stage, TServerSuggestion::SuggestStage);

    desktop.Answers = {IDNO, IDYES};
    EXPECT_EQ(suggestion.SuggestServer("a@x", "A@x", "Ftp Server"), "a@x");
    EXPECT_FALSE(suggestion.SuggestionAccepted());
    EXPECT_EQ(suggestion.SuggestServer("a@x", "A@x", "Ftp Server"), "A@x");
    EXPECT_TRUE(suggestion.SuggestionAccepted());
    EXPECT_EQ(desktop.Dialogs.size(), 2u);
    // The question stands above every other window while it is open.
    EXPECT_TRUE(desktop.Called("Topmost:frmQuestion"));
}
