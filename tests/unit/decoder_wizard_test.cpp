#include "decoder/decoder_wizard.h"

#include <gtest/gtest.h>

#include <random>

#include "mime/uucode.h"
#include "platform/fake_desktop.h"
#include "support/test_support.h"

using ostrel::test::RandomBytes;
#include "util/file_io.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;

std::string Mail(const std::string& subject, const std::string& body) {
    return "From: server@bymail.example\r\nTo: me@example.org\r\nSubject: " + subject +
           "\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\n" + body;
}

class WizardTest : public ::testing::Test {
protected:
    test::ProgramFolder folder;
    FakeDesktop desktop;

    int DialogsWith(const std::string& text) const {
        int n = 0;
        for (const auto& d : desktop.Dialogs)
            n += d.Text == text;
        return n;
    }
};

TEST_F(WizardTest, CreationResetsStateAndShowsTheWindowTexts) {
    folder.Write("uudecoder.tmp", "left over");
    desktop.Clipboard = "something";
    TfrmDecode w(desktop, 0ms);
    EXPECT_FALSE(FileExists(folder.File("uudecoder.tmp")));
    EXPECT_EQ(desktop.Clipboard, "");
    EXPECT_EQ(w.ExpectedPart(), 1);
    EXPECT_EQ(w.lblPart.Caption(), "Part 1");
    EXPECT_EQ(w.Caption(), "Ostrel - UUDecoder");
    EXPECT_EQ(w.ClientWidth(), 409);
    EXPECT_EQ(w.HelpContext(), 21);
    EXPECT_EQ(w.lblInstruct.Caption(),
              "Please place the part referenced above into the Windows Clipboard. In most e-mail prograns, the "
              "sequence  Right-click, Select All, Right-click, Copy will be needed.");
    EXPECT_EQ(w.CancelButton(), &w.btnCancel);
    w.btnHelp.Click();
    EXPECT_EQ(desktop.HelpShown, std::vector<int>{21});
}

TEST_F(WizardTest, OnePartHoldingTheWholeFileIsDecodedIntoDownloadsWhichIsCreated) {
    const std::string data = RandomBytes(3000, 7);
    TfrmDecode w(desktop, 0ms);
    desktop.Clipboard =
        Mail("Your file", "Here it is:\r\n\r\n" + test::UUParts("a.zip", data, 1)[0] + "\r\n-- \r\nsig");
    w.btnNext.Click();
    ASSERT_EQ(DialogsWith("Decoded\r\n\n" + folder.Path() + "downloads/a.zip"), 1);
    EXPECT_EQ(folder.Read("downloads/a.zip"), data);
    EXPECT_NE(w.ModalResult, 0);
    EXPECT_EQ(desktop.Clipboard, "");
}

TEST_F(WizardTest, ATextWithoutEncodedDataIsABadFirstPartAndTheWizardWaits) {
    TfrmDecode w(desktop, 0ms);
    for (const std::string& text : {Mail("hello", "no encoded data here\r\n"), std::string(" \r\n")}) {
        desktop.Clipboard = text;
        w.btnNext.Click();
    }
    ASSERT_EQ(desktop.Dialogs.size(), 2u);
    EXPECT_EQ(desktop.Dialogs[0].Text, "Bad first part");
    EXPECT_EQ(desktop.Dialogs[0].Type, TMsgDlgType::mtError);
    EXPECT_EQ(desktop.Dialogs[0].Buttons, static_cast<TMsgDlgButtons>(mbCancel));
    EXPECT_EQ(w.ExpectedPart(), 1);
    EXPECT_EQ(w.ModalResult, 0);
}

TEST_F(WizardTest, PartsCopiedInAnyOrderShowWhatIsHeldAndWhatIsStillNeeded) {
    const std::string data = RandomBytes(20000, 9);
    const auto parts = test::UUParts("big.bin", data, 3);
    TfrmDecode w(desktop, 0ms);
    const std::string signature = "\r\n-- \r\nByMail server, at your service\r\n";
    desktop.Clipboard = Mail("big.bin (3/3)", "> quoted text\r\n" + parts[2] + signature);
    w.btnNext.Click();
    EXPECT_EQ(w.ExpectedPart(), 1);
    EXPECT_EQ(w.lstParts.Items(), std::vector<std::string>{"(a file whose first part is missing): holding part 3 of 3; "
                                                           "still needed: 1, 2"});
    EXPECT_EQ(desktop.Beeps, 1);
    EXPECT_EQ(desktop.Clipboard, "");

    desktop.Clipboard = Mail("big.bin (1/3)", "Part one follows.\r\n\r\n" + parts[0] + signature);
    w.btnNext.Click();
    EXPECT_EQ(w.ExpectedPart(), 2);
    EXPECT_EQ(w.lblPart.Caption(), "Part 2");
    EXPECT_EQ(w.lstParts.Items(), std::vector<std::string>{"big.bin: holding parts 1, 3 of 3; still needed: 2"});

    // The same part again holds nothing new.
    desktop.Clipboard = Mail("big.bin (1/3)", parts[0]);
    w.btnNext.Click();
    EXPECT_EQ(desktop.Dialogs.back().Type, TMsgDlgType::mtWarning);
    EXPECT_EQ(w.ModalResult, 0);

    desktop.Clipboard = Mail("big.bin (part 2 of 3)", parts[1] + signature);
    w.btnNext.Click();
    EXPECT_EQ(DialogsWith("Decoded\r\n\n" + folder.Path() + "downloads/big.bin"), 1);
    EXPECT_EQ(folder.Read("downloads/big.bin"), data);
    EXPECT_NE(w.ModalResult, 0);
}

TEST_F(WizardTest, SavedMailsOpenedAtOnceAndDamageIsNamedNotSaved) {
    const std::string data = RandomBytes(6000, 11);
    const auto parts = test::UUParts("lf.bin", data, 2);
    folder.Write("p1.eml", ReplaceEach("\r\n", Mail("lf.bin (1/2)", parts[0]), "\n"));
    folder.Write("p2.eml", Mail("lf.bin (2/2)", parts[1]));
    TfrmDecode w(desktop, 0ms);
    desktop.FilesToOpen = {folder.File("p2.eml"), folder.File("p1.eml")};
    w.btnOpen.Click();
    EXPECT_EQ(desktop.FileDialogs.size(), 1u);
    EXPECT_EQ(folder.Read("downloads/lf.bin"), data);
    EXPECT_NE(w.ModalResult, 0);

    TfrmDecode again(desktop, 0ms);
    std::string broken = test::UUParts("bad.bin", data, 1)[0];
    broken.erase(broken.find("\r\nM", 200) + 10, 1);
    desktop.Clipboard = Mail("bad", broken);
    again.btnNext.Click();
    ASSERT_FALSE(desktop.Dialogs.empty());
    EXPECT_TRUE(desktop.Dialogs.back().Text.starts_with("Not decoded: bad.bin\r\n\n")) << desktop.Dialogs.back().Text;
    EXPECT_EQ(desktop.Dialogs.back().Type, TMsgDlgType::mtError);
    EXPECT_FALSE(FileExists(folder.File("downloads/bad.bin")));
    EXPECT_TRUE(FileExists(folder.File("downloads/bad.bin.damaged")));
}

} // namespace
} // namespace ostrel
