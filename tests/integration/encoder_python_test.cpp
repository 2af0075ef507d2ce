// The encoder's mail must read back correctly in a MIME parser written by someone else:
// Python's email package, with its modern policy.
#include "mime/encoder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

#include "mime/message.h"
#include "support/test_support.h"

using namespace ostrel;

namespace {

constexpr const char* kPython = "/usr/bin/python3";

// Prints what the parser saw, one field per line: sender, each recipient, subject, body (hex),
// then each attachment's name and content (hex).
constexpr const char* kReader = R"PY(
import sys, email
from email import policy
with open(sys.argv[1], 'rb') as f:
    m = email.message_from_binary_file(f, policy=policy.default)
print('FROM', m['From'].addresses[0].addr_spec, m['From'].addresses[0].display_name.encode('utf-8').hex())
for h in ('To', 'Cc'):
    if m[h] is not None:
        for a in m[h].addresses:
            print('RCPT', a.addr_spec, a.display_name.encode('utf-8').hex())
print('SUBJECT', str(m['Subject'] or '').encode('utf-8').hex())
def payload(part):
    data = part.get_payload(decode=True) or b''
    # Text parts come back with the reader's own line ends; binary ones byte for byte.
    if str(part.get('Content-Transfer-Encoding', '')).lower() != 'base64':
        data = data.replace(b'\r\n', b'\n')
    return data.hex()
if m.is_multipart():
    for part in m.walk():
        if part.is_multipart():
            continue
        name = part.get_filename()
        if name is None:
            print('BODY', payload(part))
        else:
            print('ATT', name, payload(part))
elif m.get_filename():
    print('ATT', m.get_filename(), payload(m))
else:
    print('BODY', payload(m))
print('DEFECTS', len(m.defects))
)PY";

// Text as the reader hands it out: LF line ends.
std::string Lf(std::string text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out.push_back(text[i]);
    return out;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

class EncoderPython : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kPython, X_OK) != 0)
            GTEST_SKIP() << "needs /usr/bin/python3 (Debian package python3)";
    }

    // Encodes the message and returns the lines the Python reader printed.
    std::vector<std::string> ReadBack(TmsMessage& m, const char* reader = kReader) {
        const std::string mail = dir_.File("mail.eml");
        test::WriteAll(mail, EncodeMessageText(m));
        const std::string script = dir_.File("reader.py");
        test::WriteAll(script, reader);
        const std::string command = std::string(kPython) + " " + script + " " + mail + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        EXPECT_NE(pipe, nullptr);
        std::string output;
        char buffer[4096];
        std::size_t n;
        while (pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            output.append(buffer, n);
        const int status = pipe ? pclose(pipe) : -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
        std::vector<std::string> lines;
        std::size_t pos = 0;
        while (pos < output.size()) {
            auto end = output.find('\n', pos);
            if (end == std::string::npos)
                end = output.size();
            lines.push_back(output.substr(pos, end - pos));
            pos = end + 1;
        }
        return lines;
    }

    static TmsMessage Base() {
        TmsMessage m;
        m.Sender.Address = "me@example.org";
        m.Sender.Name = "J. R. Doe";
        m.Recipients.Add("first@example.net", "First, Reader");
        m.Recipients.Add("second@example.net", "");
        m.CC.Add("copy@example.net", "Copy");
        m.Subject = "Plain subject";
        return m;
    }

    test::TempDir dir_;
};

} // namespace

TEST_F(EncoderPython, TextFormReadsBackWithAllAddresses) {
    TmsMessage m = Base();
    m.Body = {"GET http://example.com/", ".", ".profile", "", "last line"};
    const auto out = ReadBack(m);
    EXPECT_EQ(out, (std::vector<std::string>{
                       "FROM me@example.org " + Hex("J. R. Doe"),
                       "RCPT first@example.net " + Hex("First, Reader"),
                       "RCPT second@example.net ",
                       "RCPT copy@example.net " + Hex("Copy"),
                       "SUBJECT " + Hex("Plain subject"),
                       "BODY " + Hex(Lf("GET http://example.com/\r\n.\r\n.profile\r\n\r\nlast line\r\n")),
                       "DEFECTS 0",
                   }));
}

TEST_F(EncoderPython, LongLinesEightBitBytesAndEncodedSubjects) {
    TmsMessage m = Base();
    std::string longLine;
    for (int i = 0; i < 60; ++i)
        longLine += "word" + std::to_string(i) + (i % 7 == 0 ? "=\t" : " ");
    std::string eight;
    for (int c = 0x80; c <= 0xFF; ++c)
        eight.push_back(static_cast<char>(c));
    m.Body = {longLine, eight, "trailing blank "};
    m.Subject = "Gr\xC3\xBC\xC3\x9F"
                "e aus K\xC3\xB6ln " +
                std::string(80, 'x') + " \xE2\x82\xAC";
    m.Sender.Name = "J\xC3\xB6rg";
    const auto out = ReadBack(m);
    ASSERT_EQ(out.size(), 7u);
    EXPECT_EQ(out[0], "FROM me@example.org " + Hex("J\xC3\xB6rg"));
    EXPECT_EQ(out[4], "SUBJECT " + Hex(m.Subject));
    EXPECT_EQ(out[5], "BODY " + Hex(Lf(longLine + "\r\n" + eight + "\r\ntrailing blank \r\n")));
    EXPECT_EQ(out[6], "DEFECTS 0");

    // A subject that already is an encoded word is read as its decoded text.
    TmsMessage q = Base();
    q.Body = {"x"};
    q.Subject = "=?us-ascii?Q?two_words?=";
    EXPECT_EQ(ReadBack(q)[4], "SUBJECT " + Hex("two words"));
}

TEST_F(EncoderPython, EightBitBodiesAreLabelledSoThatAnotherReaderGetsTheirText) {
    // The text as the reader makes it of the bytes and the label, in UTF-8.
    constexpr const char* kText = R"PY(
import sys, email
from email import policy
with open(sys.argv[1], 'rb') as f:
    m = email.message_from_binary_file(f, policy=policy.default)
print(m.get_content_charset(), m.get_content().encode('utf-8').hex())
)PY";
    TmsMessage m = Base();
    m.Body = {"Gr\xC3\xBC\xC3\x9F" "e"};
    EXPECT_EQ(ReadBack(m, kText)[0], "utf-8 " + Hex("Gr\xC3\xBC\xC3\x9F" "e\n"));
    m.Body = {"caf\xE9 cr\xE8me"};
    EXPECT_EQ(ReadBack(m, kText)[0], "iso-8859-1 " + Hex("caf\xC3\xA9 cr\xC3\xA8me\n"));
}

TEST_F(EncoderPython, MultipartAndSingleAttachmentCarryTheExactBytes) {
    std::mt19937 random(7);
    std::string binary(70000, '\0');
    for (auto& c : binary)
        c = static_cast<char>(random() & 0xFF);

    TmsMessage m = Base();
    m.Body = {"see the attachments"};
    TmsAttItem& bin = m.Attachments.Add();
    bin.SetFileName("random.bin");
    bin.Data = binary;
    TmsAttItem& txt = m.Attachments.Add();
    txt.SetFileName("notes.txt");
    txt.Data = "a=b\r\n" + std::string(200, 'l') + "\r\nend\r\n";
    TmsAttItem& eml = m.Attachments.Add();
    eml.SetFileName("inner.eml");
    eml.Data = "Subject: inner\r\n\r\nbody\r\n";
    auto out = ReadBack(m);
    ASSERT_GE(out.size(), 8u);
    EXPECT_EQ(out[5], "BODY " + Hex(Lf("see the attachments\r\n")));
    EXPECT_EQ(out[6], "ATT random.bin " + Hex(binary));
    EXPECT_EQ(out[7], "ATT notes.txt " + Hex(Lf(txt.Data)));
    EXPECT_EQ(out.back(), "DEFECTS 0");

    TmsMessage single = Base();
    TmsAttItem& only = single.Attachments.Add();
    only.SetFileName("only.bin");
    only.Data = binary.substr(0, 1000);
    out = ReadBack(single);
    ASSERT_EQ(out.size(), 7u);
    EXPECT_EQ(out[5], "ATT only.bin " + Hex(only.Data));
}

TEST_F(EncoderPython, UUencodedFormDecodesWithPythonsUUCodec) {
    std::mt19937 random(11);
    std::string binary(10000, '\0');
    for (auto& c : binary)
        c = static_cast<char>(random() & 0xFF);
    TmsMessage m = Base();
    m.Encoding = meUU;
    m.Body = {"Here it comes"};
    TmsAttItem& att = m.Attachments.Add();
    att.SetFileName("file.bin");
    att.Data = binary;
    const std::string mail = dir_.File("uu.eml");
    test::WriteAll(mail, EncodeMessageText(m));
    const std::string script = dir_.File("uu.py");
    test::WriteAll(script, R"PY(
import sys, email, binascii
from email import policy
with open(sys.argv[1], 'rb') as f:
    m = email.message_from_binary_file(f, policy=policy.default)
lines = m.get_payload(decode=False).splitlines()
start = lines.index('begin 600 file.bin')
data = b''
for line in lines[start + 1:]:
    if line in ('`', 'end'):
        break
    data += binascii.a2b_uu(line)
sys.stdout.write(m['Subject'] + '\n' + data.hex())
)PY");
    FILE* pipe = popen((std::string(kPython) + " " + script + " " + mail).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(output, "Plain subject\n" + Hex(binary));
}
