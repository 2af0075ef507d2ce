#pragma once

#include "cli/commands.h"

namespace ostrel {

// "ostrel-cli history [--root DIR]": prints the history, newest first.
TCliRun DeclareHistoryCommand(CLI::App& command);

} // namespace ostrel
