#pragma once

#include <string>

namespace ostrel {

// The user's autostart entry, $XDG_CONFIG_HOME/autostart/<app id>.desktop (by default under
// ~/.config): while it is there, the desktop session starts the program at log-in. The file is
// the only record of the choice, so another tool that removes it turns the choice off as well.
std::string AutostartFileName();

// Whether the session will start the program: the entry exists and is not switched off inside
// (Hidden=true, or X-GNOME-Autostart-enabled=false as some session tools write).
bool AutostartEnabled();

// Writes the entry, starting exePath, or removes it. Raises EInOutError when the entry cannot be
// written or removed, or when exePath cannot be written into one (a line break in it).
void SetAutostart(bool enabled, const std::string& exePath);

// exePath as one argument of an Exec line of a desktop entry, quoted where it needs it.
std::string DesktopExecArgument(const std::string& path);

} // namespace ostrel
