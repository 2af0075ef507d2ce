#include "shell/update_file.h"

#include "mime/message.h"
#include "mime/parser.h"
#include "platform/desktop.h"
#include "util/debug_log.h"
#include "util/file_io.h"
#include "util/form_helpers.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace {

const char* const BeginMarker = "---Begin Ostrel Update File---";
const char* const EndMarker = "---End Ostrel Update File---";

// Some mail programs copy line ends as CR CR LF; every run of carriage returns becomes one.
std::string CollapseCarriageReturns(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\r' && !out.empty() && out.back() == '\r')
            continue;
        out += c;
    }
    return out;
}

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// An update carries data files only. Replacing the running program or the user's settings
// from a copied mail would let anyone who can send the user a mail take over the program.
bool IsProtectedName(const std::string& name) {
    const std::string exe = BaseName(ProgramState().ExePath);
    if (!exe.empty() && name == exe)
        return true;
    for (const char* own : {"ostrel", "ostrel-cli", "ostrel.exe", "OSTREL.INI"})
        if (EqualsNoCase(name, own))
            return true;
    return LocalPath(name) == SettingsFileName();
}

} // namespace

std::string UpdatePseudoMessage(const std::string& text) {
    const auto b = text.find(BeginMarker);
    if (b == std::string::npos)
        return {};
    const auto e = text.find(EndMarker);
    if (e == std::string::npos || e <= b)
        return {};
    std::string payload = CollapseCarriageReturns(text);
    const auto first = payload.find("begin ");
    if (first != std::string::npos)
        payload.erase(0, first);
    return "PseudoHeader: x\r\n\r\n" + payload;
}

bool ProcessUpdateFile(Desktop& desktop, TmsMessage& message, const std::string& text,
                       const std::function<void()>& restart) {
    const std::string tempFile = LocalPath("uudecoder.tmp");
    int saved = 0;
    std::exception_ptr failure;
    try {
        const std::string pseudo = UpdatePseudoMessage(text);
        // A temporary file that could not be written must not be replaced by a stale one
        // left from before: decode only what was written now.
        if (!pseudo.empty() && WriteFileString(desktop, tempFile, pseudo)) {
            message.Clear();
            LoadMessageFromFile(message, tempFile, &desktop);
            const std::size_t count = message.Attachments.Count();
            for (std::size_t i = 0; i < count; ++i) {
                const TmsAttItem& item = message.Attachments.Items(i);
                const std::string name = SafeFileName(item.FileName());
                if (name.empty() || IsProtectedName(name)) {
                    WriteDebugLog("Update file refused: " + item.FileName());
                    continue;
                }
                WriteFileAtomic(LocalPath(name), item.Data);
                ++saved;
            }
            message.Clear();
        }
    } catch (...) {
        failure = std::current_exception();
    }
    DeleteFileIfExists(tempFile);
    if (saved > 0) {
        PushyMessageDlg(desktop, "Ostrel will restart with fresh data", TMsgDlgType::mtInformation, mbOK, 0, nullptr);
        if (restart)
            restart();
        return true;
    }
    if (failure)
        std::rethrow_exception(failure);
    return false;
}

} // namespace ostrel
