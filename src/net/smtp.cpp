#include "net/smtp.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <unistd.h>

#include "mime/message.h"
#include "platform/desktop.h"
#include "util/error.h"

namespace ostrel {

namespace {

constexpr const char* SMailMessageRequired = "MailMessage property must be assigned";

// An address goes inside "<" ">" of a command line; these bytes would end the address or the
// line early and let the rest be read as another command.
bool AddressIsSafe(const std::string& address) {
    return address.find_first_of(std::string_view("\r\n\0<>", 5)) == std::string::npos;
}

void CheckEnvelope(const TmsMessage& message) {
    if (!AddressIsSafe(message.Sender.Address))
        throw EMessageError("The address of sender contains an invalid character");
    for (const TmsAddressList* list : {&message.Recipients, &message.CC, &message.BCC})
        for (const auto& entry : *list)
            if (!AddressIsSafe(entry.Address))
                throw EMessageError("The address of a Recipient, CC or BCC contains an invalid character");
}

} // namespace

TTempFileStream::TTempFileStream() {
    const char* dir = std::getenv("TMPDIR");
    std::string folder = dir != nullptr && *dir != '\0' ? dir : "/tmp";
    if (folder.back() != '/')
        folder += '/';
    std::vector<char> name(folder.begin(), folder.end());
    for (char c : std::string("msXXXXXX.tmp"))
        name.push_back(c);
    name.push_back('\0');
    const int fd = ::mkstemps(name.data(), 4);
    if (fd == -1)
        throw EInOutError("Cannot create a temporary file in " + folder + ": " + std::strerror(errno));
    ::close(fd);
    fileName_ = name.data();
    // mkstemps made it empty; truncating again costs a round trip on some file systems.
    open(fileName_, std::ios::in | std::ios::out | std::ios::binary);
    if (!is_open()) {
        ::unlink(fileName_.c_str());
        throw EInOutError("Cannot open the temporary file " + fileName_);
    }
}

TTempFileStream::~TTempFileStream() {
    close();
    ::unlink(fileName_.c_str());
}

void TDotStuffer::Add(std::string_view chunk, std::string& wire) {
    wire.reserve(wire.size() + chunk.size() + chunk.size() / 32 + 4);
    for (const char c : chunk) {
        if (pendingCR_) {
            pendingCR_ = false;
            wire += "\r\n";
            atLineStart_ = true;
            if (c == '\n')
                continue;
        }
        if (c == '\r') {
            pendingCR_ = true;
        } else if (c == '\n') {
            wire += "\r\n";
            atLineStart_ = true;
        } else {
            if (atLineStart_ && c == '.')
                wire += '.';
            wire += c;
            atLineStart_ = false;
        }
    }
}

void TDotStuffer::Finish(std::string& wire) {
    if (pendingCR_ || !atLineStart_)
        wire += "\r\n";
    pendingCR_ = false;
    atLineStart_ = true;
}

bool ReplyLineAccepted(const std::string& line) {
    if (line.size() < 4)
        return false;
    return line[3] == '-' || line[0] == '2' || line.compare(0, 3, "354") == 0;
}

bool ReplyLineIsLast(const std::string& line) {
    return line.size() > 4 && line[3] != '-';
}

void TmsMailBase::Connect() {
    if (Connected())
        return;
    try {
        Open();
        Login();
    } catch (...) {
        Close();
        throw;
    }
}

void TmsMailBase::Disconnect() {
    if (!Connected())
        return;
    try {
        Logout();
    } catch (...) {
        Close();
        throw;
    }
    Close();
}

TmsSMTP::TmsSMTP(Desktop& desktop) : TmsMailBase(desktop) {
    DefaultPort = 25;
    ServiceName = "smtp";
}

void TmsSMTP::Open() {
    if (Server.empty())
        RaiseSocketError(57002);
    ResetState();
    refusedReply_.clear();
    TmsMailBase::Open();
}

void TmsSMTP::Login() {
    ConnectSocket();
    ReadReply();
    // Some servers refuse the host name this machine calls itself but take a bare HELO; the
    // first refusal is not worth an error event.
    quiet_ = true;
    try {
        SendLine("HELO " + LocalHostName);
        ReadReply();
    } catch (...) {
        quiet_ = false;
        if (!Connected())
            throw; // timed out or canceled: nothing left to retry on
        SendLine("HELO");
        ReadReply();
    }
    quiet_ = false;
}

void TmsSMTP::Logout() {
    desktop_.ProcessMessages();
    SendLine("QUIT");
    ReadReply();
}

std::string TmsSMTP::ReadReply() {
    for (;;) {
        std::string line = ReadLine();
        lastReply_ = line;
        if (ReplyLineIsLast(line))
            return line;
        // Without its last line a reply says nothing; taking it as accepted would report a
        // mail the server may never have taken.
        if (PeerClosed())
            RaiseSocketErrorText(SConnectionClosed);
    }
}

void TmsSMTP::CheckReply(const std::string& line) {
    if (ReplyLineAccepted(line))
        return;
    refusedReply_ = line;
    std::string message = line;
    if (!quiet_ && OnError)
        OnError(*this, message);
    throw ESocketError(message);
}

void TmsSMTP::SendMail() {
    if (MailMessage == nullptr)
        RaiseSocketErrorText(SMailMessageRequired);
    TmsMessage& message = *MailMessage;
    message.Validate();
    CheckEnvelope(message);

    TTempFileStream data;
    if (OnPrepare)
        OnPrepare(*this);
    message.SaveToStream(data);
    data.flush();
    if (!data)
        throw EInOutError("Cannot write the temporary file " + data.FileName());

    if (OnSending)
        OnSending(*this);
    if (!message.Sender.Address.empty()) {
        SendLine("MAIL FROM:<" + message.Sender.Address + ">");
        ReadReply();
    }
    for (const TmsAddressList* list : {&message.Recipients, &message.CC, &message.BCC}) {
        for (const auto& entry : *list) {
            SendLine("RCPT TO:<" + entry.Address + ">");
            ReadReply();
        }
    }
    SendLine("DATA");
    ReadReply();

    TDotStuffer stuffer;
    SendStream(data, [&stuffer](std::string_view chunk, bool atEnd, std::string& wire) {
        if (atEnd)
            stuffer.Finish(wire);
        else
            stuffer.Add(chunk, wire);
    });
    SendLine(".");
    ReadReply();
    if (OnMailSent)
        OnMailSent(*this);
}

void TmsSMTP::Send() {
    Connect();
    try {
        SendMail();
    } catch (...) {
        // The mail's failure is the news; a failing QUIT after it must not replace it.
        try {
            Disconnect();
        } catch (...) {
        }
        throw;
    }
    Disconnect();
}

} // namespace ostrel
