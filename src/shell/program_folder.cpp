#include "shell/program_folder.h"

#include <filesystem>
#include <set>

namespace ostrel {

namespace fs = std::filesystem;

namespace {
// What the program writes for the user: never taken from the installation.
const std::set<std::string> kUserFiles = {"History.Dat",
                                          "Queue.Dat",
                                          "DebugLog.Txt",
                                          "SMTP.LOG",
                                          "uudecoder.tmp",
                                          "Installer.Flg",
                                          "AllowDuplicateInstance.Flg",
                                          "Test Message.Flg",
                                          "downloads"};

bool IsProgram(const fs::directory_entry& e) {
    std::error_code ec;
    auto perms = e.status(ec).permissions();
    return e.is_regular_file(ec) &&
           (perms & (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec)) != fs::perms::none;
}
} // namespace

int SeedProgramFolder(const std::string& installFolder, const std::string& programFolder) {
    std::error_code ec;
    const fs::path from(installFolder), to(programFolder);
    if (fs::equivalent(from, to, ec) || !fs::is_directory(from, ec))
        return 0;
    fs::create_directories(to, ec);
    int copied = 0;
    for (const auto& entry : fs::directory_iterator(from, ec)) {
        const std::string name = entry.path().filename().string();
        if (kUserFiles.count(name) || IsProgram(entry) || name.empty() || name[0] == '.')
            continue;
        const fs::path target = to / name;
        if (fs::exists(target, ec))
            continue;
        if (entry.is_directory(ec))
            fs::copy(entry.path(), target, fs::copy_options::recursive, ec);
        else if (entry.is_regular_file(ec))
            fs::copy_file(entry.path(), target, ec);
        if (!ec)
            ++copied;
    }
    return copied;
}

} // namespace ostrel
