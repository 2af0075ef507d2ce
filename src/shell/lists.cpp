#include "shell/lists.h"

#include <filesystem>

#include "forms/controls.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

std::vector<std::string> SplitListLines(const std::string& text) {
    std::vector<std::string> lines;
    const size_t end = std::min(text.size(), text.find('\0'));
    size_t pos = 0;
    while (pos < end) {
        size_t e = pos;
        while (e < end && text[e] != '\r' && text[e] != '\n')
            ++e;
        lines.push_back(text.substr(pos, e - pos));
        if (e < end && text[e] == '\r') {
            ++e;
            if (e < end && text[e] == '\n')
                ++e;
        } else if (e < end && text[e] == '\n') {
            ++e;
        }
        pos = e;
    }
    return lines;
}

std::string JoinListLines(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) {
        out += l;
        out += "\r\n";
    }
    return out;
}

void LoadList(TListBox& list, const std::string& fileName, bool scrollAlways) {
    const std::string path = LocalPath(fileName);
    std::error_code ec;
    // Anything by that name counts: a folder in its place is an error to report, not an empty list.
    if (std::filesystem::exists(path, ec)) {
        std::string text;
        try {
            text = ReadFileString(path);
        } catch (const std::exception&) {
            throw EInOutError("Cannot open file " + path);
        }
        list.SetItems(SplitListLines(text));
    }
    if (scrollAlways || list.Count() > 0)
        list.SetTopIndex(0);
}

void SaveList(const TListBox& list, const std::string& fileName) {
    const std::string path = LocalPath(fileName);
    try {
        WriteFileAtomic(path, JoinListLines(list.Items()));
    } catch (const std::exception&) {
        throw EInOutError("Cannot create file " + path);
    }
}

void AddHistoryEntry(TListBox& history, const std::string& request, const std::string& server,
                     const std::string& dateTime) {
    history.InsertItem(0, Trim(request) + " via " + server + " on " + dateTime);
    while (history.Count() > MaxHistory)
        history.DeleteItem(MaxHistory);
}

void TrimHistory(TListBox& history) {
    while (history.Count() > MaxHistory)
        history.DeleteItem(history.Count() - 1);
}

std::string HistoryRequest(const std::string& entry) {
    auto blank = entry.find(' ');
    return blank == std::string::npos ? entry : entry.substr(0, blank);
}

std::string HistoryServer(const std::string& entry) {
    auto via = entry.find(" via ");
    if (via == std::string::npos)
        return {};
    std::string rest = entry.substr(via + 5);
    auto blank = rest.find(' ');
    return blank == std::string::npos ? rest : rest.substr(0, blank);
}

std::string HistoryDate(const std::string& entry) {
    auto on = entry.find(" on ");
    return on == std::string::npos ? std::string() : entry.substr(on + 4);
}

} // namespace ostrel
