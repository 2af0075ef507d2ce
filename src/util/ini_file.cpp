#include "util/ini_file.h"

#include <charconv>

#include "util/error.h"
#include "util/file_io.h"
#include "util/text.h"

namespace ostrel {

namespace {

struct Line {
    size_t begin; // offset of the line's first byte
    size_t end;   // offset just past its last byte, line break excluded
    size_t next;  // offset of the next line
};

// Walks the lines of a text without copying it; any of CR LF, LF or CR ends a line.
template <typename F> void ForEachLine(const std::string& text, F&& f) {
    size_t pos = 0;
    const size_t n = text.size();
    while (pos < n) {
        size_t e = pos;
        while (e < n && text[e] != '\n' && text[e] != '\r')
            ++e;
        size_t next = e;
        if (next < n && text[next] == '\r')
            ++next;
        if (next < n && text[next] == '\n' && (next == e || text[next - 1] == '\r'))
            ++next;
        if (!f(Line{pos, e, next}))
            return;
        pos = next;
    }
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Strip(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool SameName(std::string_view a, const std::string& b) { return EqualsNoCase(std::string(a), b); }

// The section name of a "[...]" line; a line without "]" names a section up to its end.
bool SectionName(std::string_view line, std::string_view& name) {
    line = Strip(line);
    if (line.empty() || line.front() != '[')
        return false;
    line.remove_prefix(1);
    auto close = line.find(']');
    name = Strip(close == std::string_view::npos ? line : line.substr(0, close));
    return true;
}

bool KeyValue(std::string_view line, std::string_view& key, std::string_view& value) {
    auto eq = line.find('=');
    if (eq == std::string_view::npos)
        return false;
    key = Strip(line.substr(0, eq));
    value = Strip(line.substr(eq + 1));
    return true;
}

std::string Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    if (v.size() > TIniFile::MaxValue)
        v = v.substr(0, TIniFile::MaxValue);
    return std::string(v);
}

} // namespace

std::string TIniFile::Load() const {
    try {
        return ReadFileString(path_);
    } catch (const std::exception&) {
        return {};
    }
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
    const std::string text = Load();
    bool inSection = false, seenSection = false, found = false;
    std::string result = def;
    ForEachLine(text, [&](const Line& l) {
        std::string_view line(text.data() + l.begin, l.end - l.begin);
        std::string_view name;
        if (SectionName(line, name)) {
            if (seenSection && inSection)
                return false; // the first section of that name is the only one read
            inSection = SameName(name, section);
            seenSection = seenSection || inSection;
            return true;
        }
        std::string_view k, v;
        if (inSection && KeyValue(line, k, v) && SameName(k, key)) {
            result = Unquote(v);
            found = true;
            return false;
        }
        return true;
    });
    (void)found;
    return result;
}

bool TIniFile::ParseInteger(const std::string& text, std::int32_t& value) {
    std::string t = text;
    int base = 10;
    size_t start = 0;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        start = 2;
    } else if (!t.empty() && t[0] == '$') {
        base = 16;
        start = 1;
    }
    if (start >= t.size())
        return false;
    const char* first = t.data() + start;
    const char* last = t.data() + t.size();
    bool negative = false;
    if (base == 10 && (*first == '-' || *first == '+')) {
        negative = *first == '-';
        ++first;
    }
    if (first == last)
        return false;
    std::int64_t v = 0;
    auto [ptr, ec] = std::from_chars(first, last, v, base);
    if (ec != std::errc() || ptr != last)
        return false;
    if (negative)
        v = -v;
    // Hexadecimal values up to 32 bits wrap into the signed range, as the platform's conversion does.
    if (base == 16 && v > INT32_MAX && v <= UINT32_MAX)
        v = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    if (v < INT32_MIN || v > INT32_MAX)
        return false;
    value = static_cast<std::int32_t>(v);
    return true;
}

std::int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, std::int32_t def) const {
    std::int32_t value = def;
    if (!ParseInteger(ReadString(section, key, ""), value))
        return def;
    return value;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TIniFile::SectionExists(const std::string& section) const {
    for (const auto& s : ReadSections())
        if (EqualsNoCase(s, section))
            return true;
    return false;
}

std::vector<std::string> TIniFile::ReadSections() const {
    const std::string text = Load();
    std::vector<std::string> names;
    ForEachLine(text, [&](const Line& l) {
        std::string_view name;
        if (SectionName(std::string_view(text.data() + l.begin, l.end - l.begin), name)) {
            bool dup = false;
            for (const auto& n : names)
                dup = dup || SameName(name, n);
            if (!dup)
                names.emplace_back(name);
        }
        return true;
    });
    return names;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
    const std::string text = Load();
    std::vector<std::string> keys;
    bool inSection = false, seen = false;
    ForEachLine(text, [&](const Line& l) {
        std::string_view line(text.data() + l.begin, l.end - l.begin);
        std::string_view name, k, v;
        if (SectionName(line, name)) {
            if (seen && inSection)
                return false;
            inSection = SameName(name, section);
            seen = seen || inSection;
        } else if (inSection && KeyValue(line, k, v) && !k.empty()) {
            keys.emplace_back(k);
        }
        return true;
    });
    return keys;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) const {
    std::string text;
    try {
        text = ReadFileString(path_);
    } catch (const std::exception&) {
        throw EIniFileError("Unable to write to " + path_);
    }
    const std::string entry = key + "=" + value;
    bool inSection = false, sectionSeen = false, done = false;
    size_t sectionEnd = std::string::npos; // where to add the key: after the section's last non-blank line
    size_t replaceBegin = 0, replaceEnd = 0;
    ForEachLine(text, [&](const Line& l) {
        std::string_view line(text.data() + l.begin, l.end - l.begin);
        std::string_view name, k, v;
        if (SectionName(line, name)) {
            if (sectionSeen && inSection)
                return false;
            inSection = SameName(name, section);
            if (inSection) {
                sectionSeen = true;
                sectionEnd = l.next;
            }
            return true;
        }
        if (inSection) {
            if (KeyValue(line, k, v) && SameName(k, key)) {
                replaceBegin = l.begin;
                replaceEnd = l.end;
                done = true;
                return false;
            }
            if (!Strip(line).empty())
                sectionEnd = l.next;
        }
        return true;
    });
    std::string out;
    if (done) {
        out = text.substr(0, replaceBegin) + entry + text.substr(replaceEnd);
    } else if (sectionSeen) {
        std::string before = text.substr(0, sectionEnd);
        if (!before.empty() && before.back() != '\n' && before.back() != '\r')
            before += "\r\n";
        out = before + entry + "\r\n" + text.substr(sectionEnd);
    } else {
        out = text;
        if (!out.empty() && out.back() != '\n' && out.back() != '\r')
            out += "\r\n";
        out += "[" + section + "]\r\n" + entry + "\r\n";
    }
    // The file holds that value already: every start and every Ok write keys that rarely change,
    // and each replacement waits for the disk.
    if (done && out == text)
        return;
    try {
        WriteFileAtomic(path_, out);
    } catch (const std::exception&) {
        throw EIniFileError("Unable to write to " + path_);
    }
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, std::int32_t value) const {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) const {
    WriteString(section, key, value ? "1" : "0");
}

} // namespace ostrel
