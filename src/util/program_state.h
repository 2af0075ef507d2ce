#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel {

class Clock;

// Process-wide state that the whole program shares. One instance, reached through
// ProgramState(); everything here is cleared at start-up and never saved.
struct TProgramState {
    // The command-line arguments, without the program name.
    std::vector<std::string> Args;
    // Full path of the running program file.
    std::string ExePath;
    // Program folder, ending in "/": where every data file lives.
    std::string LocalRoot;
    // Stage marker: set by long procedures before each step, quoted by every error report.
    std::int32_t Stage = 0;
    // The last successful operation, named when a request fails.
    std::string LastOperation;

    bool SettingsValid = false;
    bool SuperDebug = false;
    bool DontSend = false;
    // Request dispatch: a send, a queue run or an auxiliary mail is under way.
    bool Busy = false;
    bool QueueRun = false;
    bool AuxSend = false;
    bool TipWindowOpen = false;

    // Where the debug log takes its time stamps; the desktop sets it at start.
    Clock* LogClock = nullptr;
};

TProgramState& ProgramState();

// Program folder + file name.
std::string LocalPath(const std::string& fileName);

} // namespace ostrel
