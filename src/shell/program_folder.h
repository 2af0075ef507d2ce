#pragma once

#include <string>

namespace ostrel {

// A program folder other than the installation's ($OSTREL_HOME: a per-user folder, or a test's)
// starts out empty. Gives it the delivered data files it lacks (server directory, templates,
// lists, tips, help pages, icons) from the installation folder. Files that are already there,
// the user's own files (history, queue, logs, flags, downloads) and the programs themselves are
// never copied or replaced. Each file is copied whole or not at all (a full disk leaves no half
// file), and what a folder still lacks is copied at the next call. Returns the number of entries
// copied.
int SeedProgramFolder(const std::string& installFolder, const std::string& programFolder);

// Where the delivered data lies, ending in "/": share/ostrel beside the bin folder of an
// installed program (found from the program file, so a moved installation still finds it), else
// the folder of the program file itself, as in the build tree.
std::string DeliveredDataFolder(const std::string& exePath);

// Whether the program file runs from an installation (its data in share/ostrel) rather than
// from the folder that holds its data.
bool RunsInstalled(const std::string& exePath);

// The user's own folder for an installed program: $XDG_DATA_HOME/ostrel/, by default
// ~/.local/share/ostrel/. Several users on one machine never share one.
std::string UserDataFolder();

// The program folder: $OSTREL_HOME when set; installed, the user's data folder; else the folder
// of the program file. Ends in "/".
std::string ProgramFolderOf(const std::string& exePath);

// The program folder of the running program, made and seeded with the delivered data it lacks.
// Raises EInOutError, naming the folder and the reason, when it cannot be made.
std::string PrepareProgramFolder(const std::string& exePath);

} // namespace ostrel
