#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <map>
#include <memory>
#include <vector>

#include "platform/desktop.h"

class QAbstractButton;
class QEventLoop;
class QMessageBox;
class QSocketNotifier;
class QSystemTrayIcon;
class QTimer;

namespace ostrel {

class TFormView;
class TNotifier;
class TWaylandClipboard;

// The desktop services of a Qt 6 session on Linux (X11 or Wayland through Qt).
class QtDesktop : public QObject, public Desktop {
    Q_OBJECT
public:
    QtDesktop();
    ~QtDesktop() override;

    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    int MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int helpContext) override;
    void ProcessMessages() override;
    std::string ClipboardText() override;
    void SetClipboardText(const std::string& text) override;
    void SetClipboardListener(std::function<void()> onChange) override;
    bool TrayAdd(const TTrayIconData& icon) override;
    bool TrayModify(const TTrayIconData& icon) override;
    bool TrayDelete(int id) override;
    bool TrayAvailable() override;
    void SetTrayListener(std::function<void(int, TTrayEvent)> onEvent) override;
    void Beep(unsigned type) override;
    bool OpenDocument(const std::string& path) override;
    void Notify(const std::string& title, const std::string& text, const std::string& openPath) override;
    int SetTimer(int intervalMs, std::function<void()> onTick) override;
    void KillTimer(int id) override;
    TPoint CursorPos() override;
    TSize ScreenSize() override;
    void ShowHelp(int context) override;
    bool AcquireInstanceLock(const std::string& name) override;
    void ActivatePreviousInstance(const std::string& name) override;
    bool StartProgram(const std::string& path, const std::vector<std::string>& args) override;
    void Quit() override;
    void BringToFront(TForm& form) override;
    void SetTopmost(TForm& form, bool topmost) override;
    int ShowModal(TForm& form) override;
    std::vector<std::string> OpenFileNames(const std::string& title, const std::string& filter) override;
    std::chrono::system_clock::time_point Now() override { return std::chrono::system_clock::now(); }

    // The view that draws a form; the desktop makes one on first need.
    TFormView& ViewOf(TForm& form);
    void ForgetView(TForm& form);
    // Called when another copy asks this one to show itself.
    std::function<void()> OnActivateRequest;

    // The help page for a context, as a local file path.
    static std::string HelpPage(int context);
    // Quit was called: the program is ending, whether its loop ran yet or not.
    bool QuitRequested() const { return quitRequested_; }

private:
    int RunBox(QMessageBox& box, const std::map<QAbstractButton*, int>& ids);

    std::function<void()> clipboardListener_;
    std::function<void(int, TTrayEvent)> trayListener_;
    std::map<int, QSystemTrayIcon*> trays_;
    std::map<int, QTimer*> timers_;
    std::map<TForm*, std::unique_ptr<TFormView>> views_;
    int nextTimer_ = 1;
    int lockFd_ = -1;
    int listenFd_ = -1;
    QSocketNotifier* activation_ = nullptr;
    bool settingClipboard_ = false;
    // The Wayland session's clipboard, when the compositor lets the program follow it; the
    // toolkit's clipboard serves while it is not active.
    TWaylandClipboard* wayland_ = nullptr;
    bool FollowsWayland() const;
    QTimer* trayWatch_ = nullptr;
    bool quitRequested_ = false;
    // When the last two clicks on a tray icon were reported (ms of trayClock_, -1: none).
    QElapsedTimer trayClock_;
    qint64 lastTrayClick_ = -1;
    qint64 previousTrayClick_ = -1;
    // The message boxes and modal windows on screen, innermost last: Quit ends them.
    std::vector<QMessageBox*> openBoxes_;
    std::vector<QEventLoop*> modalLoops_;
    TNotifier* notifier_ = nullptr;
    // What a click on the tray icon's balloon opens.
    QString balloonOpens_;
    void ShowBalloon(const QString& title, const QString& text, const QString& openPath);
};

} // namespace ostrel
