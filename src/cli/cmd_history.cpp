#include "cli/cmd_history.h"

#include "cli/list_session.h"

namespace ostrel {

TCliRun DeclareHistoryCommand(CLI::App&) {
    return [](const TCliContext& c) { return PrintListFile("history", "History.Dat", c); };
}

} // namespace ostrel
