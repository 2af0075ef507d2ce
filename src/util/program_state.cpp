#include "util/program_state.h"

#include <cstdlib>

#include "util/file_io.h"

namespace ostrel {

TProgramState& ProgramState() {
    static TProgramState state;
    return state;
}

std::string LocalPath(const std::string& fileName) {
    return ProgramState().LocalRoot + fileName;
}

std::string SettingsFileName() {
    std::string folder;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        folder = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        folder = std::string(home) + "/.config";
    else
        folder = ".";
    // A variable that ends in "/" must not double it in every path the user is shown.
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    folder += "/ostrel";
    ForceDirectories(folder);
    return folder + "/OSTREL.INI";
}

} // namespace ostrel
