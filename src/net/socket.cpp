#include "net/socket.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "net/certificate.h"
#include "platform/desktop.h"
#include "util/debug_log.h"
#include "util/error.h"
#include "util/file_io.h"

namespace ostrel {

namespace {

// How long one poll() may block before the desktop gets to run its events again.
constexpr int PollSliceMs = 10;
// Bytes asked of one recv(); replies are short, but a block read keeps system calls few.
constexpr std::size_t ReceiveBlock = 4096;
// Data bytes taken from the stream per send, which is also the step of the progress events.
constexpr std::size_t StreamChunk = 2047;
// Lines of one reply that reach the log; a server that sends lines without end must not fill
// the memory through it.
constexpr std::size_t ReplyLinesLogged = 200;

// OpenSSL's last error, in words.
std::string TlsErrorText() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "TLS failed";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return std::string("TLS failed: ") + text;
}

const std::map<int, const char*>& ErrorTexts() {
    static const std::map<int, const char*> texts = {
        {10000, "No Error"},
        {10004, "Interrupted function call"},
        {10009, "Bad file number"},
        {10013, "Permission denied."},
        {10014, "Bad address"},
        {10022, "Invalid argument"},
        {10024, "Too many open files"},
        {10035, "Resource temporarily not available"},
        {10036, "Operation now in progress"},
        {10037, "Operation already in progress"},
        {10038, "Socket operation on non-socket"},
        {10039, "Destination address required"},
        {10040, "Message too long"},
        {10041, "Protocol wrong type for socket"},
        {10042, "Bad protocol option"},
        {10043, "Protocol not supported"},
        {10044, "Socket type not supported"},
        {10045, "Operation not supported"},
        {10046, "Protocol family not supported"},
        {10047, "Address family not supported by protocol family"},
        {10048, "Address already in use"},
        {10049, "Cannot assign requested address"},
        {10050, "Network is down"},
        {10051, "Network is unreachable"},
        {10052, "Network dropped connection or reset"},
        {10053, "Software caused connection abort"},
        {10054, "Connection reset by peer"},
        {10055, "No buffer space available"},
        {10056, "Socket is already connected"},
        {10057, "Socket is not connected"},
        {10058, "Can't send after socket shutdown"},
        {10059, "Too many references, can't splice"},
        {10060, "Connection timed out"},
        {10061, "Connection refused"},
        {10062, "Too many levels of symbolic links"},
        {10063, "File name too long"},
        {10064, "Host is down"},
        {10065, "No Route to Host"},
        {10066, "Directory not empty"},
        {10067, "Too many processes"},
        {10068, "Too many users"},
        {10069, "Disc Quota Exceeded"},
        {10070, "Stale NFS file handle"},
        {10071, "Too many levels of remote in path"},
        {10091, "Network subsystem is unavailable"},
        {10092, "WINSOCK DLL Version out of range"},
        {10093, "Successful WSAStartup() not yet performed"},
        {10094, "Graceful shutdown in progress"},
        {11001, "Host not found"},
        {11002, "Non-Authoritative Host not found"},
        {11003, "Non-Recoverable errors: FORMERR, REFUSED, NOTIMP"},
        {11004, "Valid name, no data record of requested type"},
    };
    return texts;
}

// The layer's own messages are shown without a number in brackets.
const std::map<int, const char*>& OwnTexts() {
    static const std::map<int, const char*> texts = {
        {57000, SOperationTimedOut},      {57001, SOperationCanceled},
        {57002, SServerRequired},         {57003, "Invalid Winsock version"},
        {57004, SErrorResolving},         {57005, SServiceRequired},
        {57008, SNotConnected},           {57010, "Function %s not found"},
        {57011, "Winsock is not loaded"}, {57012, "Winsock not found"},
    };
    return texts;
}

std::string AddressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto* a6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &a6->sin6_addr, text, sizeof text);
    } else {
        const auto* a4 = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &a4->sin_addr, text, sizeof text);
    }
    return text;
}

void SetAddressPort(sockaddr_storage& address, std::uint16_t port) {
    if (address.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(&address)->sin_port = htons(port);
}

// Errors after which the next address of a name is worth a try.
bool TryNextAddress(int err) {
    return err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == EADDRNOTAVAIL ||
           err == EAFNOSUPPORT || err == ETIMEDOUT;
}

// Nearest integer, a half going to the even neighbour, of numerator / denominator.
int RoundedPercent(std::uint64_t position, std::uint64_t size) {
    if (size == 0)
        return 100;
    const std::uint64_t q = position * 100;
    std::uint64_t whole = q / size;
    const std::uint64_t twice = 2 * (q % size);
    if (twice > size || (twice == size && (whole & 1) != 0))
        ++whole;
    return static_cast<int>(whole);
}

} // namespace

// One name look-up on its helper thread. The thread owns a share, so a look-up abandoned on
// time-out or cancel finishes harmlessly on its own.
struct TagSocket::TLookup {
    int Event = -1; // eventfd the thread signals when done
    std::atomic<bool> Done{false};
    int Result = 0;
    int Errno = 0;
    std::vector<sockaddr_storage> Addresses;
    std::vector<socklen_t> Lengths;
    ~TLookup() {
        if (Event != -1)
            ::close(Event);
    }
};

namespace {

// How long the greeting name may take to look up before the address literal is used instead.
constexpr auto DomainNameLimit = std::chrono::seconds(5);

// This machine's fully qualified name once looked up; empty when it has none.
std::optional<std::string>& CachedDomainName() {
    static std::optional<std::string> name;
    return name;
}

bool IsQualifiedName(const std::string& name) {
    if (name.find('.') == std::string::npos || name.front() == '.' || name.back() == '.')
        return false;
    std::string lower;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && c != '-' && c != '.')
            return false;
        lower += static_cast<char>(std::tolower(u));
    }
    return lower.rfind("localhost", 0) != 0;
}

} // namespace

// The encrypted channel over the socket.
struct TagSocket::TTls {
    SSL* Ssl = nullptr;
    // The check the context calls back into; it lives as long as the connection it judges.
    std::unique_ptr<TCertificateCheck> Check;
    ~TTls() {
        if (Ssl != nullptr)
            SSL_free(Ssl);
    }
};

std::string SocketErrorText(int code) {
    const auto& own = OwnTexts();
    if (auto it = own.find(code); it != own.end())
        return it->second;
    const auto& texts = ErrorTexts();
    if (auto it = texts.find(code); it != texts.end())
        return "[" + std::to_string(code == 10000 ? 0 : code) + "] " + it->second;
    return "Error #" + std::to_string(code);
}

int SocketErrorFromErrno(int err) {
    switch (err) {
    case 0:
        return 0;
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
    case EPERM:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
    case EAGAIN:
        return 10035;
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
    case EPIPE:
        return 10054;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    case EUSERS:
        return 10068;
    case EDQUOT:
        return 10069;
    case ESTALE:
        return 10070;
    case EREMOTE:
        return 10071;
    default:
        return err; // below the table's range: shown as "Error #" and the number
    }
}

int SocketErrorFromResolver(int gaiResult, int err) {
    switch (gaiResult) {
    case 0:
        return 0;
    case EAI_NONAME:
        return 11001;
    case EAI_AGAIN:
        return 11002;
    case EAI_FAIL:
        return 11003;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return 11004;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
        return 11004;
#endif
    case EAI_MEMORY:
        return 10055;
    case EAI_SYSTEM:
        return err != 0 ? SocketErrorFromErrno(err) : 57004;
    default:
        return 57004;
    }
}

TServerParts SplitServer(const std::string& server) {
    TServerParts parts;
    if (!server.empty() && server.front() == '[') {
        const auto close = server.find(']');
        if (close != std::string::npos) {
            parts.Host = server.substr(1, close - 1);
            if (close + 1 < server.size() && server[close + 1] == ':')
                parts.Port = server.substr(close + 2);
            return parts;
        }
    }
    const auto colon = server.find(':');
    if (colon == std::string::npos) {
        parts.Host = server;
        return parts;
    }
    // A bare IPv6 literal has several colons and no port.
    in6_addr probe{};
    if (server.find(':', colon + 1) != std::string::npos && inet_pton(AF_INET6, server.c_str(), &probe) == 1) {
        parts.Host = server;
        return parts;
    }
    parts.Host = server.substr(0, colon);
    parts.Port = server.substr(colon + 1);
    return parts;
}

std::uint16_t ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5)
        return 0;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= 65535 ? static_cast<std::uint16_t>(value) : 0;
}

TagSocket::TagSocket(Desktop& desktop) : desktop_(desktop) {}

TagSocket::~TagSocket() {
    tls_.reset();
    if (fd_ != -1)
        ::close(fd_);
    if (LogFileName.empty())
        return;
    try {
        WriteLog();
    } catch (const std::exception& e) {
        // A destructor must not throw; the debug log keeps the trace.
        try {
            WriteDebugLog("SMTP log not written: " + std::string(e.what()));
        } catch (...) {
        }
    }
}

void TagSocket::WriteLog() {
    std::string content;
    for (const auto& line : LogLines) {
        content += line;
        content += "\r\n";
    }
    WriteFileAtomic(LogFileName, content);
}

void TagSocket::ResetState() {
    canceled_ = false;
    timedOut_ = false;
    armed_ = false;
    lookup_.reset();
}

void TagSocket::Arm() {
    if (TimeOut > 0) {
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(TimeOut);
        if (replyBound_)
            deadline_ = std::min(deadline_, replyDeadline_);
        armed_ = true;
    } else {
        armed_ = false;
    }
}

void TagSocket::BeginReplyBound() {
    replyLinesLogged_ = 0;
    replyBound_ = TimeOut > 0;
    if (replyBound_)
        replyDeadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(TimeOut);
}

void TagSocket::EndReplyBound() {
    replyBound_ = false;
}

TagSocket::TWait TagSocket::WaitFor(short events) {
    return WaitOn(fd_, events);
}

TagSocket::TWait TagSocket::WaitOn(int fd, short events) {
    const bool onSocket = fd != -1 && fd == fd_;
    for (;;) {
        if (canceled_)
            return TWait::Canceled;
        if (timedOut_)
            return TWait::TimedOut;
        int slice = PollSliceMs;
        if (armed_) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                timedOut_ = true;
                armed_ = false;
                lookup_.reset();
                return TWait::TimedOut;
            }
            slice = static_cast<int>(std::min<long long>(slice, left.count()));
        }
        if (fd == -1) {
            waitError_ = ENOTCONN;
            return TWait::Error;
        }
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, slice);
        if (n > 0)
            return TWait::Ready;
        if (n < 0 && errno != EINTR) {
            waitError_ = errno;
            return TWait::Error;
        }
        desktop_.ProcessMessages();
        // A handler may have closed the socket meanwhile (or even opened another on the same
        // number); either way this wait is over.
        if (onSocket && fd_ != fd && !canceled_) {
            waitError_ = ENOTCONN;
            return TWait::Error;
        }
    }
}

void TagSocket::CheckWaitResult(TWait result) {
    switch (result) {
    case TWait::Ready:
        return;
    case TWait::Canceled:
        RaiseCanceled();
    case TWait::TimedOut:
        RaiseTimedOut();
    case TWait::Error:
        RaiseSocketError(SocketErrorFromErrno(waitError_));
    }
}

void TagSocket::RaiseSocketError(int code) {
    RaiseSocketErrorText(SocketErrorText(code));
}

void TagSocket::RaiseSocketErrorText(std::string message) {
    armed_ = false;
    if (OnError)
        OnError(*this, message);
    throw ESocketError(message);
}

void TagSocket::RaiseTimedOut() {
    armed_ = false;
    std::string message = SOperationTimedOut;
    if (OnError)
        OnError(*this, message);
    Close();
    throw ETimedOutError(SOperationTimedOut);
}

void TagSocket::RaiseCanceled() {
    armed_ = false;
    std::string message = SOperationCanceled;
    if (OnError)
        OnError(*this, message);
    throw ECanceledError(SOperationCanceled);
}

void TagSocket::Open() {
    if (OnOpen)
        OnOpen(*this);
    if (Server.empty())
        RaiseSocketError(57002);
    if (fd_ != -1) {
        // A stale socket from an earlier run is dropped quietly; this is a fresh start.
        tls_.reset();
        ::close(fd_);
        fd_ = -1;
    }
    const TServerParts parts = SplitServer(Server);

    char name[512] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0')
        LocalHostName = name;
    else
        LocalHostName = parts.Host;

    addresses_.clear();
    addressLengths_.clear();
    addressIndex_ = 0;
    sockaddr_storage address{};
    auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, parts.Host.c_str(), &a4->sin_addr) == 1) {
        a4->sin_family = AF_INET;
        addresses_.push_back(address);
        addressLengths_.push_back(sizeof(sockaddr_in));
        RemoteAddress = parts.Host;
    } else if (inet_pton(AF_INET6, parts.Host.c_str(), &a6->sin6_addr) == 1) {
        a6->sin6_family = AF_INET6;
        addresses_.push_back(address);
        addressLengths_.push_back(sizeof(sockaddr_in6));
        RemoteAddress = AddressText(address);
    } else {
        ResolveHost(parts.Host);
    }

    port_ = ParsePort(parts.Port);
    if (port_ == 0) {
        if (ServiceName.empty())
            RaiseSocketError(57005);
        if (canceled_)
            RaiseCanceled();
        // The services database is a local file; reading it does not wait on the network.
        const servent* service = ::getservbyname(ServiceName.c_str(), "tcp");
        port_ = service != nullptr ? ntohs(static_cast<std::uint16_t>(service->s_port)) : DefaultPort;
    }
    for (auto& a : addresses_)
        SetAddressPort(a, port_);
    CreateSocket();
}

void TagSocket::ResolveHost(const std::string& host) {
    auto lookup = std::make_shared<TLookup>();
    lookup->Event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (lookup->Event == -1)
        RaiseSocketError(SocketErrorFromErrno(errno));
    try {
        std::thread([lookup, host] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            lookup->Result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
            lookup->Errno = errno;
            for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
                if (a->ai_family != AF_INET && a->ai_family != AF_INET6)
                    continue;
                sockaddr_storage s{};
                std::memcpy(&s, a->ai_addr, a->ai_addrlen);
                lookup->Addresses.push_back(s);
                lookup->Lengths.push_back(a->ai_addrlen);
            }
            if (found != nullptr)
                ::freeaddrinfo(found);
            lookup->Done.store(true, std::memory_order_release);
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto written = ::write(lookup->Event, &one, sizeof one);
        }).detach();
    } catch (const std::system_error&) {
        RaiseSocketError(57004);
    }
    lookup_ = lookup;
    Arm();
    const TWait result = WaitOn(lookup->Event, POLLIN);
    armed_ = false;
    lookup_.reset();
    if (result == TWait::Ready && lookup->Done.load(std::memory_order_acquire) && lookup->Result != 0)
        RaiseSocketError(SocketErrorFromResolver(lookup->Result, lookup->Errno));
    if (result != TWait::Ready)
        CheckWaitResult(result);
    desktop_.ProcessMessages();
    if (lookup->Addresses.empty())
        RaiseSocketError(57004);
    addresses_ = lookup->Addresses;
    addressLengths_ = lookup->Lengths;
    RemoteAddress = AddressText(addresses_.front());
}

void TagSocket::CreateSocket() {
    rbuf_.clear();
    rbufPos_ = 0;
    peerClosed_ = false;
    const int family = addresses_.at(addressIndex_).ss_family;
    fd_ = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ == -1)
        RaiseSocketError(SocketErrorFromErrno(errno));
    // Commands and the end of data are small writes followed by a read; without this the
    // delayed acknowledgement of the peer would stall every exchange.
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void TagSocket::ConnectSocket() {
    if (canceled_)
        RaiseCanceled();
    if (fd_ == -1)
        RaiseSocketError(57008);
    for (;;) {
        Arm();
        int err = 0;
        const auto* address = reinterpret_cast<const sockaddr*>(&addresses_[addressIndex_]);
        if (::connect(fd_, address, addressLengths_[addressIndex_]) != 0) {
            err = errno;
            if (err == EINPROGRESS || err == EINTR) {
                const TWait result = WaitFor(POLLOUT);
                armed_ = false;
                if (result == TWait::Canceled)
                    RaiseCanceled();
                if (result == TWait::TimedOut)
                    RaiseTimedOut();
                if (result == TWait::Error) {
                    err = waitError_;
                } else {
                    socklen_t length = sizeof err;
                    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
                        err = errno;
                }
            }
        }
        armed_ = false;
        if (err == 0)
            break;
        if (addressIndex_ + 1 < addresses_.size() && TryNextAddress(err)) {
            ::close(fd_);
            fd_ = -1;
            ++addressIndex_;
            CreateSocket();
            continue;
        }
        RaiseSocketError(SocketErrorFromErrno(err));
    }
    RemoteAddress = AddressText(addresses_[addressIndex_]);
    if (OnConnect)
        OnConnect(*this);
}

bool TagSocket::FillBuffer() {
    if (rbufPos_ > 0 && rbufPos_ >= rbuf_.size() / 2) {
        rbuf_.erase(0, rbufPos_);
        rbufPos_ = 0;
    }
    for (;;) {
        const std::size_t used = rbuf_.size();
        rbuf_.resize(used + ReceiveBlock);
        if (tls_) {
            std::size_t got = 0;
            const int rc = SSL_read_ex(tls_->Ssl, rbuf_.data() + used, ReceiveBlock, &got);
            const int err = errno;
            rbuf_.resize(used + (rc == 1 ? got : 0));
            if (rc == 1)
                return true;
            switch (SSL_get_error(tls_->Ssl, rc)) {
            case SSL_ERROR_WANT_READ:
                CheckWaitResult(WaitFor(POLLIN));
                continue;
            case SSL_ERROR_WANT_WRITE:
                CheckWaitResult(WaitFor(POLLOUT));
                continue;
            case SSL_ERROR_ZERO_RETURN:
                peerClosed_ = true;
                return false;
            case SSL_ERROR_SYSCALL:
                if (err == EINTR)
                    continue;
                if (canceled_)
                    RaiseCanceled();
                RaiseSocketError(SocketErrorFromErrno(err != 0 ? err : ECONNRESET));
            default:
                if (canceled_)
                    RaiseCanceled();
                RaiseSocketErrorText(TlsErrorText());
            }
        }
        const ssize_t n = ::recv(fd_, rbuf_.data() + used, ReceiveBlock, 0);
        const int err = errno;
        rbuf_.resize(used + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n > 0)
            return true;
        if (n == 0) {
            peerClosed_ = true;
            return false;
        }
        if (err == EINTR)
            continue;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            CheckWaitResult(WaitFor(POLLIN));
            continue;
        }
        if (canceled_)
            RaiseCanceled();
        RaiseSocketError(SocketErrorFromErrno(err));
    }
}

std::string TagSocket::ReadLine() {
    if (!Connected())
        RaiseSocketError(57008);
    Arm();
    // Over TLS, bytes may wait decrypted inside the library while the socket shows nothing;
    // FillBuffer waits when there is really nothing to read.
    if (!tls_ && rbuf_.find('\n', rbufPos_) == std::string::npos && !peerClosed_) {
        const TWait first = WaitFor(POLLIN);
        if (first != TWait::Ready) {
            armed_ = false;
            CheckWaitResult(first);
        }
    }
    std::string line;
    auto finish = [&] {
        armed_ = false;
        const bool logged = !replyBound_ || replyLinesLogged_++ < ReplyLinesLogged;
        if (!LogFileName.empty() && logged)
            LogLines.push_back(line);
        if (OnLineReceived)
            OnLineReceived(*this, line);
    };
    try {
        bool complete = false;
        // Bytes after rbufPos_ already searched for a line feed; relative, because
        // FillBuffer may move the unread rest to the front.
        std::size_t searched = 0;
        for (;;) {
            const auto lf = rbuf_.find('\n', rbufPos_ + searched);
            if (lf != std::string::npos) {
                line.assign(rbuf_, rbufPos_, lf - rbufPos_);
                rbufPos_ = lf + 1;
                complete = true;
                break;
            }
            searched = rbuf_.size() - rbufPos_;
            if (searched > MaxLineLength) {
                // The rest of the stream cannot be trusted to be in step with the commands.
                rbuf_.clear();
                rbufPos_ = 0;
                RaiseSocketErrorText(SLineTooLong);
            }
            if (peerClosed_) {
                rbuf_.clear();
                rbufPos_ = 0;
                break;
            }
            FillBuffer();
        }
        if (complete) {
            while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
                line.pop_back();
            CheckReply(line);
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
    return line;
}

void TagSocket::SendAll(const char* data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        if (fd_ == -1)
            RaiseSocketError(57008);
        if (tls_) {
            std::size_t written = 0;
            const int rc = SSL_write_ex(tls_->Ssl, data + sent, size - sent, &written);
            const int err = errno;
            if (rc == 1) {
                sent += written;
                if (sent < size)
                    Arm();
                continue;
            }
            switch (SSL_get_error(tls_->Ssl, rc)) {
            case SSL_ERROR_WANT_WRITE:
                CheckWaitResult(WaitFor(POLLOUT));
                continue;
            case SSL_ERROR_WANT_READ:
                CheckWaitResult(WaitFor(POLLIN));
                continue;
            case SSL_ERROR_SYSCALL:
                if (err == EINTR)
                    continue;
                if (canceled_)
                    RaiseCanceled();
                RaiseSocketError(SocketErrorFromErrno(err != 0 ? err : EPIPE));
            default:
                if (canceled_)
                    RaiseCanceled();
                RaiseSocketErrorText(TlsErrorText());
            }
        }
        const ssize_t n = ::send(fd_, data + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            if (sent < size)
                Arm(); // the peer is taking data: the time-out counts idle time
            continue;
        }
        const int err = errno;
        if (n < 0 && err == EINTR)
            continue;
        if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
            CheckWaitResult(WaitFor(POLLOUT));
            continue;
        }
        if (canceled_)
            RaiseCanceled();
        RaiseSocketError(SocketErrorFromErrno(n < 0 ? err : EPIPE));
    }
}

void TagSocket::SendLine(const std::string& text) {
    if (!Connected())
        RaiseSocketError(57008);
    const std::string data = text + "\r\n";
    Arm();
    SendAll(data.data(), data.size());
    armed_ = false;
    LogSent(text);
}

void TagSocket::SendLines(const std::vector<std::string>& lines) {
    if (!Connected())
        RaiseSocketError(57008);
    std::string data;
    for (const auto& line : lines)
        data += line + "\r\n";
    Arm();
    SendAll(data.data(), data.size());
    armed_ = false;
    for (const auto& line : lines)
        LogSent(line);
}

void TagSocket::SendSecretLine(const std::string& text, const std::string& shown) {
    if (!Connected())
        RaiseSocketError(57008);
    std::string data = text + "\r\n";
    Arm();
    SendAll(data.data(), data.size());
    armed_ = false;
    std::fill(data.begin(), data.end(), '\0');
    LogSent(shown);
}

void TagSocket::LogSent(const std::string& shown) {
    if (!LogFileName.empty())
        LogLines.push_back(shown);
    if (OnLineSent)
        OnLineSent(*this, shown);
}

void TagSocket::StartTLS(const std::string& host, const std::string& trustedFingerprint) {
    if (!Connected())
        RaiseSocketError(57008);
    // Whatever came after the reply that agreed to encrypt was sent in clear by someone; taking
    // it as the first encrypted reply would let it speak for the server.
    if (rbufPos_ < rbuf_.size())
        RaiseSocketErrorText(SDataBeforeTls);
    if (!sslContext_) {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        if (ctx == nullptr)
            RaiseSocketErrorText(TlsErrorText());
        TCertificateCheck::PrepareContext(ctx);
        SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        // Servers often close without a TLS goodbye after QUIT; the replies have framing of
        // their own, so that end is taken as a close.
        SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
        sslContext_.reset(ctx, SSL_CTX_free);
    }
    auto tls = std::make_unique<TTls>();
    tls->Check = std::make_unique<TCertificateCheck>(host, trustedFingerprint);
    TCertificateCheck& check = *tls->Check;
    check.Install(sslContext_.get());
    tls->Ssl = SSL_new(sslContext_.get());
    if (tls->Ssl == nullptr || SSL_set_fd(tls->Ssl, fd_) != 1)
        RaiseSocketErrorText(TlsErrorText());
    // A second handshake in the middle of the dialogue could bring another certificate after
    // the one that was judged.
    SSL_set_options(tls->Ssl, SSL_OP_NO_RENEGOTIATION);
    unsigned char address[16];
    const bool literal =
        inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
    if (!literal) // the name the server picks its certificate by (the macro for it casts the old way)
        SSL_ctrl(tls->Ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, const_cast<char*>(host.c_str()));
    ERR_clear_error();
    Arm();
    for (;;) {
        const int rc = SSL_connect(tls->Ssl);
        if (rc == 1)
            break;
        const int err = errno;
        const int sslError = SSL_get_error(tls->Ssl, rc);
        if (sslError == SSL_ERROR_WANT_READ) {
            CheckWaitResult(WaitFor(POLLIN));
            continue;
        }
        if (sslError == SSL_ERROR_WANT_WRITE) {
            CheckWaitResult(WaitFor(POLLOUT));
            continue;
        }
        armed_ = false;
        if (canceled_)
            RaiseCanceled();
        if (check.Verdict().Checked && !check.Verdict().Trusted) {
            ERR_clear_error();
            ECertificateError error = check.Error();
            std::string message = error.what();
            if (OnError)
                OnError(*this, message);
            throw error;
        }
        if (sslError == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
            RaiseSocketErrorText(err != 0 ? SocketErrorText(SocketErrorFromErrno(err))
                                          : "The server closed the connection during the TLS handshake");
        RaiseSocketErrorText(TlsErrorText());
    }
    armed_ = false;
    tls_ = std::move(tls);
}

std::string TagSocket::GreetingName() {
    auto& cached = CachedDomainName();
    if (!cached) {
        auto lookup = std::make_shared<TLookup>();
        lookup->Event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        std::shared_ptr<std::string> found = std::make_shared<std::string>();
        bool started = lookup->Event != -1;
        if (started) {
            try {
                std::thread([lookup, found] {
                    char name[512] = {};
                    if (::gethostname(name, sizeof name - 1) == 0) {
                        *found = name;
                        addrinfo hints{};
                        hints.ai_flags = AI_CANONNAME;
                        hints.ai_socktype = SOCK_STREAM;
                        addrinfo* result = nullptr;
                        if (::getaddrinfo(name, nullptr, &hints, &result) == 0 && result != nullptr) {
                            if (result->ai_canonname != nullptr)
                                *found = result->ai_canonname;
                            ::freeaddrinfo(result);
                        }
                    }
                    lookup->Done.store(true, std::memory_order_release);
                    const std::uint64_t one = 1;
                    [[maybe_unused]] const auto written = ::write(lookup->Event, &one, sizeof one);
                }).detach();
            } catch (const std::system_error&) {
                started = false;
            }
        }
        if (started) {
            const bool wasTimedOut = timedOut_;
            deadline_ = std::chrono::steady_clock::now() + DomainNameLimit;
            armed_ = true;
            const TWait result = WaitOn(lookup->Event, POLLIN);
            armed_ = false;
            if (result == TWait::Canceled)
                RaiseCanceled();
            // A slow resolver costs the name, not the send.
            timedOut_ = wasTimedOut;
            if (result == TWait::Ready && lookup->Done.load(std::memory_order_acquire))
                cached = IsQualifiedName(*found) ? *found : std::string();
        }
    }
    if (cached && !cached->empty())
        return *cached;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (fd_ == -1 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return "[127.0.0.1]";
    if (local.ss_family == AF_INET6) {
        const auto* a6 = reinterpret_cast<const sockaddr_in6*>(&local);
        if (IN6_IS_ADDR_V4MAPPED(&a6->sin6_addr)) {
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &a6->sin6_addr.s6_addr[12], text, sizeof text);
            return "[" + std::string(text) + "]";
        }
        return "[IPv6:" + AddressText(local) + "]";
    }
    return "[" + AddressText(local) + "]";
}

void TagSocket::DropTls() {
    if (!tls_)
        return;
    // One try at a polite goodbye; the socket closes whatever the peer does.
    SSL_shutdown(tls_->Ssl);
    ERR_clear_error();
    tls_.reset();
}

void TagSocket::SendStream(std::istream& stream, const TChunkTransform& transform, const std::string& finalLine) {
    if (!Connected())
        RaiseSocketError(57008);
    stream.clear();
    stream.seekg(0, std::ios::end);
    const auto end = stream.tellg();
    const std::uint64_t size = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    stream.seekg(0, std::ios::beg);
    if (!LogFileName.empty())
        LogLines.push_back("Suppressing the message body");

    char buffer[StreamChunk];
    std::string wire;
    std::uint64_t position = 0;
    for (;;) {
        stream.read(buffer, StreamChunk);
        const auto count = static_cast<std::size_t>(stream.gcount());
        wire.clear();
        if (transform)
            transform(std::string_view(buffer, count), false, wire);
        else
            wire.assign(buffer, count);
        const bool last = count < StreamChunk;
        // The end of the data and the line after it go in one write: a server that wakes for
        // every packet does its work once.
        if (last && transform)
            transform(std::string_view(), true, wire);
        if (last && !finalLine.empty())
            wire += finalLine + "\r\n";
        Arm();
        SendAll(wire.data(), wire.size());
        armed_ = false;
        position += count;
        if (OnProgress)
            OnProgress(*this, RoundedPercent(position, size));
        if (last)
            break;
    }
    if (!finalLine.empty())
        LogSent(finalLine);
    if (OnProgress)
        OnProgress(*this, 0);
}

void TagSocket::Close() {
    if (fd_ == -1)
        return;
    if (OnClosing)
        OnClosing(*this);
    DropTls();
    ::close(fd_);
    fd_ = -1;
    rbuf_.clear();
    rbufPos_ = 0;
    peerClosed_ = false;
    if (OnClosed)
        OnClosed(*this);
}

void TagSocket::Cancel() {
    canceled_ = true;
    if (OnCancel)
        OnCancel(*this);
    lookup_.reset();
    Close();
}

} // namespace ostrel
