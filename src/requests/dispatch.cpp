#include "requests/dispatch.h"

#include <cctype>
#include <exception>
#include <optional>

#include "forms/application.h"
#include "mime/message.h"
#include "net/certificate.h"
#include "net/smtp.h"
#include "servers/composition.h"
#include "util/debug_log.h"
#include "util/error.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

TRequestDispatcher::TRequestDispatcher(Desktop& desktop, TRequestControls controls, TRequestHooks hooks,
                                       TServerDirectory& servers, TmsMessage& message, TmsSMTP& smtp)
    : desktop_(desktop), c_(controls), hooks_(std::move(hooks)), servers_(servers), message_(message), smtp_(smtp) {}

void TRequestDispatcher::Serialize(const std::function<void()>& action) {
    if (running_) {
        pending_.push_back(action);
        return;
    }
    running_ = true;
    std::exception_ptr failure;
    try {
        action();
    } catch (...) {
        failure = std::current_exception();
    }
    // Requests that arrived meanwhile, in their order. One that fails is reported and the
    // others still run.
    while (!pending_.empty()) {
        auto next = pending_.front();
        pending_.pop_front();
        Application().Invoke(c_.MainForm.ClassName(), next);
    }
    running_ = false;
    if (failure)
        std::rethrow_exception(failure);
}

bool TRequestDispatcher::PrepareRequest(const std::string& text) {
    // A lone CR is as much a line break on the wire as LF: it would add a command to an FTP
    // script or a line to a direct request's header.
    if (text.find_first_of("\r\n") != std::string::npos)
        return false;
    if (c_.lstHistory.Count() > 0 && FirstWord(c_.lstHistory.Item(0)) == HistoryForm(text) &&
        desktop_.Now() - lastHistoryTime_ < std::chrono::seconds(3)) {
        WriteDebugLog("Fast Duplicate Discarded");
        return false;
    }
    const bool composed = ComposeRequest(text, CutAtCharacter(c_.txtEmail.Text(), kMaxShortText), servers_, message_);
    smtp_.Server = c_.txtSMTP.Text();
    return composed;
}

namespace {
// A failure that trying again will not mend: the mail cannot be made from the text, or the
// server, once it had greeted us, refused this mail with a 5xx reply. A refusal before the
// greeting was done (the server, the log-in) concerns every request alike, and the others
// may pass: a 4xx reply, a lost connection, a time-out.
bool IsPermanentFailure(const std::exception& e, bool connected, const TmsSMTP& smtp) {
    if (dynamic_cast<const EMessageError*>(&e))
        return true;
    if (!connected || !dynamic_cast<const ESocketError*>(&e) || dynamic_cast<const ETimedOutError*>(&e) ||
        dynamic_cast<const ECanceledError*>(&e))
        return false;
    const std::string& reply = smtp.RefusedReply();
    return reply.size() >= 3 && reply[0] == '5' && std::isdigit(static_cast<unsigned char>(reply[1])) &&
           std::isdigit(static_cast<unsigned char>(reply[2]));
}
} // namespace

void TRequestDispatcher::ShowInsteadOfSending() {
    const std::string recipient = message_.Recipients.Count() > 0 ? message_.Recipients[0].Address : std::string();
    std::string body;
    for (size_t i = 0; i < message_.Body.size(); ++i)
        body += (i ? "\r\n" : "") + message_.Body[i];
    desktop_.MessageBox(recipient + "\r\n" + message_.Subject + "\r\n" + body + "\r\n", "Ostrel", MB_OK);
}

bool TRequestDispatcher::SendRequest(const std::string& text) {
    auto& st = ProgramState();
    st.Busy = true;
    lastOutcome_ = TOutcome::Failed;
    bool prepared = false;
    try {
        prepared = PrepareRequest(text);
    } catch (const EMessageError&) {
        lastOutcome_ = TOutcome::Refused;
        refused_.insert(text);
        st.Busy = false;
        throw;
    } catch (...) {
        st.Busy = false;
        throw;
    }
    if (!prepared) {
        lastOutcome_ = TOutcome::Nothing;
        st.Busy = false;
        return true;
    }
    // A certificate the user chooses to trust after the refusal gets one more attempt.
    for (int attempt = 0;; ++attempt) {
        bool connected = false;
        try {
            const std::string label =
                text.size() > ProgressLabelLength ? text.substr(text.size() - ProgressLabelLength) : text;
            if (hooks_.ProgressOpen)
                hooks_.ProgressOpen("..." + label);
            progressOpen_ = true;
            WriteDebugLog("Requesting");
            mailSent_ = false;
            if (hooks_.ProgressPosition)
                hooks_.ProgressPosition(12);
            if (!st.DontSend) {
                // Within a queue run the open session already has its settings and log-in.
                if (hooks_.PrepareTransport && !(sessionRun_ && smtp_.Connected()))
                    hooks_.PrepareTransport();
                smtp_.Connect();
            }
            connected = true;
            NoteLastOperation("Connection Open");
            if (hooks_.ProgressPosition)
                hooks_.ProgressPosition(25);
            currentRequest_ = text;
            if (st.DontSend) {
                ShowInsteadOfSending();
                if (hooks_.ProgressClose)
                    hooks_.ProgressClose();
                progressOpen_ = false;
                lastOutcome_ = TOutcome::Shown;
            } else {
                if (sessionRun_)
                    smtp_.SendInSession();
                else
                    smtp_.Send();
                lastOutcome_ = TOutcome::Sent;
                refused_.erase(text);
            }
            st.Busy = false;
            return true;
        } catch (const std::exception& e) {
            const bool sent = mailSent_;
            const auto* certificate = dynamic_cast<const ECertificateError*>(&e);
            if (!sent && certificate != nullptr && attempt == 0 && hooks_.TrustCertificate) {
                if (progressOpen_ && hooks_.ProgressClose)
                    hooks_.ProgressClose();
                progressOpen_ = false;
                if (hooks_.TrustCertificate(*certificate))
                    continue;
            }
            if (sent) {
                // The server has the mail: whatever failed after that (a log that could not be
                // written) is reported for what it is, and the request counts as sent.
                ReportError(desktop_, "msSMTP1MailSent", e.what());
                lastOutcome_ = TOutcome::Sent;
                refused_.erase(text);
            } else {
                const bool permanent = IsPermanentFailure(e, connected, smtp_);
                // The dialog below may sit behind the program the user copied from; a notice
                // reaches them there. A queue run says nothing of its own.
                if (!st.QueueRun)
                    desktop_.Notify("Ostrel: request failed",
                                    text + "\n" + e.what() +
                                        "\nCheck the SMTP server on My Details and your connection.",
                                    "");
                // The queue runs after later successes try a refused request again, in case the
                // server has changed its mind, but a refusal the user has seen is not shown again.
                // The reason goes with the report: a server's refusal says what to change.
                if (!(permanent && quietRefusals_ && refused_.count(text)))
                    ReportErrorWithHelp(desktop_, "Request Failed",
                                        "The last successful operation was <" + st.LastOperation + ">\r\n\r\n" +
                                            e.what(),
                                        FailureHelpContext);
                if (permanent) {
                    lastOutcome_ = TOutcome::Refused;
                    refused_.insert(text);
                }
            }
            if (progressOpen_ && hooks_.ProgressClose)
                hooks_.ProgressClose();
            progressOpen_ = false;
            st.Busy = false;
            return sent;
        }
    }
}

void TRequestDispatcher::RemoveFromQueue(const std::string& entry) {
    const int at = c_.lstQueue.IndexOf(entry);
    if (at < 0)
        return; // the user deleted it while it was being sent
    c_.lstQueue.DeleteItem(at);
    if (hooks_.QueueChanged)
        hooks_.QueueChanged();
}

void TRequestDispatcher::SendQueue(bool quietRefusals) {
    auto& st = ProgramState();
    st.QueueRun = true;
    quietRefusals_ = quietRefusals;
    // Entries are followed by their text, not their place: while a send waits, the user may
    // delete entries and new ones may be queued. Each entry is tried once per run, so a run
    // in don't-send mode, or one that keeps refused entries, still ends.
    std::set<std::string> tried;
    auto nextEntry = [&]() -> std::optional<std::string> {
        for (const auto& entry : c_.lstQueue.Items())
            if (!tried.count(entry))
                return entry;
        return std::nullopt;
    };
    auto finish = [&] {
        st.QueueRun = false;
        quietRefusals_ = false;
    };
    // The whole run goes over one session (one handshake, one log-in), ended however the run
    // ends.
    struct TSessionRun {
        TRequestDispatcher& D;
        explicit TSessionRun(TRequestDispatcher& d) : D(d) { D.sessionRun_ = true; }
        ~TSessionRun() {
            D.sessionRun_ = false;
            D.smtp_.EndSession();
        }
        TSessionRun(const TSessionRun&) = delete;
        TSessionRun& operator=(const TSessionRun&) = delete;
    } session(*this);
    try {
        while (auto entry = nextEntry()) {
            tried.insert(*entry);
            const bool seenBefore = refused_.count(*entry) > 0;
            bool done = false;
            try {
                done = SendRequest(*entry);
            } catch (const EMessageError& e) {
                // No mail can be made of it: it stays for the user to see, and the others go.
                if (!(quietRefusals && seenBefore))
                    ReportError(desktop_, "SendQueue", e.what());
                continue;
            }
            if (done) {
                if (lastOutcome_ != TOutcome::Shown)
                    RemoveFromQueue(*entry);
                desktop_.ProcessMessages();
            } else if (lastOutcome_ != TOutcome::Refused) {
                break; // it stays; the next success or the user tries again
            }
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

void TRequestDispatcher::Note(const std::string& status, int position) {
    if (ProgramState().AuxSend)
        return;
    if (position >= 0 && hooks_.ProgressPosition)
        hooks_.ProgressPosition(position);
    NoteLastOperation(status);
    desktop_.ProcessMessages();
}

void TRequestDispatcher::msSMTP1Open(TagSocket&) {
    Note("Openning", -1);
}
void TRequestDispatcher::msSMTP1Prepare(TagSocket&) {
    Note("Preparing", 40);
}
void TRequestDispatcher::msSMTP1Sending(TagSocket&) {
    Note("Sending", 60);
}
void TRequestDispatcher::msSMTP1Progress(TagSocket&, int) {
    Note("Progress", 80);
}
// A connection also closes when a step fails; that closing is no success of the request, and
// the failure report must name the step before it. Only the closing after a sent mail counts.
void TRequestDispatcher::msSMTP1Closing(TagSocket&) {
    if (mailSent_)
        Note("Closing", -1);
    else
        desktop_.ProcessMessages();
}

void TRequestDispatcher::msSMTP1Closed(TagSocket&) {
    if (mailSent_)
        Note("Close", -1);
    else
        desktop_.ProcessMessages();
}

void TRequestDispatcher::msSMTP1MailSent(TagSocket&) {
    if (ProgramState().AuxSend)
        return;
    mailSent_ = true;
    const std::string server = message_.Recipients.Count() > 0 ? message_.Recipients[0].Address : std::string();
    lastHistoryTime_ = desktop_.Now();
    if (hooks_.AddHistoryEntry)
        hooks_.AddHistoryEntry(HistoryForm(currentRequest_), server);
    c_.lstHistory.SetTopIndex(0);
    Note("Sent", 100);
    if (progressOpen_ && hooks_.ProgressClose)
        hooks_.ProgressClose();
    progressOpen_ = false;
}

void TRequestDispatcher::btnSendClick() {
    // The user asks for the whole queue: every refusal is shown, also one seen before.
    Serialize([this] { SendQueue(false); });
    if (hooks_.ControlRefresh)
        hooks_.ControlRefresh();
}

bool TRequestDispatcher::ListMouseDown(TListBox& list, int itemUnderPointer) {
    list.SetItemIndex(itemUnderPointer >= 0 && itemUnderPointer < list.Count() ? itemUnderPointer : -1);
    return list.ItemIndex() >= 0;
}

void TRequestDispatcher::Delete1Click() {
    if (c_.lstQueue.ItemIndex() < 0)
        return;
    c_.lstQueue.DeleteItem(c_.lstQueue.ItemIndex());
    if (hooks_.QueueChanged)
        hooks_.QueueChanged();
    if (hooks_.ControlRefresh)
        hooks_.ControlRefresh();
}

void TRequestDispatcher::RequestNow1Click() {
    if (c_.lstQueue.ItemIndex() < 0)
        return;
    const std::string entry = c_.lstQueue.Item(c_.lstQueue.ItemIndex());
    Serialize([this, entry] {
        // Asked for while another send was under way: the queue run or a Delete may have dealt
        // with the entry meanwhile, and a request sent once must not go out twice.
        if (c_.lstQueue.IndexOf(entry) < 0)
            return;
        auto& st = ProgramState();
        st.QueueRun = true;
        try {
            // The list may have changed while the send waited: the entry is removed by value.
            if (SendRequest(entry) && lastOutcome_ != TOutcome::Shown)
                RemoveFromQueue(entry);
        } catch (...) {
            st.QueueRun = false;
            throw;
        }
        st.QueueRun = false;
        if (hooks_.ControlRefresh)
            hooks_.ControlRefresh();
    });
}

void TRequestDispatcher::DeleteAll1Click() {
    c_.lstQueue.Clear();
    if (hooks_.QueueChanged)
        hooks_.QueueChanged();
    if (hooks_.ControlRefresh)
        hooks_.ControlRefresh();
}

void TRequestDispatcher::mnuShowDetailClick() {
    if (c_.lstHistory.ItemIndex() < 0)
        return;
    const std::string entry = c_.lstHistory.Item(c_.lstHistory.ItemIndex());
    std::string via;
    if (auto at = entry.find(" via "); at != std::string::npos)
        via = entry.substr(at + 5);
    std::string on;
    if (auto at = entry.find(" on "); at != std::string::npos)
        on = entry.substr(at + 4);
    auto firstWordOrAll = [](const std::string& s) {
        auto blank = s.find(' ');
        return blank == std::string::npos ? s : s.substr(0, blank);
    };
    desktop_.MessageBox(RequestFromHistory(firstWordOrAll(entry)) + "\r\n\n" + "Via: " + firstWordOrAll(via) +
                            "\r\n\n" + "Date/Time: " + on,
                        "Ostrel", MB_OK);
}

void TRequestDispatcher::mnuDeletefromHistoryClick() {
    if (c_.lstHistory.ItemIndex() < 0)
        return;
    c_.lstHistory.DeleteItem(c_.lstHistory.ItemIndex());
    if (hooks_.HistoryChanged)
        hooks_.HistoryChanged();
}

void TRequestDispatcher::mnuRequestAgainClick() {
    if (c_.lstHistory.ItemIndex() < 0)
        return;
    const std::string entry = c_.lstHistory.Item(c_.lstHistory.ItemIndex());
    const auto blank = entry.find(' ');
    const std::string request = RequestFromHistory(blank == std::string::npos ? entry : entry.substr(0, blank));
    Serialize([this, request] {
        if (!SendRequest(request) && QueueRequest)
            QueueRequest(request);
    });
}

} // namespace ostrel
