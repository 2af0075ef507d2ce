// Inputs made at run time by programs nobody here wrote: sharutils uuencode (whole files and
// files cut into mailed parts), Python's email package and mpack. What they encode, we must
// decode to the same bytes.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "decoder/decoder_wizard.h"
#include "mime/message.h"
#include "mime/parser.h"
#include "platform/fake_desktop.h"
#include "support/test_support.h"

using ostrel::test::RandomBytes;
#include "util/text.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

void Need(const char* program, const char* package) {
    if (std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) != 0)
        FAIL() << program << " is missing: install the Debian package " << package;
}

void Shell(const std::string& command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::string MailHeaders(const std::string& subject) {
    return "Return-Path: <bymail@server.example>\nFrom: ByMail <bymail@server.example>\nTo: user@example.org\n"
           "Subject: " + subject + "\nDate: Mon, 07 Dec 2026 09:00:00 +0000\n\n";
}

const char* const Signature = "\n-- \nThis file was fetched for you by the ByMail service.\n";

TEST(UuencodePeer, AWholeUuencodedFileInAMailDecodesToTheOriginal) {
    Need("uuencode", "sharutils");
    test::TempDir dir;
    const std::string data = RandomBytes(300000, 21);
    test::WriteAll(dir.File("orig.bin"), data);
    Shell("cd " + dir.Path() + " && uuencode orig.bin 'report 2026.pdf' > enc.uue");
    // Mode and quoted name as a mailer would show them: uuencode writes an unquoted name, so
    // the first blank ends it.
    const std::string mail = MailHeaders("report") + "Your file follows.\n\n" + test::ReadAll(dir.File("enc.uue")) +
                             Signature;
    test::WriteAll(dir.File("mail.eml"), mail);
    TmsMessage m;
    LoadMessageFromFile(m, dir.File("mail.eml"));
    ASSERT_EQ(m.Attachments.Count(), 1u);
    EXPECT_EQ(m.Attachments[0].FileName(), "report");
    EXPECT_TRUE(m.Attachments[0].Data == data);
    EXPECT_EQ(m.Subject, "report");
}

TEST(UuencodePeer, PartsCutWithSplitAndCopiedFromMailsAreJoinedByTheWizard) {
    Need("uuencode", "sharutils");
    Need("split", "coreutils");
    test::ProgramFolder folder;
    const std::string data = RandomBytes(250000, 22);
    folder.Write("game.zip", data);
    Shell("cd " + folder.Path() + " && uuencode game.zip game.zip > all.uue && split -l 1000 -d all.uue part.");
    std::vector<std::string> parts;
    for (int i = 0; fs::exists(folder.File("part." + std::string(i < 10 ? "0" : "") + std::to_string(i))); ++i)
        parts.push_back(folder.Read("part." + std::string(i < 10 ? "0" : "") + std::to_string(i)));
    ASSERT_GE(parts.size(), 3u);

    FakeDesktop desktop;
    TfrmDecode wizard(desktop, 0ms);
    const std::string n = std::to_string(parts.size());
    // Each part arrives as its own mail, copied whole with CR LF line ends, last part first.
    for (std::size_t k = parts.size(); k-- > 0;) {
        const std::string copied = MailHeaders("game.zip (" + std::to_string(k + 1) + "/" + n + ")") +
                                   "Part " + std::to_string(k + 1) + " of " + n + "\n\n" + parts[k] + Signature;
        desktop.Clipboard = ReplaceEach("\n", copied, "\r\n");
        wizard.btnNext.Click();
    }
    EXPECT_NE(wizard.ModalResult, 0);
    EXPECT_TRUE(folder.Read("downloads/game.zip") == data);
    ASSERT_FALSE(desktop.Dialogs.empty());
    EXPECT_EQ(desktop.Dialogs.back().Text, "Decoded\r\n\n" + folder.Path() + "downloads/game.zip");
}

class PythonPeer : public ::testing::Test {
protected:
    test::TempDir dir;
    void SetUp() override {
        if (std::system("/usr/bin/python3 -c 'import email' >/dev/null 2>&1") != 0)
            FAIL() << "/usr/bin/python3 with its email package is missing: install the Debian package python3";
    }
    // Runs a Python script in the folder; it writes mail.eml there.
    void Python(const std::string& script) {
        test::WriteAll(dir.File("make.py"), script);
        Shell("cd " + dir.Path() + " && /usr/bin/python3 make.py");
    }
};

const char* const PythonPrelude = R"(
import random
from email.message import EmailMessage
from email import policy
random.seed(5)
blob = bytes(random.getrandbits(8) for _ in range(70000))
open('blob.bin', 'wb').write(blob)
text = ''.join('Line %d: caf\u00e9 = na\u00efve, long enough to need a soft break in quoted-printable form %s\r\n' % (i, 'x' * (i % 90)) for i in range(200))
open('text.txt', 'wb').write(text.encode('latin-1'))
)";

TEST_F(PythonPeer, MultipartMixedWithBase64AndQuotedPrintableAttachments) {
    Python(std::string(PythonPrelude) + R"(
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from email.mime.application import MIMEApplication
from email.mime.base import MIMEBase
from email import encoders
import quopri
m = MIMEMultipart()
m['From'] = 'Server <s@example.org>'
m['To'] = 'u@example.org'
m['Subject'] = 'two files'
m.attach(MIMEText('Here are your files.\n', 'plain', 'us-ascii'))
a = MIMEApplication(blob, Name='blob.bin')
a['Content-Disposition'] = 'attachment; filename="blob.bin"'
m.attach(a)
t = MIMEBase('text', 'plain', name='text.txt')
t.set_payload(quopri.encodestring(text.encode('latin-1')).decode('ascii'))
t['Content-Transfer-Encoding'] = 'quoted-printable'
m.attach(t)
open('mail.eml', 'wb').write(m.as_bytes(policy=policy.SMTP))
)");
    TmsMessage m;
    LoadMessageFromFile(m, dir.File("mail.eml"));
    EXPECT_EQ(m.Subject, "two files");
    // The line break before the boundary shows as a last empty body line.
    EXPECT_EQ(m.Body, (std::vector<std::string>{"Here are your files.", ""}));
    ASSERT_EQ(m.Attachments.Count(), 2u);
    EXPECT_EQ(m.Attachments[0].FileName(), "blob.bin");
    EXPECT_TRUE(m.Attachments[0].Data == test::ReadAll(dir.File("blob.bin")));
    EXPECT_EQ(m.Attachments[1].FileName(), "text.txt");
    EXPECT_TRUE(m.Attachments[1].Data == test::ReadAll(dir.File("text.txt")));
}

TEST_F(PythonPeer, NestedAlternativeAndAWholeBodyAttachment) {
    Python(std::string(PythonPrelude) + R"(
m = EmailMessage()
m['From'] = 's@example.org'
m['To'] = 'u@example.org'
m['Subject'] = 'page'
m.set_content('plain version\n')
m.add_alternative('<p>html version</p>\n', subtype='html')
m.add_attachment(blob, maintype='application', subtype='zip', filename='page.zip')
open('mail.eml', 'wb').write(m.as_bytes(policy=policy.SMTP))

w = EmailMessage()
w['From'] = 's@example.org'
w['Subject'] = 'whole'
w.set_content(blob, maintype='application', subtype='octet-stream', filename='whole.bin')
open('whole.eml', 'wb').write(w.as_bytes(policy=policy.SMTP))
)");
    TmsMessage m;
    LoadMessageFromFile(m, dir.File("mail.eml"));
    EXPECT_EQ(m.Body, (std::vector<std::string>{"plain version", ""}));
    ASSERT_EQ(m.Attachments.Count(), 2u);
    EXPECT_EQ(m.Attachments[0].FileName().substr(0, 5), "_alt.");
    EXPECT_EQ(m.Attachments[0].Data, "<p>html version</p>\r\n");
    EXPECT_EQ(m.Attachments[0].ContentType, "text/html");
    EXPECT_EQ(m.Attachments[1].FileName(), "page.zip");
    EXPECT_TRUE(m.Attachments[1].Data == test::ReadAll(dir.File("blob.bin")));

    TmsMessage w;
    LoadMessageFromFile(w, dir.File("whole.eml"));
    ASSERT_EQ(w.Attachments.Count(), 1u);
    EXPECT_EQ(w.Attachments[0].FileName(), "whole.bin");
    EXPECT_TRUE(w.Attachments[0].Data == test::ReadAll(dir.File("blob.bin")));
}

TEST(MpackPeer, AnMpackMailDecodesToTheOriginal) {
    Need("mpack", "mpack");
    test::TempDir dir;
    const std::string data = RandomBytes(120000, 23);
    test::WriteAll(dir.File("photo.jpg"), data);
    Shell("cd " + dir.Path() + " && mpack -s 'holiday photo' -o mail.eml photo.jpg");
    TmsMessage m;
    LoadMessageFromFile(m, dir.File("mail.eml"));
    ASSERT_GE(m.Attachments.Count(), 1u);
    const auto& last = m.Attachments[m.Attachments.Count() - 1];
    EXPECT_EQ(last.FileName(), "photo.jpg");
    EXPECT_TRUE(last.Data == data);
}

TEST(CommandLine, DecodeSavesOneMailsFilesAndJoinsParts) {
    Need("uuencode", "sharutils");
    const std::string cli = std::string(OSTREL_BIN_DIR) + "/ostrel-cli";
    if (std::system((cli + " decode 2>&1 | grep -q 'usage: ostrel-cli decode'").c_str()) != 0)
        GTEST_SKIP() << "this ostrel-cli has no decode command";
    test::TempDir dir;
    const std::string data = RandomBytes(100000, 24);
    test::WriteAll(dir.File("f.bin"), data);
    Shell("cd " + dir.Path() + " && uuencode f.bin f.bin > f.uue && split -l 600 f.uue p. && " + cli +
        " decode --out one f.uue > one.txt && " + cli + " decode --out joined p.* > joined.txt");
    EXPECT_TRUE(test::ReadAll(dir.File("one/f.bin")) == data);
    EXPECT_TRUE(test::ReadAll(dir.File("joined/f.bin")) == data);
    EXPECT_NE(test::ReadAll(dir.File("joined.txt")).find("joined/f.bin"), std::string::npos);
}

} // namespace
} // namespace ostrel
