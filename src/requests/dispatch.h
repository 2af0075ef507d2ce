#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <set>
#include <string>

#include "platform/desktop.h"
#include "requests/request_context.h"

namespace ostrel {

class TmsMessage;
class TmsSMTP;
class TServerDirectory;
class TagSocket;

// Sends one request at a time: composes the request mail, drives the SMTP client with the
// progress window open, records sent requests in the history and reports failures. Also runs
// the queue and serves the popup menus of the History and Queued Requests pages.
class TRequestDispatcher {
public:
    static constexpr int ProgressLabelLength = 29;
    static constexpr int FailureHelpContext = 9002;

    TRequestDispatcher(Desktop& desktop, TRequestControls controls, TRequestHooks hooks, TServerDirectory& servers,
                       TmsMessage& message, TmsSMTP& smtp);

    // What became of the last SendRequest.
    enum class TOutcome {
        Sent,    // the server accepted the mail
        Nothing, // no mail to send: a text that composes no request, a line break, a fast repeat
        Shown,   // don't-send mode: shown to the user, nothing sent
        Failed,  // may pass: a 4xx reply, the connection, a time-out; worth trying again later
        Refused, // will not pass: a 5xx reply to this mail, or a mail that cannot be made
    };

    bool PrepareRequest(const std::string& text);
    bool SendRequest(const std::string& text);
    TOutcome LastOutcome() const { return lastOutcome_; }
    // Don't-send mode: the mail in the message object (recipient, subject, body) in a box.
    void ShowInsteadOfSending();
    // Sends the queue first to last, each entry once. A sent entry leaves the queue (found by
    // its text: the list may change while a send waits); a refused one stays and the run goes
    // on; one that failed for a reason that may pass stays and ends the run. quietRefusals (the
    // runs after a successful request): an entry refused again, whose refusal was reported
    // earlier in this run of the program, is not reported again.
    void SendQueue(bool quietRefusals = true);

    // Requests from the clipboard, the buttons, the menus and the hot list all come through
    // here: one runs at a time, and one that arrives meanwhile (the waits keep the desktop
    // running) waits its turn instead of starting a second send on the same objects. Those
    // waiting run in their order even when the running one raises; its error is passed on
    // after them.
    void Serialize(const std::function<void()>& action);
    bool Running() const { return running_; }

    // SMTP client events.
    void msSMTP1Open(TagSocket&);
    void msSMTP1Prepare(TagSocket&);
    void msSMTP1Sending(TagSocket&);
    void msSMTP1Progress(TagSocket&, int);
    void msSMTP1MailSent(TagSocket&);
    void msSMTP1Closing(TagSocket&);
    void msSMTP1Closed(TagSocket&);

    // Page buttons and popup menus.
    void btnSendClick();
    void Delete1Click();
    void RequestNow1Click();
    void DeleteAll1Click();
    void mnuShowDetailClick();
    void mnuDeletefromHistoryClick();
    void mnuRequestAgainClick();
    // A mouse button on a list: select the entry under the pointer (or none); the popup may
    // open only when an entry is selected.
    static bool ListMouseDown(TListBox& list, int itemUnderPointer);

    // Set by capture: queues a request that could not be sent.
    std::function<void(const std::string&)> QueueRequest;

    std::chrono::system_clock::time_point LastHistoryTime() const { return lastHistoryTime_; }

private:
    void Note(const std::string& status, int position);
    void RemoveFromQueue(const std::string& entry);
    Desktop& desktop_;
    TRequestControls c_;
    TRequestHooks hooks_;
    TServerDirectory& servers_;
    TmsMessage& message_;
    TmsSMTP& smtp_;
    std::string currentRequest_;
    std::chrono::system_clock::time_point lastHistoryTime_{};
    bool progressOpen_ = false;
    // The server accepted the mail of the send under way.
    bool mailSent_ = false;
    bool running_ = false;
    // A queue run: requests go over one SMTP session.
    bool sessionRun_ = false;
    std::deque<std::function<void()>> pending_;
    TOutcome lastOutcome_ = TOutcome::Nothing;
    // Requests refused for good in this run of the program, and whether the run under way
    // keeps quiet about a refusal seen before.
    std::set<std::string> refused_;
    bool quietRefusals_ = false;
};

} // namespace ostrel
