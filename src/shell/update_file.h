#pragma once

#include <functional>
#include <string>

namespace ostrel {

class Desktop;

// Looks for an update file in a copied text: UUencoded data files between the lines
// "---Begin Ostrel Update File---" and "---End Ostrel Update File---". Only what lies between
// the markers is read. When every block in it is whole, the delivered data files it carries
// (server directory, templates, extension lists, hot list, tips, suggestions, distribution tag,
// help pages) replace the old ones, all or none, the user is told that the program restarts and
// restart is called; any other name (history, queue, logs, flags, settings, the programs) is
// refused. A broken block writes nothing, says so and does not restart. Returns whether files
// were written (and restart called). Raises EInOutError when the files cannot be written (the
// old ones then stay as they were).
bool ProcessUpdateFile(Desktop& desktop, const std::string& text, const std::function<void()>& restart);

// The text between the markers; false when the text holds no update.
bool UpdatePayload(const std::string& text, std::string& payload);

} // namespace ostrel
