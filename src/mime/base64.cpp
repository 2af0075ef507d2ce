#include "mime/base64.h"

#include <array>
#include <cstdint>

#include "util/error.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define OSTREL_BASE64_AVX2 1
#endif

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

namespace {

// The vector path stores 32 bytes where it means 24.
constexpr std::size_t kWriteSlack = 8;

#ifdef OSTREL_BASE64_AVX2
// Decodes blocks of 32 characters (24 bytes) and the line breaks between them; stops in front of
// the first group of four that holds anything else, or that a line break cuts. d must have room
// for 32 bytes more than the whole groups of [p, end) decode to.
__attribute__((target("avx2"))) const unsigned char* BlocksAvx2(const unsigned char* p, const unsigned char* end,
                                                                 unsigned char*& d) {
    // Validity by nibbles: a character is in the alphabet when its low-nibble class and its
    // high-nibble class share no bit.
    const __m256i lutLo = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                                           0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                           0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i lutHi = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                                           0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                           0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    // What to add to a character to get its value, by high nibble ("/" has its own entry).
    const __m256i lutRoll = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4,
                                             -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i mask2F = _mm256_set1_epi8(0x2F);
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4,
                                           10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
    const __m256i cr = _mm256_set1_epi8('\r');
    const __m256i lf = _mm256_set1_epi8('\n');
    // Lines of one length put their break at the same place of a block every time. Working out
    // the step past it from the block's own characters would make each load wait for the one
    // before; a block laid out as the last one (same characters in the alphabet, same line
    // break characters) takes the remembered step instead, which the processor runs ahead on.
    std::uint32_t lastValid = 0xFFFFFFFFu, lastBreaks = 0; // a whole valid block never gets here
    std::ptrdiff_t lastStep = 0, lastBytes = 0;
    while (end - p >= 32) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i hiNibbles = _mm256_and_si256(_mm256_srli_epi32(c, 4), mask2F);
        const __m256i loNibbles = _mm256_and_si256(c, mask2F);
        const __m256i hi = _mm256_shuffle_epi8(lutHi, hiNibbles);
        const __m256i lo = _mm256_shuffle_epi8(lutLo, loNibbles);
        // Bit i set: character i is in the alphabet.
        const auto valid = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(lo, hi), _mm256_setzero_si256())));
        const __m256i isSlash = _mm256_cmpeq_epi8(c, mask2F);
        const __m256i roll = _mm256_shuffle_epi8(lutRoll, _mm256_add_epi8(isSlash, hiNibbles));
        const __m256i v = _mm256_add_epi8(c, roll);
        const __m256i pairs = _mm256_maddubs_epi16(v, _mm256_set1_epi32(0x01400140));
        const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, order), lanes);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), bytes);
        if (valid == 0xFFFFFFFFu) {
            p += 32;
            d += 24;
            continue;
        }
        const auto breaks = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(c, cr), _mm256_cmpeq_epi8(c, lf))));
        if (valid == lastValid && breaks == lastBreaks) {
            p += lastStep;
            d += lastBytes;
            continue;
        }
        // Keep the whole groups in front of the first other character (what was stored past
        // them is overwritten later); a line break there is passed over and the run goes on.
        const unsigned groups = static_cast<unsigned>(__builtin_ctz(~valid)) / 4;
        const unsigned char* q = p + 4 * groups;
        d += 3 * groups;
        if (*q != '\r' && *q != '\n') {
            p = q;
            break;
        }
        while (q < end && (*q == '\r' || *q == '\n'))
            ++q;
        // Remembered only when the break ends inside the block: beyond it the block says nothing.
        if (q - p < 32) {
            lastValid = valid;
            lastBreaks = breaks;
            lastStep = q - p;
            lastBytes = 3 * static_cast<std::ptrdiff_t>(groups);
        }
        p = q;
    }
    return p;
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2");
#endif

// Decodes whole groups of four alphabet characters from p on; stops in front of the first group
// that holds anything else (a line break, padding, a bad character) or is incomplete.
const unsigned char* Groups(const unsigned char* p, const unsigned char* end, unsigned char*& d) {
#ifdef OSTREL_BASE64_AVX2
    if (kHaveAvx2)
        p = BlocksAvx2(p, end, d);
#endif
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
    return p;
}

} // namespace

void TBase64Decoder::Reset() {
    bits_ = 0;
    count_ = 0;
    padding_ = 0;
}

void TBase64Decoder::Decode(std::string_view piece, std::string& out) {
    // A large piece goes a stretch at a time: the output is zero-filled just ahead of the
    // decoder, while it is still in cache, not in one pass of its own over the whole of it.
    constexpr std::size_t kStretch = 64 * 1024;
    while (piece.size() > kStretch) {
        DecodeStretch(piece.substr(0, kStretch), out);
        piece.remove_prefix(kStretch);
    }
    DecodeStretch(piece, out);
}

void TBase64Decoder::DecodeStretch(std::string_view piece, std::string& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
    const auto* end = p + piece.size();
    // At most three bytes per four characters, plus what the open group holds.
    const std::size_t start = out.size();
    out.resize(start + piece.size() / 4 * 3 + 3 + kWriteSlack);
    auto* d = reinterpret_cast<unsigned char*>(out.data() + start);

    while (p < end) {
        // Fast path: whole groups at a group boundary, and the line breaks between them.
        if (count_ == 0) {
            for (;;) {
                const auto* before = p;
                p = Groups(p, end, d);
                while (p < end && kDecode[*p] == kSkip)
                    ++p;
                if (p == before)
                    break;
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
                out.resize(used + static_cast<std::size_t>(end - p) / 4 * 3 + 6 + kWriteSlack);
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
        } else if (v == kInvalid) {
            if (strict_) {
                out.resize(static_cast<std::size_t>(reinterpret_cast<char*>(d) - out.data()));
                throw EMessageError("Invalid Character");
            }
            ++invalid_;
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
    out.reserve(text.size() / 4 * 3 + 3 + kWriteSlack);
    decoder.Decode(text, out);
    decoder.Finish(out);
    return out;
}

} // namespace ostrel
