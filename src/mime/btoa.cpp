#include "mime/btoa.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace ostrel {

bool IsBtoaBeginLine(std::string_view line) {
    return line.starts_with("xbtoa Begin");
}
bool IsBtoaEndLine(std::string_view line) {
    return line.starts_with("xbtoa End");
}

void TBtoaDecoder::Byte(unsigned char c) {
    eor_ ^= c;
    sum_ += c;
    sum_ += 1;
    rot_ = (rot_ & 0x80000000u) ? (rot_ << 1) + 1 : rot_ << 1;
    rot_ += c;
    ++decoded_;
    held_[heldCount_++] = c;
}

void TBtoaDecoder::Emit(std::string& out) {
    // Keep the last three: they may be fill.
    if (heldCount_ <= 3)
        return;
    const int give = heldCount_ - 3;
    out.append(reinterpret_cast<const char*>(held_), static_cast<std::size_t>(give));
    emitted_ += static_cast<std::uint64_t>(give);
    for (int i = 0; i < 3; ++i)
        held_[i] = held_[give + i];
    heldCount_ = 3;
}

bool TBtoaDecoder::DecodeLine(std::string_view line, std::string& out) {
    bool clean = true;
    for (char ch : line) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r' || c == '\n')
            continue;
        if ((c == 'z' || c == 'y') && count_ == 0) {
            // Four zero bytes, or (in later versions of the format) four blanks.
            const unsigned char b = c == 'z' ? 0 : 0x20;
            for (int k = 0; k < 4; ++k)
                Byte(b);
        } else if (c >= '!' && c <= 'u') {
            word_ = word_ * 85 + (c - '!');
            if (++count_ == 5) {
                Byte(static_cast<unsigned char>(word_ >> 24));
                Byte(static_cast<unsigned char>(word_ >> 16));
                Byte(static_cast<unsigned char>(word_ >> 8));
                Byte(static_cast<unsigned char>(word_));
                word_ = 0;
                count_ = 0;
            }
        } else {
            clean = false;
        }
        Emit(out);
    }
    return clean;
}

std::string TBtoaDecoder::Finish(std::string_view endLine, std::string& out) {
    // "xbtoa End N <n> <hex n> E <eor> S <sum> R <rot>"
    unsigned long long n = 0, n2 = 0;
    unsigned long eor = 0, sum = 0, rot = 0;
    const std::string line(endLine);
    const int got = std::sscanf(line.c_str(), "xbtoa End N %llu %llx E %lx S %lx R %lx", &n, &n2, &eor, &sum, &rot);
    if (got != 5)
        return "its end line is not readable";
    if (count_ != 0)
        return "its last group is incomplete";
    if (n != n2 || n > decoded_ || decoded_ - n > 3)
        return "it holds " + std::to_string(decoded_) + " bytes where " + std::to_string(n) + " were sent";
    if (eor != eor_ || sum != sum_ || rot != rot_)
        return "its checksums do not match";
    const std::uint64_t rest = n - emitted_;
    out.append(reinterpret_cast<const char*>(held_), static_cast<std::size_t>(rest));
    emitted_ += rest;
    heldCount_ = 0;
    return {};
}

} // namespace ostrel
