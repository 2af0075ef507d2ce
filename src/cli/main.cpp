// The command-line front end: the same core as the desktop program, driven from a terminal.

#include <CLI/CLI.hpp>
#include <clocale>
#include <iostream>
#include <memory>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "cli/commands.h"
#include "cli/printable.h"
#include "ostrel_version.h"

namespace {

const char* const kFooter =
    "The program folder (data files, lists, logs) is --root DIR, else $OSTREL_HOME, else\n"
    "$XDG_DATA_HOME/ostrel (~/.local/share/ostrel) when installed, else the folder of this program.\n"
    "Settings are read from $XDG_CONFIG_HOME/ostrel/OSTREL.INI.\n"
    "Exit status: 0 all done, 1 something not done (the output says why), 2 the command line is wrong.";

std::string ExecutablePath(const char* argv0) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string(argv0);
}

// Every usage error looks the same: what is wrong, the usage of the command it concerns and
// where to read more; the exit status is 2 whatever CLI11 calls the error.
int UsageError(const CLI::App& app, const CLI::Formatter& formatter, const CLI::ParseError& e, const std::string& first,
               std::ostream& err) {
    const CLI::App* where = &app;
    std::string name = app.get_name();
    for (const CLI::App* chosen : app.get_subcommands()) {
        where = chosen;
        name += " " + chosen->get_name();
    }
    std::string what = e.what();
    // CLI11 speaks of subcommands; the user knows them as commands.
    if (where == &app && dynamic_cast<const CLI::RequiredError*>(&e))
        what = first.empty()            ? "no command given"
               : first.starts_with("-") ? "unknown option '" + first + "'"
                                        : "there is no command '" + first + "'";
    err << name << ": " << what << "\n"
        << formatter.make_usage(where, name) << "Run '" << name << " --help' for more.\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_TIME, "");
    CLI::App app("Ostrel without a window: requests by mail, the queue and the history, decoding of replies.",
                 "ostrel-cli");
    auto formatter = std::make_shared<CLI::Formatter>();
    formatter->label("Usage", "usage");
    formatter->label("SUBCOMMAND", "COMMAND");
    app.formatter(formatter);
    app.set_version_flag("--version", std::string("ostrel-cli ") + OSTREL_VERSION, "print the version and exit");
    app.set_help_flag("-h,--help", "print this help and exit");
    app.require_subcommand(1);
    app.footer(kFooter);

    ostrel::TSharedOptions shared;
    std::vector<std::pair<CLI::App*, ostrel::TCliRun>> commands;
    for (const auto& about : ostrel::CliCommands()) {
        CLI::App* command = app.add_subcommand(about.Name, about.Summary);
        command->group("Commands");
        ostrel::DeclareSharedOptions(*command, about, shared);
        commands.emplace_back(command, about.Declare(*command));
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
            return app.exit(e, std::cout, std::cerr); // --help, --version
        return UsageError(app, *formatter, e, argc > 1 ? ostrel::Printable(argv[1]) : std::string(), std::cerr);
    }

    const std::string exePath = ExecutablePath(argv[0]);
    for (const auto& [command, run] : commands) {
        if (!command->parsed())
            continue;
        const std::string name = command->get_name();
        if (!ostrel::UseProgramFolder(name, exePath, shared.Root, std::cerr))
            return 1;
        return run(
            ostrel::TCliContext{exePath, shared.Yes, ::isatty(STDOUT_FILENO) == 1, std::cin, std::cout, std::cerr});
    }
    return 2; // not reached: exactly one command is required
}
