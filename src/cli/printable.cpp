#include "cli/printable.h"

namespace ostrel {

namespace {

void AppendHex(std::string& out, unsigned char byte) {
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

// Length of the well-formed UTF-8 sequence at the start of text, 0 when there is none
// (overlong forms, surrogates and code points beyond U+10FFFF included).
std::size_t Utf8Length(std::string_view text) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = b(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else
        return 0;
    if (text.size() < length || b(1) < low || b(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (b(i) < 0x80 || b(i) > 0xBF)
            return 0;
    return length;
}

} // namespace

std::string Printable(std::string_view text, TLineBreaks lineBreaks) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (lineBreaks == TLineBreaks::Keep &&
            (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))) {
            out += '\n';
            i += c == '\r' ? 2 : 1;
            continue;
        }
        if (c >= 0x80) {
            const std::size_t length = Utf8Length(text.substr(i));
            // U+0080 to U+009F are the C1 controls; a terminal may act on them as on ESC [.
            if (length > 0 && !(c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
                out.append(text.substr(i, length));
                i += length;
                continue;
            }
        }
        switch (c) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            AppendHex(out, c);
        }
        ++i;
    }
    return out;
}

} // namespace ostrel
