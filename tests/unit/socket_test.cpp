#include "net/socket.h"

#include <chrono>
#include <filesystem>
#include <sstream>

#include <arpa/inet.h>
#include <netdb.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/fake_desktop.h"
#include "support/scripted_smtp.h"
#include "support/test_support.h"
#include "util/error.h"

using namespace ostrel;
using ostrel::test::TScriptedConnection;
using ostrel::test::TScriptedServer;
using SteadyClock = std::chrono::steady_clock;

namespace {

// The socket layer with a line judge that records and accepts everything but "BAD".
class TLineSocket : public TagSocket {
public:
    using TagSocket::TagSocket;
    std::vector<std::string> Checked;
    void CheckReply(const std::string& line) override {
        Checked.push_back(line);
        if (line == "BAD")
            throw ESocketError("judged bad");
    }
    void OpenAndConnect() {
        Open();
        ConnectSocket();
    }
    using TagSocket::ReadLine;
    using TagSocket::SendLine;
    using TagSocket::SendStream;
};

struct TEvents {
    std::vector<std::string> Log;
    void Attach(TagSocket& s) {
        s.OnOpen = [this](TagSocket&) { Log.push_back("Open"); };
        s.OnClosing = [this](TagSocket&) { Log.push_back("Closing"); };
        s.OnClosed = [this](TagSocket&) { Log.push_back("Closed"); };
        s.OnCancel = [this](TagSocket&) { Log.push_back("Cancel"); };
        s.OnError = [this](TagSocket&, std::string& msg) { Log.push_back("Error:" + msg); };
    }
};

// A port on which nothing listens: bound and closed again.
std::uint16_t ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

double SecondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

} // namespace

TEST(SocketErrorTextTest, SystemAndResolverCodesUseTheSocketsNumbers) {
    EXPECT_EQ(SocketErrorText(SocketErrorFromErrno(ECONNREFUSED)), "[10061] Connection refused");
    EXPECT_EQ(SocketErrorText(SocketErrorFromErrno(ETIMEDOUT)), "[10060] Connection timed out");
    EXPECT_EQ(SocketErrorText(SocketErrorFromErrno(ECONNRESET)), "[10054] Connection reset by peer");
    EXPECT_EQ(SocketErrorText(SocketErrorFromErrno(EPIPE)), "[10054] Connection reset by peer");
    EXPECT_EQ(SocketErrorText(SocketErrorFromResolver(EAI_NONAME, 0)), "[11001] Host not found");
    EXPECT_EQ(SocketErrorText(SocketErrorFromResolver(EAI_AGAIN, 0)), "[11002] Non-Authoritative Host not found");
    EXPECT_EQ(SocketErrorText(10013), "[10013] Permission denied.");
    EXPECT_EQ(SocketErrorText(57002), "Server property is required");
    EXPECT_EQ(SocketErrorText(57008), "You have to connect to the server first");
    EXPECT_EQ(SocketErrorText(12345), "Error #12345");
}

TEST(SocketServerTest, HostAndPortAreSplitAtTheFirstColonUnlessBracketedOrIPv6) {
    EXPECT_EQ(SplitServer("mail.example.org:2525").Host, "mail.example.org");
    EXPECT_EQ(SplitServer("mail.example.org:2525").Port, "2525");
    EXPECT_EQ(SplitServer("mail.example.org").Port, "");
    EXPECT_EQ(SplitServer("[::1]:2525").Host, "::1");
    EXPECT_EQ(SplitServer("[::1]:2525").Port, "2525");
    EXPECT_EQ(SplitServer("::1").Host, "::1");
    EXPECT_EQ(SplitServer("::1").Port, "");
    EXPECT_EQ(ParsePort("2525"), 2525);
    EXPECT_EQ(ParsePort("0"), 0);
    EXPECT_EQ(ParsePort("25x"), 0);
    EXPECT_EQ(ParsePort("65536"), 0);
    EXPECT_EQ(ParsePort(""), 0);
}

TEST(SocketOpenTest, PortComesFromServerThenServicesThenDefault) {
    FakeDesktop desktop;
    TLineSocket s(desktop);
    s.ServiceName = "smtp";
    s.DefaultPort = 2600;

    s.Server = "127.0.0.1:2525";
    s.Open();
    EXPECT_EQ(s.Port(), 2525);
    EXPECT_TRUE(s.Connected()); // the socket exists before it is connected
    EXPECT_EQ(s.RemoteAddress, "127.0.0.1");
    EXPECT_EQ(desktop.PumpCount, 0) << "a dotted address needs no look-up";

    s.Server = "127.0.0.1:0";
    s.Open();
    EXPECT_EQ(s.Port(), 25);
    s.Server = "127.0.0.1:smtp";
    s.Open();
    EXPECT_EQ(s.Port(), 25);

    s.ServiceName = "no-such-service-here";
    s.Open();
    EXPECT_EQ(s.Port(), 2600);

    s.ServiceName.clear();
    EXPECT_THROW(
        {
            try {
                s.Open();
            } catch (const ESocketError& e) {
                EXPECT_STREQ(e.what(), "Service name is required");
                throw;
            }
        },
        ESocketError);
    s.Close();
}

TEST(SocketOpenTest, EmptyServerAndUnknownHostRaiseAfterOnErrorWhichMayRewordThem) {
    FakeDesktop desktop;
    TLineSocket s(desktop);
    TEvents events;
    events.Attach(s);
    s.ServiceName = "smtp";
    try {
        s.Open();
        FAIL() << "empty server accepted";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "Server property is required");
    }
    EXPECT_EQ(events.Log, (std::vector<std::string>{"Open", "Error:Server property is required"}));

    s.Server = "no-such-host.invalid";
    s.OnError = [](TagSocket&, std::string& msg) { msg = "reworded " + msg; };
    try {
        s.Open();
        FAIL() << "unknown host accepted";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "reworded [11001] Host not found");
    }
    EXPECT_FALSE(s.Connected());
}

TEST(SocketConnectTest, RefusedConnectionIsReportedAtOnceNotAfterTheTimeOut) {
    FakeDesktop desktop;
    TLineSocket s(desktop);
    TEvents events;
    events.Attach(s);
    s.TimeOut = 30;
    s.Server = "127.0.0.1:" + std::to_string(ClosedPort());
    const auto start = SteadyClock::now();
    try {
        s.OpenAndConnect();
        FAIL() << "refused connection accepted";
    } catch (const ETimedOutError&) {
        FAIL() << "refusal reported as a time-out";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "[10061] Connection refused");
    }
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_EQ(events.Log.back(), "Error:[10061] Connection refused");
}

TEST(SocketConnectTest, IPv6LoopbackConnects) {
    TScriptedServer server(TScriptedServer::Standard(), true);
    FakeDesktop desktop;
    TLineSocket s(desktop);
    s.Server = server.Server();
    s.OpenAndConnect();
    EXPECT_EQ(s.RemoteAddress, "::1");
    EXPECT_EQ(s.ReadLine(), "220 scripted ready");
    s.Close();

    // A bare IPv6 literal takes its port from DefaultPort (no services entry by that name).
    TLineSocket t(desktop);
    t.Server = "::1";
    t.ServiceName = "no-such-service-here";
    t.DefaultPort = server.Port();
    t.OpenAndConnect();
    EXPECT_EQ(t.ReadLine(), "220 scripted ready");
}

TEST(SocketWaitTest, SilentServerTimesOutClosesAndStaysTimedOutUntilReset) {
    TScriptedServer server(TScriptedServer::Standard({{"greeting", "<silent>"}}));
    FakeDesktop desktop;
    TLineSocket s(desktop);
    TEvents events;
    events.Attach(s);
    s.TimeOut = 1;
    s.Server = "localhost:" + std::to_string(server.Port());
    s.OpenAndConnect();
    const auto start = SteadyClock::now();
    try {
        s.ReadLine();
        FAIL() << "no time-out";
    } catch (const ETimedOutError& e) {
        EXPECT_STREQ(e.what(), "Operation timed out");
    }
    const double waited = SecondsSince(start);
    EXPECT_GE(waited, 0.9);
    EXPECT_LE(waited, 2.0);
    EXPECT_FALSE(s.Connected());
    const std::vector<std::string> tail(events.Log.end() - 3, events.Log.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"Error:Operation timed out", "Closing", "Closed"}));
    EXPECT_TRUE(s.Checked.empty());

    // Sticky: the next wait (here the name look-up of a new Open) ends at once.
    const auto again = SteadyClock::now();
    EXPECT_THROW(s.OpenAndConnect(), ETimedOutError);
    EXPECT_LT(SecondsSince(again), 0.5);

    s.ResetState();
    s.OpenAndConnect();
    EXPECT_TRUE(s.Connected());
}

TEST(SocketWaitTest, ZeroTimeOutWaitsUntilCanceledAndPumpsThroughout) {
    TScriptedServer server(TScriptedServer::Standard({{"greeting", "<silent>"}}));
    FakeDesktop desktop;
    TLineSocket s(desktop);
    TEvents events;
    events.Attach(s);
    s.TimeOut = 0;
    s.Server = server.Server();
    s.OpenAndConnect();

    std::vector<SteadyClock::time_point> pumps;
    const auto start = SteadyClock::now();
    desktop.OnPump = [&] {
        pumps.push_back(SteadyClock::now());
        if (SteadyClock::now() - start > std::chrono::milliseconds(1500) && !s.Canceled())
            s.Cancel();
    };
    try {
        s.ReadLine();
        FAIL() << "wait ended without cancel";
    } catch (const ECanceledError& e) {
        EXPECT_STREQ(e.what(), "Operation has been canceled");
    }
    EXPECT_GE(SecondsSince(start), 1.4);
    EXPECT_FALSE(s.Connected());
    ASSERT_GT(pumps.size(), 20u);
    // No wait may sit through the 1.5 s to the cancel.
    ostrel::test::ExpectPumpedInSlices(start, pumps, pumps.back(), std::chrono::milliseconds(500));
    const std::vector<std::string> tail(events.Log.end() - 4, events.Log.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"Cancel", "Closing", "Closed", "Error:Operation has been canceled"}));
}

TEST(SocketWaitTest, HandlerClosingTheSocketMidWaitEndsTheWait) {
    TScriptedServer server(TScriptedServer::Standard({{"greeting", "<silent>"}}));
    FakeDesktop desktop;
    TLineSocket s(desktop);
    s.TimeOut = 5;
    s.Server = server.Server();
    s.OpenAndConnect();
    desktop.OnPump = [&] { s.Close(); };
    const auto start = SteadyClock::now();
    try {
        s.ReadLine();
        FAIL() << "wait went on without its socket";
    } catch (const ETimedOutError&) {
        FAIL() << "ran into the time-out";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "[10057] Socket is not connected");
    }
    EXPECT_LT(SecondsSince(start), 1.0);
}

TEST(SocketReadTest, LinesOfABlockLongLinesAndAPartialLastLine) {
    const std::string longLine = "250 " + std::string(596, 'x');
    TScriptedServer server([&](TScriptedConnection& c) {
        c.Send("first\r\nsecond\nthird\r\r\n" + longLine + "\r\nBAD\r\nafter\r\npartial");
        c.ReadLine();
    });
    FakeDesktop desktop;
    TLineSocket s(desktop);
    s.LogFileName = "/dev/null";
    s.Server = server.Server();
    s.OpenAndConnect();
    EXPECT_EQ(s.ReadLine(), "first");
    EXPECT_EQ(s.ReadLine(), "second");
    EXPECT_EQ(s.ReadLine(), "third");
    EXPECT_EQ(s.ReadLine(), longLine);
    EXPECT_THROW(s.ReadLine(), ESocketError);
    EXPECT_EQ(s.ReadLine(), "after");
    s.SendLine("go");
    EXPECT_EQ(s.ReadLine(), "") << "a line cut by the close is not handed out";
    EXPECT_TRUE(s.PeerClosed());
    EXPECT_EQ(s.Checked, (std::vector<std::string>{"first", "second", "third", longLine, "BAD", "after"}));
    EXPECT_EQ(s.LogLines,
              (std::vector<std::string>{"first", "second", "third", longLine, "BAD", "after", "go", ""}));
}

TEST(SocketReadTest, EndlessLineEndsInAnErrorNotAHang) {
    TScriptedServer server([](TScriptedConnection& c) {
        c.Send(std::string(100000, 'z'));
        c.ReadLine();
    });
    FakeDesktop desktop;
    TLineSocket s(desktop);
    s.TimeOut = 5;
    s.Server = server.Server();
    s.OpenAndConnect();
    try {
        s.ReadLine();
        FAIL() << "endless line accepted";
    } catch (const ETimedOutError&) {
        FAIL() << "endless line ran into the time-out";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "Reply line too long");
    }
    EXPECT_TRUE(s.Checked.empty());
}

TEST(SocketReadTest, NotConnectedIsAnErrorThatLogsNothing) {
    FakeDesktop desktop;
    TLineSocket s(desktop);
    s.LogFileName = "/dev/null";
    EXPECT_THROW(s.ReadLine(), ESocketError);
    EXPECT_THROW(s.SendLine("x"), ESocketError);
    EXPECT_TRUE(s.LogLines.empty());
}

TEST(SocketStreamTest, ProgressAfterEachChunkRoundsHalvesToEvenThenZero) {
    TScriptedServer server([](TScriptedConnection& c) { c.ReadData(); });
    FakeDesktop desktop;
    TLineSocket s(desktop);
    s.LogFileName = "/dev/null";
    std::vector<int> progress;
    s.OnProgress = [&](TagSocket&, int p) { progress.push_back(p); };
    s.Server = server.Server();
    s.OpenAndConnect();

    // 8 chunks of 2047 bytes: 2047/16376 is 12.5 %, so every other step lands on a half.
    std::stringstream data(std::string(16376 - 5, 'd') + "\r\n.\r\n");
    data.seekg(100); // the stream is sent from its start whatever its position
    s.SendStream(data);
    EXPECT_EQ(progress, (std::vector<int>{12, 25, 38, 50, 62, 75, 88, 100, 100, 0}));
    EXPECT_EQ(s.LogLines, (std::vector<std::string>{"Suppressing the message body"}));
    s.Close();
    // The peer got every byte.
    for (int i = 0; i < 100 && server.Data().empty(); ++i)
        ::usleep(10000);
    ASSERT_EQ(server.Data().size(), 1u);
    EXPECT_EQ(server.Data()[0].size(), 16376u - 3);
}

TEST(SocketLogTest, LogFileIsWrittenWholeAtDestructionEvenWhenEmpty) {
    ostrel::test::TempDir dir;
    {
        FakeDesktop desktop;
        TLineSocket s(desktop);
        s.LogFileName = dir.File("SMTP.LOG");
    }
    ASSERT_TRUE(std::filesystem::exists(dir.File("SMTP.LOG")));
    EXPECT_EQ(ostrel::test::ReadAll(dir.File("SMTP.LOG")), "");

    TScriptedServer server(TScriptedServer::Standard());
    {
        FakeDesktop desktop;
        TLineSocket s(desktop);
        s.LogFileName = dir.File("SMTP.LOG");
        s.Server = server.Server();
        s.OpenAndConnect();
        s.ReadLine();
        s.SendLine("QUIT");
        s.ReadLine();
        EXPECT_EQ(ostrel::test::ReadAll(dir.File("SMTP.LOG")), "") << "written only at the end";
    }
    EXPECT_EQ(ostrel::test::ReadAll(dir.File("SMTP.LOG")), "220 scripted ready\r\nQUIT\r\n221 bye\r\n");
}
