#include "cli/decode_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <ostream>
#include <sys/resource.h>
#include <unistd.h>

#include "decoder/receiver.h"
#include "mime/header_params.h"

namespace ostrel {

namespace {

// The subject of the first mail in a file, read from its first few kilobytes.
std::string SubjectOf(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string head(16384, '\0');
    const ssize_t n = ::read(fd, head.data(), head.size());
    ::close(fd);
    head.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    std::size_t pos = 0;
    while (pos < head.size()) {
        std::size_t end = head.find('\n', pos);
        if (end == std::string::npos)
            end = head.size();
        std::string line = head.substr(pos, end - pos);
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break; // the end of the header block
        if (line.size() > 8 && (line[0] | 0x20) == 's' && line.compare(1, 7, "ubject:") == 0)
            return DecodeWordsToUtf8(line.substr(8));
        pos = end + 1;
    }
    return {};
}

// Numbered parts are read in their order, each group where its first file stood; everything else
// in the order given. The receiver would put them right anyway, but in order every part streams
// straight into its file instead of waiting in a file of its own.
std::vector<std::string> InPartOrder(const std::vector<std::string>& files) {
    struct TKey {
        std::size_t Group;
        int Part;
        std::size_t Index;
    };
    std::map<std::string, std::size_t> groups;
    std::vector<std::pair<TKey, std::string>> keyed;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const TSubjectPart p = PartInSubject(SubjectOf(files[i]));
        std::size_t group = i;
        if (p.Part > 0 && p.Total > 1)
            group = groups.emplace(p.Base + "/" + std::to_string(p.Total), i).first->second;
        keyed.push_back({TKey{group, p.Total > 1 ? p.Part : 0, i}, files[i]});
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        if (a.first.Group != b.first.Group)
            return a.first.Group < b.first.Group;
        return a.first.Part < b.first.Part;
    });
    std::vector<std::string> ordered;
    for (auto& k : keyed)
        ordered.push_back(std::move(k.second));
    return ordered;
}

// Parts that come before their turn each wait in an open file: let the process have as many
// open files as the system allows it.
void RaiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int DecodeFiles(const std::vector<std::string>& files, const std::string& outDir, std::ostream& out,
                std::ostream& err) {
    RaiseOpenFileLimit();
    TReceiveOptions options;
    options.TargetFolder = outDir;
    options.OnFile = [&out](const TReceivedFile& f) {
        if (f.State == TReceivedFile::Saved)
            out << f.Path << std::endl;
    };
    TReceiver receiver(options);
    bool failed = false;
    for (const auto& file : InPartOrder(files)) {
        try {
            receiver.AddFile(file);
        } catch (const std::exception& e) {
            err << "ostrel-cli decode: " << e.what() << "\n";
            failed = true;
        }
    }
    std::size_t saved = 0;
    for (const auto& f : receiver.Settled()) {
        switch (f.State) {
        case TReceivedFile::Saved:
            ++saved;
            break;
        case TReceivedFile::Damaged:
            err << "ostrel-cli decode: " << f.Name << " (in " << f.Origin << ") is damaged: " << f.Why;
            if (!f.Path.empty())
                err << "; what could be read is in " << f.Path;
            err << "\n";
            failed = true;
            break;
        case TReceivedFile::NotSaved:
            err << "ostrel-cli decode: " << f.Name << " could not be saved: " << f.Why << "\n";
            failed = true;
            break;
        case TReceivedFile::Incomplete:
            break;
        }
    }
    for (const auto& f : receiver.Pending()) {
        err << "ostrel-cli decode: " << f.Name << " is incomplete: " << f.Why << "; nothing was saved\n";
        failed = true;
    }
    if (receiver.Settled().empty() && receiver.Pending().empty() && !failed) {
        err << "ostrel-cli decode: no encoded file found\n";
        failed = true;
    }
    return failed || saved == 0 ? 1 : 0;
}

} // namespace ostrel
