#include "servers/composition.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "forms/controls.h"
#include "mime/encoder.h"
#include "mime/message.h"
#include "platform/fake_desktop.h"
#include "servers/server_directory.h"
#include "support/server_controls.h"
#include "support/test_support.h"
#include "util/error.h"
#include "util/ini_file.h"
#include "util/program_state.h"
#include "util/text.h"

using namespace ostrel;

namespace {

std::string ReplaceIn(const std::string& text, const std::string& from, const std::string& to) {
    return ReplaceEach(from, text, to);
}

const char* const Directory = "[page@p]\r\nType=0\r\nSubject=page subject\r\nverbPagesHttp=send\r\n"
                              "[bin@b]\r\nType=1\r\nSubject=bin subject\r\nverbBinaryHttp=GET\r\n"
                              "verbSplit=SIZE\r\nNoChunk=WHOLE FILE\r\n"
                              "fileBinaryHttpU=bu.tpl\r\nfileBinaryHttpM=bm.tpl\r\n"
                              "[ftp@f]\r\nType=2\r\nopen=open\r\nbinary=binary\r\nuuencode=force uu\r\n"
                              "mime=force mime\r\nbtoa=force btoa\r\nverbSplit=chunksize\r\nverbSplitsuffix=000\r\n"
                              "nosplit=nochunks\r\ncd=chdir\r\nls=dir\r\n"
                              "[web-ftp@w]\r\nType=2\r\nftp=same\r\nSubject=via web\r\nverbSplit=MAX\r\n"
                              "NoChunk=MAX 0\r\nfileBinaryHttpU=wu.tpl\r\nfileBinaryHttpM=wm.tpl\r\n"
                              "[SAME@w]\r\nType=2\r\nftp=SAME\r\nopen=o\r\n";

class CompositionTest : public ::testing::Test, protected test::TServerPage {
protected:
    test::ProgramFolder folder;
    FakeDesktop desktop;
    TServerDirectory servers{desktop, Controls()};
    TmsMessage msg;

    void SetUp() override {
        folder.Write("uservers.da2", Directory);
        folder.Write("nbinary.ext", "html\r\n");
        folder.Write("bu.tpl", "uu \xFE\r\n\xFD\r\nend \xFE");
        folder.Write("bm.tpl", "mime \xFE\r\n\xFD");
        folder.Write("wu.tpl", "W-UU \xFE \xFD");
        folder.Write("wm.tpl", "W-MIME \xFE \xFD");
        auto& prefs = ProgramState().Prefs;
        prefs.prefBinaryFormat = 1;
        prefs.Chunks = true;
        prefs.ChunkSize = 60;
        servers.LoadServerDirectory();
        servers.RefreshServerSelection();
    }

    bool Compose(const std::string& text) { return ComposeRequest(text, "me@home", servers, msg); }
    std::vector<std::string> To() const {
        std::vector<std::string> r;
        for (const auto& a : msg.Recipients)
            r.push_back(a.Address);
        return r;
    }
    void UseFtpServer(const std::string& name) {
        ftps.SetItemIndex(ftps.IndexOf(name));
        servers.RefreshServerSelection();
    }
};

} // namespace

TEST_F(CompositionTest, PageRequestUsesVerbOrTemplateAndKeepsTheUrlAsCaptured) {
    msg.CC.Add("old@cc", "");
    msg.BCC.Add("old@bcc", "");
    ASSERT_TRUE(Compose("HTTPS://Host.example/Page.HTM"));
    EXPECT_EQ(To(), std::vector<std::string>{"page@p"});
    EXPECT_EQ(msg.Subject, "page subject");
    EXPECT_EQ(msg.Body, std::vector<std::string>{"send HTTPS://Host.example/Page.HTM"});
    EXPECT_EQ(msg.Sender.Address, "me@home");
    EXPECT_TRUE(msg.CC.Empty());
    EXPECT_TRUE(msg.BCC.Empty());
    // gopher and news go to the page server too, whatever their extension.
    ASSERT_TRUE(Compose("news:comp.lang.zip"));
    EXPECT_EQ(msg.Body, std::vector<std::string>{"send news:comp.lang.zip"});
    ASSERT_TRUE(Compose("Gopher://h/9/file.zip"));
    EXPECT_EQ(To(), std::vector<std::string>{"page@p"});

    // With a template every URL marker is filled; the split marker is left alone in pages.
    folder.Write("uservers.da2", std::string(Directory) + "[tpl@p]\r\nType=0\r\nfilePagesHttp=page.tpl\r\n");
    folder.Write("page.tpl", "GET \xFE\r\nSOURCE \xFE\r\n\xFD");
    pages.AddItem("tpl@p");
    pages.SetItemIndex(1);
    servers.RefreshServerSelection();
    ASSERT_TRUE(Compose("http://h/"));
    EXPECT_EQ(msg.Body, std::vector<std::string>{"GET http://h/\r\nSOURCE http://h/\r\n\xFD"});
    EXPECT_EQ(msg.Subject, ""); // the server has none
}

TEST_F(CompositionTest, BinaryRequestFillsTemplateWithUrlAndSplitLine) {
    ASSERT_TRUE(Compose("http://h/a.zip"));
    EXPECT_EQ(To(), std::vector<std::string>{"bin@b"});
    EXPECT_EQ(msg.Subject, "bin subject");
    EXPECT_EQ(msg.Body, std::vector<std::string>{"mime http://h/a.zip\r\nSIZE 60"});

    auto& prefs = ProgramState().Prefs;
    prefs.prefBinaryFormat = 2;
    prefs.Chunks = false;
    servers.RefreshServerSelection();
    ASSERT_TRUE(Compose("http://h/a.zip"));
    EXPECT_EQ(msg.Body, std::vector<std::string>{"uu http://h/a.zip\r\nWHOLE FILE\r\nend http://h/a.zip"});

    // Inserted text is never scanned again: marker bytes in the URL or the split line stay.
    folder.Write("uservers.da2", ReplaceIn(Directory, "NoChunk=WHOLE FILE", "NoChunk=N\xFE"));
    ASSERT_TRUE(Compose("http://h/\xFD\xFE.zip"));
    EXPECT_EQ(msg.Body, std::vector<std::string>{"uu http://h/\xFD\xFE.zip\r\nN\xFE\r\nend http://h/\xFD\xFE.zip"});
}

TEST_F(CompositionTest, BinaryRequestWithoutTemplatePutsTwoBlanksAfterTheVerb) {
    folder.Write("uservers.da2", ReplaceIn(Directory, "fileBinaryHttpM=bm.tpl", ""));
    servers.RefreshServerSelection();
    ASSERT_TRUE(Compose("http://h/a.zip"));
    EXPECT_EQ(msg.Body, std::vector<std::string>{"GET  http://h/a.zip"});
}

TEST_F(CompositionTest, FtpThroughWebGoesToTheFtpServerWithItsOwnTemplate) {
    UseFtpServer("web-ftp@w");
    ASSERT_TRUE(Compose("ftp://host/file.zip"));
    EXPECT_EQ(To(), std::vector<std::string>{"web-ftp@w"});
    EXPECT_EQ(msg.Subject, "via web");
    EXPECT_EQ(msg.Body, std::vector<std::string>{"W-MIME ftp://host/file.zip MAX 60"});
    // The binary server's template is untouched for the next web request.
    EXPECT_EQ(servers.Cache().BinaryTemplate, "bm.tpl");

    // Without a template of its own the binary server's verb is used.
    folder.Write("uservers.da2", ReplaceIn(Directory, "fileBinaryHttpU=wu.tpl", ""));
    ProgramState().Prefs.prefBinaryFormat = 0;
    ProgramState().Prefs.Chunks = false;
    ASSERT_TRUE(Compose("FTP://host/file.zip"));
    EXPECT_EQ(msg.Body, std::vector<std::string>{"GET  FTP://host/file.zip"});

    // "same" is compared exactly: "SAME" gives a script.
    UseFtpServer("SAME@w");
    ASSERT_TRUE(Compose("ftp://host/file.zip"));
    EXPECT_EQ(msg.Body.at(0).substr(0, 8), "o host\r\n");
}

TEST_F(CompositionTest, FtpScriptSplitsHostDirectoryAndFile) {
    msg.Subject = "left from before";
    ASSERT_TRUE(Compose("ftp://h/pub/x/f.zip"));
    EXPECT_EQ(To(), std::vector<std::string>{"ftp@f"});
    EXPECT_EQ(msg.Body, std::vector<std::string>{"open h\r\nbinary\r\nforce mime\r\nchunksize 60000\r\n"
                                                 "chdir /pub/x\r\nget f.zip\r\nquit\r\n"});
    EXPECT_EQ(msg.Subject, "left from before");

    ProgramState().Prefs.prefBinaryFormat = 0;
    ProgramState().Prefs.Chunks = false;
    ASSERT_TRUE(Compose("ftp://host/file.zip"));
    EXPECT_EQ(msg.Body,
              std::vector<std::string>{"open host\r\nbinary\r\nforce uu\r\nnochunks\r\nget file.zip\r\nquit\r\n"});
    ASSERT_TRUE(Compose("ftp://host/pub/"));
    EXPECT_EQ(msg.Body,
              std::vector<std::string>{"open host\r\nbinary\r\nforce uu\r\nnochunks\r\nchdir /pub\r\ndir\r\nquit\r\n"});
    // No "/" after the host: the host reads as the file.
    ASSERT_TRUE(Compose("ftp://host"));
    EXPECT_EQ(msg.Body, std::vector<std::string>{"open \r\nbinary\r\nforce uu\r\nnochunks\r\nget host\r\nquit\r\n"});
}

TEST_F(CompositionTest, LongFtpDirectoriesAreChangedIntoInTwoSteps) {
    auto cdLines = [&](const std::string& directory) {
        EXPECT_TRUE(Compose("ftp://h" + directory + "/f"));
        const std::string& body = msg.Body.at(0);
        const auto from = body.find("chdir");
        const auto to = body.find("get f");
        return from == std::string::npos ? std::string() : body.substr(from, to - from);
    };
    const std::string d59 = "/" + std::string(58, 'a');
    EXPECT_EQ(cdLines(d59), "chdir " + d59 + "\r\n");
    // 61 characters; the first "/" at or after position 60 is the one at 60.
    const std::string d60 = "/" + std::string(58, 'a') + "/b";
    EXPECT_EQ(cdLines(d60), "chdir /" + std::string(58, 'a') + "\r\nchdir b\r\n");
    const std::string longer = "/" + std::string(30, 'a') + "/" + std::string(40, 'b') + "/c/d";
    EXPECT_EQ(cdLines(longer), "chdir /" + std::string(30, 'a') + "/" + std::string(40, 'b') + "\r\nchdir c/d\r\n");
    // No "/" late enough: one line, so the file still comes from the right place.
    const std::string unsplit = "/" + std::string(80, 'a');
    EXPECT_EQ(cdLines(unsplit), "chdir " + unsplit + "\r\n");
}

TEST_F(CompositionTest, DirectRequestsCarryTheirOwnAddressSubjectAndBody) {
    ASSERT_TRUE(Compose("mailserver:robot@x\x9Fhelp me\x9Fline 1\x9Fline 2"));
    EXPECT_EQ(To(), std::vector<std::string>{"robot@x"});
    EXPECT_EQ(msg.Subject, "help me");
    EXPECT_EQ(msg.Body, std::vector<std::string>{"line 1\r\nline 2"});

    ASSERT_TRUE(Compose("mailserver:robot@x\x9Fsubject only"));
    EXPECT_EQ(msg.Subject, "subject only");
    EXPECT_EQ(msg.Body, std::vector<std::string>{""});

    ASSERT_TRUE(Compose("xx mailserver:robot@x"));
    EXPECT_EQ(To(), std::vector<std::string>{"robot@x"});
    EXPECT_EQ(msg.Subject, "");

    // A web URL that also holds a direct request gets both, the web form's subject last.
    ASSERT_TRUE(Compose("http://h/?q=mailserver:r@x\x9F"
                        "direct\x9F"
                        "b"));
    EXPECT_EQ(To(), (std::vector<std::string>{"r@x", "page@p"}));
    EXPECT_EQ(msg.Subject, "page subject");
    ASSERT_EQ(msg.Body.size(), 2u);
    EXPECT_EQ(msg.Body[0], "b");

    const std::string longSubject(300, 's');
    ASSERT_TRUE(Compose("mailserver:r@x\x9F" + longSubject + "\x9F"));
    EXPECT_EQ(msg.Subject, std::string(255, 's'));
    // A UTF-8 subject is cut before the character the limit falls in, so it stays UTF-8 and
    // goes out labelled as such.
    std::string accents;
    for (int i = 0; i < 150; ++i)
        accents += "\xC3\xA9";
    ASSERT_TRUE(Compose("mailserver:r@x\x9F" + accents + "\x9F"));
    EXPECT_EQ(msg.Subject, accents.substr(0, 254));
    EXPECT_NE(EncodeMessageText(msg).find("Subject:  =?utf-8?B?"), std::string::npos);

    // The separator is also the second byte of a sharp s; a German subject and body stay whole.
    ASSERT_TRUE(Compose("mailserver:r@x\x9F"
                        "Gr\xC3\x9F"
                        "e\x9F"
                        "Stra\xC3\x9F"
                        "e\x9F"
                        "Fu\xC3\x9F"));
    EXPECT_EQ(msg.Subject, "Gr\xC3\x9F"
                           "e");
    EXPECT_EQ(msg.Body, std::vector<std::string>{"Stra\xC3\x9F"
                                                 "e\r\nFu\xC3\x9F"});
}

TEST_F(CompositionTest, TextsOfNoFormComposeNothing) {
    ASSERT_TRUE(Compose("http://h/"));
    EXPECT_FALSE(Compose("mailto:someone@example.org"));
    EXPECT_FALSE(Compose("just some words"));
    EXPECT_FALSE(Compose("MAILSERVER:r@x")); // the direct marker is matched as written
    EXPECT_TRUE(msg.Recipients.Empty());
    EXPECT_TRUE(msg.Body.empty());
}

TEST_F(CompositionTest, ARoleWithoutAServerIsRefusedWithWhatToDo) {
    // A mail to nobody would fail at every try and, queued, hold up every request behind it.
    folder.Write("uservers.da2", "[page@p]\r\nType=0\r\nverbPagesHttp=send\r\n");
    servers.LoadServerDirectory();
    servers.RefreshServerSelection();
    for (const char* request : {"http://h/a.zip", "ftp://h/a"}) {
        try {
            Compose(request);
            ADD_FAILURE() << request << " composed without a server";
        } catch (const EMessageError& e) {
            EXPECT_NE(std::string(e.what()).find("choose one on the Servers page"), std::string::npos) << e.what();
        }
    }
    ASSERT_TRUE(Compose("http://h/a.html"));
    EXPECT_EQ(To(), std::vector<std::string>{"page@p"});
}

TEST_F(CompositionTest, LineBreaksInHeaderFieldsAreRefused) {
    const auto refused = [&](const std::string& text, const std::string& sender, const std::string& field) {
        msg.Recipients.Add("stale@x", "");
        try {
            ComposeRequest(text, sender, servers, msg);
            ADD_FAILURE() << "composed: " << text;
        } catch (const EMessageError& e) {
            EXPECT_NE(std::string(e.what()).find(field), std::string::npos) << e.what();
        }
        EXPECT_TRUE(msg.Recipients.Empty());
        EXPECT_TRUE(msg.Body.empty());
    };
    refused("mailserver:victim@x\r\nRCPT TO:<other@y>", "me@home", "recipient");
    refused("mailserver:r@x\x9Fhi\rBcc: other@y\x9F"
            "body",
            "me@home", "subject");
    refused(std::string("mailserver:r@x\0y", 16), "me@home", "recipient");
    refused("http://h/", "me@home\r\nBcc: other@y", "sender");
    refused("ftp://h/pub/a\rget other", "me@home", "text");
    refused("mailserver:r@x\x9Fs\x9Fline\rline", "me@home", "text");
    // A line break in the body is what the body is for.
    EXPECT_TRUE(ComposeRequest("mailserver:r@x\x9Fs\x9Fline\x9Fline", "me@home", servers, msg));
}

TEST_F(CompositionTest, TemplatesThatCannotBeReadRaise) {
    std::filesystem::remove(folder.File("bm.tpl"));
    ASSERT_TRUE(Compose("http://h/a.zip"));
    EXPECT_EQ(msg.Body, std::vector<std::string>{""}); // a missing template is an empty body
    std::filesystem::create_directory(folder.File("bm.tpl"));
    EXPECT_THROW(Compose("http://h/a.zip"), EInOutError);
}

TEST_F(CompositionTest, LogNamesRecipientSubjectAndBody) {
    ASSERT_TRUE(Compose("http://h/a.zip"));
    const std::string log = test::ReadAll(folder.File("DebugLog.Txt"));
    EXPECT_NE(log.find(": To: bin@b\r\n"), std::string::npos);
    EXPECT_NE(log.find(": Subject: bin subject\r\n"), std::string::npos);
    EXPECT_NE(log.find(": Body: mime http://h/a.zip\r\nSIZE 60\r\n"), std::string::npos);
}
