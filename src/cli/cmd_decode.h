#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace ostrel {

// ostrel-cli decode [--out DIR] [--ignore-part-numbers] FILE...
// One file is read as a whole mail and every attachment is saved; several files are joined the
// way the decoder wizard joins parts copied one by one (the first file is part 1). Each file
// written is printed on out. The folder is DIR, else "downloads" in the program folder.
// Returns 0 when at least one file was decoded, 1 when none was, 2 for a usage error.
int RunDecodeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace ostrel
