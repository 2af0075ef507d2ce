#include "mail/base64.h"

#include <array>
#include <cstdint>

#include "util/error.h"

namespace ostrel {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Values above 63 classify the characters the decoder does not add bits for.
constexpr std::uint8_t kSkip = 64;
constexpr std::uint8_t kPad = 65;
constexpr std::uint8_t kInvalid = 66;

constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& v : table)
        v = kInvalid;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    table[static_cast<unsigned char>('\r')] = kSkip;
    table[static_cast<unsigned char>('\n')] = kSkip;
    table[static_cast<unsigned char>(' ')] = kSkip;
    table[static_cast<unsigned char>('\t')] = kSkip;
    table[static_cast<unsigned char>('=')] = kPad;
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = MakeDecodeTable();

// Encodes whole groups of three bytes and a padded tail into dst; returns the characters written.
std::size_t EncodeBlock(const unsigned char* src, std::size_t n, char* dst) {
    char* d = dst;
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v = (std::uint32_t{src[i]} << 16) | (std::uint32_t{src[i + 1]} << 8) | src[i + 2];
        d[0] = kAlphabet[(v >> 18) & 63];
        d[1] = kAlphabet[(v >> 12) & 63];
        d[2] = kAlphabet[(v >> 6) & 63];
        d[3] = kAlphabet[v & 63];
        d += 4;
    }
    if (i < n) {
        std::uint32_t v = std::uint32_t{src[i]} << 16;
        if (i + 1 < n)
            v |= std::uint32_t{src[i + 1]} << 8;
        d[0] = kAlphabet[(v >> 18) & 63];
        d[1] = kAlphabet[(v >> 12) & 63];
        d[2] = i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
        d[3] = '=';
        d += 4;
    }
    return static_cast<std::size_t>(d - dst);
}

} // namespace

std::string Base64Encode(std::string_view data) {
    std::string out((data.size() + 2) / 3 * 4, '\0');
    EncodeBlock(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data());
    return out;
}

void Base64EncodeLines(std::string_view data, std::string& out, std::string_view lineEnd) {
    constexpr std::size_t kGroup = 57;
    const std::size_t lines = (data.size() + kGroup - 1) / kGroup;
    const std::size_t start = out.size();
    out.resize(start + (data.size() + 2) / 3 * 4 + lines * lineEnd.size());
    char* d = out.data() + start;
    const auto* src = reinterpret_cast<const unsigned char*>(data.data());
    for (std::size_t pos = 0; pos < data.size(); pos += kGroup) {
        const std::size_t n = data.size() - pos < kGroup ? data.size() - pos : kGroup;
        d += EncodeBlock(src + pos, n, d);
        for (char c : lineEnd)
            *d++ = c;
    }
}

void TBase64Decoder::Reset() {
    bits_ = 0;
    count_ = 0;
    padding_ = 0;
}

void TBase64Decoder::Decode(std::string_view piece, std::string& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
    const auto* end = p + piece.size();
    // At most three bytes per four characters, plus what the open group holds.
    const std::size_t start = out.size();
    out.resize(start + piece.size() / 4 * 3 + 3);
    auto* d = reinterpret_cast<unsigned char*>(out.data() + start);

    while (p < end) {
        // Fast path: whole groups of four plain characters at a group boundary.
        if (count_ == 0) {
            while (end - p >= 4) {
                const std::uint32_t a = kDecode[p[0]], b = kDecode[p[1]], c = kDecode[p[2]], e = kDecode[p[3]];
                if ((a | b | c | e) > 63)
                    break;
                const std::uint32_t v = (a << 18) | (b << 12) | (c << 6) | e;
                d[0] = static_cast<unsigned char>(v >> 16);
                d[1] = static_cast<unsigned char>(v >> 8);
                d[2] = static_cast<unsigned char>(v);
                d += 3;
                p += 4;
            }
            if (p >= end)
                break;
        }
        const std::uint8_t v = kDecode[*p++];
        if (v < 64) {
            if (padding_ > 0) {
                // Data after padding starts a new encoding; close the padded group first.
                out.resize(static_cast<std::size_t>(reinterpret_cast<char*>(d) - out.data()));
                Finish(out);
                const std::size_t used = out.size();
                out.resize(used + static_cast<std::size_t>(end - p) / 4 * 3 + 6);
                d = reinterpret_cast<unsigned char*>(out.data() + used);
            }
            bits_ = (bits_ << 6) | v;
            if (++count_ == 4) {
                d[0] = static_cast<unsigned char>(bits_ >> 16);
                d[1] = static_cast<unsigned char>(bits_ >> 8);
                d[2] = static_cast<unsigned char>(bits_);
                d += 3;
                bits_ = 0;
                count_ = 0;
            }
        } else if (v == kPad) {
            if (count_ == 0)
                continue; // stray padding between groups carries nothing
            bits_ <<= 6;
            ++padding_;
            if (++count_ == 4) {
                const int bytes = 3 - padding_;
                if (bytes >= 1)
                    *d++ = static_cast<unsigned char>(bits_ >> 16);
                if (bytes >= 2)
                    *d++ = static_cast<unsigned char>(bits_ >> 8);
                Reset();
            }
        } else if (v == kInvalid && strict_) {
            out.resize(static_cast<std::size_t>(reinterpret_cast<char*>(d) - out.data()));
            throw EMessageError("Invalid Character");
        }
    }
    out.resize(static_cast<std::size_t>(reinterpret_cast<char*>(d) - out.data()));
}

void TBase64Decoder::Finish(std::string& out) {
    // Only the characters that carried data count: padding just fills the group.
    const int dataChars = count_ - padding_;
    const unsigned bits = bits_ << (6 * (4 - count_));
    if (dataChars >= 2)
        out.push_back(static_cast<char>(bits >> 16));
    if (dataChars >= 3)
        out.push_back(static_cast<char>(bits >> 8));
    Reset();
}

std::string Base64Decode(std::string_view text, bool strict) {
    TBase64Decoder decoder(strict);
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    decoder.Decode(text, out);
    decoder.Finish(out);
    return out;
}

} // namespace ostrel
