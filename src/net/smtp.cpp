#include "net/smtp.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <unistd.h>

#include "mime/base64.h"
#include "mime/message.h"
#include "net/certificate.h"
#include "platform/desktop.h"
#include "util/debug_log.h"
#include "util/error.h"
#include "util/text.h"

namespace ostrel {

namespace {

constexpr const char* SMailMessageRequired = "MailMessage property must be assigned";
// The answer to QUIT changes nothing: the mail is delivered or failed already. A server that
// never answers it must not hold the program for the whole time-out.
constexpr int QuitTimeOut = 10;

std::string NoEncryption(const std::string& host, const std::string& why) {
    return "The server " + host + " did not allow encryption (" + why +
           "), so nothing more was sent. Check the port and the security chosen on My Details.";
}

bool Mentions(const std::string& text, const std::string& word) {
    return UpperCase(text).find(word) != std::string::npos;
}

// Restores a flag when a scope ends, however it ends.
class TFlagScope {
public:
    TFlagScope(bool& flag, bool value) : flag_(flag), old_(flag) { flag_ = value; }
    ~TFlagScope() { flag_ = old_; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

private:
    bool& flag_;
    bool old_;
};

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

bool IsLoopbackAddress(const std::string& address) {
    in_addr a4{};
    if (inet_pton(AF_INET, address.c_str(), &a4) == 1)
        return (ntohl(a4.s_addr) >> 24) == 127;
    in6_addr a6{};
    if (inet_pton(AF_INET6, address.c_str(), &a6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&a6) || (IN6_IS_ADDR_V4MAPPED(&a6) && a6.s6_addr[12] == 127);
    return false;
}

std::map<std::string, std::string> ParseExtensions(const std::vector<std::string>& replyLines) {
    std::map<std::string, std::string> extensions;
    for (std::size_t i = 1; i < replyLines.size(); ++i) {
        const std::string& line = replyLines[i];
        if (line.size() <= 4)
            continue;
        std::string rest = Trim(line.substr(4));
        // Old servers wrote "AUTH=LOGIN PLAIN"; it means what "AUTH LOGIN PLAIN" does.
        const auto cut = rest.find_first_of(" =");
        std::string keyword = UpperCase(rest.substr(0, cut));
        std::string params = cut == std::string::npos ? "" : Trim(rest.substr(cut + 1));
        auto& known = extensions[keyword];
        known += (known.empty() || params.empty() ? "" : " ") + params;
    }
    return extensions;
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
    // Refused before anything reaches the wire: a line break would end the AUTH command early.
    for (const std::string* text : {&UserName, &Password})
        if (text->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
            throw ESocketError(SLineBreakInCredentials);
    ResetState();
    refusedReply_.clear();
    // Submission ports by security; a port in Server wins as always.
    const std::string service = ServiceName;
    const std::uint16_t port = DefaultPort;
    if (Security == TSmtpSecurity::STARTTLS) {
        ServiceName = "submission";
        DefaultPort = 587;
    } else if (Security == TSmtpSecurity::TLS) {
        ServiceName = "submissions";
        DefaultPort = 465;
    }
    try {
        TmsMailBase::Open();
    } catch (...) {
        ServiceName = service;
        DefaultPort = port;
        throw;
    }
    ServiceName = service;
    DefaultPort = port;
}

void TmsSMTP::Login() {
    ConnectSocket();
    Step("Connected to " + Host() + " port " + std::to_string(Port()) + " (" + RemoteAddress + ")");
    if (Security == TSmtpSecurity::TLS) {
        StartEncryption();
    }
    ReadReply();
    Step("Greeting: " + lastReply_);
    LocalHostName = GreetingName();
    if (!Extended()) {
        // Some servers refuse the name this machine gives but take a bare HELO; the first
        // refusal is not worth an error event.
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
        Step("HELO: " + lastReply_);
        return;
    }
    Ehlo();
    if (Security == TSmtpSecurity::STARTTLS) {
        if (extensions_.count("STARTTLS") == 0)
            RaiseSocketErrorText(NoEncryption(Host(), "it does not offer STARTTLS"));
        SendLine("STARTTLS");
        if (!ReadReplyQuietly() || lastReply_.compare(0, 3, "220") != 0)
            RaiseSocketErrorText(NoEncryption(Host(), "it answered " + lastReply_));
        Step("STARTTLS: " + lastReply_);
        StartEncryption();
        // What the server offered before encryption may have been changed on the way.
        Ehlo();
    }
    if (!UserName.empty())
        Authenticate();
}

bool TmsSMTP::ReadReplyQuietly() {
    TFlagScope quiet(quiet_, true);
    try {
        ReadReply();
    } catch (const ESocketError&) {
        if (!refused_)
            throw;
        refused_ = false;
        return false;
    }
    return true;
}

std::string TmsSMTP::Host() const {
    return SplitServer(Server).Host;
}

void TmsSMTP::Step(const std::string& line) {
    if (OnStep)
        OnStep(line);
}

void TmsSMTP::Ehlo() {
    extensions_.clear();
    {
        // On the plain path an old server may know only HELO; with encryption or a log-in
        // asked for, HELO would be a silent step down.
        TFlagScope quiet(quiet_, Security == TSmtpSecurity::None);
        try {
            SendLine("EHLO " + LocalHostName);
            ReadReply();
        } catch (const ESocketError&) {
            if (!refused_ || Security != TSmtpSecurity::None)
                throw;
            refused_ = false;
            quiet_ = false;
            SendLine("HELO " + LocalHostName);
            ReadReply();
            Step("HELO: " + lastReply_);
            return;
        }
    }
    extensions_ = ParseExtensions(replyLines_);
    std::string offered;
    for (const auto& [keyword, params] : extensions_)
        offered += (offered.empty() ? "" : ", ") + keyword + (params.empty() ? "" : " " + params);
    Step("EHLO: " + (replyLines_.empty() ? lastReply_ : replyLines_.front()) +
         (offered.empty() ? "" : " (offers " + offered + ")"));
}

void TmsSMTP::StartEncryption() {
    StartTLS(Host(), TrustedCert);
    Step(std::string("Encrypted with TLS") +
         (TrustedCert.empty() ? "" : ", the certificate trusted by its fingerprint") + "");
}

[[noreturn]] void TmsSMTP::RaiseRefusal(const std::string& fallback) {
    const std::string& reply = lastReply_;
    if (reply.compare(0, 3, "535") == 0)
        RaiseSocketErrorText(std::string(SBadCredentials) + " (" + reply + ")");
    if (reply.compare(0, 3, "530") == 0 && Mentions(reply, "STARTTLS"))
        RaiseSocketErrorText(std::string(SStartTlsWanted) + " (" + reply + ")");
    RaiseSocketErrorText(fallback + ": " + reply);
}

void TmsSMTP::Authenticate() {
    // A password goes only where no one can read it on the way: inside TLS, or to this machine.
    if (!TlsActive() && !PeerIsThisMachine())
        RaiseSocketErrorText(SPasswordNeedsTls);
    std::vector<std::string> offered;
    {
        std::istringstream words(UpperCase(extensions_.count("AUTH") ? extensions_.at("AUTH") : ""));
        for (std::string w; words >> w;)
            offered.push_back(w);
    }
    if (offered.empty())
        RaiseSocketErrorText("The server does not offer a log-in: leave the user name empty on My Details, or check "
                             "the server and port");
    const auto has = [&](const char* m) { return std::find(offered.begin(), offered.end(), m) != offered.end(); };
    TFlagScope quiet(quiet_, true);
    TFlagScope challenge(acceptChallenge_, true);
    const auto expect = [&](const char* code) {
        if (!ReadReplyQuietly() || lastReply_.compare(0, 3, code) != 0)
            RaiseRefusal("The server refused the log-in");
    };
    if (has("PLAIN")) {
        std::string response;
        response += '\0';
        response += UserName;
        response += '\0';
        response += Password;
        SendSecretLine("AUTH PLAIN " + Base64Encode(response), "AUTH PLAIN <credentials hidden>");
        std::fill(response.begin(), response.end(), '\0');
        expect("235");
        Step("AUTH PLAIN: " + lastReply_);
    } else if (has("LOGIN")) {
        SendLine("AUTH LOGIN");
        expect("334");
        SendSecretLine(Base64Encode(UserName), "<user name hidden>");
        expect("334");
        SendSecretLine(Base64Encode(Password), "<password hidden>");
        expect("235");
        Step("AUTH LOGIN: " + lastReply_);
    } else {
        std::string list;
        for (const auto& m : offered)
            list += (list.empty() ? "" : " ") + m;
        RaiseSocketErrorText("The server offers no log-in method that Ostrel knows (it offers " + list +
                             "; Ostrel knows PLAIN and LOGIN)");
    }
}

void TmsSMTP::Logout() {
    desktop_.ProcessMessages();
    const int timeOut = TimeOut;
    if (TimeOut <= 0 || TimeOut > QuitTimeOut)
        TimeOut = QuitTimeOut;
    try {
        SendLine("QUIT");
        ReadReply();
    } catch (...) {
        TimeOut = timeOut;
        throw;
    }
    TimeOut = timeOut;
    Step("QUIT: " + lastReply_);
}

std::string TmsSMTP::ReadReply() {
    replyLines_.clear();
    refused_ = false;
    // One bound for the whole reply: a server that sends continuation lines for ever must not
    // hold the program for ever.
    struct TBound {
        TmsSMTP& Smtp;
        explicit TBound(TmsSMTP& smtp) : Smtp(smtp) { Smtp.BeginReplyBound(); }
        ~TBound() { Smtp.EndReplyBound(); }
        TBound(const TBound&) = delete;
        TBound& operator=(const TBound&) = delete;
    } bound(*this);
    for (;;) {
        std::string line = ReadLine();
        lastReply_ = line;
        if (replyLines_.size() < 100)
            replyLines_.push_back(line);
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
    if (acceptChallenge_ && line.size() >= 4 && line.compare(0, 3, "334") == 0)
        return;
    lastReply_ = line;
    refused_ = true;
    refusedReply_ = line;
    std::string message = line;
    // A server that wants encryption first says so to whatever comes before it; the user needs
    // to hear what to change, not the code.
    if (!TlsActive() && line.compare(0, 3, "530") == 0 && Mentions(line, "STARTTLS"))
        message = std::string(SStartTlsWanted) + " (" + line + ")";
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

    // A request mail is a few hundred bytes: it is encoded in memory. Attachments may be large
    // and go to a temporary file, deleted whatever happens.
    std::unique_ptr<TTempFileStream> file;
    std::stringstream memory;
    if (message.Attachments.Count() > 0)
        file = std::make_unique<TTempFileStream>();
    std::iostream& data = file ? static_cast<std::iostream&>(*file) : memory;
    if (OnPrepare)
        OnPrepare(*this);
    message.SaveToStream(data);
    data.flush();
    if (!data)
        throw EInOutError("Cannot write the temporary file " + (file ? file->FileName() : std::string()));

    if (OnSending)
        OnSending(*this);
    std::vector<std::string> commands;
    const bool pipelining = extensions_.count("PIPELINING") > 0;
    // A mail after another in one session starts from a clean state. A completed transaction
    // has reset the server already, so the RSET goes only where it costs no round trip: in
    // the same write as the envelope.
    if (std::exchange(resetFirst_, false) && pipelining)
        commands.push_back("RSET");
    if (!message.Sender.Address.empty())
        commands.push_back("MAIL FROM:<" + message.Sender.Address + ">");
    for (const TmsAddressList* list : {&message.Recipients, &message.CC, &message.BCC})
        for (const auto& entry : *list)
            commands.push_back("RCPT TO:<" + entry.Address + ">");
    commands.push_back("DATA");
    if (!pipelining) {
        for (const auto& command : commands) {
            SendLine(command);
            ReadReply();
        }
    } else {
        // One write for the envelope, then every reply in order; the first refusal is the
        // news, but the rest must be read to stay in step with the server.
        SendLines(commands);
        std::string refusal;
        for (std::size_t i = 0; i < commands.size(); ++i) {
            try {
                ReadReply();
            } catch (const ESocketError& e) {
                if (!refused_)
                    throw;
                if (refusal.empty())
                    refusal = e.what();
            }
        }
        if (!refusal.empty()) {
            // DATA was taken although the envelope was not: end it empty, so nothing is sent.
            if (lastReply_.compare(0, 3, "354") == 0) {
                SendLine(".");
                try {
                    ReadReply();
                } catch (const ESocketError&) {
                    if (!refused_)
                        throw;
                }
            }
            throw ESocketError(refusal);
        }
    }

    TDotStuffer stuffer;
    SendStream(
        data,
        [&stuffer](std::string_view chunk, bool atEnd, std::string& wire) {
            if (atEnd)
                stuffer.Finish(wire);
            else
                stuffer.Add(chunk, wire);
        },
        ".");
    ReadReply();
    if (OnMailSent)
        OnMailSent(*this);
}

void TmsSMTP::SendInSession() {
    const bool reused = Connected();
    Connect();
    resetFirst_ = reused && mailsInSession_ > 0;
    try {
        SendMail();
    } catch (...) {
        // After a failure the state of the session is unknown: the next mail starts afresh.
        resetFirst_ = false;
        mailsInSession_ = 0;
        try {
            Disconnect();
        } catch (...) {
        }
        throw;
    }
    ++mailsInSession_;
}

void TmsSMTP::EndSession() {
    mailsInSession_ = 0;
    resetFirst_ = false;
    try {
        Disconnect();
    } catch (const std::exception& e) {
        WriteDebugLog(std::string("QUIT after a sent mail: ") + e.what());
    }
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
    // Once the server has said 250 to the data the mail is delivered: a QUIT that fails, is
    // refused or is never answered must not turn it into a failure that queues it again.
    try {
        Disconnect();
    } catch (const std::exception& e) {
        WriteDebugLog(std::string("QUIT after a sent mail: ") + e.what());
    }
}

bool TmsSMTP::CheckConnection(const std::function<void(const std::string& line)>& report) {
    auto step = std::exchange(OnStep, report);
    refusedCertificate_.reset();
    bool ok = true;
    try {
        Connect();
        if (!UserName.empty() && Security == TSmtpSecurity::None && extensions_.empty())
            throw ESocketError("The server does not offer a log-in (it knows only HELO)");
        Disconnect();
    } catch (const std::exception& e) {
        Close();
        if (const auto* certificate = dynamic_cast<const ECertificateError*>(&e))
            refusedCertificate_ = std::make_unique<ECertificateError>(*certificate);
        report(std::string("Failed: ") + e.what());
        ok = false;
    }
    OnStep = std::move(step);
    if (ok)
        report("Every step worked; no mail was sent.");
    return ok;
}

} // namespace ostrel
