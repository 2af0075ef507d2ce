#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel {

class Clock;

// The settings that live in variables rather than in the main window's controls.
struct TPrefs {
    int prefBinaryFormat = 1; // 0 UUencoded, 1 MIME, 2 Btoa
    int ChunkSize = 60;       // kilobytes
    bool Chunks = false;      // binary files may be split
    int TipNumber = 0;
    bool TipEnabled = true;
    int NewsLetterRequest = 0; // 0 not asked, 1 declined, 2 wanted, 3 requested
    // SHA-256 fingerprint of a server certificate the user chose to trust; empty for none.
    std::string SMTPTrustedCert;
    // The same for the mailbox server.
    std::string MailboxTrustedCert;
};

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
    // The user has been told that the debug log cannot be written: later lines that fail are
    // dropped, instead of turning every logged event into another report, until one succeeds.
    bool LogFailureReported = false;

    TPrefs Prefs;
    // The distribution tag read at start-up (empty when there is none).
    std::string DistInfo;

    // Where the debug log takes its time stamps; the desktop sets it at start.
    Clock* LogClock = nullptr;
};

TProgramState& ProgramState();

// Program folder + file name.
std::string LocalPath(const std::string& fileName);
// OSTREL.INI in the user's settings folder ($XDG_CONFIG_HOME/ostrel, else ~/.config/ostrel),
// which is created when missing.
std::string SettingsFileName();

} // namespace ostrel
