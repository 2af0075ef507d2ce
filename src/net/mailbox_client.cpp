#include "net/mailbox_client.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <poll.h>

#include "net/smtp.h"
#include "net/socket.h"
#include "platform/desktop.h"
#include "util/text.h"

namespace ostrel {

namespace {

constexpr int SliceMs = 10;
// Commands in flight at once where the server takes them pipelined.
constexpr std::size_t PipelineDepth = 32;
// UIDs named in one FETCH command, so that the command line stays short.
constexpr std::size_t UidsPerCommand = 400;

// The header fields that tell a reply from other mail and a reply's request.
const char* const kHeaderFields =
    "FROM SENDER REPLY-TO TO SUBJECT DATE MESSAGE-ID IN-REPLY-TO REFERENCES CONTENT-TYPE X-OSTREL-REQUEST";

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsThisMachine(const std::string& host) {
    return EqualsNoCase(host, "localhost") || IsLoopbackAddress(host);
}

// An IMAP quoted string.
std::string Quoted(const std::string& text) {
    std::string q = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            q += '\\';
        q += c;
    }
    return q + "\"";
}

// The number after word (a whole word of the response), else 0.
std::uint64_t NumberAfter(const std::string& text, const std::string& word) {
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const bool starts = at == 0 || text[at - 1] == ' ' || text[at - 1] == '(' || text[at - 1] == '[';
        const std::size_t digits = at + word.size();
        if (!starts || digits >= text.size() || text[digits] != ' ')
            continue;
        std::uint64_t value = 0;
        std::size_t i = digits + 1;
        bool any = false;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
            any = true;
        }
        if (any)
            return value;
    }
    return 0;
}

std::string WithoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

} // namespace

std::uint16_t DefaultMailboxPort(TMailProtocol protocol, TMailboxSecurity security) {
    const bool tls = security == TMailboxSecurity::TLS;
    if (protocol == TMailProtocol::POP3)
        return tls ? 995 : 110;
    return tls ? 993 : 143;
}

std::string MailboxAccountKey(const TMailboxAccount& account) {
    const TServerParts parts = SplitServer(Trim(account.Server));
    std::uint16_t port = ParsePort(parts.Port);
    if (port == 0)
        port = DefaultMailboxPort(account.Protocol, account.Security);
    const std::string host = parts.Host.find(':') != std::string::npos ? "[" + parts.Host + "]" : parts.Host;
    std::string key = std::string(account.Protocol == TMailProtocol::POP3 ? "POP3 " : "IMAP ") + account.User + "@" +
                      LowerCase(host) + ":" + std::to_string(port);
    if (account.Protocol == TMailProtocol::IMAP)
        key += "/" + account.Folder;
    return key;
}

struct TMailboxClient::TCurl {
    CURLM* Multi = nullptr;
    CURL* Easy = nullptr;
    curl_socket_t Socket = CURL_SOCKET_BAD;
    char Error[CURL_ERROR_SIZE] = {};
    // Server replies seen while curl ran the log-in (the Check shows the greeting).
    std::vector<std::string> Replies;
    ~TCurl() {
        if (Multi != nullptr && Easy != nullptr)
            curl_multi_remove_handle(Multi, Easy);
        if (Easy != nullptr)
            curl_easy_cleanup(Easy);
        if (Multi != nullptr)
            curl_multi_cleanup(Multi);
    }
};

struct TMailboxClient::TImapReply {
    std::string Status; // OK, NO, BAD
    std::string Line;   // the tagged line
    struct TUntagged {
        std::string Text; // literals left as "{n}"
        std::vector<std::string> Literals;
    };
    std::vector<TUntagged> Untagged;
};

TMailboxClient::TMailboxClient(Desktop& desktop, TMailboxAccount account)
    : desktop_(desktop), account_(std::move(account)) {
    GlobalInit();
}

TMailboxClient::~TMailboxClient() {
    curl_.reset();
}

bool TMailboxClient::Connected() const {
    return curl_ != nullptr && curl_->Socket != CURL_SOCKET_BAD;
}

void TMailboxClient::Step(const std::string& line) {
    if (OnStep)
        OnStep(line);
}

void TMailboxClient::Fail(const std::string& message) {
    curl_.reset();
    throw ESocketError(message);
}

void TMailboxClient::Arm() {
    deadline_ = account_.TimeOut > 0 ? std::chrono::steady_clock::now() + std::chrono::seconds(account_.TimeOut)
                                     : std::chrono::steady_clock::time_point::max();
}

void TMailboxClient::Pump() {
    lastPump_ = std::chrono::steady_clock::now();
    desktop_.ProcessMessages();
}

void TMailboxClient::Open() {
    Connect();
    if (account_.Protocol == TMailProtocol::IMAP) {
        ImapOpenFolder();
    } else {
        std::string capabilities;
        if (Pop3Command("CAPA", true, &capabilities).starts_with("+OK"))
            pop3Pipelining_ = PosNoCase("\r\nPIPELINING", "\r\n" + capabilities) > 0;
        const std::string stat = Pop3Command("STAT", false);
        if (!stat.starts_with("+OK"))
            Fail("The mailbox server refused STAT: " + stat);
        count_ = static_cast<std::size_t>(VBVal(FirstWord(stat.substr(4))));
        Step("Mailbox: " + std::to_string(count_) + " mails");
    }
}

namespace {
CURLcode InstallCheck(CURL*, void* sslContext, void* check) {
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    TCertificateCheck::PrepareContext(ctx);
    static_cast<TCertificateCheck*>(check)->Install(ctx);
    return CURLE_OK;
}

int CollectReplies(CURL*, curl_infotype type, char* data, size_t size, void* replies) {
    // Only what the server says: the commands curl sends carry the password.
    if (type == CURLINFO_HEADER_IN)
        static_cast<std::vector<std::string>*>(replies)->push_back(WithoutLineEnd(std::string(data, size)));
    return 0;
}
} // namespace

void TMailboxClient::Connect() {
    curl_.reset();
    refusedCertificate_.reset();
    rbuf_.clear();
    rpos_ = 0;
    const TServerParts parts = SplitServer(Trim(account_.Server));
    host_ = parts.Host;
    if (host_.empty())
        throw ESocketError("No mailbox server is set: fill in the Mailbox page");
    port_ = parts.Port.empty() ? DefaultMailboxPort(account_.Protocol, account_.Security) : ParsePort(parts.Port);
    if (port_ == 0)
        throw ESocketError("The mailbox server's port is not a number from 1 to 65535: " + account_.Server);
    if (account_.User.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos ||
        account_.Password.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
        throw ESocketError("The mailbox user name or password contains a line break: enter them again on the "
                           "Mailbox page");
    if (account_.Security == TMailboxSecurity::None && !IsThisMachine(host_))
        throw ESocketError(SMailboxPasswordNeedsTls);

    const bool pop3 = account_.Protocol == TMailProtocol::POP3;
    const bool tls = account_.Security == TMailboxSecurity::TLS;
    const std::string scheme = std::string(pop3 ? "pop3" : "imap") + (tls ? "s" : "");
    const std::string hostInUrl = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
    const std::string url = scheme + "://" + hostInUrl + ":" + std::to_string(port_) + "/";

    auto c = std::make_unique<TCurl>();
    c->Multi = curl_multi_init();
    c->Easy = curl_easy_init();
    if (c->Multi == nullptr || c->Easy == nullptr)
        throw ESocketError("The network library could not be started");
    check_ = std::make_unique<TCertificateCheck>(host_, account_.TrustedCert);
    CURL* e = c->Easy;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "imap,imaps,pop3,pop3s");
    curl_easy_setopt(e, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, c->Error);
    curl_easy_setopt(e, CURLOPT_USERNAME, account_.User.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, account_.Password.c_str());
    if (account_.Security == TMailboxSecurity::STARTTLS)
        curl_easy_setopt(e, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    curl_easy_setopt(e, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    // The program's certificate check (installed on each handshake below) verifies the chain
    // and the host name or address, and admits the one certificate the user chose to trust;
    // curl's own name check would refuse that one again, so it is left to ours.
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    // The trusted authorities are the system's (or SSL_CERT_FILE / SSL_CERT_DIR), loaded by
    // the check as for SMTP; curl's own bundle would only be parsed a second time.
    curl_easy_setopt(e, CURLOPT_CAINFO, static_cast<const char*>(nullptr));
    curl_easy_setopt(e, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &InstallCheck);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, check_.get());
    curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, &CollectReplies);
    curl_easy_setopt(e, CURLOPT_DEBUGDATA, &c->Replies);
    curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
    if (account_.TimeOut > 0)
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, static_cast<long>(account_.TimeOut));
    curl_multi_add_handle(c->Multi, e);

    Arm();
    CURLcode result = CURLE_OK;
    for (;;) {
        if (canceled_)
            throw ECanceledError(SOperationCanceled);
        int running = 0;
        curl_multi_perform(c->Multi, &running);
        int left = 0;
        bool done = false;
        while (CURLMsg* m = curl_multi_info_read(c->Multi, &left))
            if (m->msg == CURLMSG_DONE && m->easy_handle == e) {
                result = m->data.result;
                done = true;
            }
        if (done)
            break;
        if (std::chrono::steady_clock::now() > deadline_)
            throw ETimedOutError(std::string(SOperationTimedOut) + " (connecting to the mailbox server " + host_ + ")");
        curl_multi_wait(c->Multi, nullptr, 0, SliceMs, nullptr);
        Pump();
    }
    const auto& verdict = check_->Verdict();
    if (verdict.Checked && !verdict.Trusted) {
        refusedCertificate_ = std::make_unique<ECertificateError>(check_->Error());
        Step("Failed: " + std::string(refusedCertificate_->what()));
        throw ECertificateError(*refusedCertificate_);
    }
    const std::string where = " (" + host_ + ":" + std::to_string(port_) + ")";
    const std::string detail = c->Error[0] != '\0' ? c->Error : curl_easy_strerror(result);
    std::string failure;
    switch (result) {
    case CURLE_OK:
        break;
    case CURLE_LOGIN_DENIED:
        Step("Failed: " + std::string(SMailboxLoginRefused));
        throw ELoginRefused(std::string(SMailboxLoginRefused) + where);
    case CURLE_USE_SSL_FAILED:
        failure = SMailboxNoTls;
        break;
    case CURLE_OPERATION_TIMEDOUT:
        Step("Failed: " + std::string(SOperationTimedOut));
        throw ETimedOutError(std::string(SOperationTimedOut) + " (the mailbox server" + where + ")");
    case CURLE_COULDNT_RESOLVE_HOST:
        failure = "The mailbox server's name could not be found" + where + ": " + detail;
        break;
    case CURLE_COULDNT_CONNECT:
        failure = "Cannot connect to the mailbox server" + where + ": " + detail;
        break;
    case CURLE_SSL_CONNECT_ERROR:
        failure = "The encrypted connection to the mailbox server" + where + " failed: " + detail;
        break;
    default:
        failure = "The mailbox server" + where + " could not be used: " + detail;
        break;
    }
    if (!failure.empty()) {
        Step("Failed: " + failure);
        throw ESocketError(failure);
    }
    curl_socket_t socket = CURL_SOCKET_BAD;
    curl_easy_getinfo(e, CURLINFO_ACTIVESOCKET, &socket);
    if (socket == CURL_SOCKET_BAD)
        throw ESocketError("The connection to the mailbox server" + where + " closed after the log-in");
    c->Socket = socket;
    if (!c->Replies.empty())
        Step("Connected to " + host_ + ":" + std::to_string(port_) + ": " + c->Replies.front());
    if (account_.Security != TMailboxSecurity::None) {
        std::string version = "TLS";
        curl_tlssessioninfo* info = nullptr;
        if (curl_easy_getinfo(e, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK && info != nullptr &&
            info->backend == CURLSSLBACKEND_OPENSSL && info->internals != nullptr)
            version = SSL_get_version(static_cast<SSL*>(info->internals));
        Step("Encrypted (" + version + ")" + (verdict.Accepted ? ", with the certificate you chose to trust" : ""));
    }
    Step("Logged in as " + account_.User);
    curl_ = std::move(c);
}

void TMailboxClient::WaitSocket(short events) {
    for (;;) {
        if (canceled_)
            throw ECanceledError(SOperationCanceled);
        const auto now = std::chrono::steady_clock::now();
        if (now > deadline_) {
            curl_.reset();
            throw ETimedOutError(std::string(SOperationTimedOut) + " (the mailbox server " + host_ +
                                 " did not answer)");
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - now).count();
        pollfd p{static_cast<int>(curl_->Socket), events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(SliceMs, left + 1)));
        if (n > 0 || (n < 0 && errno != EINTR))
            return; // ready, or an error the next read or write reports
        Pump();
        if (!Connected())
            Fail(SConnectionClosed);
    }
}

void TMailboxClient::SendText(const std::string& text) {
    if (!Connected())
        throw ESocketError(SNotConnected);
    Arm();
    std::size_t sent = 0;
    while (sent < text.size()) {
        std::size_t n = 0;
        const CURLcode rc = curl_easy_send(curl_->Easy, text.data() + sent, text.size() - sent, &n);
        if (rc == CURLE_AGAIN) {
            WaitSocket(POLLOUT);
            continue;
        }
        if (rc != CURLE_OK)
            Fail("The connection to the mailbox server broke: " + std::string(curl_easy_strerror(rc)));
        sent += n;
    }
}

bool TMailboxClient::Receive() {
    if (!Connected())
        throw ESocketError(SNotConnected);
    if (rpos_ > 65536 && rpos_ * 2 > rbuf_.size()) {
        rbuf_.erase(0, rpos_);
        rpos_ = 0;
    }
    if (std::chrono::steady_clock::now() - lastPump_ > std::chrono::milliseconds(SliceMs))
        Pump();
    char buffer[65536];
    for (;;) {
        std::size_t n = 0;
        const CURLcode rc = curl_easy_recv(curl_->Easy, buffer, sizeof buffer, &n);
        if (rc == CURLE_AGAIN) {
            WaitSocket(POLLIN);
            continue;
        }
        if (rc != CURLE_OK)
            Fail("The connection to the mailbox server broke: " + std::string(curl_easy_strerror(rc)));
        if (n == 0)
            return false;
        rbuf_.append(buffer, n);
        Arm(); // a reply that keeps coming is no stalled server
        return true;
    }
}

std::string TMailboxClient::ReadLine() {
    for (;;) {
        const std::size_t lf = rbuf_.find('\n', rpos_);
        if (lf != std::string::npos) {
            std::string line = rbuf_.substr(rpos_, lf - rpos_);
            rpos_ = lf + 1;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        if (rbuf_.size() - rpos_ > MaxLineLength)
            Fail(SLineTooLong);
        if (!Receive())
            Fail(std::string(SConnectionClosed) + " (the mailbox server " + host_ + ")");
    }
}

std::string TMailboxClient::ReadBytes(std::size_t n) {
    while (rbuf_.size() - rpos_ < n)
        if (!Receive())
            Fail(std::string(SConnectionClosed) + " (the mailbox server " + host_ + ", in the middle of a mail)");
    std::string bytes = rbuf_.substr(rpos_, n);
    rpos_ += n;
    return bytes;
}

// IMAP ----------------------------------------------------------------------------------------

std::string TMailboxClient::NextTag() {
    return "o" + std::to_string(++tag_);
}

TMailboxClient::TImapReply TMailboxClient::ImapCommand(const std::string& command) {
    const std::string tag = NextTag();
    SendText(tag + " " + command + "\r\n");
    return ReadImapReply(tag);
}

TMailboxClient::TImapReply TMailboxClient::ReadImapReply(const std::string& tag) {
    TImapReply reply;
    for (;;) {
        std::string line = ReadLine();
        if (line.starts_with(tag + " ")) {
            reply.Line = line;
            reply.Status = UpperCase(FirstWord(line.substr(tag.size() + 1)));
            return reply;
        }
        if (!line.starts_with("* "))
            continue; // nothing of ours: a continuation we never asked for
        TImapReply::TUntagged u;
        // A line that ends in a literal's length goes on after the literal's bytes.
        for (;;) {
            std::size_t open = line.rfind('{');
            if (line.empty() || line.back() != '}' || open == std::string::npos) {
                u.Text += line;
                break;
            }
            std::string digits = line.substr(open + 1, line.size() - open - 2);
            if (!digits.empty() && digits.back() == '+')
                digits.pop_back();
            if (digits.empty() || digits.size() > 12 ||
                !std::all_of(digits.begin(), digits.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
                u.Text += line;
                break;
            }
            u.Text += line;
            u.Literals.push_back(ReadBytes(static_cast<std::size_t>(std::stoull(digits))));
            line = ReadLine();
        }
        if (u.Text.starts_with("* BYE") && !loggingOut_)
            Fail("The mailbox server ended the session: " + u.Text.substr(2));
        if (onUntagged_)
            onUntagged_(u.Text, u.Literals);
        else
            reply.Untagged.push_back(std::move(u));
    }
}

void TMailboxClient::ImapOpenFolder() {
    const TImapReply capabilities = ImapCommand("CAPABILITY");
    for (const auto& u : capabilities.Untagged)
        if (PosNoCase(" UIDPLUS", u.Text + " ") > 0)
            imapUidPlus_ = true;
    readOnly_ = !account_.WillDelete;
    const std::string verb = readOnly_ ? "EXAMINE " : "SELECT ";
    const TImapReply opened = ImapCommand(verb + Quoted(account_.Folder));
    if (opened.Status != "OK") {
        const std::string why = "The mailbox server did not open the folder " + account_.Folder + ": " + opened.Line;
        Step("Failed: " + why);
        Fail(why);
    }
    for (const auto& u : opened.Untagged) {
        if (const auto v = NumberAfter(u.Text, "UIDVALIDITY"))
            uidValidity_ = static_cast<std::uint32_t>(v);
        if (const auto v = NumberAfter(u.Text, "UIDNEXT"))
            uidNext_ = static_cast<std::uint32_t>(v);
        const std::string rest = u.Text.substr(2);
        if (rest.find(" EXISTS") != std::string::npos)
            count_ = static_cast<std::size_t>(VBVal(FirstWord(rest)));
    }
    if (uidValidity_ == 0)
        Fail("The mailbox server gave no UIDVALIDITY for " + account_.Folder +
             ", without which a reply could be taken twice");
    Step("Folder " + account_.Folder + ": " + std::to_string(count_) + " mails" +
         (readOnly_ ? " (opened read-only)" : ""));
}

namespace {
// The content of "BODY[...]" in a FETCH response: its literal, else its quoted string.
std::string FetchedBody(const std::string& text, std::vector<std::string>& literals) {
    if (!literals.empty())
        return std::move(literals.front());
    const std::size_t body = text.find("BODY[");
    if (body == std::string::npos)
        return "";
    const std::size_t close = text.find("] ", body);
    if (close == std::string::npos || close + 2 >= text.size() || text[close + 2] != '"')
        return "";
    std::string value;
    for (std::size_t i = close + 3; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size())
            ++i;
        value += text[i];
    }
    return value;
}
} // namespace

std::vector<TMailSummary> TMailboxClient::List(std::uint32_t fromUid) {
    std::vector<TMailSummary> mails;
    if (account_.Protocol == TMailProtocol::POP3) {
        std::string body;
        const std::string status = Pop3Command("UIDL", true, &body);
        if (!status.starts_with("+OK"))
            Fail("The mailbox server does not give mails lasting names (UIDL), without which a reply could be taken "
                 "twice: use IMAP if the provider offers it");
        std::size_t start = 0;
        while (start < body.size()) {
            std::size_t end = body.find("\r\n", start);
            if (end == std::string::npos)
                end = body.size();
            const std::string line = body.substr(start, end - start);
            start = end + 2;
            const std::size_t blank = line.find(' ');
            if (blank == std::string::npos)
                continue;
            TMailSummary m;
            m.Number = VBVal(line.substr(0, blank));
            m.Key = Trim(line.substr(blank + 1));
            if (m.Number > 0 && !m.Key.empty())
                mails.push_back(std::move(m));
        }
        return mails;
    }
    if (count_ == 0)
        return mails;
    const std::string tag = NextTag();
    SendText(tag + " UID FETCH " + std::to_string(std::max<std::uint32_t>(fromUid, 1)) +
             ":* (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (" + kHeaderFields + ")])\r\n");
    TImapReply reply = ReadImapReply(tag);
    if (reply.Status != "OK")
        Fail("The mailbox server refused to list the mails: " + reply.Line);
    for (auto& u : reply.Untagged) {
        if (u.Text.find(" FETCH ") == std::string::npos)
            continue;
        TMailSummary m;
        m.Uid = static_cast<std::uint32_t>(NumberAfter(u.Text, "UID"));
        // "n:*" names the last mail even when its UID is below n.
        if (m.Uid == 0 || m.Uid < fromUid)
            continue;
        m.Key = std::to_string(m.Uid);
        m.Size = NumberAfter(u.Text, "RFC822.SIZE");
        m.Headers = FetchedBody(u.Text, u.Literals);
        m.HeadersRead = true;
        mails.push_back(std::move(m));
    }
    std::sort(mails.begin(), mails.end(), [](const auto& a, const auto& b) { return a.Uid < b.Uid; });
    return mails;
}

void TMailboxClient::ReadHeaders(std::vector<TMailSummary*> mails) {
    if (account_.Protocol != TMailProtocol::POP3)
        return;
    const std::size_t depth = pop3Pipelining_ ? PipelineDepth : 1;
    for (std::size_t from = 0; from < mails.size(); from += depth) {
        const std::size_t to = std::min(mails.size(), from + depth);
        std::string commands;
        for (std::size_t i = from; i < to; ++i)
            commands += "TOP " + std::to_string(mails[i]->Number) + " 0\r\n";
        SendText(commands);
        for (std::size_t i = from; i < to; ++i) {
            const std::string status = ReadPop3Status();
            if (!status.starts_with("+OK"))
                continue; // gone meanwhile, or no TOP: judged again next time
            mails[i]->Headers = ReadPop3Body();
            mails[i]->HeadersRead = true;
        }
    }
}

std::string TMailboxClient::Fetch(const TMailSummary& mail) {
    std::string result;
    bool got = false;
    FetchMany({&mail}, [&](const TMailSummary&, std::string&& content) {
        result = std::move(content);
        got = true;
    });
    if (!got)
        Fail("The mailbox server did not send the mail " + mail.Key + " (deleted meanwhile?)");
    return result;
}

void TMailboxClient::FetchMany(const std::vector<const TMailSummary*>& mails,
                               const std::function<void(const TMailSummary&, std::string&&)>& deliver) {
    if (account_.Protocol == TMailProtocol::POP3) {
        const std::size_t depth = pop3Pipelining_ ? PipelineDepth : 1;
        for (std::size_t from = 0; from < mails.size(); from += depth) {
            const std::size_t to = std::min(mails.size(), from + depth);
            std::string commands;
            for (std::size_t i = from; i < to; ++i)
                commands += "RETR " + std::to_string(mails[i]->Number) + "\r\n";
            SendText(commands);
            for (std::size_t i = from; i < to; ++i) {
                const std::string status = ReadPop3Status();
                if (!status.starts_with("+OK"))
                    continue;
                deliver(*mails[i], ReadPop3Body());
            }
        }
        return;
    }
    for (std::size_t from = 0; from < mails.size(); from += UidsPerCommand) {
        const std::size_t to = std::min(mails.size(), from + UidsPerCommand);
        std::string set;
        for (std::size_t i = from; i < to; ++i)
            set += (set.empty() ? "" : ",") + std::to_string(mails[i]->Uid);
        const std::string tag = NextTag();
        SendText(tag + " UID FETCH " + set + " (UID BODY.PEEK[])\r\n");
        // Each mail goes on as soon as it is read, so that only one is held at a time.
        onUntagged_ = [&](std::string& text, std::vector<std::string>& literals) {
            if (text.find(" FETCH ") == std::string::npos)
                return;
            const auto uid = static_cast<std::uint32_t>(NumberAfter(text, "UID"));
            for (std::size_t i = from; i < to; ++i)
                if (mails[i]->Uid == uid) {
                    deliver(*mails[i], FetchedBody(text, literals));
                    return;
                }
        };
        TImapReply reply;
        try {
            reply = ReadImapReply(tag);
        } catch (...) {
            onUntagged_ = nullptr;
            throw;
        }
        onUntagged_ = nullptr;
        if (reply.Status != "OK")
            Fail("The mailbox server refused to send mails: " + reply.Line);
    }
}

void TMailboxClient::Delete(const TMailSummary& mail) {
    if (account_.Protocol == TMailProtocol::POP3) {
        const std::string status = Pop3Command("DELE " + std::to_string(mail.Number), false);
        if (!status.starts_with("+OK"))
            throw ESocketError("The mailbox server did not delete the mail: " + status);
        return;
    }
    if (readOnly_)
        throw ESocketError("The folder was opened read-only");
    const std::string uid = std::to_string(mail.Uid);
    TImapReply stored = ImapCommand("UID STORE " + uid + " +FLAGS.SILENT (\\Deleted)");
    if (stored.Status != "OK")
        throw ESocketError("The mailbox server did not delete the mail: " + stored.Line);
    // EXPUNGE alone would also remove every other mail marked deleted, by another program or
    // the user: only the one named goes. Without UIDPLUS it stays marked, for the user's own
    // mail program to remove.
    if (imapUidPlus_) {
        TImapReply expunged = ImapCommand("UID EXPUNGE " + uid);
        if (expunged.Status != "OK")
            throw ESocketError("The mailbox server did not remove the mail: " + expunged.Line);
    }
}

bool TMailboxClient::Close() {
    if (!Connected())
        return false;
    bool confirmed = false;
    try {
        if (account_.Protocol == TMailProtocol::POP3) {
            const std::string reply = Pop3Command("QUIT", false);
            Step("Logged out: " + reply);
            confirmed = reply.starts_with("+OK");
        } else {
            loggingOut_ = true;
            const TImapReply reply = ImapCommand("LOGOUT");
            Step("Logged out: " + reply.Line);
            confirmed = reply.Status == "OK";
        }
    } catch (const std::exception& e) {
        Step(std::string("Log-out failed: ") + e.what());
    }
    curl_.reset();
    return confirmed;
}

// POP3 ----------------------------------------------------------------------------------------

std::string TMailboxClient::ReadPop3Status() {
    std::string line = ReadLine();
    if (!line.starts_with("+OK") && !line.starts_with("-ERR"))
        Fail("The mailbox server answered out of turn: " + line);
    return line;
}

std::string TMailboxClient::ReadPop3Body() {
    std::string body;
    for (;;) {
        std::string line = ReadLine();
        if (line == ".")
            return body;
        if (line.starts_with(".."))
            line.erase(0, 1);
        body += line;
        body += "\r\n";
    }
}

std::string TMailboxClient::Pop3Command(const std::string& command, bool multiLine, std::string* body) {
    SendText(command + "\r\n");
    const std::string status = ReadPop3Status();
    if (multiLine && status.starts_with("+OK")) {
        std::string content = ReadPop3Body();
        if (body != nullptr)
            *body = std::move(content);
    }
    return status;
}

} // namespace ostrel
