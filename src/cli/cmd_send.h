#pragma once

#include "cli/commands.h"

namespace ostrel {

// "ostrel-cli send [--root DIR] [--yes] TEXT...": each text goes through the capture path of a
// URL typed on the General page (normalisation, duplicate check, confirmation, sending, history,
// queue, the queue sent after a success). One line per text on out says what became of it.
// Exit status: 0 only when every text was sent, 1 otherwise.
TCliRun DeclareSendCommand(CLI::App& command);

} // namespace ostrel
