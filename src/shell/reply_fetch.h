#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "mailbox/reply_pickup.h"
#include "mailbox/reply_tracking.h"

namespace ostrel {

class Desktop;
class Secrets;
class TfrmProps;
class TSettingsStore;
class TRequestDispatcher;
class ECertificateError;

// The mailbox as the desktop program and the command line use it: the account from the Mailbox
// page, fetches every Interval minutes and on demand, one at a time and never while a request
// is being sent (they share the dispatcher's serializer), the History page's states and its
// "Open", and a notice for what arrived.
class TReplyFetch {
public:
    TReplyFetch(Desktop& desktop, TfrmProps& form, TSettingsStore& settings, TRequestDispatcher& dispatcher);

    Secrets* PasswordStore = nullptr;
    // Only the desktop program asks whether to trust a refused certificate.
    bool AskAboutCertificates = false;
    // The addresses of the servers in the directory.
    std::function<std::vector<std::string>()> ServerAddresses;

    bool Enabled() const;
    // The account of the Mailbox page; the password is the field's unsaved text (preferPageText)
    // or the kept one. Raises ESocketError when none can be found.
    TMailboxAccount Account(bool preferPageText = false) const;

    // One fetch now (the command line): raises when the mailbox could not be read.
    TPickupResult FetchOnce(const std::function<void(const TArrival&)>& onArrival = {});
    // A fetch in the program: waits its turn behind a send; byUser shows failures in a message,
    // a timed fetch only on the page, in the debug log and in one notice.
    void Fetch(bool byUser);
    // Called by the six-second timer: fetches when Interval minutes have passed since the last.
    void Tick();
    bool Running() const { return running_; }

    void btnFetchClick() { Fetch(true); }
    void btnMailCheckClick();
    // History popup "Open": the file that arrived for the selected request.
    void mnuOpenClick();
    // How the History page shows an entry: the request, and what came back for it.
    std::string HistoryText(const std::string& entry) const;
    void LoadTracking();

private:
    void Run(bool byUser);
    bool TrustCertificate(const ECertificateError& e);
    void ShowState(const std::string& text);
    void RefreshHistory();

    Desktop& desktop_;
    TfrmProps& form_;
    TSettingsStore& settings_;
    TRequestDispatcher& dispatcher_;
    TReplyTracking tracking_;
    bool running_ = false;
    bool queued_ = false;
    bool failing_ = false;
    bool fetchedOnce_ = false;
    std::chrono::steady_clock::time_point last_{};
    TReplyPickup* current_ = nullptr;
};

} // namespace ostrel
