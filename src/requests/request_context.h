#pragma once

#include <functional>
#include <string>

#include "forms/controls.h"
#include "forms/form.h"

namespace ostrel {

class ECertificateError;

// The main-window controls that request handling reads and changes. The shell owns the window
// and hands these over; request handling knows nothing else of it.
struct TRequestControls {
    TForm& MainForm;
    TRadioGroup& optEnabled;
    TRadioGroup& optConfirm;
    TCheckBox& chkCheckHistory;
    TCheckBox& chkNotEnabled;
    TCheckBox& chkOnFailure;
    TCheckBox& chkNever;
    TEdit& txtURL;
    TEdit& txtEmail;
    TEdit& txtSMTP;
    TListBox& lstHistory;
    TListBox& lstQueue;
};

// What request handling asks of the rest of the program.
struct TRequestHooks {
    // Refreshes the dependent controls of the main window.
    std::function<void()> ControlRefresh;
    // Adds "request via server on date time" at the top of the history (and saves it).
    std::function<void(const std::string& request, const std::string& server)> AddHistoryEntry;
    // Saves the history after an entry was deleted.
    std::function<void()> HistoryChanged;
    // Saves the queue after a change.
    std::function<void()> QueueChanged;
    // A two-second note in the progress window.
    std::function<void(const std::string& text)> ShowProgressNote;
    // The progress window of a send: open with its label, move the bar, close.
    std::function<void(const std::string& label)> ProgressOpen;
    std::function<void(int position)> ProgressPosition;
    std::function<void()> ProgressClose;
    // The one-time test message after the first successful request.
    std::function<void()> SendTestMessageOnce;
    // Sets up the SMTP client from the settings before a send (security, user, password,
    // trusted certificate); raises when it cannot (no password kept), failing the send.
    std::function<void()> PrepareTransport;
    // Asks the user whether to trust a refused server certificate; true when the answer was
    // yes and the choice is stored, so that the send may be tried once more.
    std::function<bool(const ECertificateError&)> TrustCertificate;
};

// The form in which a request enters the history: its blanks become "%20", since readers of
// the history take the request as the text before the first blank.
std::string HistoryForm(const std::string& request);
// The request to send again from a history entry's request part.
std::string RequestFromHistory(const std::string& stored);
// A request (or a list entry holding one) as a list shows it: the separator of a direct
// request's parts, a byte no font draws, becomes " | ".
std::string ReadableRequest(const std::string& text);

} // namespace ostrel
