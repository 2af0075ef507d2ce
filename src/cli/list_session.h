#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/console_desktop.h"
#include "shell/ostrel_app.h"

namespace ostrel {

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

// Takes the lists for a command that changes them; false while the desktop program holds them,
// with what to do on err: inWindow says how the same is done in the desktop program's window.
bool LockLists(TListsLock& lock, const std::string& command, const std::string& inWindow, std::ostream& err);

// One thing the program showed the user while a text was handled.
struct TShown {
    enum class TKind { Message, Dialog, Note } Kind;
    std::string Text;
    int Answer = 0;
};

// The terminal, remembering what it was asked to show, so that a command can tell afterwards
// what became of a request without reaching into the request handling.
class TRecordingDesktop : public ConsoleDesktop {
public:
    using ConsoleDesktop::ConsoleDesktop;

    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    int MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int helpContext) override;
    int ShowModal(TForm& form) override;

    bool Saw(TShown::TKind kind, const std::string& text) const;

    std::vector<TShown> Shown;
};

// The program started for one command that sends or changes the lists, with a record of every
// request mail that the server accepted (as the history entry it made) and of every failure
// reported.
class TListSession {
public:
    TListSession(const std::string& exePath, std::istream& in, std::ostream& err, bool yes);

    TOstrelApp& App() { return app_; }
    TRecordingDesktop& Desk() { return desktop_; }
    void ClearError() { lastError_.clear(); }
    // The history entries made since the last call, oldest first.
    std::vector<std::string> TakeSent();
    // The reason of the last "Request Failed" report, or empty when none was made.
    std::string FailureReason() const;
    // Loads the settings and lists; false (with the reason on err) when the command cannot run.
    bool Load(const std::string& command, std::ostream& err);

private:
    TRecordingDesktop desktop_;
    TOstrelApp app_;
    std::vector<std::string> sent_;
    std::string lastError_;
};

// Whether list holds text, without regard to case.
bool ListHolds(const std::vector<std::string>& list, const std::string& text);

// One line for each history entry from index from on: a request sent from the queue.
void PrintSentFromQueue(const std::vector<std::string>& sent, std::size_t from, std::ostream& out);

// Prints the entries of a list file (History.Dat, Queue.Dat), one a line; 1, with the reason on
// err, when it cannot be read. Reading needs no lock: both programs replace the files whole.
int PrintListFile(const std::string& command, const std::string& fileName, const TCliContext& c);

// "N request" or "N requests".
std::string RequestCount(int count);

} // namespace ostrel
