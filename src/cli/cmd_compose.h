#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace ostrel {

// "ostrel-cli compose [--root DIR] URL...": prints, for each request text, the request mail as
// the encoder writes it (header block, empty line, body), composed from the settings and the
// program folder exactly as the desktop program would. args are the words after "compose".
// Exit status: 0 when a request form applied to every text, 1 when one matched none or could
// not be composed, 2 on bad usage; every failure is explained on err.
int RunComposeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace ostrel
