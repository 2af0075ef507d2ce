#pragma once

#include <memory>
#include <string>

#include "platform/fake_desktop.h"
#include "platform/fake_secrets.h"
#include "shell/ostrel_app.h"
#include "support/test_support.h"

namespace ostrel::test {

// The whole program on the fake desktop: a fresh program folder with every delivered data
// file, and, after Start, a user who has filled in "My Details".
class TProgramUnderTest {
public:
    TProgramUnderTest();
    virtual ~TProgramUnderTest();

    // Writes the settings (the SMTP server, and "[General]" lines of the test's own, each ending
    // in CR LF, which win over the defaults) and runs the start-up; the dialogs it showed are
    // cleared.
    void Start(const std::string& smtp, const std::string& extraGeneral = "", int timeOutSeconds = 5);

    TfrmProps& f() { return app->Form(); }
    std::string Log() const { return folder.Read("DebugLog.Txt"); }

    ProgramFolder folder;
    FakeDesktop desk;
    FakeSecrets secrets;
    std::unique_ptr<TOstrelApp> app;
};

} // namespace ostrel::test
