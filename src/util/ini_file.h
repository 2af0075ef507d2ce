#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel {

// A profile file ("[Section]" lines and "key=value" lines), read and written whole at every
// access so that nothing is cached. Sections and keys are found without regard to case, the
// first match wins, blanks around keys and values and one pair of surrounding quotes are
// stripped, and a value comes back with at most 1023 characters. A missing or unreadable
// file, a malformed line or a value that is no number gives the default.
class TIniFile {
public:
    static constexpr size_t MaxValue = 1023;

    explicit TIniFile(std::string path) : path_(std::move(path)) {}
    const std::string& FileName() const { return path_; }

    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    // Decimal, or hexadecimal after "0x"/"0X" (values longer than two characters) or "$".
    std::int32_t ReadInteger(const std::string& section, const std::string& key, std::int32_t def) const;
    // Read as an integer; any value but 0 is true.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;
    bool SectionExists(const std::string& section) const;
    // Section names in file order (each name once, as first written).
    std::vector<std::string> ReadSections() const;
    // Key names of the first section of that name.
    std::vector<std::string> ReadSection(const std::string& section) const;

    // Replaces the key's value in the first section of that name, or adds the key (and the
    // section). The file is replaced atomically; failure raises EIniFileError
    // "Unable to write to <file>" and leaves the old file as it was.
    void WriteString(const std::string& section, const std::string& key, const std::string& value) const;
    void WriteInteger(const std::string& section, const std::string& key, std::int32_t value) const;
    void WriteBool(const std::string& section, const std::string& key, bool value) const;

    // Parses an integer as ReadInteger does; false when the text is no number.
    static bool ParseInteger(const std::string& text, std::int32_t& value);

private:
    std::string Load() const;
    std::string path_;
};

} // namespace ostrel
