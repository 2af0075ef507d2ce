#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/certificate.h"
#include "util/error.h"

namespace ostrel {

class Desktop;

enum class TMailProtocol { None, IMAP, POP3 };
enum class TMailboxSecurity { None, STARTTLS, TLS };

// The mailbox the replies arrive in, as the settings give it.
struct TMailboxAccount {
    TMailProtocol Protocol = TMailProtocol::None;
    std::string Server; // host[:port]
    TMailboxSecurity Security = TMailboxSecurity::TLS;
    std::string User;
    std::string Password;
    std::string Folder = "INBOX"; // IMAP only
    // SHA-256 fingerprint of a certificate the user chose to trust although it fails the check.
    std::string TrustedCert;
    // Seconds each wait may take; 0 or less: no limit.
    int TimeOut = 60;
    // Deletions are asked for: IMAP opens the folder for writing instead of read-only.
    bool WillDelete = false;
};

// The port used when the server text names none: IMAP 143/993, POP3 110/995.
std::uint16_t DefaultMailboxPort(TMailProtocol protocol, TMailboxSecurity security);
// "IMAP host:port" and the like, for messages and for telling accounts apart.
std::string MailboxAccountKey(const TMailboxAccount& account);

// The server refused the user name or password.
OSTREL_ERROR_CLASS(ELoginRefused, ESocketError);

inline constexpr const char* SMailboxLoginRefused =
    "The mailbox server refused the log-in: check the user name and password on the Mailbox page";
inline constexpr const char* SMailboxPasswordNeedsTls =
    "Ostrel does not send the mailbox password in clear to another machine: choose STARTTLS or TLS on the Mailbox "
    "page";
inline constexpr const char* SMailboxNoTls =
    "The mailbox server did not allow encryption (STARTTLS): nothing was sent in clear. Choose TLS on the Mailbox "
    "page, or ask your provider";

// One mail of a listing. Key names it across sessions: the UID (IMAP, in decimal, valid with the
// folder's UIDVALIDITY) or the UIDL (POP3).
struct TMailSummary {
    std::string Key;
    std::uint32_t Uid = 0; // IMAP
    int Number = 0;        // POP3: its number in this session
    std::uint64_t Size = 0;
    // The header block (IMAP: the fields asked for), CR LF line ends, with its empty line.
    std::string Headers;
    bool HeadersRead = false;
};

// An IMAP or POP3 client over libcurl: curl connects, encrypts (STARTTLS or TLS from the first
// byte, never falling back to clear text), checks the certificate with the program's own rules
// and logs in; the commands after the log-in are this class's own, so that it reads with
// BODY.PEEK, asks for headers only where that is all it needs, and deletes one mail at a time.
// Every wait runs curl's multi interface or poll() in slices of at most 10 ms and lets the
// desktop run its events in between; the window never blocks.
class TMailboxClient {
public:
    TMailboxClient(Desktop& desktop, TMailboxAccount account);
    ~TMailboxClient();
    TMailboxClient(const TMailboxClient&) = delete;
    TMailboxClient& operator=(const TMailboxClient&) = delete;

    // Connects, encrypts, logs in and (IMAP) opens the folder: read-only unless WillDelete.
    // Raises ECertificateError, ELoginRefused, ETimedOutError, ECanceledError or ESocketError.
    void Open();
    // Logs out (POP3: QUIT, which carries out the deletions) and closes; never raises. True when
    // the server confirmed the log-out.
    bool Close();
    bool Connected() const;

    std::uint32_t UidValidity() const { return uidValidity_; }
    std::uint32_t UidNext() const { return uidNext_; }
    // Mails in the folder (IMAP) or the maildrop (POP3) when it was opened.
    std::size_t Count() const { return count_; }

    // IMAP: the mails whose UID is fromUid or more, with the header fields the matching needs,
    // in one command. POP3: every mail with its UIDL, headers not read yet.
    std::vector<TMailSummary> List(std::uint32_t fromUid);
    // POP3: reads the header blocks (TOP n 0) of the mails given, several commands in flight
    // where the server allows it. IMAP lists them with their headers already.
    void ReadHeaders(std::vector<TMailSummary*> mails);
    // The whole mail, as the server keeps it; IMAP reads with BODY.PEEK (no flag changes).
    std::string Fetch(const TMailSummary& mail);
    // Several mails in one command (IMAP) or pipelined (POP3); deliver gets each as it arrives.
    void FetchMany(const std::vector<const TMailSummary*>& mails,
                   const std::function<void(const TMailSummary&, std::string&&)>& deliver);
    // IMAP: flags the mail deleted and expunges that one mail (UID EXPUNGE); POP3: DELE, carried
    // out at Close. Raises ESocketError when the server refuses.
    void Delete(const TMailSummary& mail);

    // Ends the current wait with ECanceledError (the program is closing).
    void Cancel() { canceled_ = true; }

    // Each step of Open and Close in words, with the server's reply where there is one (the
    // Check button and ostrel-cli check-mailbox).
    std::function<void(const std::string& line)> OnStep;

    // The certificate refused by the last Open, null when none was.
    const ECertificateError* RefusedCertificate() const { return refusedCertificate_.get(); }

    // Longest response line accepted outside a literal.
    static constexpr std::size_t MaxLineLength = 1 << 20;

private:
    struct TCurl;
    struct TImapReply;
    void Step(const std::string& line);
    void Connect();
    void Arm();
    // Waits on the connection's socket for events, pumping the desktop, within the deadline.
    void WaitSocket(short events);
    void Pump();
    void SendText(const std::string& text);
    bool Receive(); // false when the server closed
    std::string ReadLine();
    std::string ReadBytes(std::size_t n);
    [[noreturn]] void Fail(const std::string& message);

    // IMAP
    std::string NextTag();
    TImapReply ImapCommand(const std::string& command);
    TImapReply ReadImapReply(const std::string& tag);
    void ImapOpenFolder();
    // POP3
    std::string Pop3Command(const std::string& command, bool multiLine, std::string* body = nullptr);
    std::string ReadPop3Status();
    std::string ReadPop3Body();

    Desktop& desktop_;
    TMailboxAccount account_;
    std::unique_ptr<TCurl> curl_;
    std::unique_ptr<TCertificateCheck> check_;
    std::unique_ptr<ECertificateError> refusedCertificate_;
    std::string host_;
    std::uint16_t port_ = 0;
    std::string rbuf_;
    std::size_t rpos_ = 0;
    bool canceled_ = false;
    std::chrono::steady_clock::time_point deadline_{};
    std::chrono::steady_clock::time_point lastPump_{};
    int tag_ = 0;
    std::uint32_t uidValidity_ = 0;
    std::uint32_t uidNext_ = 0;
    std::size_t count_ = 0;
    bool pop3Pipelining_ = false;
    bool imapUidPlus_ = false;
    bool readOnly_ = true;
    bool loggingOut_ = false; // the server's BYE is the answer expected
    // While set, each untagged response goes here as it is read instead of into the reply.
    std::function<void(std::string& text, std::vector<std::string>& literals)> onUntagged_;
};

} // namespace ostrel
