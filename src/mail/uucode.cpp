#include "mail/uucode.h"

#include <algorithm>
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

// Two characters at once: 12 bits of data, or kBadPair when either is outside the alphabet.
// Half the table look-ups of the hot loop.
constexpr std::uint16_t kBadPair = 0x8000;
const std::array<std::uint16_t, 65536> kPair = [] {
    std::array<std::uint16_t, 65536> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::uint8_t lo = kDecode[i & 0xFF];
        const std::uint8_t hi = kDecode[i >> 8];
        table[i] = lo == kInvalid || hi == kInvalid ? kBadPair : static_cast<std::uint16_t>((lo << 6) | hi);
    }
    return table;
}();

inline std::uint16_t PairAt(const unsigned char* s) { return kPair[s[0] | (std::size_t{s[1]} << 8)]; }

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

namespace {

// Room DecodeLineTo may write into: 21 groups of three bytes.
constexpr std::size_t kLineRoom = 63;

// Decodes one non-empty line into d, which has room for kLineRoom bytes; returns the bytes that
// count (the length character's value).
std::size_t DecodeLineTo(std::string_view line, unsigned char* d) {
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
    const std::size_t groupsNeeded = (n + 2u) / 3u;

    // Whole groups of four characters; the last one may carry fewer than three bytes that count.
    const std::size_t groups = std::min<std::size_t>(groupsNeeded, chars / 4u);
    std::uint16_t bad = 0;
    unsigned char* w = d;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint16_t x = PairAt(s), y = PairAt(s + 2);
        bad |= static_cast<std::uint16_t>(x | y);
        const std::uint32_t v = (std::uint32_t{x} << 12) | y;
        w[0] = static_cast<unsigned char>(v >> 16);
        w[1] = static_cast<unsigned char>(v >> 8);
        w[2] = static_cast<unsigned char>(v);
        w += 3;
        s += 4;
    }
    if (bad & kBadPair)
        InvalidCharacter();
    // A line cut short: the missing characters count as zero.
    std::size_t left = chars - groups * 4;
    for (std::size_t g = groups; g < groupsNeeded; ++g) {
        std::uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            std::uint8_t x = 0;
            if (left > 0) {
                x = kDecode[*s++];
                --left;
                if (x == kInvalid)
                    InvalidCharacter();
            }
            v = (v << 6) | x;
        }
        w[0] = static_cast<unsigned char>(v >> 16);
        w[1] = static_cast<unsigned char>(v >> 8);
        w[2] = static_cast<unsigned char>(v);
        w += 3;
    }
    // Characters beyond the length must still belong to the alphabet: a line of prose that
    // happens to start with a plausible length is not data.
    for (; left > 0; --left)
        if (kDecode[*s++] == kInvalid)
            InvalidCharacter();
    return n;
}

} // namespace

void UUDecodeLine(std::string_view line, std::string& out) {
    if (line.empty())
        return;
    const std::size_t start = out.size();
    out.resize(start + kLineRoom);
    try {
        const std::size_t n = DecodeLineTo(line, reinterpret_cast<unsigned char*>(out.data() + start));
        out.resize(start + n);
    } catch (...) {
        out.resize(start);
        throw;
    }
}

void TUUDecoder::Line(std::string_view line, std::string& out) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.empty())
        return;
    // Data lines never start with these letters, so most lines skip the comparisons.
    const char first = line.front();
    if ((first == '`' || first == 'e' || first == 'b') && IsSkippedLine(line))
        return;
    if (out.size() < used_ + kLineRoom)
        out.resize(used_ + kLineRoom + std::max<std::size_t>(4096, slack_));
    used_ += DecodeLineTo(line, reinterpret_cast<unsigned char*>(out.data() + used_));
}

void TUUDecoder::Decode(std::string_view piece, std::string& out) {
    // Lines are decoded straight into out, which is cut to what was written on the way out.
    // Growing it by about the piece's size keeps the zero-filling linear in the input.
    used_ = out.size();
    slack_ = piece.size();
    try {
        std::size_t pos = 0;
        if (!pending_.empty()) {
            const std::size_t lf = piece.find('\n');
            if (lf == std::string_view::npos) {
                pending_.append(piece);
                out.resize(used_);
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
                break;
            }
            Line(piece.substr(pos, lf - pos), out);
            pos = lf + 1;
        }
    } catch (...) {
        out.resize(used_);
        throw;
    }
    out.resize(used_);
}

void TUUDecoder::Finish(std::string& out) {
    std::string last;
    last.swap(pending_);
    used_ = out.size();
    slack_ = 0;
    try {
        Line(last, out);
    } catch (...) {
        out.resize(used_);
        throw;
    }
    out.resize(used_);
}

std::string UUDecode(std::string_view text) {
    TUUDecoder decoder;
    std::string out;
    decoder.Decode(text, out);
    decoder.Finish(out);
    return out;
}

} // namespace ostrel
