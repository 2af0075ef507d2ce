#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace ostrel {

// What every command of ostrel-cli receives once its command line is parsed. The program
// folder (--root, else $OSTREL_HOME, else this program's folder) is in ProgramState() by then.
struct TCliContext {
    std::string ExePath;        // this program file; its folder holds the delivered data
    bool Yes = false;           // --yes: every question is answered Yes (or OK) without asking
    bool OutIsTerminal = false; // what a command writes as data goes to a terminal, not a file
    std::istream& In;
    std::ostream& Out;
    std::ostream& Err;
};

// Runs a parsed command; returns its exit status, 0 or 1 (usage errors never get this far).
using TCliRun = std::function<int(const TCliContext&)>;

// One command of ostrel-cli. Declare adds the command's own options and arguments to its
// subcommand, bound to state that the returned function keeps, and returns that function.
struct TCliCommand {
    const char* Name;
    const char* Summary; // one line in the list of commands
    bool AsksQuestions;  // offers --yes
    TCliRun (*Declare)(CLI::App& command);
};

// The commands this build offers, in the order of the help.
const std::vector<TCliCommand>& CliCommands();

// The options that every command shares, as the user gave them.
struct TSharedOptions {
    std::string Root;
    bool Yes = false;
};

// Declares the shared options on a command: --root on every one, --yes where it asks questions.
void DeclareSharedOptions(CLI::App& command, const TCliCommand& about, TSharedOptions& options);

// Refuses an empty value for an option that names what (a folder).
CLI::Validator NonEmpty(const std::string& what);

// Makes root (or, when it is empty, $OSTREL_HOME or the program's own folder) the program
// folder of this run, as an absolute path, and gives it the delivered data files it lacks.
// false, with the reason on err, when it cannot be used as a folder.
bool UseProgramFolder(const std::string& command, const std::string& exePath, const std::string& root,
                      std::ostream& err);

} // namespace ostrel
