#pragma once

#include <string>

#include "forms/controls.h"

namespace ostrel {

// The standard version strings a program carries.
enum TVersionResources {
    vrCompanyName,
    vrFileDescription,
    vrFileVersion,
    vrInternalName,
    vrLegalCopyright,
    vrOriginalFilename,
    vrProductName,
    vrProductVersion,
    vrComments,
};

// A label that shows one of the running program's version strings, with or without a prefix.
// The version data is what was compiled in; only the running program has any.
class TVersionLabel : public TLabel {
public:
    static constexpr const char* NoData = "< No Data Available >";
    static constexpr const char* QueryFailed = "Error retrieving version info";
    static constexpr const char* NoVersionInfo = "No Version Info";

    TVersionLabel(std::string name, TControl* parent);

    TVersionResources VersionResource() const { return resource_; }
    // Also sets the key and the prefix that belong to the kind.
    void SetVersionResource(TVersionResources resource);
    const std::string& VersionResourceKey() const { return key_; }
    // Also sets the prefix to the key's text.
    void SetVersionResourceKey(const std::string& key);
    const std::string& InfoPrefix() const { return prefix_; }
    void SetInfoPrefix(const std::string& prefix);
    bool ShowInfoPrefix() const { return showPrefix_; }
    void SetShowInfoPrefix(bool show);
    const std::string& LangCharset() const { return langCharset_; }
    void SetLangCharset(const std::string& langCharset);

    bool AutoSize = true;

    // The label's text for the running program.
    std::string GetInfo() const;
    // The label's text for a file and language block; other files have no version data.
    std::string GetInfoGeneral(const std::string& fileName, const std::string& langCharset) const;

    // The key and default prefix of a kind.
    static std::string KeyOf(TVersionResources resource);
    static std::string PrefixOf(TVersionResources resource);

private:
    void Refresh();

    TVersionResources resource_ = vrFileVersion;
    std::string key_ = "FileVersion";
    std::string prefix_ = "File Version:";
    bool showPrefix_ = true;
    std::string langCharset_ = "080904E4";
};

// The file of the running program as the system names it.
std::string RunningProgramPath();

} // namespace ostrel
