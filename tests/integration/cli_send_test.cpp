// Runs the built ostrel-cli send, queue and history against real SMTP servers on loopback, with
// a temp program folder, settings folder and runtime folder of its own.

#include <filesystem>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/peers.h"
#include "support/run_program.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using ostrel::test::DataFile;
using ostrel::test::ReadAll;
using ostrel::test::TAiosmtpdPeer;
using ostrel::test::TempDir;
using ostrel::test::TSmtpSinkPeer;
using ostrel::test::WriteAll;

namespace {

using TRun = ostrel::test::TProgramRun;

class CliSendTest : public ::testing::Test {
protected:
    TempDir home;    // program folder (OSTREL_HOME)
    TempDir config;  // XDG_CONFIG_HOME
    TempDir runtime; // XDG_RUNTIME_DIR: where the desktop program keeps its lock
    TempDir work;    // working folder

    void SetUp() override {
        for (const char* name : {"uservers.da2", "nbinary.ext", "unbinary.txt", "getweb_page.tpl", "agora_uu.tpl",
                                 "agora_mime.tpl", "ftpweb_uu.tpl", "ftpweb_mime.tpl", "Suggest.Ini"})
            fs::copy_file(DataFile(name), home.File(name));
        // The test message went out long ago, and the suggestions have been offered before:
        // only requests reach the server, and no question comes up at start.
        WriteAll(work.File("Test Message.Flg"), " ");
        WriteAll(home.File("Suggest.Ini"), ReadAll(home.File("Suggest.Ini")) + "\r\nUsed=1\r\n");
    }

    void Settings(const std::string& smtp, const std::string& extra = "") {
        fs::create_directories(config.File("ostrel"));
        WriteAll(config.File("ostrel/Test Message.Flg"), " ");
        WriteAll(
            config.File("ostrel/OSTREL.INI"),
            "[General]\r\nEmail=reader@example.net\r\nNewsLetterRequest=1\r\nTipEnabled=0\r\n" + extra +
                "[Servers]\r\nSMTP=" + smtp +
                "\r\nFTP=ftpmail@example.org\r\nHTTPBinary=agora@example.org\r\nHTTPPages=www4mail@example.org\r\n");
    }

    // Started directly, without a shell; stdin comes from the given text.
    TRun Run(const std::vector<std::string>& args, const std::string& input = "") {
        std::vector<std::string> argv{std::string(OSTREL_BIN_DIR) + "/ostrel-cli"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env{"XDG_CONFIG_HOME=" + config.Path(), "OSTREL_HOME=" + home.Path(),
                                     "XDG_RUNTIME_DIR=" + runtime.Path(), "HOME=" + config.Path(),
                                     "PATH=/usr/bin:/bin"};
        // The one-time test message's marker may live in the working folder: keep it in ours.
        return ostrel::test::RunProgram(argv, env, input, work.Path());
    }

    std::string List(const std::string& name) const {
        return fs::exists(home.File(name)) ? ReadAll(home.File(name)) : std::string("<missing>");
    }
};

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The value of a header line of a received mail, without the blanks that align it.
std::string Header(const std::string& mail, const std::string& name) {
    const auto at = mail.find("\r\n" + name + ":");
    if (at == std::string::npos)
        return "<none>";
    const auto from = mail.find_first_not_of(' ', at + name.size() + 3);
    return mail.substr(from, mail.find("\r\n", from) - from);
}

TEST_F(CliSendTest, SentRequestReachesTheServerAndTheHistoryAndIsNotSentTwice) {
    TAiosmtpdPeer server;
    Settings(server.Server());

    TRun run = Run({"send", "--yes", "http://example.com/index.html"});
    EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
    EXPECT_EQ(run.Out, "sent: http://example.com/index.html via www4mail@example.org\n");
    ASSERT_TRUE(server.WaitForMails(1, std::chrono::seconds(5)));
    const auto mails = server.Mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].MailFrom, "reader@example.net");
    EXPECT_EQ(mails[0].RcptTo, std::vector<std::string>{"www4mail@example.org"});
    EXPECT_EQ(Header(mails[0].Content, "Subject"), "www") << mails[0].Content;
    EXPECT_TRUE(Has(mails[0].Content, "\r\n\r\nsend http://example.com/index.html")) << mails[0].Content;

    const std::string history = List("History.Dat");
    EXPECT_EQ(history.rfind("http://example.com/index.html via www4mail@example.org on ", 0), 0u) << history;
    EXPECT_EQ(history.size() - history.find("\r\n"), 2u) << "one CR LF-ended line";
    EXPECT_EQ(Run({"history"}).Out, history.substr(0, history.size() - 2) + "\n");

    // A second run finds it in the history: nothing is sent, and the exit status says so.
    run = Run({"send", "--yes", "http://EXAMPLE.com/index.html#top"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Has(run.Out, "duplicate: http://EXAMPLE.com/index.html")) << run.Out;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(server.Mails().size(), 1u);
    EXPECT_EQ(List("History.Dat"), history);

    // Repeats allowed: sent again; the same text right after is taken for a double copy, and
    // the user is told so rather than that it is in the history.
    Settings(server.Server(), "CheckHistory=0\r\n");
    run = Run({"send", "--yes", "http://example.com/index.html", "http://example.com/index.html"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Out, "sent: http://example.com/index.html via www4mail@example.org\n"
                       "dropped: http://example.com/index.html (the same request went out less than 3 seconds "
                       "ago; a repeat that quick is taken for a double copy, nothing sent)\n");
    ASSERT_TRUE(server.WaitForMails(2, std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(server.Mails().size(), 2u);
}

TEST_F(CliSendTest, RefusedRecipientQueuesTheRequestAndTheNextSuccessSendsTheQueue) {
    {
        TSmtpSinkPeer refusing({"-f", "rcpt"});
        Settings(refusing.Server());
        const TRun run = Run({"send", "--yes", "http://example.com/a.html"});
        EXPECT_EQ(run.Status, 1);
        // Why it failed is on the terminal: the server's refusal, not just how far it got.
        EXPECT_TRUE(Has(run.Out, "failed: http://example.com/a.html (5")) << "the refusal reply first: " << run.Out;
        EXPECT_TRUE(Has(run.Out, "; the last successful operation was <")) << run.Out;
        EXPECT_TRUE(Has(run.Out, "; queued\n")) << run.Out;
        EXPECT_TRUE(Has(run.Err, "Request Failed")) << run.Err;
        EXPECT_EQ(List("Queue.Dat"), "http://example.com/a.html\r\n");
        EXPECT_EQ(List("History.Dat"), "<missing>") << "nothing was added to the history, so it is not written";
        EXPECT_EQ(Run({"queue"}).Out, "http://example.com/a.html\n");
    }
    TAiosmtpdPeer server;
    Settings(server.Server());
    const TRun run = Run({"send", "--yes", "http://example.com/b.html"});
    EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
    EXPECT_EQ(run.Out, "sent: http://example.com/b.html via www4mail@example.org\n"
                       "sent from the queue: http://example.com/a.html via www4mail@example.org\n");
    ASSERT_TRUE(server.WaitForMails(2, std::chrono::seconds(5)));
    EXPECT_TRUE(Has(server.Mails()[1].Content, "send http://example.com/a.html"));
    EXPECT_EQ(List("Queue.Dat"), "");
    const std::string history = List("History.Dat");
    EXPECT_EQ(history.rfind("http://example.com/a.html via ", 0), 0u) << "newest first: " << history;
    EXPECT_TRUE(Has(history, "\r\nhttp://example.com/b.html via www4mail@example.org on ")) << history;
}

TEST_F(CliSendTest, EachTextIsReportedAndOnlyAllSentExitsZero) {
    TAiosmtpdPeer server;
    // Ask before ZIP and EXE only: the answer comes from the terminal.
    Settings(server.Server(), "Confirm=1\r\n");
    TRun run = Run({"send", "www.example.org", "not a url", "HTTPS://Host.example/a.ZIP", "news:comp.lang.c"}, "no\n");
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Out, "sent: http://www.example.org/ via www4mail@example.org\n"
                       "refused: not a url (The URL you entered is either invalid or not supported)\n"
                       "declined: HTTPS://Host.example/a.ZIP (not confirmed)\n"
                       "sent: news:comp.lang.c/ via www4mail@example.org\n");
    EXPECT_TRUE(Has(run.Err, "Request HTTPS://Host.example/a.ZIP by e-mail?")) << run.Err;
    ASSERT_TRUE(server.WaitForMails(2, std::chrono::seconds(5)));

    run = Run({"send", "HTTPS://Host.example/a.ZIP"}, "yes\n");
    EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
    EXPECT_TRUE(Has(run.Out, "sent: HTTPS://Host.example/a.ZIP via ")) << run.Out;
    ASSERT_TRUE(server.WaitForMails(3, std::chrono::seconds(5)));
    EXPECT_EQ(server.Mails().size(), 3u);

    // Disabled, queueing when disabled: the text waits in the queue and does not count as sent.
    Settings(server.Server(), "Enabled=1\r\nchkNotEnabled=1\r\n");
    run = Run({"send", "--yes", "http://example.com/later.html"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Has(run.Out, "queued: http://example.com/later.html")) << run.Out;
    EXPECT_EQ(List("Queue.Dat"), "http://example.com/later.html\r\n");
}

TEST_F(CliSendTest, RunningDesktopProgramKeepsTheListsToItself) {
    TAiosmtpdPeer server;
    Settings(server.Server());
    WriteAll(home.File("Queue.Dat"), "http://example.com/waiting.html\r\n");
    // Hold the lock as the running desktop program does.
    const int fd = ::open((runtime.Path() + "ostrel-" + std::to_string(::getuid()) + "-ostrel.lock").c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"send", "--yes", "http://example.com/x"}, {"queue", "send"}, {"queue", "clear"},
          {"fetch"}}) {
        const TRun run = Run(args);
        EXPECT_EQ(run.Status, 1) << args[0];
        EXPECT_TRUE(Has(run.Err, "the desktop program Ostrel is running")) << run.Err;
        EXPECT_TRUE(Has(run.Err, "\"Unload\"")) << run.Err;
    }
    EXPECT_EQ(List("Queue.Dat"), "http://example.com/waiting.html\r\n");
    EXPECT_EQ(List("History.Dat"), "<missing>");
    EXPECT_TRUE(server.Mails().empty());
    // Reading is harmless.
    EXPECT_EQ(Run({"queue", "list"}).Out, "http://example.com/waiting.html\n");
    EXPECT_EQ(Run({"history"}).Status, 0);
    // ... and writes nothing back: the desktop program may have saved newer lists meanwhile.
    EXPECT_EQ(List("History.Dat"), "<missing>");
    EXPECT_EQ(List("Queue.Dat"), "http://example.com/waiting.html\r\n");

    ::close(fd);
    const TRun run = Run({"queue", "send"});
    EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
    EXPECT_EQ(run.Out, "sent from the queue: http://example.com/waiting.html via www4mail@example.org\n");
    EXPECT_EQ(List("Queue.Dat"), "");
}

TEST_F(CliSendTest, QueueSendStopsAtAFailureAndClearEmptiesTheQueue) {
    WriteAll(home.File("Queue.Dat"), "http://example.com/1.html\r\nhttp://example.com/2.html\r\n");
    {
        TSmtpSinkPeer refusing({"-f", "rcpt"});
        Settings(refusing.Server());
        const TRun run = Run({"queue", "send"});
        EXPECT_EQ(run.Status, 1);
        EXPECT_TRUE(Has(run.Out, "failed: http://example.com/1.html (")) << run.Out;
        EXPECT_TRUE(Has(run.Out, "2 requests still queued")) << run.Out;
        EXPECT_EQ(List("Queue.Dat"), "http://example.com/1.html\r\nhttp://example.com/2.html\r\n");
    }
    const TRun run = Run({"queue", "clear"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out, "queue cleared: 2 requests removed\n");
    EXPECT_EQ(List("Queue.Dat"), "");
}

TEST_F(CliSendTest, IncompleteDetailsAndBadUsageAreRefused) {
    fs::create_directories(config.File("ostrel"));
    WriteAll(config.File("ostrel/OSTREL.INI"), "[General]\r\nEmail=reader@example.net\r\n");
    TRun run = Run({"send", "--yes", "http://example.com/"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Has(run.Err, "My Details are incomplete")) << run.Err;

    EXPECT_EQ(Run({"send", "--yes"}).Status, 2);
    EXPECT_EQ(Run({"send", "--bogus", "http://example.com/"}).Status, 2);
    EXPECT_EQ(Run({"queue", "flush"}).Status, 2);
    EXPECT_EQ(Run({"history", "extra"}).Status, 2);
}

} // namespace
