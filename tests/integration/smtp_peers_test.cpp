#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "mime/encoder.h"
#include "mime/message.h"
#include "net/smtp.h"
#include "platform/fake_desktop.h"
#include "support/peers.h"
#include "support/test_support.h"
#include "util/error.h"

using namespace ostrel;
using ostrel::test::TAiosmtpdPeer;
using ostrel::test::TSmtpSinkPeer;
using SteadyClock = std::chrono::steady_clock;

namespace {

struct TSender {
    FakeDesktop Desktop;
    TmsMessage Message;
    TmsSMTP Smtp{Desktop};
    std::vector<std::string> Events;
    ostrel::test::TempDir Temp;

    explicit TSender(const std::string& server) {
        ::setenv("TMPDIR", Temp.Path().c_str(), 1);
        Smtp.Server = server;
        Smtp.TimeOut = 10;
        Smtp.MailMessage = &Message;
        Smtp.OnError = [this](TagSocket&, std::string& m) { Events.push_back("Error:" + m); };
        Smtp.OnMailSent = [this](TagSocket&) { Events.push_back("MailSent"); };
        Smtp.OnClosed = [this](TagSocket&) { Events.push_back("Closed"); };
        Message.Sender.Address = "user@example.org";
        Message.Recipients.Add("getweb@example.net", "");
        Message.Subject = "request";
        Message.Body = {"GET http://example.com/file.zip"};
    }
    ~TSender() { ::unsetenv("TMPDIR"); }

    std::string Failure() {
        try {
            Smtp.Send();
        } catch (const EOstrelError& e) {
            return std::string(e.ClassName()) + ":" + e.what();
        }
        return "";
    }
    bool TempEmpty() const { return std::filesystem::is_empty(Temp.Path()); }
};

} // namespace

TEST(SmtpAiosmtpdTest, AwkwardBodyArrivesExactlyAsComposed) {
    TAiosmtpdPeer peer;
    TSender sender(peer.Server());
    std::string high;
    for (int b = 0x80; b <= 0xFF; ++b)
        high += static_cast<char>(b);
    sender.Message.Recipients.Add("second@example.net", "Second Person");
    sender.Message.BCC.Add("blind@example.net", "");
    sender.Message.Body = {".", ".hidden", "..two", "plain", std::string(256, 'q'), high, "", "last ."};

    TmsMessage copy = sender.Message;
    const std::string composed = EncodeMessageText(copy);
    ASSERT_EQ(sender.Failure(), "");
    ASSERT_TRUE(peer.WaitForMails(1, std::chrono::seconds(10)));
    const auto mails = peer.Mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].MailFrom, "user@example.org");
    EXPECT_EQ(mails[0].RcptTo,
              (std::vector<std::string>{"getweb@example.net", "second@example.net", "blind@example.net"}));
    EXPECT_EQ(mails[0].Content, composed);
    EXPECT_EQ(mails[0].Content.find("blind@"), std::string::npos);
    EXPECT_NE(composed.find("quoted-printable"), std::string::npos) << "the 256-byte line should force it";
    EXPECT_TRUE(sender.TempEmpty());
}

TEST(SmtpAiosmtpdTest, BodyWithBareLineBreaksArrivesWithCrLf) {
    TAiosmtpdPeer peer;
    TSender sender(peer.Server());
    sender.Message.Body = {"one\ntwo\rthree", ".four"};
    ASSERT_EQ(sender.Failure(), "");
    ASSERT_TRUE(peer.WaitForMails(1, std::chrono::seconds(10)));
    const std::string content = peer.Mails()[0].Content;
    EXPECT_NE(content.find("\r\n\r\none\r\ntwo\r\nthree\r\n.four\r\n"), std::string::npos) << content;
}

TEST(SmtpSinkTest, ManyMailsOneConnectionEach) {
    TSmtpSinkPeer sink;
    TSender sender(sink.Server());
    for (int i = 0; i < 25; ++i)
        ASSERT_EQ(sender.Failure(), "") << "mail " << i;
    EXPECT_EQ(std::count(sender.Events.begin(), sender.Events.end(), "MailSent"), 25);
    EXPECT_TRUE(sender.TempEmpty());
}

TEST(SmtpSinkTest, InjectedFaultsEndInTheServersReplyOrAClearError) {
    struct TCase {
        std::vector<std::string> Options;
        std::string FailurePrefix;
    };
    const std::vector<TCase> cases = {
        {{"-f", "rcpt"}, "ESocketError:5"}, {{"-r", "mail"}, "ESocketError:4"}, {{"-f", "."}, "ESocketError:5"},
        {{"-q", "data"}, "ESocketError:"},  {{"-f", "helo"}, "ESocketError:5"},
    };
    for (const auto& c : cases) {
        TSmtpSinkPeer sink(c.Options);
        TSender sender(sink.Server());
        const auto start = SteadyClock::now();
        const std::string failure = sender.Failure();
        EXPECT_EQ(failure.rfind(c.FailurePrefix, 0), 0u) << c.Options[1] << ": " << failure;
        EXPECT_LT(SteadyClock::now() - start, std::chrono::seconds(3)) << c.Options[1];
        EXPECT_FALSE(sender.Smtp.Connected()) << c.Options[1];
        EXPECT_EQ(std::count(sender.Events.begin(), sender.Events.end(), "MailSent"), 0) << c.Options[1];
        EXPECT_EQ(sender.Events.back(), "Closed") << c.Options[1];
        EXPECT_TRUE(sender.TempEmpty()) << c.Options[1];
    }
}

TEST(SmtpSinkTest, SlowServerKeepsTheDesktopPumped) {
    TSmtpSinkPeer sink({"-w", "1"});
    TSender sender(sink.Server());
    std::vector<SteadyClock::time_point> pumps;
    sender.Desktop.OnPump = [&] { pumps.push_back(SteadyClock::now()); };
    const auto start = SteadyClock::now();
    ASSERT_EQ(sender.Failure(), "");
    const auto end = SteadyClock::now();
    EXPECT_GE(end - start, std::chrono::milliseconds(950));
    ASSERT_GT(pumps.size(), 20u);
    // No wait may sit through the server's one-second delay.
    ostrel::test::ExpectPumpedInSlices(start, pumps, end, std::chrono::milliseconds(500));
}

TEST(SmtpSinkTest, StoppedPeerIsRefusedAtOnce) {
    TSmtpSinkPeer sink;
    const std::string server = sink.Server();
    sink.Stop();
    TSender sender(server);
    sender.Smtp.TimeOut = 30;
    const auto start = SteadyClock::now();
    EXPECT_EQ(sender.Failure(), "ESocketError:[10061] Connection refused");
    EXPECT_LT(SteadyClock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(sender.Events.front(), "Error:[10061] Connection refused");
}
