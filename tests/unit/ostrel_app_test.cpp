#include "shell/ostrel_app.h"

#include <gtest/gtest.h>

#include "forms/application.h"
#include "platform/fake_desktop.h"
#include "shell/settings.h"
#include <algorithm>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include "support/test_support.h"
#include "util/debug_log.h"
#include "util/file_io.h"
#include "util/ini_file.h"
#include "util/program_state.h"

using namespace ostrel;

namespace {
struct App {
    test::ProgramFolder folder;
    FakeDesktop desk;
    std::unique_ptr<TOstrelApp> app;
    explicit App(std::vector<std::string> args = {}) {
        desk.DefaultAnswer = IDNO; // newsletter question: no
        for (const char* f : {"uservers.da2", "Suggest.Ini", "nbinary.ext", "unbinary.txt"})
            folder.CopyData(f);
        WriteDebugLog("Started Ostrel");
        app = std::make_unique<TOstrelApp>(desk, folder.Path() + "ostrel", std::move(args));
    }
    TfrmProps& f() { return app->Form(); }
    std::string Log() { return folder.Read("DebugLog.Txt"); }
    TIniFile Ini() { return TIniFile(SettingsFileName()); }
};

std::vector<std::string> LpsLines(const std::string& log) {
    std::vector<std::string> out;
    size_t at = 0;
    while ((at = log.find(": LPS ", at)) != std::string::npos) {
        at += 6;
        out.push_back(log.substr(at, log.find('\r', at) - at));
    }
    return out;
}
} // namespace

TEST(Startup, FirstRunGivesTheDefaultsAndAsksForTheAddress) {
    App a;
    a.app->FormCreate();
    auto& f = a.f();
    EXPECT_EQ(f.optEnabled.ItemIndex(), 0);
    EXPECT_EQ(f.optConfirm.ItemIndex(), 2);
    EXPECT_TRUE(f.chkCheckHistory.Checked());
    EXPECT_TRUE(f.chkOnFailure.Checked());
    EXPECT_EQ(f.optBinaryFormat.ItemIndex(), 1);
    EXPECT_TRUE(f.chkNoSplit.Checked());
    EXPECT_EQ(f.medChunksize.Text(), "60");
    EXPECT_FALSE(ProgramState().SettingsValid);
    ASSERT_GE(a.desk.Dialogs.size(), 2u);
    EXPECT_EQ(a.desk.Dialogs[0].Text, "The required field, A&ddress is empty");
    EXPECT_EQ(a.desk.Dialogs[0].HelpContext, 2000);
    EXPECT_NE(a.desk.Dialogs[1].Text.find("newsletter"), std::string::npos);
    EXPECT_TRUE(f.Visible());
    EXPECT_TRUE(f.PageActive(f.TabSheet2));
    EXPECT_EQ(f.ActiveControl(), &f.txtEmail);
    EXPECT_EQ(a.Ini().ReadInteger("General", "NewsLetterRequest", -1), 1);
    EXPECT_EQ(a.Ini().ReadString("General", "LocalRoot", ""), a.folder.Path());
    EXPECT_TRUE(a.desk.HasClipboardListener());
    EXPECT_EQ(a.desk.TrayIcons.at(0).Tip, "Ostrel");

    const std::string log = a.Log();
    EXPECT_NE(log.find(": Cmd:\r\n"), std::string::npos);
    EXPECT_NE(log.find("Version: "), std::string::npos);
    // A first run meets a fresh suggestion file: the tray icon goes off and back on around it.
    EXPECT_EQ(LpsLines(log), (std::vector<std::string>{"90902", "90903", "90904", "90905", "90906", "90907", "90910",
                                                        "909159", "93900", "93900", "93900", "90978", "90999"}));
    EXPECT_NE(log.find(": Log trimmed\r\n"), std::string::npos);
}

TEST(Startup, StoredValuesAreReadWithTheirRules) {
    App a;
    a.folder.Write("config/ostrel/OSTREL.INI", "[General]\r\nEmail=me@example.org\r\nprefBinaryFormat=-3\r\n"
                                               "Enabled=7\r\nChunkSize=0x3C\r\nChunks=1\r\nNewsLetterRequest=3\r\n"
                                               "[Servers]\r\nSMTP=127.0.0.1\r\n");
    a.app->FormCreate();
    EXPECT_EQ(a.f().optBinaryFormat.ItemIndex(), 1);
    EXPECT_EQ(a.f().optEnabled.ItemIndex(), 0);
    EXPECT_EQ(a.f().medChunksize.Text(), "60");
    EXPECT_FALSE(a.f().chkNoSplit.Checked());
    EXPECT_TRUE(ProgramState().SettingsValid);
    EXPECT_FALSE(a.f().Visible());
    EXPECT_TRUE(a.desk.Dialogs.empty()); // nothing to ask
}

TEST(Settings, OkValidatesSavesEveryKeyAndHides) {
    App a;
    a.app->FormCreate();
    auto& f = a.f();
    f.txtEmail.SetText("me@example.org");
    a.desk.Dialogs.clear();
    f.btnOk.Click(); // SMTP still empty: only that field is reported
    ASSERT_EQ(a.desk.Dialogs.size(), 1u);
    EXPECT_EQ(a.desk.Dialogs[0].Text, "The required field, &SMTP server address is empty");
    EXPECT_TRUE(f.Visible());
    f.txtSMTP.SetText("mail.example.org");
    f.optConfirm.SetItemIndex(0);
    f.btnOk.Click();
    EXPECT_TRUE(ProgramState().SettingsValid);
    EXPECT_FALSE(f.Visible());
    auto ini = a.Ini();
    for (const char* key : {"Email", "Confirm", "prefBinaryFormat", "Enabled", "CheckHistory", "chkOnFailure",
                            "chkNotEnabled", "chkNever", "ChunkSize", "Chunks"})
        EXPECT_NE(ini.ReadString("General", key, "<missing>"), "<missing>") << key;
    for (const char* key : {"SMTP", "FTP", "HTTPBinary", "HTTPPages"})
        EXPECT_NE(ini.ReadString("Servers", key, "<missing>"), "<missing>") << key;
    EXPECT_EQ(ini.ReadInteger("General", "Confirm", -1), 0);
    EXPECT_NE(a.Log().find(": Email: me@example.org\r\n"), std::string::npos);

    // Cancel brings back what the file holds.
    f.Show();
    f.txtEmail.SetText("changed@example.org");
    f.btnCancel.Click();
    EXPECT_EQ(f.txtEmail.Text(), "me@example.org");
    EXPECT_FALSE(f.Visible());
}

TEST(Settings, AnIllegalChunkSizeBlocksOkUntilSplittingIsOff) {
    App a;
    a.app->FormCreate();
    auto& f = a.f();
    f.chkNoSplit.Click(); // splitting on
    a.desk.Dialogs.clear();
    f.medChunksize.SetText("");
    ASSERT_FALSE(a.desk.Dialogs.empty());
    EXPECT_EQ(a.desk.Dialogs.back().Text, "The Chunksize is not legal");
    EXPECT_EQ(a.desk.Dialogs.back().Buttons, unsigned{mbRetry});
    EXPECT_FALSE(f.btnOk.Enabled());
    EXPECT_TRUE(f.PageActive(f.TabSheet6));
    a.desk.Dialogs.clear();
    f.chkNoSplit.Click();
    EXPECT_TRUE(f.btnOk.Enabled());
    EXPECT_TRUE(a.desk.Dialogs.empty());
    EXPECT_FALSE(f.medChunksize.Enabled());
}

TEST(Settings, ControlRefreshMovesTheDefaultButtonWithThePage) {
    App a;
    a.app->FormCreate();
    auto& f = a.f();
    f.PageControl1.UserSelect(&f.tbsHot);
    EXPECT_TRUE(f.btnRequest.Default());
    EXPECT_FALSE(f.btnGo.Default());
    f.PageControl1.UserSelect(&f.TabSheet5);
    EXPECT_TRUE(f.btnSend.Default());
    EXPECT_EQ(f.DefaultButton(), &f.btnSend);
    EXPECT_FALSE(f.btnSend.Enabled()); // empty queue
    f.chkNever.Click();
    EXPECT_FALSE(f.chkOnFailure.Enabled());
    EXPECT_FALSE(f.chkNotEnabled.Enabled());
}

TEST(Shutdown, WritesTheListsAndLeavesTheClipboard) {
    App a;
    std::string history;
    for (int i = 0; i < 251; ++i)
        history += "http://h" + std::to_string(i) + "/ via s on d\n";
    a.folder.Write("History.Dat", history);
    a.folder.Write("Queue.Dat", "q1\n\nq2");
    a.app->FormCreate();
    a.app->FormDestroy();
    const std::string saved = a.folder.Read("History.Dat");
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 250);
    EXPECT_EQ(a.folder.Read("Queue.Dat"), "q1\r\n\r\nq2\r\n");
    EXPECT_FALSE(a.desk.HasClipboardListener());
    EXPECT_TRUE(a.desk.TrayIcons.empty());
}

TEST(Shutdown, AListThatWasNotLoadedIsNotWritten) {
    App a;
    a.folder.Write("Queue.Dat", "keep me\n");
    ::mkdir(a.folder.File("History.Dat").c_str(), 0700); // cannot be read: start-up stops there
    a.app->FormCreate();
    ASSERT_FALSE(a.desk.Dialogs.empty());
    EXPECT_NE(a.desk.Dialogs[0].Text.find("Error in TfrmProps.91900 with UH Cannot open file"), std::string::npos);
    a.app->FormDestroy();
    EXPECT_EQ(a.folder.Read("Queue.Dat"), "keep me\n");
}

TEST(SingleInstance, ASecondCopyEndsUnlessTheFlagFileAllowsIt) {
    App first;
    EXPECT_TRUE(first.app->CheckSingleInstance());
    FakeDesktop& desk = first.desk;
    TOstrelApp second(desk, first.folder.Path() + "ostrel", {});
    EXPECT_FALSE(second.CheckSingleInstance());
    EXPECT_TRUE(desk.Called("ActivatePreviousInstance:ostrel"));
    first.folder.Write("AllowDuplicateInstance.Flg", "\r");
    TOstrelApp third(desk, first.folder.Path() + "ostrel", {});
    EXPECT_TRUE(third.CheckSingleInstance());
    EXPECT_FALSE(FileExists(first.folder.File("AllowDuplicateInstance.Flg")));
    // Once the first copy is gone, the one that ran by the flag takes the lock over.
    third.FormCreate();
    desk.HeldLocks.clear();
    desk.FireTimers();
    TOstrelApp fourth(desk, first.folder.Path() + "ostrel", {});
    EXPECT_FALSE(fourth.CheckSingleInstance());
}

TEST(Timer, InstallerFlagEndsTheProgramAndSlashPShowsOnce) {
    App a({"/s", "/p"});
    a.folder.Write("config/ostrel/OSTREL.INI", "[General]\nEmail=a@b\nNewsLetterRequest=1\n[Servers]\nSMTP=h\n");
    a.app->FormCreate();
    EXPECT_FALSE(a.f().Visible());
    a.desk.FireTimers();
    EXPECT_TRUE(a.f().Visible());
    a.f().Hide();
    a.desk.FireTimers();
    EXPECT_FALSE(a.f().Visible());
    a.folder.Write("Installer.Flg", "");
    a.desk.FireTimers();
    EXPECT_TRUE(a.desk.QuitRequested);
    EXPECT_FALSE(FileExists(a.folder.File("Installer.Flg")));
}

TEST(Timer, AQuitDuringAStartUpQuestionOrTipEndsStartUpThere) {
    // The installer's flag appears while the tip of the day, then (in a second run) the
    // newsletter question, is on screen: the six-second timer runs meanwhile.
    for (const bool duringTip : {true, false}) {
        App a;
        a.folder.CopyData("tips.dat");
        a.folder.Write("Queue.Dat", "http://queued.example/\n");
        a.folder.Write("config/ostrel/OSTREL.INI", std::string("[General]\nEmail=a@b\nTipEnabled=") +
                                                       (duringTip ? "1" : "0") + "\n[Servers]\nSMTP=h\n");
        auto flagAppears = [&] {
            a.folder.Write("Installer.Flg", "");
            a.desk.FireTimers();
        };
        if (duringTip)
            a.desk.OnModal = [&](TForm&) { flagAppears(); };
        else
            a.desk.OnDialog = [&](const FakeDesktop::TDialog&) { flagAppears(); };
        a.app->FormCreate();
        EXPECT_TRUE(a.app->QuitRequested());
        EXPECT_TRUE(a.desk.QuitRequested);
        EXPECT_FALSE(FileExists(a.folder.File("Installer.Flg")));
        // Nothing after the step that was on screen: no question, no answer taken.
        EXPECT_EQ(a.desk.Dialogs.size(), duringTip ? 0u : 1u);
        EXPECT_EQ(a.Ini().ReadInteger("General", "NewsLetterRequest", -1), -1);
        EXPECT_EQ(a.Log().find("Log trimmed"), std::string::npos);
        a.folder.Write("Queue.Dat", "");
        a.app->FormDestroy();
        EXPECT_EQ(a.folder.Read("Queue.Dat"), "http://queued.example/\r\n"); // the lists are saved
    }
}

TEST(Timer, AQuitDuringTheServerSuggestionsAsksNoMoreAndKeepsThemForNextTime) {
    App a;
    a.folder.Write("config/ostrel/OSTREL.INI", "[General]\nEmail=a@b\nTipEnabled=0\n[Servers]\nSMTP=h\n"
                                                "FTP=ftpweb@example.org\nHTTPBinary=webgetter@example.org\n"
                                                "HTTPPages=getweb@example.org\n");
    a.desk.OnDialog = [&](const FakeDesktop::TDialog&) {
        a.folder.Write("Installer.Flg", "");
        a.desk.FireTimers();
    };
    a.app->FormCreate();
    EXPECT_TRUE(a.app->QuitRequested());
    EXPECT_EQ(a.desk.Dialogs.size(), 1u); // of three suggestions
    EXPECT_EQ(a.folder.Read("Suggest.Ini").find("Used"), std::string::npos);
    EXPECT_TRUE(a.app->TaskIcon1().Active()); // back after the question, for the shutdown to remove
}

TEST(Startup, AProgramFolderThatCannotBeWrittenIsReportedOnceAndTheTrayStillWorks) {
    App a;
    // A folder where the log goes: no line can be written, whoever runs the test.
    std::filesystem::remove(a.folder.File("DebugLog.Txt"));
    std::filesystem::create_directory(a.folder.File("DebugLog.Txt"));
    const std::string stored = "[General]\nEmail=a@b\n[Servers]\nSMTP=h\nSMTPUser=a\nHTTPPages=getweb@example.org\n";
    a.folder.Write("config/ostrel/OSTREL.INI", stored);
    a.app->FormCreate();
    ASSERT_EQ(a.desk.Dialogs.size(), 1u);
    EXPECT_EQ(a.desk.Dialogs[0].Text.rfind("Error in TfrmProps.90901 with UH Cannot write " + a.folder.File("DebugLog.Txt"), 0),
              0u)
        << a.desk.Dialogs[0].Text;
    EXPECT_NE(a.desk.Dialogs[0].Text.find("could not be written"), std::string::npos);
    ASSERT_EQ(a.desk.TrayIcons.count(0), 1u);
    EXPECT_EQ(a.desk.TrayIcons.at(0).Icon, "bright");
    EXPECT_EQ(a.desk.LiveTimers(), 1u);
    // The icon opens the window; what logs there (an edited address) is not reported again.
    a.desk.FireTray(0, TTrayEvent::RButtonUp);
    EXPECT_TRUE(a.f().Visible());
    a.f().txtEmail.SetText("me@example.org");
    a.desk.FireTimers();
    EXPECT_EQ(a.desk.Dialogs.size(), 1u);
    // The window never got the stored settings: Ok must not write what it shows over them,
    // even with the required fields filled in.
    a.f().txtSMTP.SetText("mail.example.org");
    a.f().btnOk.Click();
    EXPECT_EQ(a.folder.Read("config/ostrel/OSTREL.INI"), stored);
    ASSERT_EQ(a.desk.Dialogs.size(), 2u);
    EXPECT_EQ(a.desk.Dialogs[1].Text, kSettingsNotLoaded);
    a.folder.Write("Installer.Flg", "");
    a.desk.FireTimers();
    EXPECT_TRUE(a.desk.QuitRequested);
}

TEST(Restart, WritesFlagAndListsBeforeStartingTheNextCopy) {
    App a({"/s", "/p"});
    a.app->FormCreate();
    a.f().lstQueue.AddItem("http://queued/");
    a.app->Restart();
    EXPECT_EQ(a.folder.Read("AllowDuplicateInstance.Flg"), "\r");
    EXPECT_EQ(a.folder.Read("Queue.Dat"), "http://queued/\r\n");
    ASSERT_EQ(a.desk.Started.size(), 1u);
    EXPECT_EQ(a.desk.Started[0], a.folder.Path() + "ostrel /s/p");
    EXPECT_TRUE(a.desk.QuitRequested);
}

TEST(Diagnostics, HiddenKeysAskBeforeSwitching) {
    App a;
    a.app->FormCreate();
    a.desk.Dialogs.clear();
    // Each press asks once and is used up: the focused control never sees it.
    auto press = [&](int pressed, int answer) {
        a.desk.Answers = {answer};
        int key = pressed;
        a.app->FormKeyDown(key, ssCtrl | ssAlt);
        EXPECT_EQ(key, 0);
    };
    press('A', IDNO);
    EXPECT_FALSE(ProgramState().SuperDebug);
    EXPECT_EQ(a.desk.Dialogs.back().Text, "Super debug status is: OFF. Change?");
    press('A', IDYES);
    EXPECT_TRUE(ProgramState().SuperDebug);
    press('A', IDNO);
    EXPECT_EQ(a.desk.Dialogs.back().Text, "Super debug status is: ON. Change?");
    press('1', IDNO);
    EXPECT_FALSE(ProgramState().DontSend);
    press('1', IDYES);
    EXPECT_TRUE(ProgramState().DontSend);
    EXPECT_EQ(a.desk.Dialogs.size(), 5u);
    ProgramState().DontSend = false;
}

TEST(TrayIcon, ClicksToggleTheStateAndAFailedAddIsRetried) {
    App a;
    a.desk.TrayOk = false; // no notification area yet
    a.app->FormCreate();
    EXPECT_FALSE(a.app->TaskIcon1().Active());
    a.desk.TrayOk = true;
    a.desk.FireTimers();
    EXPECT_TRUE(a.app->TaskIcon1().Active());
    a.desk.FireTray(0, TTrayEvent::LButtonUp);
    EXPECT_EQ(a.f().optEnabled.ItemIndex(), 1);
    EXPECT_EQ(a.desk.TrayIcons.at(0).Tip, "(Ostrel)");
    EXPECT_EQ(a.desk.TrayIcons.at(0).Icon, "dim");
    a.desk.FireTray(7, TTrayEvent::LButtonUp); // another icon's callback
    EXPECT_EQ(a.f().optEnabled.ItemIndex(), 1);
    a.desk.FireTray(0, TTrayEvent::LButtonDblClk);
    EXPECT_EQ(a.f().optEnabled.ItemIndex(), 1);
    a.desk.FireTray(0, TTrayEvent::LButtonUp);
    EXPECT_EQ(a.desk.TrayIcons.at(0).Tip, "Ostrel");
    a.f().Hide();
    a.desk.FireTray(0, TTrayEvent::RButtonUp);
    EXPECT_TRUE(a.f().Visible());
    EXPECT_EQ(a.f().Left(), (1024 - a.f().Width()) / 2);
}

TEST(AppException, ReportsTheSenderStageAndMessage) {
    App a;
    a.app->FormCreate();
    a.desk.Dialogs.clear();
    SetStage(777, false);
    a.f().btnHelp.OnClick = [] { throw std::runtime_error("boom"); };
    Application().Invoke("TfrmProps", a.f().btnHelp.OnClick);
    ASSERT_EQ(a.desk.Dialogs.size(), 1u);
    EXPECT_EQ(a.desk.Dialogs[0].Text, "Error in TfrmProps.777 with UH boom");
}

TEST(DecoderButton, TheMainWindowComesBackEvenWhenTheWizardFails) {
    App a;
    a.app->FormCreate();
    a.f().Show();
    a.desk.Dialogs.clear();
    a.desk.OnModal = [&](TForm& wizard) {
        EXPECT_EQ(wizard.ClassName(), "TfrmDecode");
        EXPECT_FALSE(a.f().Visible()); // out of the way while the wizard is up
        throw std::runtime_error("wizard broke");
    };
    a.f().btnDecoderTools.Click();
    EXPECT_TRUE(a.f().Visible());
    ASSERT_EQ(a.desk.Dialogs.size(), 1u);
    EXPECT_NE(a.desk.Dialogs[0].Text.find("UH wizard broke"), std::string::npos);
}
