#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace ostrel {

// Decodes the files in the mails of the given files (single mails, parts of split files in any
// order, mboxes) into outDir. Prints each file saved on out; names every file that is damaged,
// could not be saved or is missing parts (which parts) on err. ignorePartNumbers joins parts in
// the order given whatever their subjects say. Returns 0 only when every file found was saved
// whole, else 1.
int DecodeFiles(const std::vector<std::string>& files, const std::string& outDir, bool ignorePartNumbers,
                std::ostream& out, std::ostream& err);

} // namespace ostrel
