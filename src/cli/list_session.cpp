#include "cli/list_session.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <sys/file.h>
#include <unistd.h>

#include "cli/printable.h"
#include "requests/request_context.h"
#include "shell/lists.h"
#include "util/program_state.h"
#include "util/progress_window.h"
#include "util/text.h"

namespace ostrel {

std::string DesktopLockPath(const std::string& programFileName) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string folder = runtime && *runtime ? runtime : "/tmp";
    return folder + "/ostrel-" + std::to_string(::getuid()) + "-" + programFileName + ".lock";
}

TListsLock::~TListsLock() {
    Release();
}

TListsLock::TResult TListsLock::Acquire(const std::string& programFileName) {
    Release();
    const std::string desktopPath = DesktopLockPath(programFileName);
    // Another command-line run holds the desktop lock only briefly: wait for it, so that a
    // failed desktop lock below can only mean the desktop program.
    const std::string cliPath = desktopPath.substr(0, desktopPath.size() - 5) + "-cli.lock";
    cliFd_ = ::open(cliPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (cliFd_ >= 0)
        while (::flock(cliFd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    desktopFd_ = ::open(desktopPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // Where no lock can be taken the desktop program runs without one too; nothing to respect.
    if (desktopFd_ < 0)
        return TResult::Held;
    if (::flock(desktopFd_, LOCK_EX | LOCK_NB) != 0) {
        Release();
        return TResult::DesktopRunning;
    }
    return TResult::Held;
}

void TListsLock::Release() {
    for (int* fd : {&desktopFd_, &cliFd_})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
}

bool LockLists(TListsLock& lock, const std::string& command, const std::string& inWindow, std::ostream& err) {
    if (lock.Acquire() == TListsLock::TResult::Held)
        return true;
    err << "ostrel-cli " << command
        << ": the desktop program Ostrel is running and keeps the history and the queue itself.\n"
        << inWindow << ", or quit it with \"Unload\" and run this command again.\n";
    return false;
}

int TRecordingDesktop::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    const int answer = ConsoleDesktop::MessageBox(text, caption, flags);
    Shown.push_back({TShown::TKind::Message, text, answer});
    return answer;
}

int TRecordingDesktop::MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int helpContext) {
    const int answer = ConsoleDesktop::MessageDlg(text, type, buttons, helpContext);
    Shown.push_back({TShown::TKind::Dialog, text, answer});
    return answer;
}

int TRecordingDesktop::ShowModal(TForm& form) {
    // The two-second notes ("Duplicate Request", "Request Queued") are progress windows
    // shown modally; on a terminal they pass at once.
    if (auto* note = dynamic_cast<TfrmProgress*>(&form))
        Shown.push_back({TShown::TKind::Note, note->Label1.Caption(), 0});
    return ConsoleDesktop::ShowModal(form);
}

bool TRecordingDesktop::Saw(TShown::TKind kind, const std::string& text) const {
    for (const auto& s : Shown)
        if (s.Kind == kind && s.Text == text)
            return true;
    return false;
}

TListSession::TListSession(const std::string& exePath, std::istream& in, std::ostream& err, bool yes)
    : desktop_(in, err, yes), app_(desktop_, exePath, {}) {
    auto& smtp = app_.SMTP();
    auto recordHistory = smtp.OnMailSent;
    smtp.OnMailSent = [this, recordHistory](TagSocket& s) {
        const int before = app_.Form().lstHistory.Count();
        const std::string top = before > 0 ? app_.Form().lstHistory.Item(0) : std::string();
        if (recordHistory)
            recordHistory(s);
        auto& history = app_.Form().lstHistory;
        // A test message or newsletter mail makes no history entry: only requests count.
        if (history.Count() > 0 && (history.Count() != before || history.Item(0) != top))
            sent_.push_back(history.Item(0));
    };
    // The failure report names only how far the attempt got; the terminal can say why.
    smtp.OnError = [this](TagSocket&, std::string& message) { lastError_ = message; };
}

std::vector<std::string> TListSession::TakeSent() {
    auto sent = std::move(sent_);
    sent_.clear();
    return sent;
}

std::string TListSession::FailureReason() const {
    for (auto it = desktop_.Shown.rbegin(); it != desktop_.Shown.rend(); ++it) {
        if (it->Kind != TShown::TKind::Dialog || it->Text.rfind("Error in Request Failed.", 0) != 0)
            continue;
        std::string step = it->Text;
        if (auto with = step.find(" with "); with != std::string::npos)
            step = step.substr(with + 6);
        // The report gives the reason after a blank line.
        std::string reason;
        if (auto blank = step.find("\r\n\r\n"); blank != std::string::npos) {
            reason = Trim(step.substr(blank + 4));
            step.erase(blank);
        }
        // What went wrong first (the server's reply, the refused connection), then how far
        // the attempt got.
        const std::string first = !lastError_.empty() ? Trim(lastError_) : reason;
        if (first.empty())
            return step;
        if (!step.empty())
            step[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(step[0])));
        return first + "; " + step;
    }
    return {};
}

bool TListSession::Load(const std::string& command, std::ostream& err) {
    try {
        if (!app_.LoadForCommandLine()) {
            err << "ostrel-cli " << command
                << ": My Details are incomplete: the e-mail address (Email) and the SMTP server (SMTP)\n"
                   "must be set in the desktop program's My Details page or in "
                << Printable(SettingsFileName()) << "\n";
            return false;
        }
    } catch (const std::exception& e) {
        err << "ostrel-cli " << command << ": " << Printable(e.what(), TLineBreaks::Keep) << "\n";
        return false;
    }
    return true;
}

bool ListHolds(const std::vector<std::string>& list, const std::string& text) {
    for (const auto& item : list)
        if (EqualsNoCase(item, text))
            return true;
    return false;
}

void PrintSentFromQueue(const std::vector<std::string>& sent, std::size_t from, std::ostream& out) {
    for (std::size_t i = from; i < sent.size(); ++i)
        out << "sent from the queue: " << Printable(RequestFromHistory(HistoryRequest(sent[i]))) << " via "
            << Printable(HistoryServer(sent[i])) << "\n";
}

int PrintListFile(const std::string& command, const std::string& fileName, const TCliContext& c) {
    TListBox list("lstList", nullptr);
    try {
        LoadList(list, fileName, false);
    } catch (const std::exception& e) {
        c.Err << "ostrel-cli " << command << ": " << Printable(e.what(), TLineBreaks::Keep) << "\n";
        return 1;
    }
    for (const auto& entry : list.Items())
        c.Out << Printable(entry) << "\n";
    return 0;
}

std::string RequestCount(int count) {
    return std::to_string(count) + (count == 1 ? " request" : " requests");
}

} // namespace ostrel
