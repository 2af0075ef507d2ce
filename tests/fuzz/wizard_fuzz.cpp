// Mails as a user might copy them, whatever their bytes, given to the wizard one copy after the
// other: it must never fault, and whatever it saves lands in its downloads folder and nowhere
// else, never under a name that leaves it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "decoder/decoder_wizard.h"
#include "platform/fake_desktop.h"
#include "util/program_state.h"

using namespace ostrel;
namespace fs = std::filesystem;

namespace {

const std::string& Root() {
    static const std::string root = [] {
        std::string tmpl = (fs::temp_directory_path() / "ostrel-wizard-fuzz-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            std::abort();
        return tmpl + "/";
    }();
    return root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ProgramState().LocalRoot = Root();
    const std::string input(reinterpret_cast<const char*>(data), size);

    // Copies are separated by a form feed, which no mail part of interest holds.
    FakeDesktop desktop;
    {
        TfrmDecode wizard(desktop, std::chrono::milliseconds(0));
        std::size_t from = 0;
        while (from <= input.size() && wizard.ModalResult == 0) {
            std::size_t cut = input.find('\f', from);
            if (cut == std::string::npos)
                cut = input.size();
            desktop.Clipboard = input.substr(from, cut - from);
            try {
                wizard.btnNextClick();
            } catch (const std::exception&) {
                // Reported by the application's handler in the program; not a fault here.
            }
            from = cut + 1;
        }
        // What is held is listed, with sensible numbers.
        for (const auto& f : wizard.Pending())
            if (f.PartsHeld < 0 ||
                (f.PartsTotal > 0 && f.PartsHeld + static_cast<int>(f.Missing.size()) != f.PartsTotal))
                __builtin_trap();
    }

    // Only the log, the downloads folder and the files in it may exist afterwards.
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(Root(), ec)) {
        const std::string path = entry.path().string();
        if (path == Root() + "downloads" || path == Root() + "DebugLog.Txt")
            continue;
        if (path.rfind(Root() + "downloads/", 0) != 0 || !entry.is_regular_file() ||
            entry.path().parent_path().string() + "/" != Root() + "downloads/")
            __builtin_trap();
    }
    fs::remove_all(Root() + "downloads", ec);
    fs::remove(Root() + "DebugLog.Txt", ec);
    return 0;
}
