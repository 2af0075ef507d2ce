#pragma once

#include "cli/commands.h"

namespace ostrel {

// "ostrel-cli decode [--root DIR] [--out DIR] [--ignore-part-numbers] FILE...": reads the mails
// in the files (whole mails, parts of split files in any order, mboxes) and saves every file in
// them that decoded completely. Each file written is printed on out; anything damaged, missing
// parts or not saved is named on err. The folder is --out, else "downloads" in the program
// folder. Exit status 0 when every file found was saved whole, 1 otherwise.
TCliRun DeclareDecodeCommand(CLI::App& command);

} // namespace ostrel
