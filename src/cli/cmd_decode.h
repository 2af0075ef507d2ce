#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace ostrel {

// ostrel-cli decode [--out DIR] FILE...
// Reads the mails in the files (whole mails, parts of split files in any order, mboxes) and saves
// every file in them that decoded completely; each file written is printed on out, anything
// damaged or incomplete is named on err. The folder is DIR, else "downloads" in the program
// folder. Returns 0 when every file found was saved whole, 1 otherwise, 2 for a usage error.
int RunDecodeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace ostrel
