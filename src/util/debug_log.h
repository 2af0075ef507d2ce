#pragma once

#include <string>
#include <vector>

#include "platform/desktop.h"

namespace ostrel {

// The debug log: DebugLog.Txt in the program folder, one time-stamped line per event. The file
// is opened and closed for every line, so another program can read it at any time.

constexpr long DebugLogLimit = 32000;

std::string DebugLogPath();
// Appends "date time: message" + CR LF. Raises EInOutError when the log cannot be written,
// unless an error report has already told the user so (the line is then dropped).
void WriteDebugLog(const std::string& message);
// The same for many lines at once, in one write (a fetch that saves hundreds of replies).
void WriteDebugLogLines(const std::vector<std::string>& messages);
// The same for work that must go on when the log cannot be written (a read-only program folder);
// returns whether the line was written.
bool TryWriteDebugLog(const std::string& message);
// "LPS " + the stage marker.
void LogStage();
// Sets the stage marker and logs it.
void SetStage(int stage, bool logged = true);
// Stores the last successful operation and logs it.
void NoteLastOperation(const std::string& text);

// "Error in " + where + "." + stage + " with " + message; logged (when the log can be
// written) and returned.
std::string FormatErrorText(const std::string& where, const std::string& message);
// Logs and shows an error (exclamation icon, OK). Never raises.
void ReportError(Desktop& desktop, const std::string& where, const std::string& message);
// Logs and shows an error in a warning dialog with OK and Help bound to helpContext.
void ReportErrorWithHelp(Desktop& desktop, const std::string& where, const std::string& message, int helpContext);

// Message box captioned with the application title. kind: 0 exclamation, 1 hand (stop),
// 2 asterisk (information), 3 question, 4 none. buttons: MB_OK, MB_OKCANCEL, MB_YESNO...
int ShowMessageBox(Desktop& desktop, const std::string& text, int kind, unsigned buttons);

// Cuts the log to its limit at a line start, then logs "Log trimmed".
void TrimDebugLog(Desktop& desktop);

// The time stamp of a log line: the short date, a blank and the long time of the locale.
std::string LogTimeStamp();

} // namespace ostrel
