#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "decoder/decoder_wizard.h"
#include "forms/form.h"
#include "mime/message.h"
#include "net/smtp.h"
#include "platform/desktop.h"
#include "platform/secrets.h"
#include "requests/auxiliary.h"
#include "requests/capture.h"
#include "requests/dispatch.h"
#include "requests/hot_list.h"
#include "servers/server_directory.h"
#include "servers/server_suggestion.h"
#include "shell/main_form.h"
#include "shell/reply_fetch.h"
#include "shell/settings.h"
#include "shell/task_icon.h"
#include "util/progress_window.h"
#include "util/tip_window.h"

namespace ostrel {

// The program itself: owns the main window model and everything that lives for the whole run,
// runs the start-up sequence, the six-second timer, restart and the shutdown sequence, and
// wires the main window's events to their handlers.
class TOstrelApp {
public:
    // secrets: where the SMTP password is kept; null for the system's (environment, keyring,
    // file beside the settings).
    TOstrelApp(Desktop& desktop, std::string exePath, std::vector<std::string> args, Secrets* secrets = nullptr);
    ~TOstrelApp();
    TOstrelApp(const TOstrelApp&) = delete;
    TOstrelApp& operator=(const TOstrelApp&) = delete;

    // The single-instance check; false when another copy runs and this one must end now
    // (exit code 0). The running copy has been asked to show its window.
    bool CheckSingleInstance();
    // The start-up sequence; errors go to AppException and end the sequence early.
    void FormCreate();
    // What the command line needs of the start-up: the server directory, the lists and the
    // settings, without windows, questions or the clipboard. Raises on a missing directory or
    // an unreadable list. Returns whether "My Details" is complete.
    bool LoadForCommandLine();
    // The shutdown sequence (runs once; also from the destructor).
    void FormDestroy();
    void Timer1Timer();
    // Starts the next copy with the same command line and ends this one.
    void Restart();
    // Ends the program: the desktop's message loop stops, or, when it has not started yet
    // (start-up is still showing a question), start-up stops and the loop never starts.
    void RequestQuit();
    bool QuitRequested() const { return quitRequested_; }
    void btnUnloadClick();
    void FormCloseQuery(bool& canClose);
    void AppException(const std::string& sender, const std::exception& e);
    void FormKeyDown(int& key, TShiftState shift);

    void RefreshTrayIcon();
    void TaskIcon1Click();
    void TaskIcon1DblClick() {}
    void TaskIcon1RightClick();
    void FormShow();
    void FormResize();
    void PageControl1Change();
    void btnHelpClick();
    void mnuHelpClick();
    void btnDecoderToolsClick();
    void chkShowTipsClick();
    // The autostart entry is the state: a click writes or removes it, the page shows what is there.
    void chkAutostartClick();
    void ReadAutostart();
    void btnNowClick();
    // "Check" on My Details: connect, greet, encrypt and log in with the page's values, one
    // line per step in a message.
    void btnCheckClick();
    // Sets up msSMTP1 from the settings: server, security, user, the password (the page's
    // unsaved one, else the kept one), the trusted certificate. Raises ESocketError when a
    // user is set and no password can be found.
    void PrepareTransport(bool preferPageText = false);
    // Asks whether to trust a refused certificate (desktop program only); stores a yes.
    bool TrustCertificate(const ECertificateError& e);
    Secrets& PasswordStore() { return *secrets_; }
    void ShowTipOfTheDay();
    // The windows the program entry makes after the main window.
    void CreateStartupWindows();
    TfrmProgress* Progress() { return progress_.get(); }

    TfrmProps& Form() { return form_; }
    TmsMessage& Message() { return msMessage1_; }
    TmsSMTP& SMTP() { return msSMTP1_; }
    TServerDirectory& Servers() { return servers_; }
    TRequestDispatcher& Dispatcher() { return dispatcher_; }
    TRequestCapture& Capture() { return capture_; }
    THotList& HotList() { return hotList_; }
    TServerSuggestion& Suggestion() { return suggestion_; }
    TAuxiliaryMessages& Auxiliary() { return auxiliary_; }
    TReplyFetch& ReplyFetch() { return replyFetch_; }
    TSettingsStore& Settings() { return settings_; }
    TTaskIcon& TaskIcon1() { return taskIcon_; }
    Desktop& Desk() { return desktop_; }
    int TickCount() const { return tickCount_; }
    bool Created() const { return created_; }

private:
    void WireEvents();
    void ClipboardChanged();
    TRequestControls RequestControls();
    TRequestHooks RequestHooks();
    void SaveHistory();
    void SaveListAfterChange(const TListBox& list, const std::string& fileName, bool& failing);
    void SaveQueue();
    void RunStartupSteps();
    void RunShutdownSteps();

    Desktop& desktop_;
    std::unique_ptr<Secrets> ownSecrets_;
    Secrets* secrets_;
    // Only the desktop program asks about certificates; the command line never trusts one
    // on a reflex answer.
    bool askAboutCertificates_ = false;
    std::string exePath_;
    TfrmProps form_;
    TSettingsStore settings_;
    TTaskIcon taskIcon_;
    TmsMessage msMessage1_;
    TmsSMTP msSMTP1_;
    TServerDirectory servers_;
    TRequestDispatcher dispatcher_;
    TRequestCapture capture_;
    THotList hotList_;
    TServerSuggestion suggestion_;
    TAuxiliaryMessages auxiliary_;
    TReplyFetch replyFetch_;
    std::unique_ptr<TfrmProgress> progress_;
    std::unique_ptr<TfrmTips> startupTips_;
    std::unique_ptr<TfrmDecode> startupDecoder_;
    int timerId_ = 0;
    int tickCount_ = 0;
    bool silentStart_ = false;
    bool showAtFirstTick_ = false;
    bool created_ = false;
    bool destroyed_ = false;
    bool historyLoaded_ = false;
    bool historySaveFailing_ = false;
    bool queueSaveFailing_ = false;
    bool queueLoaded_ = false;
    // A command-line run writes back only the lists it changed: another run, or the desktop
    // program started meanwhile, may have saved newer ones.
    std::optional<std::vector<std::string>> historyAsLoaded_, queueAsLoaded_;
    bool instanceLockHeld_ = false;
    bool instanceChecked_ = false;
    bool joinedClipboard_ = false;
    bool quitRequested_ = false;
};

// The program folder: $OSTREL_HOME when set; installed, the user's own data folder; else the
// folder of the executable. Ends in "/".
std::string ProgramFolderFor(const std::string& exePath);

} // namespace ostrel
