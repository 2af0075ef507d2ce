#pragma once

#include <QIcon>
#include <string>

namespace ostrel {

// The program's icons by name ("bright": sending enabled, "dim": disabled, "app"), from the
// PNG files delivered in icons/ of the program folder, or drawn when those are missing.
QIcon OstrelIcon(const std::string& name);

} // namespace ostrel
