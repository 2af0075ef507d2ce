#include "mime/quoted_printable.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "util/error.h"

namespace ostrel {

namespace {

// A paragraph is cut into pieces of at most kPiece characters, before the last blank within
// reach so that words stay whole; a line of the encoded text holds at most kMaxLine
// characters, the soft line break "=" included.
constexpr std::size_t kPiece = 65;
constexpr std::size_t kMaxLine = 76;
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

// Writes one piece as one line, or, where its escapes would make that line too long, as
// several, each cut between two escapes. last: the piece ends the paragraph (no soft break).
void EncodePiece(std::string_view piece, bool last, std::vector<std::string>& lines) {
    std::vector<std::string> tokens;
    tokens.reserve(piece.size());
    std::size_t total = 0;
    for (std::size_t i = 0; i < piece.size(); ++i) {
        const auto c = static_cast<unsigned char>(piece[i]);
        // A blank at the end of a line would be lost to transports that strip trailing space.
        if (MustEncode(c) || (c == ' ' && last && i + 1 == piece.size()))
            tokens.push_back({'=', kHex[c >> 4], kHex[c & 15]});
        else
            tokens.emplace_back(1, static_cast<char>(c));
        total += tokens.back().size();
    }
    std::string line;
    if (total > (last ? kMaxLine : kMaxLine - 1)) {
        for (const auto& token : tokens) {
            if (line.size() + token.size() > kMaxLine - 1) {
                lines.push_back(line + "=");
                line.clear();
            }
            line += token;
        }
    } else {
        for (const auto& token : tokens)
            line += token;
    }
    lines.push_back(last ? line : line + "=");
}

void EncodeParagraph(std::string_view paragraph, std::vector<std::string>& lines) {
    if (paragraph.size() > kMaxQuotedPrintableParagraph)
        throw EMessageError("Paragraph is too large");
    if (paragraph.empty()) {
        lines.emplace_back();
        return;
    }
    std::size_t start = 0;
    while (start < paragraph.size()) {
        std::size_t end = paragraph.size();
        if (end - start > kPiece) {
            // The blank nearest before the character kPiece on (that one included) starts the
            // next piece; without one after the start the piece is cut after kPiece characters.
            const std::size_t blank = paragraph.rfind(' ', start + kPiece);
            end = blank != std::string_view::npos && blank > start ? blank : start + kPiece;
        }
        EncodePiece(paragraph.substr(start, end - start), end == paragraph.size(), lines);
        start = end;
    }
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
