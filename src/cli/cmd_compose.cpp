#include "cli/cmd_compose.h"

#include <iostream>
#include <unistd.h>

#include "cli/console_desktop.h"
#include "forms/controls.h"
#include "mime/encoder.h"
#include "mime/message.h"
#include "servers/composition.h"
#include "servers/server_directory.h"
#include "shell/ostrel_app.h"
#include "util/ini_file.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace {

constexpr const char* Usage = "usage: ostrel-cli compose [--root DIR] URL...\n";

std::string ExecutablePath() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
}

// The return-format and splitting preferences as the desktop program holds them once its
// settings are loaded into the Preferences page: a format the page cannot show counts as none.
void LoadPreferences() {
    const TIniFile ini(SettingsFileName());
    auto& prefs = ProgramState().Prefs;
    prefs.prefBinaryFormat = ini.ReadInteger("General", "prefBinaryFormat", 1);
    if (prefs.prefBinaryFormat < 0)
        prefs.prefBinaryFormat = 1;
    if (prefs.prefBinaryFormat > 2)
        prefs.prefBinaryFormat = -1;
    prefs.ChunkSize = ini.ReadInteger("General", "ChunkSize", 60);
    prefs.Chunks = ini.ReadBool("General", "Chunks", false);
}

} // namespace

int RunComposeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string root;
    std::vector<std::string> requests;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--root") {
            if (i + 1 >= args.size()) {
                err << "ostrel-cli compose: --root needs a folder\n" << Usage;
                return 2;
            }
            root = args[++i];
            if (root.empty()) {
                err << "ostrel-cli compose: --root needs a folder\n" << Usage;
                return 2;
            }
        } else if (a == "--") {
            requests.insert(requests.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            err << "ostrel-cli compose: unknown option '" << a << "'\n" << Usage;
            return 2;
        } else {
            requests.push_back(a);
        }
    }
    if (requests.empty()) {
        err << "ostrel-cli compose: no request text given\n" << Usage;
        return 2;
    }

    auto& state = ProgramState();
    if (!root.empty()) {
        state.LocalRoot = root.back() == '/' ? root : root + "/";
    } else {
        state.ExePath = ExecutablePath();
        state.LocalRoot = ProgramFolderFor(state.ExePath);
    }

    ConsoleDesktop desktop(std::cin, err, false);
    state.LogClock = &desktop;
    TComboBox pages("cboHTTPServersPages", nullptr), binaries("cboHTTPServersBinary", nullptr),
        ftps("cboFTPservers", nullptr);
    TLabel pagesInfo("infoHTTPServersPages", nullptr), binariesInfo("infoHTTPServersBinary", nullptr),
        ftpsInfo("infoFTPservers", nullptr);
    TServerDirectory directory(desktop, TServerControls{pages, binaries, ftps, pagesInfo, binariesInfo, ftpsInfo});
    TmsMessage msMessage1;
    std::string sender;
    try {
        LoadPreferences();
        sender = TIniFile(SettingsFileName()).ReadString("General", "Email", "");
        directory.LoadServerDirectory();
        directory.RefreshServerSelection();
    } catch (const std::exception& e) {
        err << "ostrel-cli compose: " << e.what() << "\n";
        return 1;
    }

    int status = 0;
    // One message object serves every request, as in the desktop program: what a form leaves
    // alone (the subject of an FTP script) stays from the request before.
    for (const auto& request : requests) {
        try {
            if (request.find('\n') != std::string::npos) {
                err << "ostrel-cli compose: a request text must be one line: '" << request << "'\n";
                status = 1;
                continue;
            }
            if (!ComposeRequest(request, sender, directory, msMessage1)) {
                err << "ostrel-cli compose: no request form applies to '" << request << "'\n";
                status = 1;
                continue;
            }
            out << EncodeMessageText(msMessage1);
        } catch (const std::exception& e) {
            err << "ostrel-cli compose: '" << request << "': " << e.what() << "\n";
            status = 1;
        }
    }
    out.flush();
    return status;
}

} // namespace ostrel
