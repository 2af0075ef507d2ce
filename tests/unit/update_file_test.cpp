#include "shell/update_file.h"

#include <gtest/gtest.h>

#include "mime/message.h"
#include "mime/uucode.h"
#include "platform/fake_desktop.h"
#include "support/test_support.h"
#include "util/file_io.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {
namespace {

std::string Block(const std::string& name, const std::string& data) {
    std::string out = "begin 644 " + name + "\r\n";
    UUEncodeLines(data, out);
    out += "`\r\nend\r\n";
    return out;
}

std::string Update(const std::string& payload) {
    return "From: maker@example.org\r\nSubject: fresh data\r\n\r\nHello,\r\n---Begin Ostrel Update File---\r\n" + payload +
           "---End Ostrel Update File---\r\nRegards\r\n";
}

class UpdateTest : public ::testing::Test {
protected:
    test::ProgramFolder folder;
    FakeDesktop desktop;
    TmsMessage message;
    int restarts = 0;

    bool Process(const std::string& text) {
        return ProcessUpdateFile(desktop, message, text, [this] { ++restarts; });
    }
};

TEST_F(UpdateTest, TextsWithoutAProperPairOfMarkersDoNothingButRemoveTheLeftover) {
    const std::string block = Block("uservers.da2", "new");
    for (const std::string& text :
         {std::string("http://example.org/"), "---Begin Ostrel Update File---\r\n" + block,
          "---End Ostrel Update File---\r\n" + block + "---Begin Ostrel Update File---\r\n",
          Update("no encoded file in here\r\n")}) {
        folder.Write("uudecoder.tmp", "left over");
        EXPECT_FALSE(Process(text));
        EXPECT_FALSE(FileExists(folder.File("uudecoder.tmp")));
    }
    EXPECT_FALSE(FileExists(folder.File("uservers.da2")));
    EXPECT_TRUE(desktop.Dialogs.empty());
    EXPECT_EQ(restarts, 0);
}

TEST_F(UpdateTest, TwoFilesReplaceTheOldOnesAndTheProgramRestartsOnce) {
    folder.Write("uservers.da2", "old directory");
    const std::string tips(5000, 't');
    EXPECT_TRUE(Process(Update(Block("uservers.da2", "[new]\r\n") + Block("tips.dat", tips))));
    EXPECT_EQ(folder.Read("uservers.da2"), "[new]\r\n");
    EXPECT_EQ(folder.Read("tips.dat"), tips);
    ASSERT_EQ(desktop.Dialogs.size(), 1u);
    EXPECT_EQ(desktop.Dialogs[0].Text, "Ostrel will restart with fresh data");
    EXPECT_EQ(desktop.Dialogs[0].Type, TMsgDlgType::mtInformation);
    EXPECT_EQ(restarts, 1);
    EXPECT_FALSE(FileExists(folder.File("uudecoder.tmp")));
    EXPECT_EQ(message.Attachments.Count(), 0u);
}

TEST_F(UpdateTest, CarriageReturnRunsDecodeLikeOrdinaryLineEnds) {
    const std::string data(2000, 'd');
    EXPECT_TRUE(Process(ReplaceEach("\r\n", Update(Block("nbinary.ext", data)), "\r\r\r\n")));
    EXPECT_EQ(folder.Read("nbinary.ext"), data);
}

TEST_F(UpdateTest, AnUpdateCannotReplaceTheProgramOrSettingsOrWriteOutsideTheFolder) {
    ProgramState().ExePath = folder.File("ostrel");
    folder.Write("ostrel", "program");
    const std::string text = Update(Block("ostrel", "evil") + Block("OSTREL.INI", "evil") +
                                    Block("../escaped.txt", "inside") + Block("..", "x") + Block("/tmp/abs.dat", "abs"));
    EXPECT_TRUE(Process(text));
    EXPECT_EQ(folder.Read("ostrel"), "program");
    EXPECT_FALSE(FileExists(folder.File("OSTREL.INI")));
    EXPECT_EQ(folder.Read("escaped.txt"), "inside");
    EXPECT_EQ(folder.Read("abs.dat"), "abs");
    EXPECT_EQ(restarts, 1);
}

TEST_F(UpdateTest, NothingWrittenMeansNoRestartMessage) {
    ProgramState().ExePath = folder.File("ostrel");
    EXPECT_FALSE(Process(Update(Block("ostrel", "evil"))));
    EXPECT_TRUE(desktop.Dialogs.empty());
    EXPECT_EQ(restarts, 0);
}

TEST_F(UpdateTest, PseudoMessageStartsAtTheFirstBeginLine) {
    EXPECT_EQ(UpdatePseudoMessage("x ---Begin Ostrel Update File--- y\r\r\nbegin 644 a\r\r\r\n---End Ostrel Update File---"),
              "PseudoHeader: x\r\n\r\nbegin 644 a\r\n---End Ostrel Update File---");
    EXPECT_EQ(UpdatePseudoMessage("---Begin Ostrel Update File---\r\nno block\r\n---End Ostrel Update File---"),
              "PseudoHeader: x\r\n\r\n---Begin Ostrel Update File---\r\nno block\r\n---End Ostrel Update File---");
}

} // namespace
} // namespace ostrel
