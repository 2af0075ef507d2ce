#include "decoder/receiver.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mime/base64.h"
#include "mime/uucode.h"
#include "mime/yenc.h"
#include "support/test_support.h"
#include "util/text.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using test::RandomBytes;
using State = TReceivedFile::TState;

std::string Mail(const std::string& subject, const std::string& body) {
    return "From: server@bymail.example\r\nTo: me@example.org\r\nSubject: " + subject +
           "\r\nMessage-ID: <M1234567890123456789012345678901234567890@bymail.example>\r\n\r\n" + body;
}

std::string Numbered(const std::string& name, std::size_t i, std::size_t n, const std::string& part) {
    return Mail(name + " (" + std::to_string(i + 1) + "/" + std::to_string(n) + ")",
                "Part follows.\r\n\r\n" + part + "\r\n-- \r\nByMail\r\n");
}

class ReceiverTest : public ::testing::Test {
protected:
    // The program folder too, so that the receiver's log goes there.
    test::ProgramFolder dir;
    std::string Out() const { return dir.File("out/"); }
    TReceiver receiver{TReceiveOptions{dir.File("out/"), {}, {}}};

    void Give(const std::string& text) { receiver.AddText(text, "clipboard"); }
    std::string Saved(const std::string& name) const { return test::ReadAll(Out() + name); }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(Out()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(ReceiverTest, PartsInAnyOrderWithRepeatsJoinOnceAllAreThereAndMissingOnesAreNamed) {
    const std::string a = RandomBytes(40000, 1), b = RandomBytes(30000, 2);
    const auto pa = test::UUParts("a.bin", a, 4), pb = test::UUParts("b.bin", b, 3);
    // Two files interleaved, backwards, part 2 of a twice; part 3 of a kept back.
    for (const std::string& mail :
         {Numbered("a.bin", 3, 4, pa[3]), Numbered("b.bin", 2, 3, pb[2]), Numbered("a.bin", 1, 4, pa[1]),
          Numbered("b.bin", 1, 3, pb[1]), Numbered("a.bin", 1, 4, pa[1]), Numbered("a.bin", 0, 4, pa[0]),
          Numbered("b.bin", 0, 3, pb[0])})
        Give(mail);
    ASSERT_EQ(receiver.Settled().size(), 1u);
    EXPECT_EQ(receiver.Settled()[0].State, State::Saved) << receiver.Settled()[0].Why;
    EXPECT_TRUE(Saved("b.bin") == b);
    auto pending = receiver.Pending();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].Name, "a.bin");
    EXPECT_EQ(pending[0].PartsHeld, 3);
    EXPECT_EQ(pending[0].PartsTotal, 4);
    EXPECT_EQ(pending[0].Missing, std::vector<int>{3});
    EXPECT_EQ(pending[0].Why, "part 3 of 4 is missing");
    EXPECT_EQ(Names(), std::vector<std::string>{"b.bin"});

    Give(Numbered("a.bin", 2, 4, pa[2]));
    EXPECT_TRUE(Saved("a.bin") == a);
    EXPECT_TRUE(receiver.Pending().empty());
}

TEST_F(ReceiverTest, PartsOfTwoFilesInTurnEachJoinWholeAndAWriteThatFailsIsNeverASave) {
    const std::string a = RandomBytes(300000, 3), b = RandomBytes(200000, 4);
    const auto pa = test::UUParts("a.bin", a, 3), pb = test::UUParts("b.bin", b, 3);
    for (std::size_t i = 0; i < 3; ++i) {
        Give(Numbered("a.bin", i, 3, pa[i]));
        Give(Numbered("b.bin", i, 3, pb[i]));
    }
    EXPECT_TRUE(Saved("a.bin") == a);
    EXPECT_TRUE(Saved("b.bin") == b);

    // A file larger than the process may write: the join fails part way, in a child so that
    // the limit binds nothing else.
    const std::string big = RandomBytes(3 << 20, 5);
    const auto parts = test::UUParts("big.bin", big, 30);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1 << 20, 1 << 20};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        TReceiver limited(TReceiveOptions{dir.File("limited/"), {}, {}});
        for (std::size_t i = 0; i < parts.size(); ++i)
            limited.AddText(Numbered("big.bin", i, parts.size(), parts[i]), "clipboard");
        const auto& settled = limited.Settled();
        const bool reported = settled.size() == 1 && settled[0].State == State::NotSaved &&
                              settled[0].Why.find("File too large") != std::string::npos;
        ::_exit(reported && !fs::exists(dir.File("limited/big.bin")) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the failed join was not reported as not saved";
}

TEST_F(ReceiverTest, NothingIsReplacedAClashOfAnyKindGetsTheNextNumber) {
    fs::create_directories(Out() + "f.zip");                      // a folder
    fs::create_symlink(dir.File("nowhere"), Out() + "f (1).zip"); // a link to nothing
    test::WriteAll(Out() + "f (2).zip", "mine");
    const std::string data = RandomBytes(500, 3);
    Give(Mail("f.zip", test::UUParts("f.zip", data, 1)[0]));
    ASSERT_EQ(receiver.Settled().size(), 1u);
    EXPECT_EQ(receiver.Settled()[0].Path, Out() + "f (3).zip");
    EXPECT_TRUE(Saved("f (3).zip") == data);
    EXPECT_EQ(Saved("f (2).zip"), "mine");
    EXPECT_TRUE(fs::is_symlink(Out() + "f (1).zip"));
    EXPECT_FALSE(fs::exists(dir.File("nowhere")));
}

TEST_F(ReceiverTest, DamagedOrCutOffDataIsNamedAndNeverSavedUnderItsName) {
    const std::string data = RandomBytes(9000, 4);
    std::string uu = test::UUParts("lost.bin", data, 1)[0];
    // A data line that lost a character in the middle of the block.
    const auto line = uu.find("\r\nM", uu.size() / 2) + 2;
    uu.erase(line + 30, 1);
    Give(Mail("one", uu));
    // No end line: the mail was cut off.
    std::string cut = test::UUParts("cut.bin", data, 1)[0];
    cut.resize(cut.size() / 2);
    cut.resize(cut.rfind("\r\n") + 2);
    Give(Mail("two", cut));
    // A base64 attachment that lost one character, and one whose mail ends inside it.
    std::string b64;
    Base64EncodeLines(data, b64);
    std::string lost = b64;
    lost.erase(100, 1);
    Give("MIME-Version: 1.0\r\nContent-Type: application/zip; name=\"short.zip\"\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\n" +
         lost);
    Give("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
         "Content-Type: application/zip; name=\"open.zip\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
         b64.substr(0, 2000));

    const auto& s = receiver.Settled();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].State, State::Damaged);
    EXPECT_NE(s[0].Why.find("length character"), std::string::npos) << s[0].Why;
    EXPECT_EQ(s[0].Path, Out() + "lost.bin.damaged");
    EXPECT_EQ(s[1].State, State::Damaged);
    EXPECT_NE(s[1].Why.find("short"), std::string::npos) << s[1].Why;
    EXPECT_EQ(s[2].State, State::Damaged);
    EXPECT_NE(s[2].Why.find("cut off"), std::string::npos) << s[2].Why;
    // The UU block without its end waits for a part that never comes.
    ASSERT_EQ(receiver.Pending().size(), 1u);
    EXPECT_EQ(receiver.Pending()[0].Name, "cut.bin");
    for (const auto& name : Names())
        EXPECT_TRUE(name.ends_with(".damaged")) << name;
}

TEST_F(ReceiverTest, TheOldJoinFaultsTrueEndsHeaderLinesStrippedBlanksAndLineEnds) {
    // Part 1 whose last data line happens to end in "`" followed by a cut marker starting
    // with "END": not the whole file.
    std::string data = RandomBytes(44 * 45, 5);
    data.replace(22 * 45 - 3, 3, std::string(3, '\0'));
    const auto parts = test::UUParts("exe.bin", data, 2);
    std::string first = parts[0];
    ASSERT_EQ(first[first.size() - 3], '`');
    Give(Mail("exe.bin", first + "END of part 1, cut here\r\n"));
    EXPECT_TRUE(receiver.Settled().empty());
    // The later part, copied with CR CR LF line ends and with its blank closing line stripped,
    // after a Message-ID of 61 characters that begins with "M".
    std::string second = parts[1];
    second.replace(second.find("`\r\nend"), 1, "");
    Give(ReplaceEach("\r\n", Mail("exe.bin", second), "\r\r\n"));
    ASSERT_EQ(receiver.Settled().size(), 1u);
    EXPECT_EQ(receiver.Settled()[0].State, State::Saved) << receiver.Settled()[0].Why;
    EXPECT_TRUE(Saved("exe.bin") == data);
}

TEST_F(ReceiverTest, BlanksAMailProgramStrippedAreRestoredAndALastPartOfClosingLinesJoins) {
    // An encoder that writes zero as a blank; the mail program strips the line ends' blanks.
    const std::string data = std::string(90, '\0') + RandomBytes(200, 6) + std::string(44, '\0');
    std::string lines;
    UUEncodeLines(data, lines);
    std::string blanks;
    for (char c : lines)
        blanks += c == '`' ? ' ' : c;
    std::string stripped;
    for (std::size_t at = 0; at < blanks.size();) {
        const auto end = blanks.find("\r\n", at);
        std::string l = blanks.substr(at, end - at);
        while (!l.empty() && l.back() == ' ')
            l.pop_back();
        stripped += l + "\r\n";
        at = end + 2;
    }
    // The last data line goes alone with the closing lines into part 2.
    const auto lastLine = stripped.rfind("\r\n", stripped.size() - 3) + 2;
    Give(Mail("z.bin", "begin 644 z.bin\r\n" + stripped.substr(0, lastLine)));
    Give(Mail("z.bin", stripped.substr(lastLine) + " \r\nend\r\n-- \r\nsig\r\n"));
    ASSERT_EQ(receiver.Settled().size(), 1u);
    EXPECT_EQ(receiver.Settled()[0].State, State::Saved) << receiver.Settled()[0].Why;
    EXPECT_TRUE(Saved("z.bin") == data);
}

TEST_F(ReceiverTest, SeveralMailsInOneTextAnMboxAndOnePieceAtATime) {
    const std::string data = RandomBytes(20000, 7);
    const auto parts = test::UUParts("m.bin", data, 3);
    std::string mbox;
    for (std::size_t i : {2u, 0u, 1u})
        mbox += "From server@bymail.example Mon Dec  7 10:00:00 2026\n" +
                ReplaceEach("\r\n", Numbered("m.bin", i, 3, parts[i]), "\n") + "\n";
    TReceiver bytewise(TReceiveOptions{dir.File("bytes/"), {}, {}});
    bytewise.Begin("mbox");
    for (char c : mbox)
        bytewise.Feed(std::string_view(&c, 1));
    bytewise.End();
    ASSERT_EQ(bytewise.Settled().size(), 1u);
    EXPECT_TRUE(test::ReadAll(dir.File("bytes/m.bin")) == data);

    // Mails copied one after the other, without separators, unnumbered: in the order given.
    Give(Mail("m.bin", parts[0]) + Mail("re", parts[1]) + Mail("re", parts[2]));
    ASSERT_EQ(receiver.Settled().size(), 1u);
    EXPECT_TRUE(Saved("m.bin") == data);
}

TEST_F(ReceiverTest, NestedMimeForwardedMailsNamesAndUUInsideQuotedPrintable) {
    const std::string data = RandomBytes(3000, 8);
    std::string b64;
    Base64EncodeLines(data, b64);
    std::string uu = test::UUParts("inner.uu.bin", data, 1)[0];
    std::string qp; // the UU block as a quoted-printable text body ("=" escaped)
    for (char c : uu)
        qp += c == '=' ? std::string("=3D") : std::string(1, c);
    const std::string longName(300, 'x');
    const std::string mail =
        "MIME-Version: 1.0 (produced by a mail program)\r\nSubject: fwd\r\n"
        "Content-Type: multipart/signed; boundary=\"s\"; protocol=\"application/pgp-signature\"\r\n\r\n"
        "--s\r\nContent-Type: multipart/mixed; boundary=\"m\"\r\n\r\n"
        "--m\r\nContent-Type: application/octet-stream; name=\"wrong.bin\"\r\n"
        "Content-Disposition: attachment; filename*0*=utf-8''%E2%82%AC%20price;\r\n filename*1=\" list.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n" +
        b64 +
        "--m\r\nContent-Type: text/plain; charset=us-ascii\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
        qp +
        "\r\n--m\r\nContent-Type: message/rfc822\r\n\r\n"
        "From: a@example.org\r\nSubject: =?iso-8859-1?Q?r=E9sum=E9?=\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"i\"\r\n\r\n--i\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
        "--i\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment; filename=\"" +
        longName + ".pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + b64 +
        "--i--\r\n--m--\r\n"
        "--s\r\nContent-Type: application/pgp-signature\r\n\r\nsig\r\n--s--\r\n";
    Give(mail);
    std::vector<std::string> names;
    for (const auto& f : receiver.Settled()) {
        EXPECT_EQ(f.State, State::Saved) << f.Name << ": " << f.Why;
        names.push_back(f.Name);
    }
    ASSERT_EQ(names.size(), 5u);
    EXPECT_EQ(names[0], "\xE2\x82\xAC price list.bin");
    EXPECT_EQ(names[1], "inner.uu.bin");
    // The forwarded mail whole, then its attachment, shortened to fit, extension kept.
    EXPECT_EQ(names[2].substr(names[2].size() - 4), ".pdf");
    EXPECT_EQ(names[3], "r\xC3\xA9sum\xC3\xA9.eml");
    EXPECT_TRUE(Saved(names[0]) == data);
    EXPECT_TRUE(Saved(names[1]) == data);
    const std::string shortened = fs::path(receiver.Settled()[2].Path).filename().string();
    EXPECT_LE(shortened.size(), 255u);
    EXPECT_TRUE(shortened.ends_with("xx.pdf"));
    EXPECT_TRUE(test::ReadAll(receiver.Settled()[2].Path) == data);
    const std::string eml = Saved(names[3]);
    EXPECT_TRUE(eml.starts_with("From: a@example.org\r\n"));
    EXPECT_TRUE(eml.ends_with("--i--")) << eml.substr(eml.size() - 20);
    // Every line of it, its attachment's data included.
    EXPECT_NE(eml.find(b64.substr(0, 76) + "\r\n" + b64.substr(78, 76)), std::string::npos);
}

// The next part of a join decodes straight into the join's buffer while the forwarded mail
// around it is written line by line to its own file: neither may take the other's bytes, also
// when the join's buffer is written out in the middle of the part.
TEST_F(ReceiverTest, AJoinsNextPartInsideAForwardedMailLeavesBothWhole) {
    const std::string data = RandomBytes(3 << 20, 12);
    const auto parts = test::UUParts("joined.bin", data, 3);
    Give(Mail("joined.bin", parts[0]));
    const std::string forwarded = "From: a@example.org\r\nSubject: the middle\r\n\r\nAs sent:\r\n\r\n" + parts[1];
    Give("MIME-Version: 1.0\r\nSubject: fwd\r\nContent-Type: multipart/mixed; boundary=\"m\"\r\n\r\n"
         "--m\r\nContent-Type: text/plain\r\n\r\nsee below\r\n"
         "--m\r\nContent-Type: message/rfc822\r\n\r\n" +
         forwarded + "--m--\r\n");
    Give(Mail("joined.bin", parts[2]));
    const auto& s = receiver.Settled();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].Name, "the middle.eml");
    EXPECT_EQ(s[1].Name, "joined.bin");
    for (const auto& f : s)
        EXPECT_EQ(f.State, State::Saved) << f.Name << ": " << f.Why;
    EXPECT_TRUE(Saved("joined.bin") == data);
    EXPECT_TRUE(Saved("the middle.eml") + "\r\n" == forwarded);
}

TEST_F(ReceiverTest, UUInsideABase64TextBodyAndItsDamageAreFound) {
    const std::string data = RandomBytes(7000, 11);
    const std::string uu = "Your file:\r\n\r\n" + test::UUParts("t.bin", data, 1)[0] + "\r\nRegards\r\n";
    std::string body;
    Base64EncodeLines(uu, body);
    const std::string head = "MIME-Version: 1.0\r\nSubject: t\r\nContent-Type: text/plain; charset=us-ascii\r\n"
                             "Content-Transfer-Encoding: base64\r\n\r\n";
    Give(head + body);
    // The same text with one UU data line a character short before it was base64-encoded.
    std::string cut = uu;
    cut.erase(cut.find("\r\nM", cut.size() / 2) + 10, 1);
    std::string cutBody;
    Base64EncodeLines(cut, cutBody);
    Give(head + cutBody);
    const auto& s = receiver.Settled();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].State, State::Saved) << s[0].Why;
    EXPECT_TRUE(Saved("t.bin") == data);
    EXPECT_EQ(s[1].State, State::Damaged);
    EXPECT_EQ(Names(), (std::vector<std::string>{"t.bin", "t.bin.damaged"}));
}

TEST_F(ReceiverTest, BeginLinesWithFourDigitModesAndBlanksAndYEncWithItsCrc) {
    const std::string data = RandomBytes(5000, 9);
    Give(Mail("x", ReplaceFirst("begin 644 n.bin", test::UUParts("n.bin", data, 1)[0], "begin 0644 my file v2.bin")));
    // yEnc, right and with one byte changed.
    std::string body;
    for (unsigned char c : data) {
        const unsigned char e = static_cast<unsigned char>(c + 42);
        if (e == 0 || e == '\n' || e == '\r' || e == '=')
            body += '=', body += static_cast<char>(e + 64);
        else
            body += static_cast<char>(e);
    }
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", Crc32(0, data));
    const std::string yenc =
        "=ybegin line=128 size=5000 name=y.bin\r\n" + body + "\r\n=yend size=5000 crc32=" + crc + "\r\n";
    Give(Mail("y", yenc));
    std::string bad = yenc;
    bad[200] = static_cast<char>(bad[200] == 'a' ? 'b' : 'a');
    Give(Mail("y2", ReplaceFirst("y.bin", bad, "y2.bin")));
    const auto& s = receiver.Settled();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].Name, "my file v2.bin");
    EXPECT_TRUE(Saved("my file v2.bin") == data);
    EXPECT_EQ(s[1].State, State::Saved) << s[1].Why;
    EXPECT_TRUE(Saved("y.bin") == data);
    EXPECT_EQ(s[2].State, State::Damaged);
    EXPECT_NE(s[2].Why.find("CRC"), std::string::npos);
}

// btoa as its format is described: groups of four bytes as five base-85 digits from "!", "z" for
// a group of zeros, the last group filled with zeros, and the byte count and three checksums
// (over every byte, the fill included) on the end line.
std::string Btoa(const std::string& data) {
    std::uint32_t eor = 0, sum = 0, rot = 0;
    std::string out = "xbtoa Begin\n", line;
    std::string padded = data;
    while (padded.size() % 4)
        padded += '\0';
    for (unsigned char c : padded) {
        eor ^= c;
        sum += c + 1u;
        rot = (rot & 0x80000000u) ? (rot << 1) + 1 : rot << 1;
        rot += c;
    }
    for (std::size_t i = 0; i < padded.size(); i += 4) {
        std::uint32_t word = 0;
        for (int k = 0; k < 4; ++k)
            word = (word << 8) | static_cast<unsigned char>(padded[i + static_cast<std::size_t>(k)]);
        if (word == 0) {
            line += 'z';
        } else {
            char digits[5];
            for (int k = 4; k >= 0; --k, word /= 85)
                digits[k] = static_cast<char>('!' + word % 85);
            line.append(digits, 5);
        }
        if (line.size() >= 78) {
            out += line + "\n";
            line.clear();
        }
    }
    if (!line.empty())
        out += line + "\n";
    char end[128];
    std::snprintf(end, sizeof end, "xbtoa End N %zu %zx E %x S %x R %x\n", data.size(), data.size(), eor, sum, rot);
    return out + end;
}

TEST_F(ReceiverTest, BtoaWithItsCountAndChecksums) {
    const std::string data = RandomBytes(1001, 10) + std::string(8, '\0') + "end";
    Give(Mail("b", Btoa(data)));
    std::string bad = Btoa(data);
    bad[30] = bad[30] == '!' ? '"' : '!';
    Give(Mail("b2", bad));
    const auto& s = receiver.Settled();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].State, State::Saved) << s[0].Why;
    EXPECT_TRUE(test::ReadAll(s[0].Path) == data);
    EXPECT_EQ(s[1].State, State::Damaged);
    EXPECT_NE(s[1].Why.find("checksums"), std::string::npos) << s[1].Why;
}

TEST_F(ReceiverTest, AFolderThatCannotBeMadeIsReportedNotLost) {
    test::WriteAll(dir.File("plain"), "a file, not a folder");
    TReceiver blocked(TReceiveOptions{dir.File("plain/out/"), {}, {}});
    blocked.AddText(Mail("x", test::UUParts("x.bin", "data", 1)[0]), "clipboard");
    ASSERT_EQ(blocked.Settled().size(), 1u);
    EXPECT_EQ(blocked.Settled()[0].State, State::NotSaved);
    EXPECT_NE(blocked.Settled()[0].Why.find("Not a directory"), std::string::npos) << blocked.Settled()[0].Why;
}

TEST_F(ReceiverTest, AFileThatCannotBeWrittenWholeIsNotSavedNotCalledDamaged) {
    // Each part fits; the joined file does not. Parts in order are written straight into it,
    // parts out of order wait in files of their own and are joined later: both ways fail alike.
    const std::string a = RandomBytes(60000, 11), b = RandomBytes(60000, 12);
    const auto pa = test::UUParts("a.bin", a, 3), pb = test::UUParts("b.bin", b, 3);
    {
        test::TFileSizeLimit limit(30000);
        for (std::size_t i : {0, 1, 2})
            Give(Numbered("a.bin", i, 3, pa[i]));
        for (std::size_t i : {1, 2, 0})
            Give(Numbered("b.bin", i, 3, pb[i]));
    }
    ASSERT_EQ(receiver.Settled().size(), 2u);
    for (const auto& f : receiver.Settled()) {
        EXPECT_EQ(f.State, State::NotSaved) << f.Name << ": " << f.Why;
        EXPECT_NE(f.Why.find("File too large"), std::string::npos) << f.Why;
        EXPECT_TRUE(f.Path.empty()) << f.Path;
    }
    EXPECT_TRUE(Names().empty()) << "nothing is kept of a file that could not be written: " << Names().front();

    // Given again once there is room, the same parts make the whole file.
    for (std::size_t i : {0, 1, 2})
        Give(Numbered("b.bin", i, 3, pb[i]));
    ASSERT_EQ(receiver.Settled().size(), 3u);
    EXPECT_EQ(receiver.Settled()[2].State, State::Saved) << receiver.Settled()[2].Why;
    EXPECT_TRUE(Saved("b.bin") == b);
}

TEST(SubjectNumbers, TheFormsServersAndMailProgramsWrite) {
    auto p = PartInSubject("game.zip (2/5)");
    EXPECT_EQ(p.Part, 2);
    EXPECT_EQ(p.Total, 5);
    EXPECT_EQ(p.Base, "game.zip");
    EXPECT_EQ(PartInSubject("Game.zip - Part 3 of 5").Base, "game.zip");
    EXPECT_EQ(PartInSubject("[4/5] game.zip").Part, 4);
    EXPECT_EQ(PartInSubject("game.zip [5 of 5]").Part, 5);
    EXPECT_EQ(PartInSubject("report 2026/12 (1/2)").Part, 1);
    EXPECT_EQ(PartInSubject("Re: your request").Part, 0);
    EXPECT_EQ(PartInSubject("file (6/5)").Part, 0);
}

} // namespace
} // namespace ostrel
