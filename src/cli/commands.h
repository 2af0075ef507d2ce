#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace ostrel {

// One sub-command of ostrel-cli. Run returns the process exit status.
struct TCliCommand {
    const char* Name;
    int (*Run)(const std::string& exePath, const std::vector<std::string>& args, std::istream& in, std::ostream& out,
               std::ostream& err);
};

// The commands this build offers.
const std::vector<TCliCommand>& CliCommands();

} // namespace ostrel
