#include "util/debug_log.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "forms/application.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/program_state.h"

namespace ostrel {

std::string DebugLogPath() { return LocalPath("DebugLog.Txt"); }

std::string LogTimeStamp() {
    auto now = ProgramState().LogClock ? ProgramState().LogClock->Now() : std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[128];
    size_t n = std::strftime(buf, sizeof buf, "%x %X", &tm);
    return std::string(buf, n);
}

void WriteDebugLog(const std::string& message) { WriteDebugLogLines({message}); }

void WriteDebugLogLines(const std::vector<std::string>& messages) {
    if (messages.empty())
        return;
    const std::string stamp = LogTimeStamp() + ": ";
    std::string line;
    for (const auto& message : messages)
        line += stamp + message + "\r\n";
    const std::string path = DebugLogPath();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int err = fd < 0 ? errno : WriteAllToFd(fd, line.data(), line.size());
    if (fd >= 0)
        ::close(fd);
    auto& st = ProgramState();
    if (err == 0) {
        st.LogFailureReported = false;
        return;
    }
    if (!st.LogFailureReported)
        throw EInOutError("Cannot write " + path + ": " + std::strerror(err));
}

bool TryWriteDebugLog(const std::string& message) {
    try {
        WriteDebugLog(message);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void LogStage() { WriteDebugLog("LPS " + std::to_string(ProgramState().Stage)); }

void SetStage(int stage, bool logged) {
    ProgramState().Stage = stage;
    if (logged)
        LogStage();
}

void NoteLastOperation(const std::string& text) {
    ProgramState().LastOperation = text;
    WriteDebugLog(text);
}

std::string FormatErrorText(const std::string& where, const std::string& message) {
    std::string text = "Error in " + where + "." + std::to_string(ProgramState().Stage) + " with " + message;
    try {
        WriteDebugLog(text);
    } catch (...) {
        // The report must reach the user even when the log cannot be written; say so in it,
        // once: the lines that fail after it are dropped until the log can be written again.
        text += "\r\n(The debug log " + DebugLogPath() + " could not be written.)";
        ProgramState().LogFailureReported = true;
    }
    return text;
}

void ReportError(Desktop& desktop, const std::string& where, const std::string& message) {
    std::string text = FormatErrorText(where, message);
    try {
        ShowMessageBox(desktop, text, 0, MB_OK);
    } catch (...) {
    }
}

void ReportErrorWithHelp(Desktop& desktop, const std::string& where, const std::string& message, int helpContext) {
    std::string text = FormatErrorText(where, message);
    try {
        desktop.MessageDlg(text, TMsgDlgType::mtWarning, mbOK | mbHelp, helpContext);
    } catch (...) {
    }
}

int ShowMessageBox(Desktop& desktop, const std::string& text, int kind, unsigned buttons) {
    static const unsigned icons[] = {MB_ICONEXCLAMATION, MB_ICONHAND, MB_ICONASTERISK, MB_ICONQUESTION, 0};
    unsigned icon = (kind >= 0 && kind <= 4) ? icons[kind] : 0;
    return desktop.MessageBox(text, Application().Title, buttons + icon);
}

void TrimDebugLog(Desktop& desktop) {
    TrimFileToSizeCosmetic(desktop, DebugLogPath(), DebugLogLimit);
    WriteDebugLog("Log trimmed");
}

} // namespace ostrel
