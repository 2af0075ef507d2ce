#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ostrel {

// yEnc: each byte b is written as b + 42 (mod 256); the few values that would break a line or
// the format are written as "=" and the value + 64. A block starts with "=ybegin" (its line
// length, the whole file's size and name, and for a file in several parts the part number and
// total), a multi-part block then has "=ypart" (the first and last byte of the file it holds,
// counting from 1), and "=yend" closes it with the size and the CRC-32 of the part and of the
// whole file.

// CRC-32 (the one of zip and yEnc), carried on over several calls: start with 0.
std::uint32_t Crc32(std::uint32_t crc, std::string_view data);

// The "key=value" fields of a "=ybegin", "=ypart" or "=yend" line. name runs to the end of the
// line (it may hold blanks).
struct TYEncFields {
    bool HasSize = false, HasPart = false, HasTotal = false, HasBegin = false, HasEnd = false;
    bool HasCrc = false, HasPartCrc = false;
    std::uint64_t Size = 0, Begin = 0, End = 0;
    int Part = 0, Total = 0;
    std::uint32_t Crc = 0, PartCrc = 0;
    std::string Name;
};
TYEncFields ParseYEncFields(std::string_view line);

// Decodes data lines; an escape cut by a line end goes on in the next line.
class TYEncDecoder {
public:
    void DecodeLine(std::string_view line, std::string& out);
    void Reset() { escape_ = false; }

private:
    bool escape_ = false;
};

} // namespace ostrel
