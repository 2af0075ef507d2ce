#include "cli/commands.h"

namespace ostrel {

const std::vector<TCliCommand>& CliCommands() {
    static const std::vector<TCliCommand> commands = {};
    return commands;
}

} // namespace ostrel
