#include "cli/cmd_decode.h"

#include <iostream>
#include <unistd.h>

#include "cli/console_desktop.h"
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

std::string ProgramRoot() {
    if (!ProgramState().LocalRoot.empty())
        return ProgramState().LocalRoot;
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return ProgramFolderFor(n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string("./"));
}

int DecodeOneMail(const std::string& file, const std::string& outDir, std::ostream& out, std::ostream& err) {
    if (!FileExists(file)) {
        err << "ostrel-cli decode: cannot read " << file << "\n";
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
        out << outDir << message.Attachments[i].FileName() << "\n";
        const bool report = i + 1 == message.Attachments.Count() &&
                            message.Attachments[i].FileName() == "original.eml" && message.Body.size() >= 3 &&
                            message.Body[message.Body.size() - 3] == ErrorReportLine;
        if (report)
            err << "ostrel-cli decode: " << file << ": " << message.Body[message.Body.size() - 2]
                << "; the whole mail was saved as original.eml\n";
        else
            ++decoded;
    }
    if (decoded == 0 && message.Attachments.Count() == 0)
        err << "ostrel-cli decode: " << file << ": no encoded file found\n";
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
            err << "ostrel-cli decode: cannot read " << files[i] << "\n";
            return 1;
        }
        desktop.Part = ReadFileString(files[i]);
        const int expected = wizard.ExpectedPart();
        try {
            wizard.btnNextClick();
        } catch (const std::exception& e) {
            err << "ostrel-cli decode: " << files[i] << ": " << e.what() << "\n";
            return 1;
        }
        if (!desktop.Problem.empty()) {
            err << "ostrel-cli decode: " << files[i] << " (part " << expected << "): " << desktop.Problem << "\n";
            if (desktop.Written.empty())
                return 1;
            break;
        }
        if (wizard.ModalResult != 0) {
            if (i + 1 < files.size())
                err << "ostrel-cli decode: the encoded data ended in " << files[i] << "; "
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
        out << path << "\n";
        decoded += !path.ends_with("/original.eml");
    }
    return decoded > 0 ? 0 : 1;
}

} // namespace

int RunDecodeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string outDir;
    bool ignorePartNumbers = false;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--out" && i + 1 < args.size())
            outDir = args[++i];
        else if (args[i] == "--ignore-part-numbers")
            ignorePartNumbers = true;
        else if (args[i].starts_with("--")) {
            err << "ostrel-cli decode: unknown option " << args[i] << "\n";
            return 2;
        } else
            files.push_back(args[i]);
    }
    if (files.empty()) {
        err << "usage: ostrel-cli decode [--out DIR] [--ignore-part-numbers] FILE...\n";
        return 2;
    }
    if (ProgramState().LocalRoot.empty())
        ProgramState().LocalRoot = ProgramRoot();
    if (outDir.empty())
        outDir = TfrmDecode::DownloadsFolder();
    if (outDir.back() != '/')
        outDir += '/';
    try {
        if (files.size() == 1)
            return DecodeOneMail(files[0], outDir, out, err);
        return JoinParts(files, outDir, ignorePartNumbers, out, err);
    } catch (const std::exception& e) {
        err << "ostrel-cli decode: " << e.what() << "\n";
        return 1;
    }
}

} // namespace ostrel
