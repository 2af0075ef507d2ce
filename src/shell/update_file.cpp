#include "shell/update_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "mime/mail_walker.h"
#include "mime/message.h"
#include "platform/desktop.h"
#include "util/debug_log.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/form_helpers.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace {

const char* const BeginMarker = "---Begin Ostrel Update File---";
const char* const EndMarker = "---End Ostrel Update File---";

// The data files the program is delivered with, in the spelling it reads them by.
const char* const kDeliveredFiles[] = {"uservers.da2", "nbinary.ext",  "unbinary.txt",     "HotList.Dat", "tips.dat",
                                       "Suggest.Ini",  "DistInfo.Dat", "Test Message.Txt", "Friend.Txt"};

bool EndsWithNoCase(const std::string& name, const std::string& tail) {
    return name.size() > tail.size() && EqualsNoCase(name.substr(name.size() - tail.size()), tail);
}

// The templates a server directory names ("fileBinaryHttpU=agora_uu.tpl").
std::vector<std::string> TemplatesNamedIn(const std::string& directory) {
    std::vector<std::string> names;
    std::size_t pos = 0;
    while (pos < directory.size()) {
        std::size_t end = directory.find('\n', pos);
        if (end == std::string::npos)
            end = directory.size();
        std::string line = Trim(directory.substr(pos, end - pos));
        const auto eq = line.find('=');
        if (eq != std::string::npos && StartsWithNoCase(line, "file"))
            names.push_back(Trim(line.substr(eq + 1)));
        pos = end + 1;
    }
    return names;
}

// Where an update may put a file of that name, relative to the program folder; empty when it may
// not. The user's history, queue, logs, flags, settings and downloads, and the programs, are never
// among them: an update that could replace those would undo the user's work or take the program
// over.
std::string DeliveredPlace(const std::string& name, const std::vector<std::string>& templates) {
    for (const char* delivered : kDeliveredFiles)
        if (EqualsNoCase(name, delivered))
            return delivered;
    if (EndsWithNoCase(name, ".tpl"))
        return name;
    for (const auto& t : templates)
        if (name == t)
            return name;
    if (EndsWithNoCase(name, ".html") || EqualsNoCase(name, "help.css"))
        return "help/" + name;
    return {};
}

struct TBlock {
    std::string Name;
    std::string Data;
    TFoundKind Kind = TFoundKind::UU;
    bool Closed = false;
    std::string Damage;
};

// Collects the files of the update in memory: update files are small, and nothing is written
// before every block is known to be whole.
class TCollector : public TWalkerSink {
public:
    std::map<int, TBlock> Blocks;
    std::vector<int> Order;
    void FileStart(const TFoundFile& file) override {
        Blocks[file.Id] = TBlock{file.Name, {}, file.Kind, false, {}};
        Order.push_back(file.Id);
    }
    void FileData(int id, std::string_view bytes) override { Blocks[id].Data.append(bytes); }
    void FileEnd(int id, const TFoundEnd& end) override {
        Blocks[id].Closed = end.Closed;
        Blocks[id].Damage = end.Damage;
    }
};

// Writes every file to a temporary file beside its place first, then moves them all in: a file
// that cannot be written leaves every old file as it was.
void ReplaceTogether(const std::vector<std::pair<std::string, const std::string*>>& files) {
    struct TStaged {
        std::string Temp, Target;
    };
    std::vector<TStaged> staged;
    auto cleanUp = [&staged] {
        for (const auto& s : staged)
            ::unlink(s.Temp.c_str());
    };
    try {
        for (const auto& [target, data] : files) {
            const auto slash = target.rfind('/');
            ForceDirectories(target.substr(0, slash + 1));
            std::string temp = target.substr(0, slash + 1) + ".ostrel-update-XXXXXX";
            const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
            if (fd < 0)
                throw EInOutError("Cannot write " + target + ": " + std::strerror(errno));
            staged.push_back({temp, target});
            mode_t mask = ::umask(0);
            ::umask(mask);
            ::fchmod(fd, 0666 & ~mask);
            int err = WriteAllToFd(fd, data->data(), data->size());
            if (err == 0 && ::fsync(fd) != 0)
                err = errno;
            if (::close(fd) != 0 && err == 0)
                err = errno;
            if (err != 0)
                throw EInOutError("Cannot write " + target + ": " + std::strerror(err));
        }
    } catch (...) {
        cleanUp();
        throw;
    }
    for (const auto& s : staged)
        if (::rename(s.Temp.c_str(), s.Target.c_str()) != 0) {
            const int err = errno;
            cleanUp();
            throw EInOutError("Cannot write " + s.Target + ": " + std::strerror(err));
        }
}

} // namespace

bool UpdatePayload(const std::string& text, std::string& payload) {
    const auto b = text.find(BeginMarker);
    if (b == std::string::npos)
        return false;
    const auto e = text.find(EndMarker);
    if (e == std::string::npos || e <= b)
        return false;
    // Nothing outside the markers is read: a block after the end marker is not part of it.
    const std::size_t from = b + std::strlen(BeginMarker);
    payload = text.substr(from, e - from);
    return true;
}

bool ProcessUpdateFile(Desktop& desktop, const std::string& text, const std::function<void()>& restart) {
    // Older versions decoded through this file; one may be left from a crash.
    DeleteFileIfExists(LocalPath("uudecoder.tmp"));
    std::string payload;
    if (!UpdatePayload(text, payload))
        return false;

    TCollector collector;
    TMailWalker walker(collector);
    // A made-up header block, so that the first lines of the update are never read as headers.
    walker.Feed("PseudoHeader: x\r\n\r\n");
    walker.Feed(payload);
    walker.Finish();

    std::string broken;
    for (int id : collector.Order) {
        const TBlock& b = collector.Blocks[id];
        const std::string name = b.Name.empty() ? std::string("a block without a name") : b.Name;
        if (b.Kind != TFoundKind::UU)
            broken = name + ": not a UU block with a begin line";
        else if (!b.Closed)
            broken = name + ": its end line is missing";
        else if (!b.Damage.empty())
            broken = name + ": " + b.Damage;
        if (!broken.empty())
            break;
    }
    if (!broken.empty()) {
        TryWriteDebugLog("Update file refused: " + broken);
        PushyMessageDlg(desktop,
                        "The update file is damaged (" + broken +
                            "). Nothing was changed.\r\n\nCopy the whole mail again, or ask for the update again.",
                        TMsgDlgType::mtError, mbOK, 0, nullptr);
        return false;
    }

    // Template names the server directory of this update (or the present one) gives.
    std::vector<std::string> templates = TemplatesNamedIn(ReadFileString(LocalPath("uservers.da2")));
    for (int id : collector.Order)
        if (EqualsNoCase(collector.Blocks[id].Name, "uservers.da2"))
            for (auto& t : TemplatesNamedIn(collector.Blocks[id].Data))
                templates.push_back(t);

    std::vector<std::pair<std::string, const std::string*>> files;
    std::map<std::string, std::size_t> seen;
    for (int id : collector.Order) {
        const TBlock& b = collector.Blocks[id];
        const std::string place = b.Name.empty() ? std::string() : DeliveredPlace(b.Name, templates);
        if (place.empty()) {
            TryWriteDebugLog("Update file refused: " + b.Name);
            continue;
        }
        // A name given twice: the later block wins.
        const std::string target = LocalPath(place);
        if (auto it = seen.find(target); it != seen.end())
            files[it->second].second = &b.Data;
        else {
            seen[target] = files.size();
            files.emplace_back(target, &b.Data);
        }
    }
    if (files.empty())
        return false;
    ReplaceTogether(files);
    for (const auto& f : files)
        TryWriteDebugLog("Updated " + f.first);
    PushyMessageDlg(desktop, "Ostrel will restart with fresh data", TMsgDlgType::mtInformation, mbOK, 0, nullptr);
    if (restart)
        restart();
    return true;
}

} // namespace ostrel
