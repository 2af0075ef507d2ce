#pragma once

#include "cli/commands.h"

namespace ostrel {

// "ostrel-cli compose [--root DIR] URL...": prints, for each request text, the request mail as
// the encoder writes it (header block, empty line, body), composed from the settings and the
// program folder exactly as the desktop program would. Exit status 0 when a mail was made for
// every text, 1 when one could not be made or the settings refuse; every failure is explained
// on err.
TCliRun DeclareComposeCommand(CLI::App& command);

} // namespace ostrel
