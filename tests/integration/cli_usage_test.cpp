// Runs the built ostrel-cli as a user meets it first: help and usage errors of every command,
// the program folder named by --root, texts that a terminal would act on, settings that the
// desktop program would refuse.

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "support/run_program.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using ostrel::test::ReadAll;
using ostrel::test::TempDir;
using ostrel::test::WriteAll;

namespace {

using TRun = ostrel::test::TProgramRun;

const std::vector<std::string> Commands = {"compose", "send", "queue", "history", "decode"};

class CliUsageTest : public ::testing::Test {
protected:
    TempDir config; // XDG_CONFIG_HOME
    TempDir work;   // the working folder, where relative paths start
    TempDir home;   // OSTREL_HOME when a case does not name one with --root

    void SetUp() override { Settings(""); }

    void Settings(const std::string& extra) {
        fs::create_directories(config.File("ostrel"));
        WriteAll(config.File("ostrel/OSTREL.INI"), "[General]\r\nEmail=reader@example.net\r\n" + extra);
    }

    TRun Run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{std::string(OSTREL_BIN_DIR) + "/ostrel-cli"};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::vector<std::string> env{"XDG_CONFIG_HOME=" + config.Path(), "OSTREL_HOME=" + home.Path(),
                                           "XDG_RUNTIME_DIR=" + config.Path(), "HOME=" + config.Path(),
                                           "PATH=/usr/bin:/bin"};
        return ostrel::test::RunProgram(argv, env, "", work.Path());
    }
};

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Nothing but printable text and line ends: no byte a terminal would take as a command.
bool TerminalSafe(const std::string& text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return (b < 0x20 && b != '\n') || b == 0x7F;
    });
}

TEST_F(CliUsageTest, EveryCommandHasHelpAndTheSameUsageErrors) {
    for (const auto& command : Commands) {
        TRun run = Run({command, "--help"});
        EXPECT_EQ(run.Status, 0) << command << run.Err;
        EXPECT_TRUE(Has(run.Out, "usage: ostrel-cli " + command + " [OPTIONS]")) << run.Out;
        EXPECT_TRUE(Has(run.Out, "--root DIR")) << command << ": every command takes the program folder\n" << run.Out;
        EXPECT_EQ(run.Err, "");

        // Otherwise well formed, so that the unknown option is the one fault.
        run = Run(command == "queue"     ? std::vector<std::string>{command, "--bogus", "list"}
                  : command == "history" ? std::vector<std::string>{command, "--bogus"}
                                         : std::vector<std::string>{command, "--bogus", "x"});
        EXPECT_EQ(run.Status, 2) << command;
        EXPECT_EQ(run.Out, "");
        EXPECT_TRUE(Has(run.Err, "ostrel-cli " + command + ": ")) << run.Err;
        EXPECT_TRUE(Has(run.Err, "--bogus")) << run.Err;
        EXPECT_TRUE(Has(run.Err, "usage: ostrel-cli " + command)) << run.Err;

        run = Run({command, "--root"});
        EXPECT_EQ(run.Status, 2) << command << run.Err;
        EXPECT_TRUE(Has(run.Err, "--root")) << run.Err;
    }
    for (const auto& needsArgument : {"compose", "send", "decode"}) {
        const TRun run = Run({needsArgument, "--root", home.Path()});
        EXPECT_EQ(run.Status, 2) << needsArgument;
        EXPECT_TRUE(Has(run.Err, " is required")) << run.Err;
    }
    EXPECT_EQ(Run({"queue", "flush"}).Status, 2);
    EXPECT_EQ(Run({"history", "extra"}).Status, 2);
    EXPECT_EQ(Run({"compose", "--root", "", "http://a.example/"}).Status, 2) << "an empty folder name";

    TRun run = Run({});
    EXPECT_EQ(run.Status, 2);
    EXPECT_TRUE(Has(run.Err, "no command given")) << run.Err;
    run = Run({"frobnicate"});
    EXPECT_EQ(run.Status, 2);
    EXPECT_TRUE(Has(run.Err, "there is no command 'frobnicate'")) << run.Err;
    run = Run({"--help"});
    EXPECT_EQ(run.Status, 0);
    for (const auto& command : Commands)
        EXPECT_TRUE(Has(run.Out, "\n  " + command + " ")) << run.Out;
    run = Run({"--version"});
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Out.rfind("ostrel-cli ", 0), 0u) << run.Out;
    // A usage error changes nothing: no log, no data copied.
    EXPECT_TRUE(fs::is_empty(home.Path()));
}

TEST_F(CliUsageTest, ProgramFolderFromRoot) {
    // Relative to the working folder, empty: seeded like $OSTREL_HOME, and kept absolute in the
    // settings, which later runs read from any working folder.
    fs::create_directories(work.File("mine"));
    TRun run = Run({"queue", "clear", "--root", "mine"});
    EXPECT_EQ(run.Status, 1) << "My Details lack the SMTP server: " << run.Err;
    EXPECT_TRUE(fs::exists(work.File("mine/uservers.da2")));
    EXPECT_TRUE(Has(ReadAll(config.File("ostrel/OSTREL.INI")), "LocalRoot=" + work.File("mine/") + "\r\n"));
    EXPECT_TRUE(fs::is_empty(home.Path())) << "--root wins over $OSTREL_HOME";

    // decode takes --root too: its default output folder is in the program folder.
    WriteAll(work.File("reply.uue"), "begin 644 abc.txt\n#86)C\n`\nend\n");
    run = Run({"decode", "--root", "./mine/", "reply.uue"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out, work.File("mine/downloads/abc.txt") + "\n");
    EXPECT_EQ(ReadAll(work.File("mine/downloads/abc.txt")), "abc");

    // A folder of other things is not filled with data files, and a misspelt one is not made.
    fs::create_directories(work.File("papers"));
    WriteAll(work.File("papers/letter.txt"), "x");
    EXPECT_EQ(Run({"history", "--root", "papers"}).Status, 0);
    EXPECT_FALSE(fs::exists(work.File("papers/uservers.da2")));
    run = Run({"history", "--root", "mnie"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Has(run.Err, "there is no folder " + work.File("mnie/"))) << run.Err;
    EXPECT_FALSE(fs::exists(work.File("mnie")));
    run = Run({"history", "--root", "reply.uue/sub"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_FALSE(run.Err.empty());
}

TEST_F(CliUsageTest, EchoedTextsShowControlBytesEscaped) {
    WriteAll(home.File("History.Dat"), "http://a.example/\x1b[2J\x9b"
                                       "1m via www4mail@example.org on 1.1.2026\r\n");
    TRun run = Run({"history"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out, "http://a.example/\\x1b[2J\\x9b1m via www4mail@example.org on 1.1.2026\n");

    run = Run({"compose", "mailto:\x1b]0;title\x07\r\xC2\x9B"
                          "caf\xC3\xA9"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Has(run.Err, "'mailto:\\x1b]0;title\\x07\\r\\xc2\\x9bcaf\xC3\xA9'")) << run.Err;
    EXPECT_TRUE(TerminalSafe(run.Err)) << run.Err;
}

TEST_F(CliUsageTest, ComposeRefusesTheChunkSizeThatTheSettingsRefuse) {
    // The example directory: the delivered one has no server for program files.
    for (const char* name : {"uservers.da2", "Suggest.Ini"})
        fs::copy_file(ostrel::test::DataFile(name), home.File(name), fs::copy_options::overwrite_existing);
    Settings("Chunks=1\r\nChunkSize=0\r\n");
    TRun run = Run({"compose", "http://dl.example.com/setup.exe"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Out, "");
    EXPECT_TRUE(Has(run.Err, "chunk size is not legal")) << run.Err;
    // Without splitting the size does not matter, as on the Preferences page.
    Settings("Chunks=0\r\nChunkSize=0\r\n");
    run = Run({"compose", "http://dl.example.com/setup.exe"});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Has(run.Out, "setup.exe")) << run.Out;
}

} // namespace
