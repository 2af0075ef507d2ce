// Copied texts, whatever their bytes, go through update-file processing on every clipboard
// change: it must never fault, never write outside the program folder, never replace the
// program or its settings, and leave no temporary file behind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/fake_desktop.h"
#include "shell/update_file.h"
#include "util/program_state.h"

using namespace ostrel;
namespace fs = std::filesystem;

namespace {

const std::string& Root() {
    static const std::string root = [] {
        std::string tmpl = (fs::temp_directory_path() / "ostrel-update-fuzz-XXXXXX").string();
        std::string config = (fs::temp_directory_path() / "ostrel-update-fuzz-config-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()) || !::mkdtemp(config.data()))
            std::abort();
        // The settings file lives apart from the program folder, as it does for users.
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        return tmpl + "/";
    }();
    return root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& state = ProgramState();
    state.LocalRoot = Root();
    state.ExePath = Root() + "ostrel";
    const std::string text(reinterpret_cast<const char*>(data), size);
    // Half the inputs get the markers, so that the decoding behind them is reached.
    const std::string copied =
        size > 0 && (data[0] & 1) ? "---Begin Ostrel Update File---\r\n" + text + "\r\n---End Ostrel Update File---\r\n"
                                  : text;
    FakeDesktop desktop;
    int restarts = 0;
    bool written = false;
    try {
        written = ProcessUpdateFile(desktop, copied, [&restarts] { ++restarts; });
    } catch (const std::exception&) {
    }
    if (written != (restarts == 1) || restarts > 1)
        __builtin_trap();

    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Root(), ec)) {
        const std::string name = entry.path().filename().string();
        if (name == "help" && entry.is_directory()) {
            fs::remove_all(entry.path(), ec);
            continue;
        }
        if (!entry.is_regular_file() || name == "uudecoder.tmp" || name == "ostrel" || name == "OSTREL.INI" ||
            name == "History.Dat" || name == "Queue.Dat" || name.starts_with(".ostrel-update-"))
            __builtin_trap();
        fs::remove(entry.path(), ec);
    }
    return 0;
}
