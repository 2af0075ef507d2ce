#include "net/smtp.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "mime/base64.h"
#include "mime/message.h"
#include "platform/fake_desktop.h"
#include "support/scripted_smtp.h"
#include "support/test_support.h"
#include "util/error.h"

using namespace ostrel;
using ostrel::test::TScriptedConnection;
using ostrel::test::TScriptedServer;

namespace {

using TLines = std::vector<std::string>;

// Points the temporary files at a folder of the test's own, so that a file left behind shows.
class TTempFolder {
public:
    TTempFolder() {
        const char* old = std::getenv("TMPDIR");
        old_ = old != nullptr ? old : "";
        hadOld_ = old != nullptr;
        ::setenv("TMPDIR", dir_.Path().c_str(), 1);
    }
    ~TTempFolder() {
        if (hadOld_)
            ::setenv("TMPDIR", old_.c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }
    bool Empty() const { return std::filesystem::is_empty(dir_.Path()); }

private:
    ostrel::test::TempDir dir_;
    std::string old_;
    bool hadOld_ = false;
};

// A client wired to a scripted server, recording its events in order.
struct TClient {
    // The debug log goes to the program folder; a folder of the test's own keeps it out of the
    // working directory and lets a test read what was noted.
    ostrel::test::ProgramFolder Folder;
    FakeDesktop Desktop;
    TmsMessage Message;
    TmsSMTP Smtp{Desktop};
    TLines Events;
    TTempFolder Temp;

    explicit TClient(const TScriptedServer& server) {
        Smtp.Server = server.Server();
        Smtp.TimeOut = 5;
        Smtp.MailMessage = &Message;
        Smtp.OnOpen = [this](TagSocket&) { Events.push_back("Open"); };
        Smtp.OnPrepare = [this](TagSocket&) { Events.push_back("Prepare"); };
        Smtp.OnSending = [this](TagSocket&) { Events.push_back("Sending"); };
        Smtp.OnProgress = [this](TagSocket&, int p) { Events.push_back("Progress " + std::to_string(p)); };
        Smtp.OnMailSent = [this](TagSocket&) { Events.push_back("MailSent"); };
        Smtp.OnClosing = [this](TagSocket&) { Events.push_back("Closing"); };
        Smtp.OnClosed = [this](TagSocket&) { Events.push_back("Closed"); };
        Smtp.OnError = [this](TagSocket&, std::string& msg) { Events.push_back("Error:" + msg); };
        Message.Sender.Address = "me@example.org";
        Message.Recipients.Add("server@example.net", "");
        Message.Subject = "SEND";
        Message.Body = {"GET http://example.com/"};
    }

    // The text of the exception Send raised, prefixed by its class; "" when none.
    std::string SendFailure() {
        try {
            Smtp.Send();
        } catch (const EOstrelError& e) {
            return std::string(e.ClassName()) + ":" + e.what();
        }
        return "";
    }
};

TLines Commands(const TScriptedServer& server) {
    TLines lines = server.Lines();
    // The host name after HELO is this machine's; keep the command word.
    for (auto& l : lines)
        if (l.rfind("HELO ", 0) == 0)
            l = "HELO <host>";
    return lines;
}

} // namespace

TEST(DotStufferTest, DataAnyHowSplitReachesTheWireStuffedWithCrLfOnly) {
    struct TCase {
        std::string In;
        std::string Wire;
    };
    const std::vector<TCase> cases = {
        {"", ""},
        {".\r\n", "..\r\n"},
        {"a\r\n.\r\n.profile\r\nb.\r\n", "a\r\n..\r\n..profile\r\nb.\r\n"},
        {"bare\nlf\rcr\r\rtwo\n\nend", "bare\r\nlf\r\ncr\r\n\r\ntwo\r\n\r\nend\r\n"},
        {"\r\n.\r", "\r\n..\r\n"},
        {"x\r", "x\r\n"},
        {"\x80\xff.\r\n", "\x80\xff.\r\n"},
    };
    for (const auto& c : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{1000}}) {
            TDotStuffer stuffer;
            std::string wire;
            for (std::size_t i = 0; i < c.In.size(); i += piece)
                stuffer.Add(std::string_view(c.In).substr(i, piece), wire);
            stuffer.Finish(wire);
            EXPECT_EQ(wire, c.Wire) << "input " << testing::PrintToString(c.In) << " in pieces of " << piece;
        }
    }
}

TEST(SmtpSendTest, SuccessfulSendRunsTheDialogueAndEventsInOrder) {
    TScriptedServer server(TScriptedServer::Standard());
    TClient client(server);
    client.Message.Recipients.Add("second@example.net", "Second");
    client.Message.BCC.Add("hidden@example.net", "");
    client.Message.Body = {".", ".profile", "end"};

    ASSERT_EQ(client.SendFailure(), "");
    EXPECT_EQ(Commands(server),
              (TLines{"HELO <host>", "MAIL FROM:<me@example.org>", "RCPT TO:<server@example.net>",
                      "RCPT TO:<second@example.net>", "RCPT TO:<hidden@example.net>", "DATA", "QUIT"}));
    EXPECT_EQ(client.Events,
              (TLines{"Open", "Prepare", "Sending", "Progress 100", "Progress 0", "MailSent", "Closing", "Closed"}));
    EXPECT_FALSE(client.Smtp.Connected());
    EXPECT_TRUE(client.Temp.Empty()) << "temporary data file left behind";

    ASSERT_EQ(server.Data().size(), 1u);
    const std::string wire = server.Data()[0];
    EXPECT_NE(wire.find("\r\n\r\n..\r\n..profile\r\nend\r\n"), std::string::npos) << wire;
    EXPECT_EQ(wire.find("hidden@"), std::string::npos) << "BCC address in a header";
    EXPECT_NE(wire.find("second@example.net"), std::string::npos);
    EXPECT_EQ(wire.substr(wire.size() - 5), "end\r\n") << "an extra line before the terminator";
    EXPECT_EQ(client.Smtp.LastReply(), "221 bye");
}

TEST(SmtpLoginTest, MultiLineGreetingIsReadWholeAndRefusedHostNameFallsBackToBareHelo) {
    TScriptedServer picky([](TScriptedConnection& c) {
        c.Send("220-first line\r\n220-second line\r\n220 ready\r\n");
        if (c.ReadLine() == "HELO")
            return; // the greeting was not read whole
        c.Send("501 what kind of name is that\r\n");
        if (c.ReadLine() != "HELO")
            return;
        c.Send("250 hello stranger\r\n");
        for (std::string line = c.ReadLine(); !c.Eof(); line = c.ReadLine()) {
            if (line == "DATA") {
                c.Send("354 go\r\n");
                c.ReadData();
                c.Send("250 ok\r\n");
            } else if (line == "QUIT") {
                c.Send("221 bye\r\n");
                return;
            } else {
                c.Send("250 ok\r\n");
            }
        }
    });
    TClient client(picky);
    ASSERT_EQ(client.SendFailure(), "");
    EXPECT_EQ(Commands(picky)[0], "HELO <host>");
    EXPECT_EQ(Commands(picky)[1], "HELO");
    for (const auto& e : client.Events)
        EXPECT_EQ(e.rfind("Error", 0), std::string::npos) << "OnError fired for the first refusal: " << e;
}

TEST(SmtpLoginTest, BothHelosRefusedFailsWithTheSecondReplyAndOneErrorEvent) {
    TScriptedServer server(TScriptedServer::Standard({{"HELO", "502 go away"}}));
    TClient client(server);
    EXPECT_EQ(client.SendFailure(), "ESocketError:502 go away");
    EXPECT_EQ(std::count_if(client.Events.begin(), client.Events.end(),
                            [](const std::string& e) { return e.rfind("Error", 0) == 0; }),
              1);
    EXPECT_FALSE(client.Smtp.Connected()) << "a failed Connect leaves the socket open";
    EXPECT_EQ(Commands(server), (TLines{"HELO <host>", "HELO"}));
}

TEST(SmtpReplyTest, ErrorReplyToRcptQuitsClosesAndKeepsTheTempFileAway) {
    TScriptedServer server(TScriptedServer::Standard({{"RCPT", "550 no such user here"}}));
    TClient client(server);
    EXPECT_EQ(client.SendFailure(), "ESocketError:550 no such user here");
    EXPECT_EQ(Commands(server).back(), "QUIT");
    const TLines tail(client.Events.end() - 3, client.Events.end());
    EXPECT_EQ(tail, (TLines{"Error:550 no such user here", "Closing", "Closed"}));
    EXPECT_TRUE(client.Temp.Empty());
    EXPECT_EQ(std::find(client.Events.begin(), client.Events.end(), "MailSent"), client.Events.end());
}

TEST(SmtpReplyTest, ThreeDigitsAloneFailFourBytesKeepTheReplyOpen) {
    {
        TScriptedServer server(TScriptedServer::Standard({{"MAIL", "250"}}));
        TClient client(server);
        EXPECT_EQ(client.SendFailure(), "ESocketError:250");
    }
    {
        TScriptedServer server(TScriptedServer::Standard({{"MAIL", "250 \r\n250 sender ok"}}));
        TClient client(server);
        EXPECT_EQ(client.SendFailure(), "");
        EXPECT_EQ(server.Data().size(), 1u);
    }
    {
        // 3xx other than 354 and 4xx are errors after any command.
        TScriptedServer server(TScriptedServer::Standard({{"DATA", "334 what"}}));
        TClient client(server);
        EXPECT_EQ(client.SendFailure(), "ESocketError:334 what");
    }
}

TEST(SmtpReplyTest, BareLineFeedsAndLongReplyLinesAreJudgedWhole) {
    const std::string longReply = "250 " + std::string(596, 'k');
    TScriptedServer server([&](TScriptedConnection& c) {
        c.Send("220 hi\n");
        for (std::string line = c.ReadLine(); !c.Eof(); line = c.ReadLine()) {
            if (line == "DATA") {
                c.Send("354 go\n");
                c.ReadData();
                c.Send(longReply + "\n");
            } else if (line == "QUIT") {
                c.Send("221-so\n221 long\n");
                return;
            } else {
                c.Send("250 ok\n");
            }
        }
    });
    TClient client(server);
    std::string afterData;
    client.Smtp.OnMailSent = [&](TagSocket&) { afterData = client.Smtp.LastReply(); };
    EXPECT_EQ(client.SendFailure(), "");
    EXPECT_EQ(afterData, longReply);
}

TEST(SmtpReplyTest, ServerGoneMidSessionFailsAndTheNextConnectStartsAfresh) {
    int connection = 0;
    TScriptedServer server([&](TScriptedConnection& c) {
        ++connection;
        if (connection == 1) {
            c.Send("220 hi\r\n");
            c.ReadLine();
            c.Send("250 hello\r\n");
            c.ReadLine();
            c.Send("421 shutting down\r\n");
            return;
        }
        TScriptedServer::Standard()(c);
    });
    TClient client(server);
    EXPECT_EQ(client.SendFailure(), "ESocketError:421 shutting down");
    EXPECT_FALSE(client.Smtp.Connected());
    EXPECT_EQ(client.SendFailure(), "");
    EXPECT_EQ(server.Connections(), 2);
}

TEST(SmtpReplyTest, CloseAfterDataWithoutReplyIsAFailureNotASentMail) {
    TScriptedServer server([](TScriptedConnection& c) {
        c.Send("220 hi\r\n");
        for (std::string line = c.ReadLine(); !c.Eof(); line = c.ReadLine()) {
            if (line == "DATA") {
                c.Send("354 go\r\n");
                c.ReadData();
                return; // gone without a word
            }
            c.Send("250 ok\r\n");
        }
    });
    TClient client(server);
    EXPECT_EQ(client.SendFailure(), "ESocketError:Connection closed by the server");
    EXPECT_EQ(std::find(client.Events.begin(), client.Events.end(), "MailSent"), client.Events.end());
    EXPECT_FALSE(client.Smtp.Connected());
    EXPECT_TRUE(client.Temp.Empty());
}

TEST(SmtpReplyTest, QuitRefusedDroppedOrUnansweredAfterTheMailIsNoFailure) {
    // Once the 250 after the data has been read the mail is delivered; what QUIT meets then must
    // not make the caller queue and send it again.
    for (const std::string quit : {"500 not now", "<close>", "<silent>"}) {
        TScriptedServer server(TScriptedServer::Standard({{"QUIT", quit}}));
        TClient client(server);
        client.Smtp.TimeOut = 1;
        EXPECT_EQ(client.SendFailure(), "") << quit;
        EXPECT_EQ(std::count(client.Events.begin(), client.Events.end(), "MailSent"), 1) << quit;
        EXPECT_NE(ostrel::test::ReadAll(client.Folder.File("DebugLog.Txt")).find("QUIT after a sent mail: "), std::string::npos)
            << quit;
        EXPECT_FALSE(client.Smtp.Connected()) << quit;
        EXPECT_EQ(server.Data().size(), 1u);
        client.Smtp.Connect();
        EXPECT_EQ(server.Connections(), 2) << "the next Connect reused a half-closed socket";
    }
}

TEST(SmtpReplyTest, EndlessContinuationLinesEndWithATimeOutForTheWholeReply) {
    std::atomic<bool> stop{false};
    TScriptedServer server([&](TScriptedConnection& c) {
        // Each line well inside the time-out, the reply never ending.
        for (int i = 0; i < 200 && !stop; ++i) {
            c.Send("220-still greeting " + std::to_string(i) + "\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    TClient client(server);
    client.Smtp.TimeOut = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.SendFailure(), "ETimedOutError:Operation timed out");
    stop = true;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(client.Smtp.Connected());
}

TEST(SmtpSendMailTest, UnassignedMessageGreetsThenFailsAndQuits) {
    TScriptedServer server(TScriptedServer::Standard());
    TClient client(server);
    client.Smtp.MailMessage = nullptr;
    EXPECT_EQ(client.SendFailure(), "ESocketError:MailMessage property must be assigned");
    EXPECT_EQ(Commands(server), (TLines{"HELO <host>", "QUIT"}));
    EXPECT_NE(std::find(client.Events.begin(), client.Events.end(), "Error:MailMessage property must be assigned"),
              client.Events.end());
}

TEST(SmtpSendMailTest, InvalidMessagesNeverReachACommand) {
    struct TCase {
        std::function<void(TmsMessage&)> Spoil;
        std::string Failure; // prefix
    };
    const std::vector<TCase> cases = {
        {[](TmsMessage& m) { m.Sender.Address.clear(); }, "EMessageError:The address of sender is required"},
        {[](TmsMessage& m) {
             m.Recipients.Clear();
             m.CC.Add("", "");
         },
         "EMessageError:At least one Recipient, CC or BCC must be entered"},
        {[](TmsMessage& m) { m.Sender.Address = "me@example.org>\r\nRCPT TO:<victim@example.net"; }, "EMessageError:"},
        {[](TmsMessage& m) { m.Recipients.Add("a@b> NOTIFY=NEVER", ""); }, "EMessageError:"},
        {[](TmsMessage& m) { m.BCC.Add(std::string("a@b\0c", 5), ""); }, "EMessageError:"},
    };
    for (const auto& c : cases) {
        TScriptedServer server(TScriptedServer::Standard());
        TClient client(server);
        c.Spoil(client.Message);
        const std::string failure = client.SendFailure();
        EXPECT_EQ(failure.rfind(c.Failure, 0), 0u) << failure;
        EXPECT_EQ(Commands(server), (TLines{"HELO <host>", "QUIT"}));
        EXPECT_TRUE(client.Temp.Empty());
    }
}

TEST(SmtpOpenTest, EmptyServerIsRefusedBeforeOnOpen) {
    FakeDesktop desktop;
    TmsSMTP smtp(desktop);
    TLines events;
    smtp.OnOpen = [&](TagSocket&) { events.push_back("Open"); };
    smtp.OnError = [&](TagSocket&, std::string& m) { events.push_back(m); };
    EXPECT_THROW(smtp.Connect(), ESocketError);
    EXPECT_EQ(events, (TLines{"Server property is required"}));
    EXPECT_EQ(smtp.DefaultPort, 25);
    EXPECT_EQ(smtp.ServiceName, "smtp");
}

namespace {

const std::string EhloStartTls = "250-scripted\r\n250-PIPELINING\r\n250 STARTTLS";
const std::string EhloAuth = "250-scripted\r\n250-AUTH=LOGIN\r\n250 AUTH PLAIN LOGIN";

// A client that takes the server for another machine, as a provider's server is.
class TRemoteSMTP : public TmsSMTP {
public:
    using TmsSMTP::TmsSMTP;

protected:
    bool PeerIsThisMachine() const override { return false; }
};

bool Has(const TLines& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

} // namespace

TEST(SmtpSecureTest, StartTlsMissingOrRefusedSendsNothingMoreInClear) {
    struct TCase {
        std::map<std::string, std::string> Replies;
        TLines Commands;
        std::string Why;
    };
    const std::vector<TCase> cases = {
        // Stripped from the EHLO reply on the way.
        {{{"EHLO", "250-scripted\r\n250 AUTH PLAIN"}}, {"EHLO <host>"}, "it does not offer STARTTLS"},
        {{{"EHLO", EhloStartTls}, {"STARTTLS", "454 TLS not available due to temporary reason"}},
         {"EHLO <host>", "STARTTLS"},
         "it answered 454 TLS not available due to temporary reason"},
        // Offered, then answered with something that is no go-ahead.
        {{{"EHLO", EhloStartTls}, {"STARTTLS", "250 sure"}}, {"EHLO <host>", "STARTTLS"}, "it answered 250 sure"},
    };
    for (const auto& c : cases) {
        TScriptedServer server(TScriptedServer::Standard(c.Replies));
        TClient client(server);
        client.Smtp.Security = TSmtpSecurity::STARTTLS;
        client.Smtp.UserName = "me";
        client.Smtp.Password = "secret";
        const std::string failure = client.SendFailure();
        EXPECT_EQ(failure.rfind("ESocketError:The server 127.0.0.1 did not allow encryption (" + c.Why + ")", 0), 0u)
            << failure;
        TLines commands = Commands(server);
        for (auto& l : commands)
            if (l.rfind("EHLO ", 0) == 0)
                l = "EHLO <host>";
        EXPECT_EQ(commands, c.Commands) << "something more was sent in clear";
        EXPECT_FALSE(client.Smtp.Connected());
    }
}

TEST(SmtpSecureTest, StalledHandshakeTimesOutWhileTheDesktopKeepsRunning) {
    TScriptedServer server([](TScriptedConnection& c) {
        c.Send("220 hi\r\n");
        c.ReadLine();
        c.Send(EhloStartTls + "\r\n");
        c.ReadLine();
        c.Send("220 go ahead\r\n");
        // Takes the client's hello and answers nothing, as a stalled server would.
        while (!c.Eof())
            c.ReadLine();
    });
    TClient client(server);
    client.Smtp.Security = TSmtpSecurity::STARTTLS;
    client.Smtp.TimeOut = 1;
    const int pumpsBefore = client.Desktop.PumpCount;
    EXPECT_EQ(client.SendFailure(), "ETimedOutError:Operation timed out");
    EXPECT_GT(client.Desktop.PumpCount - pumpsBefore, 20) << "the handshake wait did not let the desktop run";
    EXPECT_FALSE(client.Smtp.Connected());
    EXPECT_TRUE(server.Data().empty());
}

TEST(SmtpSecureTest, ClearTextPasswordOnlyToThisMachine) {
    {
        // A provider's server offering AUTH without TLS: refused before a credential is sent.
        TScriptedServer server(TScriptedServer::Standard({{"EHLO", EhloAuth}}));
        FakeDesktop desktop;
        TRemoteSMTP smtp(desktop);
        TmsMessage message;
        smtp.Server = server.Server();
        smtp.MailMessage = &message;
        smtp.UserName = "me";
        smtp.Password = "secret";
        try {
            smtp.Send();
            ADD_FAILURE() << "sent";
        } catch (const ESocketError& e) {
            EXPECT_EQ(std::string(e.what()), SPasswordNeedsTls);
        }
        EXPECT_FALSE(Has(server.Lines(), "AUTH"));
        EXPECT_FALSE(Has(server.Lines(), "MAIL"));
    }
    {
        // The same on loopback logs in: a local relay needs no encryption.
        TScriptedServer server(TScriptedServer::Standard({{"EHLO", EhloAuth}, {"AUTH", "235 welcome"}}));
        TClient client(server);
        client.Smtp.UserName = "me";
        client.Smtp.Password = "secret";
        EXPECT_EQ(client.SendFailure(), "");
        EXPECT_TRUE(Has(server.Lines(), "AUTH PLAIN " + Base64Encode(std::string("\0me\0secret", 10))));
        EXPECT_EQ(server.Data().size(), 1u);
    }
}

TEST(SmtpSecureTest, LogInRefusalsSayWhatToDoAndSecretsStayOutOfTheLog) {
    struct TCase {
        std::string AuthReply;
        std::string Failure;
    };
    const std::vector<TCase> cases = {
        {"535 5.7.8 Authentication credentials invalid",
         std::string(SBadCredentials) + " (535 5.7.8 Authentication credentials invalid)"},
        {"530 5.7.0 Must issue a STARTTLS command first",
         std::string(SStartTlsWanted) + " (530 5.7.0 Must issue a STARTTLS command first)"},
        {"454 4.7.0 Temporary authentication failure",
         "The server refused the log-in: 454 4.7.0 Temporary authentication failure"},
    };
    for (const auto& c : cases) {
        TScriptedServer server(TScriptedServer::Standard({{"EHLO", EhloAuth}, {"AUTH", c.AuthReply}}));
        TClient client(server);
        client.Smtp.UserName = "me";
        client.Smtp.Password = "pa55word";
        client.Smtp.LogFileName = "unused";
        EXPECT_EQ(client.SendFailure(), "ESocketError:" + c.Failure);
        EXPECT_FALSE(Has(server.Lines(), "MAIL"));
        for (const auto& line : client.Smtp.LogLines) {
            EXPECT_EQ(line.find("pa55word"), std::string::npos) << line;
            EXPECT_EQ(line.find(Base64Encode(std::string("\0me\0pa55word", 12))), std::string::npos) << line;
        }
        EXPECT_TRUE(Has(client.Smtp.LogLines, "AUTH PLAIN <credentials hidden>"));
        client.Smtp.LogFileName.clear();
    }
}

TEST(SmtpSecureTest, AuthLoginWhenPlainIsNotOfferedAndNothingUnknownIsTried) {
    std::vector<std::string> seen;
    TScriptedServer server([&](TScriptedConnection& c) {
        c.Send("220 hi\r\n");
        c.ReadLine();
        c.Send("250-hi\r\n250 AUTH CRAM-MD5 LOGIN\r\n");
        if (c.ReadLine() != "AUTH LOGIN")
            return;
        c.Send("334 VXNlcm5hbWU6\r\n");
        seen.push_back(Base64Decode(c.ReadLine()));
        c.Send("334 UGFzc3dvcmQ6\r\n");
        seen.push_back(Base64Decode(c.ReadLine()));
        c.Send("235 ok\r\n");
        TScriptedServer::Standard()(c);
    });
    TClient client(server);
    client.Smtp.UserName = "user@example.org";
    client.Smtp.Password = "pw";
    EXPECT_EQ(client.SendFailure(), "");
    EXPECT_EQ(seen, (TLines{"user@example.org", "pw"}));

    TScriptedServer unknown(TScriptedServer::Standard({{"EHLO", "250-hi\r\n250 AUTH CRAM-MD5 XOAUTH2"}}));
    TClient other(unknown);
    other.Smtp.UserName = "me";
    other.Smtp.Password = "pw";
    EXPECT_EQ(other.SendFailure(), "ESocketError:The server offers no log-in method that Ostrel knows (it offers "
                                   "CRAM-MD5 XOAUTH2; Ostrel knows PLAIN and LOGIN)");
    EXPECT_FALSE(Has(unknown.Lines(), "AUTH"));
}

TEST(SmtpSecureTest, LineBreaksInCredentialsAreRefusedBeforeTheWire) {
    TScriptedServer server(TScriptedServer::Standard({{"EHLO", EhloAuth}}));
    for (const auto& [user, password] :
         std::vector<std::pair<std::string, std::string>>{{"me\r\nMAIL FROM:<x@y>", "pw"},
                                                          {"me", "pw\nRCPT TO:<victim@example.net>"},
                                                          {"me", std::string("a\0b", 3)}}) {
        TClient client(server);
        client.Smtp.UserName = user;
        client.Smtp.Password = password;
        EXPECT_EQ(client.SendFailure(), std::string("ESocketError:") + SLineBreakInCredentials);
    }
    EXPECT_EQ(server.Connections(), 0);
}

TEST(SmtpSecureTest, GreetingNamesAFullNameOrAnAddressNeverAShortHostName) {
    TScriptedServer server(TScriptedServer::Standard({{"EHLO", EhloAuth}, {"AUTH", "235 ok"}}));
    TClient client(server);
    client.Smtp.UserName = "me";
    client.Smtp.Password = "pw";
    ASSERT_EQ(client.SendFailure(), "");
    const std::string ehlo = server.Lines().at(0);
    ASSERT_EQ(ehlo.rfind("EHLO ", 0), 0u) << ehlo;
    const std::string name = ehlo.substr(5);
    EXPECT_TRUE(name == "[127.0.0.1]" || (name.find('.') != std::string::npos && name.front() != '['))
        << "greeting name " << name;
}

TEST(SmtpSessionTest, PipelinedEnvelopeAndARefusedRecipientSendsNoData) {
    for (const bool refuse : {false, true}) {
        std::vector<std::string> data;
        TScriptedServer server([&](TScriptedConnection& c) {
            c.Send("220 hi\r\n");
            c.ReadLine();
            c.Send("250-hi\r\n250-PIPELINING\r\n250 AUTH PLAIN\r\n");
            c.ReadLine();
            c.Send("235 ok\r\n");
            // The whole envelope arrives before any reply to it: a client that waited would
            // stall here.
            const std::string mail = c.ReadLine(), rcpt = c.ReadLine(), dataCommand = c.ReadLine();
            if (mail.rfind("MAIL", 0) != 0 || rcpt.rfind("RCPT", 0) != 0 || dataCommand != "DATA")
                return;
            c.Send(std::string("250 sender ok\r\n") + (refuse ? "550 no such user\r\n" : "250 ok\r\n") +
                   "354 go ahead\r\n");
            data.push_back(c.ReadData());
            c.Send(refuse ? "554 no valid recipients\r\n" : "250 queued\r\n");
            TScriptedServer::Standard()(c);
        });
        TClient client(server);
        client.Smtp.UserName = "me";
        client.Smtp.Password = "pw";
        EXPECT_EQ(client.SendFailure(), refuse ? "ESocketError:550 no such user" : "");
        ASSERT_EQ(data.size(), 1u);
        EXPECT_EQ(data[0].empty(), refuse) << "data sent after a refused recipient";
    }
}

TEST(SmtpSessionTest, OneSessionForManyMailsAndAFreshOneAfterAFailure) {
    int dots = 0;
    TScriptedServer server([&](TScriptedConnection& c) {
        c.Send("220 hi\r\n");
        for (std::string line = c.ReadLine(); !c.Eof(); line = c.ReadLine()) {
            if (line == "DATA") {
                c.Send("354 go\r\n");
                c.ReadData();
                c.Send(++dots == 3 ? "451 try later\r\n" : "250 ok\r\n");
            } else if (line == "QUIT") {
                c.Send("221 bye\r\n");
                return;
            } else {
                c.Send("250 ok\r\n");
            }
        }
    });
    TClient client(server);
    for (int i = 0; i < 2; ++i)
        client.Smtp.SendInSession();
    EXPECT_TRUE(client.Smtp.Connected());
    EXPECT_THROW(client.Smtp.SendInSession(), ESocketError);
    EXPECT_FALSE(client.Smtp.Connected()) << "a failed mail leaves its session open";
    client.Smtp.SendInSession();
    client.Smtp.EndSession();
    EXPECT_EQ(server.Connections(), 2);
    // Without pipelining the completed transactions reset the server: no RSET round trip.
    EXPECT_EQ(Commands(server),
              (TLines{"HELO <host>", "MAIL FROM:<me@example.org>", "RCPT TO:<server@example.net>", "DATA",
                      "MAIL FROM:<me@example.org>", "RCPT TO:<server@example.net>", "DATA",
                      "MAIL FROM:<me@example.org>", "RCPT TO:<server@example.net>", "DATA", "QUIT", "HELO <host>",
                      "MAIL FROM:<me@example.org>", "RCPT TO:<server@example.net>", "DATA", "QUIT"}));

    // With pipelining the RSET rides in the envelope's write.
    TScriptedServer piped(
        TScriptedServer::Standard({{"EHLO", "250-hi\r\n250-PIPELINING\r\n250 AUTH PLAIN"}, {"AUTH", "235 ok"}}));
    TClient other(piped);
    other.Smtp.UserName = "me";
    other.Smtp.Password = "pw";
    other.Smtp.SendInSession();
    other.Smtp.SendInSession();
    other.Smtp.EndSession();
    TLines lines = piped.Lines();
    lines.erase(lines.begin(), lines.begin() + 2); // EHLO, AUTH
    EXPECT_EQ(lines, (TLines{"MAIL FROM:<me@example.org>", "RCPT TO:<server@example.net>", "DATA", "RSET",
                             "MAIL FROM:<me@example.org>", "RCPT TO:<server@example.net>", "DATA", "QUIT"}));
    EXPECT_EQ(piped.Connections(), 1);
}
