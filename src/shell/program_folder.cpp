#include "shell/program_folder.h"

#include <cstdlib>
#include <filesystem>
#include <set>

#include "ostrel_version.h"
#include "util/error.h"
#include "util/text.h"

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

// Copied whole under a hidden name first: a copy cut short (a full disk) would otherwise keep
// the file's name and pass for the delivered file at every later start.
bool SeedFile(const fs::path& from, const fs::path& target) {
    std::error_code ec, ignored;
    const fs::path hidden = target.parent_path() / ("." + target.filename().string() + ".seed");
    fs::copy_file(from, hidden, fs::copy_options::overwrite_existing, ec);
    if (!ec)
        fs::rename(hidden, target, ec);
    if (ec)
        fs::remove(hidden, ignored);
    return !ec;
}

// What is missing of a delivered folder (help pages, icons) is copied file by file, so that one
// left unfinished is completed at the next start. True when nothing failed.
bool SeedFolder(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::create_directories(to, ec);
    if (!fs::is_directory(to, ec))
        return false;
    bool whole = true;
    for (const auto& entry : fs::directory_iterator(from, ec)) {
        const fs::path target = to / entry.path().filename();
        if (entry.is_directory(ec))
            whole = SeedFolder(entry.path(), target) && whole;
        else if (entry.is_regular_file(ec) && !fs::exists(target, ec))
            whole = SeedFile(entry.path(), target) && whole;
    }
    return whole && !ec;
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
        const bool existed = fs::exists(target, ec);
        if (entry.is_directory(ec)) {
            // A program folder inside the program's own folder (OSTREL_HOME beside a build) would
            // be copied into itself until the disk is full.
            const fs::path inner =
                fs::weakly_canonical(to, ec).lexically_relative(fs::weakly_canonical(entry.path(), ec));
            if (!inner.empty() && *inner.begin() != "..")
                continue;
            if (SeedFolder(entry.path(), target) && !existed)
                ++copied;
        } else if (entry.is_regular_file(ec) && !existed && SeedFile(entry.path(), target)) {
            ++copied;
        }
    }
    return copied;
}

namespace {
std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder;
}

std::string InstalledDataFolder(const std::string& exePath) {
    return WithSlash((fs::path(PathOfF(exePath)) / OSTREL_DATA_FROM_BIN).lexically_normal().string());
}
} // namespace

bool RunsInstalled(const std::string& exePath) {
    std::error_code ec;
    return fs::is_regular_file(InstalledDataFolder(exePath) + "uservers.da2", ec);
}

std::string DeliveredDataFolder(const std::string& exePath) {
    return RunsInstalled(exePath) ? InstalledDataFolder(exePath) : PathOfF(exePath);
}

std::string UserDataFolder() {
    // A relative $XDG_DATA_HOME is invalid and ignored, as the base directory rules say.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/')
        return WithSlash(xdg) + "ostrel/";
    const char* home = std::getenv("HOME");
    return WithSlash(home && *home ? home : ".") + ".local/share/ostrel/";
}

std::string ProgramFolderOf(const std::string& exePath) {
    if (const char* home = std::getenv("OSTREL_HOME"); home && *home)
        return WithSlash(home);
    return RunsInstalled(exePath) ? UserDataFolder() : PathOfF(exePath);
}

std::string PrepareProgramFolder(const std::string& exePath) {
    const std::string folder = ProgramFolderOf(exePath);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder)) {
        throw EInOutError("Ostrel cannot make its folder " + folder + ": " +
                          (ec ? ec.message() : std::string("something else has that name")) +
                          ". Set OSTREL_HOME to a folder of your own, or free that path.");
    }
    SeedProgramFolder(DeliveredDataFolder(exePath), folder);
    return folder;
}

} // namespace ostrel
