#include "cli/commands.h"

#include "cli/cmd_compose.h"

namespace ostrel {

const std::vector<TCliCommand>& CliCommands() {
    static const std::vector<TCliCommand> commands = {
        {"compose",
         [](const std::string&, const std::vector<std::string>& args, std::istream&, std::ostream& out,
            std::ostream& err) { return RunComposeCommand(args, out, err); }},
    };
    return commands;
}

} // namespace ostrel
