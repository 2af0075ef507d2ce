#pragma once

#include <map>
#include <string>
#include <string_view>

namespace ostrel {

class TmsHeaders;

// A structured header value ("Content-Type", "Content-Disposition") taken apart: the leading
// token in lower case and the parameters by lower-case name. Parameters split over several
// pieces ("name*0", "name*1") are joined, "name*" values are percent-decoded, and values that
// name a character set or hold encoded words are turned into UTF-8.
struct THeaderValue {
    std::string Token;
    std::map<std::string, std::string> Params;

    // The parameter, or an empty text.
    std::string Param(const std::string& name) const;
};

THeaderValue ParseHeaderValue(std::string_view value);

// The value of the first header of that name with its continuation lines joined, without any
// decoding and without a length limit; empty when there is none.
std::string RawFieldValue(const TmsHeaders& headers, std::string_view name);

// The text with its encoded words ("=?charset?B?...?=", "=?charset?Q?...?=") decoded and turned
// into UTF-8; blanks between two encoded words are dropped, as they only separate the words.
std::string DecodeWordsToUtf8(std::string_view text);

// Bytes in the named character set turned into UTF-8. Text that is valid UTF-8 already, or in a
// set this system does not know, is returned unchanged; an empty charset means ISO-8859-1 for
// text that is not valid UTF-8.
std::string ToUtf8(std::string_view bytes, std::string_view charset);

} // namespace ostrel
