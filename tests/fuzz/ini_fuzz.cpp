// The settings file reader on arbitrary bytes: never a crash, a hang or a value over the
// limit, and a write leaves a file the reader reads back.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "util/ini_file.h"

namespace {
std::string TempPath() {
    static std::string path = [] {
        std::string p = "/tmp/ostrel-ini-fuzz-" + std::to_string(::getpid()) + ".ini";
        return p;
    }();
    return path;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = TempPath();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    ostrel::TIniFile ini(path);
    for (const auto& section : ini.ReadSections()) {
        for (const auto& key : ini.ReadSection(section)) {
            if (ini.ReadString(section, key, "").size() > ostrel::TIniFile::MaxValue)
                std::abort();
            (void)ini.ReadInteger(section, key, 0);
        }
    }
    ini.WriteString("General", "Email", "me@example.org");
    if (ini.ReadString("General", "Email", "") != "me@example.org" && ini.SectionExists("General")) {
        // Another "General" section earlier in the file, or a key spelled the same, may win;
        // but the value written must be found by a fresh reader when the section is unique.
        if (ini.ReadSections().size() == 1)
            std::abort();
    }
    return 0;
}
