#include "cli/decode_files.h"

#include <filesystem>
#include <ostream>
#include <sys/resource.h>

#include "cli/printable.h"
#include "decoder/receiver.h"
#include "util/file_io.h"

namespace ostrel {

namespace {

// Parts that come before their turn each wait in an open file: let the process have as many
// open files as the system allows it.
void RaiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Why a file named on the command line cannot be read, in words the user can act on.
std::string Unreadable(const std::string& file) {
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (ec && status.type() != std::filesystem::file_type::not_found)
        return "cannot read " + Printable(file) + ": " + ec.message();
    if (std::filesystem::is_directory(status))
        return "cannot read " + Printable(file) + ": it is a folder, not a file";
    if (!std::filesystem::exists(status))
        return "cannot read " + Printable(file) + ": there is no such file";
    return "cannot read " + Printable(file) + ": it is not a regular file";
}

} // namespace

int DecodeFiles(const std::vector<std::string>& files, const std::string& outDir, bool ignorePartNumbers,
                std::ostream& out, std::ostream& err) {
    RaiseOpenFileLimit();
    TReceiveOptions options;
    options.TargetFolder = outDir;
    options.IgnoreSubjectNumbers = ignorePartNumbers;
    // Opening a file tells whether it can be read: no look at it beforehand, once per part.
    options.RegularFilesOnly = true;
    options.OnFile = [&out](const TReceivedFile& f) {
        if (f.State == TReceivedFile::Saved)
            out << Printable(f.Path) << std::endl;
    };
    TReceiver receiver(options);
    bool failed = false;
    // In the order given: parts that come before their turn wait beside the target, and are
    // joined as soon as the parts before them are in.
    for (const auto& file : files) {
        try {
            receiver.AddFile(file);
        } catch (const std::exception& e) {
            err << "ostrel-cli decode: " << (FileExists(file) ? Printable(e.what()) : Unreadable(file)) << "\n";
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
            err << "ostrel-cli decode: " << Printable(f.Name) << " (in " << Printable(f.Origin)
                << ") is damaged: " << Printable(f.Why);
            if (!f.Path.empty())
                err << "; what could be read is in " << Printable(f.Path);
            err << "\n";
            failed = true;
            break;
        case TReceivedFile::NotSaved:
            err << "ostrel-cli decode: " << Printable(f.Name) << " could not be saved: " << Printable(f.Why) << "\n";
            failed = true;
            break;
        case TReceivedFile::Incomplete:
            break;
        }
    }
    for (const auto& f : receiver.Pending()) {
        err << "ostrel-cli decode: " << Printable(f.Name) << " is incomplete: " << Printable(f.Why)
            << "; nothing was saved\n";
        failed = true;
    }
    if (receiver.Settled().empty() && receiver.Pending().empty() && !failed) {
        err << "ostrel-cli decode: no encoded file found\n";
        failed = true;
    }
    return failed || saved == 0 ? 1 : 0;
}

} // namespace ostrel
