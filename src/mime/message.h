#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <deque>
#include <vector>

namespace ostrel {

// Short texts of the mail classes (names, addresses, subjects, file names, types) are limited
// to this many bytes wherever the model cuts them.
inline constexpr std::size_t kMaxShortText = 255;

// How attachments travel: as MIME parts, or as UUencoded blocks inside a plain body.
enum TMsgEncoding { meMIME, meUU };
// Character set of the body.
enum TCharSet { csUSASCII, csISO8859 };
enum TPriority { ptLow, ptNormal, ptHigh };

// Transfer encodings of an attachment; the numbers are stored, the names are written into
// "Content-Transfer-Encoding: " headers.
enum : std::uint8_t { kEncoding7Bit = 0, kEncodingBase64 = 1, kEncodingQuotedPrintable = 2 };
// "7 bit", "Base64" or "Quoted-Printable"; "7 bit" for an unknown number.
const char* EncodingName(std::uint8_t encoding);

class TmsMailAddress {
public:
    TmsMailAddress() = default;
    TmsMailAddress(std::string address, std::string name) : Name(std::move(name)), Address(std::move(address)) {}

    void Assign(const TmsMailAddress& source) { *this = source; }
    void Clear();

    // Display name, may be empty.
    std::string Name;
    // The address proper, without angle brackets.
    std::string Address;
};

bool operator==(const TmsMailAddress& a, const TmsMailAddress& b);

// One address text of a header ("Name <a@b>", "a@b (Name)", "a@b") split into its parts.
// A "<" without a ">" gives an empty address and the whole text as the name; never raises.
TmsMailAddress ParseMailAddress(const std::string& text);

// An ordered list that owns its addresses; copying copies the entries. A reference to an
// entry stays valid while entries are appended.
class TmsAddressList {
public:
    TmsMailAddress& Items(std::size_t index) { return items_.at(index); }
    const TmsMailAddress& Items(std::size_t index) const { return items_.at(index); }
    TmsMailAddress& operator[](std::size_t index) { return items_.at(index); }
    const TmsMailAddress& operator[](std::size_t index) const { return items_.at(index); }
    std::size_t Count() const { return items_.size(); }
    bool Empty() const { return items_.empty(); }

    // Takes the object over.
    TmsMailAddress& AddObject(std::unique_ptr<TmsMailAddress> item);
    // Appends a new entry; each text is cut to kMaxShortText bytes.
    TmsMailAddress& Add(const std::string& address, const std::string& name);
    void Clear() { items_.clear(); }
    void Assign(const TmsAddressList& source) { items_ = source.items_; }

    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }
    auto begin() { return items_.begin(); }
    auto end() { return items_.end(); }

private:
    std::deque<TmsMailAddress> items_;
};

// One attachment: its decoded bytes and how it is described in a mail.
class TmsAttItem {
public:
    // The attachment's decoded bytes.
    std::string Data;
    // MIME type, e.g. "application/octet-stream".
    std::string ContentType;
    // kEncoding7Bit, kEncodingBase64 or kEncodingQuotedPrintable.
    std::uint8_t Encoding = kEncoding7Bit;

    const std::string& FileName() const { return fileName_; }
    // Sets the name (cut to kMaxShortText bytes). A non-empty name also sets ContentType from
    // the name's extension and Encoding from that type; an empty one only clears the name.
    void SetFileName(const std::string& name);

    void Assign(const TmsAttItem& source) { *this = source; }

private:
    std::string fileName_;
};

// The MIME type registered for a file name's extension: /etc/mime.types when the system has it,
// else a built-in table; "application/octet-stream" when neither knows the extension.
std::string ContentTypeOfFile(const std::string& fileName);
// The transfer encoding that suits a content type (compared without regard to case):
// quoted-printable for text/plain, text/rtf and text/html, 7 bit for message/rfc822, else base64.
std::uint8_t EncodingOfContentType(const std::string& contentType);

class TmsAttList {
public:
    TmsAttItem& Items(std::size_t index) { return items_.at(index); }
    const TmsAttItem& Items(std::size_t index) const { return items_.at(index); }
    TmsAttItem& operator[](std::size_t index) { return items_.at(index); }
    const TmsAttItem& operator[](std::size_t index) const { return items_.at(index); }
    std::size_t Count() const { return items_.size(); }
    bool Empty() const { return items_.empty(); }

    TmsAttItem& AddObject(std::unique_ptr<TmsAttItem> item);
    // Appends an empty attachment and returns it for filling.
    TmsAttItem& Add();
    void Clear() { items_.clear(); }
    void Assign(const TmsAttList& source) { items_ = source.items_; }

    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }
    auto begin() { return items_.begin(); }
    auto end() { return items_.end(); }

private:
    std::deque<TmsAttItem> items_;
};

// Raw header lines ("Name: value"); a line that begins with a blank or a tab continues the one
// before it. Header names are compared without regard to case, and a ":" is added to a name
// that does not end in one.
class TmsHeaders {
public:
    std::vector<std::string> Lines;

    std::size_t Count() const { return Lines.size(); }
    const std::string& operator[](std::size_t index) const { return Lines.at(index); }
    void Add(const std::string& line) { Lines.push_back(line); }
    void Clear() { Lines.clear(); }

    // Value of the first line of that name, with its continuation lines joined by one blank;
    // encoded words are decoded (cut to kMaxShortText), except for Content-Type and X-UIDL.
    // Empty when there is no such line.
    std::string FieldValue(const std::string& name) const;
    // The comma-separated items of every line of that name (commas inside double quotes do not
    // split), each trimmed and with its encoded words decoded.
    std::vector<std::string> FieldItems(const std::string& name) const;
    // Removes the first line of that name and its continuation lines; true when one was found.
    bool RemoveField(const std::string& name);
};

// Decodes the encoded words ("=?charset?B?...?=", "=?charset?Q?...?=") of a header value; the
// bytes are kept as they are (no character-set conversion). A malformed word stays as written.
std::string DecodeEncodedWords(const std::string& value);
// The value as one or more encoded words when it holds a byte outside printable ASCII, folded
// with CR LF and a blank between words so that no header line grows long; else unchanged.
// The charset named is "utf-8" for valid UTF-8 and "iso-8859-1" otherwise.
std::string EncodeHeaderText(const std::string& value);

// What a message holds in common, whatever it is sent or read as.
class TmsCustomMessage {
public:
    TmsCustomMessage() = default;
    virtual ~TmsCustomMessage() = default;
    TmsCustomMessage(const TmsCustomMessage&) = default;
    TmsCustomMessage& operator=(const TmsCustomMessage&) = default;

    TmsAttList Attachments;
    TMsgEncoding Encoding = meMIME;
    TmsMailAddress Sender;
    std::string Subject;
    TCharSet CharSet = csUSASCII;
    // Additional header lines to send; after loading, every header line of the loaded text.
    TmsHeaders Headers;
    // One entry per line, without line ends. An entry may itself hold CR LF line breaks
    // (composed request bodies do); they are sent as line breaks.
    std::vector<std::string> Body;

    // The MIME type of the whole message, computed from the body and the attachments (and
    // remembered): empty for meUU; "multipart/alternative" when every attachment is an "_alt."
    // one; a lone "_rtfbody.rtf"/"_htmbody.htm" without body gives "text/rtf"/"text/html"; then
    // the single attachment's type, "multipart/mixed", or the stored value ("text/plain" when
    // none).
    std::string ContentType() const;
    // Stores the type in lower case.
    void SetContentType(const std::string& contentType);
    // Replaces the attachments; the stored type becomes "text/plain" for none, else
    // "multipart/mixed".
    void SetAttachments(const TmsAttList& attachments);

    // Raises EMessageError when the message cannot be sent: no sender address, or a field that
    // would break the header block (CR, LF or NUL, an over-long text).
    virtual void Validate() const;
    // Writes the message as mail text (header block, empty line, body; CR LF line ends).
    virtual void SaveToStream(std::ostream& target) = 0;
    virtual void Clear();
    // Fills the fields from a parsed header block.
    virtual void ApplyHeaders(const TmsHeaders& headers) = 0;

    // Writes the data of the attachment at index into directory (a "/" is added unless the
    // directory is empty or ends in one) under the attachment's file name, replacing an
    // existing file. Raises EInOutError when it cannot be written and EMessageError for a file
    // name that is not a plain name (empty, ".", "..", or holding a "/" or NUL).
    void SaveAttachment(std::size_t index, const std::string& directory) const;

    // Raises EMessageError naming the field when the sender, the subject, an attachment name or
    // an additional header line holds CR, LF or NUL, or a text is longer than the header block
    // allows. Anything that writes the header block calls it first.
    virtual void CheckHeaderFields() const;

protected:
    void AssignCustom(const TmsCustomMessage& source);

private:
    mutable std::string contentType_ = "text/plain";
};

// A mail: the custom message plus its recipients, priority and receipt request.
// Loading a message from text is the parser's job (mail/parser.h), which fills it through
// ApplyHeaders, Body and Attachments.
class TmsMessage : public TmsCustomMessage {
public:
    TmsMessage() = default;
    TmsMessage(const TmsMessage& source) : TmsCustomMessage() { Assign(source); }
    TmsMessage& operator=(const TmsMessage& source) {
        if (this != &source)
            Assign(source);
        return *this;
    }

    TmsAddressList Recipients;
    bool ReturnReceipt = false;
    TPriority Priority = ptNormal;
    TmsAddressList CC;
    // Receive the mail but never appear in a header.
    TmsAddressList BCC;

    // Also requires at least one recipient, CC or BCC with a non-empty address.
    void Validate() const override;
    // The encoder's text of the message (mail/encoder.h).
    void SaveToStream(std::ostream& target) override;
    void Clear() override;
    void ApplyHeaders(const TmsHeaders& headers) override;
    void CheckHeaderFields() const override;

    // Copies every field, the computed content type included.
    void Assign(const TmsMessage& source);
};

} // namespace ostrel
