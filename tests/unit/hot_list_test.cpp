#include "requests/hot_list.h"

#include <gtest/gtest.h>

#include "platform/fake_desktop.h"
#include "support/program_under_test.h"
#include "util/program_state.h"

using namespace ostrel;

namespace {

// The program with a hot list of its own and don't-send mode on: a request shows its mail.
struct Program : test::TProgramUnderTest {
    Program() {
        Start("127.0.0.1:9");
        f().lstHot.SetItems({"Alpha news -> http://a.example/", "beta -> http://news.example/",
                             "News of the day -> http://c.example/ -> more", "no arrow news", "other -> x"});
        ProgramState().DontSend = true;
    }
    ~Program() override { ProgramState().DontSend = false; }
    void LookFor(const std::string& text) { f().txtLookFor.SetText(text); }
    int Search() {
        f().btnSearch.Click();
        return f().lstHot.ItemIndex();
    }
};

} // namespace

TEST(HotList, SearchesStepThroughTheMatchesThenSayNoMatchAndStartAgain) {
    Program p;
    p.LookFor("NEWS"); // capitals find lower case; the request after " -> " is not searched
    EXPECT_EQ(p.Search(), 0);
    EXPECT_EQ(p.Search(), 2);
    int key = VK_F3; // F3 in the list searches on
    p.app->HotList().lstHotKeyDown(key);
    EXPECT_EQ(p.f().lstHot.ItemIndex(), 3);
    EXPECT_TRUE(p.desk.Dialogs.empty());
    EXPECT_EQ(p.Search(), -1);
    ASSERT_EQ(p.desk.Dialogs.size(), 1u);
    EXPECT_EQ(p.desk.Dialogs[0].Text, "No match for search string");
    EXPECT_EQ(p.Search(), 0); // from the top again

    // A new search text starts at the top, even in the middle of a round.
    EXPECT_EQ(p.Search(), 2);
    p.LookFor("news of");
    EXPECT_EQ(p.Search(), 2);
    EXPECT_EQ(p.Search(), -1);
    EXPECT_EQ(p.desk.Dialogs.size(), 2u);
}

TEST(HotList, RequestSendsWhatFollowsTheFirstArrowOrTheWholeLine) {
    Program p;
    for (int entry : {2, 3}) {
        p.f().lstHot.SetItemIndex(entry);
        p.f().lstHot.OnClick(); // as a click in the list does: Request is enabled
        p.f().btnRequest.Click();
    }
    ASSERT_EQ(p.desk.Dialogs.size(), 1u); // the line without an arrow is no URL: nothing to send
    EXPECT_NE(p.desk.Dialogs[0].Text.find("send http://c.example/ -> more"), std::string::npos)
        << p.desk.Dialogs[0].Text;
    EXPECT_TRUE(p.f().lstQueue.Items().empty()); // neither confirmed nor queued
}
