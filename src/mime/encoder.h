#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace ostrel {

class TmsMessage;

// Writes a message as the text that follows SMTP's DATA: the header block, an empty line and the
// body, every line ended by CR LF. Nothing is dot-stuffed: that belongs to the SMTP transfer.
// The message's Headers lose the lines the encoder writes itself (From, To, Subject, ...).
// Raises EMessageError for fields that would break the header block (see
// TmsMessage::CheckHeaderFields) before anything is written, and "Paragraph is too large" for a
// body line too long for quoted-printable. pump, when given, runs now and then during long work.
void EncodeMessage(TmsMessage& message, std::ostream& target, const std::function<void()>& pump = {});
// The same text as a string.
std::string EncodeMessageText(TmsMessage& message, const std::function<void()>& pump = {});

// The header lines of an address header ("To", "CC") for a list, without line ends: the name
// padded to ten characters, one address per line, all but the last ending in ",".
// Empty for an empty list.
class TmsAddressList;
std::vector<std::string> AddressHeaderLines(const std::string& name, const TmsAddressList& list);
// A display name as written in a header: quoted when it holds "." or another special character
// (and no double quote), or as encoded words when it holds bytes outside printable ASCII.
std::string HeaderDisplayName(const std::string& name);

} // namespace ostrel
