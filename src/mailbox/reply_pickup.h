#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mailbox/mailbox_ledger.h"
#include "mailbox/reply_match.h"
#include "mailbox/reply_tracking.h"
#include "net/mailbox_client.h"

namespace ostrel {

class Desktop;

struct TPickupOptions {
    TMailboxAccount Account;
    // Delete each reply on the server once its file is safe on disk.
    bool Delete = false;
    // The addresses of the servers in the directory (uservers.da2's sections).
    std::vector<std::string> ServerAddresses;
    // The history's entries, newest first.
    std::vector<std::string> History;
};

// One file that reached the downloads folder.
struct TArrival {
    std::string Request; // empty when the reply answered no request of the history
    std::string Path;
    bool Damaged = false;
    std::string Note;
};

struct TPickupResult {
    std::size_t Examined = 0; // new mails judged by their headers
    std::size_t Replies = 0;  // replies taken
    std::vector<TArrival> Arrivals;
    // Replies left on the server for the next fetch, and why.
    std::vector<std::string> Problems;
};

// The name a reply's content waits under in the spool (Mailbox/ in the program folder) until
// it is placed in the downloads folder.
std::string SpoolName(const std::string& accountKey, std::uint32_t uidValidity, const std::string& key);

// Picks replies up from the mailbox: reads the headers of the mails not judged before, takes
// the replies (see TReplyMatcher), saves each into the downloads folder (program folder +
// "downloads/") and records what arrived for its request.
//
// Each reply is saved exactly once, whatever ends the program: its decoded content is written
// and flushed to the spool, then Mailbox.Dat records it as taken, with the name it is to have,
// in one atomic write; only then is it linked into the downloads folder under a name no file
// has (" (1)", " (2)" ... before the extension), and its spool entry removed. A fetch that is
// killed before the record was written fetches the reply again; one killed after it finishes
// the save at the next start from the spool. A mail that carries a file, or a part of one, is
// held in the spool until its file is complete, then decoded there (see DecodeHeld). With
// Delete the reply is deleted on the server only after its file is in the downloads folder and
// that folder is flushed (a part of a file, once it is held in the spool).
class TReplyPickup {
public:
    TReplyPickup(Desktop& desktop, std::string programFolder, TPickupOptions options);
    ~TReplyPickup();

    // Fetches once. Raises when the mailbox could not be read (connection, certificate, log-in,
    // a folder that cannot be written); a reply that could not be saved is reported in Problems
    // and left for the next fetch.
    TPickupResult Fetch();
    // Connects, encrypts, logs in, opens the folder and logs out, one line per step; false when
    // a step failed (the last line says why).
    bool Check(const std::function<void(const std::string& line)>& report);

    // Told of each file as it reaches the downloads folder.
    std::function<void(const TArrival&)> OnArrival;
    // What the fetch is doing, in words ("Reading replies: 3 of 20").
    std::function<void(const std::string&)> OnStatus;

    void Cancel();
    const ECertificateError* RefusedCertificate() const;

    std::string DownloadsFolder() const { return folder_ + "downloads/"; }
    std::string SpoolFolder() const { return folder_ + "Mailbox/"; }

private:
    struct TTaken;
    void Status(const std::string& text);
    // Places the saves recorded in the ledger into the downloads folder. With recordNow false the
    // ledger that lets them go is written by the caller's next SaveLedger, and they are reported
    // then: a fetch records its last batch and its progress through the mailbox in one write.
    void CompletePending(TPickupResult& result, bool recordNow = true);
    // Writes the ledger, then reports the arrivals it no longer names as pending.
    void SaveLedger(TPickupResult& result);
    // Flushes the replies written to the spool since the last flush.
    void FlushSpool();
    bool TakeReply(const TMailSummary& mail, std::string&& content, const TReplyHeaders& headers,
                   TPickupResult& result);
    void RemoveStaleSpool();
    void RemoveStaleDecoded();
    // Decodes the files whose parts are all held, and places them.
    void DecodeHeld(TPickupResult& result);

    Desktop& desktop_;
    std::string folder_;
    TPickupOptions options_;
    std::string accountKey_;
    TMailboxLedger ledger_;
    TReplyTracking tracking_;
    TReplyMatcher matcher_;
    std::unique_ptr<TMailboxClient> client_;
    std::vector<TArrival> unreported_;
    std::vector<std::string> unflushed_; // spool names written, not yet flushed
    bool canceled_ = false;
};

} // namespace ostrel
