#include "cli/console_desktop.h"

#include <string>

#include "cli/printable.h"
#include "util/text.h"

namespace ostrel {

int ConsoleDesktop::Ask(const std::string& text, const std::vector<std::pair<std::string, int>>& answers) {
    // Questions quote request texts, file names and server replies.
    out_ << Printable(text, TLineBreaks::Keep) << "\n";
    if (answers.size() <= 1)
        return answers.empty() ? IDOK : answers.front().second;
    if (yes_) {
        for (const auto& [word, id] : answers)
            if (id == IDYES || id == IDOK) {
                out_ << "  -> " << word << " (--yes)\n";
                return id;
            }
    }
    for (;;) {
        out_ << "  [";
        for (size_t i = 0; i < answers.size(); ++i)
            out_ << (i ? "/" : "") << answers[i].first;
        out_ << "]? " << std::flush;
        std::string line;
        if (!std::getline(in_, line))
            return answers.back().second;
        line = LowerCase(Trim(line));
        for (const auto& [word, id] : answers)
            if (!line.empty() && LowerCase(word).rfind(line, 0) == 0)
                return id;
    }
}

int ConsoleDesktop::MessageBox(const std::string& text, const std::string&, unsigned flags) {
    switch (flags & 0x0F) {
    case MB_OKCANCEL:
        return Ask(text, {{"ok", IDOK}, {"cancel", IDCANCEL}});
    case MB_YESNO:
        return Ask(text, {{"yes", IDYES}, {"no", IDNO}});
    case MB_YESNOCANCEL:
        return Ask(text, {{"yes", IDYES}, {"no", IDNO}, {"cancel", IDCANCEL}});
    case MB_RETRYCANCEL:
        return Ask(text, {{"retry", IDRETRY}, {"cancel", IDCANCEL}});
    case MB_ABORTRETRYIGNORE:
        return Ask(text, {{"abort", IDABORT}, {"retry", IDRETRY}, {"ignore", IDIGNORE}});
    default:
        return Ask(text, {{"ok", IDOK}});
    }
}

int ConsoleDesktop::MessageDlg(const std::string& text, TMsgDlgType, TMsgDlgButtons buttons, int) {
    std::vector<std::pair<std::string, int>> answers;
    if (buttons & mbYes)
        answers.push_back({"yes", IDYES});
    if (buttons & mbNo)
        answers.push_back({"no", IDNO});
    if (buttons & mbOK)
        answers.push_back({"ok", IDOK});
    if (buttons & mbRetry)
        answers.push_back({"retry", IDRETRY});
    if (buttons & mbIgnore)
        answers.push_back({"ignore", IDIGNORE});
    if (buttons & mbAbort)
        answers.push_back({"abort", IDABORT});
    if (buttons & mbCancel)
        answers.push_back({"cancel", IDCANCEL});
    return Ask(text, answers);
}

void ConsoleDesktop::ShowHelp(int context) {
    out_ << "Help: see the help pages in the program folder's help/ folder (topic " << context << ").\n";
}

} // namespace ostrel
