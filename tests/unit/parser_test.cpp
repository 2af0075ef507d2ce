#include "mime/parser.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <streambuf>

#include "mime/base64.h"
#include "mime/message.h"
#include "mime/uucode.h"
#include "support/test_support.h"

using ostrel::test::RandomBytes;
#include "util/error.h"

namespace ostrel {
namespace {

std::string UUBlock(const std::string& beginLine, const std::string& data) {
    std::string out = beginLine + "\r\n";
    UUEncodeLines(data, out);
    out += "`\r\nend\r\n";
    return out;
}

std::vector<std::string> AllLines(TLineStream& s) {
    std::vector<std::string> lines;
    for (;;) {
        std::string_view l = s.NextLine();
        if (s.Eof()) {
            EXPECT_EQ(l, TLineStream::EndMarker);
            break;
        }
        lines.emplace_back(l);
    }
    return lines;
}

TEST(LineStream, SplitsAtEveryKindOfLineBreakAndKeepsAFinalUnbrokenLine) {
    TLineStream s("a\r\nb\nc\rd\r\n\r\ne");
    EXPECT_EQ(AllLines(s), (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
    // The end stays the end.
    EXPECT_EQ(s.NextLine(), TLineStream::EndMarker);
    EXPECT_TRUE(s.Eof());
    s.Restart();
    EXPECT_FALSE(s.Eof());
    EXPECT_EQ(s.NextLine(), "a");

    TLineStream trailing("x\r\n\r\n");
    EXPECT_EQ(AllLines(trailing), (std::vector<std::string>{"x", ""}));
    TLineStream empty("");
    EXPECT_TRUE(AllLines(empty).empty());
}

TEST(LineStream, LinesLongerThanABlockAndLinesAcrossBlockBordersComeOutWhole) {
    const std::string longLine(3 * TLineStream::BlockSize + 7, 'q');
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "line " + std::to_string(i) + "\r\n";
    text += longLine + "\r\nlast";
    TLineStream s(text);
    auto lines = AllLines(s);
    ASSERT_EQ(lines.size(), 2002u);
    EXPECT_EQ(lines[1999], "line 1999");
    EXPECT_EQ(lines[2000], longLine);
    EXPECT_EQ(lines[2001], "last");
}

TEST(SafeName, NamesFromMailCannotLeaveTheFolderOrHide) {
    EXPECT_EQ(SafeFileName("../../etc/passwd"), "passwd");
    EXPECT_EQ(SafeFileName("C:\\WINDOWS\\system.ini"), "system.ini");
    EXPECT_EQ(SafeFileName("C:evil.exe"), "evil.exe");
    EXPECT_EQ(SafeFileName(".bashrc"), "bashrc");
    EXPECT_EQ(SafeFileName(std::string("a\x01\n\rb\x7f.txt")), "ab.txt");
    EXPECT_EQ(SafeFileName(".."), "");
    EXPECT_EQ(SafeFileName("dir/"), "");
    EXPECT_EQ(SafeFileName("my file.zip"), "my file.zip");
    EXPECT_EQ(SafeFileName(std::string(300, 'n')).size(), 255u);
    // Cutting to length must not leave a blank at the end.
    EXPECT_EQ(SafeFileName(std::string(254, 'n') + "  x"), std::string(254, 'n'));
}

TEST(UUBranch, TwoBlocksBecomeTwoAttachmentsNamedFromTheirBeginLines) {
    const std::string one = RandomBytes(1000, 1), two = RandomBytes(46, 2);
    TmsMessage m;
    ParseMessage(m, "PseudoHeader: x\r\n\r\n" + UUBlock("begin 600 one.bin", one) + "some text between\r\n" +
                        UUBlock("begin 644 two.zip", two));
    ASSERT_EQ(m.Attachments.Count(), 2u);
    EXPECT_EQ(m.Attachments[0].FileName(), "one.bin");
    EXPECT_EQ(m.Attachments[0].Data, one);
    EXPECT_EQ(m.Attachments[1].FileName(), "two.zip");
    EXPECT_EQ(m.Attachments[1].Data, two);
    EXPECT_TRUE(m.Body.empty());
    EXPECT_EQ(m.Encoding, meUU);
}

TEST(UUBranch, BeginLineRules) {
    EXPECT_TRUE(IsUUBeginLine("begin 644 a.zip"));
    EXPECT_TRUE(IsUUBeginLine("BEGIN 0600 a"));
    EXPECT_FALSE(IsUUBeginLine("begin 64"));
    EXPECT_FALSE(IsUUBeginLine("beginning of the text"));
    EXPECT_FALSE(IsUUBeginLine("begin abc def"));
    EXPECT_EQ(UUBeginFileName("begin 644 \"my file.zip\" trailing"), "my file.zip");
    EXPECT_EQ(UUBeginFileName("begin 644 my file.zip"), "my");
    EXPECT_EQ(UUBeginFileName("begin 644 \"unclosed"), "");
    EXPECT_EQ(UUBeginFileName("begin 644 ../../.profile"), "profile");
    // Ten characters are cut whatever the mode's width.
    EXPECT_EQ(UUBeginFileName("begin 0600 a.zip"), "");
}

TEST(UUBranch, MadeUpNamesProseBeforeTheBlockAndAnEndLineWithoutGraveAccent) {
    const std::string data = RandomBytes(90, 3);
    std::string block = "begin 0600 a.zip\r\n";
    UUEncodeLines(data, block);
    block += "end";  // no grave-accent line, no final line break
    TmsMessage m;
    ParseMessage(m, "Subject: s\r\n\r\nHello\r\n\r\n" + block);
    ASSERT_EQ(m.Attachments.Count(), 1u);
    EXPECT_EQ(m.Attachments[0].FileName(), "att.0");
    EXPECT_EQ(m.Attachments[0].Data, data);
    EXPECT_EQ(m.Body, (std::vector<std::string>{"Hello", ""}));
    EXPECT_EQ(m.Subject, "s");
}

TEST(UUBranch, ProseInsideABlockEndsInTheErrorReportWithTheWholeText) {
    const std::string good = RandomBytes(45, 4);
    const std::string text = "PseudoHeader: x\r\n\r\n" + UUBlock("begin 644 good.bin", good) +
                             "begin 644 bad.bin\r\nthis is ordinary prose, not data\r\n`\r\nend\r\n";
    TmsMessage m;
    ParseMessage(m, text);
    ASSERT_EQ(m.Attachments.Count(), 2u);
    EXPECT_EQ(m.Attachments[0].Data, good);
    EXPECT_EQ(m.Attachments[1].FileName(), "original.eml");
    EXPECT_EQ(m.Attachments[1].ContentType, "message/rfc822");
    EXPECT_EQ(m.Attachments[1].Encoding, kEncoding7Bit);
    EXPECT_EQ(m.Attachments[1].Data, text);
    ASSERT_EQ(m.Body.size(), 3u);
    EXPECT_EQ(m.Body[0], "The following error has been occured while processing the message:");
    EXPECT_EQ(m.Body[1], "Error decoding the attachment");
    EXPECT_EQ(m.Body[2], "The original message will be stored as an attachment");
}

TEST(UUBranch, DamagedLinesNeverReadOrWriteOutOfBounds) {
    // A full-length line whose trailing characters a mail program dropped: what is there
    // decodes, the rest counts as zero.
    TmsMessage cut;
    ParseMessage(cut, "PseudoHeader: x\r\n\r\nbegin 644 x\r\nM86)C\r\n`\r\nend");
    ASSERT_EQ(cut.Attachments.Count(), 1u);
    EXPECT_EQ(cut.Attachments[0].Data, "abc" + std::string(42, '\0'));

    // Length characters beyond 45, overlong lines and lone length characters stay within
    // the line's own bounds (the sanitizer builds check the memory side).
    TmsMessage odd;
    ParseMessage(odd, "PseudoHeader: x\r\n\r\nbegin 644 y\r\nZ" + std::string(80, '!') + "\r\nM" +
                          std::string(500, '#') + "\r\nM\r\n_\r\n`\r\nend\r\n");
    ASSERT_EQ(odd.Attachments.Count(), 1u);
    EXPECT_EQ(odd.Attachments[0].FileName(), "y");
    EXPECT_LE(odd.Attachments[0].Data.size(), 63u + 45u + 45u + 63u);
    EXPECT_GE(odd.Attachments[0].Data.size(), 45u + 45u);
}

TEST(UUBranch, MimeVersionWithACommentIsNotMime) {
    TmsMessage m;
    ParseMessage(m, "MIME-Version: 1.0 (made by hand)\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n" +
                        UUBlock("begin 644 a", "abc"));
    ASSERT_EQ(m.Attachments.Count(), 1u);
    EXPECT_EQ(m.Attachments[0].Data, "abc");
}

// A stream that hands out its text in pieces of a fixed size.
class PieceBuf : public std::streambuf {
public:
    PieceBuf(const std::string& text, std::size_t piece) : text_(text), piece_(piece) {}

protected:
    int_type underflow() override {
        if (pos_ >= text_.size())
            return traits_type::eof();
        const std::size_t n = std::min(piece_, text_.size() - pos_);
        buf_.assign(text_, pos_, n);
        pos_ += n;
        setg(buf_.data(), buf_.data(), buf_.data() + n);
        return traits_type::to_int_type(buf_[0]);
    }

private:
    const std::string& text_;
    std::size_t piece_;
    std::size_t pos_ = 0;
    std::string buf_;
};

std::string MixedMessage(const std::string& binary, const std::string& textAttachment) {
    std::string b64;
    Base64EncodeLines(binary, b64);
    return "From: A <a@example.org>\r\nTo: b@example.org\r\nSubject: files\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed;\r\n boundary=\"==XYZ==\"\r\n\r\n"
           "This is a multi-part message.\r\n--==XYZ==\r\n"
           "Content-Type: text/plain; charset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
           "Caf=E9 ol=\r\ne\r\n--==XYZ==\r\n"
           "Content-Type: application/octet-stream; name=\"../data.bin\"\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=\"data.bin\"\r\n\r\n" +
           b64 + "\r\n--==XYZ==\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n"
                 "Content-Disposition: attachment; filename=\"notes.txt\"\r\n\r\n" +
           textAttachment + "\r\n--==XYZ==--\r\nepilogue\r\n";
}

TEST(MimeBranch, MixedMessageGivesTextBodyAndDecodedAttachmentsWhateverPiecesTheStreamDelivers) {
    const std::string binary = RandomBytes(5000, 5);
    const std::string text = MixedMessage(binary, "a=3Db =\r\nc");
    for (std::size_t piece : {std::size_t{1}, std::size_t{16}, std::size_t{1024}, std::size_t{4096}}) {
        SCOPED_TRACE(piece);
        PieceBuf buf(text, piece);
        std::istream in(&buf);
        TmsMessage m;
        LoadMessageFromStream(m, in);
        EXPECT_EQ(m.Sender.Address, "a@example.org");
        EXPECT_EQ(m.Subject, "files");
        EXPECT_EQ(m.Body, (std::vector<std::string>{"Caf\xE9 ole"}));
        EXPECT_EQ(m.CharSet, csISO8859);
        ASSERT_EQ(m.Attachments.Count(), 2u);
        EXPECT_EQ(m.Attachments[0].FileName(), "data.bin");
        EXPECT_EQ(m.Attachments[0].Encoding, kEncodingBase64);
        EXPECT_EQ(m.Attachments[0].Data, binary);
        EXPECT_EQ(m.Attachments[1].FileName(), "notes.txt");
        EXPECT_EQ(m.Attachments[1].Data, "a=b c");
    }
}

TEST(MimeBranch, NestedAlternativeThenAnAttachment) {
    const std::string text =
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n--outer\r\n"
        "Content-Type: multipart/alternative; boundary=\"inner\"\r\n\r\n--inner\r\n"
        "Content-Type: text/plain\r\n\r\nplain text\r\n--inner\r\nContent-Type: text/html\r\n\r\n"
        "<p>html</p>\r\n--inner--\r\n\r\n--outer\r\nContent-Type: application/zip; name=\"a.zip\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nUEsDBA==\r\n--outer--\r\n";
    TmsMessage m;
    ParseMessage(m, text);
    EXPECT_EQ(m.Body, (std::vector<std::string>{"plain text"}));
    ASSERT_EQ(m.Attachments.Count(), 2u);
    EXPECT_EQ(m.Attachments[0].FileName().substr(0, 5), "_alt.");
    EXPECT_EQ(m.Attachments[0].ContentType, "text/html");
    EXPECT_EQ(m.Attachments[0].Data, "<p>html</p>");
    EXPECT_EQ(m.Attachments[1].FileName(), "a.zip");
    EXPECT_EQ(m.Attachments[1].Data, "PK\x03\x04");
}

TEST(MimeBranch, AlternativeAsTheLastPartAddsNoPhantomAttachment) {
    const std::string text =
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n--outer\r\n"
        "Content-Type: multipart/alternative; boundary=\"inner\"\r\n\r\n--inner\r\n"
        "Content-Type: text/plain\r\n\r\nplain\r\n--inner\r\nContent-Type: text/html\r\n\r\n<b>x</b>\r\n"
        "--inner--\r\n--outer--\r\n";
    TmsMessage m;
    ParseMessage(m, text);
    EXPECT_EQ(m.Attachments.Count(), 1u);
}

TEST(MimeBranch, WholeBodyAttachmentAndTextBodies) {
    TmsMessage whole;
    ParseMessage(whole, "MIME-Version: 1.0\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n"
                        "Content-Disposition: attachment; filename=\"r.pdf\"\r\n\r\nJVBERi0x\r\nLjQ=\r\n.\r\nignored\r\n");
    ASSERT_EQ(whole.Attachments.Count(), 1u);
    EXPECT_EQ(whole.Attachments[0].FileName(), "r.pdf");
    EXPECT_EQ(whole.Attachments[0].ContentType, "application/pdf");
    EXPECT_EQ(whole.Attachments[0].Data, "%PDF-1.4");

    TmsMessage html;
    ParseMessage(html, "MIME-Version: 1.0\r\nContent-Type: text/html; charset=us-ascii\r\n"
                       "Content-Transfer-Encoding: base64\r\n\r\nPGI+aGk8L2I+DQpsaW5lMg==\r\n");
    EXPECT_EQ(html.Body, (std::vector<std::string>{"<b>hi</b>", "line2"}));
    EXPECT_EQ(html.ContentType(), "text/html");

    // A plain-text MIME mail carrying a UU block is read as a UU mail.
    TmsMessage uu;
    ParseMessage(uu, "To: x@y\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\nSee below\r\n" +
                         UUBlock("begin 644 f.txt", "hello"));
    ASSERT_EQ(uu.Attachments.Count(), 1u);
    EXPECT_EQ(uu.Attachments[0].Data, "hello");
    EXPECT_EQ(uu.Body, (std::vector<std::string>{"See below"}));
    EXPECT_EQ(uu.Recipients.Count(), 1u);
}

TEST(MimeBranch, MissingBoundariesEndInTheErrorReport) {
    const std::string head = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n";
    TmsMessage none;
    ParseMessage(none, head + "no parts at all\r\n");
    ASSERT_EQ(none.Body.size(), 3u);
    EXPECT_EQ(none.Body[1], "Cannot find boundary");
    EXPECT_EQ(none.Attachments.Count(), 1u);

    TmsMessage nested;
    ParseMessage(nested, head + "--b\r\nContent-Type: multipart/alternative; boundary=\"i\"\r\n\r\n--i\r\n"
                                "Content-Type: text/plain\r\n\r\nt\r\n--i\r\nContent-Type: text/html\r\n\r\nh\r\n");
    // The text part read before the failure stays in front of the report.
    ASSERT_EQ(nested.Body.size(), 4u);
    EXPECT_EQ(nested.Body[0], "t");
    EXPECT_EQ(nested.Body[2], "Cannot find closing boundary");
    // The part decoded before the failure stays.
    ASSERT_EQ(nested.Attachments.Count(), 2u);
    EXPECT_EQ(nested.Attachments[1].FileName(), "original.eml");

    TmsMessage body;
    ParseMessage(body, "MIME-Version: 1.0\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                       "not*base64\r\n");
    ASSERT_EQ(body.Attachments.Count(), 1u);
    EXPECT_EQ(body.Attachments[0].FileName(), "original.eml");

    TmsMessage whole;
    ParseMessage(whole, "MIME-Version: 1.0\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                        "not*base64\r\n");
    ASSERT_EQ(whole.Body.size(), 3u);
    EXPECT_EQ(whole.Body[1], "Error decoding the attachment");
}

TEST(MimeBranch, AMultipartMessageWithOnlyItsTextClosesCleanly) {
    TmsMessage m;
    ParseMessage(m, "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                    "Content-Type: text/plain\r\n\r\nonly text\r\n--b--\r\n");
    EXPECT_EQ(m.Body, (std::vector<std::string>{"only text"}));
    EXPECT_EQ(m.Attachments.Count(), 0u);
}

TEST(LoadFromFile, ClearsFirstAndRaisesForAMissingFile) {
    test::TempDir dir;
    test::WriteAll(dir.File("m.eml"), "Subject: new\r\n\r\nbody\r\n");
    TmsMessage m;
    m.Body = {"old"};
    m.Attachments.Add();
    LoadMessageFromFile(m, dir.File("m.eml"));
    EXPECT_EQ(m.Body, (std::vector<std::string>{"body"}));
    EXPECT_EQ(m.Attachments.Count(), 0u);
    EXPECT_THROW(LoadMessageFromFile(m, dir.File("missing.eml")), EOstrelError);
}

} // namespace
} // namespace ostrel
