#include "decoder/decoder_wizard.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <unistd.h>
#include <thread>

#include "mime/message.h"
#include "mime/parser.h"
#include "platform/desktop.h"
#include "util/debug_log.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace {

constexpr int HelpContextWizard = 21;
constexpr int HelpContextWrongPart = 9005;

const char* const PseudoHeader = "PseudoHeader: x\r\n\r\n";

std::string WithCrLf(std::string text) {
    // Most copies already have CR LF everywhere; only rebuild the text when a bare LF is there.
    // Branch-free so that the compiler can check many bytes at once.
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    unsigned bare = !text.empty() && p[0] == '\n';
    for (std::size_t i = 1; i < text.size(); ++i)
        bare |= static_cast<unsigned>(p[i] == '\n') & static_cast<unsigned>(p[i - 1] != '\r');
    if (!bare)
        return text;
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    std::size_t from = 0;
    for (auto at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        out.append(text, from, at - from);
        if (at == 0 || text[at - 1] != '\r')
            out += '\r';
        from = at;
    }
    out.append(text, from, std::string::npos);
    return out;
}

// ParseField's result for a field of the header block, found without copying the whole text
// (a part can be large): the first line that starts with the field, in any case.
std::string FieldOf(const std::string& field, const std::string& text) {
    auto matches = [&](std::size_t at) {
        return text.size() - at >= field.size() && StartsWithNoCase(text.substr(at, field.size()), field);
    };
    std::size_t line = std::string::npos;
    if (matches(0))
        line = 0;
    for (auto at = text.find("\r\n"); line == std::string::npos && at != std::string::npos;
         at = text.find("\r\n", at + 2))
        if (matches(at + 2))
            line = at + 2;
    if (line == std::string::npos)
        return {};
    return ParseField(field, text.substr(line, field.size() + 1026));
}

std::string_view TrimView(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ')
        s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ')
        s.remove_suffix(1);
    return s;
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

// The temporary file for the parser: the pseudo header, then the text, written as it is produced
// so that a large join is never held twice in memory.
class TTempWriter {
public:
    explicit TTempWriter(const std::string& path) : path_(path) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd_ < 0)
            throw EInOutError("Cannot write " + path_);
        buffer_.reserve(Chunk + 4096);
        buffer_ = PseudoHeader;
    }
    ~TTempWriter() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TTempWriter(const TTempWriter&) = delete;
    TTempWriter& operator=(const TTempWriter&) = delete;

    void Line(std::string_view line) {
        buffer_ += line;
        buffer_ += "\r\n";
        if (buffer_.size() >= Chunk)
            Flush();
    }
    void Text(std::string_view text) {
        Flush();
        Write(text);
    }
    void Close() {
        Flush();
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0)
            throw EInOutError("Cannot write " + path_);
    }

private:
    static constexpr std::size_t Chunk = 1 << 20;
    void Flush() {
        Write(buffer_);
        buffer_.clear();
    }
    void Write(std::string_view data) {
        while (!data.empty()) {
            const ssize_t n = ::write(fd_, data.data(), data.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw EInOutError("Cannot write " + path_);
            data.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    std::string path_;
    std::string buffer_;
    int fd_ = -1;
};

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

namespace {
// memmem skips through a part far faster than a search that stops at every line's CR.
bool Contains(const std::string& text, std::string_view what) {
    return ::memmem(text.data(), text.size(), what.data(), what.size()) != nullptr;
}
} // namespace

bool HoldsEndOfData(const std::string& text) {
    return Contains(text, "\r\n`\r\nend") || Contains(text, "\r\n \r\nend");
}

void CleanCollectedLines(const std::vector<std::string_view>& chunks,
                         const std::function<void(std::string_view)>& removed,
                         const std::function<void(std::string_view)>& kept) {
    // The walk goes backwards so that "the line now following" is the nearest kept one below.
    // Lines are found in place (a join of many parts is large), and only a flag per line is
    // stored; the kept lines are then handed out in their forward order. Chunks end at a line
    // break (or are the last), so no line spans two of them.
    std::size_t total = 0;
    for (auto chunk : chunks)
        total += chunk.size();
    std::vector<char> keepFromEnd;
    keepFromEnd.reserve(total / 48 + 1);
    std::string_view following;
    bool haveFollowing = false;
    for (std::size_t c = chunks.size(); c-- > 0;) {
        const std::string_view text = chunks[c];
        if (text.empty())
            continue;
        std::size_t end = text.size();
        if (text[end - 1] == '\n')
            end -= (end > 1 && text[end - 2] == '\r') ? 2 : 1;
        else if (text[end - 1] == '\r')
            end -= 1;
        for (;;) {
            std::size_t start = 0;
            if (const void* lf = ::memrchr(text.data(), '\n', end))
                start = static_cast<std::size_t>(static_cast<const char*>(lf) - text.data()) + 1;
            if (const void* cr = ::memrchr(text.data() + start, '\r', end - start))
                start = static_cast<std::size_t>(static_cast<const char*>(cr) - text.data()) + 1;
            const std::string_view line = text.substr(start, end - start);
            if (start == 0 && c == 0)
                break; // the very first line: never examined
            const bool fullLine = line.size() == 61 && line[0] == 'M';
            const bool marker = line.starts_with("end") || line.starts_with("begin ");
            if (fullLine || marker || IsClosingLine(line) || (haveFollowing && IsClosingLine(following))) {
                following = line;
                haveFollowing = true;
                keepFromEnd.push_back(1);
            } else {
                keepFromEnd.push_back(0);
                if (removed)
                    removed(line);
            }
            if (start == 0)
                break;
            end = start - ((start > 1 && text[start - 1] == '\n' && text[start - 2] == '\r') ? 2 : 1);
        }
    }
    // The first line, then the others in order.
    std::size_t index = keepFromEnd.size();
    bool first = true;
    for (const std::string_view text : chunks) {
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t stop = text.size();
            if (const void* lf = std::memchr(text.data() + pos, '\n', text.size() - pos))
                stop = static_cast<std::size_t>(static_cast<const char*>(lf) - text.data());
            if (const void* cr = std::memchr(text.data() + pos, '\r', stop - pos))
                stop = static_cast<std::size_t>(static_cast<const char*>(cr) - text.data());
            const std::string_view line = text.substr(pos, stop - pos);
            if (first || (index > 0 && keepFromEnd[index - 1]))
                kept(line);
            if (!first && index > 0)
                --index;
            first = false;
            pos = stop + ((stop + 1 < text.size() && text[stop] == '\r' && text[stop + 1] == '\n') ? 2 : 1);
        }
    }
}

void CleanCollectedLines(std::string_view text, const std::function<void(std::string_view)>& removed,
                         const std::function<void(std::string_view)>& kept) {
    CleanCollectedLines(std::vector<std::string_view>{text}, removed, kept);
}

std::string CleanCollectedLines(std::string_view text, const std::function<void(std::string_view)>& removed) {
    std::string out;
    out.reserve(text.size() + 2);
    CleanCollectedLines(text, removed, [&out](std::string_view line) {
        out += line;
        out += "\r\n";
    });
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
    lblPart.Bold = true;
    lblPart.FontSizeDelta = 3;
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
    std::string joined;
    for (const auto& chunk : collected_)
        joined += chunk;
    for (auto line : SplitLines(joined))
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
    std::string text = WithCrLf(desktop_.ClipboardText());
    if (ConfirmPartNumber(FieldOf("Subject: ", text)) == IDRETRY)
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
                collected_.assign(1, Trim(ReplaceAll("begin 0600 ", text.substr(begin), "begin 600 ")) + "\r\n");
                if (hasEnd) {
                    TTempWriter temp(TempFileName);
                    temp.Text(collected_.front());
                    temp.Close();
                    ReleaseCollected();
                    DecodeTempFile();
                    Finish();
                } else {
                    expectedPart_ = 2;
                }
            }
        } else {
            // Kept as it came (trimmed), without copying it into one growing text.
            const bool last = HoldsEndOfData(text);
            const std::string_view trimmed = TrimView(text);
            const auto lead = static_cast<std::size_t>(trimmed.data() - text.data());
            const std::size_t length = trimmed.size();
            std::string chunk = std::move(text);
            chunk.resize(lead + length);
            chunk.erase(0, lead);
            chunk += "\r\n";
            collected_.push_back(std::move(chunk));
            if (!last) {
                ++expectedPart_;
                desktop_.Beep(0);
            } else {
                lblPart.SetCaption("Joining and cleaning up parts");
                std::vector<std::string_view> removed;
                TTempWriter temp(TempFileName);
                CleanCollectedLines(
                    std::vector<std::string_view>(collected_.begin(), collected_.end()),
                    [&removed](std::string_view line) { removed.push_back(line); },
                    [&temp](std::string_view line) { temp.Line(line); });
                temp.Close();
                LogRemovedLines(removed);
                removed.clear();
                ReleaseCollected();
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

void TfrmDecode::ReleaseCollected() {
    // The joined text can be as large as the file itself; it is in the temporary file now.
    std::vector<std::string>().swap(collected_);
#if defined(__GLIBC__)
    // The parts were many mid-sized blocks; give their pages back before the decode needs as
    // much again.
    ::malloc_trim(0);
#endif
}

void TfrmDecode::DecodeTempFile() {
    lblPart.SetCaption("Processing File");
    message_.Clear();
    LoadMessageFromFile(message_, TempFileName, &desktop_);
    DeleteFileIfExists(TempFileName);
    ReleaseCollected();
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
