#include "mail/uucode.h"

#include <array>
#include <cstdint>

#include "util/error.h"

namespace ostrel {

namespace {

constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& v : table)
        v = kInvalid;
    for (int c = 32; c <= 95; ++c)
        table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>((c - 32) & 63);
    table['`'] = 0;
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = MakeDecodeTable();

inline char EncodeChar(unsigned v) { return v == 0 ? '`' : static_cast<char>(32 + v); }

[[noreturn]] void InvalidCharacter() { throw EMessageError("Invalid Character"); }

bool IsSkippedLine(std::string_view line) {
    if (line == "`" || line == "end")
        return true;
    return line.size() >= 6 && line.substr(0, 6) == "begin ";
}

} // namespace

void UUEncodeLine(std::string_view bytes, std::string& out) {
    const std::size_t n = bytes.size() < kUULineBytes ? bytes.size() : kUULineBytes;
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    out.push_back(EncodeChar(static_cast<unsigned>(n)));
    // Whole groups of four characters, the bits past the data being zero: every decoder reads
    // such lines, also those that insist on complete groups.
    for (std::size_t i = 0; i < n; i += 3) {
        const unsigned b0 = s[i];
        const unsigned b1 = i + 1 < n ? s[i + 1] : 0;
        const unsigned b2 = i + 2 < n ? s[i + 2] : 0;
        const char group[4] = {EncodeChar(b0 >> 2), EncodeChar(((b0 << 4) | (b1 >> 4)) & 63),
                               EncodeChar(((b1 << 2) | (b2 >> 6)) & 63), EncodeChar(b2 & 63)};
        out.append(group, 4);
    }
}

void UUEncodeLines(std::string_view data, std::string& out, std::string_view lineEnd) {
    out.reserve(out.size() + (data.size() + kUULineBytes - 1) / kUULineBytes * (61 + lineEnd.size()));
    for (std::size_t pos = 0; pos < data.size(); pos += kUULineBytes) {
        UUEncodeLine(data.substr(pos, kUULineBytes), out);
        out.append(lineEnd);
    }
}

void UUDecodeLine(std::string_view line, std::string& out) {
    if (line.empty())
        return;
    const auto* p = reinterpret_cast<const unsigned char*>(line.data());
    const std::uint8_t n = kDecode[p[0]];
    if (n == kInvalid)
        InvalidCharacter();
    // A full line carries 60 characters; anything after them (some encoders add a check
    // character) is not data. Shorter lengths use every character of the line.
    std::size_t chars = line.size() - 1;
    if (n == kUULineBytes && chars > 60)
        chars = 60;
    const unsigned char* s = p + 1;

    const std::size_t start = out.size();
    out.resize(start + n);
    auto* d = reinterpret_cast<unsigned char*>(out.data() + start);
    const std::size_t groupsNeeded = (n + 2u) / 3u;

    // Fast path: every group the length needs is present.
    std::size_t g = 0;
    std::size_t written = 0;
    std::uint8_t bad = 0;
    for (; g < groupsNeeded && (g + 1) * 4 <= chars; ++g) {
        const std::uint8_t a = kDecode[s[0]], b = kDecode[s[1]], c = kDecode[s[2]], e = kDecode[s[3]];
        bad |= static_cast<std::uint8_t>(a | b | c | e);
        const std::uint32_t v = (std::uint32_t{a} << 18) | (std::uint32_t{b} << 12) | (std::uint32_t{c} << 6) | e;
        const unsigned char bytes[3] = {static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 8),
                                        static_cast<unsigned char>(v)};
        for (int k = 0; k < 3 && written < n; ++k)
            d[written++] = bytes[k];
        s += 4;
    }
    // The table marks invalid characters with all bits set, so any of them shows in bad's top bits.
    if (bad & 0xC0) {
        out.resize(start);
        InvalidCharacter();
    }
    // A line cut short: the missing characters count as zero.
    std::size_t left = chars - g * 4;
    while (written < n) {
        std::uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            std::uint8_t x = 0;
            if (left > 0) {
                x = kDecode[*s++];
                --left;
                if (x == kInvalid) {
                    out.resize(start);
                    InvalidCharacter();
                }
            }
            v = (v << 6) | x;
        }
        const unsigned char bytes[3] = {static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 8),
                                        static_cast<unsigned char>(v)};
        for (int k = 0; k < 3 && written < n; ++k)
            d[written++] = bytes[k];
    }
    // Characters beyond the length must still belong to the alphabet: a line of prose that
    // happens to start with a plausible length is not data.
    for (; left > 0; --left) {
        if (kDecode[*s++] == kInvalid) {
            out.resize(start);
            InvalidCharacter();
        }
    }
}

void TUUDecoder::Line(std::string_view line, std::string& out) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.empty() || IsSkippedLine(line))
        return;
    UUDecodeLine(line, out);
}

void TUUDecoder::Decode(std::string_view piece, std::string& out) {
    out.reserve(out.size() + piece.size() / 4 * 3 + 64);
    std::size_t pos = 0;
    if (!pending_.empty()) {
        const std::size_t lf = piece.find('\n');
        if (lf == std::string_view::npos) {
            pending_.append(piece);
            return;
        }
        pending_.append(piece.substr(0, lf));
        Line(pending_, out);
        pending_.clear();
        pos = lf + 1;
    }
    while (pos < piece.size()) {
        const std::size_t lf = piece.find('\n', pos);
        if (lf == std::string_view::npos) {
            pending_.assign(piece.substr(pos));
            return;
        }
        Line(piece.substr(pos, lf - pos), out);
        pos = lf + 1;
    }
}

void TUUDecoder::Finish(std::string& out) {
    std::string last;
    last.swap(pending_);
    Line(last, out);
}

std::string UUDecode(std::string_view text) {
    TUUDecoder decoder;
    std::string out;
    decoder.Decode(text, out);
    decoder.Finish(out);
    return out;
}

} // namespace ostrel
