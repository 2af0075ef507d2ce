#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/desktop.h"

namespace ostrel {

// The desktop for tests: answers come from a script, every call is recorded, the clock is set
// by hand, and clipboard, tray and timer events are fired by the test.
class FakeDesktop : public Desktop {
public:
    struct TDialog {
        std::string Text;
        std::string Caption;
        unsigned Flags = 0;      // message boxes
        TMsgDlgType Type{};      // message dialogs
        TMsgDlgButtons Buttons = 0;
        int HelpContext = 0;
        bool IsMessageBox = true;
    };

    // Answers for the next questions, oldest first; when none is left the default answer is
    // used (IDOK unless set).
    std::deque<int> Answers;
    int DefaultAnswer = IDOK;
    std::vector<TDialog> Dialogs;
    // Every call, in order, as "Name" or "Name:detail".
    std::vector<std::string> Calls;

    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    int MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int helpContext) override;
    // Called on each dialog before it answers (to act as a user who looks at the screen).
    std::function<void(const TDialog&)> OnDialog;

    void ProcessMessages() override;
    int PumpCount = 0;
    // Runs inside every ProcessMessages (a test's stand-in for events that arrive meanwhile).
    std::function<void()> OnPump;

    std::string Clipboard;
    std::string ClipboardText() override { return Clipboard; }
    void SetClipboardText(const std::string& text) override;
    void SetClipboardListener(std::function<void()> onChange) override { clipboardListener_ = std::move(onChange); }
    bool HasClipboardListener() const { return static_cast<bool>(clipboardListener_); }
    // Another program puts text on the clipboard.
    void CopyFromOtherProgram(const std::string& text);

    bool TrayOk = true; // whether the notification area takes requests
    std::map<int, TTrayIconData> TrayIcons;
    bool TrayAdd(const TTrayIconData& icon) override;
    bool TrayModify(const TTrayIconData& icon) override;
    bool TrayDelete(int id) override;
    bool TrayAvailable() override { return TrayOk; }
    void SetTrayListener(std::function<void(int, TTrayEvent)> onEvent) override { trayListener_ = std::move(onEvent); }
    void FireTray(int id, TTrayEvent event);

    int Beeps = 0;
    void Beep(unsigned type) override;

    struct TNotification {
        std::string Title;
        std::string Text;
        std::string OpenPath;
    };
    std::vector<TNotification> Notifications;
    void Notify(const std::string& title, const std::string& text, const std::string& openPath) override;

    std::vector<std::string> Opened;
    bool OpenDocument(const std::string& path) override;

    int SetTimer(int intervalMs, std::function<void()> onTick) override;
    void KillTimer(int id) override;
    // Fires every live timer once.
    void FireTimers();
    size_t LiveTimers() const { return timers_.size(); }

    TPoint Cursor{100, 200};
    TSize Screen{1024, 768};
    TPoint CursorPos() override { return Cursor; }
    TSize ScreenSize() override { return Screen; }

    std::vector<int> HelpShown;
    void ShowHelp(int context) override;

    std::map<std::string, bool> HeldLocks; // locks another copy holds
    bool AcquireInstanceLock(const std::string& name) override;
    void ActivatePreviousInstance(const std::string& name) override;
    std::vector<std::string> Started;
    bool StartProgram(const std::string& path, const std::vector<std::string>& args) override;
    bool QuitRequested = false;
    void Quit() override;

    void BringToFront(TForm& form) override;
    void SetTopmost(TForm& form, bool topmost) override;
    // Runs while a modal form is shown; the form closes when it returns (result: ModalResult).
    std::function<void(TForm&)> OnModal;
    int ShowModal(TForm& form) override;

    // What the next file dialog picks; each dialog's title is recorded.
    std::vector<std::string> FilesToOpen;
    std::vector<std::string> FileDialogs;
    std::vector<std::string> OpenFileNames(const std::string& title, const std::string& filter) override {
        (void)filter;
        FileDialogs.push_back(title);
        std::vector<std::string> picked;
        picked.swap(FilesToOpen);
        return picked;
    }

    std::chrono::system_clock::time_point Time = std::chrono::system_clock::time_point{} + std::chrono::hours(24 * 20000);
    std::chrono::system_clock::time_point Now() override { return Time; }
    void Advance(std::chrono::milliseconds ms) { Time += ms; }

    // Whether a call with that prefix was recorded.
    bool Called(const std::string& prefix) const;

private:
    int NextAnswer();
    std::function<void()> clipboardListener_;
    std::function<void(int, TTrayEvent)> trayListener_;
    std::map<int, std::function<void()>> timers_;
    int nextTimer_ = 1;
};

} // namespace ostrel
