#include "cli/cmd_send.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <sys/file.h>
#include <unistd.h>

#include "cli/console_desktop.h"
#include "forms/controls.h"
#include "requests/capture.h"
#include "requests/request_context.h"
#include "shell/lists.h"
#include "shell/ostrel_app.h"
#include "util/program_state.h"
#include "util/text.h"
#include "util/progress_window.h"

namespace ostrel {

const char* const DesktopRunningMessage =
    "the desktop program Ostrel is running and keeps the history and the queue itself.\n"
    "Make the request in its window (copy the URL, or type it on the General page), or quit it\n"
    "with \"Unload\" and run this command again.";

namespace {

const char* const kRefusedText = "The URL you entered is either invalid or not supported";

// What the user can pass to send, queue and history.
struct TOptions {
    std::string Root;
    bool Yes = false;
    std::vector<std::string> Words;
};

bool ParseOptions(const std::string& command, const std::vector<std::string>& args, bool allowYes,
                  TOptions& options, std::ostream& err) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--root") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                err << "ostrel-cli " << command << ": --root needs a folder\n";
                return false;
            }
            options.Root = args[++i];
        } else if (a == "--yes" && allowYes) {
            options.Yes = true;
        } else if (a == "--") {
            options.Words.insert(options.Words.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            err << "ostrel-cli " << command << ": unknown option '" << a << "'\n";
            return false;
        } else {
            options.Words.push_back(a);
        }
    }
    return true;
}

void SetProgramFolder(const std::string& exePath, const std::string& root) {
    auto& state = ProgramState();
    state.ExePath = exePath;
    state.LocalRoot = root.empty() ? ProgramFolderFor(exePath) : (root.back() == '/' ? root : root + "/");
}

// One thing the program showed the user while a text was handled.
struct TShown {
    enum class TKind { Message, Dialog, Note } Kind;
    std::string Text;
    int Answer = 0;
};

// The terminal, remembering what it was asked to show, so that the command can tell afterwards
// what became of a request without reaching into the request handling.
class TRecordingDesktop : public ConsoleDesktop {
public:
    using ConsoleDesktop::ConsoleDesktop;

    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override {
        const int answer = ConsoleDesktop::MessageBox(text, caption, flags);
        Shown.push_back({TShown::TKind::Message, text, answer});
        return answer;
    }
    int MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int helpContext) override {
        const int answer = ConsoleDesktop::MessageDlg(text, type, buttons, helpContext);
        Shown.push_back({TShown::TKind::Dialog, text, answer});
        return answer;
    }
    int ShowModal(TForm& form) override {
        // The two-second notes ("Duplicate Request", "Request Queued") are progress windows
        // shown modally; on a terminal they pass at once.
        if (auto* note = dynamic_cast<TfrmProgress*>(&form))
            Shown.push_back({TShown::TKind::Note, note->Label1.Caption(), 0});
        return ConsoleDesktop::ShowModal(form);
    }

    bool Saw(TShown::TKind kind, const std::string& text) const {
        for (const auto& s : Shown)
            if (s.Kind == kind && s.Text == text)
                return true;
        return false;
    }

    std::vector<TShown> Shown;
};

bool Contains(const std::vector<std::string>& list, const std::string& text) {
    for (const auto& item : list)
        if (EqualsNoCase(item, text))
            return true;
    return false;
}

// The program started for one command, with a record of every request mail that the server
// accepted (as the history entry it made) and of every failure reported.
class TSession {
public:
    TSession(const std::string& exePath, std::istream& in, std::ostream& err, bool yes)
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

    TOstrelApp& App() { return app_; }
    TRecordingDesktop& Desk() { return desktop_; }
    void ClearError() { lastError_.clear(); }
    std::vector<std::string> TakeSent() {
        auto sent = std::move(sent_);
        sent_.clear();
        return sent;
    }

    // The reason of the last "Request Failed" report, or empty when none was made.
    std::string FailureReason() {
        for (auto it = desktop_.Shown.rbegin(); it != desktop_.Shown.rend(); ++it) {
            if (it->Kind != TShown::TKind::Dialog || it->Text.rfind("Error in Request Failed.", 0) != 0)
                continue;
            std::string reason = it->Text;
            if (auto with = reason.find(" with "); with != std::string::npos)
                reason = reason.substr(with + 6);
            if (!lastError_.empty())
                reason += "; " + Trim(lastError_);
            return reason;
        }
        return {};
    }

private:
    TRecordingDesktop desktop_;
    TOstrelApp app_;
    std::vector<std::string> sent_;
    std::string lastError_;
};

// Loads what the command needs; false (with the reason on err) when it cannot run.
bool LoadSession(TSession& session, const std::string& command, std::ostream& err) {
    try {
        if (!session.App().LoadForCommandLine()) {
            err << "ostrel-cli " << command
                << ": My Details are incomplete: the e-mail address (Email) and the SMTP server (SMTP)\n"
                   "must be set in the desktop program's My Details page or in "
                << SettingsFileName() << "\n";
            return false;
        }
    } catch (const std::exception& e) {
        err << "ostrel-cli " << command << ": " << e.what() << "\n";
        return false;
    }
    return true;
}

bool LockLists(TListsLock& lock, const std::string& command, std::ostream& err) {
    if (lock.Acquire() == TListsLock::TResult::Held)
        return true;
    err << "ostrel-cli " << command << ": " << DesktopRunningMessage << "\n";
    return false;
}

void PrintSentFromQueue(const std::vector<std::string>& sent, size_t from, std::ostream& out) {
    for (size_t i = from; i < sent.size(); ++i)
        out << "sent from the queue: " << RequestFromHistory(HistoryRequest(sent[i])) << " via "
            << HistoryServer(sent[i]) << "\n";
}

// What became of one text; true when it was sent.
bool SendOne(TSession& session, const std::string& text, std::ostream& out) {
    auto& app = session.App();
    auto& form = app.Form();
    auto& desk = session.Desk();
    desk.Shown.clear();
    session.ClearError();
    const std::vector<std::string> queueBefore = form.lstQueue.Items();
    const bool fastWindowOpen = app.Desk().Now() - app.Dispatcher().LastHistoryTime() < std::chrono::seconds(3);
    const std::string topBefore = form.lstHistory.Count() > 0 ? form.lstHistory.Item(0) : std::string();

    form.txtURL.SetText(text);
    try {
        app.Capture().btnGoClick();
    } catch (const std::exception& e) {
        session.TakeSent();
        out << "failed: " << text << " (" << e.what() << ")\n";
        return false;
    }
    const std::vector<std::string> sent = session.TakeSent();
    if (desk.Saw(TShown::TKind::Message, kRefusedText)) {
        out << "refused: " << text << " (" << kRefusedText << ")\n";
        return false;
    }
    // The request as capture sent it: the typed text after the www./ftp. completion, with the
    // slash rule and the normalisation that capture applies.
    std::string request = form.txtURL.Text();
    if (!IsDirectText(request) && InstancesOfCharacters("/", request) < 3)
        request += "/";
    request = NormalizeUrl(request);

    for (size_t i = 0; i < sent.size(); ++i) {
        if (!EqualsNoCase(HistoryRequest(sent[i]), HistoryForm(request)))
            continue;
        out << "sent: " << request << " via " << HistoryServer(sent[i]) << "\n";
        PrintSentFromQueue(sent, i + 1, out);
        if (const std::string reason = session.FailureReason(); !reason.empty() && form.lstQueue.Count() > 0)
            out << "failed from the queue: " << form.lstQueue.Item(0) << " (" << reason << "); still queued\n";
        return true;
    }
    const bool queuedNow = !Contains(queueBefore, request) && Contains(form.lstQueue.Items(), request);
    if (const std::string reason = session.FailureReason(); !reason.empty()) {
        out << "failed: " << request << " (" << reason << ")" << (queuedNow ? "; queued" : "; not queued") << "\n";
        return false;
    }
    if (desk.Saw(TShown::TKind::Note, "Duplicate Request")) {
        out << "duplicate: " << request << " (already in the history or the queue; nothing sent)\n";
        return false;
    }
    for (const auto& shown : desk.Shown)
        if (shown.Kind == TShown::TKind::Message && shown.Answer == IDNO &&
            shown.Text.size() > 11 && shown.Text.compare(shown.Text.size() - 11, 11, " by e-mail?") == 0) {
            out << "declined: " << request << " (not confirmed)\n";
            return false;
        }
    if (queuedNow) {
        out << "queued: " << request << " (the tool is disabled; the queue is sent after the next request)\n";
        return false;
    }
    if (form.optEnabled.ItemIndex() != 0) {
        out << "dropped: " << request << " (the tool is disabled and does not queue requests)\n";
        return false;
    }
    if (fastWindowOpen && FirstWord(topBefore) == HistoryForm(request)) {
        out << "dropped: " << request << " (the same request was sent less than 3 seconds ago)\n";
        return false;
    }
    out << "dropped: " << request << " (no request form applies to it; nothing sent)\n";
    PrintSentFromQueue(sent, 0, out);
    return false;
}

} // namespace

std::string DesktopLockPath(const std::string& programFileName) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string folder = runtime && *runtime ? runtime : "/tmp";
    return folder + "/ostrel-" + std::to_string(::getuid()) + "-" + programFileName + ".lock";
}

TListsLock::~TListsLock() { Release(); }

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

int RunSendCommand(const std::string& exePath, const std::vector<std::string>& args, std::istream& in,
                   std::ostream& out, std::ostream& err) {
    TOptions options;
    if (!ParseOptions("send", args, true, options, err))
        return 2;
    if (options.Words.empty()) {
        err << "usage: ostrel-cli send [--root DIR] [--yes] TEXT...\n";
        return 2;
    }
    SetProgramFolder(exePath, options.Root);
    TListsLock lock;
    if (!LockLists(lock, "send", err))
        return 1;
    int status = 0;
    {
        // The session writes the lists as it goes and once more when it ends: inside the lock.
        TSession session(exePath, in, err, options.Yes);
        if (!LoadSession(session, "send", err))
            return 1;
        for (const auto& text : options.Words)
            if (!SendOne(session, text, out))
                status = 1;
    }
    return status;
}

int RunQueueCommand(const std::string& exePath, const std::vector<std::string>& args, std::istream& in,
                    std::ostream& out, std::ostream& err) {
    TOptions options;
    if (!ParseOptions("queue", args, true, options, err))
        return 2;
    const std::string action = options.Words.empty() ? "list" : options.Words.front();
    if (options.Words.size() > 1 || (action != "list" && action != "send" && action != "clear")) {
        err << "usage: ostrel-cli queue [--root DIR] [--yes] [list|send|clear]\n";
        return 2;
    }
    SetProgramFolder(exePath, options.Root);
    if (action == "list") {
        // Reading needs no lock: both programs replace the list files whole, never in place.
        TListBox queue("lstQueue", nullptr);
        try {
            LoadList(queue, "Queue.Dat", false);
        } catch (const std::exception& e) {
            err << "ostrel-cli queue: " << e.what() << "\n";
            return 1;
        }
        for (const auto& entry : queue.Items())
            out << entry << "\n";
        return 0;
    }
    TListsLock lock;
    if (!LockLists(lock, "queue", err))
        return 1;
    TSession session(exePath, in, err, options.Yes);
    if (!LoadSession(session, "queue", err))
        return 1;
    auto& form = session.App().Form();
    if (action == "clear") {
        const int count = form.lstQueue.Count();
        session.App().Dispatcher().DeleteAll1Click();
        out << "queue cleared: " << count << (count == 1 ? " request" : " requests") << " removed\n";
        return 0;
    }
    const std::vector<std::string> before = form.lstQueue.Items();
    try {
        session.App().Dispatcher().btnSendClick();
    } catch (const std::exception& e) {
        err << "ostrel-cli queue: " << e.what() << "\n";
    }
    const std::vector<std::string> sent = session.TakeSent();
    PrintSentFromQueue(sent, 0, out);
    // A queued text that composes no request leaves the queue without a mail.
    for (const auto& entry : before) {
        if (Contains(form.lstQueue.Items(), entry))
            continue;
        bool wasSent = false;
        for (const auto& s : sent)
            wasSent = wasSent || EqualsNoCase(HistoryRequest(s), HistoryForm(entry));
        if (!wasSent)
            out << "dropped from the queue: " << entry << " (nothing to send for it)\n";
    }
    if (form.lstQueue.Count() > 0) {
        const std::string reason = session.FailureReason();
        out << "failed: " << form.lstQueue.Item(0) << " (" << (reason.empty() ? "not sent" : reason)
            << "); " << form.lstQueue.Count() << (form.lstQueue.Count() == 1 ? " request" : " requests")
            << " still queued\n";
        return 1;
    }
    return 0;
}

int RunHistoryCommand(const std::string& exePath, const std::vector<std::string>& args, std::istream&,
                      std::ostream& out, std::ostream& err) {
    TOptions options;
    if (!ParseOptions("history", args, false, options, err))
        return 2;
    if (!options.Words.empty()) {
        err << "usage: ostrel-cli history [--root DIR]\n";
        return 2;
    }
    SetProgramFolder(exePath, options.Root);
    TListBox history("lstHistory", nullptr);
    try {
        LoadList(history, "History.Dat", false);
    } catch (const std::exception& e) {
        err << "ostrel-cli history: " << e.what() << "\n";
        return 1;
    }
    for (const auto& entry : history.Items())
        out << entry << "\n";
    return 0;
}

} // namespace ostrel
