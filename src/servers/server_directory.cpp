#include "servers/server_directory.h"

#include "forms/controls.h"
#include "platform/desktop.h"
#include "util/debug_log.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/form_helpers.h"
#include "util/ini_file.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace {

// Backquote: a line break inside the one-line Info values.
constexpr char InfoBreak = '`';

// Calls f with each line of the text; CR LF, LF and a lone CR each end a line.
template <typename F> void ForEachLine(const std::string& text, F&& f) {
    size_t pos = 0;
    const size_t n = text.size();
    while (pos < n) {
        size_t end = pos;
        while (end < n && text[end] != '\n' && text[end] != '\r')
            ++end;
        f(std::string_view(text).substr(pos, end - pos));
        if (end < n && text[end] == '\r')
            ++end;
        if (end < n && text[end] == '\n')
            ++end;
        pos = end;
    }
}

// A header for the list scan: "[" first and the first "]" last. Stricter than the INI reader
// on purpose, so that blanks around the brackets keep a section out of the lists.
bool ScanHeader(std::string_view line, std::string& name) {
    if (line.size() < 2 || line.front() != '[')
        return false;
    const auto close = line.find(']');
    if (close != line.size() - 1)
        return false;
    name.assign(line.substr(1, close - 1));
    return true;
}

} // namespace

TServerDirectory::TServerDirectory(Desktop& desktop, TServerControls controls)
    : desktop_(desktop), controls_(controls) {}

std::vector<TServerRole> TServerDirectory::Roles() {
    return {
        {controls_.cboFTPservers, "FTP", "Ftp Server"},
        {controls_.cboHTTPServersBinary, "HTTPBinary", "Http Binary Server"},
        {controls_.cboHTTPServersPages, "HTTPPages", "Http Page Server"},
    };
}

void TServerDirectory::LoadServerDirectory() {
    const std::string path = LocalPath(ServerDirectoryFileName);
    // A missing directory reads as empty text elsewhere; here it means the program is broken.
    if (!FileExists(path))
        throw EInOutError("Cannot open " + path + ": the server directory is missing");
    const std::string text = ReadFileString(path);

    SetStage(90912, false);
    ProgramState().DistInfo = TIniFile(LocalPath(DistInfoFileName)).ReadString("General", "DistInfo", "");

    controls_.cboFTPservers.Clear();
    controls_.cboHTTPServersBinary.Clear();
    controls_.cboHTTPServersPages.Clear();

    const TIniFile directory(path);
    std::vector<std::string> pages, binaries, ftps;
    std::string name;
    ForEachLine(text, [&](std::string_view line) {
        if (!ScanHeader(line, name))
            return;
        switch (directory.ReadInteger(name, "Type", -1)) {
        case ServerTypePage:
            pages.push_back(name);
            break;
        case ServerTypeBinary:
        case ServerTypeBinaryToo:
            binaries.push_back(name);
            break;
        case ServerTypeFTP:
            ftps.push_back(name);
            break;
        case ServerTypeEveryRole:
            binaries.push_back(name);
            pages.push_back(name);
            ftps.push_back(name);
            break;
        default:
            break;
        }
    });
    // Filled in one step each, so a view redraws each list once and not once per server.
    controls_.cboHTTPServersPages.SetItems(std::move(pages));
    controls_.cboHTTPServersBinary.SetItems(std::move(binaries));
    controls_.cboFTPservers.SetItems(std::move(ftps));

    if (OnApplyServerSelections)
        OnApplyServerSelections(*this);
    else
        ApplyServerSelections();

    WriteDebugLog("Loaded Server File");
}

void TServerDirectory::ApplyServerSelections() {
    const TIniFile suggestions(LocalPath(SuggestFileName));
    const TIniFile settings(SettingsFileName());
    for (auto& role : Roles()) {
        const std::string suggested = suggestions.ReadString("Servers", role.Key, "");
        const std::string current = settings.ReadString("Servers", role.Key, suggested);
        SelectComboItem(current, role.List);
        EnsureComboSelection(role.List);
    }
}

std::string TServerDirectory::ReadServerKey(const std::string& server, const std::string& key) {
    if (server.empty())
        return {};
    return TIniFile(LocalPath(ServerDirectoryFileName)).ReadString(server, key, "");
}

std::string TServerDirectory::ShortInfo(const std::string& info) {
    const auto tick = info.find(InfoBreak);
    if (tick == std::string::npos)
        return info;
    return info.substr(0, tick) + " <click for more info>";
}

std::string TServerDirectory::PageServer() const {
    return controls_.cboHTTPServersPages.Text();
}
std::string TServerDirectory::BinaryServer() const {
    return controls_.cboHTTPServersBinary.Text();
}
std::string TServerDirectory::FTPServer() const {
    return controls_.cboFTPservers.Text();
}

void TServerDirectory::RefreshServerSelection() {
    WriteDebugLog("UDSI");
    const std::string page = PageServer();
    const std::string binary = BinaryServer();
    const std::string ftp = FTPServer();
    controls_.infoHTTPServersPages.SetCaption(ShortInfo(ReadServerKey(page, "Info")));
    controls_.infoHTTPServersBinary.SetCaption(ShortInfo(ReadServerKey(binary, "Info")));
    controls_.infoFTPservers.SetCaption(ShortInfo(ReadServerKey(ftp, "Info")));

    cache_.PageVerb = ReadServerKey(page, "verbPagesHttp") + " ";
    cache_.PageTemplate = ReadServerKey(page, "filePagesHttp");
    cache_.BinaryVerb = ReadServerKey(binary, "verbBinaryHttp") + " ";
    switch (ProgramState().Prefs.prefBinaryFormat) {
    case 0:
    case 2:
        cache_.BinaryTemplate = ReadServerKey(binary, "fileBinaryHttpU");
        break;
    case 1:
        cache_.BinaryTemplate = ReadServerKey(binary, "fileBinaryHttpM");
        break;
    default:
        // No valid format chosen (yet): keep the template that went with the last one.
        break;
    }
}

void TServerDirectory::ShowServerInfo(const TLabel& clicked) {
    std::string server;
    if (&clicked == &controls_.infoHTTPServersPages)
        server = PageServer();
    else if (&clicked == &controls_.infoHTTPServersBinary)
        server = BinaryServer();
    else if (&clicked == &controls_.infoFTPservers)
        server = FTPServer();
    else
        return;
    const std::string info = ReplaceEach(std::string(1, InfoBreak), ReadServerKey(server, "Info"), "\r\n");
    ShowMessageBox(desktop_,
                   "Expanded information (if any) about " + UpperCase(server) + " is shown below:" + "\r\n\n" + info, 4,
                   MB_OK);
}

} // namespace ostrel
