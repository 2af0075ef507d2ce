#include "requests/dispatch.h"

#include "forms/application.h"
#include "mime/message.h"
#include "net/smtp.h"
#include "servers/composition.h"
#include "util/debug_log.h"
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
    auto runOne = [this](const std::function<void()>& fn) {
        try {
            fn();
        } catch (...) {
            running_ = false;
            throw;
        }
    };
    runOne(action);
    // Requests that arrived meanwhile, in their order. One that fails is reported and the
    // others still run.
    while (!pending_.empty()) {
        auto next = pending_.front();
        pending_.pop_front();
        Application().Invoke(c_.MainForm.ClassName(), next);
    }
    running_ = false;
}

bool TRequestDispatcher::PrepareRequest(const std::string& text) {
    if (text.find('\n') != std::string::npos)
        return false;
    if (c_.lstHistory.Count() > 0 && FirstWord(c_.lstHistory.Item(0)) == HistoryForm(text) &&
        desktop_.Now() - lastHistoryTime_ < std::chrono::seconds(3)) {
        WriteDebugLog("Fast Duplicate Discarded");
        return false;
    }
    const bool composed = ComposeRequest(text, c_.txtEmail.Text().substr(0, 255), servers_, message_);
    smtp_.Server = c_.txtSMTP.Text();
    return composed;
}

bool TRequestDispatcher::SendRequest(const std::string& text) {
    auto& st = ProgramState();
    st.Busy = true;
    bool prepared = false;
    try {
        prepared = PrepareRequest(text);
    } catch (...) {
        st.Busy = false;
        throw;
    }
    if (!prepared) {
        st.Busy = false;
        return true;
    }
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
        if (!st.DontSend)
            smtp_.Connect();
        NoteLastOperation("Connection Open");
        if (hooks_.ProgressPosition)
            hooks_.ProgressPosition(25);
        currentRequest_ = text;
        if (st.DontSend) {
            const std::string recipient =
                message_.Recipients.Count() > 0 ? message_.Recipients[0].Address : std::string();
            std::string body;
            for (size_t i = 0; i < message_.Body.size(); ++i)
                body += (i ? "\r\n" : "") + message_.Body[i];
            desktop_.MessageBox(recipient + "\r\n" + message_.Subject + "\r\n" + body + "\r\n",
                                "Ostrel", MB_OK);
            if (hooks_.ProgressClose)
                hooks_.ProgressClose();
            progressOpen_ = false;
        } else {
            smtp_.Send();
        }
        st.Busy = false;
        return true;
    } catch (const std::exception& e) {
        // The dialog below may sit behind the program the user copied from; a notice reaches
        // them there. A queue run stops at its first failure and says nothing of its own.
        if (!st.QueueRun)
            desktop_.Notify("Ostrel: request failed",
                            text + "\n" + e.what() + "\nCheck the SMTP server on My Details and your connection.", "");
        ReportErrorWithHelp(desktop_, "Request Failed", "The last successful operation was <" + st.LastOperation + ">",
                            FailureHelpContext);
        if (progressOpen_ && hooks_.ProgressClose)
            hooks_.ProgressClose();
        progressOpen_ = false;
        st.Busy = false;
        return false;
    }
}

void TRequestDispatcher::SendQueue() {
    auto& st = ProgramState();
    st.QueueRun = true;
    try {
        while (c_.lstQueue.Count() > 0) {
            if (!SendRequest(c_.lstQueue.Item(0)))
                break; // it stays first; the next success or the user tries again
            c_.lstQueue.DeleteItem(0);
            if (hooks_.QueueChanged)
                hooks_.QueueChanged();
            desktop_.ProcessMessages();
        }
    } catch (...) {
        st.QueueRun = false;
        throw;
    }
    st.QueueRun = false;
}

void TRequestDispatcher::Note(const std::string& status, int position) {
    if (ProgramState().AuxSend)
        return;
    if (position >= 0 && hooks_.ProgressPosition)
        hooks_.ProgressPosition(position);
    NoteLastOperation(status);
    desktop_.ProcessMessages();
}

void TRequestDispatcher::msSMTP1Open(TagSocket&) { Note("Openning", -1); }
void TRequestDispatcher::msSMTP1Prepare(TagSocket&) { Note("Preparing", 40); }
void TRequestDispatcher::msSMTP1Sending(TagSocket&) { Note("Sending", 60); }
void TRequestDispatcher::msSMTP1Progress(TagSocket&, int) { Note("Progress", 80); }
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
    Serialize([this] { SendQueue(); });
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
        auto& st = ProgramState();
        st.QueueRun = true;
        try {
            if (SendRequest(entry)) {
                // The list may have changed while the send waited: remove the entry by value.
                const int at = c_.lstQueue.IndexOf(entry);
                if (at >= 0)
                    c_.lstQueue.DeleteItem(at);
                if (hooks_.QueueChanged)
                    hooks_.QueueChanged();
            }
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
