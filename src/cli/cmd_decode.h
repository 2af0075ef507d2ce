#pragma once

#include "cli/commands.h"

namespace ostrel {

// "ostrel-cli decode [--root DIR] [--out DIR] [--ignore-part-numbers] FILE...": one file is read
// as a whole mail and every attachment is saved; several files are joined the way the decoder
// wizard joins parts copied one by one (the first file is part 1). Each file written is printed
// on out. The folder is --out, else "downloads" in the program folder. Exit status 0 when at
// least one file was decoded, 1 when none was.
TCliRun DeclareDecodeCommand(CLI::App& command);

} // namespace ostrel
