#pragma once

#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/certificate.h"
#include "net/socket.h"

namespace ostrel {

class TmsMessage;

// A file stream on a new, empty temporary file ("ms" + unique part, in $TMPDIR or /tmp), open
// for reading and writing; the file is deleted when the stream goes, whatever happened.
class TTempFileStream : public std::fstream {
public:
    TTempFileStream();
    ~TTempFileStream() override;
    TTempFileStream(const TTempFileStream&) = delete;
    TTempFileStream& operator=(const TTempFileStream&) = delete;
    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
};

// Makes message data safe to send after DATA: a line that begins with "." gets one more,
// a bare CR or LF becomes CR LF, and the data always ends with a line break, so the
// terminating "." line can only ever be the one the client sends.
class TDotStuffer {
public:
    // Appends the wire form of chunk to wire; chunks may split lines and CR LF pairs anywhere.
    void Add(std::string_view chunk, std::string& wire);
    // Closes the last line if the data did not end with a line break.
    void Finish(std::string& wire);

private:
    bool atLineStart_ = true;
    bool pendingCR_ = false;
};

// How the client judges one received reply line: a continuation ("xyz-"), any 2xx and 354 are
// accepted; everything else, every line shorter than four bytes included, is an error.
bool ReplyLineAccepted(const std::string& line);
// Whether the line ends a (possibly multi-line) reply: longer than four bytes and no "-" as
// its fourth byte. A line of exactly four bytes ends nothing.
bool ReplyLineIsLast(const std::string& line);

// How the connection to the SMTP server is protected: not at all (the classic dialogue), by
// STARTTLS after the greeting, or by TLS from the first byte.
enum class TSmtpSecurity { None, STARTTLS, TLS };

// The messages of the secure dialogue, shown as they stand in failure reports.
inline constexpr const char* SBadCredentials = "The server refused the user name or password";
inline constexpr const char* SStartTlsWanted =
    "The server accepts mail only over an encrypted connection: choose STARTTLS on My Details";
inline constexpr const char* SPasswordNeedsTls =
    "The server offers a log-in only without encryption, and Ostrel does not send a password in clear to "
    "another machine: choose STARTTLS or TLS on My Details";
inline constexpr const char* SLineBreakInCredentials =
    "The user name or password contains a line break or a zero byte: enter them again on My Details";

// Whether an address text names this machine (127.0.0.0/8, ::1, or IPv4 loopback mapped to IPv6).
bool IsLoopbackAddress(const std::string& address);
// The EHLO reply lines (after the first) as keyword (upper case) -> parameters.
std::map<std::string, std::string> ParseExtensions(const std::vector<std::string>& replyLines);

// What a mail client has in common: connect = open + log in, disconnect = log out + close.
class TmsMailBase : public TagSocket {
public:
    using TagSocket::TagSocket;

    // Opens and logs in unless connected. A failure closes the socket again, so the next
    // Connect starts afresh instead of trusting a half-opened connection.
    void Connect();
    // Logs out and closes when connected. The socket is closed even when the log-out fails.
    void Disconnect();

    virtual void Login() = 0;
    virtual void Logout() = 0;
};

// The SMTP client: greeting, HELO, MAIL FROM, RCPT TO, DATA, the data, ".", QUIT. With
// encryption or a log-in configured it greets with EHLO, encrypts (STARTTLS or TLS from the
// start) and logs in with AUTH PLAIN or LOGIN; it never falls back to clear text once
// encryption was asked for.
class TmsSMTP : public TmsMailBase {
public:
    explicit TmsSMTP(Desktop& desktop);

    // The message to send; not owned.
    TmsMessage* MailMessage = nullptr;

    TSmtpSecurity Security = TSmtpSecurity::None;
    // Empty: no log-in.
    std::string UserName;
    std::string Password;
    // SHA-256 fingerprint of a certificate the user chose to trust although it fails the check.
    std::string TrustedCert;

    // Each step of the log-in as it completes, in words with the server's reply (the Check).
    std::function<void(const std::string& line)> OnStep;

    TmsNotifyEvent OnPrepare;  // before the message is encoded
    TmsNotifyEvent OnSending;  // before the envelope commands
    TmsNotifyEvent OnMailSent; // after the server accepted the data

    // Connect, SendMail, and Disconnect in every case. When both the mail and the disconnect
    // fail, the mail's error is the one that reaches the caller.
    void Send();
    // Validates, encodes and transmits MailMessage over the open connection.
    void SendMail();
    // Sends MailMessage in a session that stays open for the next mail (a queue run: one
    // handshake, one log-in, RSET between mails): connects when not connected, and closes the
    // session again after a failure, so the next mail starts a new one.
    void SendInSession();
    // Quits the session; a failing QUIT changes nothing for the mails already sent.
    void EndSession();

    void Open() override;
    void Login() override;
    void Logout() override;

    // Reads one whole reply; returns its last line. A connection that closes before the last
    // line of a reply is an error.
    std::string ReadReply();
    void CheckReply(const std::string& line) override;
    const std::string& LastReply() const { return lastReply_; }
    // The extensions of the last EHLO reply (empty after HELO).
    const std::map<std::string, std::string>& Extensions() const { return extensions_; }

    // Connects, greets, encrypts and logs in as configured, then quits, sending no mail. Every
    // step is reported through report with the server's reply; false when a step failed (the
    // last line says why).
    bool CheckConnection(const std::function<void(const std::string& line)>& report);
    // The certificate the last check refused, null when none was.
    const ECertificateError* RefusedCertificate() const { return refusedCertificate_.get(); }

    // The reply that refused a step of the current (or last) connection; empty when none did.
    // Unlike LastReply, the QUIT that follows a refusal does not replace it.
    const std::string& RefusedReply() const { return refusedReply_; }

protected:
    // Whether the server is this machine, where a password cannot be read on the way.
    virtual bool PeerIsThisMachine() const { return IsLoopbackAddress(RemoteAddress); }

private:
    bool Extended() const { return Security != TSmtpSecurity::None || !UserName.empty(); }
    std::string Host() const;
    void Step(const std::string& line);
    // Reads a reply without an error event; false when the server refused (the reply is in
    // LastReply), other failures raise.
    bool ReadReplyQuietly();
    void Ehlo();
    void StartEncryption();
    void Authenticate();
    [[noreturn]] void RaiseRefusal(const std::string& fallback);
    std::string lastReply_;
    std::vector<std::string> replyLines_;
    std::map<std::string, std::string> extensions_;
    std::string refusedReply_;
    bool quiet_ = false;
    bool acceptChallenge_ = false; // 334 is a good reply during AUTH
    bool refused_ = false;         // the last failure was an error reply of the server
    std::unique_ptr<ECertificateError> refusedCertificate_;
    int mailsInSession_ = 0;
    bool resetFirst_ = false;
};

} // namespace ostrel
