#include "util/progress_window.h"

#include <gtest/gtest.h>

#include "platform/fake_desktop.h"
#include "support/test_support.h"
#include "util/program_state.h"

namespace ostrel {
namespace {

TEST(ProgressWindowPlacement, StaysClearOfEveryScreenEdge) {
    const TSize screen{1024, 768};
    const int w = TfrmProgress::FormWidth, h = TfrmProgress::FormHeight;

    TPoint p = ProgressWindowPosition({0, 0}, screen, w, h);
    EXPECT_EQ(p.X, w + 50);
    EXPECT_EQ(p.Y, h + 50);

    p = ProgressWindowPosition({1023, 767}, screen, w, h);
    EXPECT_EQ(p.X + w, 1024 - 50);
    EXPECT_EQ(p.Y + h, 768 - 50);

    p = ProgressWindowPosition({500, 300}, screen, w, h);
    EXPECT_EQ(p.X, 500);
    EXPECT_EQ(p.Y, 300);
}

TEST(ProgressWindow, IsPlacedAtThePointerWhenCreated) {
    test::ProgramFolder folder;
    FakeDesktop desk;
    desk.Cursor = {0, 767};
    TfrmProgress f(desk);
    EXPECT_EQ(f.Left(), TfrmProgress::FormWidth + 50);
    EXPECT_EQ(f.Top() + f.Height(), 768 - 50);
    EXPECT_EQ(f.Width(), 192);
    EXPECT_EQ(f.Height(), 32);
    EXPECT_FALSE(f.Timer1.Enabled());
    EXPECT_FALSE(f.Showing());
}

TEST(ProgressNote, ClosesItselfOnTheTimerAndLeavesNoTimerBehind) {
    test::ProgramFolder folder;
    FakeDesktop desk;
    std::string shownText;
    bool barVisible = true;
    bool closedByTimer = false;
    int labelMiddle = 0;
    desk.OnModal = [&](TForm& form) {
        auto& f = dynamic_cast<TfrmProgress&>(form);
        shownText = f.Label1.Caption();
        barVisible = f.ProgressBar1.Visible();
        labelMiddle = f.Label1.Top() + f.Label1.Height() / 2;
        ASSERT_EQ(desk.LiveTimers(), 1u);
        desk.FireTimers();
        closedByTimer = !f.Showing() && f.ModalResult != 0;
    };
    ShowProgressNote(desk, "Duplicate Request");
    EXPECT_TRUE(desk.Called("ShowModal:frmProgress"));
    EXPECT_EQ(shownText, "Duplicate Request");
    EXPECT_FALSE(barVisible);
    EXPECT_EQ(labelMiddle, TfrmProgress::FormHeight / 2); // no empty band where the bar was
    EXPECT_TRUE(closedByTimer);
    EXPECT_EQ(desk.LiveTimers(), 0u);
    EXPECT_EQ(ProgramState().LastOperation, "Requesting");
}

TEST(ProgressNote, AFailureInsideTheWindowIsNotPassedOn) {
    test::ProgramFolder folder;
    FakeDesktop desk;
    desk.OnModal = [](TForm&) { throw std::runtime_error("view gone"); };
    EXPECT_NO_THROW(ShowProgressNote(desk, "Request Queued"));
    // The window went with its timer, and the note still counts as the last step.
    EXPECT_EQ(desk.LiveTimers(), 0u);
    EXPECT_EQ(ProgramState().LastOperation, "Requesting");
}

} // namespace
} // namespace ostrel
