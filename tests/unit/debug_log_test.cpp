#include "util/debug_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/fake_desktop.h"
#include "support/test_support.h"
#include "util/file_io.h"
#include "util/program_state.h"

using namespace ostrel;

TEST(DebugLog, LinesAreStampedAndErrorsQuoteTheStage) {
    test::ProgramFolder folder;
    FakeDesktop desk;
    WriteDebugLog("first");
    ReportError(desk, "Somewhere", "went wrong");
    SetStage(4413);
    ReportError(desk, "Later", "again");
    const std::string log = folder.Read("DebugLog.Txt");
    EXPECT_NE(log.find(": first\r\n"), std::string::npos);
    EXPECT_NE(log.find(": Error in Somewhere.0 with went wrong\r\n"), std::string::npos);
    EXPECT_NE(log.find(": LPS 4413\r\n"), std::string::npos);
    ASSERT_EQ(desk.Dialogs.size(), 2u);
    EXPECT_EQ(desk.Dialogs[1].Text, "Error in Later.4413 with again");
    EXPECT_EQ(desk.Dialogs[1].Caption, "Ostrel");
    EXPECT_EQ(desk.Dialogs[1].Flags, unsigned{MB_OK | MB_ICONEXCLAMATION});
}

TEST(DebugLog, AReportStillReachesTheUserWhenTheLogCannotBeWritten) {
    test::ProgramFolder folder;
    ProgramState().LocalRoot = "/nonexistent-folder/";
    FakeDesktop desk;
    EXPECT_THROW(WriteDebugLog("x"), std::exception);
    EXPECT_NO_THROW(ReportError(desk, "Here", "boom"));
    ASSERT_EQ(desk.Dialogs.size(), 1u);
    EXPECT_EQ(desk.Dialogs[0].Text.rfind("Error in Here.0 with boom", 0), 0u);
    EXPECT_NE(desk.Dialogs[0].Text.find("could not be written"), std::string::npos);
    // Told once: the lines after it are dropped instead of raising a report each, until the
    // log can be written again.
    EXPECT_NO_THROW(WriteDebugLog("x"));
    ProgramState().LocalRoot = folder.Path();
    WriteDebugLog("y");
    EXPECT_NE(folder.Read("DebugLog.Txt").find(": y\r\n"), std::string::npos);
    ProgramState().LocalRoot = "/nonexistent-folder/";
    EXPECT_THROW(WriteDebugLog("x"), std::exception);
}

TEST(DebugLog, TrimKeepsWholeLinesAndEndsWithTheTrimLine) {
    test::ProgramFolder folder;
    FakeDesktop desk;
    std::string big;
    for (int i = 0; big.size() < 40000; ++i)
        big += "line " + std::to_string(i) + " of the old log\r\n";
    folder.Write("DebugLog.Txt", big);
    TrimDebugLog(desk);
    const std::string log = folder.Read("DebugLog.Txt");
    const std::string last = log.substr(log.rfind("\r\n", log.size() - 3) + 2);
    EXPECT_NE(last.find(": Log trimmed\r\n"), std::string::npos);
    EXPECT_LE(log.size(), 32001u + last.size());
    EXPECT_EQ(log.rfind("line ", 0), 0u); // starts at a whole line
    EXPECT_TRUE(desk.Dialogs.empty());

    // A single line ending in a line feed is kept whole.
    folder.Write("DebugLog.Txt", "only line\n");
    TrimDebugLog(desk);
    EXPECT_EQ(folder.Read("DebugLog.Txt").rfind("only line\n", 0), 0u);
}

TEST(FileHelpers, TrimToSizeKeepsTheTailAndWritesReplaceAtomically) {
    test::ProgramFolder folder;
    FakeDesktop desk;
    folder.Write("f", "0123456789012345678901234");
    TrimFileToSize(desk, folder.File("f"), 10);
    EXPECT_EQ(folder.Read("f"), "45678901234");
    EXPECT_TRUE(WriteFileString(desk, folder.File("g"), "content"));
    EXPECT_EQ(folder.Read("g"), "content");
    EXPECT_FALSE(WriteFileString(desk, "/nonexistent-folder/x", "c"));
    ASSERT_EQ(desk.Dialogs.size(), 1u);
    EXPECT_EQ(desk.Dialogs[0].Text.rfind("Error in WriteFileString:/nonexistent-folder/x.", 0), 0u);
    EXPECT_EQ(ReadFileString(folder.File("missing")), "");
}
