#include "shell/lists.h"

#include <gtest/gtest.h>

#include "forms/controls.h"
#include "support/test_support.h"

using namespace ostrel;

TEST(Lists, ReadAnyLineEndAndWriteCrLf) {
    test::ProgramFolder folder;
    folder.Write("History.Dat", std::string("a\nb\r\n\rc\r\nlast") + std::string("\0ignored", 8));
    TListBox list("lstHistory", nullptr);
    LoadList(list, "History.Dat", false);
    EXPECT_EQ(list.Items(), (std::vector<std::string>{"a", "b", "", "c", "last"}));
    SaveList(list, "History.Dat");
    EXPECT_EQ(folder.Read("History.Dat"), "a\r\nb\r\n\r\nc\r\nlast\r\n");

    TListBox empty("lstQueue", nullptr);
    LoadList(empty, "Queue.Dat", false); // missing: stays empty, no error
    SaveList(empty, "Queue.Dat");
    EXPECT_EQ(folder.Read("Queue.Dat"), "");
}

TEST(Lists, HistoryKeepsTheNewest250) {
    TListBox list("lstHistory", nullptr);
    for (int i = 0; i < 250; ++i)
        list.AddItem("old" + std::to_string(i));
    AddHistoryEntry(list, "  http://x/  ", "www@example.org", "07/12/26 10:00:00");
    ASSERT_EQ(list.Count(), 250);
    EXPECT_EQ(list.Item(0), "http://x/ via www@example.org on 07/12/26 10:00:00");
    EXPECT_EQ(list.Item(249), "old248");
    EXPECT_EQ(HistoryRequest(list.Item(0)), "http://x/");
    EXPECT_EQ(HistoryServer(list.Item(0)), "www@example.org");
    EXPECT_EQ(HistoryDate(list.Item(0)), "07/12/26 10:00:00");
    list.AddItem("extra");
    TrimHistory(list);
    EXPECT_EQ(list.Count(), 250);
    EXPECT_EQ(list.Item(249), "old248"); // the entries at the end go
}
