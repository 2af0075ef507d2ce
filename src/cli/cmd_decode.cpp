#include "cli/cmd_decode.h"

#include <CLI/CLI.hpp>
#include <memory>

#include "cli/decode_files.h"
#include "cli/printable.h"
#include "decoder/decoder_wizard.h"

namespace ostrel {

TCliRun DeclareDecodeCommand(CLI::App& command) {
    struct TOptions {
        std::string OutDir;
        bool IgnorePartNumbers = false;
        std::vector<std::string> Files;
    };
    auto o = std::make_shared<TOptions>();
    command
        .add_option("--out", o->OutDir, "the folder for the decoded files (default: downloads in the program folder)")
        ->type_name("DIR")
        ->check(NonEmpty("a folder"));
    command.add_flag("--ignore-part-numbers", o->IgnorePartNumbers,
                     "join the files in the order given even where their part numbers say otherwise");
    command.add_option("FILE", o->Files, "received mails: whole mails, the parts of a file in any order, mboxes")
        ->type_name("")
        ->required();
    return [o](const TCliContext& c) {
        std::string outDir = o->OutDir.empty() ? TfrmDecode::DownloadsFolder() : o->OutDir;
        if (outDir.back() != '/')
            outDir += '/';
        try {
            return DecodeFiles(o->Files, outDir, o->IgnorePartNumbers, c.Out, c.Err);
        } catch (const std::exception& e) {
            c.Err << "ostrel-cli decode: " << Printable(e.what(), TLineBreaks::Keep) << "\n";
            return 1;
        }
    };
}

} // namespace ostrel
