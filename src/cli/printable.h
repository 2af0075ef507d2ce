#pragma once

#include <string>
#include <string_view>

namespace ostrel {

// How Printable treats line breaks.
enum class TLineBreaks {
    Escape, // one line: every line break shows as \r or \n
    Keep    // a message of several lines: CR LF and LF end lines, a lone CR is escaped
};

// The text as it may be written to a terminal: control bytes (C0, DEL and the C1 controls of
// UTF-8) and bytes that are not UTF-8 are shown as escapes (\r, \t, \x1b), so that a request
// text, a file name or a server reply can neither move the cursor, change colours nor send
// the terminal commands. Everything the command line echoes goes through here.
std::string Printable(std::string_view text, TLineBreaks lineBreaks = TLineBreaks::Escape);

} // namespace ostrel
