#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ostrel {

// A reply whose content is safe in the spool and still has to reach the downloads folder under
// Target; what is recorded of it when it does.
struct TPendingSave {
    std::string Key;     // the mail's key in its mailbox (its deletion waits for the save)
    std::string Spool;   // file in the spool folder (its name, or "Decoded/FOLDER/NAME" for a decoded file)
    std::string Target;  // name in the downloads folder
    std::string Request; // the request it answers, empty when none was found
    std::string State;   // what the tracking records: "arrived", "damaged", or (written by earlier versions)
                         // "file" or "file/N" (a mail kept whole, one of N parts)
    std::string Note;    // why it is damaged, or what it is
};

// A mail that carries one part of a file (or a whole file), taken from the mailbox and held in
// the spool until the file it belongs to can be decoded.
struct THeldPart {
    std::string Key;     // the mail's key in its mailbox
    std::string Spool;   // file in the spool folder (its name only)
    std::string Request; // the request it answers, empty when none was found
    std::string Group;   // the mails of one file share it: their subject without its numbering
    std::string Target;  // the name the mail is given in the downloads folder if no file can be decoded from it
};

// What was taken from one mailbox. IMAP: every mail with a UID up to Seen has been judged (a
// reply taken, anything else left alone), and so have the UIDs in Done above it; all of them
// are valid only with UidValidity. POP3: Done holds the UIDL of every mail judged.
struct TLedgerAccount {
    std::uint32_t UidValidity = 0;
    std::uint32_t Seen = 0;
    std::set<std::string> Done;
    // Replies safe on disk that are to be deleted on the server (Delete=1).
    std::set<std::string> ToDelete;
    // Message-IDs of replies taken, newest last: a folder whose UIDs were renumbered does not
    // hand the same reply over twice.
    std::deque<std::string> TakenIds;
};

// Mailbox.Dat in the program folder: the mailboxes' records and the saves under way. Written
// whole and atomically, after the files it speaks of are durable, so that a crash or a kill at
// any moment leaves each reply either taken (and saved, or on its way from the spool) or not
// taken (and fetched again next time).
class TMailboxLedger {
public:
    static constexpr std::size_t TakenIdLimit = 5000;

    explicit TMailboxLedger(std::string path);
    // Raises EInOutError when the file exists and cannot be read; a damaged line is skipped.
    void Load();
    // Raises EInOutError; the file keeps its old content then.
    void Save() const;

    TLedgerAccount& Account(const std::string& key) { return accounts_[key]; }
    std::vector<TPendingSave>& Pending() { return pending_; }
    std::vector<THeldPart>& Held() { return held_; }
    // Groups found still missing parts, with how many parts they held then: decoded again only
    // when more have come.
    std::map<std::string, std::size_t>& Waiting() { return waiting_; }
    bool WasTaken(const TLedgerAccount& account, const std::string& messageId) const;
    static void NoteTaken(TLedgerAccount& account, const std::string& messageId);

private:
    std::string Text() const;

    std::string path_;
    // What the file holds as far as this object knows: read at Load, written at Save.
    mutable std::string written_;
    std::map<std::string, TLedgerAccount> accounts_;
    std::vector<TPendingSave> pending_;
    std::vector<THeldPart> held_;
    std::map<std::string, std::size_t> waiting_;
};

} // namespace ostrel
