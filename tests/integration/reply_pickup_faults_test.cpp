// Reply pickup when the line breaks: a server that drops the connection in the middle of the
// replies leaves no file behind, and the next fetch takes every reply once.

#include <atomic>
#include <filesystem>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "mailbox/reply_pickup.h"
#include "platform/fake_desktop.h"
#include "support/certificates.h"
#include "support/dovecot.h"
#include "util/error.h"

using namespace ostrel;
using ostrel::test::TDovecotPeer;

namespace fs = std::filesystem;

namespace {

// Passes connections on to a port of this machine; the first connection is cut (both ways, no
// goodbye) once CutAfter bytes have come from the server.
class TCuttingProxy {
public:
    TCuttingProxy(std::uint16_t target, std::size_t cutAfter) : target_(target), cutAfter_(cutAfter) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("the proxy cannot listen");
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~TCuttingProxy() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::uint16_t Port() const { return port_; }
    bool Cut() const { return cut_; }

private:
    void Serve() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0)
                continue;
            const int server = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(target_);
            if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                Forward(client, server);
            ::close(server);
            ::close(client);
        }
    }
    void Forward(int client, int server) {
        std::size_t fromServer = 0;
        char buffer[16384];
        while (!stop_) {
            pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                const ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
                if (n <= 0)
                    return;
                if (i == 1 && !cut_) {
                    fromServer += static_cast<std::size_t>(n);
                    if (fromServer > cutAfter_) {
                        cut_ = true;
                        return;
                    }
                }
                if (::write(p[1 - i].fd, buffer, static_cast<std::size_t>(n)) != n)
                    return;
            }
        }
    }

    std::uint16_t target_;
    std::size_t cutAfter_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false}, cut_{false};
    std::thread thread_;
};

} // namespace

TEST(ReplyPickupFaults, AServerThatDropsTheLineMidFetchLeavesNoFileAndTheNextFetchTakesEachReplyOnce) {
    test::TTrustOnly trust(test::SharedTestCertificates().CaFile());
    TDovecotPeer dovecot;
    constexpr int kReplies = 40;
    const std::string filler(20000, 'y');
    for (int i = 0; i < kReplies; ++i)
        dovecot.Deliver("From: www4mail@example.org\r\nSubject: Re: http://example.com/" + std::to_string(i) +
                        ".txt\r\nMessage-ID: <d" + std::to_string(i) +
                        "@example.org>\r\nContent-Type: text/plain\r\n\r\n" + filler + "\r\n");
    TCuttingProxy proxy(dovecot.ImapsPort(), 300000);
    test::TempDir folder;
    FakeDesktop desktop;
    TPickupOptions options;
    options.Account.Protocol = TMailProtocol::IMAP;
    options.Account.Security = TMailboxSecurity::TLS;
    options.Account.Server = "localhost:" + std::to_string(proxy.Port());
    options.Account.User = TDovecotPeer::User;
    options.Account.Password = TDovecotPeer::Password;
    options.Account.TimeOut = 10;
    options.ServerAddresses = {"www4mail@example.org"};
    options.Delete = true;

    {
        TReplyPickup pickup(desktop, folder.Path(), options);
        EXPECT_THROW(pickup.Fetch(), ESocketError);
    }
    ASSERT_TRUE(proxy.Cut()) << "the line was cut during the fetch";
    EXPECT_TRUE(fs::is_empty(folder.File("downloads"))) << "no half reply was saved";
    EXPECT_EQ(dovecot.Files().size(), static_cast<std::size_t>(kReplies)) << "nothing was deleted";

    TReplyPickup again(desktop, folder.Path(), options);
    const TPickupResult result = again.Fetch();
    EXPECT_EQ(result.Arrivals.size(), static_cast<std::size_t>(kReplies));
    EXPECT_TRUE(result.Problems.empty());
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(folder.File("downloads"))) {
        ++files;
        EXPECT_EQ(fs::file_size(e.path()), 20002u) << e.path();
    }
    EXPECT_EQ(files, static_cast<std::size_t>(kReplies));
    EXPECT_TRUE(fs::is_empty(folder.File("Mailbox")));
    EXPECT_TRUE(dovecot.Files().empty());
}

TEST(ReplyPickupFaults, AFolderThatCannotTakeTheRepliesLeavesThemOnTheServerEvenWithDelete) {
    test::TTrustOnly trust(test::SharedTestCertificates().CaFile());
    TDovecotPeer dovecot;
    const std::string reply = dovecot.Deliver("From: www4mail@example.org\r\nSubject: Re: http://example.com/\r\n"
                                              "Message-ID: <f1@example.org>\r\nContent-Type: text/plain\r\n\r\nok\r\n");
    test::TempDir folder;
    test::WriteAll(folder.File("downloads"), "a file where the folder should be");
    FakeDesktop desktop;
    TPickupOptions options;
    options.Account.Protocol = TMailProtocol::POP3;
    options.Account.Security = TMailboxSecurity::TLS;
    options.Account.Server = "localhost:" + std::to_string(dovecot.Pop3sPort());
    options.Account.User = TDovecotPeer::User;
    options.Account.Password = TDovecotPeer::Password;
    options.ServerAddresses = {"www4mail@example.org"};
    options.Delete = true;
    TReplyPickup pickup(desktop, folder.Path(), options);
    try {
        pickup.Fetch();
        FAIL() << "a fetch without a downloads folder succeeded";
    } catch (const EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find("downloads"), std::string::npos) << e.what();
    }
    EXPECT_EQ(dovecot.Flags(reply), "") << "the reply stays on the server, unread";
}
