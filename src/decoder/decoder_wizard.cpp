#include "decoder/decoder_wizard.h"

#include <algorithm>
#include <thread>

#include "mail/message.h"
#include "mail/parser.h"
#include "platform/desktop.h"
#include "util/debug_log.h"
#include "util/file_io.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace {

constexpr int HelpContextWizard = 21;
constexpr int HelpContextWrongPart = 9005;

const char* const PseudoHeader = "PseudoHeader: x\r\n\r\n";

std::string WithCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 40);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            out += '\r';
        out += text[i];
    }
    return out;
}

bool IsClosingLine(std::string_view line) { return line == "`" || line == " "; }

// Splits at CR, LF or CR LF; a break at the very end adds no empty line.
std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    lines.reserve(text.size() / 48 + 1);
    std::size_t start = 0;
    const std::size_t size = text.size();
    for (std::size_t i = 0; i < size; ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n')
            continue;
        lines.push_back(text.substr(start, i - start));
        if (c == '\r' && i + 1 < size && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < size)
        lines.push_back(text.substr(start));
    return lines;
}

// The "NU:" lines of a join can run to thousands (every header and signature line of every
// part); one append for all of them keeps the join about as fast as a single part. Each line
// still carries its own time stamp.
void LogRemovedLines(const std::vector<std::string_view>& removed) {
    if (removed.empty())
        return;
    const std::string separator = "\r\n" + LogTimeStamp() + ": NU:";
    std::size_t total = 0;
    for (auto line : removed)
        total += separator.size() + line.size();
    std::string block;
    block.reserve(total);
    block = "NU:";
    block += removed.front();
    for (std::size_t i = 1; i < removed.size(); ++i) {
        block += separator;
        block += removed[i];
    }
    WriteDebugLog(block);
}

} // namespace

int NumberBetween(const std::string& text, const std::string& open, const std::string& close) {
    const auto at = text.find(open);
    if (at == std::string::npos)
        return 0;
    const auto from = at + open.size();
    const auto to = text.find(close, from);
    if (to == std::string::npos)
        return 0;
    return VBVal(text.substr(from, to - from));
}

int PartNumberInSubject(const std::string& subject) {
    const int a = NumberBetween(subject, "(", "/");
    const int b = NumberBetween(subject, "(part ", " of ");
    const int c = NumberBetween(subject, "[", " of ");
    if (c > 0)
        return c;
    if (b > 0)
        return b;
    if (a > 0)
        return a;
    return 0;
}

bool HoldsEndOfData(const std::string& text) {
    return text.find("\r\n`\r\nend") != std::string::npos || text.find("\r\n \r\nend") != std::string::npos;
}

std::string CleanCollectedLines(std::string_view text, const std::function<void(std::string_view)>& removed) {
    const auto lines = SplitLines(text);
    std::vector<char> keep(lines.size(), 1);
    // Walk backwards so that "the line now following" is the nearest kept one below.
    const std::string_view* following = nullptr;
    for (std::size_t i = lines.size(); i-- > 1;) {
        const std::string_view line = lines[i];
        const bool fullLine = line.size() == 61 && line[0] == 'M';
        const bool marker = line.starts_with("end") || line.starts_with("begin ");
        const bool beforeClosing = following && IsClosingLine(*following);
        if (fullLine || marker || IsClosingLine(line) || beforeClosing) {
            following = &lines[i];
        } else {
            keep[i] = 0;
            if (removed)
                removed(line);
        }
    }
    std::string out;
    out.reserve(text.size() + lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!keep[i])
            continue;
        out += lines[i];
        out += "\r\n";
    }
    return out;
}

TfrmDecode::TfrmDecode(Desktop& desktop, TmsMessage& message, std::chrono::milliseconds clipboardSettle)
    : TForm("frmDecode"), UseYourOwnMailer(Make<TLabel>("UseYourOwnMailer", this)),
      lblPart(Make<TLabel>("lblPart", this)), lblInstruct(Make<TLabel>("lblInstruct", this)),
      btnHelp(Make<TButton>("btnHelp", this)), btnNext(Make<TButton>("btnNext", this)),
      btnCancel(Make<TButton>("btnCancel", this)), TempFileName(DefaultTempFileName()),
      TargetFolder(DownloadsFolder()), desktop_(desktop), clipboardSettle_(clipboardSettle), message_(message) {
    SetCaption("Ostrel - UUDecoder");
    SetHelpContext(HelpContextWizard);
    MinimizeButton = false;
    Modal = true;
    const TSize screen = desktop_.ScreenSize();
    SetBounds(std::max(0, (screen.Width - 409) / 2), std::max(0, (screen.Height - 161) / 2), 409, 161);

    UseYourOwnMailer.SetCaption("Use this tool to unscramble UUencoded files received from \"Bymail\" servers. Tip: "
                                "Many e-mail programs have their own tools");
    UseYourOwnMailer.WordWrap = true;
    UseYourOwnMailer.SetBounds(8, 8, 393, 30);
    lblPart.SetBounds(8, 44, 393, 22);
    lblInstruct.SetCaption("Please place the part referenced above into the Windows Clipboard. In most e-mail "
                           "prograns, the sequence  Right-click, Select All, Right-click, Copy will be needed.");
    lblInstruct.WordWrap = true;
    lblInstruct.SetBounds(8, 72, 393, 46);

    btnHelp.SetCaption("&Help");
    btnHelp.SetBounds(8, 128, 75, 25);
    btnHelp.OnClick = [this] { btnHelpClick(); };
    btnNext.SetCaption("&Next >>");
    btnNext.SetBounds(246, 128, 75, 25);
    btnNext.OnClick = [this] { btnNextClick(); };
    btnCancel.SetCaption("&Cancel");
    btnCancel.Cancel = true;
    btnCancel.SetBounds(326, 128, 75, 25);
    btnCancel.OnClick = [this] { btnCancelClick(); };

    FormCreate();
}

std::string TfrmDecode::DefaultTempFileName() { return LocalPath("uudecoder.tmp"); }

std::string TfrmDecode::DownloadsFolder() { return LocalPath("downloads/"); }

std::vector<std::string> TfrmDecode::CollectedLines() const {
    std::vector<std::string> lines;
    for (auto line : SplitLines(collected_))
        lines.emplace_back(line);
    return lines;
}

void TfrmDecode::FormCreate() {
    DeleteFileIfExists(TempFileName);
    expectedPart_ = 1;
    collected_.clear();
    desktop_.SetTopmost(*this, true);
    ShowExpectedPart();
}

void TfrmDecode::ShowExpectedPart() {
    lblPart.SetCaption("Part " + std::to_string(expectedPart_));
    desktop_.SetClipboardText("");
    if (clipboardSettle_.count() > 0)
        std::this_thread::sleep_for(clipboardSettle_);
}

int TfrmDecode::ConfirmPartNumber(const std::string& subject) {
    const int found = PartNumberInSubject(subject);
    if (found == 0 || found == expectedPart_)
        return IDOK;
    return desktop_.MessageDlg("Expecting part " + std::to_string(expectedPart_) + " but found:\r\n\n" + subject +
                                   "\r\n\nThis is probably incorrect",
                               TMsgDlgType::mtWarning, mbRetry | mbIgnore | mbHelp, HelpContextWrongPart);
}

void TfrmDecode::btnNextClick() {
    // Mail programs on this system copy lines ending in a bare line feed; the part and end
    // detection below looks for CR LF, so bring the text to that form first.
    const std::string text = WithCrLf(desktop_.ClipboardText());
    if (ConfirmPartNumber(ParseField("Subject: ", text)) == IDRETRY)
        return;
    try {
        if (expectedPart_ == 1) {
            const std::string lowered = LowerCase(text);
            // "begin " must start the text or a line.
            std::size_t begin = lowered.starts_with("begin ") ? 0 : lowered.find("\nbegin ");
            if (begin == std::string::npos) {
                desktop_.MessageDlg("Bad first part", TMsgDlgType::mtError, mbCancel, 0);
            } else {
                if (begin > 0)
                    ++begin;
                const bool hasEnd =
                    lowered.find("`\r\nend") != std::string::npos || lowered.find(" \r\nend") != std::string::npos;
                // Some mailers write the mode with four digits; the parser takes the name from a
                // fixed column, so bring it back to three.
                collected_ = Trim(ReplaceAll("begin 0600 ", text.substr(begin), "begin 600 ")) + "\r\n";
                if (hasEnd) {
                    WriteTempFile(collected_);
                    DecodeTempFile();
                    Finish();
                } else {
                    expectedPart_ = 2;
                }
            }
        } else {
            collected_ += Trim(text);
            collected_ += "\r\n";
            if (!HoldsEndOfData(text)) {
                ++expectedPart_;
                desktop_.Beep(0);
            } else {
                lblPart.SetCaption("Joining and cleaning up parts");
                std::vector<std::string_view> removed;
                std::string cleaned =
                    CleanCollectedLines(collected_, [&removed](std::string_view line) { removed.push_back(line); });
                LogRemovedLines(removed);
                removed.clear();
                WriteTempFile(cleaned);
                cleaned.clear();
                cleaned.shrink_to_fit();
                DecodeTempFile();
                Finish();
            }
        }
    } catch (...) {
        DeleteFileIfExists(TempFileName);
        ShowExpectedPart();
        throw;
    }
    DeleteFileIfExists(TempFileName);
    ShowExpectedPart();
}

void TfrmDecode::btnCancelClick() {
    ModalResult = IDCANCEL;
    Hide();
}

void TfrmDecode::btnHelpClick() { desktop_.ShowHelp(HelpContextWizard); }

void TfrmDecode::Finish() {
    ModalResult = IDCANCEL;
    Hide();
}

void TfrmDecode::WriteTempFile(const std::string& text) {
    std::string content;
    content.reserve(text.size() + 20);
    content = PseudoHeader;
    content += text;
    WriteFileAtomic(TempFileName, content);
}

void TfrmDecode::DecodeTempFile() {
    lblPart.SetCaption("Processing File");
    message_.Clear();
    LoadMessageFromFile(message_, TempFileName, &desktop_);
    DeleteFileIfExists(TempFileName);
    collected_.clear();
    collected_.shrink_to_fit();
    const std::size_t count = message_.Attachments.Count();
    if (count == 0) {
        desktop_.MessageDlg("Error decoding attachment", TMsgDlgType::mtError, mbOK, 0);
    } else {
        // A missing downloads folder would lose every part collected so far.
        ForceDirectories(TargetFolder);
        for (std::size_t i = 0; i < count; ++i) {
            const std::string name = message_.Attachments.Items(i).FileName();
            message_.SaveAttachment(i, TargetFolder);
            desktop_.MessageDlg("Decoded\r\n\n" + TargetFolder + name, TMsgDlgType::mtInformation, mbOK, 0);
        }
    }
    message_.Clear();
}

} // namespace ostrel
