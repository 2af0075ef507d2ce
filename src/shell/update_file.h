#pragma once

#include <functional>
#include <string>

namespace ostrel {

class Desktop;
class TmsMessage;

// Looks for an update file in a copied text: UUencoded data files between the lines
// "---Begin Ostrel Update File---" and "---End Ostrel Update File---". When it finds one it
// decodes the files into the program folder (each replaced atomically), tells the user that
// the program restarts and calls restart. Returns whether any file was written (and restart
// called). A leftover temporary file is removed on every call. The program file and the
// settings file are never replaced. Errors of the decode reach the caller after the clean-up,
// unless files were written and restart was called.
bool ProcessUpdateFile(Desktop& desktop, TmsMessage& message, const std::string& text,
                       const std::function<void()>& restart);

// The update text, as written to the temporary file: carriage-return runs collapsed, the text
// from the first "begin " on, behind the pseudo header. Empty when the text holds no update.
std::string UpdatePseudoMessage(const std::string& text);

} // namespace ostrel
