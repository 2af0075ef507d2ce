#pragma once

#include <string>
#include <vector>

namespace ostrel {

class TListBox;

constexpr int MaxHistory = 250;

// Lines of a list file: CR LF, CR or LF end a line, a zero byte ends the text, a last line
// without a line end counts.
std::vector<std::string> SplitListLines(const std::string& text);
std::string JoinListLines(const std::vector<std::string>& lines);

// Replaces the list's items by the file's lines when program folder + fileName exists, then
// scrolls to the top (always, or only when the list is not empty). Raises
// "Cannot open file <name>" when the file exists but cannot be read.
void LoadList(TListBox& list, const std::string& fileName, bool scrollAlways);
// Writes the items whole, atomically; raises "Cannot create file <name>".
void SaveList(const TListBox& list, const std::string& fileName);
// Composes "request via server on date time" and inserts it first, keeping at most 250.
void AddHistoryEntry(TListBox& history, const std::string& request, const std::string& server,
                     const std::string& dateTime);
void TrimHistory(TListBox& history);

// Parts of a history entry as readers take them back.
std::string HistoryRequest(const std::string& entry);
std::string HistoryServer(const std::string& entry);
std::string HistoryDate(const std::string& entry);

} // namespace ostrel
