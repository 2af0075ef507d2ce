#pragma once

#include <iostream>

#include "platform/desktop.h"

namespace ostrel {

// The desktop of the command line: questions are asked on the terminal (or answered Yes/OK
// at once with --yes), messages are printed, and there is no clipboard, tray or help viewer.
class ConsoleDesktop : public Desktop {
public:
    ConsoleDesktop(std::istream& in, std::ostream& out, bool assumeYes) : in_(in), out_(out), yes_(assumeYes) {}

    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    int MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int helpContext) override;
    void ProcessMessages() override {}
    std::string ClipboardText() override { return {}; }
    void SetClipboardText(const std::string&) override {}
    void SetClipboardListener(std::function<void()>) override {}
    bool TrayAdd(const TTrayIconData&) override { return false; }
    bool TrayModify(const TTrayIconData&) override { return false; }
    bool TrayDelete(int) override { return false; }
    bool TrayAvailable() override { return false; }
    void SetTrayListener(std::function<void(int, TTrayEvent)>) override {}
    void Beep(unsigned) override { out_ << '\a' << std::flush; }
    // A terminal opens nothing: the path is printed by the command that has it.
    bool OpenDocument(const std::string&) override { return false; }
    void Notify(const std::string& title, const std::string& text, const std::string&) override {
        out_ << title << ": " << text << "\n";
    }
    int SetTimer(int, std::function<void()>) override { return 0; }
    void KillTimer(int) override {}
    TPoint CursorPos() override { return {}; }
    TSize ScreenSize() override { return {1024, 768}; }
    void ShowHelp(int context) override;
    bool AcquireInstanceLock(const std::string&) override { return true; }
    void ActivatePreviousInstance(const std::string&) override {}
    bool StartProgram(const std::string&, const std::vector<std::string>&) override { return false; }
    void Quit() override {}
    void BringToFront(TForm&) override {}
    void SetTopmost(TForm&, bool) override {}
    int ShowModal(TForm&) override { return 0; }
    std::chrono::system_clock::time_point Now() override { return std::chrono::system_clock::now(); }

private:
    // Asks until one of the offered answers is typed; end of input answers with the last one.
    int Ask(const std::string& text, const std::vector<std::pair<std::string, int>>& answers);
    std::istream& in_;
    std::ostream& out_;
    bool yes_;
};

} // namespace ostrel
