#include "mime/encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <utility>

#include "mime/message.h"
#include "mime/quoted_printable.h"
#include "mime/uucode.h"
#include "util/error.h"

using namespace ostrel;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            ADD_FAILURE() << "text does not end in CR LF";
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

TmsMessage Request() {
    TmsMessage m;
    m.Sender.Address = "me@example.org";
    m.Recipients.Add("www4mail@example.net", "");
    m.Subject = "request";
    m.Body.push_back("GET http://example.com/");
    return m;
}

} // namespace

TEST(Encoder, WritesTheRequestMailExactly) {
    TmsMessage m = Request();
    EXPECT_EQ(EncodeMessageText(m), "From:      <me@example.org>\r\n"
                                    "To:        <www4mail@example.net>\r\n"
                                    "Subject:  request\r\n"
                                    "Mime-Version: 1.0\r\n"
                                    "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
                                    "Content-Transfer-Encoding: 7bit\r\n"
                                    "\r\n"
                                    "GET http://example.com/\r\n");
}

TEST(Encoder, HeaderBlockOrderAndAddressLists) {
    TmsMessage m = Request();
    m.Sender.Name = "J. Doe";
    m.Recipients.Clear();
    m.Recipients.Add("a@x", "A");
    m.Recipients.Add("b@x", "Doe, B");
    m.Recipients.Add("c@x", "");
    m.CC.Add("cc@x", "");
    m.BCC.Add("secret@x", "Secret");
    m.ReturnReceipt = true;
    m.Priority = ptHigh;
    m.Headers.Add("Subject: custom");
    m.Headers.Add("X-Mailer: mine");
    m.Headers.Add("To: someone@else");
    m.Headers.Add("  continued@else");
    const auto lines = Lines(EncodeMessageText(m));
    const std::vector<std::string> head(lines.begin(), lines.begin() + 11);
    EXPECT_EQ(head, (std::vector<std::string>{
                        "From:     \"J. Doe\" <me@example.org>",
                        "To:       A <a@x>,",
                        "          \"Doe, B\" <b@x>,",
                        "           <c@x>",
                        "CC:        <cc@x>",
                        "Return-Receipt-To: <me@example.org>",
                        "X-Priority: 1",
                        "X-Mailer: mine",
                        "Subject:  request",
                        "Mime-Version: 1.0",
                        "Content-Type: text/plain; charset=\"us-ascii\"",
                    }));
    // The lines it writes itself are taken out of the message's own list.
    EXPECT_EQ(m.Headers.Lines, (std::vector<std::string>{"X-Mailer: mine"}));
    const std::string text = EncodeMessageText(m);
    EXPECT_EQ(text.find("secret"), std::string::npos);

    m.Subject.clear();
    m.Priority = ptNormal;
    const std::string plain = EncodeMessageText(m);
    EXPECT_EQ(plain.find("Subject:"), std::string::npos);
    EXPECT_EQ(plain.find("X-Priority"), std::string::npos);
}

TEST(Encoder, BodyIsNeitherDotStuffedNorChanged) {
    TmsMessage m = Request();
    m.Body = {".", ".profile", "line\r\nwithin an entry"};
    const std::string text = EncodeMessageText(m);
    EXPECT_NE(text.find("\r\n\r\n.\r\n.profile\r\nline\r\nwithin an entry\r\n"), std::string::npos);
    EXPECT_EQ(m.Body[0], ".");
}

TEST(Encoder, LongLinesAndEightBitBytesGoQuotedPrintable) {
    TmsMessage m = Request();
    m.Body = {std::string(255, 'a')};
    EXPECT_NE(EncodeMessageText(m).find("7bit\r\n\r\n" + std::string(255, 'a') + "\r\n"), std::string::npos);

    // The label says what the 8-bit bytes mean: UTF-8 where they read as UTF-8, else Latin-1.
    const std::pair<std::string, std::string> cases[] = {
        {std::string(256, 'a'), "us-ascii"}, {"caf\xE9", "iso-8859-1"}, {"caf\xC3\xA9", "utf-8"}};
    for (const auto& [line, charset] : cases) {
        m.Body = {"short", line};
        const auto lines = Lines(EncodeMessageText(m));
        const auto blank = std::find(lines.begin(), lines.end(), "");
        ASSERT_NE(blank, lines.end());
        EXPECT_EQ(*(blank - 2), "Content-Type: text/plain; charset=\"" + charset + "\"");
        EXPECT_EQ(*(blank - 1), "Content-Transfer-Encoding: quoted-printable");
        std::string wire;
        for (auto it = blank + 1; it != lines.end(); ++it) {
            EXPECT_LE(it->size(), 76u);
            wire += *it + "\r\n";
        }
        EXPECT_EQ(QuotedPrintableDecode(wire), "short\r\n" + line + "\r\n");
    }
}

TEST(Encoder, Iso8859BodyAndEightBitHeaderTexts) {
    TmsMessage m = Request();
    m.CharSet = csISO8859;
    m.Subject = "Gr\xC3\xBC\xC3\x9F" "e";
    m.Sender.Name = "J\xC3\xB6rg";
    const std::string text = EncodeMessageText(m);
    EXPECT_NE(text.find("Content-Type: text/plain; charset=\"iso-8859-1\"\r\n"
                        "Content-Transfer-Encoding: quoted-printable\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("Subject:  =?utf-8?B?"), std::string::npos);
    EXPECT_NE(text.find("From:     =?utf-8?B?"), std::string::npos);
    for (unsigned char c : text)
        EXPECT_LT(c, 128) << "8-bit byte in the encoded text";
}

TEST(Encoder, RefusesUnsafeFieldsBeforeWritingAnything) {
    TmsMessage m = Request();
    m.Subject = "x\r\nBcc: victim@example.org";
    std::ostringstream out;
    EXPECT_THROW(EncodeMessage(m, out), EMessageError);
    EXPECT_TRUE(out.str().empty());

    TmsMessage big = Request();
    big.Body = {std::string(30000, 'z')};
    try {
        EncodeMessageText(big);
        FAIL();
    } catch (const EMessageError& e) {
        EXPECT_STREQ(e.what(), "Paragraph is too large");
    }
    // Many ordinary lines make a large body that goes through whole.
    TmsMessage large = Request();
    large.Body.assign(100000, std::string(70, 'q'));
    EXPECT_GT(EncodeMessageText(large).size(), 7000000u);
}

TEST(Encoder, MultipartCarriesBodyAndEachAttachment) {
    TmsMessage m = Request();
    TmsAttItem& bin = m.Attachments.Add();
    bin.SetFileName("data.bin");
    bin.Data = std::string(100, '\x01');
    TmsAttItem& txt = m.Attachments.Add();
    txt.SetFileName("notes.txt");
    txt.Data = "a=b\r\nsecond\r\n";
    const auto lines = Lines(EncodeMessageText(m));
    const auto ct = std::find_if(lines.begin(), lines.end(),
                                 [](const std::string& l) { return l.rfind("Content-Type: multipart/mixed", 0) == 0; });
    ASSERT_NE(ct, lines.end());
    const std::string boundary = ct->substr(ct->find('"') + 1, 8);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "--" + boundary), 3);
    EXPECT_EQ(lines.back(), "--" + boundary + "--");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Content-Disposition: attachment; filename=\"data.bin\""),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Content-Transfer-Encoding: Base64"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "a=3Db"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "GET http://example.com/"), lines.end());
}

TEST(Encoder, SingleAttachmentAndUUForms) {
    TmsMessage m = Request();
    m.Body.clear();
    TmsAttItem& att = m.Attachments.Add();
    att.SetFileName("f.zip");
    att.Data = "PK";
    EXPECT_NE(EncodeMessageText(m).find("Content-Type: application/zip; name=\"f.zip\"\r\n"
                                        "Content-Transfer-Encoding: Base64\r\n"
                                        "Content-Disposition: attachment; filename=\"f.zip\"\r\n\r\nUEs=\r\n"),
              std::string::npos);
    att.SetFileName("_htmbody.htm");
    att.Data = "<p>";
    EXPECT_NE(EncodeMessageText(m).find("Content-Type: text/html\r\nContent-Transfer-Encoding: Quoted-Printable\r\n\r\n"),
              std::string::npos);

    m.Encoding = meUU;
    m.Body = {"see below"};
    att.SetFileName("dir/f.bin");
    att.Data = std::string(50, '\xAB');
    const std::string text = EncodeMessageText(m);
    EXPECT_EQ(text.find("Mime-Version"), std::string::npos);
    const auto begin = text.find("\r\n\r\nsee below\r\n\r\nbegin 600 f.bin\r\n");
    ASSERT_NE(begin, std::string::npos);
    const auto dataStart = text.find("f.bin\r\n") + 7;
    const auto dataEnd = text.find("`\r\nend\r\n");
    ASSERT_NE(dataEnd, std::string::npos);
    EXPECT_EQ(UUDecode(text.substr(dataStart, dataEnd - dataStart)), att.Data);
}
