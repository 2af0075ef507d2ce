#pragma once

#include "cli/commands.h"

namespace ostrel {

// "ostrel-cli fetch [--root DIR]": reads the mailbox of [Mailbox] once and saves the new replies
// in the downloads folder, one line "saved: PATH" per file written. Exit status 0 when the
// mailbox was read and every reply found was saved (nothing new included), 1 otherwise: no
// mailbox set up, connection, certificate or log-in refused, or a reply that could not be saved
// (it stays on the server for the next fetch).
TCliRun DeclareFetchCommand(CLI::App& command);

} // namespace ostrel
