#include "support/program_under_test.h"

#include "shell/program_folder.h"
#include "util/debug_log.h"

namespace ostrel::test {

TProgramUnderTest::TProgramUnderTest() {
    SeedProgramFolder(std::string(OSTREL_SOURCE_DIR) + "/data/", folder.Path());
    for (const char* name : {"uservers.da2", "Suggest.Ini"})
        folder.CopyData(name);
}

TProgramUnderTest::~TProgramUnderTest() = default;

void TProgramUnderTest::Start(const std::string& smtp, const std::string& extraGeneral, int timeOutSeconds) {
    // The first value of a key wins: the test's own lines go before the defaults.
    folder.Write("config/ostrel/OSTREL.INI", "[General]\r\n" + extraGeneral +
                                                 "Email=me@example.org\r\nNewsLetterRequest=1\r\nTipEnabled=0\r\n"
                                                 "[Servers]\r\nSMTP=" +
                                                 smtp + "\r\n");
    WriteDebugLog("Started Ostrel");
    app = std::make_unique<TOstrelApp>(desk, folder.Path() + "ostrel", std::vector<std::string>{}, &secrets);
    app->FormCreate();
    app->SMTP().TimeOut = timeOutSeconds;
    desk.Dialogs.clear();
}

} // namespace ostrel::test
