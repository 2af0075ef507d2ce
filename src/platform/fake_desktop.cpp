#include "platform/fake_desktop.h"

#include "forms/form.h"

namespace ostrel {

int FakeDesktop::NextAnswer() {
    if (Answers.empty())
        return DefaultAnswer;
    int a = Answers.front();
    Answers.pop_front();
    return a;
}

int FakeDesktop::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    TDialog d;
    d.Text = text;
    d.Caption = caption;
    d.Flags = flags;
    Dialogs.push_back(d);
    Calls.push_back("MessageBox:" + text);
    if (OnDialog)
        OnDialog(d);
    return NextAnswer();
}

int FakeDesktop::MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int helpContext) {
    TDialog d;
    d.Text = text;
    d.Type = type;
    d.Buttons = buttons;
    d.HelpContext = helpContext;
    d.IsMessageBox = false;
    Dialogs.push_back(d);
    Calls.push_back("MessageDlg:" + text);
    if (OnDialog)
        OnDialog(d);
    return NextAnswer();
}

void FakeDesktop::ProcessMessages() {
    ++PumpCount;
    if (OnPump)
        OnPump();
}

void FakeDesktop::SetClipboardText(const std::string& text) {
    Clipboard = text;
    Calls.push_back("SetClipboardText");
}

void FakeDesktop::CopyFromOtherProgram(const std::string& text) {
    Clipboard = text;
    if (clipboardListener_)
        clipboardListener_();
}

bool FakeDesktop::TrayAdd(const TTrayIconData& icon) {
    Calls.push_back("TrayAdd:" + icon.Tip);
    if (!TrayOk || TrayIcons.count(icon.ID))
        return false;
    TrayIcons[icon.ID] = icon;
    return true;
}

bool FakeDesktop::TrayModify(const TTrayIconData& icon) {
    Calls.push_back("TrayModify:" + icon.Tip);
    auto it = TrayIcons.find(icon.ID);
    if (!TrayOk || it == TrayIcons.end())
        return false;
    it->second = icon;
    return true;
}

bool FakeDesktop::TrayDelete(int id) {
    Calls.push_back("TrayDelete");
    return TrayIcons.erase(id) > 0;
}

void FakeDesktop::FireTray(int id, TTrayEvent event) {
    if (trayListener_)
        trayListener_(id, event);
}

void FakeDesktop::Beep(unsigned) {
    ++Beeps;
    Calls.push_back("Beep");
}

int FakeDesktop::SetTimer(int, std::function<void()> onTick) {
    int id = nextTimer_++;
    timers_[id] = std::move(onTick);
    return id;
}

void FakeDesktop::KillTimer(int id) {
    timers_.erase(id);
}

void FakeDesktop::FireTimers() {
    auto copy = timers_;
    for (auto& [id, fn] : copy)
        if (timers_.count(id) && fn)
            fn();
}

void FakeDesktop::ShowHelp(int context) {
    HelpShown.push_back(context);
    Calls.push_back("ShowHelp:" + std::to_string(context));
}

bool FakeDesktop::AcquireInstanceLock(const std::string& name) {
    Calls.push_back("AcquireInstanceLock:" + name);
    if (HeldLocks[name])
        return false;
    HeldLocks[name] = true;
    return true;
}

void FakeDesktop::ActivatePreviousInstance(const std::string& name) {
    Calls.push_back("ActivatePreviousInstance:" + name);
}

bool FakeDesktop::StartProgram(const std::string& path, const std::vector<std::string>& args) {
    std::string line = path;
    for (const auto& a : args)
        line += " " + a;
    Started.push_back(line);
    Calls.push_back("StartProgram:" + line);
    return true;
}

void FakeDesktop::Notify(const std::string& title, const std::string& text, const std::string& openPath) {
    Notifications.push_back({title, text, openPath});
    Calls.push_back("Notify:" + title);
}

bool FakeDesktop::OpenDocument(const std::string& path) {
    Opened.push_back(path);
    Calls.push_back("OpenDocument:" + path);
    return true;
}

void FakeDesktop::Quit() {
    QuitRequested = true;
    Calls.push_back("Quit");
}

void FakeDesktop::BringToFront(TForm& form) {
    Calls.push_back("BringToFront:" + form.Name());
}

void FakeDesktop::SetTopmost(TForm& form, bool topmost) {
    Calls.push_back(std::string(topmost ? "Topmost:" : "NotTopmost:") + form.Name());
}

int FakeDesktop::ShowModal(TForm& form) {
    Calls.push_back("ShowModal:" + form.Name());
    form.ModalResult = 0;
    form.Show();
    if (OnModal)
        OnModal(form);
    form.Hide();
    return form.ModalResult;
}

bool FakeDesktop::Called(const std::string& prefix) const {
    for (const auto& c : Calls)
        if (c.rfind(prefix, 0) == 0)
            return true;
    return false;
}

} // namespace ostrel
