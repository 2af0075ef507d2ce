// Whatever bytes a server sends, the SMTP client splits them into lines, judges every line and
// ends with a reply or an error: no crash, no hang, no line handed on with its line break or
// beyond the length bound, and no accepted login on a line the judge would refuse.
// The input is what a loopback "server" sends right after the client connects, then it closes.
// An input that begins "#E" is answered with a log-in configured (EHLO, its extension list, the
// AUTH exchange); one that begins "#S" with STARTTLS as well (a handshake over whatever follows).

#include <cstddef>
#include <cstdint>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/smtp.h"
#include "platform/fake_desktop.h"
#include "util/error.h"

using namespace ostrel;

namespace {

int Listener(std::uint16_t& port) {
    static int fd = -1;
    static std::uint16_t bound = 0;
    if (fd == -1) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
            __builtin_trap();
        bound = ntohs(a.sin_port);
    }
    port = bound;
    return fd;
}

class TCheckedSMTP : public TmsSMTP {
public:
    using TmsSMTP::TmsSMTP;
    void CheckReply(const std::string& line) override {
        if (line.find('\n') != std::string::npos || line.size() > MaxLineLength)
            __builtin_trap();
        if (!line.empty() && line.back() == '\r')
            __builtin_trap();
        TmsSMTP::CheckReply(line);
        // 334 is a challenge during AUTH; everything else accepted must pass the judge.
        if (!ReplyLineAccepted(line) && line.compare(0, 3, "334") != 0)
            __builtin_trap();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 65536)
        return 0; // more than the socket buffers take without a reader
    std::uint16_t port = 0;
    const int listener = Listener(port);
    FakeDesktop desktop;
    TCheckedSMTP smtp(desktop);
    smtp.Server = "127.0.0.1:" + std::to_string(port);
    smtp.TimeOut = 2;
    if (size >= 2 && data[0] == '#' && (data[1] == 'E' || data[1] == 'S')) {
        smtp.UserName = "user";
        smtp.Password = "secret";
        if (data[1] == 'S')
            smtp.Security = TSmtpSecurity::STARTTLS;
        data += 2;
        size -= 2;
    }
    int peer = -1;
    smtp.OnConnect = [&](TagSocket&) {
        peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer == -1)
            __builtin_trap();
        std::size_t sent = 0;
        while (sent < size) {
            const ssize_t n = ::send(peer, data + sent, size - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<std::size_t>(n);
        }
        ::shutdown(peer, SHUT_WR);
    };
    try {
        smtp.Connect();
        const std::string greeted = smtp.LastReply();
        if (!ReplyLineIsLast(greeted) || !ReplyLineAccepted(greeted))
            __builtin_trap();
        // A log-in was asked for: connected means it was accepted, and only over an extension
        // list that offers it.
        if (!smtp.UserName.empty() && smtp.Extensions().count("AUTH") == 0)
            __builtin_trap();
        for (int i = 0; i < 100000 && smtp.Connected(); ++i)
            smtp.ReadReply();
    } catch (const EOstrelError&) {
    }
    if (peer != -1)
        ::close(peer);
    return 0;
}
