#include "shell/update_file.h"

#include <gtest/gtest.h>

#include "mime/uucode.h"
#include "platform/fake_desktop.h"
#include "support/test_support.h"
#include "util/error.h"
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
    return "From: maker@example.org\r\nSubject: fresh data\r\n\r\nHello,\r\n---Begin Ostrel Update File---\r\n" +
           payload + "---End Ostrel Update File---\r\nRegards\r\n";
}

class UpdateTest : public ::testing::Test {
protected:
    test::ProgramFolder folder;
    FakeDesktop desktop;
    int restarts = 0;

    bool Process(const std::string& text) {
        return ProcessUpdateFile(desktop, text, [this] { ++restarts; });
    }
};

TEST_F(UpdateTest, TextsWithoutAProperPairOfMarkersDoNothingButRemoveTheLeftover) {
    const std::string block = Block("uservers.da2", "new");
    for (const std::string& text : {std::string("http://example.org/"), "---Begin Ostrel Update File---\r\n" + block,
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
}

TEST_F(UpdateTest, CarriageReturnRunsDecodeLikeOrdinaryLineEnds) {
    const std::string data(2000, 'd');
    EXPECT_TRUE(Process(ReplaceEach("\r\n", Update(Block("nbinary.ext", data)), "\r\r\r\n")));
    EXPECT_EQ(folder.Read("nbinary.ext"), data);
}

TEST_F(UpdateTest, OnlyDeliveredDataFilesAreReplacedNeverTheUsersFilesOrThePrograms) {
    ProgramState().ExePath = folder.File("ostrel");
    folder.Write("ostrel", "program");
    folder.Write("History.Dat", "my history");
    const std::string text =
        Update(Block("ostrel", "evil") + Block("OSTREL.INI", "evil") + Block("History.Dat", "old") +
               Block("Queue.Dat", "x") + Block("DebugLog.Txt", "x") + Block("Installer.Flg", "x") +
               Block("../HotList.Dat", "hot") + Block("agora_uu.tpl", "template") + Block("ctx21.html", "<p>help</p>"));
    EXPECT_TRUE(Process(text));
    EXPECT_EQ(folder.Read("ostrel"), "program");
    EXPECT_EQ(folder.Read("History.Dat"), "my history");
    for (const char* refused : {"OSTREL.INI", "Queue.Dat", "Installer.Flg"})
        EXPECT_FALSE(FileExists(folder.File(refused))) << refused;
    EXPECT_NE(folder.Read("DebugLog.Txt"), "x");
    EXPECT_EQ(folder.Read("HotList.Dat"), "hot");
    EXPECT_EQ(folder.Read("agora_uu.tpl"), "template");
    EXPECT_EQ(folder.Read("help/ctx21.html"), "<p>help</p>");
    EXPECT_EQ(restarts, 1);
}

TEST_F(UpdateTest, ABrokenBlockWritesNothingAndDoesNotRestartABlockAfterTheEndIsIgnored) {
    folder.Write("tips.dat", "old tips");
    std::string broken = Block("uservers.da2", std::string(400, 'n'));
    broken.erase(broken.find("\r\nM") + 20, 1);
    EXPECT_FALSE(Process(Update(Block("tips.dat", "new tips") + broken)));
    EXPECT_EQ(folder.Read("tips.dat"), "old tips");
    EXPECT_FALSE(FileExists(folder.File("uservers.da2")));
    EXPECT_FALSE(FileExists(folder.File("original.eml")));
    ASSERT_EQ(desktop.Dialogs.size(), 1u);
    EXPECT_EQ(desktop.Dialogs[0].Type, TMsgDlgType::mtError);
    // A block cut off before its end line.
    std::string cut = Block("tips.dat", std::string(400, 't'));
    cut.resize(cut.find("`\r\nend"));
    EXPECT_FALSE(Process(Update(cut)));
    EXPECT_EQ(folder.Read("tips.dat"), "old tips");

    // Only what lies between the markers counts.
    EXPECT_TRUE(Process(Update(Block("tips.dat", "new tips")) + Block("uservers.da2", "after the end")));
    EXPECT_EQ(folder.Read("tips.dat"), "new tips");
    EXPECT_FALSE(FileExists(folder.File("uservers.da2")));
    EXPECT_EQ(restarts, 1);
}

TEST_F(UpdateTest, AFileThatCannotBeWrittenLeavesEveryOldFile) {
    folder.Write("tips.dat", "old tips");
    // help/ is a regular file here, so the help page cannot be written.
    folder.Write("help", "not a folder");
    EXPECT_THROW(Process(Update(Block("tips.dat", "new") + Block("ctx2.html", "page"))), EInOutError);
    EXPECT_EQ(folder.Read("tips.dat"), "old tips");
    EXPECT_EQ(restarts, 0);
}

TEST_F(UpdateTest, NothingWrittenMeansNoRestartMessage) {
    ProgramState().ExePath = folder.File("ostrel");
    EXPECT_FALSE(Process(Update(Block("ostrel", "evil"))));
    EXPECT_TRUE(desktop.Dialogs.empty());
    EXPECT_EQ(restarts, 0);
}

} // namespace
} // namespace ostrel
