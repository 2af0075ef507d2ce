#include "mime/parser.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <istream>
#include <iterator>
#include <memory>

#include "mime/base64.h"
#include "mime/message.h"
#include "mime/quoted_printable.h"
#include "mime/uucode.h"
#include "platform/desktop.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/text.h"

namespace ostrel {

const std::string TLineStream::EndMarker = "\xFF\xFF\xFF\xFF";

std::string_view TLineStream::NextLine() {
    if (eof_ || pos_ >= text_.size()) {
        eof_ = true;
        return EndMarker;
    }
    const char* base = text_.data();
    const std::size_t size = text_.size();
    const std::size_t start = pos_;
    // memchr for the line feed is the fast path; a lone CR ends a line as well, so look for
    // it only inside the stretch up to the line feed.
    const void* lf = std::memchr(base + start, '\n', size - start);
    std::size_t stop = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - base) : size;
    const void* cr = std::memchr(base + start, '\r', stop - start);
    if (cr) {
        std::size_t at = static_cast<std::size_t>(static_cast<const char*>(cr) - base);
        pos_ = (at + 1 < size && base[at + 1] == '\n') ? at + 2 : at + 1;
        return std::string_view(base + start, at - start);
    }
    pos_ = lf ? stop + 1 : size;
    return std::string_view(base + start, stop - start);
}

std::string SafeFileName(std::string_view name) {
    // Only the last component counts: whatever came before a slash, a backslash or a drive
    // colon would point the write at another folder.
    std::size_t cut = name.find_last_of("/\\:");
    if (cut != std::string_view::npos)
        name.remove_prefix(cut + 1);
    std::string clean;
    clean.reserve(name.size());
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            continue;
        clean += c;
    }
    // Leading dots would hide the file (and "." or ".." name the folders themselves).
    std::size_t b = 0;
    while (b < clean.size() && (clean[b] == '.' || clean[b] == ' '))
        ++b;
    std::size_t e = clean.size();
    while (e > b && clean[e - 1] == ' ')
        --e;
    // A name too long for the file system is shortened with its extension kept.
    clean = ShortenFileName(clean.substr(b, e - b), kMaxShortText);
    // Cutting may leave a blank at the end again.
    while (!clean.empty() && clean.back() == ' ')
        clean.pop_back();
    return clean;
}

namespace {

std::string_view TrimView(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ')
        s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ')
        s.remove_suffix(1);
    return s;
}

bool EqualsNoCaseView(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

std::vector<std::string> SplitIntoLines(const std::string& text) {
    std::vector<std::string> lines;
    TLineStream reader(text);
    for (;;) {
        std::string_view line = reader.NextLine();
        if (reader.Eof())
            break;
        lines.emplace_back(line);
    }
    return lines;
}

// A parameter of a header value ("name", "boundary", "filename"): searched anywhere in the
// value without regard to case, as the mail programs that write these headers are not strict
// about where parameters go.
std::string HeaderParam(const std::string& value, const std::string& name) {
    const int at = PosNoCase(name, value);
    if (at == 0)
        return {};
    const std::size_t from = static_cast<std::size_t>(at - 1) + name.size() + 1;
    if (from >= value.size())
        return {};
    std::string rest = Trim(value.substr(from));
    if (!rest.empty() && rest.front() == '"') {
        const auto close = rest.find('"', 1);
        rest = close == std::string::npos ? rest.substr(1) : rest.substr(1, close - 1);
    } else {
        const auto blank = rest.find(' ');
        if (blank != std::string::npos)
            rest.resize(blank);
    }
    if (!rest.empty() && rest.back() == ';')
        rest.pop_back();
    return Trim(rest);
}

// The type without its parameters: up to a blank or a ";".
std::string TypeWord(const std::string& contentType) {
    const auto cut = contentType.find_first_of(" ;");
    return cut == std::string::npos ? contentType : contentType.substr(0, cut);
}

// Transfer encodings as the attachment stores them, plus whether the data is UUencoded
// ("x-uue" and its variants travel as UU lines inside a MIME part).
struct TTransfer {
    std::uint8_t Encoding = kEncoding7Bit;
    bool UU = false;
};

TTransfer TransferOf(const std::string& headerValue) {
    const std::string v = LowerCase(headerValue);
    if (v == "base64")
        return {kEncodingBase64, false};
    if (v.starts_with("x-uue"))
        return {kEncodingBase64, true};
    if (v == "quoted-printable")
        return {kEncodingQuotedPrintable, false};
    return {};
}

// One line of a binary part: base64, or UU inside a part that says it carries UU (its begin,
// closing "`" and "end" lines carry no data).
void DecodeBinaryLine(const TTransfer& transfer, TBase64Decoder& base64, std::string_view line, std::string& out) {
    if (!transfer.UU)
        base64.Decode(line, out);
    else if (!IsUUBeginLine(line) && line != "`" && !EqualsNoCaseView(line, "end"))
        UUDecodeLine(line, out);
}

// Where the first line of text that starts with prefix begins (text starting at a line start);
// with whole, the line must be exactly prefix. text.size() when there is none.
std::size_t FindLine(std::string_view text, std::string_view prefix, bool whole) {
    std::size_t from = 0;
    while (from < text.size()) {
        const void* hit = std::memchr(text.data() + from, prefix.front(), text.size() - from);
        if (!hit)
            break;
        const auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
        const bool lineStart = at == 0 || text[at - 1] == '\n' || text[at - 1] == '\r';
        const std::size_t after = at + prefix.size();
        if (lineStart && text.substr(at).starts_with(prefix) &&
            (!whole || after == text.size() || text[after] == '\n' || text[after] == '\r'))
            return at;
        from = at + 1;
    }
    return text.size();
}

// Decodes the base64 lines in front of the line that ends them in one go and leaves the reader
// on that line: the decoder skips line breaks itself, and a body's base64 lines never hold the
// first character of the end line ("-" of a boundary, "." of a dot line), so memchr finds it.
void DecodeBase64Run(TLineStream& reader, TBase64Decoder& decoder, std::string& out, std::string_view endLine,
                     bool whole) {
    const std::string_view rest = reader.Rest();
    const std::size_t stop = FindLine(rest, endLine, whole);
    decoder.Decode(rest.substr(0, stop), out);
    reader.Skip(stop);
}

// Reserves room for what the rest of the text may decode to, so that a large attachment is
// not copied over and over while it grows; ratio is decoded bytes per encoded byte.
void ReserveFor(std::string& data, std::size_t remaining, double ratio) {
    data.reserve(static_cast<std::size_t>(static_cast<double>(remaining) * ratio) + 64);
}

// Gives back a reservation that turned out far too large (several blocks in one text).
void Fit(std::string& data) {
    if (data.capacity() > 2 * data.size() + 4096)
        data.shrink_to_fit();
}

class TmsCustomDecoder {
public:
    TmsCustomDecoder(std::string text, TmsMessage& message, Desktop* desktop)
        : message_(message), reader_(std::move(text)), desktop_(desktop) {}
    TmsCustomDecoder(std::string_view text, std::shared_ptr<const void> keeper, TmsMessage& message,
                     Desktop* desktop)
        : message_(message), reader_(text, std::move(keeper)), desktop_(desktop) {}
    virtual ~TmsCustomDecoder() = default;
    TmsCustomDecoder(const TmsCustomDecoder&) = delete;
    TmsCustomDecoder& operator=(const TmsCustomDecoder&) = delete;

    void Parse();

protected:
    virtual void ApplyHeaders(const TmsHeaders& headers) = 0;
    TmsMessage& message_;

private:
    std::string_view Next() { return reader_.NextLine(); }
    bool Eof() const { return reader_.Eof(); }
    std::size_t Remaining() const { return reader_.Remaining(); }
    void Pump() {
        if (desktop_)
            desktop_->ProcessMessages();
    }
    void ReadHeaderBlock(TmsHeaders& headers);
    std::string MadeUpName(const char* prefix) const {
        return prefix + std::to_string(message_.Attachments.Count());
    }

    void UUBranch();
    void ExtractUU(std::string_view beginLine);
    void MimeBranch();
    void Multipart();
    bool EndOfMessage(std::string_view endLine);
    bool ReadPart();
    void WholeBody();
    void TextBody();
    void ErrorReport(const std::string& message);

    TLineStream reader_;
    Desktop* desktop_;
    TmsHeaders messageHeaders_;
    TmsHeaders partHeaders_;
    std::string boundary_;
    std::string outerBoundary_;
    bool nestedAlternative_ = false;
    bool alternative_ = false;
    TmsAddressList recipientsBefore_;
    TmsAddressList ccBefore_;
};

class TmsMessageDecoder : public TmsCustomDecoder {
public:
    using TmsCustomDecoder::TmsCustomDecoder;

protected:
    void ApplyHeaders(const TmsHeaders& headers) override { message_.ApplyHeaders(headers); }
};

void TmsCustomDecoder::Parse() {
    ReadHeaderBlock(messageHeaders_);
    recipientsBefore_ = message_.Recipients;
    ccBefore_ = message_.CC;
    ApplyHeaders(messageHeaders_);
    try {
        if (messageHeaders_.FieldValue("MIME-Version") == "1.0")
            MimeBranch();
        else
            UUBranch();
    } catch (const EMessageParserError& e) {
        ErrorReport(e.what());
    } catch (const EMessageError&) {
        // A codec refusing the text of the body itself (base64 or quoted-printable) is a fault
        // of the mail, not of the program: report it like a broken attachment.
        ErrorReport("Error decoding the attachment");
    }
}

void TmsCustomDecoder::ReadHeaderBlock(TmsHeaders& headers) {
    headers.Clear();
    for (;;) {
        std::string_view line = Next();
        if (Eof() || line.empty())
            return;
        headers.Add(std::string(line));
    }
}

void TmsCustomDecoder::ErrorReport(const std::string& message) {
    message_.Body.emplace_back("The following error has been occured while processing the message:");
    message_.Body.push_back(message);
    message_.Body.emplace_back("The original message will be stored as an attachment");
    auto item = std::make_unique<TmsAttItem>();
    item->SetFileName("original.eml");
    item->ContentType = "message/rfc822";
    item->Encoding = kEncoding7Bit;
    item->Data = std::string(reader_.Text());
    message_.Attachments.AddObject(std::move(item));
}

void TmsCustomDecoder::UUBranch() {
    for (;;) {
        std::string_view line = Next();
        if (Eof())
            return;
        if (IsUUBeginLine(line)) {
            ExtractUU(line);
            message_.Encoding = meUU;
            return;
        }
        message_.Body.emplace_back(line);
    }
}

void TmsCustomDecoder::ExtractUU(std::string_view beginLine) {
    std::string_view line = beginLine;
    for (;;) {
        auto item = std::make_unique<TmsAttItem>();
        try {
            std::string name = UUBeginFileName(line);
            if (name.empty())
                name = MadeUpName("att.");
            item->SetFileName(name);
            // 61 characters and a line break carry 45 bytes.
            ReserveFor(item->Data, Remaining(), 45.0 / 62.0);
            // Up to the closing line ("`" or "end"), which is read next; or to the end of the text.
            reader_.Skip(UUDecodeBlock(reader_.Rest(), item->Data));
            line = Next();
            Fit(item->Data);
            message_.Attachments.AddObject(std::move(item));
            // Text between blocks (signatures, the next mail's headers) is not kept.
            do {
                line = Next();
                if (Eof())
                    return;
            } while (!IsUUBeginLine(line));
        } catch (const std::exception&) {
            throw EMessageParserError("Error decoding the attachment");
        }
    }
}

void TmsCustomDecoder::MimeBranch() {
    const std::string contentType = messageHeaders_.FieldValue("Content-Type");
    const std::string lowered = LowerCase(contentType);
    if (lowered.find("multipart/alternative") != std::string::npos) {
        alternative_ = true;
        Multipart();
    } else if (lowered.find("multipart") != std::string::npos) {
        Multipart();
    } else if (!lowered.empty() && lowered.find("text/") == std::string::npos) {
        WholeBody();
    } else if (!HeaderParam(contentType, "name").empty()) {
        WholeBody();
    } else {
        TextBody();
    }
}

void TmsCustomDecoder::Multipart() {
    boundary_ = "--" + HeaderParam(messageHeaders_.FieldValue("Content-Type"), "Boundary");
    for (;;) {
        std::string_view line = Next();
        if (Eof())
            throw EMessageParserError("Cannot find boundary");
        if (line == boundary_)
            break;
    }
    ReadHeaderBlock(partHeaders_);
    const std::string partType = partHeaders_.FieldValue("Content-Type");
    if (LowerCase(partType).find("multipart/alternative") != std::string::npos) {
        outerBoundary_ = boundary_;
        nestedAlternative_ = true;
        boundary_ = "--" + HeaderParam(partType, "boundary");
        for (;;) {
            std::string_view line = Next();
            if (Eof())
                throw EMessageParserError("Cannot find boundary");
            if (line.substr(0, kMaxShortText) == boundary_)
                break;
        }
        ReadHeaderBlock(partHeaders_);
    }

    // The first part is the message's text, unless it is base64: then it is the first
    // attachment and its headers are already read.
    bool headersRead = false;
    const std::string transfer = LowerCase(partHeaders_.FieldValue("Content-Transfer-Encoding"));
    if (transfer == "base64") {
        partHeaders_.Add("Content-Transfer-Encoding: Base64");
        headersRead = true;
    } else {
        message_.Body.clear();
        const bool quoted = transfer == "quoted-printable";
        if (quoted)
            message_.CharSet = csISO8859;
        const std::string closing = boundary_ + "--";
        std::string_view endLine;
        for (;;) {
            std::string_view line = Next();
            if (Eof())
                throw EMessageParserError("Cannot find boundary");
            if (line == boundary_ || line == closing) {
                endLine = line;
                break;
            }
            message_.Body.emplace_back(line);
        }
        if (message_.Body.empty())
            message_.Body.emplace_back();
        if (quoted)
            message_.Body = SplitIntoLines(TQuotedPrintable::Decode(message_.Body));
        // A message whose only part is its text closes right after it.
        if (endLine == closing && EndOfMessage(endLine))
            return;
    }

    for (;;) {
        if (!headersRead)
            ReadHeaderBlock(partHeaders_);
        headersRead = false;
        const bool closing = ReadPart();
        Pump();
        if (closing && EndOfMessage(""))
            return;
    }
}

// At the close of a boundary: true when the message ends here; after a nested alternative part
// the outer parts go on.
bool TmsCustomDecoder::EndOfMessage(std::string_view) {
    if (!nestedAlternative_)
        return true;
    nestedAlternative_ = false;
    boundary_ = outerBoundary_;
    for (;;) {
        std::string_view line = Next();
        if (Eof())
            throw EMessageParserError("Cannot find closing boundary");
        if (line.starts_with(boundary_))
            // The alternative part may have been the last one.
            return line == boundary_ + "--";
    }
}

bool TmsCustomDecoder::ReadPart() {
    auto item = std::make_unique<TmsAttItem>();
    bool closing = false;
    try {
        std::string contentType = partHeaders_.FieldValue("Content-Type").substr(0, kMaxShortText);
        if (contentType.empty())
            contentType = "text/plain";
        const TTransfer transfer = TransferOf(partHeaders_.FieldValue("Content-Transfer-Encoding"));
        std::string name = SafeFileName(HeaderParam(contentType, "name"));
        if (name.empty())
            name = SafeFileName(HeaderParam(partHeaders_.FieldValue("Content-Disposition"), "filename"));
        const bool madeUp = name.empty();
        if (madeUp)
            name = MadeUpName(nestedAlternative_ || alternative_ ? "_alt." : "att.");
        item->SetFileName(name);
        if (madeUp)
            item->ContentType = TypeWord(contentType);
        item->Encoding = transfer.Encoding;

        const std::string closingLine = boundary_ + "--";
        std::vector<std::string> quoted;
        TBase64Decoder base64;
        bool endedByBoundary = false;
        if (transfer.Encoding == kEncodingBase64 && !transfer.UU) {
            ReserveFor(item->Data, Remaining(), 0.75);
            DecodeBase64Run(reader_, base64, item->Data, boundary_, false);
        }
        for (;;) {
            std::string_view line = Next();
            if (Eof()) {
                closing = true;
                break;
            }
            if (line.starts_with(boundary_)) {
                closing = line == closingLine;
                endedByBoundary = true;
                break;
            }
            switch (transfer.Encoding) {
            case kEncodingBase64:
                if (line.empty())
                    break;
                DecodeBinaryLine(transfer, base64, line, item->Data);
                break;
            case kEncodingQuotedPrintable:
                quoted.emplace_back(line);
                break;
            default:
                item->Data += line;
                item->Data += "\r\n";
            }
        }
        if (transfer.Encoding == kEncodingBase64 && !transfer.UU)
            base64.Finish(item->Data);
        if (transfer.Encoding == kEncodingQuotedPrintable)
            item->Data = TQuotedPrintable::Decode(quoted);
        // The line break in front of a boundary belongs to the boundary, not to the part;
        // keeping it would add CR LF to every text attachment.
        if (endedByBoundary && transfer.Encoding != kEncodingBase64 && item->Data.ends_with("\r\n"))
            item->Data.resize(item->Data.size() - 2);
        Fit(item->Data);
        message_.Attachments.AddObject(std::move(item));
    } catch (const EMessageParserError&) {
        throw;
    } catch (const std::exception&) {
        throw EMessageParserError("Error decoding the attachment");
    }
    return closing;
}

void TmsCustomDecoder::WholeBody() {
    const std::string contentType = messageHeaders_.FieldValue("Content-Type");
    if (contentType.empty())
        throw EMessageParserError("Missing required field: Content-Type");
    auto item = std::make_unique<TmsAttItem>();
    try {
        std::string name = SafeFileName(HeaderParam(contentType, "name"));
        if (name.empty())
            name = SafeFileName(HeaderParam(messageHeaders_.FieldValue("Content-Disposition"), "filename"));
        if (name.empty())
            name = MadeUpName("att.");
        item->SetFileName(name);
        item->ContentType = TypeWord(contentType).substr(0, kMaxShortText);
        const TTransfer transfer = TransferOf(messageHeaders_.FieldValue("Content-Transfer-Encoding"));
        item->Encoding = transfer.Encoding;
        if (transfer.Encoding == kEncodingBase64) {
            TBase64Decoder base64;
            if (!transfer.UU) {
                ReserveFor(item->Data, Remaining(), 0.75);
                DecodeBase64Run(reader_, base64, item->Data, ".", true);
            }
            for (;;) {
                std::string_view line = Next();
                if (Eof() || line == ".")
                    break;
                if (line.empty())
                    continue;
                DecodeBinaryLine(transfer, base64, line, item->Data);
            }
            if (!transfer.UU)
                base64.Finish(item->Data);
        } else if (transfer.Encoding == kEncodingQuotedPrintable) {
            std::vector<std::string> quoted;
            for (;;) {
                std::string_view line = Next();
                if (Eof())
                    break;
                quoted.emplace_back(line);
            }
            item->Data = TQuotedPrintable::Decode(quoted);
        } else {
            for (;;) {
                std::string_view line = Next();
                if (Eof())
                    break;
                item->Data += line;
                item->Data += "\r\n";
            }
        }
        Fit(item->Data);
        message_.Attachments.AddObject(std::move(item));
    } catch (const EMessageParserError&) {
        throw;
    } catch (const std::exception&) {
        throw EMessageParserError("Error decoding the attachment");
    }
}

void TmsCustomDecoder::TextBody() {
    const std::string contentType = messageHeaders_.FieldValue("Content-Type");
    const std::string type = LowerCase(TypeWord(contentType));
    if (type == "text/html" || type == "text/rtf")
        message_.SetContentType(type);
    message_.Body.clear();
    const std::string transfer = LowerCase(messageHeaders_.FieldValue("Content-Transfer-Encoding"));
    if (transfer == "quoted-printable")
        message_.CharSet = csISO8859;
    if (transfer == "base64") {
        TBase64Decoder base64;
        std::string text;
        for (;;) {
            std::string_view line = Next();
            if (Eof())
                break;
            base64.Decode(line, text);
        }
        base64.Finish(text);
        message_.Body = SplitIntoLines(text);
        return;
    }
    for (;;) {
        std::string_view line = Next();
        if (Eof())
            break;
        message_.Body.emplace_back(line);
        if (IsUUBeginLine(line)) {
            // A plain-text mail that carries a UU block is read as a UU mail from the start.
            reader_.Restart();
            message_.Body.clear();
            ReadHeaderBlock(messageHeaders_);
            // Applying the headers again must not list every recipient twice.
            message_.Recipients = recipientsBefore_;
            message_.CC = ccBefore_;
            ApplyHeaders(messageHeaders_);
            UUBranch();
            return;
        }
    }
    if (transfer == "quoted-printable")
        message_.Body = SplitIntoLines(TQuotedPrintable::Decode(message_.Body));
}

} // namespace

bool IsUUBeginLine(std::string_view line) {
    if (line.size() <= 8 || !EqualsNoCaseView(line.substr(0, 5), "BEGIN"))
        return false;
    const std::string_view mode = TrimView(line.substr(5));
    if (mode.size() < 3)
        return false;
    for (std::size_t i = 0; i < 3; ++i)
        if (mode[i] < '0' || mode[i] > '9')
            return false;
    return true;
}

std::string UUBeginFileName(std::string_view line) {
    // The word, a blank, a three-digit mode and a blank.
    if (line.size() <= 10)
        return {};
    std::string_view rest = line.substr(10);
    std::string_view name;
    if (rest.front() == '"') {
        const auto close = rest.find('"', 1);
        if (close != std::string_view::npos)
            name = rest.substr(1, close - 1);
    } else {
        name = rest.substr(0, rest.find(' '));
    }
    return SafeFileName(name.substr(0, kMaxShortText));
}

void ParseMessage(TmsMessage& message, std::string text, Desktop* desktop) {
    TmsMessageDecoder decoder(std::move(text), message, desktop);
    decoder.Parse();
}

void LoadMessageFromStream(TmsMessage& message, std::istream& source, Desktop* desktop) {
    std::string text{std::istreambuf_iterator<char>(source), std::istreambuf_iterator<char>()};
    if (source.bad())
        throw EInOutError("Cannot read the message");
    ParseMessage(message, std::move(text), desktop);
}

void LoadMessageFromFile(TmsMessage& message, const std::string& path, Desktop* desktop) {
    message.Clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw EInOutError("Cannot open " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
        ::close(fd);
        ParseMessage(message, ReadFileString(path), desktop);
        return;
    }
    // Mapping the file spares a copy of the whole text in memory; the parser only reads it.
    const auto size = static_cast<std::size_t>(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        ParseMessage(message, ReadFileString(path), desktop);
        return;
    }
    ::madvise(map, size, MADV_SEQUENTIAL);
    std::shared_ptr<const void> keeper(map, [size](const void* p) { ::munmap(const_cast<void*>(p), size); });
    TmsMessageDecoder decoder(std::string_view(static_cast<const char*>(map), size), std::move(keeper), message,
                              desktop);
    decoder.Parse();
}

} // namespace ostrel
