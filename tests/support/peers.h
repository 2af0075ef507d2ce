#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace ostrel::test {

// Real programs that tests talk to over loopback. Each peer is started on a free port by its
// constructor, which returns once the port accepts connections, and is stopped by its PID when
// the object goes. A peer whose program is missing throws std::runtime_error naming the Debian
// package to install.

// A port on 127.0.0.1 that nothing listens on right now.
std::uint16_t FreeLoopbackPort();
// Waits until something accepts connections on 127.0.0.1:port; false when the limit passed.
bool WaitForLoopbackPort(std::uint16_t port, std::chrono::milliseconds limit);

// A child process started from an argument vector (argv[0] is the program's path), its output
// sent to logFile (or /dev/null), stopped with SIGTERM and, if need be, SIGKILL.
class TPeerProcess {
public:
    TPeerProcess(std::vector<std::string> argv, const std::string& package, const std::string& logFile = {});
    ~TPeerProcess();
    TPeerProcess(const TPeerProcess&) = delete;
    TPeerProcess& operator=(const TPeerProcess&) = delete;

    pid_t Pid() const { return pid_; }
    bool Running();
    void Stop();

private:
    pid_t pid_ = -1;
};

// Postfix's smtp-sink: a fast SMTP sink that throws the mail away, with fault injection per
// command ("-f rcpt" hard error, "-r mail" soft error, "-q data" disconnect, "-w 1" delay before
// the DATA reply; see smtp-sink(1)).
class TSmtpSinkPeer {
public:
    static constexpr const char* Program = "/usr/sbin/smtp-sink";
    explicit TSmtpSinkPeer(std::vector<std::string> options = {});

    std::uint16_t Port() const { return port_; }
    // "127.0.0.1:port", ready for TmsSMTP::Server.
    std::string Server() const;
    pid_t Pid() const { return process_->Pid(); }
    void Stop() { process_->Stop(); }

private:
    std::uint16_t port_ = 0;
    std::unique_ptr<TPeerProcess> process_;
};

// One mail as an aiosmtpd peer received it.
struct TReceivedMail {
    std::string MailFrom;
    std::vector<std::string> RcptTo;
    // The message bytes after DATA, transparency undone, line ends as received.
    std::string Content;
};

// How an aiosmtpd peer protects its port.
struct TAiosmtpdOptions {
    enum class TSecurity { None, StartTls, Tls } Security = TSecurity::None;
    // PEM files of the server's certificate and key (for StartTls and Tls).
    std::string CertFile;
    std::string KeyFile;
    // Non-empty: AUTH is required, over TLS only, and only this user and password pass.
    std::string User;
    std::string Password;
};

// Python's aiosmtpd (run by /usr/bin/python3) with a handler that keeps every mail in a folder,
// so a test can check the envelope and the exact bytes received.
class TAiosmtpdPeer {
public:
    explicit TAiosmtpdPeer(const TAiosmtpdOptions& options = {});
    ~TAiosmtpdPeer();
    TAiosmtpdPeer(const TAiosmtpdPeer&) = delete;
    TAiosmtpdPeer& operator=(const TAiosmtpdPeer&) = delete;

    std::uint16_t Port() const { return port_; }
    std::string Server() const;
    pid_t Pid() const { return process_->Pid(); }
    void Stop() { process_->Stop(); }

    // Every mail received so far, in order of arrival.
    std::vector<TReceivedMail> Mails() const;
    // Waits until at least count mails have arrived.
    bool WaitForMails(std::size_t count, std::chrono::milliseconds limit) const;
    // Every log-in attempt so far, as "MECHANISM user ok" or "MECHANISM user refused".
    std::vector<std::string> Logins() const;

private:
    std::string folder_;
    std::uint16_t port_ = 0;
    std::unique_ptr<TPeerProcess> process_;
};

} // namespace ostrel::test
