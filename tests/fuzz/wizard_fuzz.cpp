// Parts as a user might copy them, whatever their bytes: the wizard must never fault, and
// whatever it decodes lands in its downloads folder and nowhere else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "decoder/decoder_wizard.h"
#include "mime/message.h"
#include "mime/parser.h"
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

    // The first byte picks the answer to a part-number warning; parts are separated by a form
    // feed, which no mail part of interest holds.
    FakeDesktop desktop;
    desktop.DefaultAnswer = size > 0 && (data[0] & 1) ? IDRETRY : IDIGNORE;
    TmsMessage message;
    {
        TfrmDecode wizard(desktop, message, std::chrono::milliseconds(0));
        std::size_t from = size > 0 ? 1 : 0;
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
        // Every line is either kept or removed, whatever mix of line ends the text has.
        std::size_t kept = 0, removed = 0, lines = 0;
        CleanCollectedLines(
            input, [&removed](std::string_view) { ++removed; }, [&kept](std::string_view) { ++kept; });
        TLineStream reader(input);
        for (reader.NextLine(); !reader.Eof(); reader.NextLine())
            ++lines;
        if (kept + removed != lines)
            __builtin_trap();
    }

    // Only the log, the downloads folder and the files in it may exist afterwards.
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(Root(), ec)) {
        const std::string path = entry.path().string();
        if (path == Root() + "downloads" || path == Root() + "DebugLog.Txt")
            continue;
        if (path.rfind(Root() + "downloads/", 0) != 0 || !entry.is_regular_file())
            __builtin_trap();
    }
    fs::remove_all(Root() + "downloads", ec);
    fs::remove(Root() + "DebugLog.Txt", ec);
    return 0;
}
