#include "shell/reply_fetch.h"

#include <filesystem>

#include "net/certificate.h"
#include "platform/desktop.h"
#include "platform/secrets.h"
#include "requests/dispatch.h"
#include "requests/request_context.h"
#include "shell/main_form.h"
#include "shell/settings.h"
#include "util/debug_log.h"
#include "util/error.h"
#include "util/form_helpers.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace {
// More arrivals than this at once make one notice for them all.
constexpr std::size_t NoticesEach = 3;
} // namespace

TReplyFetch::TReplyFetch(Desktop& desktop, TfrmProps& form, TSettingsStore& settings, TRequestDispatcher& dispatcher)
    : desktop_(desktop), form_(form), settings_(settings), dispatcher_(dispatcher), tracking_("") {}

bool TReplyFetch::Enabled() const {
    return form_.cboMailProtocol.ItemIndex() > 0;
}

TMailboxAccount TReplyFetch::Account(bool preferPageText) const {
    TMailboxAccount a;
    const int protocol = form_.cboMailProtocol.ItemIndex();
    a.Protocol = protocol == 1 ? TMailProtocol::IMAP : protocol == 2 ? TMailProtocol::POP3 : TMailProtocol::None;
    a.Server = Trim(form_.txtMailServer.Text());
    const int security = form_.cboMailSecurity.ItemIndex();
    a.Security = security == 0   ? TMailboxSecurity::None
                 : security == 1 ? TMailboxSecurity::STARTTLS
                                 : TMailboxSecurity::TLS;
    a.User = Trim(form_.txtMailUser.Text());
    a.Folder = Trim(form_.txtMailFolder.Text());
    if (a.Folder.empty())
        a.Folder = "INBOX";
    a.TrustedCert = ProgramState().Prefs.MailboxTrustedCert;
    a.TimeOut = 60;
    if (a.Protocol == TMailProtocol::None)
        throw ESocketError("No mailbox is set up: choose IMAP or POP3 on the Mailbox page (Protocol= in [Mailbox])");
    if (a.Server.empty())
        throw ESocketError("No mailbox server is set: fill in the Mailbox page (Server= in [Mailbox])");
    if (preferPageText && !form_.txtMailPassword.Text().empty()) {
        a.Password = form_.txtMailPassword.Text();
        return a;
    }
    if (PasswordStore == nullptr)
        throw ESocketError("No password is kept for the mailbox");
    const TSecretResult found = PasswordStore->Lookup("mailbox");
    if (found.Ok) {
        a.Password = found.Value;
        return a;
    }
    throw ESocketError(!found.Error.empty() && found.Place == TSecretPlace::File
                           ? found.Error
                           : "No password is kept for the mailbox user " + a.User +
                                 ": enter it on the Mailbox page (or keep it with ostrel-cli login --mailbox, or set " +
                                 SecretVariableName("mailbox") + ")");
}

TPickupResult TReplyFetch::FetchOnce(const std::function<void(const TArrival&)>& onArrival) {
    TPickupOptions options;
    options.Account = Account();
    options.Delete = form_.chkMailDelete.Checked();
    if (ServerAddresses)
        options.ServerAddresses = ServerAddresses();
    options.History = form_.lstHistory.Items();
    TReplyPickup pickup(desktop_, ProgramState().LocalRoot, std::move(options));
    pickup.OnArrival = onArrival;
    pickup.OnStatus = [this](const std::string& text) { ShowState(text); };
    current_ = &pickup;
    try {
        TPickupResult result = pickup.Fetch();
        current_ = nullptr;
        return result;
    } catch (...) {
        current_ = nullptr;
        throw;
    }
}

void TReplyFetch::ShowState(const std::string& text) {
    form_.lblMailState.SetCaption(text);
    // The label has room for a few lines; a long reason is read whole in its tip.
    form_.lblMailState.SetHint(text);
}

void TReplyFetch::Fetch(bool byUser) {
    if (!Enabled()) {
        if (byUser) {
            desktop_.MessageDlg("No mailbox is set up yet: choose IMAP or POP3 on the Mailbox page, fill in the "
                                "server, user name and password, and press Ok.",
                                TMsgDlgType::mtInformation, mbOK, 0);
            form_.Show();
            form_.SelectPage(form_.tbsMailbox);
        }
        return;
    }
    if (running_ || queued_) {
        if (byUser)
            ShowState("A fetch is under way.");
        return;
    }
    queued_ = true;
    dispatcher_.Serialize([this, byUser] {
        queued_ = false;
        Run(byUser);
    });
}

void TReplyFetch::Run(bool byUser) {
    running_ = true;
    fetchedOnce_ = true;
    last_ = std::chrono::steady_clock::now();
    std::vector<TArrival> arrivals;
    std::string failure;
    TPickupResult result;
    // A refused certificate may be trusted on the spot and fetched again with the answer.
    for (int attempt = 0; attempt < 2; ++attempt) {
        failure.clear();
        try {
            result = FetchOnce([&](const TArrival& a) { arrivals.push_back(a); });
        } catch (const ECertificateError& e) {
            failure = e.what();
            if (byUser && attempt == 0 && TrustCertificate(e))
                continue;
        } catch (const std::exception& e) {
            failure = e.what();
        }
        break;
    }
    running_ = false;
    LoadTracking();
    RefreshHistory();
    for (const auto& problem : result.Problems)
        WriteDebugLog("Fetch: " + problem);
    if (!failure.empty()) {
        WriteDebugLog("Fetch failed: " + failure);
        ShowState("The last fetch failed: " + failure);
        if (byUser)
            desktop_.MessageDlg("The replies could not be fetched: " + failure, TMsgDlgType::mtWarning, mbOK, 0);
        else if (!failing_)
            desktop_.Notify("Ostrel: replies could not be fetched",
                            failure + "\nCheck the Mailbox page and your connection; Ostrel tries again later.", "");
        failing_ = true;
    } else {
        failing_ = false;
        std::string state = arrivals.empty() ? "Nothing new." : std::to_string(arrivals.size()) + " saved.";
        if (!result.Problems.empty())
            state += " " + result.Problems.front();
        ShowState("Last fetch " + LogTimeStamp().substr(LogTimeStamp().find(' ') + 1) + ": " + state);
        if (byUser && !result.Problems.empty())
            desktop_.MessageDlg("Some replies could not be saved and stay on the server for the next fetch:\r\n" +
                                    result.Problems.front(),
                                TMsgDlgType::mtWarning, mbOK, 0);
    }
    if (arrivals.size() > NoticesEach) {
        const std::string folder = ProgramState().LocalRoot + "downloads";
        desktop_.Notify("Ostrel: " + std::to_string(arrivals.size()) + " replies arrived", "They are in " + folder,
                        folder);
    } else {
        for (const auto& a : arrivals) {
            const std::string what = a.Request.empty() ? std::filesystem::path(a.Path).filename().string()
                                                       : ReadableRequest(RequestFromHistory(a.Request));
            desktop_.Notify(a.Damaged ? "Ostrel: a reply arrived damaged" : "Ostrel: reply arrived",
                            what + "\n" + a.Path + (a.Damaged ? "\n" + a.Note : ""), a.Path);
        }
    }
}

void TReplyFetch::Tick() {
    if (!Enabled() || running_ || queued_)
        return;
    // Settings being edited are not fetched with.
    if (form_.Visible() && form_.PageActive(form_.tbsMailbox))
        return;
    const int interval = MailIntervalOf(form_.txtMailInterval.Text());
    if (interval <= 0)
        return;
    if (fetchedOnce_ && std::chrono::steady_clock::now() - last_ < std::chrono::minutes(interval))
        return;
    Fetch(false);
}

bool TReplyFetch::TrustCertificate(const ECertificateError& e) {
    if (!AskAboutCertificates)
        return false;
    const std::string question = std::string(e.what()) + "\r\n\r\nTrust this certificate for " + e.Host() +
                                 " from now on? Answer Yes only if your provider confirms the fingerprint.";
    if (ShowMessageBox(desktop_, question, 0, MB_YESNO) != IDYES)
        return false;
    ProgramState().Prefs.MailboxTrustedCert = e.Fingerprint();
    settings_.SaveMailboxTrustedCertSetting();
    WriteDebugLog("Trusted the certificate " + e.Fingerprint() + " of " + e.Host());
    return true;
}

void TReplyFetch::btnMailCheckClick() {
    if (running_ || queued_ || dispatcher_.Running()) {
        ShowMessageBox(desktop_, "Ostrel is busy with the mailbox or a request; check again when it is done.", 2,
                       MB_OK);
        return;
    }
    std::string report;
    bool ok = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        report.clear();
        try {
            TPickupOptions options;
            options.Account = Account(true);
            TReplyPickup check(desktop_, ProgramState().LocalRoot, std::move(options));
            ok = check.Check([&](const std::string& line) { report += line + "\r\n"; });
            const ECertificateError* refused = check.RefusedCertificate();
            if (ok || attempt > 0 || refused == nullptr || !TrustCertificate(*refused))
                break;
        } catch (const std::exception& e) {
            report = std::string("Failed: ") + e.what() + "\r\n";
            break;
        }
    }
    WriteDebugLog(ok ? "Mailbox check passed" : "Mailbox check failed");
    desktop_.MessageDlg(report, ok ? TMsgDlgType::mtInformation : TMsgDlgType::mtWarning, mbOK, 0);
}

void TReplyFetch::LoadTracking() {
    tracking_ = TReplyTracking(LocalPath("Replies.Dat"));
    try {
        tracking_.Load();
    } catch (const std::exception& e) {
        WriteDebugLog(e.what());
    }
}

std::string TReplyFetch::HistoryText(const std::string& entry) const {
    const TReplyState state = tracking_.State(FirstWord(entry));
    const std::string text = ReadableRequest(entry);
    if (state.Kind == TReplyState::Sent && !Enabled())
        return text;
    return text + "   [" + StateText(state) + "]";
}

void TReplyFetch::RefreshHistory() {
    // The list shows each entry through HistoryText: setting its items again redraws them.
    auto& list = form_.lstHistory;
    const int index = list.ItemIndex();
    const int top = list.TopIndex();
    list.SetItems(list.Items());
    list.SetItemIndex(index);
    list.SetTopIndex(top);
}

void TReplyFetch::mnuOpenClick() {
    auto& list = form_.lstHistory;
    if (list.ItemIndex() < 0)
        return;
    const std::string request = FirstWord(list.Item(list.ItemIndex()));
    const TReplyState state = tracking_.State(request);
    if (state.Path.empty()) {
        std::string text = "Nothing has arrived for this request yet";
        if (state.Kind == TReplyState::Parts)
            text += ": " + StateText(state);
        desktop_.MessageBox(text + ".", "Ostrel", MB_OK);
        return;
    }
    std::error_code ec;
    if (!std::filesystem::exists(state.Path, ec)) {
        desktop_.MessageBox("The file " + state.Path + " is no longer there.", "Ostrel", MB_OK);
        return;
    }
    if (!desktop_.OpenDocument(state.Path))
        desktop_.MessageBox("No program opens " + state.Path + "; open it from the downloads folder.", "Ostrel", MB_OK);
}

} // namespace ostrel
