#include "mime/quoted_printable.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "util/error.h"

namespace ostrel {

namespace {

// Encoded content per line; the soft line break "=" makes the 76th character.
constexpr std::size_t kMaxContent = 75;
constexpr char kHex[] = "0123456789ABCDEF";

constexpr std::array<std::int8_t, 256> MakeHexTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& v : table)
        v = -1;
    for (int i = 0; i < 10; ++i)
        table[static_cast<std::size_t>('0' + i)] = static_cast<std::int8_t>(i);
    for (int i = 0; i < 6; ++i) {
        table[static_cast<std::size_t>('A' + i)] = static_cast<std::int8_t>(10 + i);
        table[static_cast<std::size_t>('a' + i)] = static_cast<std::int8_t>(10 + i);
    }
    return table;
}

constexpr std::array<std::int8_t, 256> kHexValue = MakeHexTable();

bool MustEncode(unsigned char c) { return c < 32 || c == '=' || c >= 127; }

void EncodeParagraph(std::string_view paragraph, std::vector<std::string>& lines) {
    if (paragraph.size() > kMaxQuotedPrintableParagraph)
        throw EMessageError("Paragraph is too large");
    std::string line;
    // Position in line of the last literal blank after its start: the preferred place to break.
    std::size_t lastBlank = std::string::npos;
    for (std::size_t i = 0; i < paragraph.size(); ++i) {
        const auto c = static_cast<unsigned char>(paragraph[i]);
        const bool atEnd = i + 1 == paragraph.size();
        char token[3];
        std::size_t tokenSize = 1;
        // A blank at the end of a line would be lost to transports that strip trailing space.
        if (MustEncode(c) || (c == ' ' && atEnd)) {
            token[0] = '=';
            token[1] = kHex[c >> 4];
            token[2] = kHex[c & 15];
            tokenSize = 3;
        } else {
            token[0] = static_cast<char>(c);
        }
        if (line.size() + tokenSize > kMaxContent) {
            if (lastBlank != std::string::npos) {
                std::string rest = line.substr(lastBlank);
                line.resize(lastBlank);
                lines.push_back(line + "=");
                line = std::move(rest);
                const std::size_t blank = line.find_last_of(' ');
                lastBlank = blank != std::string::npos && blank > 0 ? blank : std::string::npos;
            }
            if (line.size() + tokenSize > kMaxContent) {
                lines.push_back(line + "=");
                line.clear();
                lastBlank = std::string::npos;
            }
        }
        if (tokenSize == 1 && c == ' ' && !line.empty())
            lastBlank = line.size();
        line.append(token, tokenSize);
    }
    lines.push_back(std::move(line));
}

inline void DecodeEscapes(std::string_view line, std::string& out) {
    const char* p = line.data();
    const char* end = p + line.size();
    while (p < end) {
        const char* eq = static_cast<const char*>(std::memchr(p, '=', static_cast<std::size_t>(end - p)));
        if (eq == nullptr) {
            out.append(p, end);
            return;
        }
        out.append(p, eq);
        if (end - eq >= 3) {
            const int hi = kHexValue[static_cast<unsigned char>(eq[1])];
            const int lo = kHexValue[static_cast<unsigned char>(eq[2])];
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                p = eq + 3;
                continue;
            }
        }
        // Not an escape: kept as written.
        out.push_back('=');
        p = eq + 1;
    }
}

} // namespace

std::vector<std::string> TQuotedPrintable::Encode(std::string_view text, const std::function<void()>& pump) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t stop = text.find_first_of("\r\n", pos);
        if (stop == std::string_view::npos)
            stop = text.size();
        EncodeParagraph(text.substr(pos, stop - pos), lines);
        pos = stop;
        // CR LF is one break; a lone CR or LF is one each, so that no empty line is lost.
        if (pos < text.size()) {
            if (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n')
                pos += 2;
            else
                ++pos;
        }
        if (pump)
            pump();
    }
    return lines;
}

std::string TQuotedPrintable::Decode(const std::vector<std::string>& lines) {
    std::string out;
    std::size_t total = 0;
    for (const auto& line : lines)
        total += line.size() + 2;
    out.reserve(total);
    for (const auto& line : lines) {
        std::string_view l = line;
        while (!l.empty() && (l.back() == ' ' || l.back() == '\t'))
            l.remove_suffix(1);
        // The soft break is judged on the line as received: an encoded "=3D" at the end is data.
        if (!l.empty() && l.back() == '=') {
            DecodeEscapes(l.substr(0, l.size() - 1), out);
            continue;
        }
        DecodeEscapes(l, out);
        if (out.empty() || out.back() != '\x1A')
            out.append("\r\n");
    }
    return out;
}

void TQuotedPrintableDecoder::DecodeLine(std::string_view line, bool hasBreak, std::string& out) {
    if (hasBreak && !line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    std::string_view l = line;
    while (!l.empty() && (l.back() == ' ' || l.back() == '\t'))
        l.remove_suffix(1);
    if (!l.empty() && l.back() == '=') {
        DecodeEscapes(l.substr(0, l.size() - 1), out);
        return;
    }
    // Trailing white space was added in transport; a last line without a break keeps its text.
    DecodeEscapes(hasBreak ? l : line, out);
    if (hasBreak)
        out.append("\r\n");
}

void TQuotedPrintableDecoder::Decode(std::string_view piece, std::string& out) {
    out.reserve(out.size() + piece.size() + 2);
    std::size_t pos = 0;
    if (!pending_.empty()) {
        const std::size_t lf = piece.find('\n');
        if (lf == std::string_view::npos) {
            pending_.append(piece);
            return;
        }
        pending_.append(piece.substr(0, lf));
        DecodeLine(pending_, true, out);
        pending_.clear();
        pos = lf + 1;
    }
    while (pos < piece.size()) {
        const std::size_t lf = piece.find('\n', pos);
        if (lf == std::string_view::npos) {
            pending_.assign(piece.substr(pos));
            return;
        }
        DecodeLine(piece.substr(pos, lf - pos), true, out);
        pos = lf + 1;
    }
}

void TQuotedPrintableDecoder::Finish(std::string& out) {
    if (!pending_.empty())
        DecodeLine(pending_, false, out);
    pending_.clear();
}

std::string QuotedPrintableDecode(std::string_view text) {
    TQuotedPrintableDecoder decoder;
    std::string out;
    decoder.Decode(text, out);
    decoder.Finish(out);
    return out;
}

std::string QuotedPrintableDecodeLine(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    DecodeEscapes(line, out);
    return out;
}

} // namespace ostrel
