#include "cli/decode_files.h"

#include <ostream>
#include <sys/resource.h>

#include "decoder/receiver.h"

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
    // In the order given: parts that come before their turn wait beside the target, and are
    // joined as soon as the parts before them are in.
    for (const auto& file : files) {
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
