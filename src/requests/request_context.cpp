#include "requests/request_context.h"

#include "servers/composition.h"
#include "util/text.h"

namespace ostrel {

std::string HistoryForm(const std::string& request) {
    return ReplaceEach(" ", request, "%20");
}

std::string RequestFromHistory(const std::string& stored) {
    // A URL is the same request with its blanks encoded; a direct request's subject and body
    // are texts, whose blanks must come back.
    if (stored.find(DirectRequestMarker) != std::string::npos)
        return ReplaceEach("%20", stored, " ");
    return stored;
}

std::string ReadableRequest(const std::string& text) {
    // The separator byte is also the second byte of some UTF-8 characters ("\xC3\x9F" is a
    // sharp s): only one that is no part of a character is a separator.
    std::string out;
    std::size_t from = 0;
    for (std::size_t at; (at = FindLoneByte(text, '\x9F', from)) != std::string::npos; from = at + 1)
        out.append(text, from, at - from).append(" | ");
    out.append(text, from);
    return out;
}

} // namespace ostrel
