#include "util/text.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "util/program_state.h"

namespace ostrel {

std::string ReplaceFirst(const std::string& search, const std::string& source, const std::string& replacement) {
    if (search.empty())
        return source;
    auto at = source.find(search);
    if (at == std::string::npos)
        return source;
    return source.substr(0, at) + replacement + source.substr(at + search.size());
}

std::string ReplaceAll(const std::string& search, const std::string& source, const std::string& replacement) {
    if (search.empty())
        return source;
    // A replacement that brings the search text back would loop for ever; do each once then.
    if (replacement.find(search) != std::string::npos)
        return ReplaceEach(search, source, replacement);
    std::string result = source;
    // Replacing from the earliest occurrence again and again only differs from one left-to-right
    // pass where a replacement joins with its surroundings into a new occurrence; such a new
    // occurrence can only start before the end of the replacement, so restart the scan there.
    size_t from = 0;
    for (;;) {
        auto at = result.find(search, from);
        if (at == std::string::npos)
            break;
        result.replace(at, search.size(), replacement);
        from = at >= search.size() ? at - search.size() + 1 : 0;
    }
    return result;
}

std::string ReplaceEach(const std::string& search, const std::string& source, const std::string& replacement) {
    if (search.empty())
        return source;
    std::string result;
    result.reserve(source.size());
    size_t from = 0;
    for (;;) {
        auto at = source.find(search, from);
        if (at == std::string::npos)
            break;
        result.append(source, from, at - from);
        result += replacement;
        from = at + search.size();
    }
    result.append(source, from, std::string::npos);
    return result;
}

// ASCII only, as the C locale does: the texts are mail headers, URLs and UTF-8, whose other
// bytes must pass unchanged whatever locale the desktop set; and no library call per byte.
std::string UpperCase(const std::string& s) {
    std::string r = s;
    for (auto& c : r)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return r;
}

std::string LowerCase(const std::string& s) {
    std::string r = s;
    for (auto& c : r)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return r;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

int Pos(const std::string& needle, const std::string& haystack) {
    if (needle.empty())
        return 0;
    auto at = haystack.find(needle);
    return at == std::string::npos ? 0 : static_cast<int>(at) + 1;
}

int PosNoCase(const std::string& needle, const std::string& haystack) { return Pos(UpperCase(needle), UpperCase(haystack)); }

std::string ParseField(const std::string& fieldName, const std::string& text) {
    const std::string hay = "\r\n" + text;
    const int at = PosNoCase("\r\n" + fieldName, hay);
    if (at == 0)
        return {};
    const size_t start = static_cast<size_t>(at - 1) + 2 + fieldName.size();
    std::string value = hay.substr(start, 1024);
    auto crlf = value.find("\r\n");
    if (crlf != std::string::npos)
        value.resize(crlf);
    return value;
}

std::string FirstWord(const std::string& text) {
    auto at = text.find(' ');
    return at == std::string::npos ? std::string() : text.substr(0, at);
}

int InstancesOfCharacters(const std::string& character, const std::string& text) {
    if (character.empty())
        return 0;
    return static_cast<int>(std::count(text.begin(), text.end(), character[0]));
}

std::vector<std::string> TextLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return s.substr(b, e - b);
}

std::int32_t VBVal(const std::string& text) {
    std::string t = Trim(text);
    if (t.empty())
        return 0;
    bool negative = false;
    size_t i = 0;
    if (t[i] == '-' || t[i] == '+') {
        negative = t[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < t.size() && t[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < t.size() && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= t.size())
        return 0;
    std::int64_t value = 0;
    const char* first = t.data() + i;
    const char* last = t.data() + t.size();
    auto [ptr, ec] = std::from_chars(first, last, value, base);
    if (ec != std::errc() || ptr != last)
        return 0;
    if (negative)
        value = -value;
    if (base == 16 && !negative && value > INT32_MAX && value <= UINT32_MAX)
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    if (value < INT32_MIN || value > INT32_MAX)
        return 0;
    return static_cast<std::int32_t>(value);
}

std::string UrlExtension(const std::string& url) {
    if (url.empty() || url.back() == '/')
        return {};
    auto dot = url.rfind('.');
    return dot == std::string::npos ? std::string() : url.substr(dot + 1);
}

int SecondPos(const std::string& search, const std::string& text) {
    if (search.empty())
        return 0;
    auto first = text.find(search);
    if (first == std::string::npos)
        return 0;
    auto second = text.find(search, first + search.size());
    return second == std::string::npos ? 0 : static_cast<int>(second) + 1;
}

std::string PathOfF(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(0, slash + 1);
}

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

bool IsValidUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = Utf8CharacterAt(s, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::size_t FindLoneByte(const std::string& text, char c, std::size_t from) {
    for (std::size_t i = from; i < text.size();) {
        const std::size_t n = Utf8CharacterAt(text, i);
        if (n == 0 && text[i] == c)
            return i;
        i += n == 0 ? 1 : n;
    }
    return std::string::npos;
}

std::string CutAtCharacter(const std::string& text, std::size_t limit) {
    if (text.size() <= limit)
        return text;
    std::size_t n = limit;
    // Back to the start of the character the limit falls in; a text that is no UTF-8 to begin
    // with is cut where the limit says.
    if (IsValidUtf8(text))
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
    return text.substr(0, n);
}

std::string CommandLine() {
    std::string joined;
    for (const auto& a : ProgramState().Args)
        joined += a;
    return joined;
}

} // namespace ostrel
