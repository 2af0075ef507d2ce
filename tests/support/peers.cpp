#include "peers.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace ostrel::test {

namespace {

constexpr auto StartLimit = std::chrono::seconds(15);

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Keeps every mail as NNNNNN.env (MAIL FROM, then one RCPT TO per line) and NNNNNN.eml (the
// content); the .eml appears last, by rename, so a reader never sees half a mail.
const char* const AiosmtpdScript = R"PY(
import os, signal, ssl, sys
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

port, folder, security, cert, key, user, password = int(sys.argv[1]), sys.argv[2], *sys.argv[3:8]

class Keeper:
    def __init__(self):
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(folder, "%06d" % self.count)
        with open(base + ".env", "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write("\n".join([envelope.mail_from or ""] + list(envelope.rcpt_tos)))
        content = envelope.original_content
        if content is None:
            content = envelope.content
        with open(base + ".tmp", "wb") as f:
            f.write(content)
        os.rename(base + ".tmp", base + ".eml")
        return "250 OK kept"

def authenticate(server, session, envelope, mechanism, data):
    ok = (isinstance(data, LoginPassword) and data.login == user.encode("utf-8")
          and data.password == password.encode("utf-8"))
    login = data.login.decode("utf-8", "replace") if isinstance(data, LoginPassword) else "?"
    with open(os.path.join(folder, "..", "logins"), "a") as f:
        f.write("%s %s %s\n" % (mechanism, login, "ok" if ok else "refused"))
    return AuthResult(success=ok, handled=False)

options = dict(hostname="127.0.0.1", port=port, data_size_limit=0)
if security != "none":
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    if security == "tls":
        options["ssl_context"] = context
    else:
        options.update(tls_context=context, require_starttls=True)
if user:
    # Over TLS from the first byte the peer does not count the connection as encrypted.
    options.update(authenticator=authenticate, auth_required=True, auth_require_tls=security == "starttls")

signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
controller = Controller(Keeper(), **options)
controller.start()
signal.sigwait({signal.SIGTERM, signal.SIGINT})
controller.stop()
)PY";

} // namespace

std::uint16_t FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        throw std::runtime_error("socket failed");
    sockaddr_in a = Loopback(0);
    socklen_t length = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("no free loopback port");
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

bool WaitForLoopbackPort(std::uint16_t port, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    do {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = Loopback(port);
        const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (ok)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

TPeerProcess::TPeerProcess(std::vector<std::string> argv, const std::string& package, const std::string& logFile) {
    if (argv.empty() || ::access(argv[0].c_str(), X_OK) != 0)
        throw std::runtime_error((argv.empty() ? std::string("peer") : argv[0]) +
                                 " not found: install the Debian package " + package);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = logFile.empty() ? "/dev/null" : logFile;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

TPeerProcess::~TPeerProcess() {
    Stop();
}

bool TPeerProcess::Running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void TPeerProcess::Stop() {
    if (!Running())
        return;
    ::kill(pid_, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

TSmtpSinkPeer::TSmtpSinkPeer(std::vector<std::string> options) {
    port_ = FreeLoopbackPort();
    std::vector<std::string> argv{Program};
    // It refuses to keep super-user rights once its socket is open.
    if (::geteuid() == 0) {
        argv.emplace_back("-u");
        argv.emplace_back("nobody");
    }
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("127.0.0.1:" + std::to_string(port_));
    argv.emplace_back("64");
    process_ = std::make_unique<TPeerProcess>(argv, "postfix");
    if (!WaitForLoopbackPort(port_, StartLimit))
        throw std::runtime_error("smtp-sink did not start listening on port " + std::to_string(port_));
}

std::string TSmtpSinkPeer::Server() const {
    return "127.0.0.1:" + std::to_string(port_);
}

TAiosmtpdPeer::TAiosmtpdPeer(const TAiosmtpdOptions& options) {
    char templ[] = "/tmp/ostrel-aiosmtpd-XXXXXX";
    if (::mkdtemp(templ) == nullptr)
        throw std::runtime_error("cannot make a folder for aiosmtpd");
    folder_ = templ;
    const std::string script = folder_ + "/keeper.py";
    std::ofstream(script) << AiosmtpdScript;
    std::filesystem::create_directory(folder_ + "/mail");
    port_ = FreeLoopbackPort();
    process_ = std::make_unique<TPeerProcess>(
        std::vector<std::string>{"/usr/bin/python3", script, std::to_string(port_), folder_ + "/mail",
                                 options.Security == TAiosmtpdOptions::TSecurity::None       ? "none"
                                 : options.Security == TAiosmtpdOptions::TSecurity::StartTls ? "starttls"
                                                                                             : "tls",
                                 options.CertFile, options.KeyFile, options.User, options.Password},
        "python3 (and python3-aiosmtpd)", folder_ + "/peer.log");
    if (!WaitForLoopbackPort(port_, StartLimit) || !process_->Running())
        throw std::runtime_error("aiosmtpd did not start (install the Debian package python3-aiosmtpd): " +
                                 ReadWhole(folder_ + "/peer.log"));
}

TAiosmtpdPeer::~TAiosmtpdPeer() {
    process_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

std::string TAiosmtpdPeer::Server() const {
    return "127.0.0.1:" + std::to_string(port_);
}

std::vector<TReceivedMail> TAiosmtpdPeer::Mails() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_ + "/mail"))
        if (entry.path().extension() == ".eml")
            names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    std::vector<TReceivedMail> mails;
    for (const auto& name : names) {
        TReceivedMail mail;
        mail.Content = ReadWhole(folder_ + "/mail/" + name + ".eml");
        std::istringstream env(ReadWhole(folder_ + "/mail/" + name + ".env"));
        std::getline(env, mail.MailFrom);
        for (std::string line; std::getline(env, line);)
            mail.RcptTo.push_back(line);
        mails.push_back(std::move(mail));
    }
    return mails;
}

std::vector<std::string> TAiosmtpdPeer::Logins() const {
    std::istringstream in(ReadWhole(folder_ + "/logins"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool TAiosmtpdPeer::WaitForMails(std::size_t count, std::chrono::milliseconds limit) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (Mails().size() < count) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace ostrel::test
