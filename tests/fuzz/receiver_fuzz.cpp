// Received mails, whatever their bytes, in one text or in pieces of any size: the receiver must
// never fault or loop, must come to the same files whichever way the text is cut, and must leave
// nothing but the files it reports in its folder, each inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "decoder/receiver.h"
#include "util/file_io.h"
#include "util/program_state.h"

using namespace ostrel;
namespace fs = std::filesystem;

namespace {

const std::string& Root() {
    static const std::string root = [] {
        std::string tmpl = (fs::temp_directory_path() / "ostrel-receiver-fuzz-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            std::abort();
        return tmpl + "/";
    }();
    return root;
}

// What a run came to: each file's state, name and content, and what is still waiting.
std::string Outcome(const TReceiver& receiver, const std::string& folder) {
    std::string out;
    for (const auto& f : receiver.Settled()) {
        out += std::to_string(f.State) + " " + f.Name + " " + f.Why + "\n";
        if (!f.Path.empty()) {
            if (fs::path(f.Path).parent_path().string() + "/" != folder)
                __builtin_trap();
            out += ReadFileString(f.Path) + "\n";
        }
    }
    for (const auto& f : receiver.Pending())
        out += "pending " + f.Name + " " + std::to_string(f.PartsHeld) + "/" + std::to_string(f.PartsTotal) + "\n";
    // Nothing else may be in the folder: no temporary file, nothing unreported.
    std::size_t reported = 0;
    for (const auto& f : receiver.Settled())
        reported += !f.Path.empty();
    std::size_t present = 0;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(folder, ec)) {
        (void)entry;
        ++present;
    }
    if (present != reported)
        __builtin_trap();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ProgramState().LocalRoot = Root();
    if (size == 0)
        return 0;
    // The first byte picks the size of the pieces of the second run.
    const std::size_t piece = 1 + data[0] % 97;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

    const std::string whole = Root() + "whole/", cut = Root() + "cut/";
    std::string first, second;
    {
        TReceiver receiver(TReceiveOptions{whole, {}, {}});
        receiver.AddText(text, "whole");
        first = fs::exists(whole) ? Outcome(receiver, whole) : std::string();
    }
    {
        TReceiver receiver(TReceiveOptions{cut, {}, {}});
        receiver.Begin("pieces");
        for (std::size_t at = 0; at < text.size(); at += piece)
            receiver.Feed(std::string_view(text).substr(at, piece));
        receiver.End();
        second = fs::exists(cut) ? Outcome(receiver, cut) : std::string();
    }
    // Reports name their input, which differs; compare the rest.
    if (first != second)
        __builtin_trap();
    std::error_code ec;
    fs::remove_all(whole, ec);
    fs::remove_all(cut, ec);
    fs::remove(Root() + "DebugLog.Txt", ec);
    return 0;
}
