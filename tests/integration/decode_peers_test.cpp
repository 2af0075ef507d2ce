// Inputs made at run time by programs nobody here wrote: sharutils uuencode (whole files and
// files cut into mailed parts), Python's email package and mpack. What they encode, we must
// decode to the same bytes.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>

#include "decoder/decoder_wizard.h"
#include "decoder/receiver.h"
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
           "Subject: " +
           subject + "\nDate: Mon, 07 Dec 2026 09:00:00 +0000\n\n";
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
    const std::string mail =
        MailHeaders("report") + "Your file follows.\n\n" + test::ReadAll(dir.File("enc.uue")) + Signature;
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
        const std::string copied = MailHeaders("game.zip (" + std::to_string(k + 1) + "/" + n + ")") + "Part " +
                                   std::to_string(k + 1) + " of " + n + "\n\n" + parts[k] + Signature;
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

// Runs ostrel-cli decode in dir; returns its exit code, with what it printed in out and err.
int Cli(const test::TempDir& dir, const std::string& args, std::string* out = nullptr, std::string* err = nullptr,
        const std::string& prefix = "") {
    const std::string cli = std::string(OSTREL_BIN_DIR) + "/ostrel-cli";
    const int status =
        std::system(("cd " + dir.Path() + " && " + prefix + cli + " decode " + args + " > cli.out 2> cli.err").c_str());
    if (out)
        *out = test::ReadAll(dir.File("cli.out"));
    if (err)
        *err = test::ReadAll(dir.File("cli.err"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// sharutils' output cut into n mails, as a server sends a file over several mails.
std::vector<std::string> UuencodedMails(const test::TempDir& dir, const std::string& name, const std::string& data,
                                        int n) {
    test::WriteAll(dir.File("orig.bin"), data);
    Shell("cd " + dir.Path() + " && uuencode orig.bin '" + name + "' > enc.uue && split -n l/" + std::to_string(n) +
          " -d -a 2 enc.uue uu.");
    std::vector<std::string> mails;
    for (int i = 0; i < n; ++i) {
        const std::string part = test::ReadAll(dir.File("uu." + std::string(i < 10 ? "0" : "") + std::to_string(i)));
        mails.push_back(MailHeaders(name + " (" + std::to_string(i + 1) + "/" + std::to_string(n) + ")") + "Part " +
                        std::to_string(i + 1) + " follows.\n\n" + part + Signature);
    }
    return mails;
}

TEST(CommandLine, UuencodedMailsInAnyOrderWithARepeatJoinAndAMissingOneIsNamed) {
    Need("uuencode", "sharutils");
    test::TempDir dir;
    const std::string data = RandomBytes(200000, 24);
    const auto mails = UuencodedMails(dir, "setup.exe", data, 5);
    for (int i : {0, 1, 2, 3, 4})
        test::WriteAll(dir.File("m" + std::to_string(i) + ".eml"), mails[static_cast<std::size_t>(i)]);
    std::string out, err;
    EXPECT_EQ(Cli(dir, "--out got m3.eml m1.eml m4.eml m1.eml m0.eml m2.eml", &out, &err), 0) << err;
    EXPECT_TRUE(test::ReadAll(dir.File("got/setup.exe")) == data);
    EXPECT_EQ(out, "got/setup.exe\n");

    // Without part 3 nothing is saved, the command says which part is missing and fails.
    EXPECT_EQ(Cli(dir, "--out partial m0.eml m1.eml m3.eml m4.eml", &out, &err), 1);
    EXPECT_NE(err.find("setup.exe is incomplete: part 3 of 5 is missing"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir.File("partial/setup.exe")));
    EXPECT_EQ(out, "");

    // One mail holding all of them (an mbox), and "uuencode -m" output beside it.
    std::string mbox;
    for (int i : {4, 2, 0, 1, 3})
        mbox += "From bymail@server.example Mon Dec  7 09:00:00 2026\n" + mails[static_cast<std::size_t>(i)] + "\n";
    test::WriteAll(dir.File("all.mbox"), mbox);
    Shell("cd " + dir.Path() + " && uuencode -m orig.bin b64.bin > b64.uue");
    EXPECT_EQ(Cli(dir, "--out box all.mbox b64.uue", &out, &err), 0) << err;
    EXPECT_TRUE(test::ReadAll(dir.File("box/setup.exe")) == data);
    EXPECT_TRUE(test::ReadAll(dir.File("box/b64.bin")) == data);
}

TEST(CommandLine, WhatCannotBeReadIsNamedWithItsReasonAndAPipeIsNotWaitedOn) {
    Need("uuencode", "sharutils");
    Need("timeout", "coreutils");
    test::TempDir dir;
    const std::string data = RandomBytes(50000, 24);
    const auto mails = UuencodedMails(dir, "kept.bin", data, 2);
    test::WriteAll(dir.File("m0.eml"), mails[0]);
    test::WriteAll(dir.File("m1.eml"), mails[1]);
    Shell("cd " + dir.Path() + " && mkfifo pipe && mkdir folder");
    std::string out, err;
    // Nobody writes to the pipe: waiting on it would hang until the timeout (status 124).
    EXPECT_EQ(Cli(dir, "--out got m0.eml pipe folder gone.eml m1.eml", &out, &err, "timeout 60 "), 1) << err;
    EXPECT_NE(err.find("cannot read pipe: it is not a regular file"), std::string::npos) << err;
    EXPECT_NE(err.find("cannot read folder: it is a folder, not a file"), std::string::npos) << err;
    EXPECT_NE(err.find("cannot read gone.eml: there is no such file"), std::string::npos) << err;
    // The readable parts around them still join.
    EXPECT_TRUE(test::ReadAll(dir.File("got/kept.bin")) == data);
    EXPECT_EQ(out, "got/kept.bin\n");
}

TEST(CommandLine, HostileNamesStayInTheFolderAndClashesGetNumbers) {
    Need("uuencode", "sharutils");
    test::TempDir dir;
    test::WriteAll(dir.File("d.bin"), "payload");
    std::string mail = MailHeaders("names");
    for (const char* name :
         {"../../escape.txt", "/etc/cron.d/evil", ".bashrc", "a\\b\\c.txt", "report.pdf", "report.pdf"}) {
        Shell("cd " + dir.Path() + " && uuencode d.bin 'x' > one.uue");
        std::string block = test::ReadAll(dir.File("one.uue"));
        block.replace(0, block.find('\n'), std::string("begin 644 ") + name);
        mail += block + "\n";
    }
    test::WriteAll(dir.File("names.eml"), mail);
    fs::create_directories(dir.File("out"));
    test::WriteAll(dir.File("out/report.pdf"), "mine");
    fs::create_symlink(dir.File("target-of-link"), dir.File("out/evil"));
    std::string out, err;
    EXPECT_EQ(Cli(dir, "--out out names.eml", &out, &err), 0) << err;
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.File("out")))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"bashrc", "c.txt", "escape.txt", "evil", "evil (1)", "report (1).pdf",
                                               "report (2).pdf", "report.pdf"}));
    EXPECT_EQ(test::ReadAll(dir.File("out/report.pdf")), "mine");
    EXPECT_FALSE(fs::exists(dir.File("target-of-link")));
    EXPECT_FALSE(fs::exists(dir.File("escape.txt")));
}

TEST(CommandLine, AFolderTheUserMayNotWriteFailsAndSaysWhy) {
    Need("setpriv", "util-linux");
    Need("uuencode", "sharutils");
    test::TempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    test::WriteAll(dir.File("d.bin"), "payload");
    Shell("cd " + dir.Path() +
          " && uuencode d.bin d.bin > d.uue && chmod 644 d.uue && mkdir locked && chmod 755 locked");
    // As nobody (also when the tests run as root), in a folder that belongs to someone else.
    std::string err;
    EXPECT_EQ(Cli(dir, "--out locked d.uue", nullptr, &err,
                  "setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/nonexistent "),
              1);
    EXPECT_NE(err.find("could not be saved"), std::string::npos) << err;
    EXPECT_NE(err.find("Permission denied"), std::string::npos) << err;
    EXPECT_TRUE(fs::is_empty(dir.File("locked")));
}

TEST(MpackPeer, MessagePartialPartsJoinInAnyOrder) {
    Need("mpack", "mpack");
    test::TempDir dir;
    const std::string data = RandomBytes(150000, 25);
    test::WriteAll(dir.File("photo.jpg"), data);
    Shell("cd " + dir.Path() + " && mpack -s 'holiday photo' -m 30000 -o part photo.jpg");
    TReceiver receiver(TReceiveOptions{dir.File("out/"), {}, {}});
    std::vector<std::string> parts;
    for (const auto& e : fs::directory_iterator(dir.Path()))
        if (e.path().filename().string().starts_with("part."))
            parts.push_back(e.path().string());
    ASSERT_GE(parts.size(), 4u);
    std::sort(parts.rbegin(), parts.rend());
    // The last part first, the second one twice.
    parts.push_back(parts[parts.size() - 2]);
    for (const auto& p : parts)
        receiver.AddFile(p);
    ASSERT_EQ(receiver.Settled().size(), 1u);
    EXPECT_EQ(receiver.Settled()[0].State, TReceivedFile::Saved) << receiver.Settled()[0].Why;
    EXPECT_TRUE(test::ReadAll(dir.File("out/photo.jpg")) == data);
    EXPECT_TRUE(receiver.Pending().empty());
}

TEST_F(PythonPeer, NestedSignedForwardedAndRfc2231NamesAsPythonWritesThem) {
    Python(std::string(PythonPrelude) + R"(
from email.message import EmailMessage
inner = EmailMessage()
inner['From'] = 'friend@example.org'
inner['Subject'] = 'the forwarded one'
inner.set_content('see attached\n')
inner.add_attachment(blob, maintype='application', subtype='zip', filename='inner.zip')
m = EmailMessage()
m['From'] = 's@example.org'
m['Subject'] = 'nested'
m.set_content('plain\n')
m.add_alternative('<p>html</p>\n', subtype='html')
long_name = 'na\u00efve caf\u00e9 ' + 'r\u00e9sum\u00e9 ' * 30 + 'end.pdf'
m.add_attachment(blob, maintype='application', subtype='pdf', filename=long_name)
m.add_attachment(inner)
signed = EmailMessage()
signed['From'] = 's@example.org'
signed['Subject'] = 'signed'
signed.make_mixed()
signed.set_type('multipart/signed')
signed.set_param('protocol', 'application/pgp-signature')
body = EmailMessage()
body.set_content('x')
signed.attach(m)
sig = EmailMessage()
sig.set_content(b'-----BEGIN PGP SIGNATURE-----', maintype='application', subtype='pgp-signature')
signed.attach(sig)
open('mail.eml', 'wb').write(signed.as_bytes(policy=policy.SMTP))
open('long_name.txt', 'wb').write(long_name.encode('utf-8'))
)");
    TReceiver receiver(TReceiveOptions{dir.File("out/"), {}, {}});
    receiver.AddFile(dir.File("mail.eml"));
    const std::string longName = test::ReadAll(dir.File("long_name.txt"));
    std::vector<std::string> names;
    for (const auto& f : receiver.Settled()) {
        EXPECT_EQ(f.State, TReceivedFile::Saved) << f.Name << ": " << f.Why;
        names.push_back(f.Name);
    }
    ASSERT_EQ(names.size(), 4u);
    // The long UTF-8 name, shortened at a character boundary with its extension kept.
    EXPECT_TRUE(names[0].ends_with(" end.pdf") || names[0].ends_with(".pdf")) << names[0];
    EXPECT_TRUE(longName.starts_with(names[0].substr(0, names[0].size() - 4))) << names[0];
    // The forwarded mail's attachment, then the forwarded mail itself, whole.
    EXPECT_EQ(names[1], "inner.zip");
    EXPECT_EQ(names[2], "the forwarded one.eml");
    EXPECT_TRUE(test::ReadAll(receiver.Settled()[0].Path) == test::ReadAll(dir.File("blob.bin")));
    EXPECT_TRUE(test::ReadAll(receiver.Settled()[1].Path) == test::ReadAll(dir.File("blob.bin")));
    EXPECT_NE(test::ReadAll(receiver.Settled()[2].Path).find("Subject: the forwarded one"), std::string::npos);
}

TEST_F(PythonPeer, YEncPartsFromPythonsEncoderJoinAndAChangedByteIsCaught) {
    if (std::system("/usr/bin/python3 -c 'import yenc' >/dev/null 2>&1") != 0)
        FAIL() << "Python's yenc module is missing: install the Debian package python3-yenc";
    Python(std::string(PythonPrelude) + R"(
import yenc, zlib
def part(data, number, total, begin, size, crc_of=None):
    e = yenc.Encoder()
    e.feed(data)
    e.terminate()
    body = e.getEncoded().decode('latin-1').rstrip('\r\n')
    crc = zlib.crc32(crc_of if crc_of is not None else data)
    return ('From: s@example.org\nSubject: blob.bin [%d/%d]\n\n=ybegin part=%d total=%d line=128 size=%d name=blob.bin\n'
            '=ypart begin=%d end=%d\n%s\n=yend size=%d part=%d pcrc32=%08x crc32=%08x\n'
            % (number, total, number, total, size, begin + 1, begin + len(data), body, len(data), number, crc,
               zlib.crc32(blob))).encode('latin-1')
half = len(blob) // 2
open('y1.eml', 'wb').write(part(blob[:half], 1, 2, 0, len(blob)))
open('y2.eml', 'wb').write(part(blob[half:], 2, 2, half, len(blob)))
# One byte changed on the way: the part's CRC is the one of the data sent.
bad = bytearray(blob[half:])
bad[100] ^= 1
open('y2bad.eml', 'wb').write(part(bytes(bad), 2, 2, half, len(blob), crc_of=blob[half:]))
)");
    TReceiver receiver(TReceiveOptions{dir.File("out/"), {}, {}});
    receiver.AddFile(dir.File("y2.eml"));
    receiver.AddFile(dir.File("y1.eml"));
    ASSERT_EQ(receiver.Settled().size(), 1u);
    EXPECT_EQ(receiver.Settled()[0].State, TReceivedFile::Saved) << receiver.Settled()[0].Why;
    EXPECT_TRUE(test::ReadAll(dir.File("out/blob.bin")) == test::ReadAll(dir.File("blob.bin")));

    // Once joined, the same parts again are repeats; a fresh batch with a changed byte is caught.
    receiver.AddFile(dir.File("y1.eml"));
    EXPECT_EQ(receiver.Settled().size(), 1u);
    EXPECT_TRUE(receiver.Pending().empty());
    TReceiver again(TReceiveOptions{dir.File("again/"), {}, {}});
    again.AddFile(dir.File("y1.eml"));
    again.AddFile(dir.File("y2bad.eml"));
    ASSERT_EQ(again.Settled().size(), 1u);
    EXPECT_EQ(again.Settled()[0].State, TReceivedFile::Damaged);
    EXPECT_NE(again.Settled()[0].Why.find("CRC"), std::string::npos) << again.Settled()[0].Why;
    EXPECT_FALSE(fs::exists(dir.File("again/blob.bin")));
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
