#pragma once

#include <algorithm>
#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

class TmsMessage;
class Desktop;

// Hands out the lines of a text held in memory, one at a time. Lines end at CR, LF or CR LF;
// a final line without a line break is handed out too, and a line break at the very end does
// not make an extra empty line. The parser reads the text in blocks of BlockSize bytes cut
// after a line feed, which gives exactly these lines; lines longer than a block are handed out
// whole.
class TLineStream {
public:
    static constexpr std::size_t BlockSize = 16384;
    // Returned once the text is used up: four bytes of code 255, which no mail line holds.
    static const std::string EndMarker;

    TLineStream() = default;
    explicit TLineStream(std::string text) : owned_(std::move(text)), text_(owned_) {}
    // Reads lines of text that stays valid as long as keeper is held (a mapped file).
    TLineStream(std::string_view text, std::shared_ptr<const void> keeper)
        : text_(text), keeper_(std::move(keeper)) {}
    TLineStream(const TLineStream&) = delete;
    TLineStream& operator=(const TLineStream&) = delete;

    // The next line, or EndMarker (and Eof() from then on) when there is none left. The view
    // stays valid until the stream is changed or destroyed.
    std::string_view NextLine();
    bool Eof() const { return eof_; }
    // Back to the first line.
    void Restart() {
        pos_ = 0;
        eof_ = false;
    }

    std::string_view Text() const { return text_; }
    // Bytes not yet handed out.
    std::size_t Remaining() const { return text_.size() - pos_; }
    // The text not yet handed out, and passing over the first bytes of it: a caller that decodes
    // a long run of lines in one go need not have them split one by one.
    std::string_view Rest() const { return text_.substr(pos_); }
    void Skip(std::size_t bytes) { pos_ += std::min(bytes, Remaining()); }

private:
    std::string owned_;
    std::string_view text_;
    std::shared_ptr<const void> keeper_;
    std::size_t pos_ = 0;
    bool eof_ = false;
};

// Reduces a file name taken from a mail (a "begin" line, a name or filename parameter) to a
// plain name that stays inside the folder it is saved into: folder parts and drive letters are
// dropped, control characters removed, leading dots and blanks stripped, "." and ".." refused.
// Returns an empty text when nothing usable is left; the caller then makes up a name.
std::string SafeFileName(std::string_view name);

// Parses the text of a mail into message: header block, body lines and attachments (UU blocks
// or MIME parts). The message is not cleared first. A structural error in the text does not
// raise: it ends in an error report in Body and an "original.eml" attachment holding the whole
// text. desktop (may be null) is pumped once per MIME part and once per quoted-printable
// paragraph so that a long decode keeps the window alive.
void ParseMessage(TmsMessage& message, std::string text, Desktop* desktop = nullptr);

// Reads the whole stream and parses it into message (not cleared first). Raises EInOutError
// when the stream cannot be read.
void LoadMessageFromStream(TmsMessage& message, std::istream& source, Desktop* desktop = nullptr);
// Clears message, then reads and parses the file. Raises EInOutError when it cannot be read.
void LoadMessageFromFile(TmsMessage& message, const std::string& path, Desktop* desktop = nullptr);

// Whether a line opens a UU block: "begin" in any case, more than 8 characters, and a
// three-digit mode after the word.
bool IsUUBeginLine(std::string_view line);
// The file name of a UU "begin" line, made safe; empty when the line names none.
std::string UUBeginFileName(std::string_view line);

} // namespace ostrel
