#include "util/tip_window.h"

#include <gtest/gtest.h>

#include "platform/fake_desktop.h"
#include "support/test_support.h"
#include "util/error.h"
#include "util/program_state.h"

namespace ostrel {
namespace {

const char* const ThreeTips = "17,Don't repeat requests, unless you mean to.\r\n"
                              "0,No help for this one.\r\n"
                              "\r\n"
                              "9002,Read the report, then try again.\r\n";

struct TTipsFixture : ::testing::Test {
    test::ProgramFolder folder;
    FakeDesktop desk;
    int saves = 0;
    std::vector<std::pair<int, bool>> saved;
    std::function<void()> Save() {
        return [this] {
            ++saves;
            saved.emplace_back(ProgramState().Prefs.TipNumber, ProgramState().Prefs.TipEnabled);
        };
    }
};

TEST(TipLines, FirstCommaSeparatesAndSlipsCostOnlyTheHelpTopic) {
    TTip t = ParseTipLine("4002,Servers, binary files, and FTP");
    EXPECT_EQ(t.HelpContext, 4002);
    EXPECT_EQ(t.Text, "Servers, binary files, and FTP");

    t = ParseTipLine("x7,Not a number");
    EXPECT_EQ(t.HelpContext, 0);
    EXPECT_EQ(t.Text, "x7,Not a number");

    t = ParseTipLine("No comma at all");
    EXPECT_EQ(t.HelpContext, 0);
    EXPECT_EQ(t.Text, "No comma at all");

    EXPECT_EQ(ParseTipLine("-3,Negative").HelpContext, 0);
    EXPECT_EQ(ParseTipLine("99999999999,Too big").HelpContext, 0);

    const auto lines = SplitTipLines(ThreeTips);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "9002,Read the report, then try again.");
}

TEST_F(TTipsFixture, CreationAdvancesSavesAndShowsTheNextTip) {
    folder.Write("tips.dat", ThreeTips);
    ProgramState().Prefs.TipNumber = 0;
    ProgramState().Prefs.TipEnabled = true;
    TfrmTips f(desk, Save());
    EXPECT_EQ(f.Caption(), "Ostrel - Tip of the Day");
    EXPECT_TRUE(f.chkShowTips.Checked());
    EXPECT_EQ(ProgramState().Prefs.TipNumber, 1);
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(f.StaticText1.Caption(), "No help for this one.");
    EXPECT_FALSE(f.btnHelp.Enabled());

    f.btnNextClick();
    EXPECT_EQ(f.StaticText1.Caption(), "Read the report, then try again.");
    EXPECT_TRUE(f.btnHelp.Enabled());
    EXPECT_EQ(f.CurrentHelpContext(), 9002);

    f.btnNextClick(); // last wraps to first
    EXPECT_EQ(ProgramState().Prefs.TipNumber, 0);
    EXPECT_EQ(f.StaticText1.Caption(), "Don't repeat requests, unless you mean to.");
    f.btnPreviousClick(); // first wraps to last
    EXPECT_EQ(ProgramState().Prefs.TipNumber, 2);
    EXPECT_EQ(saves, 4);
    EXPECT_EQ(saved.back(), std::make_pair(2, true));
}

TEST_F(TTipsFixture, AStoredNumberOutsideTheListStartsAtTheFirstTip) {
    folder.Write("tips.dat", ThreeTips);
    for (int stored : {2, 7, -5}) {
        ProgramState().Prefs.TipNumber = stored;
        TfrmTips f(desk, Save());
        EXPECT_EQ(ProgramState().Prefs.TipNumber, 0) << stored;
        EXPECT_EQ(f.CurrentHelpContext(), 17) << stored;
    }
    ProgramState().Prefs.TipNumber = 9;
    TfrmTips f(desk, Save());
    f.btnPreviousClick();
    EXPECT_EQ(ProgramState().Prefs.TipNumber, 2);
}

TEST_F(TTipsFixture, MissingOrEmptyFileShowsANoteAndNoErrors) {
    for (const char* content : {static_cast<const char*>(nullptr), "", "\r\n  \r\n"}) {
        if (content)
            folder.Write("tips.dat", content);
        ProgramState().Prefs.TipNumber = 4;
        TfrmTips f(desk, Save());
        EXPECT_EQ(f.StaticText1.Caption(), TfrmTips::NoTipsText);
        EXPECT_FALSE(f.btnHelp.Enabled());
        EXPECT_FALSE(f.btnNext.Enabled());
        f.btnNextClick();
        f.btnPreviousClick();
        // Nothing moved, so a later file picks up where the user was.
        EXPECT_EQ(ProgramState().Prefs.TipNumber, 4);
    }
    EXPECT_EQ(saves, 0);
    EXPECT_TRUE(desk.Dialogs.empty());
}

TEST_F(TTipsFixture, CheckBoxAndButtonsFollowTheUser) {
    folder.Write("tips.dat", ThreeTips);
    ProgramState().Prefs.TipNumber = 1;
    ProgramState().Prefs.TipEnabled = false;
    TfrmTips f(desk, Save());
    EXPECT_FALSE(f.chkShowTips.Checked());
    EXPECT_EQ(saves, 1);

    f.chkShowTips.Click();
    EXPECT_TRUE(ProgramState().Prefs.TipEnabled);
    EXPECT_EQ(saved.back(), std::make_pair(2, true));

    f.Show();
    f.btnHelp.Click();
    EXPECT_EQ(desk.HelpShown, std::vector<int>{9002});
    EXPECT_FALSE(f.Showing());
    EXPECT_EQ(f.CancelButton(), &f.btnOk);
}

TEST_F(TTipsFixture, AFailedSaveIsReportedOnceAndTheWindowGoesOn) {
    folder.Write("tips.dat", ThreeTips);
    TfrmTips f(desk, [] { throw EIniFileError("Unable to write to OSTREL.INI"); });
    ASSERT_EQ(desk.Dialogs.size(), 1u);
    EXPECT_NE(desk.Dialogs[0].Text.find("Unable to write to OSTREL.INI"), std::string::npos);
    EXPECT_FALSE(f.StaticText1.Caption().empty());
}

TEST_F(TTipsFixture, ShowTipsTakesTheTrayIconAwayAndNeverNests) {
    folder.Write("tips.dat", ThreeTips);
    std::vector<bool> tray;
    auto trayHook = [&](bool on) { tray.push_back(on); };
    int nestedModals = 0;
    desk.OnModal = [&](TForm& form) {
        EXPECT_TRUE(ProgramState().TipWindowOpen);
        // The daily timer or the Now button fires while the tip is up.
        ShowTips(desk, trayHook, Save());
        ++nestedModals;
        dynamic_cast<TfrmTips&>(form).btnOk.Click();
    };
    ShowTips(desk, trayHook, Save());
    EXPECT_EQ(nestedModals, 1);
    EXPECT_EQ(tray, (std::vector<bool>{false, true}));
    EXPECT_FALSE(ProgramState().TipWindowOpen);
}

TEST_F(TTipsFixture, ShowTipsRestoresTrayAndFlagWhenTheWindowFails) {
    folder.Write("tips.dat", ThreeTips);
    std::vector<bool> tray;
    desk.OnModal = [](TForm&) { throw std::runtime_error("view failed"); };
    EXPECT_THROW(ShowTips(
                     desk, [&](bool on) { tray.push_back(on); }, Save()),
                 std::runtime_error);
    EXPECT_EQ(tray, (std::vector<bool>{false, true}));
    EXPECT_FALSE(ProgramState().TipWindowOpen);
}

TEST(DeliveredTips, EveryLineIsWellFormedAndPointsAtAHelpPage) {
    const std::string content = test::ReadAll(std::string(OSTREL_SOURCE_DIR) + "/data/tips.dat");
    const auto lines = SplitTipLines(content);
    EXPECT_GE(lines.size(), 15u);
    for (const auto& line : lines) {
        const TTip tip = ParseTipLine(line);
        EXPECT_NE(tip.Text, line) << "no help context: " << line;
        EXPECT_FALSE(tip.Text.empty());
        if (tip.HelpContext != 0) {
            const std::string page =
                std::string(OSTREL_SOURCE_DIR) + "/data/help/ctx" + std::to_string(tip.HelpContext) + ".html";
            EXPECT_FALSE(test::ReadAll(page).empty()) << "no help page for " << line;
        }
    }
}

} // namespace
} // namespace ostrel
