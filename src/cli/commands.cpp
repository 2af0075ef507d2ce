#include "cli/commands.h"

#include <filesystem>
#include <iostream>

#include "cli/cmd_check.h"
#include "cli/cmd_compose.h"
#include "cli/cmd_decode.h"
#include "cli/cmd_fetch.h"
#include "cli/cmd_history.h"
#include "cli/cmd_queue.h"
#include "cli/cmd_send.h"
#include "cli/printable.h"
#include "shell/ostrel_app.h"
#include "shell/program_folder.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace fs = std::filesystem;

const std::vector<TCliCommand>& CliCommands() {
    static const std::vector<TCliCommand> commands = {
        {"compose", "print the request mail for each URL as it would be sent", false, DeclareComposeCommand},
        {"send", "request each URL (or text) by mail, as if typed on the General page", true, DeclareSendCommand},
        {"queue", "show, send or empty the queue of waiting requests", true, DeclareQueueCommand},
        {"history", "show the requests sent so far", false, DeclareHistoryCommand},
        {"decode", "decode a received mail, or join and decode its parts", false, DeclareDecodeCommand},
        {"check", "connect to the SMTP server, encrypt and log in as set, and quit; no mail is sent", false,
         DeclareCheckCommand},
        {"login", "keep the SMTP or mailbox password (the desktop's keyring, else a private file)", false,
         DeclareLoginCommand},
        {"fetch", "read the mailbox once and save the new replies in the downloads folder", false, DeclareFetchCommand},
    };
    return commands;
}

CLI::Validator NonEmpty(const std::string& what) {
    return CLI::Validator(
        [what](std::string& value) { return value.empty() ? "needs " + what + ", not an empty text" : std::string(); },
        "", "NonEmpty");
}

void DeclareSharedOptions(CLI::App& command, const TCliCommand& about, TSharedOptions& options) {
    command
        .add_option("--root", options.Root,
                    "the program folder (default: $OSTREL_HOME, else ~/.local/share/ostrel when installed, "
                    "else this program's folder)")
        ->type_name("DIR")
        ->check(NonEmpty("a folder"));
    if (about.AsksQuestions)
        command.add_flag("--yes", options.Yes, "answer every question Yes without asking");
}

bool UseProgramFolder(const std::string& command, const std::string& exePath, const std::string& root,
                      std::ostream& err) {
    std::string folder = root.empty() ? ProgramFolderFor(exePath) : root;
    // The folder is written into the settings (LocalRoot), which outlive this run: it must name
    // the same place whatever the working folder of the next program to read them.
    std::error_code ec;
    fs::path dir = fs::absolute(fs::path(folder), ec).lexically_normal();
    if (ec)
        dir = folder;
    if (!dir.has_filename() && dir.has_relative_path())
        dir = dir.parent_path();
    std::string absolute = dir.string();
    if (absolute.empty() || absolute.back() != '/')
        absolute += '/';
    // $OSTREL_HOME names a per-user folder that starts out missing; a folder typed after
    // --root must exist, so that a typing error does not start an empty history elsewhere.
    if (root.empty())
        fs::create_directories(dir, ec);
    else if (!fs::exists(dir, ec) && !ec) {
        err << "ostrel-cli " << command << ": there is no folder " << Printable(absolute)
            << " (--root): check the name, or create the folder first\n";
        return false;
    }
    if (ec || !fs::is_directory(dir, ec)) {
        err << "ostrel-cli " << command << ": the program folder " << Printable(absolute)
            << " cannot be used: " << (ec ? ec.message() : std::string("it is not a folder")) << "\n";
        return false;
    }
    // A folder named by --root gets the delivered data only when it is empty or a program
    // folder already (one with the server directory), never a folder of other things.
    if (root.empty() || fs::is_empty(dir, ec) || fs::exists(dir / "uservers.da2", ec))
        SeedProgramFolder(DeliveredDataFolder(exePath), absolute);
    auto& state = ProgramState();
    state.ExePath = exePath;
    state.LocalRoot = absolute;
    return true;
}

} // namespace ostrel
