#include "mime/yenc.h"

#include <array>
#include <cstdlib>

namespace ostrel {

namespace {

const std::array<std::uint32_t, 256> kCrcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}();

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

std::uint32_t Crc32(std::uint32_t crc, std::string_view data) {
    crc = ~crc;
    for (unsigned char c : data)
        crc = kCrcTable[(crc ^ c) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

TYEncFields ParseYEncFields(std::string_view line) {
    TYEncFields f;
    // Past the keyword ("=ybegin", "=ypart", "=yend").
    std::size_t pos = line.find(' ');
    while (pos != std::string_view::npos && pos < line.size()) {
        while (pos < line.size() && IsSpace(line[pos]))
            ++pos;
        const std::size_t eq = line.find('=', pos);
        if (eq == std::string_view::npos)
            break;
        const std::string_view key = line.substr(pos, eq - pos);
        if (key == "name") {
            std::string_view name = line.substr(eq + 1);
            while (!name.empty() && (IsSpace(name.back()) || name.back() == '\r'))
                name.remove_suffix(1);
            f.Name = std::string(name);
            break;
        }
        std::size_t end = eq + 1;
        while (end < line.size() && !IsSpace(line[end]))
            ++end;
        const std::string value(line.substr(eq + 1, end - eq - 1));
        char* stop = nullptr;
        if (key == "size") {
            f.Size = std::strtoull(value.c_str(), &stop, 10);
            f.HasSize = stop != value.c_str();
        } else if (key == "part") {
            f.Part = static_cast<int>(std::strtol(value.c_str(), &stop, 10));
            f.HasPart = stop != value.c_str();
        } else if (key == "total") {
            f.Total = static_cast<int>(std::strtol(value.c_str(), &stop, 10));
            f.HasTotal = stop != value.c_str();
        } else if (key == "begin") {
            f.Begin = std::strtoull(value.c_str(), &stop, 10);
            f.HasBegin = stop != value.c_str();
        } else if (key == "end") {
            f.End = std::strtoull(value.c_str(), &stop, 10);
            f.HasEnd = stop != value.c_str();
        } else if (key == "crc32") {
            f.Crc = static_cast<std::uint32_t>(std::strtoul(value.c_str(), &stop, 16));
            f.HasCrc = stop != value.c_str();
        } else if (key == "pcrc32") {
            f.PartCrc = static_cast<std::uint32_t>(std::strtoul(value.c_str(), &stop, 16));
            f.HasPartCrc = stop != value.c_str();
        }
        pos = end;
    }
    return f;
}

void TYEncDecoder::DecodeLine(std::string_view line, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + line.size());
    char* d = out.data() + start;
    for (char ch : line) {
        const auto c = static_cast<unsigned char>(ch);
        if (escape_) {
            *d++ = static_cast<char>(c - 64 - 42);
            escape_ = false;
        } else if (c == '=') {
            escape_ = true;
        } else if (c == '\r' || c == '\n') {
            // Line breaks are never data; a stray one is passed over.
        } else {
            *d++ = static_cast<char>(c - 42);
        }
    }
    out.resize(static_cast<std::size_t>(d - out.data()));
}

} // namespace ostrel
