#include "cli/cmd_decode.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <memory>
#include <unistd.h>

#include "cli/console_desktop.h"
#include "cli/printable.h"
#include "decoder/decoder_wizard.h"
#include "mime/message.h"
#include "mime/parser.h"
#include "shell/ostrel_app.h"
#include "util/file_io.h"
#include "util/program_state.h"

namespace ostrel {

namespace {

const char* const ErrorReportLine = "The following error has been occured while processing the message:";

// The wizard's desktop when its parts come from files: the "clipboard" holds the current file
// and the wizard's dialogs become results of the command.
class TPartsDesktop : public ConsoleDesktop {
public:
    TPartsDesktop(std::ostream& err, bool ignorePartNumbers)
        : ConsoleDesktop(std::cin, err, true), ignorePartNumbers_(ignorePartNumbers) {}

    std::string Part;
    std::vector<std::string> Written;
    std::string Problem;

    std::string ClipboardText() override { return Part; }
    void SetClipboardText(const std::string&) override {}
    void Beep(unsigned) override {}
    int MessageDlg(const std::string& text, TMsgDlgType, TMsgDlgButtons, int) override {
        const std::string decoded = "Decoded\r\n\n";
        if (text.starts_with(decoded)) {
            Written.push_back(text.substr(decoded.size()));
            return IDOK;
        }
        if (text.starts_with("Expecting part ")) {
            if (ignorePartNumbers_)
                return IDIGNORE;
            Problem = text.substr(0, text.find("\r\n")) + " " + text.substr(text.find("\r\n\n") + 3);
            Problem = Problem.substr(0, Problem.find("\r\n"));
            return IDRETRY;
        }
        Problem = text;
        return IDOK;
    }

private:
    bool ignorePartNumbers_;
};

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

int DecodeOneMail(const std::string& file, const std::string& outDir, std::ostream& out, std::ostream& err) {
    if (!FileExists(file)) {
        err << "ostrel-cli decode: " << Unreadable(file) << "\n";
        return 1;
    }
    std::string text = ReadFileString(file);
    // A bare UU file (as uuencode writes it) has no header block of its own.
    if (IsUUBeginLine(std::string_view(text).substr(0, text.find_first_of("\r\n"))))
        text = "PseudoHeader: x\r\n\r\n" + text;
    TmsMessage message;
    ParseMessage(message, std::move(text));
    int decoded = 0;
    if (message.Attachments.Count() > 0)
        ForceDirectories(outDir);
    for (std::size_t i = 0; i < message.Attachments.Count(); ++i) {
        message.SaveAttachment(i, outDir);
        out << Printable(outDir + message.Attachments[i].FileName()) << "\n";
        const bool report = i + 1 == message.Attachments.Count() &&
                            message.Attachments[i].FileName() == "original.eml" && message.Body.size() >= 3 &&
                            message.Body[message.Body.size() - 3] == ErrorReportLine;
        if (report)
            err << "ostrel-cli decode: " << Printable(file) << ": " << Printable(message.Body[message.Body.size() - 2])
                << "; the whole mail was saved as original.eml\n";
        else
            ++decoded;
    }
    if (decoded == 0 && message.Attachments.Count() == 0)
        err << "ostrel-cli decode: " << Printable(file) << ": no encoded file found in it\n";
    return decoded > 0 ? 0 : 1;
}

int JoinParts(const std::vector<std::string>& files, const std::string& outDir, bool ignorePartNumbers,
              std::ostream& out, std::ostream& err) {
    TPartsDesktop desktop(err, ignorePartNumbers);
    TmsMessage message;
    TfrmDecode wizard(desktop, message, std::chrono::milliseconds(0));
    wizard.TargetFolder = outDir;
    wizard.TempFileName = outDir + ".ostrel-decode-" + std::to_string(::getpid()) + ".tmp";
    ForceDirectories(outDir);
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!FileExists(files[i])) {
            err << "ostrel-cli decode: " << Unreadable(files[i]) << "\n";
            return 1;
        }
        desktop.Part = ReadFileString(files[i]);
        const int expected = wizard.ExpectedPart();
        try {
            wizard.btnNextClick();
        } catch (const std::exception& e) {
            err << "ostrel-cli decode: " << Printable(files[i]) << ": " << Printable(e.what(), TLineBreaks::Keep)
                << "\n";
            return 1;
        }
        if (!desktop.Problem.empty()) {
            err << "ostrel-cli decode: " << Printable(files[i]) << " (part " << expected
                << "): " << Printable(desktop.Problem, TLineBreaks::Keep) << "\n";
            if (desktop.Written.empty())
                return 1;
            break;
        }
        if (wizard.ModalResult != 0) {
            if (i + 1 < files.size())
                err << "ostrel-cli decode: the encoded data ended in " << Printable(files[i]) << "; "
                    << files.size() - i - 1 << " further file(s) not used\n";
            break;
        }
    }
    if (wizard.ModalResult == 0 && desktop.Problem.empty()) {
        err << "ostrel-cli decode: the last file holds no end of the encoded data (expecting part "
            << wizard.ExpectedPart() << ")\n";
        return 1;
    }
    int decoded = 0;
    for (const auto& path : desktop.Written) {
        out << Printable(path) << "\n";
        decoded += !path.ends_with("/original.eml");
    }
    return decoded > 0 ? 0 : 1;
}

} // namespace

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
    command.add_option("FILE", o->Files, "a received mail, or its parts in order")->type_name("")->required();
    return [o](const TCliContext& c) {
        std::string outDir = o->OutDir.empty() ? TfrmDecode::DownloadsFolder() : o->OutDir;
        if (outDir.back() != '/')
            outDir += '/';
        try {
            if (o->Files.size() == 1)
                return DecodeOneMail(o->Files[0], outDir, c.Out, c.Err);
            return JoinParts(o->Files, outDir, o->IgnorePartNumbers, c.Out, c.Err);
        } catch (const std::exception& e) {
            c.Err << "ostrel-cli decode: " << Printable(e.what(), TLineBreaks::Keep) << "\n";
            return 1;
        }
    };
}

} // namespace ostrel
