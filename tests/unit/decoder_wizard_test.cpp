#include "decoder/decoder_wizard.h"

#include <gtest/gtest.h>

#include <random>

#include "mime/message.h"
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

// The encoded lines of data, cut into parts the way a server splits a file over mails.
std::vector<std::string> EncodedParts(const std::string& name, const std::string& data, int parts) {
    std::string lines;
    UUEncodeLines(data, lines);
    std::vector<std::string> all;
    for (std::size_t at = 0; at < lines.size();) {
        auto end = lines.find("\r\n", at);
        all.push_back(lines.substr(at, end + 2 - at));
        at = end + 2;
    }
    std::vector<std::string> out(static_cast<std::size_t>(parts));
    out[0] = "begin 644 " + name + "\r\n";
    const std::size_t per = (all.size() + static_cast<std::size_t>(parts) - 1) / static_cast<std::size_t>(parts);
    for (std::size_t i = 0; i < all.size(); ++i)
        out[std::min(i / per, out.size() - 1)] += all[i];
    out.back() += "`\r\nend\r\n";
    return out;
}

class WizardTest : public ::testing::Test {
protected:
    test::ProgramFolder folder;
    FakeDesktop desktop;
    TmsMessage message;

    TfrmDecode Make() { return TfrmDecode(desktop, message, 0ms); }
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
    TfrmDecode w(desktop, message, 0ms);
    EXPECT_FALSE(FileExists(folder.File("uudecoder.tmp")));
    EXPECT_EQ(desktop.Clipboard, "");
    EXPECT_EQ(w.ExpectedPart(), 1);
    EXPECT_EQ(w.lblPart.Caption(), "Part 1");
    EXPECT_EQ(w.Caption(), "Ostrel - UUDecoder");
    EXPECT_EQ(w.ClientWidth(), 409);
    EXPECT_EQ(w.ClientHeight(), 161);
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
    TfrmDecode w(desktop, message, 0ms);
    desktop.Clipboard = Mail("Your file", "Here it is:\r\n\r\n" + EncodedParts("a.zip", data, 1)[0] + "\r\n-- \r\nsig");
    w.btnNext.Click();
    ASSERT_EQ(DialogsWith("Decoded\r\n\n" + folder.Path() + "downloads/a.zip"), 1);
    EXPECT_EQ(folder.Read("downloads/a.zip"), data);
    EXPECT_NE(w.ModalResult, 0);
    EXPECT_FALSE(FileExists(folder.File("uudecoder.tmp")));
    // The borrowed message is left empty for its next user.
    EXPECT_EQ(message.Attachments.Count(), 0u);
    EXPECT_EQ(desktop.Clipboard, "");
}

TEST_F(WizardTest, FirstPartWithoutBeginLineIsRefusedAndUpperCaseBeginIsFound) {
    TfrmDecode w(desktop, message, 0ms);
    desktop.Clipboard = Mail("hello", "no encoded data here\r\n");
    w.btnNext.Click();
    ASSERT_EQ(desktop.Dialogs.size(), 1u);
    EXPECT_EQ(desktop.Dialogs[0].Text, "Bad first part");
    EXPECT_EQ(desktop.Dialogs[0].Type, TMsgDlgType::mtError);
    EXPECT_EQ(desktop.Dialogs[0].Buttons, static_cast<TMsgDlgButtons>(mbCancel));
    EXPECT_EQ(w.ExpectedPart(), 1);
    EXPECT_EQ(w.ModalResult, 0);

    // "BEGIN 0600 " escapes the case-sensitive rewrite, so the parser makes up the name.
    std::string part = EncodedParts("x.bin", "data", 1)[0];
    part.replace(0, 10, "BEGIN 0600 ");
    desktop.Clipboard = Mail("again", part);
    w.btnNext.Click();
    EXPECT_EQ(DialogsWith("Decoded\r\n\n" + folder.Path() + "downloads/att.0"), 1);
    EXPECT_EQ(folder.Read("downloads/att.0"), "data");
}

TEST_F(WizardTest, NothingDecodableIsReportedAndTheWizardCloses) {
    TfrmDecode w(desktop, message, 0ms);
    desktop.Clipboard = "begin here\r\nsome words\r\n`\r\nend\r\n";
    w.btnNext.Click();
    EXPECT_EQ(DialogsWith("Error decoding attachment"), 1);
    EXPECT_NE(w.ModalResult, 0);
}

TEST_F(WizardTest, FourDigitModeIsRewrittenSoTheNameSurvives) {
    TfrmDecode w(desktop, message, 0ms);
    std::string part = EncodedParts("x.bin", "data", 1)[0];
    part.replace(0, 10, "begin 0600 ");
    desktop.Clipboard = Mail("s", part);
    w.btnNext.Click();
    EXPECT_EQ(folder.Read("downloads/x.bin"), "data");
}

TEST_F(WizardTest, SubjectNamingAnotherPartAsksAndRetryChangesNothing) {
    TfrmDecode w(desktop, message, 0ms);
    const auto parts = EncodedParts("f.bin", RandomBytes(500, 1), 2);
    const std::string first = Mail("f.bin [2 of 5]", parts[0]);
    desktop.Clipboard = first;
    desktop.Answers = {IDRETRY};
    w.btnNext.Click();
    ASSERT_EQ(desktop.Dialogs.size(), 1u);
    EXPECT_EQ(desktop.Dialogs[0].Text, "Expecting part 1 but found:\r\n\nf.bin [2 of 5]\r\n\nThis is probably incorrect");
    EXPECT_EQ(desktop.Dialogs[0].Type, TMsgDlgType::mtWarning);
    EXPECT_EQ(desktop.Dialogs[0].Buttons, static_cast<TMsgDlgButtons>(mbRetry | mbIgnore | mbHelp));
    EXPECT_EQ(desktop.Dialogs[0].HelpContext, 9005);
    EXPECT_EQ(desktop.Clipboard, first);
    EXPECT_EQ(w.ExpectedPart(), 1);
    EXPECT_TRUE(w.CollectedLines().empty());

    desktop.Answers = {IDIGNORE};
    w.btnNext.Click();
    EXPECT_EQ(w.ExpectedPart(), 2);
}

TEST(PartNumbers, TheThreeSubjectPatternsInTheirOrderOfPrecedence) {
    EXPECT_EQ(PartNumberInSubject("file.zip (3/7)"), 3);
    EXPECT_EQ(PartNumberInSubject("file.zip (part 4 of 7)"), 4);
    EXPECT_EQ(PartNumberInSubject("file.zip [5 of 7]"), 5);
    EXPECT_EQ(PartNumberInSubject("[5 of 7] (part 4 of 7) (3/7)"), 5);
    EXPECT_EQ(PartNumberInSubject("(part 4 of 7) (3/7)"), 4);
    EXPECT_EQ(PartNumberInSubject("Re: your request"), 0);
    EXPECT_EQ(PartNumberInSubject("(x/7) [y of 2]"), 0);
    EXPECT_EQ(NumberBetween("a( 12 /b", "(", "/"), 12);
    EXPECT_EQ(NumberBetween("a/ 12 (b", "(", "/"), 0);
}

TEST_F(WizardTest, ThreeMailedPartsAreJoinedCleanedLoggedAndDecoded) {
    const std::string data = RandomBytes(20000, 9);
    const auto parts = EncodedParts("big.bin", data, 3);
    TfrmDecode w(desktop, message, 0ms);
    const std::string signature = "\r\n-- \r\nByMail server, at your service\r\n";
    desktop.Clipboard = Mail("big.bin (1/3)", "Part one follows.\r\n\r\n" + parts[0] + signature);
    w.btnNext.Click();
    EXPECT_EQ(w.ExpectedPart(), 2);
    EXPECT_EQ(w.lblPart.Caption(), "Part 2");
    EXPECT_EQ(desktop.Beeps, 0);
    // Part 1 is kept from its begin line on.
    EXPECT_EQ(w.CollectedLines().front(), "begin 644 big.bin");

    desktop.Clipboard = Mail("big.bin (part 2 of 3)", parts[1] + signature);
    w.btnNext.Click();
    EXPECT_EQ(w.ExpectedPart(), 3);
    EXPECT_EQ(desktop.Beeps, 1);

    desktop.Clipboard = Mail("big.bin [3 of 3]", "> quoted text\r\n" + parts[2] + signature);
    w.btnNext.Click();
    EXPECT_EQ(desktop.Dialogs.size(), 1u);
    EXPECT_EQ(folder.Read("downloads/big.bin"), data);
    EXPECT_NE(w.ModalResult, 0);

    const std::string log = folder.Read("DebugLog.Txt");
    for (const char* removed : {"NU:Subject: big.bin (part 2 of 3)", "NU:-- ", "NU:ByMail server, at your service",
                                "NU:> quoted text", "NU:From: server@bymail.example"})
        EXPECT_NE(log.find(removed), std::string::npos) << removed;
    EXPECT_EQ(log.find("NU:M"), std::string::npos);
}

TEST_F(WizardTest, LaterPartsNeedTheClosingLineOnALineOfItsOwn) {
    TfrmDecode w(desktop, message, 0ms);
    const auto parts = EncodedParts("f.bin", RandomBytes(400, 3), 2);
    desktop.Clipboard = parts[0];
    w.btnNext.Click();
    ASSERT_EQ(w.ExpectedPart(), 2);
    // An empty clipboard is just an empty part.
    desktop.Clipboard = "";
    w.btnNext.Click();
    EXPECT_EQ(w.ExpectedPart(), 3);
    EXPECT_EQ(desktop.Beeps, 1);
    EXPECT_FALSE(HoldsEndOfData("data`\r\nend\r\n"));
    EXPECT_FALSE(HoldsEndOfData("\r\n`\nend\r\n"));
    EXPECT_TRUE(HoldsEndOfData("x\r\n \r\nend"));
}

TEST_F(WizardTest, PartsCopiedWithBareLineFeedsAreJoinedToo) {
    const std::string data = RandomBytes(6000, 11);
    auto parts = EncodedParts("lf.bin", data, 2);
    TfrmDecode w(desktop, message, 0ms);
    for (auto& p : parts) {
        desktop.Clipboard = ReplaceEach("\r\n", Mail("lf.bin", p + "\r\n-- \r\nsig\r\n"), "\n");
        w.btnNext.Click();
    }
    EXPECT_EQ(folder.Read("downloads/lf.bin"), data);
}

TEST(Cleaning, KeepsEncodedLinesAndMarkersAndDropsTheRest) {
    const std::string full(60, '!');
    const std::string text = "begin 644 f\r\nheader: x\r\nM" + full + "\r\nM" + full.substr(1) +
                             "\r\n\r\nM" + full + "\r\n" + "%short last\r\n`\r\nend here\r\nsig\r\nbye\r\n";
    std::vector<std::string> removed;
    const std::string cleaned = CleanCollectedLines(text, [&](std::string_view l) { removed.emplace_back(l); });
    // A full line shortened by a mailer (60 characters) goes; the short last line stays
    // because the closing line follows it.
    EXPECT_EQ(cleaned, "begin 644 f\r\nM" + full + "\r\nM" + full + "\r\n%short last\r\n`\r\nend here\r\n");
    EXPECT_EQ(removed, (std::vector<std::string>{"bye", "sig", "", "M" + full.substr(1), "header: x"}));

    // Any mix of line ends is read line by line and written back with CR LF.
    EXPECT_EQ(CleanCollectedLines("begin 644 f\nM" + full + "\rjunk\r\nM" + full + "\n`\n\nend", {}),
              "begin 644 f\r\nM" + full + "\r\nM" + full + "\r\n`\r\nend\r\n");

    // The first line is never examined.
    EXPECT_EQ(CleanCollectedLines("anything\nelse", {}), "anything\r\n");
}

} // namespace
} // namespace ostrel
