#include "shell/ostrel_app.h"

#include <cstdlib>
#include <utility>

#include "decoder/decoder_wizard.h"
#include "forms/application.h"
#include "net/certificate.h"
#include "shell/autostart.h"
#include "shell/lists.h"
#include "shell/program_folder.h"
#include "shell/update_file.h"
#include "util/debug_log.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/form_helpers.h"
#include "util/ini_file.h"
#include "util/program_state.h"
#include "util/progress_window.h"
#include "util/text.h"
#include "util/tip_window.h"

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

std::string ProgramFolderFor(const std::string& exePath) { return ProgramFolderOf(exePath); }

TOstrelApp::TOstrelApp(Desktop& desktop, std::string exePath, std::vector<std::string> args, Secrets* secrets)
    : desktop_(desktop),
      ownSecrets_(secrets != nullptr ? nullptr
                                     : std::make_unique<SystemSecrets>(PathOfF(SettingsFileName()),
                                                                       [&desktop] { desktop.ProcessMessages(); })),
      secrets_(secrets != nullptr ? secrets : ownSecrets_.get()), exePath_(std::move(exePath)),
      settings_(desktop, form_), taskIcon_(desktop), msSMTP1_(desktop),
      servers_(desktop, TServerControls{form_.cboHTTPServersPages, form_.cboHTTPServersBinary, form_.cboFTPservers,
                                        form_.infoHTTPServersPages, form_.infoHTTPServersBinary, form_.infoFTPservers}),
      dispatcher_(desktop, RequestControls(), RequestHooks(), servers_, msMessage1_, msSMTP1_),
      capture_(desktop, RequestControls(), RequestHooks(), dispatcher_),
      hotList_(desktop, form_.lstHot, form_.txtLookFor, dispatcher_, [this] { settings_.ControlRefresh(); }),
      suggestion_(
          desktop, [this](bool active) { taskIcon_.SetActive(active); }, &form_),
      auxiliary_(desktop,
                 TAuxiliaryControls{form_.txtEmail, form_.txtSMTP, form_.txtFName, form_.txtFemail, form_.txtMyName},
                 msMessage1_, msSMTP1_, dispatcher_, [this] { settings_.SaveNewsletterSetting(); }),
      replyFetch_(desktop, form_, settings_, dispatcher_) {
    auto& st = ProgramState();
    st.Args = std::move(args);
    st.ExePath = exePath_;
    st.LogClock = &desktop_;
    // Every mail the program sends goes out of the one message object.
    msSMTP1_.MailMessage = &msMessage1_;
    // A server may take its time to answer the end of the data; giving up early would turn a
    // delivered mail into a queued duplicate.
    msSMTP1_.TimeOut = 120;
    settings_.PasswordStore = secrets_;
    auxiliary_.PrepareTransport = [this] { PrepareTransport(); };
    for (TListBox* list : {&form_.lstHot, &form_.lstQueue})
        list->DisplayText = ReadableRequest;
    // The history shows what came back for each request too.
    form_.lstHistory.DisplayText = [this](const std::string& entry) { return replyFetch_.HistoryText(entry); };
    replyFetch_.PasswordStore = secrets_;
    replyFetch_.ServerAddresses = [] { return TIniFile(LocalPath("uservers.da2")).ReadSections(); };
    servers_.OnApplyServerSelections = [this](TServerDirectory& servers) { suggestion_.ApplyServerSelections(servers); };
    suggestion_.Quitting = [this] { return quitRequested_; };
    WireEvents();
}

TOstrelApp::~TOstrelApp() {
    if (created_)
        FormDestroy();
    if (ProgramState().LogClock == &desktop_)
        ProgramState().LogClock = nullptr;
}

TRequestControls TOstrelApp::RequestControls() {
    auto& f = form_;
    return TRequestControls{f,          f.optEnabled, f.optConfirm, f.chkCheckHistory, f.chkNotEnabled, f.chkOnFailure,
                            f.chkNever, f.txtURL,     f.txtEmail,   f.txtSMTP,         f.lstHistory,    f.lstQueue};
}

TRequestHooks TOstrelApp::RequestHooks() {
    TRequestHooks hooks;
    hooks.ControlRefresh = [this] { settings_.ControlRefresh(); };
    hooks.AddHistoryEntry = [this](const std::string& request, const std::string& server) {
        AddHistoryEntry(form_.lstHistory, request, server, LogTimeStamp());
        SaveHistory();
    };
    hooks.HistoryChanged = [this] { SaveHistory(); };
    hooks.QueueChanged = [this] { SaveQueue(); };
    hooks.ShowProgressNote = [this](const std::string& text) { ShowProgressNote(desktop_, text); };
    hooks.ProgressOpen = [this](const std::string& label) {
        progress_ = std::make_unique<TfrmProgress>(desktop_);
        progress_->Label1.SetCaption(label);
        progress_->Show();
        desktop_.BringToFront(*progress_);
    };
    hooks.ProgressPosition = [this](int position) {
        if (progress_)
            progress_->ProgressBar1.SetPosition(position);
    };
    hooks.ProgressClose = [this] { progress_.reset(); };
    hooks.SendTestMessageOnce = [this] { auxiliary_.SendTestMessageOnce(); };
    hooks.PrepareTransport = [this] { PrepareTransport(); };
    hooks.TrustCertificate = [this](const ECertificateError& e) { return TrustCertificate(e); };
    return hooks;
}

// The lists are written after every change, so that a crash or a power cut loses neither a
// queued request nor the record of a sent one. A list that could not be loaded is left alone.
void TOstrelApp::SaveHistory() {
    if (historyLoaded_)
        SaveListAfterChange(form_.lstHistory, "History.Dat", historySaveFailing_);
}

void TOstrelApp::SaveQueue() {
    if (queueLoaded_)
        SaveListAfterChange(form_.lstQueue, "Queue.Dat", queueSaveFailing_);
}

// A save that fails is news of its own: the mail the server accepted, the entry the user
// deleted, stay so. The list keeps the change in memory and every later change, and the
// shutdown, try again; one report per spell of failures, not one per queue entry sent.
void TOstrelApp::SaveListAfterChange(const TListBox& list, const std::string& fileName, bool& failing) {
    try {
        SaveList(list, fileName);
        failing = false;
    } catch (const std::exception& e) {
        if (failing)
            return;
        failing = true;
        ReportError(desktop_, "SaveList",
                    std::string(e.what()) + ". The list is kept and saved again at its next change and at exit.");
    }
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
    f.chkAutostart.OnMouseUp = guarded([this] { chkAutostartClick(); });
    f.optEnabled.OnClick = guarded([this] { RefreshTrayIcon(); });
    f.chkNoSplit.OnClick = guarded([this] { settings_.ControlRefresh(); });
    f.medChunksize.OnChange = guarded([this] { settings_.ControlRefresh(); });
    f.chkNever.OnMouseUp = guarded([this] { settings_.ControlRefresh(); });
    f.txtEmail.OnChange = guarded([this] { WriteDebugLog("Email: " + form_.txtEmail.Text()); });
    f.txtSMTP.OnChange = guarded([this] { WriteDebugLog("SMTP: " + form_.txtSMTP.Text()); });
    if (TMenuItem* help = f.PopupMenu1.Find("mnuHelp"))
        help->OnClick = guarded([this] { mnuHelpClick(); });

    f.btnGo.OnClick = guarded([this] { capture_.btnGoClick(); });
    f.btnSend.OnClick = guarded([this] { dispatcher_.btnSendClick(); });
    f.PopupMenu2.Find("Delete1")->OnClick = guarded([this] { dispatcher_.Delete1Click(); });
    f.PopupMenu2.Find("RequestNow1")->OnClick = guarded([this] { dispatcher_.RequestNow1Click(); });
    f.PopupMenu2.Find("DeleteAll1")->OnClick = guarded([this] { dispatcher_.DeleteAll1Click(); });
    f.PopupMenu1.Find("mnuShowDetail")->OnClick = guarded([this] { dispatcher_.mnuShowDetailClick(); });
    f.PopupMenu1.Find("mnuDeletefromHistory")->OnClick = guarded([this] { dispatcher_.mnuDeletefromHistoryClick(); });
    f.PopupMenu1.Find("mnuRequestAgain")->OnClick = guarded([this] { dispatcher_.mnuRequestAgainClick(); });
    f.cboHTTPServersPages.OnChange = guarded([this] { servers_.cboHTTPServersPagesChange(); });
    f.cboHTTPServersBinary.OnChange = guarded([this] { servers_.cboHTTPServersBinaryChange(); });
    f.cboFTPservers.OnChange = guarded([this] { servers_.cboFTPserversChange(); });
    for (TLabel* info : {&f.infoHTTPServersPages, &f.infoHTTPServersBinary, &f.infoFTPservers})
        info->OnClick = guarded([this, info] { servers_.ShowServerInfo(*info); });
    settings_.OnRefreshServerSelection = [this] { servers_.RefreshServerSelection(); };
    f.txtLookFor.OnChange = guarded([this] { hotList_.txtLookForChange(); });
    f.btnSearch.OnClick = guarded([this] { hotList_.btnSearchClick(); });
    f.btnRequest.OnClick = guarded([this] { hotList_.btnRequestClick(); });
    f.lstHot.OnClick = guarded([this] { hotList_.lstHotClick(); });
    f.txtFName.OnChange = guarded([this] { settings_.ControlRefresh(); });
    f.txtFemail.OnChange = guarded([this] { settings_.ControlRefresh(); });
    f.txtMyName.OnChange = guarded([this] { settings_.ControlRefresh(); });
    f.btnFSend.OnClick = guarded([this] { auxiliary_.btnFSendClick(); });
    f.btnCheck.OnClick = guarded([this] { btnCheckClick(); });
    f.btnMailCheck.OnClick = guarded([this] { replyFetch_.btnMailCheckClick(); });
    f.btnFetch.OnClick = guarded([this] { replyFetch_.btnFetchClick(); });
    f.btnHistoryFetch.OnClick = guarded([this] { replyFetch_.btnFetchClick(); });
    f.PopupMenu1.Find("mnuOpen")->OnClick = guarded([this] { replyFetch_.mnuOpenClick(); });

    msSMTP1_.OnOpen = [this](TagSocket& s) { dispatcher_.msSMTP1Open(s); };
    msSMTP1_.OnPrepare = [this](TagSocket& s) { dispatcher_.msSMTP1Prepare(s); };
    msSMTP1_.OnSending = [this](TagSocket& s) { dispatcher_.msSMTP1Sending(s); };
    msSMTP1_.OnProgress = [this](TagSocket& s, int p) { dispatcher_.msSMTP1Progress(s, p); };
    msSMTP1_.OnMailSent = [this](TagSocket& s) { dispatcher_.msSMTP1MailSent(s); };
    msSMTP1_.OnClosing = [this](TagSocket& s) { dispatcher_.msSMTP1Closing(s); };
    msSMTP1_.OnClosed = [this](TagSocket& s) { dispatcher_.msSMTP1Closed(s); };

    taskIcon_.OnClick = guarded([this] { TaskIcon1Click(); });
    taskIcon_.OnDblClick = guarded([this] { TaskIcon1DblClick(); });
    taskIcon_.OnRightClick = [this](int, int) {
        Application().Invoke(form_.ClassName(), [this] { TaskIcon1RightClick(); });
    };
    desktop_.SetTrayListener([this](int id, TTrayEvent ev) { taskIcon_.Callback(id, ev); });
}

bool TOstrelApp::CheckSingleInstance() {
    const std::string name = FileNamePart(exePath_);
    instanceLockHeld_ = desktop_.AcquireInstanceLock(name);
    instanceChecked_ = true;
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
    askAboutCertificates_ = true;
    replyFetch_.AskAboutCertificates = true;
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
    // The tray icon and the timer come before any step that can fail (the first is a log
    // line), so that however far start-up gets, the icon opens the window with its Unload and
    // an installer's flag file ends the program. The icon shows the enabled state until the
    // settings say otherwise.
    RefreshTrayIcon();
    taskIcon_.SetActive(true);
    timerId_ = desktop_.SetTimer(6000, [this] { Application().Invoke(form_.ClassName(), [this] { Timer1Timer(); }); });

    const std::string cmd = CommandLine();
    WriteDebugLog("Cmd:" + cmd);
    silentStart_ = cmd.find("/s") != std::string::npos;
    showAtFirstTick_ = cmd.find("/p") != std::string::npos;
    WriteDebugLog(f.VersionLabel2.Caption());
    Application().OnException = [this](const std::string& sender, const std::exception& e) { AppException(sender, e); };

    SetStage(90902);
    desktop_.ProcessMessages();
    SetStage(90903);
    f.SelectPage(f.TabSheet1);
    SetStage(90904);
    msSMTP1_.LogFileName = LocalPath("SMTP.LOG");
    SetStage(90905);
    SetStage(90906);
    SetStage(90907);
    f.Hide();

    // Each step that may put a question or a window on screen lets the timer run meanwhile; a
    // quit asked for then (the installer's flag, Unload, a restart) ends start-up at once.
    SetStage(90910);
    servers_.LoadServerDirectory();
    if (quitRequested_)
        return;
    SetStage(90999);

    SetStage(91900, false);
    replyFetch_.LoadTracking();
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
    if (quitRequested_)
        return;
    SetStage(4413, false);
    st.SettingsValid = settings_.ValidateRequiredFields();
    if (quitRequested_)
        return;
    SetStage(4414, false);
    if (st.Prefs.TipEnabled && !silentStart_)
        ShowTipOfTheDay();
    if (quitRequested_)
        return;
    SetStage(4415, false);
    if (st.Prefs.NewsLetterRequest == 0) {
        const int answer = ShowMessageBox(desktop_, kNewsletterQuestion, 3, MB_YESNO);
        // A question closed by a quit was not answered: it is asked again at the next start.
        if (quitRequested_)
            return;
        if (answer == IDYES) {
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

bool TOstrelApp::LoadForCommandLine() {
    auto& f = form_;
    created_ = true;
    {
        // No questions on the command line, and the suggestions stay fresh for the window.
        auto ask = std::exchange(servers_.OnApplyServerSelections, nullptr);
        try {
            servers_.LoadServerDirectory();
        } catch (...) {
            servers_.OnApplyServerSelections = std::move(ask);
            throw;
        }
        servers_.OnApplyServerSelections = std::move(ask);
    }
    replyFetch_.LoadTracking();
    LoadList(f.lstHistory, "History.Dat", false);
    historyLoaded_ = true;
    historyAsLoaded_ = f.lstHistory.Items();
    LoadList(f.lstQueue, "Queue.Dat", false);
    queueLoaded_ = true;
    queueAsLoaded_ = f.lstQueue.Items();
    LoadList(f.lstHot, "HotList.Dat", true);
    settings_.LoadSettings();
    settings_.SetPreferenceControls();
    ProgramState().SettingsValid = !Trim(f.txtEmail.Text()).empty() && !Trim(f.txtSMTP.Text()).empty();
    return ProgramState().SettingsValid;
}

void TOstrelApp::ClipboardChanged() {
    desktop_.ProcessMessages();
    WriteDebugLog("CB change detected");
    if (!ProgramState().SettingsValid)
        return;
    const std::string text = desktop_.ClipboardText();
    if (ProgramState().SuperDebug && text.size() < 1024)
        WriteDebugLog("CB<<<" + text + ">>>");
    if (ProcessUpdateFile(desktop_, text, [this] { Restart(); }))
        return;
    if (text.size() <= 512 && IsSupportedUrl(text))
        capture_.CaptureRequest(text);
}

void TOstrelApp::RequestQuit() {
    quitRequested_ = true;
    desktop_.Quit();
}

void TOstrelApp::Timer1Timer() {
    if (FileExists(LocalPath("Installer.Flg"))) {
        DeleteFileIfExists(LocalPath("Installer.Flg"));
        RequestQuit();
        return;
    }
    ++tickCount_;
    // A notification area that appeared after the program started gets the icon now.
    taskIcon_.Retry();
    // A copy started by Restart runs while the ending copy still holds the lock; it takes the
    // lock over once that copy is gone, so that later starts find it.
    if (instanceChecked_ && !instanceLockHeld_)
        instanceLockHeld_ = desktop_.AcquireInstanceLock(FileNamePart(exePath_));
    if (ProgramState().Busy)
        return;
    if (tickCount_ > 14400) {
        tickCount_ = 0;
        TrimDebugLog(desktop_);
        if (ProgramState().Prefs.TipEnabled)
            ShowTipOfTheDay();
        return;
    }
    if (showAtFirstTick_ && !form_.Visible()) {
        form_.Show();
        showAtFirstTick_ = false;
    }
    if (ProgramState().SettingsValid)
        replyFetch_.Tick();
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
    RequestQuit();
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
    if (historyLoaded_ && historyAsLoaded_ != form_.lstHistory.Items())
        SaveList(form_.lstHistory, "History.Dat");
    SetStage(90020, false);
    if (queueLoaded_ && queueAsLoaded_ != form_.lstQueue.Items())
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
    RequestQuit();
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
    if (key == VK_F3 && form_.PageActive(form_.tbsHot)) {
        if (form_.ActiveControl() == &form_.btnSearch)
            hotList_.btnSearchKeyDown(key);
        else
            hotList_.lstHotKeyDown(key);
    }
    // The key is used up by its question: it goes nowhere else, so the focused control neither
    // types it (Ctrl+Alt is AltGr on many keyboards) nor hands it back for a second question.
    if ((shift & ssCtrl) && (shift & ssAlt) && key == 'A') {
        key = 0;
        auto& flag = ProgramState().SuperDebug;
        std::string q = std::string("Super debug status is: ") + (flag ? "ON" : "OFF") + ". Change?";
        if (ShowMessageBox(desktop_, q, 3, MB_YESNO) == IDYES)
            flag = !flag;
    }
    if ((shift & ssCtrl) && (shift & ssAlt) && key == '1') {
        key = 0;
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

void TOstrelApp::FormShow() {
    ReadAutostart();
    desktop_.BringToFront(form_);
}

void TOstrelApp::FormResize() {
    if (form_.WindowState() == TWindowState::wsMinimized) {
        form_.Hide();
        form_.SetWindowState(TWindowState::wsNormal);
    }
}

void TOstrelApp::PageControl1Change() {
    settings_.ControlRefresh();
    if (form_.PageActive(form_.TabSheet6))
        ReadAutostart();
}

void TOstrelApp::ReadAutostart() { form_.chkAutostart.SetChecked(AutostartEnabled()); }

void TOstrelApp::chkAutostartClick() {
    try {
        SetAutostart(form_.chkAutostart.Checked(), exePath_);
    } catch (const std::exception& e) {
        ReportError(desktop_, "chkAutostartClick", e.what());
    }
    ReadAutostart();
}

void TOstrelApp::btnHelpClick() { desktop_.ShowHelp(0); }

void TOstrelApp::mnuHelpClick() { desktop_.ShowHelp(10); }

void TOstrelApp::btnDecoderToolsClick() {
    form_.Hide();
    // The main window comes back however the wizard ends, an error included.
    try {
        TfrmDecode wizard(desktop_);
        wizard.FormCreate();
        desktop_.ShowModal(wizard);
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
    ShowTipOfTheDay();
}

void TOstrelApp::ShowTipOfTheDay() {
    ShowTips(
        desktop_, [this](bool on) { taskIcon_.SetActive(on); }, [this] { settings_.SaveTipSettings(); });
}

void TOstrelApp::PrepareTransport(bool preferPageText) {
    auto& f = form_;
    msSMTP1_.Server = f.txtSMTP.Text();
    const int security = f.cboSecurity.ItemIndex();
    msSMTP1_.Security = security == 2   ? TSmtpSecurity::TLS
                        : security == 0 ? TSmtpSecurity::None
                                        : TSmtpSecurity::STARTTLS;
    msSMTP1_.UserName = Trim(f.txtUser.Text());
    msSMTP1_.TrustedCert = ProgramState().Prefs.SMTPTrustedCert;
    msSMTP1_.Password.clear();
    if (msSMTP1_.UserName.empty())
        return;
    if (preferPageText && !f.txtPassword.Text().empty()) {
        msSMTP1_.Password = f.txtPassword.Text();
        return;
    }
    const TSecretResult found = secrets_->Lookup("smtp");
    if (found.Ok) {
        msSMTP1_.Password = found.Value;
        return;
    }
    throw ESocketError(!found.Error.empty() && found.Place == TSecretPlace::File
                           ? found.Error
                           : "No password is kept for " + msSMTP1_.UserName + ": enter it on My Details (or set " +
                                 SecretVariableName("smtp") + ")");
}

bool TOstrelApp::TrustCertificate(const ECertificateError& e) {
    if (!askAboutCertificates_)
        return false;
    const std::string question = std::string(e.what()) + "\r\n\r\nTrust this certificate for " + e.Host() +
                                 " from now on? Answer Yes only if your provider confirms the fingerprint.";
    if (ShowMessageBox(desktop_, question, 0, MB_YESNO) != IDYES)
        return false;
    ProgramState().Prefs.SMTPTrustedCert = e.Fingerprint();
    msSMTP1_.TrustedCert = e.Fingerprint();
    settings_.SaveTrustedCertSetting();
    WriteDebugLog("Trusted the certificate " + e.Fingerprint() + " of " + e.Host());
    return true;
}

void TOstrelApp::btnCheckClick() {
    if (dispatcher_.Running() || ProgramState().Busy) {
        ShowMessageBox(desktop_, "A request is being sent; check again when it is done.", 2, MB_OK);
        return;
    }
    auto& st = ProgramState();
    st.Busy = true;
    // The check uses the same client object as the requests; the event handlers of a request
    // must not take it for one.
    const bool wasAux = st.AuxSend;
    st.AuxSend = true;
    std::string report;
    bool ok = false;
    // A refused certificate may be trusted on the spot and checked again with the answer.
    for (int attempt = 0; attempt < 2; ++attempt) {
        report.clear();
        try {
            PrepareTransport(true);
        } catch (const std::exception& e) {
            report = std::string("Failed: ") + e.what() + "\r\n";
            break;
        }
        ok = msSMTP1_.CheckConnection([&](const std::string& line) { report += line + "\r\n"; });
        const ECertificateError* refused = msSMTP1_.RefusedCertificate();
        if (ok || attempt > 0 || refused == nullptr || !TrustCertificate(*refused))
            break;
    }
    st.AuxSend = wasAux;
    st.Busy = false;
    WriteDebugLog(ok ? "Check passed" : "Check failed");
    desktop_.MessageDlg(report, ok ? TMsgDlgType::mtInformation : TMsgDlgType::mtWarning, mbOK, 0);
}

void TOstrelApp::CreateStartupWindows() {
    // The program makes one tip window and one decoder wizard as it starts; making the tip
    // window moves the tip of the day on, so the next one shown is a new one.
    startupTips_ = std::make_unique<TfrmTips>(desktop_, [this] { settings_.SaveTipSettings(); });
    startupDecoder_ = std::make_unique<TfrmDecode>(desktop_);
}

} // namespace ostrel
