#pragma once

#include <string>
#include <string_view>

namespace ostrel {

class TmsMessage;
class TServerDirectory;

// What makes a text a direct request, matched as written (lower case) wherever it is looked for.
inline constexpr std::string_view DirectRequestMarker = "mailserver:";

// Turns one request text (normally a URL) into the request mail for the ByMail server of its
// kind, in that server's dialect. Four forms exist: a direct request ("mailserver:" followed by
// address, subject and body separated by 0x9F), a web page, a web binary file, and an FTP
// script; a text may match the direct form and one other, and then carries both.
//
// Recipients, CC, BCC and Body of the message are replaced; Subject is set by the forms that
// have one (an FTP script keeps the previous subject); Sender's address becomes sender.
// The return format, the split switch and the piece size come from ProgramState().Prefs,
// templates from the program folder. Returns false (and leaves no recipient) when no form
// applies. Raises EMessageError naming the field when a recipient, the sender, the subject or
// the request text itself holds CR, LF or NUL (the message is then left without recipients),
// and EInOutError when a template exists but cannot be read.
bool ComposeRequest(const std::string& request, const std::string& sender, const TServerDirectory& servers,
                    TmsMessage& msMessage1);

} // namespace ostrel
