#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace ostrel {

class TForm;

// Button identifiers returned by message boxes and dialogs (the classic Win32 numbers, which
// stored habits and callers compare against).
enum : int { IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7 };

// Message box flags: button sets and icons, added together.
enum : unsigned {
    MB_OK = 0x0,
    MB_OKCANCEL = 0x1,
    MB_ABORTRETRYIGNORE = 0x2,
    MB_YESNOCANCEL = 0x3,
    MB_YESNO = 0x4,
    MB_RETRYCANCEL = 0x5,
    MB_ICONHAND = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONEXCLAMATION = 0x30,
    MB_ICONASTERISK = 0x40,
};

// Kinds of the standard message dialog.
enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

// Buttons of the standard message dialog, a set.
using TMsgDlgButtons = unsigned;
enum : unsigned {
    mbYes = 1u << 0,
    mbNo = 1u << 1,
    mbOK = 1u << 2,
    mbCancel = 1u << 3,
    mbAbort = 1u << 4,
    mbRetry = 1u << 5,
    mbIgnore = 1u << 6,
    mbHelp = 1u << 7,
};

// Sounds for Beep.
enum : unsigned { MB_BEEP_DEFAULT = 0xFFFFFFFF };

struct TPoint {
    int X = 0;
    int Y = 0;
};

struct TSize {
    int Width = 0;
    int Height = 0;
};

// What the notification area shows for one icon.
struct TTrayIconData {
    int ID = 0;
    std::string Icon; // name of an icon image in the program's data ("bright", "dim" or empty)
    std::string Tip;
};

enum class TTrayEvent { LButtonUp, LButtonDblClk, RButtonUp, Other };

// The time source. The desktop is one; tests set the time by hand.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::chrono::system_clock::time_point Now() = 0;
};

// Every service of the desktop system that the program uses. The core never talks to a window
// system directly; it asks this interface, which the Qt desktop, the console desktop and the
// test fake implement.
class Desktop : public Clock {
public:
    // Message box with the classic flags (button set + icon); returns an ID* value.
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned flags) = 0;
    // Standard message dialog; returns an ID* value. helpContext 0: no help link.
    virtual int MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int helpContext) = 0;

    // Lets pending events (timers, clipboard, clicks) run once, then returns.
    virtual void ProcessMessages() = 0;

    virtual std::string ClipboardText() = 0;
    virtual void SetClipboardText(const std::string& text) = 0;
    // Called on every change of the clipboard; an empty function stops the notifications.
    virtual void SetClipboardListener(std::function<void()> onChange) = 0;

    // Notification-area icon; each reports whether the system took the request.
    virtual bool TrayAdd(const TTrayIconData& icon) = 0;
    virtual bool TrayModify(const TTrayIconData& icon) = 0;
    virtual bool TrayDelete(int id) = 0;
    // Whether a notification area is there now (an icon may be added).
    virtual bool TrayAvailable() = 0;
    virtual void SetTrayListener(std::function<void(int id, TTrayEvent event)> onEvent) = 0;

    virtual void Beep(unsigned type) = 0;

    // A passing notice outside the program's windows: the desktop's notification service where
    // one runs, else a balloon at the tray icon. openPath (a file or folder, may be empty) is
    // opened when the user clicks the notice.
    virtual void Notify(const std::string& title, const std::string& text, const std::string& openPath) = 0;

    // Opens a file or folder in the program the desktop chooses for it; false when it could not.
    virtual bool OpenDocument(const std::string& path) = 0;

    // Repeating timer; returns an identifier for KillTimer.
    virtual int SetTimer(int intervalMs, std::function<void()> onTick) = 0;
    virtual void KillTimer(int id) = 0;

    virtual TPoint CursorPos() = 0;
    virtual TSize ScreenSize() = 0;

    // Opens the help at a context; context 0 opens the contents.
    virtual void ShowHelp(int context) = 0;

    // Single instance: true when this process now holds the lock of that name, false when
    // another running copy holds it.
    virtual bool AcquireInstanceLock(const std::string& name) = 0;
    // Asks the running copy to restore or raise its main window.
    virtual void ActivatePreviousInstance(const std::string& name) = 0;
    // Starts another program; false when it could not be started.
    virtual bool StartProgram(const std::string& path, const std::vector<std::string>& args) = 0;
    // Ends the message loop; the shutdown sequence follows.
    virtual void Quit() = 0;

    // Window services for the form models.
    virtual void BringToFront(TForm& form) = 0;
    virtual void SetTopmost(TForm& form, bool topmost) = 0;
    // Shows the form modally and returns its modal result once it is closed.
    virtual int ShowModal(TForm& form) = 0;

    // Lets the user pick one or more files to open; empty when none was picked. A desktop
    // without file dialogs (the console) offers none.
    virtual std::vector<std::string> OpenFileNames(const std::string& title, const std::string& filter) {
        (void)title;
        (void)filter;
        return {};
    }
};

} // namespace ostrel
