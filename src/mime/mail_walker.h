#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "mime/message.h"

namespace ostrel {

// What carries a file found in a mail.
enum class TFoundKind {
    UU,          // "begin" ... "end"
    UUPart,      // UU data lines without a "begin" line: a later part of a file split over mails
    Base64Block, // "begin-base64" ... "===="
    YEnc,        // "=ybegin" ... "=yend"
    Btoa,        // "xbtoa Begin" ... "xbtoa End"
    Attachment,  // a MIME part, whatever its transfer encoding
    Message,     // a forwarded mail (message/rfc822), kept whole
    Partial,     // the body of one message/partial part
};

struct TFoundFile {
    int Id = 0;
    TFoundKind Kind = TFoundKind::Attachment;
    // As the mail names it, decoded to UTF-8 and made safe (SafeFileName); empty when it names
    // none.
    std::string Name;
    // MIME type in lower case, without parameters; empty outside MIME.
    std::string ContentType;
    // Numbering the encoding itself carries: yEnc parts, message/partial.
    int Part = 0;
    int Total = 0;
    std::string PartialId;
    // yEnc: the part holds bytes Begin to End (counting from 1) of a file of FileSize bytes.
    std::uint64_t Begin = 0, End = 0, FileSize = 0;
    // Line of the input where it starts (from 1).
    std::uint64_t Line = 0;
};

struct TFoundEnd {
    // Its own end was seen: the "end" line, "====", "=yend", "xbtoa End", the boundary after a
    // MIME part, the end of a mail whose whole body it is. A UU block without it goes on in a
    // later part (or was cut off).
    bool Closed = false;
    // Why the decoded data is not to be trusted; empty when it decoded cleanly.
    std::string Damage;
    // yEnc: the whole file's CRC-32, when its end line gives it.
    bool HasFileCrc = false;
    std::uint32_t FileCrc = 0;
};

// Receives what the walker finds, in the order of the text. Files may nest (the attachments of
// a forwarded mail while the forwarded mail itself is written), so data carries the file's id.
class TWalkerSink {
public:
    virtual ~TWalkerSink() = default;
    // A mail begins: its header block (empty for a text without one).
    virtual void MailStart(const TmsHeaders& headers) { (void)headers; }
    // A line of a mail's text that belongs to no file found.
    virtual void TextLine(std::string_view line) { (void)line; }
    virtual void FileStart(const TFoundFile& file) = 0;
    virtual void FileData(int id, std::string_view bytes) = 0;
    // A buffer of the sink's own that the decoded data of file id is appended to instead of
    // coming through FileData, saving a copy of every byte; null to take FileData. Asked again
    // after every other event, so the sink may write the buffer out, move it to another file or
    // drop it in any of them.
    virtual std::string* DataBuffer(int id) {
        (void)id;
        return nullptr;
    }
    // Data was appended to the buffer DataBuffer(id) gave: the sink may write it out now, and
    // must leave at least 64 KiB of room in it for the next data.
    virtual void DataAppended(int id) { (void)id; }
    virtual void FileEnd(int id, const TFoundEnd& end) = 0;
    // The mail ended; problem says what was wrong with its structure (empty when nothing).
    virtual void MailEnd(const std::string& problem) { (void)problem; }
};

// Reads mail text fed in pieces of any size (the result does not depend on where they are cut)
// and reports every file in it: UU, yEnc, btoa and "begin-base64" blocks in text, MIME parts at
// any depth (forwarded mails too), and the bodies of message/partial parts. One text may hold
// several mails (an mbox, or mails copied one after the other). Memory stays the same whatever
// the size of the text: decoded data leaves through a fixed buffer.
class TMailWalker {
public:
    explicit TMailWalker(TWalkerSink& sink);
    ~TMailWalker();
    TMailWalker(const TMailWalker&) = delete;
    TMailWalker& operator=(const TMailWalker&) = delete;

    void Feed(std::string_view piece);
    // The text is over: whatever is still open ends here.
    void Finish();
    // Ready for another text, keeping the buffers (a walker per text would take fresh memory
    // for each of a thousand parts).
    void Reset();
    // Lines read so far.
    std::uint64_t Line() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
};

// The parts of a UU "begin" line: "begin", blanks, a mode of three or four octal digits, blanks,
// and the file name (quoted, or the rest of the line, blanks included). False when the line is
// not one.
bool ParseUUBeginLine(std::string_view line, std::string& name);

} // namespace ostrel
