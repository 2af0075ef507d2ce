#include "cli/cmd_compose.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "cli/console_desktop.h"
#include "cli/printable.h"
#include "forms/controls.h"
#include "mime/encoder.h"
#include "mime/message.h"
#include "servers/composition.h"
#include "servers/server_directory.h"
#include "shell/settings.h"
#include "util/ini_file.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace {

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

int Compose(const std::vector<std::string>& requests, bool toTerminal, std::ostream& out, std::ostream& err) {
    ConsoleDesktop desktop(std::cin, err, false);
    ProgramState().LogClock = &desktop;
    TComboBox pages("cboHTTPServersPages", nullptr), binaries("cboHTTPServersBinary", nullptr),
        ftps("cboFTPservers", nullptr);
    TLabel pagesInfo("infoHTTPServersPages", nullptr), binariesInfo("infoHTTPServersBinary", nullptr),
        ftpsInfo("infoFTPservers", nullptr);
    TServerDirectory directory(desktop, TServerControls{pages, binaries, ftps, pagesInfo, binariesInfo, ftpsInfo});
    TmsMessage msMessage1;
    std::string sender;
    try {
        LoadPreferences();
        // The desktop program would not keep these settings; a mail made from them would ask
        // the server for pieces of no size.
        if (const auto& prefs = ProgramState().Prefs; !IsLegalChunkSize(prefs)) {
            err << "ostrel-cli compose: the chunk size is not legal: files are to be split (Chunks=1) into pieces of "
                << prefs.ChunkSize << " KB (ChunkSize) in " << Printable(SettingsFileName())
                << ".\nSet a size above 0, or tick \"Don't split\", on the desktop program's Preferences page.\n";
            return 1;
        }
        sender = TIniFile(SettingsFileName()).ReadString("General", "Email", "");
        directory.LoadServerDirectory();
        directory.RefreshServerSelection();
    } catch (const std::exception& e) {
        err << "ostrel-cli compose: " << Printable(e.what(), TLineBreaks::Keep) << "\n";
        return 1;
    }

    int status = 0;
    // One message object serves every request, as in the desktop program: what a form leaves
    // alone (the subject of an FTP script) stays from the request before.
    for (const auto& request : requests) {
        try {
            if (request.find('\n') != std::string::npos) {
                err << "ostrel-cli compose: a request text must be one line: '" << Printable(request) << "'\n";
                status = 1;
                continue;
            }
            if (!ComposeRequest(request, sender, directory, msMessage1)) {
                err << "ostrel-cli compose: no request mail can be made from '" << Printable(request)
                    << "': it is neither a web, FTP, gopher or news address nor a mailserver: request\n";
                status = 1;
                continue;
            }
            // The mail goes out as it would be sent, unless a terminal would act on its bytes.
            const std::string mail = EncodeMessageText(msMessage1);
            out << (toTerminal ? Printable(mail, TLineBreaks::Keep) : mail);
        } catch (const std::exception& e) {
            err << "ostrel-cli compose: '" << Printable(request) << "': " << Printable(e.what(), TLineBreaks::Keep)
                << "\n";
            status = 1;
        }
    }
    out.flush();
    return status;
}

} // namespace

TCliRun DeclareComposeCommand(CLI::App& command) {
    auto requests = std::make_shared<std::vector<std::string>>();
    command.add_option("URL", *requests, "a request text, as it would be copied or typed")->type_name("")->required();
    return [requests](const TCliContext& c) { return Compose(*requests, c.OutIsTerminal, c.Out, c.Err); };
}

} // namespace ostrel
