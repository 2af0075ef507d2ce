#pragma once

#include <chrono>
#include <deque>
#include <functional>
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

    bool PrepareRequest(const std::string& text);
    bool SendRequest(const std::string& text);
    // Sends the queue first to last; stops at the first request that fails, which stays first.
    void SendQueue();

    // Requests from the clipboard, the buttons, the menus and the hot list all come through
    // here: one runs at a time, and one that arrives meanwhile (the waits keep the desktop
    // running) waits its turn instead of starting a second send on the same objects.
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
};

} // namespace ostrel
