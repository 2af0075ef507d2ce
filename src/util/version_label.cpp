#include "util/version_label.h"

#include <array>
#include <filesystem>
#include <map>
#include <optional>
#include <system_error>

#include "ostrel_version.h"
#include "util/program_state.h"

namespace ostrel {

namespace {

struct TKind {
    const char* Key;
    const char* Prefix;
};

constexpr std::array<TKind, 9> Kinds{{
    {"CompanyName", "Company Name:"},
    {"FileDescription", "File Description:"},
    {"FileVersion", "File Version:"},
    {"InternalName", "Internal Name:"},
    {"LegalCopyright", "Legal Copyright:"},
    {"OriginalFilename", "Original Filename:"},
    {"ProductName", "Product Name:"},
    {"ProductVersion", "Product Version:"},
    {"Comments", "Comments:"},
}};

// The one language block the program's version data is written in (U.K. English, Western
// code page), as readers of the classic resources expect.
constexpr const char* OwnLangCharset = "080904E4";

const std::map<std::string, std::string>& OwnVersionStrings() {
    static const std::map<std::string, std::string> strings{
        {"CompanyName", "The Ostrel developers"},
        {"FileDescription", "Ostrel, mail-only web access"},
        {"FileVersion", OSTREL_VERSION},
        {"InternalName", "ostrel"},
        {"LegalCopyright", "Copyright (C) 2026 The Ostrel developers"},
        {"OriginalFilename", "ostrel"},
        {"ProductName", "Ostrel"},
        {"ProductVersion", OSTREL_VERSION},
        {"Comments", ""},
    };
    return strings;
}

bool IsRunningProgram(const std::string& fileName) {
    if (fileName.empty())
        return false;
    const std::string& exe = ProgramState().ExePath;
    if (!exe.empty() && fileName == exe)
        return true;
    std::error_code ec;
    return std::filesystem::equivalent(fileName, "/proc/self/exe", ec) && !ec;
}

} // namespace

std::string RunningProgramPath() {
    if (!ProgramState().ExePath.empty())
        return ProgramState().ExePath;
    std::error_code ec;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

std::string TVersionLabel::KeyOf(TVersionResources resource) {
    return Kinds.at(static_cast<size_t>(resource)).Key;
}

std::string TVersionLabel::PrefixOf(TVersionResources resource) {
    return Kinds.at(static_cast<size_t>(resource)).Prefix;
}

TVersionLabel::TVersionLabel(std::string name, TControl* parent) : TLabel(std::move(name), parent) {
    WordWrap = false;
    AutoSize = true;
    Refresh();
}

void TVersionLabel::SetVersionResource(TVersionResources resource) {
    resource_ = resource;
    key_ = KeyOf(resource);
    prefix_ = PrefixOf(resource);
    Refresh();
}

void TVersionLabel::SetVersionResourceKey(const std::string& key) {
    key_ = key;
    prefix_ = key;
    Refresh();
}

void TVersionLabel::SetInfoPrefix(const std::string& prefix) {
    prefix_ = prefix;
    Refresh();
}

void TVersionLabel::SetShowInfoPrefix(bool show) {
    showPrefix_ = show;
    Refresh();
}

void TVersionLabel::SetLangCharset(const std::string& langCharset) {
    // The block decides which strings are found, so the text must follow it like the key.
    langCharset_ = langCharset;
    Refresh();
}

std::string TVersionLabel::GetInfo() const {
    return GetInfoGeneral(RunningProgramPath(), langCharset_);
}

std::string TVersionLabel::GetInfoGeneral(const std::string& fileName, const std::string& langCharset) const {
    std::string value;
    if (!IsRunningProgram(fileName)) {
        value = NoData;
    } else {
        const auto& strings = OwnVersionStrings();
        const auto it = strings.find(key_);
        // Block names are hex digits; the classic lookup ignores their case.
        std::string block = langCharset;
        for (char& c : block)
            if (c >= 'a' && c <= 'f')
                c = static_cast<char>(c - 'a' + 'A');
        if (block != OwnLangCharset || it == strings.end())
            value = QueryFailed;
        else if (it->second.empty())
            value = NoVersionInfo;
        else
            value = it->second;
    }
    return showPrefix_ ? prefix_ + " " + value : value;
}

void TVersionLabel::Refresh() {
    SetCaption(GetInfo());
}

} // namespace ostrel
