#pragma once

#include <string>

namespace ostrel {

// A program folder other than the installation's ($OSTREL_HOME: a per-user folder, or a test's)
// starts out empty. Gives it the delivered data files it lacks (server directory, templates,
// lists, tips, help pages, icons) from the installation folder. Files that are already there,
// the user's own files (history, queue, logs, flags, downloads) and the programs themselves are
// never copied or replaced. Returns the number of entries copied.
int SeedProgramFolder(const std::string& installFolder, const std::string& programFolder);

} // namespace ostrel
