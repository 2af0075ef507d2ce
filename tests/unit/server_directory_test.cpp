#include "servers/server_directory.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "forms/controls.h"
#include "mime/message.h"
#include "platform/fake_desktop.h"
#include "servers/composition.h"
#include "servers/server_suggestion.h"
#include "support/server_controls.h"
#include "support/test_support.h"
#include "util/error.h"
#include "util/ini_file.h"
#include "util/program_state.h"

using namespace ostrel;

namespace {

class ServerDirectoryTest : public ::testing::Test, protected test::TServerPage {
protected:
    test::ProgramFolder folder;
    FakeDesktop desktop;
    TServerDirectory directory{desktop, Controls()};

    void Settings(const std::string& key, const std::string& value) {
        TIniFile(SettingsFileName()).WriteString("Servers", key, value);
    }
};

const char* const ThreeRoles = "[page@a]\r\nType=0\r\nInfo=Pages`line two`line three\r\nverbPagesHttp=send\r\n"
                               "filePagesHttp=page.tpl\r\n"
                               "[bin@b]\r\nType=1\r\nInfo=Binaries\r\nverbBinaryHttp=GET\r\n"
                               "fileBinaryHttpU=u.tpl\r\nfileBinaryHttpM=m.tpl\r\n"
                               "[ftp@c]\r\nType=2\r\nInfo=Ftp`more\r\n";

} // namespace

TEST_F(ServerDirectoryTest, ScanListsSectionsByRoleInFileOrder) {
    folder.Write("uservers.da2", "; comment\r\n"
                                 "[p1]\r\nType=0\r\n"
                                 "[all]\r\nType=320\r\n"
                                 " [blank-before]\r\nType=0\r\n"
                                 "[blank-after] \r\nType=0\r\n"
                                 "[two]]\r\nType=0\r\n"
                                 "[no-type]\r\nInfo=x\r\n"
                                 "[type4]\r\nType=4\r\n"
                                 "[minus]\r\nType=-1\r\n"
                                 "[word]\r\nType=abc\r\n"
                                 "[b3]\nType=3\n"       // bare line feeds
                                 "[f2]\rType=2\r"       // bare carriage returns
                                 "[p1]\r\nType=1\r\n"); // repeated: the first section's Type counts
    directory.LoadServerDirectory();
    EXPECT_EQ(pages.Items(), (std::vector<std::string>{"p1", "all", "p1"}));
    EXPECT_EQ(binaries.Items(), (std::vector<std::string>{"all", "b3"}));
    EXPECT_EQ(ftps.Items(), (std::vector<std::string>{"all", "f2"}));
    EXPECT_NE(test::ReadAll(folder.File("DebugLog.Txt")).find("Loaded Server File"), std::string::npos);
}

TEST_F(ServerDirectoryTest, MissingOrUnreadableDirectoryRaisesAndKeepsTheLists) {
    pages.SetItems({"kept"});
    EXPECT_THROW(directory.LoadServerDirectory(), EInOutError);
    EXPECT_EQ(pages.Items(), std::vector<std::string>{"kept"});
    std::filesystem::create_directory(folder.File("uservers.da2"));
    EXPECT_THROW(directory.LoadServerDirectory(), EInOutError);
    EXPECT_EQ(pages.Items(), std::vector<std::string>{"kept"});
}

TEST_F(ServerDirectoryTest, SelectionFollowsSettingsThenSuggestionsThenFirstEntry) {
    folder.Write("uservers.da2", "[p1]\r\nType=0\r\n[p2]\r\nType=0\r\n[b1]\r\nType=1\r\n[b2]\r\nType=1\r\n"
                                 "[f1]\r\nType=2\r\n[f2]\r\nType=2\r\n");
    folder.Write("Suggest.Ini", "[Servers]\r\nHTTPPages=p2\r\nHTTPBinary=b2\r\nFTP=f2\r\n");
    Settings("HTTPBinary", "B1"); // differs only in case: not a match
    Settings("FTP", "f1");
    directory.LoadServerDirectory();
    EXPECT_EQ(pages.Text(), "p2");    // no setting: the suggestion
    EXPECT_EQ(binaries.Text(), "b1"); // no exact match: the first entry
    EXPECT_EQ(ftps.Text(), "f1");
    // The selection step writes nothing back.
    EXPECT_EQ(folder.Read("Suggest.Ini"), "[Servers]\r\nHTTPPages=p2\r\nHTTPBinary=b2\r\nFTP=f2\r\n");
}

TEST_F(ServerDirectoryTest, SelectionStepCanBeReplaced) {
    folder.Write("uservers.da2", "[p1]\r\nType=0\r\n[p2]\r\nType=0\r\n");
    std::vector<std::string> seen;
    directory.OnApplyServerSelections = [&](TServerDirectory& d) {
        for (auto& role : d.Roles())
            seen.push_back(role.Key + ":" + role.Label + ":" + std::to_string(role.List.Count()));
        d.Controls().cboHTTPServersPages.SetItemIndex(1);
    };
    directory.LoadServerDirectory();
    EXPECT_EQ(seen, (std::vector<std::string>{"FTP:Ftp Server:0", "HTTPBinary:Http Binary Server:0",
                                              "HTTPPages:Http Page Server:2"}));
    EXPECT_EQ(pages.Text(), "p2");
}

TEST_F(ServerDirectoryTest, DistributionTagIsReadDuringTheLoad) {
    folder.Write("uservers.da2", "[p]\r\nType=0\r\n");
    folder.Write("DistInfo.Dat", "[General]\r\nDistInfo=magazine-cd\r\n");
    directory.LoadServerDirectory();
    EXPECT_EQ(ProgramState().DistInfo, "magazine-cd");
}

TEST_F(ServerDirectoryTest, ReadServerKeyFollowsProfileRules) {
    const std::string longValue(1500, 'v');
    folder.Write("uservers.da2", "[Srv@X]\r\nSubject =  \"quoted value\"  \r\nLong=" + longValue +
                                     "\r\n[srv@x]\r\nSubject=second section ignored\r\nOther=ignored\r\n");
    EXPECT_EQ(TServerDirectory::ReadServerKey("SRV@x", "SUBJECT"), "quoted value");
    EXPECT_EQ(TServerDirectory::ReadServerKey("srv@x", "Long"), std::string(1023, 'v'));
    EXPECT_EQ(TServerDirectory::ReadServerKey("srv@x", "Other"), "");
    EXPECT_EQ(TServerDirectory::ReadServerKey("", "Subject"), "");
    EXPECT_EQ(TServerDirectory::ReadServerKey("nobody", "Subject"), "");
    // Reads see the file as it is now.
    folder.Write("uservers.da2", "[srv@x]\r\nSubject=changed\r\n");
    EXPECT_EQ(TServerDirectory::ReadServerKey("srv@x", "Subject"), "changed");
}

TEST_F(ServerDirectoryTest, RefreshSetsLabelsAndCacheFromTheSelections) {
    folder.Write("uservers.da2", ThreeRoles);
    directory.LoadServerDirectory();
    ProgramState().Prefs.prefBinaryFormat = 0;
    directory.RefreshServerSelection();
    EXPECT_EQ(pagesInfo.Caption(), "Pages <click for more info>");
    EXPECT_EQ(binariesInfo.Caption(), "Binaries");
    EXPECT_EQ(ftpsInfo.Caption(), "Ftp <click for more info>");
    const auto& cache = directory.Cache();
    EXPECT_EQ(cache.PageVerb, "send ");
    EXPECT_EQ(cache.PageTemplate, "page.tpl");
    EXPECT_EQ(cache.BinaryVerb, "GET ");
    EXPECT_EQ(cache.BinaryTemplate, "u.tpl");

    ProgramState().Prefs.prefBinaryFormat = 1;
    directory.cboHTTPServersBinaryChange();
    EXPECT_EQ(cache.BinaryTemplate, "m.tpl");
    ProgramState().Prefs.prefBinaryFormat = 2;
    directory.RefreshServerSelection();
    EXPECT_EQ(cache.BinaryTemplate, "u.tpl");
    // No valid format: the template of the last valid one stays.
    ProgramState().Prefs.prefBinaryFormat = -1;
    directory.RefreshServerSelection();
    EXPECT_EQ(cache.BinaryTemplate, "u.tpl");
    EXPECT_NE(test::ReadAll(folder.File("DebugLog.Txt")).find("UDSI"), std::string::npos);
}

TEST_F(ServerDirectoryTest, EmptyRoleListLeavesLabelAndKeysEmpty) {
    folder.Write("uservers.da2", "[page@a]\r\nType=0\r\nInfo=Pages\r\nverbPagesHttp=send\r\n");
    directory.LoadServerDirectory();
    binariesInfo.SetCaption("stale");
    directory.RefreshServerSelection();
    EXPECT_EQ(binariesInfo.Caption(), "");
    EXPECT_EQ(directory.BinaryServer(), "");
    EXPECT_EQ(directory.Cache().BinaryVerb, " ");
    EXPECT_EQ(directory.Cache().BinaryTemplate, "");
}

TEST_F(ServerDirectoryTest, ExpandedInfoShowsEveryLineOfTheClickedRole) {
    folder.Write("uservers.da2", ThreeRoles);
    directory.LoadServerDirectory();
    directory.infoHTTPServersPagesClick(pagesInfo);
    directory.infoHTTPServersPagesClick(binariesInfo);
    ASSERT_EQ(desktop.Dialogs.size(), 2u);
    EXPECT_EQ(desktop.Dialogs[0].Text,
              "Expanded information (if any) about PAGE@A is shown below:\r\n\nPages\r\nline two\r\nline three");
    EXPECT_EQ(desktop.Dialogs[1].Text, "Expanded information (if any) about BIN@B is shown below:\r\n\nBinaries");
    EXPECT_EQ(desktop.Dialogs[0].Flags, static_cast<unsigned>(MB_OK));
}

TEST(DeliveredServerDirectory, OffersTheRealServiceAndNeverAnExample) {
    test::ProgramFolder folder;
    for (const char* name : {"uservers.da2", "Suggest.Ini", "saildocs_page.tpl", "nbinary.ext", "unbinary.txt"})
        std::filesystem::copy_file(std::string(OSTREL_SOURCE_DIR) + "/data/" + name, folder.File(name));
    FakeDesktop desktop;
    TComboBox pages{"p", nullptr}, binaries{"b", nullptr}, ftps{"f", nullptr};
    TLabel l1{"l1", nullptr}, l2{"l2", nullptr}, l3{"l3", nullptr};
    TServerDirectory directory{desktop, TServerControls{pages, binaries, ftps, l1, l2, l3}};
    TServerSuggestion suggestion{desktop, nullptr, nullptr};
    directory.OnApplyServerSelections = [&](TServerDirectory& d) { suggestion.ApplyServerSelections(d); };
    directory.LoadServerDirectory();
    directory.RefreshServerSelection();
    // A new user starts on the real service, without a question; the examples stay in the file
    // for their dialects but are in no list, so nothing can select them by default.
    EXPECT_EQ(pages.Items(), std::vector<std::string>{"query@saildocs.com"});
    EXPECT_EQ(pages.Text(), "query@saildocs.com");
    EXPECT_TRUE(binaries.Items().empty());
    EXPECT_TRUE(ftps.Items().empty());
    EXPECT_TRUE(desktop.Dialogs.empty());
    const std::string file = folder.Read("uservers.da2");
    EXPECT_NE(file.find("[agora@example.org]"), std::string::npos);
    // Who runs it and where its terms are, in the text the Servers page shows.
    const std::string info = TServerDirectory::ReadServerKey("query@saildocs.com", "Info");
    EXPECT_NE(info.find("Sirius Cybernetics LLC"), std::string::npos);
    EXPECT_NE(info.find("saildocs.com/terms"), std::string::npos);
    EXPECT_EQ(l1.Caption().find("Saildocs"), 0u);

    // The request in the service's documented form: "send" and the URL, then a line of dashes.
    TmsMessage message;
    ASSERT_TRUE(ComposeRequest("http://example.com/a.html", "me@example.net", directory, message));
    EXPECT_EQ(message.Recipients[0].Address, "query@saildocs.com");
    ASSERT_EQ(message.Body.size(), 1u);
    EXPECT_EQ(message.Body[0], "send http://example.com/a.html\r\n-----\r\n");
    // No server fetches program files yet: the user is told what to do, nothing goes to nobody.
    try {
        ComposeRequest("http://example.com/setup.exe", "me@example.net", directory, message);
        ADD_FAILURE() << "composed a binary request without a binary server";
    } catch (const EMessageError& e) {
        EXPECT_NE(std::string(e.what()).find("Servers page"), std::string::npos) << e.what();
    }
}
