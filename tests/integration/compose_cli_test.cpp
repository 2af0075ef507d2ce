// Runs the built ostrel-cli on request texts and compares the mails it prints with the golden
// files in tests/data/compose. Set OSTREL_UPDATE_GOLDEN=1 to rewrite the golden files from the
// current output (then read every changed file before committing it).

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "support/run_program.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using ostrel::test::DataFile;
using ostrel::test::ReadAll;
using ostrel::test::TempDir;
using ostrel::test::WriteAll;

namespace {

const std::string GoldenDir = std::string(OSTREL_TEST_DATA_DIR) + "/compose/";

using TRun = ostrel::test::TProgramRun;

class ComposeCliTest : public ::testing::Test {
protected:
    TempDir home;   // program folder
    TempDir config; // XDG_CONFIG_HOME

    void SetUp() override {
        for (const char* name : {"uservers.da2", "nbinary.ext", "unbinary.txt", "Suggest.Ini", "getweb_page.tpl",
                                 "agora_uu.tpl", "agora_mime.tpl", "ftpweb_uu.tpl", "ftpweb_mime.tpl"})
            fs::copy_file(DataFile(name), home.File(name));
        Settings("");
    }

    // OSTREL.INI with the user's address and whatever else the case needs.
    void Settings(const std::string& extra) {
        fs::create_directories(config.File("ostrel"));
        WriteAll(config.File("ostrel/OSTREL.INI"), "[General]\r\nEmail=reader@example.net\r\n" + extra);
    }

    // Started directly, without a shell: request texts hold bytes that shells take as syntax.
    TRun Run(const std::vector<std::string>& args, bool withRoot = true, const std::string& programHome = "") {
        std::vector<std::string> argv{std::string(OSTREL_BIN_DIR) + "/ostrel-cli", "compose"};
        if (withRoot)
            argv.insert(argv.end(), {"--root", home.Path()});
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env{"XDG_CONFIG_HOME=" + config.Path(), "OSTREL_HOME=" + programHome,
                                     "HOME=" + config.Path(), "PATH=/usr/bin:/bin"};
        return ostrel::test::RunProgram(argv, env);
    }

    // Runs and compares standard output with the golden file of that name.
    void Golden(const std::string& name, const std::vector<std::string>& args, int status = 0) {
        const TRun run = Run(args);
        EXPECT_EQ(run.Status, status) << run.Err;
        const std::string path = GoldenDir + name + ".eml";
        if (const char* update = std::getenv("OSTREL_UPDATE_GOLDEN"); update && *update == '1') {
            fs::create_directories(GoldenDir);
            WriteAll(path, run.Out);
            return;
        }
        ASSERT_TRUE(fs::exists(path)) << path;
        EXPECT_EQ(run.Out, ReadAll(path)) << name << "\n" << run.Err;
    }
};

} // namespace

TEST_F(ComposeCliTest, PageRequests) {
    // Suggested page server: a verb before the URL, which stays as captured.
    Golden("page_verb", {"HTTP://Host.example/Page.HTM"});
    Settings("[Servers]\r\nHTTPPages=getweb@example.org\r\n");
    Golden("page_template", {"https://www.example.com/news/index.php?id=7&lang=en"});
    // Newsgroups and gopher selectors are pages whatever dots they hold.
    Golden("page_news_gopher", {"news:comp.lang.c", "gopher://gopher.example.org/9/file.zip"});
}

TEST_F(ComposeCliTest, BinaryRequests) {
    Settings("prefBinaryFormat=1\r\nChunks=1\r\nChunkSize=60\r\n");
    Golden("binary_mime_split", {"http://dl.example.com/tools/setup.exe"});
    Settings("prefBinaryFormat=0\r\nChunks=0\r\n");
    Golden("binary_uu_whole", {"https://dl.example.com/a.tar.gz"});
    Settings("prefBinaryFormat=2\r\nChunks=1\r\nChunkSize=100\r\n[Servers]\r\nHTTPBinary=webgetter@example.org\r\n");
    Golden("binary_verb", {"http://dl.example.com/get.php?file=setup.zip"});
}

TEST_F(ComposeCliTest, FtpRequests) {
    Settings("prefBinaryFormat=2\r\nChunks=1\r\nChunkSize=60\r\n");
    Golden("ftp_script", {"ftp://ftp.example.org/pub/x/f.zip", "ftp://ftp.example.org/pub/", "ftp://host"});
    Settings("prefBinaryFormat=1\r\nChunks=0\r\n");
    Golden("ftp_long_directory",
           {"ftp://ftp.example.org/pub/mirrors/software/archive/languages/compilers/2026/release/x86_64/pkg.tgz",
            "ftp://ftp.example.org/" + std::string(70, 'd') + "/f.zip"});
    Settings("prefBinaryFormat=1\r\nChunks=1\r\nChunkSize=30\r\n[Servers]\r\nFTP=ftpweb@example.org\r\n");
    Golden("ftp_through_web", {"ftp://ftp.example.org/pub/f.zip"});
}

TEST_F(ComposeCliTest, OneServerForEveryRole) {
    Settings("prefBinaryFormat=0\r\nChunks=1\r\nChunkSize=45\r\n[Servers]\r\nFTP=bymail@example.org\r\n"
             "HTTPBinary=bymail@example.org\r\nHTTPPages=bymail@example.org\r\n");
    // The FTP script sets no subject: it keeps the one of the request before, as the single
    // message object of the desktop program does.
    Golden("every_role", {"http://www.example.org/", "http://www.example.org/a.zip", "ftp://h.example/d/f"});
}

TEST_F(ComposeCliTest, DirectRequests) {
    Golden("direct", {"mailserver:robot@lists.example.org\x9Fsubscribe\x9Fsubscribe news\x9Fquit",
                      "mailserver:robot@lists.example.org\x9Fhelp"});
    Golden("direct_and_web", {"http://www.example.org/?mailserver:robot@x.example\x9F"
                              "subj\x9F"
                              "body"});
}

TEST_F(ComposeCliTest, LongUrlsAndHighBytesGoOutQuotedPrintable) {
    std::string url = "http://www.example.org/";
    while (url.size() < 500)
        url += "caf\xE9-\xFF\x80/";
    url.resize(511);
    url += "/"; // 512 characters, a page
    Golden("long_url", {url});
}

TEST_F(ComposeCliTest, DirectoryEdgeCases) {
    // A hand-made directory: repeated sections, over-long values, missing keys, quotes.
    fs::copy_file(GoldenDir + "edge_uservers.da2", home.File("uservers.da2"), fs::copy_options::overwrite_existing);
    Settings("prefBinaryFormat=1\r\nChunks=1\r\nChunkSize=60\r\n[Servers]\r\nHTTPPages=twice@example.org\r\n"
             "HTTPBinary=long@example.org\r\nFTP=bare@example.org\r\n");
    Golden("edge_directory", {"http://a.example/", "http://a.example/f.bin", "ftp://h.example/pub/f"});
}

TEST_F(ComposeCliTest, FailuresAreReportedWithTheirStatus) {
    TRun run = Run({"mailto:someone@example.org", "http://ok.example/"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_NE(run.Err.find("no request mail can be made from 'mailto:someone@example.org'"), std::string::npos)
        << run.Err;
    EXPECT_NE(run.Out.find("To:        <www4mail@example.org>"), std::string::npos) << run.Out;

    run = Run({"mailserver:victim@example.org\rRCPT TO:<other@example.org>"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Out, "");
    EXPECT_NE(run.Err.find("recipient"), std::string::npos) << run.Err;
    // A lone CR would be one more command of the FTP script.
    run = Run({"ftp://ftp.example/pub/a\rget other"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Out, "");
    EXPECT_NE(run.Err.find("line break"), std::string::npos) << run.Err;

    for (const auto& bad : std::vector<std::vector<std::string>>{{}, {"--nonsense", "http://a/"}}) {
        run = Run(bad);
        EXPECT_EQ(run.Status, 2);
        EXPECT_NE(run.Err.find("usage: ostrel-cli compose"), std::string::npos) << run.Err;
    }
    run = Run({"--root"}, false);
    EXPECT_EQ(run.Status, 2);

    fs::remove(home.File("uservers.da2"));
    run = Run({"http://a/"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Out, "");
    EXPECT_NE(run.Err.find("uservers.da2"), std::string::npos) << run.Err;
}

TEST_F(ComposeCliTest, ProgramFolderComesFromTheEnvironmentWithoutRoot) {
    const TRun run = Run({"http://a.example/"}, false, home.Path());
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_NE(run.Out.find("<www4mail@example.org>"), std::string::npos);
    EXPECT_NE(ReadAll(home.File("DebugLog.Txt")).find("Body: send http://a.example/"), std::string::npos);
}

TEST_F(ComposeCliTest, HugeTemplatesAreHandledWithoutCrashing) {
    // Several megabytes of short lines: sent, quoted-printable because the body is one long entry.
    std::string big;
    while (big.size() < 3 * 1024 * 1024)
        big += "GET \xFE\r\n";
    WriteAll(home.File("getweb_page.tpl"), big);
    Settings("[Servers]\r\nHTTPPages=getweb@example.org\r\n");
    TRun run = Run({"http://a.example/"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_GT(run.Out.size(), big.size());
    EXPECT_NE(run.Out.find("\r\nGET http://a.example/\r\nGET http://a.example/\r\n"), std::string::npos);

    // One line longer than a mail line may be: refused with a message, nothing printed.
    WriteAll(home.File("getweb_page.tpl"), std::string(100000, 'x') + "\xFE");
    run = Run({"http://a.example/"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Out, "");
    EXPECT_FALSE(run.Err.empty());
}
