#include "shell/ostrel_app.h"

#include <cstdlib>

#include "forms/application.h"
#include "ostrel_version.h"
#include "shell/lists.h"
#include "util/debug_log.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/form_helpers.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace {
const char* const kNewsletterQuestion =
    "We send out a short newsletter by e-mail no more than 12 times a year. Would you like to receive it?";
const char* const kNewsletterAccepted = "Your request will be sent along with your first file retrieval";

std::string FileNamePart(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
} // namespace

std::string ProgramFolderFor(const std::string& exePath) {
    if (const char* home = std::getenv("OSTREL_HOME"); home && *home) {
        std::string folder = home;
        if (folder.back() != '/')
            folder += '/';
        return folder;
    }
    return PathOfF(exePath);
}

TOstrelApp::TOstrelApp(Desktop& desktop, std::string exePath, std::vector<std::string> args)
    : desktop_(desktop), exePath_(std::move(exePath)), settings_(desktop, form_), taskIcon_(desktop) {
    auto& st = ProgramState();
    st.Args = std::move(args);
    st.ExePath = exePath_;
    st.LogClock = &desktop_;
    WireEvents();
}

TOstrelApp::~TOstrelApp() {
    if (created_)
        FormDestroy();
    if (ProgramState().LogClock == &desktop_)
        ProgramState().LogClock = nullptr;
}

void TOstrelApp::WireEvents() {
    auto& f = form_;
    auto guarded = [this](std::function<void()> fn) {
        return [this, fn = std::move(fn)] { Application().Invoke(form_.ClassName(), fn); };
    };
    settings_.OnRefreshTrayIcon = [this] { RefreshTrayIcon(); };
    f.OnShow = guarded([this] { FormShow(); });
    f.OnResize = guarded([this] { FormResize(); });
    f.OnCloseQuery = [this](bool& canClose) {
        Application().Invoke(form_.ClassName(), [&] { FormCloseQuery(canClose); });
    };
    f.OnKeyDown = [this](int& key, TShiftState shift) {
        Application().Invoke(form_.ClassName(), [&] { FormKeyDown(key, shift); });
    };
    f.PageControl1.OnChange = guarded([this] { PageControl1Change(); });
    f.btnOk.OnClick = guarded([this] { settings_.btnOkClick(); });
    f.btnCancel.OnClick = guarded([this] { settings_.btnCancelClick(); });
    f.btnUnload.OnClick = guarded([this] { btnUnloadClick(); });
    f.btnHelp.OnClick = guarded([this] { btnHelpClick(); });
    f.btnDecoderTools.OnClick = guarded([this] { btnDecoderToolsClick(); });
    f.btnNow.OnClick = guarded([this] { btnNowClick(); });
    f.chkShowTips.OnClick = guarded([this] { chkShowTipsClick(); });
    f.optEnabled.OnClick = guarded([this] { RefreshTrayIcon(); });
    f.chkNoSplit.OnClick = guarded([this] { settings_.ControlRefresh(); });
    f.medChunksize.OnChange = guarded([this] { settings_.ControlRefresh(); });
    f.chkNever.OnMouseUp = guarded([this] { settings_.ControlRefresh(); });
    f.txtEmail.OnChange = guarded([this] { WriteDebugLog("Email: " + form_.txtEmail.Text()); });
    f.txtSMTP.OnChange = guarded([this] { WriteDebugLog("SMTP: " + form_.txtSMTP.Text()); });
    if (TMenuItem* help = f.PopupMenu1.Find("mnuHelp"))
        help->OnClick = guarded([this] { mnuHelpClick(); });

    taskIcon_.OnClick = guarded([this] { TaskIcon1Click(); });
    taskIcon_.OnDblClick = guarded([this] { TaskIcon1DblClick(); });
    taskIcon_.OnRightClick = [this](int, int) { Application().Invoke(form_.ClassName(), [this] { TaskIcon1RightClick(); }); };
    desktop_.SetTrayListener([this](int id, TTrayEvent ev) { taskIcon_.Callback(id, ev); });
}

bool TOstrelApp::CheckSingleInstance() {
    const std::string name = FileNamePart(exePath_);
    instanceLockHeld_ = desktop_.AcquireInstanceLock(name);
    const std::string flag = LocalPath("AllowDuplicateInstance.Flg");
    if (FileExists(flag)) {
        DeleteFileIfExists(flag);
        return true;
    }
    if (instanceLockHeld_)
        return true;
    desktop_.ActivatePreviousInstance(name);
    return false;
}

void TOstrelApp::FormCreate() {
    created_ = true;
    try {
        RunStartupSteps();
    } catch (const std::exception& e) {
        AppException(form_.ClassName(), e);
    }
}

void TOstrelApp::RunStartupSteps() {
    auto& st = ProgramState();
    auto& f = form_;
    SetStage(90901, false);
    st.Busy = st.QueueRun = st.AuxSend = false;
    st.SuperDebug = st.DontSend = false;
    st.TipWindowOpen = false;
    tickCount_ = 0;
    const std::string cmd = CommandLine();
    WriteDebugLog("Cmd:" + cmd);
    silentStart_ = cmd.find("/s") != std::string::npos;
    showAtFirstTick_ = cmd.find("/p") != std::string::npos;
    f.VersionLabel2.SetCaption("Ostrel, mail-only web access. Version: " + std::string(OSTREL_VERSION));
    WriteDebugLog(f.VersionLabel2.Caption());
    Application().OnException = [this](const std::string& sender, const std::exception& e) { AppException(sender, e); };

    SetStage(90902);
    desktop_.ProcessMessages();
    SetStage(90903);
    f.SelectPage(f.TabSheet1);
    SetStage(90904);
    SetStage(90905);
    SetStage(90906);
    SetStage(90907);
    f.Hide();

    // The tray icon exists from here on; it gets its image and tip with the settings.
    taskIcon_.SetActive(true);
    timerId_ = desktop_.SetTimer(6000, [this] { Application().Invoke(form_.ClassName(), [this] { Timer1Timer(); }); });

    SetStage(90910);
    SetStage(90999);

    SetStage(91900, false);
    LoadList(f.lstHistory, "History.Dat", false);
    historyLoaded_ = true;
    SetStage(91901, false);
    LoadList(f.lstQueue, "Queue.Dat", false);
    queueLoaded_ = true;
    SetStage(91902, false);
    LoadList(f.lstHot, "HotList.Dat", true);

    SetStage(4400, false);
    settings_.LoadSettings();
    SetStage(4401, false);
    if (st.Prefs.TipEnabled)
        f.chkShowTips.SetChecked(true);
    SetStage(4407, false);
    desktop_.SetClipboardListener([this] { Application().Invoke(form_.ClassName(), [this] { ClipboardChanged(); }); });
    joinedClipboard_ = true;
    SetStage(4408, false);
    SetStage(4410, false);
    if (cmd.find("/i") != std::string::npos)
        f.SetVisible(false);
    settings_.SetPreferenceControls();
    SetStage(4411, false);
    f.Hide();
    SetStage(4412, false);
    settings_.ControlRefresh();
    SetStage(4413, false);
    st.SettingsValid = settings_.ValidateRequiredFields();
    SetStage(4414, false);
    if (st.Prefs.TipEnabled && !silentStart_ && OnShowTips)
        OnShowTips();
    SetStage(4415, false);
    if (st.Prefs.NewsLetterRequest == 0) {
        if (ShowMessageBox(desktop_, kNewsletterQuestion, 3, MB_YESNO) == IDYES) {
            st.Prefs.NewsLetterRequest = 2;
            ShowMessageBox(desktop_, kNewsletterAccepted, 2, MB_OK);
        } else {
            st.Prefs.NewsLetterRequest = 1;
        }
    }
    SetStage(4416, false);
    settings_.SaveNewsletterSetting();
    SetStage(4417, false);
    TrimDebugLog(desktop_);
}

void TOstrelApp::ClipboardChanged() {
    desktop_.ProcessMessages();
    WriteDebugLog("CB change detected");
    if (!ProgramState().SettingsValid)
        return;
    const std::string text = desktop_.ClipboardText();
    if (ProgramState().SuperDebug && text.size() < 1024)
        WriteDebugLog("CB<<<" + text + ">>>");
}

void TOstrelApp::Timer1Timer() {
    if (FileExists(LocalPath("Installer.Flg"))) {
        DeleteFileIfExists(LocalPath("Installer.Flg"));
        desktop_.Quit();
        return;
    }
    ++tickCount_;
    // A notification area that appeared after the program started gets the icon now.
    taskIcon_.Retry();
    if (ProgramState().Busy)
        return;
    if (tickCount_ > 14400) {
        tickCount_ = 0;
        TrimDebugLog(desktop_);
        if (ProgramState().Prefs.TipEnabled && OnShowTips)
            OnShowTips();
        return;
    }
    if (showAtFirstTick_ && !form_.Visible()) {
        form_.Show();
        showAtFirstTick_ = false;
    }
}

void TOstrelApp::Restart() {
    WriteFileString(desktop_, LocalPath("AllowDuplicateInstance.Flg"), "\r");
    // The next copy reads the lists as soon as it starts: they must be complete before it does.
    try {
        TrimHistory(form_.lstHistory);
        if (historyLoaded_)
            SaveList(form_.lstHistory, "History.Dat");
        if (queueLoaded_)
            SaveList(form_.lstQueue, "Queue.Dat");
    } catch (const std::exception& e) {
        AppException(form_.ClassName(), e);
    }
    std::vector<std::string> args;
    const std::string cmd = CommandLine();
    if (!cmd.empty())
        args.push_back(cmd);
    desktop_.StartProgram(exePath_, args);
    desktop_.Quit();
}

void TOstrelApp::FormDestroy() {
    if (destroyed_ || !created_)
        return;
    destroyed_ = true;
    try {
        RunShutdownSteps();
    } catch (const std::exception& e) {
        AppException(form_.ClassName(), e);
    }
    if (timerId_) {
        desktop_.KillTimer(timerId_);
        timerId_ = 0;
    }
    taskIcon_.SetActive(false);
}

void TOstrelApp::RunShutdownSteps() {
    SetStage(90000, false);
    TrimHistory(form_.lstHistory);
    SetStage(90010, false);
    if (historyLoaded_)
        SaveList(form_.lstHistory, "History.Dat");
    SetStage(90020, false);
    if (queueLoaded_)
        SaveList(form_.lstQueue, "Queue.Dat");
    SetStage(90021, false);
    if (joinedClipboard_) {
        desktop_.SetClipboardListener(nullptr);
        joinedClipboard_ = false;
    }
    SetStage(90030, false);
    SetStage(90060, false);
}

void TOstrelApp::btnUnloadClick() {
    SetStage(99999, false);
    desktop_.Quit();
}

void TOstrelApp::FormCloseQuery(bool& canClose) {
    SetStage(91000, false);
    if (form_.Visible()) {
        settings_.btnCancelClick();
        canClose = false;
    } else {
        canClose = true;
    }
    SetStage(91010, false);
}

void TOstrelApp::AppException(const std::string& sender, const std::exception& e) {
    ReportError(desktop_, sender, "UH " + std::string(e.what()));
}

void TOstrelApp::FormKeyDown(int& key, TShiftState shift) {
    if ((shift & ssCtrl) && (shift & ssAlt) && key == 'A') {
        auto& flag = ProgramState().SuperDebug;
        std::string q = std::string("Super debug status is: ") + (flag ? "ON" : "OFF") + ". Change?";
        if (ShowMessageBox(desktop_, q, 3, MB_YESNO) == IDYES)
            flag = !flag;
    }
    if ((shift & ssCtrl) && (shift & ssAlt) && key == '1') {
        auto& flag = ProgramState().DontSend;
        std::string q = std::string("Don't send mode is: ") + (flag ? "ON" : "OFF") + ". Change?";
        if (ShowMessageBox(desktop_, q, 3, MB_YESNO) != IDNO)
            flag = !flag;
    }
}

void TOstrelApp::RefreshTrayIcon() {
    const bool disabled = form_.optEnabled.ItemIndex() == 1;
    taskIcon_.SetIcon(disabled ? form_.TrayIconImageDim.Picture : form_.TrayIconImageBright.Picture);
    taskIcon_.SetToolTip(disabled ? "(Ostrel)" : "Ostrel");
}

void TOstrelApp::TaskIcon1Click() {
    form_.optEnabled.SetItemIndex(form_.optEnabled.ItemIndex() == 1 ? 0 : 1);
    RefreshTrayIcon();
}

void TOstrelApp::TaskIcon1RightClick() {
    PlaceForm(desktop_, form_, 0.5, 0.5);
    form_.Show();
    desktop_.BringToFront(form_);
}

void TOstrelApp::FormShow() { desktop_.BringToFront(form_); }

void TOstrelApp::FormResize() {
    if (form_.WindowState() == TWindowState::wsMinimized) {
        form_.Hide();
        form_.SetWindowState(TWindowState::wsNormal);
    }
}

void TOstrelApp::PageControl1Change() { settings_.ControlRefresh(); }

void TOstrelApp::btnHelpClick() { desktop_.ShowHelp(0); }

void TOstrelApp::mnuHelpClick() { desktop_.ShowHelp(10); }

void TOstrelApp::btnDecoderToolsClick() {
    form_.Hide();
    try {
        if (OnShowDecoder)
            OnShowDecoder();
    } catch (...) {
        form_.Show();
        throw;
    }
    form_.Show();
}

void TOstrelApp::chkShowTipsClick() {
    ProgramState().Prefs.TipEnabled = form_.chkShowTips.Checked();
    settings_.SaveTipSettings();
}

void TOstrelApp::btnNowClick() {
    if (OnShowTips)
        OnShowTips();
}

} // namespace ostrel
