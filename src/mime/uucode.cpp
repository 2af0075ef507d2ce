#include "mime/uucode.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "util/error.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define OSTREL_UU_AVX2 1
#endif

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
// The vector path stores 32 bytes where it means 24: the room a line needs in the output.
constexpr std::size_t kWriteRoom = 64 + 32;
// How far the output is zero-filled ahead of the decoder: small enough to still be in cache
// when the decoded bytes land on it.
constexpr std::size_t kGrowStep = 256 * 1024;

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

#ifdef OSTREL_UU_AVX2
// 32 characters of six bits each (one per byte, in order) packed into 24 bytes at the front.
__attribute__((target("avx2"))) inline __m256i PackSixBits(__m256i v) {
    const __m256i pairs = _mm256_maddubs_epi16(v, _mm256_set1_epi32(0x01400140));
    const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i bytes = _mm256_shuffle_epi8(
        words, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4, 10, 9, 8,
                                14, 13, 12, -1, -1, -1, -1));
    return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
}

// A full line's 60 characters into 45 bytes at d (which has kWriteRoom bytes of room). The
// second half overlaps the first by one group, so both halves are whole vectors.
__attribute__((target("avx2"))) bool FullLineAvx2(const unsigned char* s, unsigned char* d, bool* backquote = nullptr,
                                                   bool* blank = nullptr) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 28));
    const __m256i va = _mm256_sub_epi8(a, _mm256_set1_epi8(32));
    const __m256i vb = _mm256_sub_epi8(b, _mm256_set1_epi8(32));
    const __m256i limit = _mm256_set1_epi8(64);
    const __m256i ok = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_max_epu8(va, limit), limit),
                                        _mm256_cmpeq_epi8(_mm256_max_epu8(vb, limit), limit));
    if (_mm256_movemask_epi8(ok) != -1)
        return false;
    if (backquote) {
        // "`" is 96, 64 once 32 is taken off; a blank is 0.
        const __m256i grave = _mm256_or_si256(_mm256_cmpeq_epi8(va, limit), _mm256_cmpeq_epi8(vb, limit));
        *backquote |= _mm256_movemask_epi8(grave) != 0;
        const __m256i zero = _mm256_setzero_si256();
        const __m256i blanks = _mm256_or_si256(_mm256_cmpeq_epi8(va, zero), _mm256_cmpeq_epi8(vb, zero));
        *blank |= _mm256_movemask_epi8(blanks) != 0;
    }
    const __m256i six = _mm256_set1_epi8(63);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), PackSixBits(_mm256_and_si256(va, six)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 21), PackSixBits(_mm256_and_si256(vb, six)));
    return true;
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2");
#endif

// Decodes a full line ("M" and 60 characters, s pointing past the "M") into d; false when the
// quick way does not apply and the line must go through DecodeLineTo.
inline bool FullLine(const unsigned char* s, unsigned char* d, bool* backquote = nullptr, bool* blank = nullptr) {
#ifdef OSTREL_UU_AVX2
    if (kHaveAvx2)
        return FullLineAvx2(s, d, backquote, blank);
#else
    (void)s;
    (void)d;
    (void)backquote;
    (void)blank;
#endif
    return false;
}

// The length character of a full line.
constexpr unsigned char kFullLine = 'M';

// Makes room for one more line at out[used]: true when out itself has it (zero-filling a
// stretch ahead), false when that would take a new allocation and the line should go through a
// spare buffer, so that a reservation that fits the data exactly is never doubled for slack.
bool RoomFor(std::string& out, std::size_t used) {
    if (out.size() >= used + kWriteRoom)
        return true;
    if (out.capacity() < used + kWriteRoom)
        return false;
    out.resize(std::min(out.capacity(), used + kWriteRoom + kGrowStep));
    return true;
}

// Decodes one line at out[used] and returns the bytes that count.
std::size_t DecodeLineAt(std::string_view line, std::string& out, std::size_t used) {
    if (RoomFor(out, used))
        return DecodeLineTo(line, reinterpret_cast<unsigned char*>(out.data() + used));
    unsigned char spare[kWriteRoom];
    const std::size_t n = DecodeLineTo(line, spare);
    out.resize(used);
    out.append(reinterpret_cast<const char*>(spare), n);
    return n;
}

bool IsBlockEnd(std::string_view line) {
    if (line == "`")
        return true;
    if (line.size() != 3)
        return false;
    return (line[0] | 0x20) == 'e' && (line[1] | 0x20) == 'n' && (line[2] | 0x20) == 'd';
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

std::size_t UUDecodeBlock(std::string_view text, std::string& out) {
    const auto* base = reinterpret_cast<const unsigned char*>(text.data());
    const auto* p = base;
    const auto* end = base + text.size();
    std::size_t used = out.size();
    try {
        while (p < end) {
            // Nearly every line of a block is a full one: decoded without looking for its end.
            if (*p == kFullLine && end - p > 61 && (p[61] == '\n' || p[61] == '\r') && RoomFor(out, used) &&
                FullLine(p + 1, reinterpret_cast<unsigned char*>(out.data() + used))) {
                used += kUULineBytes;
                p += 62;
                if (p[-1] == '\r' && p < end && *p == '\n')
                    ++p;
                continue;
            }
            // Lines end at CR, LF or CR LF, as the parser splits them.
            const auto* lf = static_cast<const unsigned char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            const auto* stop = lf ? lf : end;
            const auto* cr = static_cast<const unsigned char*>(std::memchr(p, '\r', static_cast<std::size_t>(stop - p)));
            const auto* lineEnd = cr ? cr : stop;
            const std::string_view line(reinterpret_cast<const char*>(p), static_cast<std::size_t>(lineEnd - p));
            if (IsBlockEnd(line)) {
                out.resize(used);
                return static_cast<std::size_t>(p - base);
            }
            if (!line.empty())
                used += DecodeLineAt(line, out, used);
            p = lineEnd;
            if (p < end)
                p += *p == '\r' && p + 1 < end && p[1] == '\n' ? 2 : 1;
        }
    } catch (...) {
        out.resize(used);
        throw;
    }
    out.resize(used);
    return text.size();
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
    used_ += DecodeLineAt(line, out, used_);
}

void TUUDecoder::Decode(std::string_view piece, std::string& out) {
    // Lines are decoded straight into out, which is cut to what was written on the way out.
    used_ = out.size();
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
        const auto* s = reinterpret_cast<const unsigned char*>(piece.data());
        while (pos < piece.size()) {
            // A full line ending in LF or CR LF, decoded without looking for its end.
            const std::size_t left = piece.size() - pos;
            if (s[pos] == kFullLine && left > 61) {
                const std::size_t next =
                    s[pos + 61] == '\n' ? pos + 62 : (s[pos + 61] == '\r' && left > 62 && s[pos + 62] == '\n' ? pos + 63 : 0);
                if (next != 0 && RoomFor(out, used_) &&
                    FullLine(s + pos + 1, reinterpret_cast<unsigned char*>(out.data() + used_))) {
                    used_ += kUULineBytes;
                    pos = next;
                    continue;
                }
            }
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
    out.reserve(text.size() / 4 * 3 + kWriteRoom);
    decoder.Decode(text, out);
    decoder.Finish(out);
    return out;
}

TUULine ClassifyUULine(std::string_view line) {
    TUULine r;
    if (line.empty())
        return r;
    const auto* p = reinterpret_cast<const unsigned char*>(line.data());
    for (std::size_t i = 0; i < line.size(); ++i) {
        const std::uint8_t v = kDecode[p[i]];
        if (v == kInvalid)
            return r;
        if (i > 0) {
            r.Backquote |= p[i] == '`';
            r.Blank |= p[i] == ' ';
        }
    }
    r.Alphabet = true;
    r.Bytes = kDecode[p[0]];
    if (r.Bytes == 0) {
        // "`" or " ", maybe with blanks a mail program left.
        if (line.find_first_not_of(" `", 1) == std::string_view::npos)
            r.Kind = TUULine::Zero;
        return r;
    }
    std::size_t chars = line.size() - 1;
    const std::size_t whole = (r.Bytes + 2u) / 3u * 4u; // complete groups
    const std::size_t needed = (r.Bytes * 4u + 2u) / 3u; // characters that carry data bits
    if (chars > whole + 1) {
        // Blanks a mail program added at the end are not characters of the line.
        std::size_t end = line.size();
        while (end > whole + 2 && line[end - 1] == ' ')
            --end;
        if (end - 1 > whole + 1)
            return r;
        chars = end - 1;
    }
    r.Short = chars < needed;
    r.Kind = TUULine::Data;
    return r;
}

std::size_t UUDecodeFullLines(std::string_view text, char* out, std::size_t room, std::size_t& produced,
                              bool& sawBackquote, bool& sawBlank) {
    const auto* base = reinterpret_cast<const unsigned char*>(text.data());
    const auto* p = base;
    const auto* end = base + text.size();
    auto* d = reinterpret_cast<unsigned char*>(out);
    auto* dEnd = d + room;
    bool backquote = false, blank = false;
    while (end - p > 62 && dEnd - d >= static_cast<std::ptrdiff_t>(kWriteRoom) && *p == kFullLine) {
        const unsigned char* q = p + 61;
        if (*q != '\n' && *q != '\r')
            break;
        // The whole line end must be here: LF, or CRs and then an LF.
        while (q < end && *q == '\r')
            ++q;
        if (q == end)
            break;
        if (*q == '\n')
            ++q;
        else if (q == p + 61)
            break;
        if (!FullLine(p + 1, d, &backquote, &blank)) {
            // No vector unit, or a character the quick way refuses: the careful way, which
            // raises for a bad character (then the caller looks at the line itself).
            try {
                DecodeLineTo(std::string_view(reinterpret_cast<const char*>(p), 61), d);
            } catch (const EMessageError&) {
                break;
            }
            backquote |= std::memchr(p + 1, '`', 60) != nullptr;
            blank |= std::memchr(p + 1, ' ', 60) != nullptr;
        }
        d += kUULineBytes;
        p = q;
    }
    sawBackquote |= backquote;
    sawBlank |= blank;
    produced = static_cast<std::size_t>(d - reinterpret_cast<unsigned char*>(out));
    return static_cast<std::size_t>(p - base);
}

} // namespace ostrel
