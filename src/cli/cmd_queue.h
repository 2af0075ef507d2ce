#pragma once

#include "cli/commands.h"

namespace ostrel {

// "ostrel-cli queue [--root DIR] [--yes] [list|send|clear]": list (the default) prints the
// waiting requests, send sends them first to last, clear empties the queue. Exit status 1 when
// a request could not be sent or the queue cannot be read.
TCliRun DeclareQueueCommand(CLI::App& command);

} // namespace ostrel
