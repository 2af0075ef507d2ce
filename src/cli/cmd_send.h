#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace ostrel {

// "ostrel-cli send [--root DIR] [--yes] TEXT...": each text goes through the capture path of a
// URL typed on the General page (normalisation, duplicate check, confirmation, sending, history,
// queue, the queue sent after a success). One line per text on out says what became of it.
// Exit status: 0 only when every text was sent, 1 otherwise, 2 on bad usage.
int RunSendCommand(const std::string& exePath, const std::vector<std::string>& args, std::istream& in,
                   std::ostream& out, std::ostream& err);

// "ostrel-cli queue [--root DIR] [--yes] [list|send|clear]": list (the default) prints the
// waiting requests, send sends them first to last, clear empties the queue.
int RunQueueCommand(const std::string& exePath, const std::vector<std::string>& args, std::istream& in,
                    std::ostream& out, std::ostream& err);

// "ostrel-cli history [--root DIR]": prints the history, newest first.
int RunHistoryCommand(const std::string& exePath, const std::vector<std::string>& args, std::istream& in,
                      std::ostream& out, std::ostream& err);

// The lists belong to one writer at a time. The desktop program holds an exclusive lock on
// this file for as long as it runs; the command line takes the same lock while it changes the
// lists, so neither writes behind the other's back.
std::string DesktopLockPath(const std::string& programFileName = "ostrel");

// The command line's hold on the lists. Command-line runs wait for each other; a running
// desktop program is never waited for.
class TListsLock {
public:
    enum class TResult { Held, DesktopRunning };
    TListsLock() = default;
    ~TListsLock();
    TListsLock(const TListsLock&) = delete;
    TListsLock& operator=(const TListsLock&) = delete;

    TResult Acquire(const std::string& programFileName = "ostrel");
    void Release();

private:
    int cliFd_ = -1;
    int desktopFd_ = -1;
};

// The text shown when the desktop program holds the lists.
extern const char* const DesktopRunningMessage;

} // namespace ostrel
