#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sys/socket.h>

struct ssl_ctx_st;

namespace ostrel {

class Desktop;
class TagSocket;

using TmsNotifyEvent = std::function<void(TagSocket& Sender)>;
// The handler may change Msg; an ESocketError then carries the changed text.
using TmsErrorEvent = std::function<void(TagSocket& Sender, std::string& Msg)>;
using TmsProgressEvent = std::function<void(TagSocket& Sender, int Perc)>;
using TmsLineEvent = std::function<void(TagSocket& Sender, const std::string& Line)>;

// The layer's own message texts.
inline constexpr const char* SOperationTimedOut = "Operation timed out";
inline constexpr const char* SOperationCanceled = "Operation has been canceled";
inline constexpr const char* SServerRequired = "Server property is required";
inline constexpr const char* SErrorResolving = "Error resolving remote host";
inline constexpr const char* SServiceRequired = "Service name is required";
inline constexpr const char* SNotConnected = "You have to connect to the server first";
inline constexpr const char* SConnectionClosed = "Connection closed by the server";
inline constexpr const char* SLineTooLong = "Reply line too long";
inline constexpr const char* SDataBeforeTls = "The server sent data before encryption began";

// The text of a sockets error number: "[10061] Connection refused", the layer's own texts for
// 57000-57012, or "Error #" and the number.
std::string SocketErrorText(int code);
// The sockets error number of a system error (errno) and of a resolver result (EAI_*).
int SocketErrorFromErrno(int err);
int SocketErrorFromResolver(int gaiResult, int err);

// Where "host", "host:port", "[v6]:port" or a bare IPv6 literal puts the host and the port text.
struct TServerParts {
    std::string Host;
    std::string Port; // empty when none was given
};
TServerParts SplitServer(const std::string& server);
// The port of a port text: a decimal number from 1 to 65535, else 0.
std::uint16_t ParsePort(const std::string& text);

// A blocking, line-oriented TCP client whose every wait lets the desktop run its pending
// events between short poll() slices, so the program stays responsive during a send without
// a second user-interface thread. The cancel and time-out flags are sticky until ResetState.
class TagSocket {
public:
    explicit TagSocket(Desktop& desktop);
    // Writes the log (when LogFileName is set); a write failure is logged, never thrown.
    virtual ~TagSocket();
    TagSocket(const TagSocket&) = delete;
    TagSocket& operator=(const TagSocket&) = delete;

    std::string Server;
    int TimeOut = 60; // seconds per wait; 0 or less: no time-out
    std::uint16_t DefaultPort = 0;
    std::string ServiceName;
    std::string RemoteAddress;
    std::string LocalHostName;
    std::string LogFileName;
    std::vector<std::string> LogLines;

    TmsNotifyEvent OnOpen;
    TmsNotifyEvent OnClosing;
    TmsNotifyEvent OnClosed;
    TmsNotifyEvent OnCancel;
    TmsErrorEvent OnError;
    TmsProgressEvent OnProgress;
    TmsNotifyEvent OnConnect;
    TmsLineEvent OnLineSent;
    TmsLineEvent OnLineReceived;

    virtual void ResetState();
    // Judges every received line; raises to refuse it.
    virtual void CheckReply(const std::string& line) = 0;
    virtual void Open();
    virtual void Close();
    virtual void Cancel();

    bool Connected() const { return fd_ != -1; }
    bool TimedOut() const { return timedOut_; }
    bool Canceled() const { return canceled_; }
    // The port that Open chose.
    std::uint16_t Port() const { return port_; }
    // Whether the peer has closed its side and every byte it sent has been handed out.
    bool PeerClosed() const { return peerClosed_ && rbufPos_ == rbuf_.size(); }

    // Whether the connection is encrypted now.
    bool TlsActive() const { return tls_ != nullptr; }

    // Writes LogLines to LogFileName now (each line + CR LF); raises EInOutError.
    void WriteLog();

    // Longest received line accepted; a longer one is an error, not a cut.
    static constexpr std::size_t MaxLineLength = 8192;

protected:
    // Connects the socket made by Open, trying the next address of the name on refusal.
    void ConnectSocket();
    // One received line without its trailing CR and LF, passed to CheckReply; empty when the
    // peer closed before a line feed.
    std::string ReadLine();
    void SendLine(const std::string& text);
    // Sends several lines in one write (commands the server takes pipelined).
    void SendLines(const std::vector<std::string>& lines);
    // Sends a line that carries a secret: the log and OnLineSent get shown in its place.
    void SendSecretLine(const std::string& text, const std::string& shown);
    // Encrypts the connected socket: the TLS handshake (a pumping wait like every other, bound
    // by TimeOut), then the certificate check for host (or the certificate whose fingerprint
    // the user chose to trust). Raises ECertificateError for a refused certificate.
    void StartTLS(const std::string& host, const std::string& trustedFingerprint);
    // Bounds every wait until EndReplyBound by one deadline TimeOut from now, so that a reply
    // of endless lines ends too; lines after the first few hundred of it are not logged.
    void BeginReplyBound();
    void EndReplyBound();
    // How this machine names itself to the server: its fully qualified domain name, else an
    // address literal of this end of the connection ("[192.0.2.1]", "[IPv6:2001:db8::1]"); never
    // a bare short host name, which servers refuse. The name is looked up once per process, on
    // a helper thread, with a pumping wait.
    std::string GreetingName();
    // Sends the stream from its start in chunks, firing OnProgress after each. transform, when
    // set, turns each chunk into the bytes for the wire (last call with an empty chunk and
    // atEnd true, to flush).
    using TChunkTransform = std::function<void(std::string_view chunk, bool atEnd, std::string& wire)>;
    // finalLine, when given, follows the data in its last write (the terminating ".").
    void SendStream(std::istream& stream, const TChunkTransform& transform = {}, const std::string& finalLine = {});

    // Raise helpers: OnError first, then the exception.
    [[noreturn]] void RaiseSocketError(int code);
    [[noreturn]] void RaiseSocketErrorText(std::string message);
    [[noreturn]] void RaiseTimedOut();
    [[noreturn]] void RaiseCanceled();

    Desktop& desktop_;

private:
    enum class TWait { Ready, Canceled, TimedOut, Error };
    void Arm();
    // Pumps and polls until fd_ is ready for events, the deadline passes or Cancel is called.
    TWait WaitFor(short events);
    TWait WaitOn(int fd, short events);
    void CheckWaitResult(TWait result);
    void ResolveHost(const std::string& host);
    void CreateSocket();
    void SendAll(const char* data, std::size_t size);
    bool FillBuffer(); // false when the peer closed
    void LogSent(const std::string& shown);
    void DropTls();

    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::vector<sockaddr_storage> addresses_;
    std::vector<socklen_t> addressLengths_;
    std::size_t addressIndex_ = 0;
    bool canceled_ = false;
    bool timedOut_ = false;
    bool armed_ = false;
    int waitError_ = 0;
    std::chrono::steady_clock::time_point deadline_{};
    struct TLookup;
    std::shared_ptr<TLookup> lookup_; // a running name look-up, null when none
    std::string rbuf_;
    std::size_t rbufPos_ = 0;
    bool peerClosed_ = false;
    bool replyBound_ = false;
    std::chrono::steady_clock::time_point replyDeadline_{};
    std::size_t replyLinesLogged_ = 0;
    struct TTls;
    std::unique_ptr<TTls> tls_;                // the encrypted channel, null while plain
    std::shared_ptr<::ssl_ctx_st> sslContext_; // made once, with the trust store loaded
};

} // namespace ostrel
