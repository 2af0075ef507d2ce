#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ostrel {

// btoa: groups of four bytes written as five base-85 digits ("!" is 0, "u" is 84), "z" for
// four zero bytes, between the lines "xbtoa Begin" and "xbtoa End N n hex-n E eor S sum R rot".
// The last group is filled up with zero bytes; the byte count n says where the data ends, and
// three checksums over every decoded byte (the fill included) prove the data whole.
class TBtoaDecoder {
public:
    // Decodes the digits of one line, appending the bytes that are surely data to out (up to
    // three bytes are held back until the end line says whether they are fill). Returns false
    // when the line holds a character that is not a digit (the character is passed over).
    bool DecodeLine(std::string_view line, std::string& out);
    // Reads the end line, appends the held-back bytes that are data and returns an empty text
    // when the byte count and the checksums agree, else what disagrees.
    std::string Finish(std::string_view endLine, std::string& out);
    std::uint64_t Decoded() const { return decoded_; }

private:
    void Byte(unsigned char c);
    void Emit(std::string& out);
    std::uint32_t word_ = 0;
    int count_ = 0;
    std::uint32_t eor_ = 0, sum_ = 0, rot_ = 0;
    std::uint64_t decoded_ = 0; // bytes decoded, fill included
    std::uint64_t emitted_ = 0;
    unsigned char held_[8] = {};
    int heldCount_ = 0;
};

// Whether a line opens a btoa block.
bool IsBtoaBeginLine(std::string_view line);
bool IsBtoaEndLine(std::string_view line);

} // namespace ostrel
