#include "scripted_smtp.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ostrel::test {

namespace {

// A client that says nothing for this long is taken as gone.
constexpr int ReadGiveUpMs = 8000;

} // namespace

TScriptedConnection::TScriptedConnection(int fd, TScriptedServer& server) : fd_(fd), server_(server) {}

TScriptedConnection::~TScriptedConnection() {
    Close();
}

void TScriptedConnection::Send(const std::string& raw) {
    std::size_t sent = 0;
    while (fd_ != -1 && sent < raw.size()) {
        const ssize_t n = ::send(fd_, raw.data() + sent, raw.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<std::size_t>(n);
    }
}

bool TScriptedConnection::Fill() {
    if (fd_ == -1 || eof_)
        return false;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {server_.stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, ReadGiveUpMs) <= 0 || (fds[1].revents & POLLIN) != 0) {
        eof_ = true;
        return false;
    }
    char block[65536];
    const ssize_t n = ::recv(fd_, block, sizeof block, 0);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    buffer_.append(block, static_cast<std::size_t>(n));
    return true;
}

std::string TScriptedConnection::ReadLine() {
    for (;;) {
        const auto lf = buffer_.find('\n');
        if (lf != std::string::npos) {
            std::string line = buffer_.substr(0, lf);
            buffer_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            server_.Record(line);
            return line;
        }
        if (!Fill())
            return {};
    }
}

std::string TScriptedConnection::ReadData() {
    for (;;) {
        // The terminator may be the very first line (empty data).
        if (buffer_.rfind(".\r\n", 0) == 0) {
            buffer_.erase(0, 3);
            server_.RecordData({});
            return {};
        }
        const auto end = buffer_.find("\r\n.\r\n");
        if (end != std::string::npos) {
            std::string data = buffer_.substr(0, end + 2);
            buffer_.erase(0, end + 5);
            server_.RecordData(data);
            return data;
        }
        if (!Fill()) {
            server_.RecordData(buffer_);
            return buffer_;
        }
    }
}

void TScriptedConnection::Close() {
    if (fd_ != -1) {
        ::close(fd_);
        fd_ = -1;
    }
}

TScriptedServer::TScriptedServer(THandler handler, bool ipv6) : handler_(std::move(handler)), ipv6_(ipv6) {
    if (::pipe(stopPipe_) != 0)
        throw std::runtime_error("pipe failed");
    listenFd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ == -1)
        throw std::runtime_error("socket failed");
    const int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (ipv6) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = in6addr_loopback;
        ::setsockopt(listenFd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        length = sizeof(sockaddr_in6);
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
        a4->sin_family = AF_INET;
        a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof(sockaddr_in);
    }
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listenFd_, 16) != 0)
        throw std::runtime_error("cannot listen on loopback");
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    thread_ = std::thread([this] { Run(); });
}

TScriptedServer::~TScriptedServer() {
    const char stop = 's';
    [[maybe_unused]] const auto written = ::write(stopPipe_[1], &stop, 1);
    if (thread_.joinable())
        thread_.join();
    ::close(listenFd_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

std::string TScriptedServer::Server() const {
    return (ipv6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
}

std::vector<std::string> TScriptedServer::Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> TScriptedServer::Data() const {
    std::lock_guard lock(mutex_);
    return data_;
}

void TScriptedServer::Record(const std::string& line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
}

void TScriptedServer::RecordData(const std::string& data) {
    std::lock_guard lock(mutex_);
    data_.push_back(data);
}

void TScriptedServer::Run() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0)
            return;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd == -1)
            continue;
        ++connections_;
        TScriptedConnection connection(fd, *this);
        handler_(connection);
    }
}

TScriptedServer::THandler TScriptedServer::Standard(std::map<std::string, std::string> replies) {
    return [replies = std::move(replies)](TScriptedConnection& c) {
        auto reply = [&](const std::string& key, const std::string& fallback) -> bool {
            const auto it = replies.find(key);
            const std::string text = it != replies.end() ? it->second : fallback;
            if (text == "<close>") {
                c.Close();
                return false;
            }
            if (text == "<silent>") {
                while (!c.Eof())
                    c.ReadLine();
                return false;
            }
            c.Send(text + "\r\n");
            return true;
        };
        if (!reply("greeting", "220 scripted ready"))
            return;
        for (;;) {
            const std::string line = c.ReadLine();
            if (c.Eof())
                return;
            std::string word = line.substr(0, line.find(' '));
            std::transform(word.begin(), word.end(), word.begin(),
                           [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
            const auto exact = replies.find(line);
            const std::string key = exact != replies.end() ? line : word;
            if (word == "DATA") {
                const auto it = replies.find(key);
                const std::string answer = it != replies.end() ? it->second : "354 go ahead";
                if (!reply(key, "354 go ahead"))
                    return;
                if (answer.rfind("354", 0) != 0)
                    continue;
                c.ReadData();
                if (!reply(".", "250 accepted"))
                    return;
                continue;
            }
            if (!reply(key, word == "QUIT" ? "221 bye" : "250 ok"))
                return;
            if (word == "QUIT") {
                c.Close();
                return;
            }
        }
    };
}

} // namespace ostrel::test
