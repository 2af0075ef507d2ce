#pragma once

#include "cli/commands.h"

namespace ostrel {

// "ostrel-cli check [--root DIR]": connects to the SMTP server of the settings, greets,
// encrypts and logs in as they say, and quits; one line per step with the server's reply. No
// mail is sent. Exit status 0 when every step worked, 1 otherwise.
TCliRun DeclareCheckCommand(CLI::App& command);

// "ostrel-cli login [--root DIR] [--password-stdin] [--mailbox]": keeps the SMTP (or mailbox) password where the
// program keeps secrets (the desktop's keyring, else a private file beside the settings), asking for it on the terminal
// without echo, or reading one line from standard input.
TCliRun DeclareLoginCommand(CLI::App& command);

} // namespace ostrel
