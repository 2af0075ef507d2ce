#include "cli/commands.h"

#include "cli/cmd_compose.h"
#include "cli/cmd_decode.h"
#include "cli/cmd_send.h"

namespace ostrel {

namespace {
int Compose(const std::string&, const std::vector<std::string>& args, std::istream&, std::ostream& out,
            std::ostream& err) {
    return RunComposeCommand(args, out, err);
}

int Decode(const std::string&, const std::vector<std::string>& args, std::istream&, std::ostream& out,
           std::ostream& err) {
    return RunDecodeCommand(args, out, err);
}
} // namespace

const std::vector<TCliCommand>& CliCommands() {
    static const std::vector<TCliCommand> commands = {
        {"compose", Compose},
        {"decode", Decode},
        {"send", RunSendCommand},
        {"queue", RunQueueCommand},
        {"history", RunHistoryCommand},
    };
    return commands;
}

} // namespace ostrel
