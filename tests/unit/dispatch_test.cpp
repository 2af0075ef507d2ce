#include "requests/dispatch.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <stdexcept>

#include <gtest/gtest.h>

#include "platform/fake_desktop.h"
#include "support/program_under_test.h"
#include "support/scripted_smtp.h"
#include "util/program_state.h"

using namespace ostrel;
using ostrel::test::TScriptedConnection;
using ostrel::test::TScriptedServer;

namespace {

// The program with a scripted SMTP server whose replies the test may change between sends.
// The test message went out long ago, so only requests reach the server.
struct Program : test::TProgramUnderTest {
    std::map<std::string, std::string> replies;
    TScriptedServer server{[this](TScriptedConnection& c) { TScriptedServer::Standard(replies)(c); }};

    Program() {
        folder.Write("config/ostrel/Test Message.Flg", " ");
        Start(server.Server());
    }
    ~Program() override { ProgramState().DontSend = false; }
    void Queue(std::initializer_list<const char*> entries) {
        for (const char* e : entries)
            f().lstQueue.AddItem(e);
        app->Settings().ControlRefresh(); // "Send Queue" is enabled while entries wait
    }
    void Menu(const char* item, int index) {
        f().lstQueue.SetItemIndex(index);
        f().PopupMenu2.Find(item)->OnClick();
    }
    // The requests the server took, in order, as the URL each body names.
    std::vector<std::string> Sent(const std::vector<std::string>& urls) {
        std::vector<std::string> out;
        for (const auto& data : server.Data())
            for (const auto& url : urls)
                if (data.find(url) != std::string::npos)
                    out.push_back(url);
        return out;
    }
    int RcptsTo(const std::string& address) {
        const auto lines = server.Lines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), "RCPT TO:<" + address + ">"));
    }
    // Runs once, the first time a send is under way.
    void DuringTheFirstSend(std::function<void()> action) {
        desk.OnPump = [this, action = std::move(action), done = false]() mutable {
            if (ProgramState().Busy && !done) {
                done = true;
                action();
            }
        };
    }
};

} // namespace

TEST(QueueRun, ARefusedEntryStaysWithoutStoppingTheRunAndOnlyAFailureThatMayPassStopsIt) {
    Program p;
    const std::string ftpServer = p.f().cboFTPservers.Text();
    const std::string pageServer = p.f().cboHTTPServersPages.Text();
    p.replies["RCPT TO:<" + ftpServer + ">"] = "550 5.1.1 No such user";
    p.Queue({"ftp://f.example/x.zip", "http://b.example/", "http://c.example/"});
    p.f().btnSend.Click();
    EXPECT_EQ(p.f().lstQueue.Items(), std::vector<std::string>{"ftp://f.example/x.zip"});
    EXPECT_EQ(p.Sent({"b.example", "c.example"}), (std::vector<std::string>{"b.example", "c.example"}));
    ASSERT_EQ(p.desk.Dialogs.size(), 1u);
    EXPECT_EQ(p.desk.Dialogs[0].Text.rfind("Error in Request Failed.", 0), 0u);

    // The run after the next success tries it again without showing the same refusal again.
    p.desk.CopyFromOtherProgram("http://d.example/");
    EXPECT_EQ(p.RcptsTo(ftpServer), 2);
    EXPECT_EQ(p.desk.Dialogs.size(), 1u);
    EXPECT_EQ(p.f().lstQueue.Count(), 1);

    // Send Queue shows every refusal; a 4xx reply to the next entry ends the run there.
    p.replies["RCPT TO:<" + pageServer + ">"] = "451 4.3.0 Try again later";
    p.Queue({"http://e.example/", "http://g.example/"});
    p.f().btnSend.Click();
    EXPECT_EQ(p.RcptsTo(ftpServer), 3);
    EXPECT_EQ(p.f().lstQueue.Items(),
              (std::vector<std::string>{"ftp://f.example/x.zip", "http://e.example/", "http://g.example/"}));
    EXPECT_EQ(p.desk.Dialogs.size(), 3u);
    EXPECT_TRUE(p.Sent({"g.example"}).empty());
    EXPECT_FALSE(ProgramState().QueueRun);
}

TEST(QueueRun, DeletingTheEntryBeingSentLosesNoOtherEntry) {
    Program p;
    p.Queue({"http://a.example/", "http://b.example/"});
    p.DuringTheFirstSend([&] { p.Menu("Delete1", 0); });
    p.f().btnSend.Click();
    EXPECT_EQ(p.Sent({"a.example", "b.example"}), (std::vector<std::string>{"a.example", "b.example"}));
    EXPECT_TRUE(p.f().lstQueue.Items().empty());
    EXPECT_EQ(p.folder.Read("Queue.Dat"), "");
}

TEST(QueueRun, DeleteAllDuringASendEndsTheRunAfterIt) {
    Program p;
    p.Queue({"http://a.example/", "http://b.example/", "http://c.example/"});
    p.DuringTheFirstSend([&] { p.Menu("DeleteAll1", 0); });
    p.f().btnSend.Click();
    EXPECT_EQ(p.Sent({"a.example", "b.example", "c.example"}), std::vector<std::string>{"a.example"});
    EXPECT_TRUE(p.f().lstQueue.Items().empty());
    EXPECT_TRUE(p.desk.Dialogs.empty());
}

TEST(QueueRun, RequestNowDuringASendWaitsAndNeverSendsAnEntryTwice) {
    Program p;
    p.Queue({"http://a.example/", "http://b.example/", "http://c.example/"});
    // Asked for while "a" goes out: "b" is sent by the run, so the waiting Request Now has
    // nothing left to do.
    p.DuringTheFirstSend([&] { p.Menu("RequestNow1", 1); });
    p.f().btnSend.Click();
    EXPECT_EQ(p.Sent({"a.example", "b.example", "c.example"}),
              (std::vector<std::string>{"a.example", "b.example", "c.example"}));
    EXPECT_TRUE(p.f().lstQueue.Items().empty());

    // Outside a run it sends the entry chosen and removes that one, wherever it now stands.
    p.Queue({"http://d.example/", "http://e.example/"});
    p.DuringTheFirstSend([&] { p.f().lstQueue.InsertItem(0, "http://new.example/"); });
    p.Menu("RequestNow1", 1);
    EXPECT_EQ(p.f().lstQueue.Items(), (std::vector<std::string>{"http://new.example/", "http://d.example/"}));
}

TEST(Serialize, RequestsWaitingBehindOneThatRaisesStillRunInTheirOrder) {
    Program p;
    auto& d = p.app->Dispatcher();
    std::vector<int> order;
    EXPECT_THROW(d.Serialize([&] {
        d.Serialize([&] { order.push_back(2); });
        d.Serialize([&] { order.push_back(3); });
        throw std::runtime_error("template unreadable");
    }),
                 std::runtime_error);
    EXPECT_EQ(order, (std::vector<int>{2, 3}));
    EXPECT_FALSE(d.Running());
    d.Serialize([&] { order.push_back(4); }); // nothing is left stranded or blocked
    EXPECT_EQ(order.back(), 4);
}

TEST(Dispatch, AHistoryThatCannotBeSavedNeverTurnsASentMailIntoAFailure) {
    Program p;
    // A folder where the file goes: no rename can replace it, not even for root.
    std::filesystem::create_directory(p.folder.File("History.Dat"));
    p.desk.CopyFromOtherProgram("http://a.example/");
    p.desk.CopyFromOtherProgram("http://b.example/");
    EXPECT_EQ(p.Sent({"a.example", "b.example"}), (std::vector<std::string>{"a.example", "b.example"}));
    EXPECT_EQ(p.f().lstHistory.Count(), 2);
    EXPECT_TRUE(p.f().lstQueue.Items().empty());
    ASSERT_EQ(p.desk.Dialogs.size(), 1u); // one report for the spell, not one per send
    EXPECT_NE(p.desk.Dialogs[0].Text.find("Cannot create file " + p.folder.File("History.Dat")), std::string::npos);
    EXPECT_EQ(p.desk.Dialogs[0].Text.find("Request Failed"), std::string::npos);
    // Once the file can be written again, the next change saves everything kept meanwhile.
    std::filesystem::remove(p.folder.File("History.Dat"));
    p.desk.CopyFromOtherProgram("http://c.example/");
    const std::string saved = p.folder.Read("History.Dat");
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 3);
}

TEST(Dispatch, DontSendModeKeepsEverythingOffTheNetworkAndTheQueueAsItWas) {
    Program p;
    std::filesystem::remove(p.folder.File("config/ostrel/Test Message.Flg"));
    ProgramState().DontSend = true;
    p.Queue({"http://a.example/", "http://b.example/"});
    p.desk.CopyFromOtherProgram("http://c.example/");
    ASSERT_EQ(p.desk.Dialogs.size(), 3u); // the request, then each queued one, shown
    EXPECT_NE(p.desk.Dialogs[1].Text.find("http://a.example/"), std::string::npos);
    EXPECT_NE(p.desk.Dialogs[2].Text.find("http://b.example/"), std::string::npos);
    EXPECT_EQ(p.f().lstQueue.Items(), (std::vector<std::string>{"http://a.example/", "http://b.example/"}));
    p.Menu("RequestNow1", 0);
    EXPECT_EQ(p.f().lstQueue.Count(), 2);
    p.f().txtFName.SetText("Bob");
    p.f().txtFemail.SetText("bob@example.net");
    p.f().txtMyName.SetText("Ann");
    p.f().btnFSend.Click();
    ASSERT_EQ(p.desk.Dialogs.size(), 5u);
    EXPECT_EQ(p.desk.Dialogs[4].Text.rfind("bob@example.net\r\n", 0), 0u); // shown, not "Message sent."
    EXPECT_EQ(p.server.Connections(), 0);
    EXPECT_FALSE(std::filesystem::exists(p.folder.File("config/ostrel/Test Message.Flg")));
    EXPECT_TRUE(p.f().lstHistory.Items().empty());
}

TEST(Dispatch, ACarriageReturnIsRefusedLikeALineFeed) {
    Program p;
    EXPECT_TRUE(p.app->Dispatcher().SendRequest("ftp://h.example/a\rget other"));
    EXPECT_EQ(p.app->Dispatcher().LastOutcome(), TRequestDispatcher::TOutcome::Nothing);
    EXPECT_EQ(p.server.Connections(), 0);
}
