#include "cli/cmd_decode.h"

#include <iostream>
#include <unistd.h>

#include "cli/decode_files.h"
#include "decoder/decoder_wizard.h"
#include "shell/ostrel_app.h"
#include "util/program_state.h"

namespace ostrel {

namespace {

std::string ProgramRoot() {
    if (!ProgramState().LocalRoot.empty())
        return ProgramState().LocalRoot;
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return ProgramFolderFor(n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string("./"));
}

} // namespace

int RunDecodeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string outDir;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--out" && i + 1 < args.size())
            outDir = args[++i];
        else if (args[i].starts_with("--")) {
            err << "ostrel-cli decode: unknown option " << args[i] << "\n";
            return 2;
        } else
            files.push_back(args[i]);
    }
    if (files.empty()) {
        err << "usage: ostrel-cli decode [--out DIR] FILE...\n";
        return 2;
    }
    if (ProgramState().LocalRoot.empty())
        ProgramState().LocalRoot = ProgramRoot();
    if (outDir.empty())
        outDir = TfrmDecode::DownloadsFolder();
    if (outDir.back() != '/')
        outDir += '/';
    try {
        return DecodeFiles(files, outDir, out, err);
    } catch (const std::exception& e) {
        err << "ostrel-cli decode: " << e.what() << "\n";
        return 1;
    }
}

} // namespace ostrel
