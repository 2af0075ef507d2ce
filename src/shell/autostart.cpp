#include "shell/autostart.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ostrel_version.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/text.h"

namespace ostrel {

namespace {
std::string ConfigHome() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.config";
}

std::string ValueOf(const std::string& entry, const std::string& key) {
    size_t at = 0;
    while (at < entry.size()) {
        size_t end = entry.find('\n', at);
        if (end == std::string::npos)
            end = entry.size();
        std::string line = entry.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind(key + "=", 0) == 0)
            return Trim(line.substr(key.size() + 1));
        at = end + 1;
    }
    return {};
}
} // namespace

std::string AutostartFileName() {
    return ConfigHome() + "/autostart/" + OSTREL_APP_ID + ".desktop";
}

bool AutostartEnabled() {
    const std::string name = AutostartFileName();
    if (!FileExists(name))
        return false;
    std::string entry;
    try {
        entry = ReadFileString(name);
    } catch (const EInOutError&) {
        return true; // there, though unreadable to us: the session may still start it
    }
    return !EqualsNoCase(ValueOf(entry, "Hidden"), "true") &&
           !EqualsNoCase(ValueOf(entry, "X-GNOME-Autostart-enabled"), "false");
}

std::string DesktopExecArgument(const std::string& path) {
    // Reserved characters make a quoted argument, in which four characters take a backslash;
    // a percent sign is a field code unless doubled. The key file format then doubles every
    // backslash once more.
    const bool quote = path.find_first_of(" \t\"'\\><~|&;$*?#()`") != std::string::npos;
    std::string arg;
    for (char c : path) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\'))
            arg += '\\';
        arg += c;
        if (c == '%')
            arg += '%';
    }
    if (quote)
        arg = "\"" + arg + "\"";
    return ReplaceEach("\\", arg, "\\\\");
}

void SetAutostart(bool enabled, const std::string& exePath) {
    const std::string name = AutostartFileName();
    if (!enabled) {
        if (::unlink(name.c_str()) != 0 && errno != ENOENT)
            throw EInOutError("Unable to remove " + name + ": " + std::strerror(errno));
        return;
    }
    if (exePath.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw EInOutError("The program's path holds a line break; it cannot be started at log-in");
    const std::string folder = PathOfF(name);
    if (!ForceDirectories(folder))
        throw EInOutError("Unable to create the folder " + folder);
    const std::string entry = "[Desktop Entry]\n"
                              "Type=Application\n"
                              "Name=Ostrel\n"
                              "Comment=Fetch web pages and files by e-mail\n"
                              "Exec=" +
                              DesktopExecArgument(exePath) +
                              "\n"
                              "Icon=" OSTREL_APP_ID "\n"
                              "Terminal=false\n"
                              "X-GNOME-Autostart-enabled=true\n";
    WriteFileAtomic(name, entry);
}

} // namespace ostrel
