#pragma once

#include <fstream>
#include <string>
#include <string_view>

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

// The SMTP client: greeting, HELO, MAIL FROM, RCPT TO, DATA, the data, ".", QUIT.
class TmsSMTP : public TmsMailBase {
public:
    explicit TmsSMTP(Desktop& desktop);

    // The message to send; not owned.
    TmsMessage* MailMessage = nullptr;

    TmsNotifyEvent OnPrepare;  // before the message is encoded
    TmsNotifyEvent OnSending;  // before the envelope commands
    TmsNotifyEvent OnMailSent; // after the server accepted the data

    // Connect, SendMail, and Disconnect in every case. When both the mail and the disconnect
    // fail, the mail's error is the one that reaches the caller.
    void Send();
    // Validates, encodes and transmits MailMessage over the open connection.
    void SendMail();

    void Open() override;
    void Login() override;
    void Logout() override;

    // Reads one whole reply; returns its last line. A connection that closes before the last
    // line of a reply is an error.
    std::string ReadReply();
    void CheckReply(const std::string& line) override;
    const std::string& LastReply() const { return lastReply_; }
    // The reply that refused a step of the current (or last) connection; empty when none did.
    // Unlike LastReply, the QUIT that follows a refusal does not replace it.
    const std::string& RefusedReply() const { return refusedReply_; }

private:
    std::string lastReply_;
    std::string refusedReply_;
    bool quiet_ = false;
};

} // namespace ostrel
