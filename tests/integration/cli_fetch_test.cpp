// ostrel-cli fetch against a Dovecot of the test's own: replies saved once and decoded, other
// mail (thousands of mails) read no further than its headers and left as it was, and the
// failures a user meets (log-in refused, a foreign certificate, no mailbox set up, a full disk)
// reported with exit status 1.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "support/certificates.h"
#include "support/dovecot.h"
#include "support/run_program.h"
#include "support/test_support.h"
#include "util/text.h"

namespace fs = std::filesystem;
using ostrel::test::ReadAll;
using ostrel::test::TDovecotPeer;
using ostrel::test::TempDir;
using ostrel::test::WriteAll;

namespace {

const std::string kRequest = "http://example.com/news.html";

std::string PageReply(const std::string& messageId) {
    return "From: Www4Mail <www4mail@example.org>\r\nTo: ann@example.org\r\nSubject: Re: " + kRequest +
           "\r\nMessage-ID: <" + messageId +
           "@example.org>\r\nMIME-Version: 1.0\r\nContent-Type: text/html; charset=iso-8859-1\r\n"
           "Content-Transfer-Encoding: quoted-printable\r\n\r\n<html>Caf=E9 =\r\nnews</html>\r\n";
}

const std::string kPrivate = "From: friend@example.net\r\nTo: ann@example.org\r\nSubject: lunch?\r\n"
                             "Message-ID: <p1@example.net>\r\n\r\nsee you at noon\r\n";

class CliFetchTest : public ::testing::Test {
protected:
    TempDir home, config, runtime;

    void Setup(const std::string& mailbox) {
        for (const char* name : {"uservers.da2", "nbinary.ext", "unbinary.txt", "getweb_page.tpl", "Suggest.Ini"})
            fs::copy_file(std::string(OSTREL_BIN_DIR) + "/" + name, home.File(name),
                          fs::copy_options::overwrite_existing);
        WriteAll(home.File("History.Dat"), kRequest + " via www4mail@example.org on 2026-12-01 10:00:00\r\n");
        fs::create_directories(config.File("ostrel"));
        WriteAll(config.File("ostrel/Test Message.Flg"), " ");
        WriteAll(config.File("ostrel/OSTREL.INI"),
                 "[General]\r\nEmail=ann@example.org\r\nNewsLetterRequest=1\r\nTipEnabled=0\r\n[Servers]\r\n"
                 "SMTP=127.0.0.1:9\r\n[Mailbox]\r\n" +
                     mailbox);
    }

    std::vector<std::string> Environment(const std::string& password = TDovecotPeer::Password) {
        return {"XDG_CONFIG_HOME=" + config.Path(),
                "OSTREL_HOME=" + home.Path(),
                "XDG_RUNTIME_DIR=" + runtime.Path(),
                "HOME=" + config.Path(),
                "PATH=/usr/bin:/bin",
                "SSL_CERT_FILE=" + ostrel::test::SharedTestCertificates().CaFile(),
                "OSTREL_MAILBOX_PASSWORD=" + password};
    }

    ostrel::test::TProgramRun Run(const std::string& password = TDovecotPeer::Password) {
        return ostrel::test::RunProgram({std::string(OSTREL_BIN_DIR) + "/ostrel-cli", "fetch"}, Environment(password));
    }

    // Starts a fetch and kills it (SIGKILL) once reached() holds, or after 30 seconds; false when
    // the fetch had ended by itself before.
    bool FetchKilledWhen(const std::function<bool(const std::string& out)>& reached) {
        TempDir io;
        std::string program = std::string(OSTREL_BIN_DIR) + "/ostrel-cli", command = "fetch";
        std::vector<std::string> env = Environment();
        std::vector<char*> argv{program.data(), command.data(), nullptr}, envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, io.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, io.File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            return false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        int status = 0;
        while (std::chrono::steady_clock::now() < end && !reached(ReadAll(io.File("out")))) {
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return WIFSIGNALED(status);
    }
};

} // namespace

TEST_F(CliFetchTest, ImapOverTlsSavesEachReplyOnceDecodedAndLeavesOtherMailAlone) {
    TDovecotPeer dovecot;
    const std::string reply = dovecot.Deliver(PageReply("r1"));
    const std::string other = dovecot.Deliver(kPrivate);
    Setup("Protocol=IMAP\r\nServer=localhost:" + std::to_string(dovecot.ImapsPort()) +
          "\r\nSecurity=TLS\r\nUser=reader\r\n");

    const auto first = Run();
    ASSERT_EQ(first.Status, 0) << first.Out << first.Err;
    const std::string saved = home.File("downloads/example.com_news.html");
    EXPECT_EQ(first.Out, "saved: " + saved + "\n");
    // Decoded; a page keeps its bytes and says their charset, which the mail header alone told.
    EXPECT_EQ(ReadAll(saved), "<meta charset=\"iso-8859-1\">\r\n<html>Caf\xE9 news</html>\r\n");
    EXPECT_EQ(dovecot.Flags(reply), "");
    EXPECT_EQ(dovecot.Flags(other), "") << "the private mail is neither read nor marked";
    EXPECT_NE(ReadAll(home.File("Replies.Dat")).find("arrived"), std::string::npos);

    // Nothing new: nothing saved, and the mailbox was read all the same.
    const auto second = Run();
    EXPECT_EQ(second.Status, 0) << second.Err;
    EXPECT_EQ(second.Out, "");
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(home.File("downloads")))
        ++files;
    EXPECT_EQ(files, 1u);

    // A second reply of the same name never replaces the first.
    dovecot.Deliver(PageReply("r2"));
    const auto third = Run();
    EXPECT_EQ(third.Status, 0) << third.Err;
    EXPECT_EQ(third.Out, "saved: " + home.File("downloads/example.com_news (1).html") + "\n");
    EXPECT_EQ(ReadAll(saved), "<meta charset=\"iso-8859-1\">\r\n<html>Caf\xE9 news</html>\r\n");
}

TEST_F(CliFetchTest, Pop3WithDeleteRemovesTheSavedReplyOnly) {
    TDovecotPeer dovecot;
    const std::string reply = dovecot.Deliver(PageReply("r1"));
    const std::string other = dovecot.Deliver(kPrivate);
    Setup("Protocol=POP3\r\nServer=localhost:" + std::to_string(dovecot.Pop3sPort()) +
          "\r\nSecurity=TLS\r\nUser=reader\r\nDelete=1\r\n");
    const auto run = Run();
    ASSERT_EQ(run.Status, 0) << run.Out << run.Err;
    EXPECT_EQ(run.Out, "saved: " + home.File("downloads/example.com_news.html") + "\n");
    EXPECT_EQ(dovecot.Flags(reply), "(gone)");
    EXPECT_EQ(dovecot.Flags(other), "");
    EXPECT_EQ(Run().Out, "");
}

TEST_F(CliFetchTest, FailuresSayWhichAndSaveNothing) {
    TDovecotPeer dovecot;
    dovecot.Deliver(PageReply("r1"));
    Setup("Protocol=IMAP\r\nServer=localhost:" + std::to_string(dovecot.ImapPort()) +
          "\r\nSecurity=STARTTLS\r\nUser=reader\r\n");
    const auto refused = Run("not the password");
    EXPECT_EQ(refused.Status, 1);
    EXPECT_EQ(refused.Out, "");
    EXPECT_NE(refused.Err.find("password"), std::string::npos) << refused.Err;
    EXPECT_EQ(refused.Err.find("not the password"), std::string::npos) << "no secret in a message";

    TDovecotPeer foreign("wronghost");
    foreign.Deliver(PageReply("r1"));
    Setup("Protocol=IMAP\r\nServer=localhost:" + std::to_string(foreign.ImapsPort()) +
          "\r\nSecurity=TLS\r\nUser=reader\r\n");
    const auto certificate = Run();
    EXPECT_EQ(certificate.Status, 1);
    EXPECT_NE(certificate.Err.find("TrustedCert=" + ostrel::test::SharedTestCertificates().Fingerprint("wronghost")),
              std::string::npos)
        << certificate.Err;
    EXPECT_EQ(foreign.Log().find("user=<reader>"), std::string::npos) << "no log-in was sent";
    EXPECT_FALSE(fs::exists(home.File("downloads/example.com_news.html")));

    Setup("Protocol=None\r\n");
    const auto none = Run();
    EXPECT_EQ(none.Status, 1);
    EXPECT_NE(none.Err.find("no mailbox is set up"), std::string::npos) << none.Err;
}

TEST_F(CliFetchTest, AFetchKilledAnywhereSavesEveryReplyExactlyOnceInTheEnd) {
    TDovecotPeer dovecot;
    constexpr int kReplies = 120;
    const std::string filler(8000, 'x');
    for (int i = 0; i < kReplies; ++i)
        dovecot.Deliver("From: www4mail@example.org\r\nSubject: Re: " + kRequest + "\r\nMessage-ID: <k" +
                        std::to_string(i) + "@example.org>\r\nContent-Type: text/plain\r\n\r\nreply " +
                        std::to_string(i) + " " + filler + "\r\n");
    const std::string other = dovecot.Deliver(kPrivate);
    Setup("Protocol=IMAP\r\nServer=localhost:" + std::to_string(dovecot.ImapsPort()) +
          "\r\nSecurity=TLS\r\nUser=reader\r\nDelete=1\r\n");

    // Killed while the replies are being written to the spool, and again while they are being
    // placed in the downloads folder.
    const std::string spool = home.File("Mailbox");
    int kills = 0;
    kills += FetchKilledWhen([&](const std::string&) {
        std::error_code ec;
        return fs::exists(spool, ec) && fs::directory_iterator(spool, ec) != fs::directory_iterator();
    });
    kills += FetchKilledWhen([&](const std::string&) {
        std::error_code ec;
        return fs::exists(home.File("downloads"), ec) && !fs::is_empty(home.File("downloads"), ec);
    });
    EXPECT_GE(kills, 1) << "at least one fetch was killed in the middle";

    const auto rest = Run();
    ASSERT_EQ(rest.Status, 0) << rest.Err;
    std::multiset<std::string> replies;
    for (const auto& e : fs::directory_iterator(home.File("downloads"))) {
        const std::string text = ReadAll(e.path().string());
        replies.insert(text.substr(0, text.find(' ', 6)));
    }
    EXPECT_EQ(replies.size(), static_cast<std::size_t>(kReplies));
    for (int i = 0; i < kReplies; ++i)
        EXPECT_EQ(replies.count("reply " + std::to_string(i)), 1u) << i;
    EXPECT_TRUE(fs::is_empty(spool));
    EXPECT_EQ(Run().Out, "");
    // Deleted once saved; the private mail stays as it was.
    EXPECT_EQ(dovecot.Files().size(), 1u);
    EXPECT_EQ(dovecot.Flags(other), "");
}

TEST_F(CliFetchTest, RepliesReadInSeveralBatchesAreEachSavedAndReportedOnce) {
    TDovecotPeer dovecot;
    // Three replies of 5 MB: two batches of reading.
    const std::string filler(5000000, 'y');
    for (int i = 0; i < 3; ++i)
        dovecot.Deliver("From: www4mail@example.org\r\nSubject: Re: " + kRequest + "\r\nMessage-ID: <big" +
                        std::to_string(i) + "@example.org>\r\nContent-Type: text/plain\r\n\r\nreply " +
                        std::to_string(i) + " " + filler + "\r\n");
    Setup("Protocol=IMAP\r\nServer=localhost:" + std::to_string(dovecot.ImapsPort()) +
          "\r\nSecurity=TLS\r\nUser=reader\r\n");
    const auto run = Run();
    ASSERT_EQ(run.Status, 0) << run.Err;
    std::set<std::string> reported, replies;
    std::istringstream lines(run.Out);
    for (std::string line; std::getline(lines, line);) {
        ASSERT_TRUE(line.starts_with("saved: ")) << line;
        EXPECT_TRUE(reported.insert(line.substr(7)).second) << "reported twice: " << line;
    }
    for (const auto& e : fs::directory_iterator(home.File("downloads"))) {
        EXPECT_TRUE(reported.count(e.path().string())) << e.path() << " saved but not reported";
        const std::string text = ReadAll(e.path().string());
        replies.insert(text.substr(0, text.find(' ', 6)));
    }
    EXPECT_EQ(reported.size(), 3u);
    EXPECT_EQ(replies, (std::set<std::string>{"reply 0", "reply 1", "reply 2"}));
    EXPECT_EQ(Run().Out, "");
}

namespace {

std::string FilePart(const std::string& part, int n, int total, const std::string& id) {
    return "From: www4mail@example.org\r\nSubject: Re: " + kRequest + " (" + std::to_string(n) + "/" +
           std::to_string(total) + ")\r\nMessage-ID: <" + id + std::to_string(n) + "@example.org>\r\n\r\n" + part;
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST_F(CliFetchTest, AFileInPartsOverTwoFetchesIsDecodedOnceWhenTheLastPartComes) {
    TDovecotPeer dovecot;
    const std::string data = ostrel::test::RandomBytes(30000, 41);
    const auto parts = ostrel::test::UUParts("news.zip", data, 3);
    dovecot.Deliver(FilePart(parts[2], 3, 3, "b"));
    dovecot.Deliver(FilePart(parts[0], 1, 3, "b"));
    Setup("Protocol=IMAP\r\nServer=localhost:" + std::to_string(dovecot.ImapsPort()) +
          "\r\nSecurity=TLS\r\nUser=reader\r\n");

    const auto first = Run();
    ASSERT_EQ(first.Status, 0) << first.Err;
    EXPECT_EQ(first.Out, "");
    EXPECT_NE(ReadAll(home.File("Replies.Dat")).find(kRequest + "\tparts\t2\t3\t"), std::string::npos)
        << ReadAll(home.File("Replies.Dat"));
    EXPECT_TRUE(Names(home.File("downloads")).empty()) << "the parts wait in the spool, not among the user's files";
    auto decodings = [&] {
        const std::string log = ReadAll(home.File("DebugLog.Txt"));
        std::size_t n = 0;
        for (std::size_t at = log.find("Decoding "); at != std::string::npos; at = log.find("Decoding ", at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(decodings(), 1u);

    // Nothing new: the file still misses the same part and is not decoded again.
    const auto idle = Run();
    ASSERT_EQ(idle.Status, 0) << idle.Err;
    EXPECT_EQ(decodings(), 1u);

    // The middle part, which holds only encoded lines, comes in a later fetch.
    dovecot.Deliver(FilePart(parts[1], 2, 3, "b"));
    const auto second = Run();
    ASSERT_EQ(second.Status, 0) << second.Err;
    const std::string saved = home.File("downloads/news.zip");
    EXPECT_EQ(second.Out, "saved: " + saved + "\n");
    EXPECT_TRUE(ReadAll(saved) == data);
    EXPECT_NE(ReadAll(home.File("Replies.Dat")).find(kRequest + "\tarrived\t0\t0\t" + saved), std::string::npos)
        << ReadAll(home.File("Replies.Dat"));
    EXPECT_TRUE(fs::is_empty(home.File("Mailbox")));
    EXPECT_EQ(decodings(), 2u);

    const auto third = Run();
    EXPECT_EQ(third.Status, 0) << third.Err;
    EXPECT_EQ(third.Out, "");
    EXPECT_EQ(Names(home.File("downloads")), std::vector<std::string>{"news.zip"});
}

TEST_F(CliFetchTest, OverPop3WithDeleteTheHeldPartsLeaveTheServerAndTheFileComesOnce) {
    TDovecotPeer dovecot;
    const std::string data = ostrel::test::RandomBytes(30000, 43);
    const auto parts = ostrel::test::UUParts("news.zip", data, 3);
    const std::string third = dovecot.Deliver(FilePart(parts[2], 3, 3, "p"));
    const std::string first = dovecot.Deliver(FilePart(parts[0], 1, 3, "p"));
    const std::string other = dovecot.Deliver(kPrivate);
    Setup("Protocol=POP3\r\nServer=localhost:" + std::to_string(dovecot.Pop3sPort()) +
          "\r\nSecurity=TLS\r\nUser=reader\r\nDelete=1\r\n");

    const auto held = Run();
    ASSERT_EQ(held.Status, 0) << held.Err;
    EXPECT_EQ(held.Out, "");
    EXPECT_NE(ReadAll(home.File("Replies.Dat")).find(kRequest + "\tparts\t2\t3\t"), std::string::npos)
        << ReadAll(home.File("Replies.Dat"));
    // Held in the spool, so they may leave the server; the other mail stays as it was.
    EXPECT_EQ(dovecot.Flags(first), "(gone)");
    EXPECT_EQ(dovecot.Flags(third), "(gone)");
    EXPECT_EQ(dovecot.Flags(other), "");

    const std::string second = dovecot.Deliver(FilePart(parts[1], 2, 3, "p"));
    const auto joined = Run();
    ASSERT_EQ(joined.Status, 0) << joined.Err;
    EXPECT_EQ(joined.Out, "saved: " + home.File("downloads/news.zip") + "\n");
    EXPECT_TRUE(ReadAll(home.File("downloads/news.zip")) == data);
    EXPECT_EQ(dovecot.Flags(second), "(gone)");
    EXPECT_TRUE(fs::is_empty(home.File("Mailbox")));
    EXPECT_EQ(Run().Out, "");
    EXPECT_EQ(Names(home.File("downloads")), std::vector<std::string>{"news.zip"});
}

TEST_F(CliFetchTest, ADamagedPartMarksTheRequestDamagedAndNothingTakesTheFilesName) {
    TDovecotPeer dovecot;
    auto parts = ostrel::test::UUParts("tool.exe", ostrel::test::RandomBytes(20000, 42), 2);
    // A line of the second part loses characters on the way.
    const std::size_t line = parts[1].find("\r\nM");
    ASSERT_NE(line, std::string::npos);
    parts[1].erase(line + 10, 7);
    dovecot.Deliver(FilePart(parts[0], 1, 2, "d"));
    dovecot.Deliver(FilePart(parts[1], 2, 2, "d"));
    Setup("Protocol=IMAP\r\nServer=localhost:" + std::to_string(dovecot.ImapsPort()) +
          "\r\nSecurity=TLS\r\nUser=reader\r\n");

    const auto run = Run();
    ASSERT_EQ(run.Status, 0) << run.Err;
    const std::string tracking = ReadAll(home.File("Replies.Dat"));
    EXPECT_NE(tracking.find(kRequest + "\tdamaged\t"), std::string::npos) << tracking;
    EXPECT_NE(tracking.find("tool.exe: "), std::string::npos) << "the reason is told: " << tracking;
    EXPECT_FALSE(fs::exists(home.File("downloads/tool.exe")));
    for (const auto& name : Names(home.File("downloads")))
        EXPECT_FALSE(name.starts_with("tool") && name.ends_with(".exe")) << name;
    EXPECT_TRUE(fs::is_empty(home.File("Mailbox")));
    const auto again = Run();
    EXPECT_EQ(again.Status, 0) << again.Err;
    EXPECT_EQ(again.Out, "");
}

TEST_F(CliFetchTest, AFetchKilledAsTheFileIsDecodedPlacesItOnceAtTheNextRun) {
    const std::string data = ostrel::test::RandomBytes(6 << 20, 43);
    const auto parts = ostrel::test::UUParts("big.iso", data, 3);
    // Killed once the decoded file has its name in the spool: before or just after the ledger
    // names it, never after it reached the downloads folder. That stretch is short on a fast
    // disk, so a fetch that ended before the kill landed is tried again from the start.
    std::unique_ptr<TDovecotPeer> dovecot;
    const std::string decoded = home.File("Mailbox/Decoded");
    bool killed = false;
    for (int attempt = 0; attempt < 5 && !killed; ++attempt) {
        for (const char* state : {"downloads", "Mailbox", "Mailbox.Dat", "Replies.Dat"})
            fs::remove_all(home.File(state));
        dovecot = std::make_unique<TDovecotPeer>();
        for (int k = 3; k >= 1; --k)
            dovecot->Deliver(FilePart(parts[static_cast<std::size_t>(k - 1)], k, 3, "k"));
        Setup("Protocol=IMAP\r\nServer=localhost:" + std::to_string(dovecot->ImapsPort()) +
              "\r\nSecurity=TLS\r\nUser=reader\r\n");
        killed = FetchKilledWhen([&](const std::string&) {
            std::error_code ec;
            for (const auto& d : fs::recursive_directory_iterator(decoded, ec))
                if (d.path().filename() == "big.iso")
                    return true;
            return false;
        });
    }
    ASSERT_TRUE(killed) << "every fetch ended before the kill landed between decoding and placing";

    const auto rest = Run();
    ASSERT_EQ(rest.Status, 0) << rest.Err;
    // Told again when the killed run had not recorded the file as placed.
    EXPECT_TRUE(rest.Out.empty() || rest.Out == "saved: " + home.File("downloads/big.iso") + "\n") << rest.Out;
    EXPECT_EQ(Names(home.File("downloads")), std::vector<std::string>{"big.iso"});
    EXPECT_TRUE(ReadAll(home.File("downloads/big.iso")) == data);
    EXPECT_TRUE(fs::is_empty(home.File("Mailbox")));
    EXPECT_EQ(Run().Out, "");
}

namespace {

// The UIDs of a set as IMAP writes it ("4,7:9,12:*"); "*" stands for the highest UID there is.
std::set<std::uint32_t> UidSet(const std::string& set, std::uint32_t highest) {
    std::set<std::uint32_t> uids;
    std::istringstream in(set);
    std::string range;
    auto number = [&](const std::string& n) { return n == "*" ? highest : static_cast<std::uint32_t>(std::stoul(n)); };
    while (std::getline(in, range, ',')) {
        const auto colon = range.find(':');
        std::uint32_t from = number(range.substr(0, colon));
        std::uint32_t to = colon == std::string::npos ? from : number(range.substr(colon + 1));
        if (from > to)
            std::swap(from, to);
        for (std::uint32_t uid = from; uid <= to && uid <= highest; ++uid)
            uids.insert(uid);
    }
    return uids;
}

// What one IMAP session asked of the server's mails, from the commands its client sent.
struct TImapUse {
    std::set<std::uint32_t> Read;    // more than the header fetched
    std::set<std::uint32_t> Changed; // flags stored, expunged, copied or moved
    std::uint32_t LowestListed = UINT32_MAX;
    std::vector<std::string> BySequence; // commands that name mails by their numbers
};

TImapUse ReadImapUse(const std::string& session, std::uint32_t highest) {
    // A mail's text, whole or in part: RFC822 and RFC822.TEXT, BODY[], BODY[TEXT], BODY[1],
    // BINARY[...]; BODY[HEADER...] and RFC822.SIZE/.HEADER leave it unread.
    static const std::regex text(R"(RFC822(?![.](SIZE|HEADER))|(BODY|BINARY)([.]PEEK)?\[(?!HEADER))");
    TImapUse use;
    std::istringstream lines(session);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(ostrel::UpperCase(line));
        std::string tag, verb, set, rest;
        words >> tag >> verb;
        const bool byUid = verb == "UID";
        if (byUid)
            words >> verb;
        if (verb != "FETCH" && verb != "STORE" && verb != "EXPUNGE" && verb != "COPY" && verb != "MOVE")
            continue;
        if (!byUid) {
            use.BySequence.push_back(line);
            continue;
        }
        words >> set;
        std::getline(words, rest);
        const auto uids = UidSet(set, highest);
        if (verb == "FETCH") {
            use.LowestListed = std::min<std::uint32_t>(use.LowestListed, std::stoul(set));
            if (std::regex_search(rest, text))
                use.Read.insert(uids.begin(), uids.end());
        } else {
            use.Changed.insert(uids.begin(), uids.end());
        }
    }
    return use;
}

} // namespace

TEST_F(CliFetchTest, ThousandsOfOtherMailsAreJudgedByTheirHeadersAloneAndLeftAsTheyWere) {
    TDovecotPeer dovecot("good", true);
    constexpr int kOthers = 3000;
    const std::string letter(1500, 'o');
    std::vector<std::string> others, replies;
    for (int i = 0; i < kOthers; ++i) {
        if (i == 0 || i == kOthers / 2)
            replies.push_back(dovecot.Deliver(PageReply("h" + std::to_string(i))));
        const std::string n = std::to_string(i);
        others.push_back(dovecot.Deliver("From: friend" + n + "@example.net\r\nTo: ann@example.org\r\nSubject: note " +
                                         n + "\r\nMessage-ID: <n" + n + "@example.net>\r\n\r\n" + letter + "\r\n"));
    }
    replies.push_back(dovecot.Deliver(PageReply("h-last")));
    Setup("Protocol=IMAP\r\nServer=localhost:" + std::to_string(dovecot.ImapsPort()) +
          "\r\nSecurity=TLS\r\nUser=reader\r\nDelete=1\r\n");

    const auto first = Run();
    ASSERT_EQ(first.Status, 0) << first.Err;
    EXPECT_EQ(std::count(first.Out.begin(), first.Out.end(), '\n'), 3) << first.Out;
    EXPECT_EQ(Names(home.File("downloads")).size(), 3u);

    const auto uids = dovecot.Uids();
    ASSERT_EQ(uids.size(), static_cast<std::size_t>(kOthers + 3));
    std::uint32_t highest = 0;
    for (const auto& [name, uid] : uids)
        highest = std::max(highest, uid);
    std::set<std::uint32_t> replyUids;
    for (const auto& name : replies)
        replyUids.insert(uids.at(name));
    auto sessions = dovecot.ImapSessions(1);
    ASSERT_EQ(sessions.size(), 1u);
    const TImapUse use = ReadImapUse(sessions[0], highest);
    EXPECT_EQ(use.Read, replyUids) << "only the replies are read beyond their headers:\n" << sessions[0];
    EXPECT_TRUE(std::includes(replyUids.begin(), replyUids.end(), use.Changed.begin(), use.Changed.end()))
        << "only the replies are deleted:\n"
        << sessions[0];
    EXPECT_TRUE(use.BySequence.empty()) << use.BySequence.front();

    std::size_t untouched = 0;
    const auto files = dovecot.Files();
    for (const auto& name : others) {
        const auto it = files.find(name);
        if (it != files.end() && (it->second.find(':') == std::string::npos || it->second.ends_with(":2,")))
            ++untouched;
    }
    EXPECT_EQ(untouched, static_cast<std::size_t>(kOthers)) << "every other mail is there, unmarked";
    for (const auto& name : replies)
        EXPECT_EQ(files.count(name), 0u) << "a saved reply is deleted with Delete=1";

    // The next fetch asks only for what came since, and saves nothing.
    const std::string late = dovecot.Deliver(kPrivate);
    const auto second = Run();
    EXPECT_EQ(second.Status, 0) << second.Err;
    EXPECT_EQ(second.Out, "");
    sessions = dovecot.ImapSessions(2);
    ASSERT_EQ(sessions.size(), 2u);
    const TImapUse again = ReadImapUse(sessions[1], highest + 1);
    EXPECT_GT(again.LowestListed, highest) << sessions[1];
    EXPECT_TRUE(again.Read.empty() && again.Changed.empty()) << sessions[1];
    EXPECT_EQ(dovecot.Flags(late), "");
    EXPECT_EQ(Names(home.File("downloads")).size(), 3u);
}

namespace {

// A small file system over a folder: a tmpfs mounted in a mount namespace of this test's own
// (so that nothing of it outlives the test), filled up to a chosen point by a filler file.
// Where mounting is refused it is not there, and the test limits the size of any file instead.
class TSmallDisk {
public:
    TSmallDisk(std::string folder, std::size_t bytes) : folder_(std::move(folder)) {
        // The process is still one thread here, as unshare requires.
        static const bool ownNamespace =
            ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        mounted_ = ownNamespace && ::mount("tmpfs", folder_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~TSmallDisk() {
        if (mounted_)
            ::umount2(folder_.c_str(), MNT_DETACH);
    }
    TSmallDisk(const TSmallDisk&) = delete;
    TSmallDisk& operator=(const TSmallDisk&) = delete;

    bool Mounted() const { return mounted_; }

    // Leaves about `bytes` free (all there is when it has less) by growing or shrinking the filler.
    void LeaveFree(std::size_t bytes) {
        const std::string filler = folder_ + ".filler";
        struct statvfs st {};
        ASSERT_EQ(::statvfs(folder_.c_str(), &st), 0);
        const std::uintmax_t available = static_cast<std::uintmax_t>(st.f_bavail) * st.f_frsize;
        std::error_code ec;
        const std::uintmax_t has = fs::exists(filler, ec) ? fs::file_size(filler) : 0;
        const std::uintmax_t wanted = has + available > bytes ? has + available - bytes : 0;
        const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        // tmpfs gives back the pages a shrinking file lets go, and takes them for fallocate.
        const int rc = wanted < has ? ::ftruncate(fd, static_cast<off_t>(wanted))
                                    : ::posix_fallocate(fd, 0, static_cast<off_t>(std::max<std::uintmax_t>(wanted, 1)));
        ::close(fd);
        ASSERT_EQ(rc, 0) << std::strerror(rc < 0 ? errno : rc);
    }

private:
    std::string folder_;
    bool mounted_ = false;
};

} // namespace

TEST_F(CliFetchTest, AFullDiskLeavesNoHalfFileKeepsTheMailAndTheNextFetchesSaveEachReplyOnce) {
    TSmallDisk disk(home.Path(), 8 << 20);
    TDovecotPeer dovecot;
    // Pages of two sizes, and a file sent in three parts, their mails mixed.
    std::map<std::string, std::string> expected; // a saved file's content -> what it is
    std::vector<std::string> pageMails;
    auto page = [&](int k, std::size_t size) {
        const std::string body = "page " + std::to_string(k) + " " + std::string(size, 'a' + k) + "\r\n";
        expected[body] = "page " + std::to_string(k);
        pageMails.push_back(dovecot.Deliver("From: www4mail@example.org\r\nSubject: Re: http://example.com/p" +
                                            std::to_string(k) + ".txt\r\nMessage-ID: <fp" + std::to_string(k) +
                                            "@example.org>\r\nContent-Type: text/plain\r\n\r\n" + body));
    };
    const std::string data = ostrel::test::RandomBytes(600000, 44);
    expected[data] = "big.bin";
    const auto parts = ostrel::test::UUParts("big.bin", data, 3);
    page(0, 16000);
    dovecot.Deliver(FilePart(parts[2], 3, 3, "f"));
    page(1, 16000);
    dovecot.Deliver(FilePart(parts[0], 1, 3, "f"));
    page(2, 100000);
    dovecot.Deliver(FilePart(parts[1], 2, 3, "f"));
    page(3, 100000);
    const std::string other = dovecot.Deliver(kPrivate);
    Setup("Protocol=IMAP\r\nServer=localhost:" + std::to_string(dovecot.ImapsPort()) +
          "\r\nSecurity=TLS\r\nUser=reader\r\nDelete=1\r\n");

    // The program fills its folder at its first start, before the disk fills up.
    const std::string cli = std::string(OSTREL_BIN_DIR) + "/ostrel-cli";
    ASSERT_EQ(ostrel::test::RunProgram({cli, "history"}, Environment()).Status, 0);

    // Room for a few pages only; then for every mail and each part decoded, but not for the whole
    // file joined beside its waiting parts; then enough. Where no file system can be mounted, no
    // file may grow beyond that room instead.
    const std::string failure = disk.Mounted() ? "No space left on device" : "File too large";
    auto fetchWithRoom = [&](std::size_t room) {
        if (disk.Mounted()) {
            disk.LeaveFree(room);
            return Run();
        }
        return ostrel::test::RunProgram(
            {"/bin/sh", "-c", "trap '' XFSZ; exec /usr/bin/prlimit --fsize=" + std::to_string(room) + " \"$@\"", "sh",
             cli, "fetch"},
            Environment());
    };
    // Every file in downloads is one whole reply, none twice; returns what was saved.
    auto saved = [&] {
        std::map<std::string, int> found;
        for (const auto& name : Names(home.File("downloads"))) {
            const std::string content = ReadAll(home.File("downloads/" + name));
            const auto it = expected.find(content);
            if (it == expected.end())
                ADD_FAILURE() << "a half or foreign file: " << name << " (" << content.size() << " bytes)";
            else if (++found[it->second] > 1)
                ADD_FAILURE() << it->second << " saved twice, the second time as " << name;
        }
        return found;
    };
    for (const std::size_t room :
         disk.Mounted() ? std::vector<std::size_t>{150000, 1620000} : std::vector<std::size_t>{50000, 400000}) {
        const auto run = fetchWithRoom(room);
        EXPECT_EQ(run.Status, 1) << "room " << room << ":\n" << run.Out << run.Err;
        EXPECT_NE(run.Err.find(failure), std::string::npos) << run.Err;
        const auto found = saved();
        EXPECT_EQ(found.count("big.bin"), 0u) << "no room for the decoded file";
        for (int k = 0; k < 4; ++k) {
            if (dovecot.Flags(pageMails[static_cast<std::size_t>(k)]) == "(gone)") {
                EXPECT_EQ(found.count("page " + std::to_string(k)), 1u)
                    << "room " << room << ": page " << k << " was deleted on the server before its file was saved";
            }
        }
    }
    if (disk.Mounted())
        disk.LeaveFree(SIZE_MAX);
    const auto rest = Run();
    EXPECT_EQ(rest.Status, 0) << rest.Err;
    const auto found = saved();
    EXPECT_EQ(found.size(), expected.size());
    EXPECT_TRUE(fs::is_empty(home.File("Mailbox")));
    EXPECT_EQ(dovecot.Files().size(), 1u) << "every reply is deleted once saved";
    EXPECT_EQ(dovecot.Flags(other), "");
    for (const auto& name : Names(home.Path()))
        EXPECT_TRUE(!name.starts_with(".") || name == ".filler") << "a temporary file is left behind: " << name;
    const auto again = Run();
    EXPECT_EQ(again.Status, 0) << again.Err;
    EXPECT_EQ(again.Out, "");
}
