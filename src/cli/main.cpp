// The command-line front end: the same core as the desktop program, driven from a terminal.

#include <clocale>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/commands.h"
#include "shell/ostrel_app.h"
#include "shell/program_folder.h"
#include "util/text.h"
#include "ostrel_version.h"

namespace {
const char* const kUsage =
    "usage: ostrel-cli COMMAND [OPTIONS] ARGS...\n"
    "\n"
    "Commands:\n"
    "  compose [--root DIR] URL...     print the request mail for each URL as it would be sent\n"
    "  send [--root DIR] [--yes] TEXT... request each URL (or text) by mail, as if typed on the\n"
    "                                  General page\n"
    "  queue [list|send|clear]         show, send or empty the queue of waiting requests\n"
    "  history                         show the requests sent so far\n"
    "  decode [--out DIR] [--ignore-part-numbers] FILE...\n"
    "                                  decode a received mail, or join and decode its parts\n"
    "  --version                       print the version\n"
    "\n"
    "The program folder (data files, lists, logs) is --root DIR, else $OSTREL_HOME, else the\n"
    "folder of this program. Settings are read from $XDG_CONFIG_HOME/ostrel/OSTREL.INI.\n";
}

int main(int argc, char** argv) {
    std::setlocale(LC_TIME, "");
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        (args.empty() ? std::cerr : std::cout) << kUsage;
        return args.empty() ? 2 : 0;
    }
    if (args[0] == "--version") {
        std::cout << "ostrel-cli " << OSTREL_VERSION << "\n";
        return 0;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string exePath = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv[0]);
    // A per-user program folder gets the delivered data it lacks, as the desktop program does.
    try {
        ostrel::PrepareProgramFolder(exePath);
    } catch (const std::exception& e) {
        std::cerr << "ostrel-cli: " << e.what() << "\n";
    }
    for (const auto& c : ostrel::CliCommands())
        if (command == c.Name)
            return c.Run(exePath, args, std::cin, std::cout, std::cerr);
    std::cerr << "ostrel-cli: unknown command '" << command << "'\n\n" << kUsage;
    return 2;
}
