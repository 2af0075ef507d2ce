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

namespace {
// The length of the UTF-8 character at pos, or 0 when no whole character starts there.
std::size_t Utf8CharacterAt(const std::string& text, std::size_t pos) {
    const auto c = static_cast<unsigned char>(text[pos]);
    const std::size_t n = c < 0x80                 ? 1
                          : c >= 0xC2 && c <= 0xDF ? 2
                          : c >= 0xE0 && c <= 0xEF ? 3
                          : c >= 0xF0 && c <= 0xF4 ? 4
                                                   : 0;
    if (n == 0 || pos + n > text.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(text[pos + k]) & 0xC0) != 0x80)
            return 0;
    return n;
}
} // namespace

std::string ReadableRequest(const std::string& text) {
    // The separator byte is also the second byte of some UTF-8 characters ("\xC3\x9F" is a
    // sharp s): only one that is no part of a character is a separator.
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = Utf8CharacterAt(text, i);
        if (n == 0 && text[i] == '\x9F') {
            out += " | ";
            ++i;
        } else {
            const std::size_t take = n == 0 ? 1 : n;
            out.append(text, i, take);
            i += take;
        }
    }
    return out;
}

} // namespace ostrel
