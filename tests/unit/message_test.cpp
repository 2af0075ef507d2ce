#include "mime/message.h"

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "util/error.h"

using namespace ostrel;

namespace {

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EMessageError& e) {
        return e.what();
    }
    return "";
}

TmsHeaders MakeHeaders(std::initializer_list<const char*> lines) {
    TmsHeaders h;
    for (const char* line : lines)
        h.Add(line);
    return h;
}

} // namespace

TEST(MessageModel, ContentTypeFollowsBodyAndAttachments) {
    TmsMessage m;
    m.Body.push_back("one line");
    EXPECT_EQ(m.ContentType(), "text/plain");
    m.Attachments.Add().SetFileName("a.zip");
    m.Attachments.Add().SetFileName("b.txt");
    EXPECT_EQ(m.ContentType(), "multipart/mixed");

    m.Clear();
    EXPECT_EQ(m.ContentType(), "text/plain");
    m.Attachments.Add().SetFileName("only.zip");
    EXPECT_EQ(m.ContentType(), "application/zip");
    m.Attachments[0].SetFileName("_HTMBODY.HTM");
    EXPECT_EQ(m.ContentType(), "text/html");
    m.Attachments.Add().SetFileName("_alt.x");
    m.Attachments[0].SetFileName("_alt.y");
    EXPECT_EQ(m.ContentType(), "multipart/alternative");
    m.Encoding = meUU;
    EXPECT_EQ(m.ContentType(), "");

    TmsMessage stored;
    stored.Body.push_back("x");
    stored.SetContentType("Text/HTML");
    EXPECT_EQ(stored.ContentType(), "text/html");
    stored.SetAttachments(TmsAttList());
    EXPECT_EQ(stored.ContentType(), "text/plain");
}

TEST(MessageModel, AttachmentNameSetsTypeAndEncoding) {
    TmsAttItem a;
    a.SetFileName("notes.txt");
    EXPECT_EQ(a.ContentType, "text/plain");
    EXPECT_EQ(a.Encoding, kEncodingQuotedPrintable);
    a.SetFileName("mail.eml");
    EXPECT_EQ(a.Encoding, kEncoding7Bit);
    a.SetFileName("no-extension");
    EXPECT_EQ(a.ContentType, "application/octet-stream");
    EXPECT_EQ(a.Encoding, kEncodingBase64);
    a.SetFileName("");
    EXPECT_EQ(a.FileName(), "");
    EXPECT_EQ(a.ContentType, "application/octet-stream");
    a.SetFileName(std::string(300, 'n'));
    EXPECT_EQ(a.FileName().size(), kMaxShortText);
}

TEST(MessageModel, ParsesTheThreeAddressForms) {
    const auto check = [](const std::string& text, const std::string& name, const std::string& address) {
        const TmsMailAddress a = ParseMailAddress(text);
        EXPECT_EQ(a.Name, name) << text;
        EXPECT_EQ(a.Address, address) << text;
    };
    check("John Doe <john@example.org>", "John Doe", "john@example.org");
    check("john@example.org (John Doe)", "John Doe", "john@example.org");
    check("john@example.org", "", "john@example.org");
    check("\"Doe, John\" <john@example.org>", "Doe, John", "john@example.org");
    check("Broken <john@example.org", "Broken <john@example.org", "");
    check("x@y (", "", "x@y");
    check("<only@example.org>", "", "only@example.org");
    EXPECT_EQ(ParseMailAddress(std::string(400, 'a')).Address.size(), kMaxShortText);
}

TEST(MessageModel, HeaderLookupsJoinContinuationsAndDecodeWords) {
    const TmsHeaders h = MakeHeaders({
        "From: \"Sender, S.\" <s@example.org>",
        "To: \"Doe, John\" <john@example.org>,",
        "  mary@example.org",
        "subject: =?iso-8859-1?Q?two_words?=",
        "X-Long: first",
        "\tsecond",
        "Content-Type: text/plain; name=\"=?x?Q?a_b?=\"",
        "Cc: a@b, c@d",
        "cc: e@f",
        "Subject:NoBlank",
    });
    EXPECT_EQ(h.FieldItems("To"), (std::vector<std::string>{"\"Doe, John\" <john@example.org>", "mary@example.org"}));
    EXPECT_EQ(h.FieldItems("CC:").size(), 3u);
    EXPECT_EQ(h.FieldValue("SUBJECT"), "two words");
    EXPECT_EQ(h.FieldValue("x-long"), "first second");
    // Content types keep their parameters as written.
    EXPECT_EQ(h.FieldValue("Content-Type"), "text/plain; name=\"=?x?Q?a_b?=\"");
    EXPECT_EQ(h.FieldValue("Missing"), "");

    TmsHeaders r = h;
    EXPECT_TRUE(r.RemoveField("x-long"));
    EXPECT_EQ(r.Count(), h.Count() - 2);
    EXPECT_FALSE(r.RemoveField("Nothing"));
}

TEST(MessageModel, EncodedWordsDecodeAsWordsNotAsTheWholeValue) {
    EXPECT_EQ(DecodeEncodedWords("=?utf-8?B?w6l0w6k=?="), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(DecodeEncodedWords("=?utf-8?q?a_b?="), "a b");
    // Underscores outside Q text, or decoded from "=5F", stay underscores.
    EXPECT_EQ(DecodeEncodedWords("file_name =?x?Q?a=5Fb?="), "file_name a_b");
    // Blanks between two words fold the line; blanks before plain text are text.
    EXPECT_EQ(DecodeEncodedWords("=?x?Q?a?= =?x?Q?b?= and c"), "ab and c");
    // Malformed or unknown words are left as they are.
    EXPECT_EQ(DecodeEncodedWords("=?x?B?!!!?= z"), "=?x?B?!!!?= z");
    EXPECT_EQ(DecodeEncodedWords("=?x?Z?abc?="), "=?x?Z?abc?=");
    EXPECT_EQ(DecodeEncodedWords("=?x?Q?open"), "=?x?Q?open");
    // Decoded text that looks like a word is not decoded again.
    EXPECT_EQ(DecodeEncodedWords("=?x?Q?=3D=3Fx=3FQ=3Fy=3F=3D?="), "=?x?Q?y?=");

    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e " + std::string(60, 'x') + " \xE2\x82\xAC";
    const std::string encoded = EncodeHeaderText(utf8);
    EXPECT_NE(encoded.find("\r\n "), std::string::npos);
    EXPECT_EQ(DecodeEncodedWords(encoded), utf8);
    EXPECT_EQ(EncodeHeaderText("plain"), "plain");
    EXPECT_EQ(EncodeHeaderText("\xE9t\xE9").rfind("=?iso-8859-1?B?", 0), 0u);
}

TEST(MessageModel, ApplyHeadersFillsTheFields) {
    TmsMessage m;
    m.ApplyHeaders(MakeHeaders({"From: Ann <ann@example.org>", "To: b@example.org, C <c@example.org>",
                                "CC: d@example.org", "Subject: =?us-ascii?Q?Hi_there?=", "X-Priority: 1",
                                "Return-receipt-to: <ann@example.org>"}));
    EXPECT_EQ(m.Sender, TmsMailAddress("ann@example.org", "Ann"));
    ASSERT_EQ(m.Recipients.Count(), 2u);
    EXPECT_EQ(m.Recipients[1], TmsMailAddress("c@example.org", "C"));
    EXPECT_EQ(m.CC.Count(), 1u);
    EXPECT_EQ(m.Subject, "Hi there");
    EXPECT_EQ(m.Priority, ptHigh);
    EXPECT_TRUE(m.ReturnReceipt);
    EXPECT_EQ(m.Headers.Count(), 6u);

    TmsMessage copy(m);
    EXPECT_EQ(copy.Recipients[0].Address, "b@example.org");
    EXPECT_EQ(copy.Priority, ptHigh);
    // Clearing for the next use also forgets what the loaded mail asked for.
    m.Clear();
    EXPECT_EQ(m.Recipients.Count(), 0u);
    EXPECT_EQ(m.Priority, ptNormal);
    EXPECT_FALSE(m.ReturnReceipt);
    EXPECT_EQ(m.Sender.Address, "");
}

TEST(MessageModel, ValidateRefusesIncompleteAndUnsafeMessages) {
    TmsMessage m;
    EXPECT_EQ(ErrorOf([&] { m.Validate(); }), "The address of sender is required");
    m.Sender.Address = "me@example.org";
    m.Recipients.Add("", "nobody");
    m.CC.Add("", "");
    EXPECT_EQ(ErrorOf([&] { m.Validate(); }), "At least one Recipient, CC or BCC must be entered");
    m.BCC.Add("hidden@example.org", "");
    EXPECT_EQ(ErrorOf([&] { m.Validate(); }), "");

    // Fields that would add header lines or SMTP commands are refused, naming the field.
    const std::pair<std::function<void(TmsMessage&)>, std::string> cases[] = {
        {[](TmsMessage& x) { x.Subject = "hi\r\nBcc: victim@example.org"; }, "Invalid character in Subject"},
        {[](TmsMessage& x) { x.Sender.Address = std::string("me\0@x", 5); }, "Invalid character in Sender"},
        {[](TmsMessage& x) { x.Sender.Name = "Me\n"; }, "Invalid character in Sender"},
        {[](TmsMessage& x) { x.Recipients.Add("a@b>\r\nRCPT TO:<c@d", ""); }, "Invalid character in Recipients"},
        {[](TmsMessage& x) { x.CC.Add("a@b\n", ""); }, "Invalid character in CC"},
        {[](TmsMessage& x) { x.BCC.Add("a@b>", ""); }, "Invalid character in BCC"},
        {[](TmsMessage& x) { x.Headers.Add("X-A: 1\r\nX-B: 2"); }, "Invalid character in Headers"},
        {[](TmsMessage& x) { x.Subject = std::string(1024, 's'); }, "Text too long in Subject"},
        {[](TmsMessage& x) { x.Headers.Add("X-Long: " + std::string(1200, 'h')); }, "Text too long in Headers"},
    };
    for (const auto& [spoil, text] : cases) {
        TmsMessage bad(m);
        spoil(bad);
        EXPECT_EQ(ErrorOf([&] { bad.Validate(); }), text);
    }
}

TEST(MessageModel, SaveAttachmentWritesPlainNamesOnly) {
    test::TempDir dir;
    TmsMessage m;
    TmsAttItem& a = m.Attachments.Add();
    a.SetFileName("data.bin");
    a.Data = std::string("\0\x01\xFF", 3);
    m.SaveAttachment(0, dir.Path());
    EXPECT_EQ(test::ReadAll(dir.File("data.bin")), a.Data);
    a.Data = "second";
    std::string noSlash = dir.Path();
    noSlash.pop_back();
    m.SaveAttachment(0, noSlash);
    EXPECT_EQ(test::ReadAll(dir.File("data.bin")), "second");

    for (const char* name : {"../evil", "..", "a/b"}) {
        a.SetFileName(name);
        EXPECT_THROW(m.SaveAttachment(0, dir.Path()), EMessageError) << name;
    }
    a.SetFileName("x");
    EXPECT_THROW(m.SaveAttachment(0, dir.File("missing/folder")), EInOutError);
    EXPECT_THROW(m.SaveAttachment(5, dir.Path()), std::out_of_range);
}
