#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/peers.h"
#include "support/test_support.h"

namespace ostrel::test {

// A Dovecot of the test's own (tests/support/dovecot_peer.py): IMAP and POP3 on free loopback
// ports, plain with STARTTLS and with TLS from the first byte, serving one user's Maildir with a
// certificate of SharedTestCertificates ("good" unless another is named). Mails are delivered by
// writing Maildir files; their flags are read from the file names. With rawlog, what each IMAP
// client sent after its log-in is kept, so a test can tell which mails were asked for and how.
class TDovecotPeer {
public:
    static constexpr const char* User = "reader";
    static constexpr const char* Password = "secret-word";

    explicit TDovecotPeer(const std::string& certificate = "good", bool rawlog = false);
    ~TDovecotPeer();
    TDovecotPeer(const TDovecotPeer&) = delete;
    TDovecotPeer& operator=(const TDovecotPeer&) = delete;

    std::uint16_t ImapPort() const { return ports_[0]; }
    std::uint16_t ImapsPort() const { return ports_[1]; }
    std::uint16_t Pop3Port() const { return ports_[2]; }
    std::uint16_t Pop3sPort() const { return ports_[3]; }

    // Puts a mail into the Maildir as a delivery agent does (tmp, then new); returns its name.
    std::string Deliver(const std::string& content);
    // Every mail's file by its name: "new/NAME" or "cur/NAME:2,FLAGS".
    std::map<std::string, std::string> Files() const;
    // The flags of a mail as Dovecot keeps them ("" for none, "S" seen, "T" deleted ...).
    std::string Flags(const std::string& name) const;
    // The UID Dovecot gave each mail it has listed, by the name Deliver returned.
    std::map<std::string, std::uint32_t> Uids() const;
    // The commands of each IMAP session, oldest session first, one command a line (rawlog only);
    // waits up to 10 seconds for `ended` sessions to have logged out, as Dovecot may still be
    // writing the last one when its client has gone.
    std::vector<std::string> ImapSessions(std::size_t ended) const;
    // What Dovecot logged (log-ins, refusals).
    std::string Log() const { return ReadAll(dir_.File("dovecot.log")); }
    void Stop();

private:
    std::vector<std::string> ReadImapSessions() const;

    TempDir dir_;
    std::unique_ptr<TPeerProcess> process_;
    std::uint16_t ports_[4] = {};
    unsigned uid_ = 0, gid_ = 0;
    int count_ = 0;
};

} // namespace ostrel::test
