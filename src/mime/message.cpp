#include "mime/message.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>

#include "mime/base64.h"
#include "mime/encoder.h"
#include "mime/quoted_printable.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/text.h"

namespace ostrel {

namespace {

// Longest header line SMTP lets through, without its CR LF.
constexpr std::size_t kMaxHeaderLine = 998;

std::string Cut(const std::string& text) { return CutAtCharacter(text, kMaxShortText); }

std::string WithColon(const std::string& name) {
    return !name.empty() && name.back() == ':' ? name : name + ":";
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool BeginsWithBlank(const std::string& line) { return !line.empty() && IsBlank(line.front()); }

// Lines that belong to the header line before them.
bool IsContinuation(const std::string& line) {
    return BeginsWithBlank(line) || line.find(':') == std::string::npos;
}

// Everything after the first colon, trimmed: a value need not be preceded by a blank.
std::string AfterColon(const std::string& line) {
    const auto colon = line.find(':');
    return colon == std::string::npos ? std::string() : Trim(line.substr(colon + 1));
}

std::string Unquote(const std::string& text) {
    std::string s = Trim(text);
    std::size_t first = 0;
    std::size_t last = s.size();
    while (first < last && s[first] == '"')
        ++first;
    while (last > first && s[last - 1] == '"')
        --last;
    return s.substr(first, last - first);
}

// Splits at commas outside double quotes.
std::vector<std::string> SplitItems(const std::string& text) {
    std::vector<std::string> items;
    std::string current;
    bool quoted = false;
    for (char c : text) {
        if (c == '"')
            quoted = !quoted;
        if (c == ',' && !quoted) {
            items.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    items.push_back(current);
    return items;
}

bool HasLineBreakOrNul(const std::string& text) { return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

void CheckText(const std::string& text, const char* field, std::size_t limit = kMaxShortText) {
    if (HasLineBreakOrNul(text))
        throw EMessageError(std::string("Invalid character in ") + field);
    if (text.size() > limit)
        throw EMessageError(std::string("Text too long in ") + field);
}

void CheckAddress(const TmsMailAddress& address, const char* field) {
    CheckText(address.Name, field);
    CheckText(address.Address, field);
    // Angle brackets in the address itself would end the "<...>" it is written in.
    if (address.Address.find_first_of("<>") != std::string::npos)
        throw EMessageError(std::string("Invalid character in ") + field);
}

// Types the program must know even on a system without a MIME table.
const std::map<std::string, std::string>& BuiltInTypes() {
    static const std::map<std::string, std::string> table = {
        {"txt", "text/plain"},       {"htm", "text/html"},
        {"html", "text/html"},       {"rtf", "text/rtf"},
        {"css", "text/css"},         {"csv", "text/csv"},
        {"xml", "text/xml"},         {"eml", "message/rfc822"},
        {"gif", "image/gif"},        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},      {"png", "image/png"},
        {"bmp", "image/bmp"},        {"ico", "image/x-icon"},
        {"tif", "image/tiff"},       {"tiff", "image/tiff"},
        {"zip", "application/zip"},  {"gz", "application/gzip"},
        {"pdf", "application/pdf"},  {"ps", "application/postscript"},
        {"doc", "application/msword"}, {"xls", "application/vnd.ms-excel"},
        {"exe", "application/x-msdos-program"}, {"tar", "application/x-tar"},
        {"mp3", "audio/mpeg"},       {"wav", "audio/x-wav"},
        {"mpg", "video/mpeg"},       {"avi", "video/x-msvideo"},
    };
    return table;
}

std::map<std::string, std::string> ReadMimeTypes(const std::string& path) {
    std::map<std::string, std::string> table;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string type;
        std::string ext;
        if (!(words >> type))
            continue;
        while (words >> ext)
            table.emplace(LowerCase(ext), type);
    }
    return table;
}

const std::map<std::string, std::string>& SystemTypes() {
    static const std::map<std::string, std::string> table = ReadMimeTypes("/etc/mime.types");
    return table;
}

} // namespace

const char* EncodingName(std::uint8_t encoding) {
    switch (encoding) {
    case kEncodingBase64:
        return "Base64";
    case kEncodingQuotedPrintable:
        return "Quoted-Printable";
    default:
        return "7 bit";
    }
}

void TmsMailAddress::Clear() {
    Name.clear();
    Address.clear();
}

bool operator==(const TmsMailAddress& a, const TmsMailAddress& b) {
    return a.Name == b.Name && a.Address == b.Address;
}

TmsMailAddress ParseMailAddress(const std::string& text) {
    TmsMailAddress result;
    const auto lt = text.find('<');
    if (lt != std::string::npos) {
        const auto gt = text.find('>', lt);
        if (gt == std::string::npos) {
            result.Name = Unquote(text);
        } else {
            result.Address = Unquote(text.substr(lt + 1, gt - lt - 1));
            result.Name = Unquote(text.substr(0, lt) + text.substr(gt + 1));
        }
    } else if (const auto paren = text.find('('); paren != std::string::npos) {
        result.Address = Unquote(text.substr(0, paren));
        // The closing parenthesis is the text's last character.
        const std::size_t from = paren + 1;
        const std::size_t to = text.size() - 1;
        result.Name = to > from ? Unquote(text.substr(from, to - from)) : std::string();
    } else {
        result.Address = text;
    }
    result.Name = Cut(result.Name);
    result.Address = Cut(result.Address);
    return result;
}

TmsMailAddress& TmsAddressList::AddObject(std::unique_ptr<TmsMailAddress> item) {
    items_.push_back(item ? std::move(*item) : TmsMailAddress());
    return items_.back();
}

TmsMailAddress& TmsAddressList::Add(const std::string& address, const std::string& name) {
    items_.emplace_back(Cut(address), Cut(name));
    return items_.back();
}

std::string ContentTypeOfFile(const std::string& fileName) {
    const auto dot = fileName.find_last_of('.');
    if (dot == std::string::npos || dot + 1 == fileName.size())
        return "application/octet-stream";
    const std::string ext = LowerCase(fileName.substr(dot + 1));
    const auto& system = SystemTypes();
    if (auto it = system.find(ext); it != system.end())
        return it->second;
    const auto& builtIn = BuiltInTypes();
    if (auto it = builtIn.find(ext); it != builtIn.end())
        return it->second;
    return "application/octet-stream";
}

std::uint8_t EncodingOfContentType(const std::string& contentType) {
    if (EqualsNoCase(contentType, "text/plain") || EqualsNoCase(contentType, "text/rtf") ||
        EqualsNoCase(contentType, "text/html"))
        return kEncodingQuotedPrintable;
    if (EqualsNoCase(contentType, "message/rfc822"))
        return kEncoding7Bit;
    return kEncodingBase64;
}

void TmsAttItem::SetFileName(const std::string& name) {
    fileName_ = Cut(name);
    if (fileName_.empty())
        return;
    ContentType = Cut(ContentTypeOfFile(fileName_));
    Encoding = EncodingOfContentType(ContentType);
}

TmsAttItem& TmsAttList::AddObject(std::unique_ptr<TmsAttItem> item) {
    items_.push_back(item ? std::move(*item) : TmsAttItem());
    return items_.back();
}

TmsAttItem& TmsAttList::Add() {
    items_.emplace_back();
    return items_.back();
}

std::string TmsHeaders::FieldValue(const std::string& name) const {
    const std::string key = WithColon(name);
    for (std::size_t i = 0; i < Lines.size(); ++i) {
        if (!StartsWithNoCase(Lines[i], key))
            continue;
        std::string value = AfterColon(Lines[i]);
        for (std::size_t j = i + 1; j < Lines.size() && IsContinuation(Lines[j]); ++j)
            value += " " + Trim(Lines[j]);
        value = Trim(value);
        if (EqualsNoCase(key, "Content-Type:") || EqualsNoCase(key, "X-UIDL:"))
            return value;
        return Cut(DecodeEncodedWords(value));
    }
    return {};
}

std::vector<std::string> TmsHeaders::FieldItems(const std::string& name) const {
    const std::string key = WithColon(name);
    std::vector<std::string> result;
    for (std::size_t i = 0; i < Lines.size(); ++i) {
        if (!StartsWithNoCase(Lines[i], key))
            continue;
        // The whole header is joined before splitting, so that a quoted name broken over two
        // lines stays one item.
        std::string text = AfterColon(Lines[i]);
        std::size_t j = i + 1;
        for (; j < Lines.size() && IsContinuation(Lines[j]); ++j)
            text += " " + Trim(Lines[j]);
        for (const auto& piece : SplitItems(text)) {
            const std::string item = Trim(piece);
            if (!item.empty())
                result.push_back(DecodeEncodedWords(item));
        }
        i = j - 1;
    }
    return result;
}

bool TmsHeaders::RemoveField(const std::string& name) {
    const std::string key = WithColon(name);
    for (std::size_t i = 0; i < Lines.size(); ++i) {
        if (!StartsWithNoCase(Lines[i], key))
            continue;
        std::size_t j = i + 1;
        while (j < Lines.size() && BeginsWithBlank(Lines[j]))
            ++j;
        Lines.erase(Lines.begin() + static_cast<std::ptrdiff_t>(i), Lines.begin() + static_cast<std::ptrdiff_t>(j));
        return true;
    }
    return false;
}

std::string DecodeEncodedWords(const std::string& value) {
    std::string v = value;
    std::size_t from = 0;
    for (;;) {
        const std::size_t start = v.find("=?", from);
        if (start == std::string::npos)
            break;
        const std::size_t q1 = v.find('?', start + 2);
        if (q1 == std::string::npos || q1 + 2 >= v.size() || v[q1 + 2] != '?')
            break;
        const char letter = v[q1 + 1];
        const std::size_t close = v.find("?=", q1 + 3);
        if (close == std::string::npos)
            break;
        std::string text = v.substr(q1 + 3, close - q1 - 3);
        std::string decoded;
        if (letter == 'B' || letter == 'b') {
            try {
                decoded = Base64Decode(text, true);
            } catch (const EMessageError&) {
                // A word that is not base64 is shown as it came rather than failing the whole mail.
                break;
            }
        } else if (letter == 'Q' || letter == 'q') {
            // The underscore stands for a blank only inside Q text; elsewhere it is itself.
            std::replace(text.begin(), text.end(), '_', ' ');
            decoded = QuotedPrintableDecodeLine(text);
        } else {
            break;
        }
        std::string after = v.substr(close + 2);
        // White space between two encoded words only folds the line; before other text it is text.
        const std::size_t next = after.find_first_not_of(" \t\r\n");
        if (next != std::string::npos && after.compare(next, 2, "=?") == 0)
            after.erase(0, next);
        v = v.substr(0, start) + decoded + after;
        // Decoded text is never decoded again, so no input can make this loop forever.
        from = start + decoded.size();
    }
    return v;
}

std::string EncodeHeaderText(const std::string& value) {
    const bool plain = std::all_of(value.begin(), value.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c >= 32 && c < 127;
    });
    if (plain)
        return value;
    const bool utf8 = IsValidUtf8(value);
    const std::string prefix = utf8 ? "=?utf-8?B?" : "=?iso-8859-1?B?";
    // 45 bytes make 60 base64 characters: with the frame every word stays within 75.
    constexpr std::size_t kChunk = 45;
    std::string result;
    std::size_t pos = 0;
    while (pos < value.size()) {
        std::size_t n = std::min(kChunk, value.size() - pos);
        // A word must hold whole characters: never end it inside a UTF-8 sequence.
        if (utf8)
            while (n > 1 && pos + n < value.size() && (static_cast<unsigned char>(value[pos + n]) & 0xC0) == 0x80)
                --n;
        if (!result.empty())
            result += "\r\n ";
        result += prefix + Base64Encode(std::string_view(value).substr(pos, n)) + "?=";
        pos += n;
    }
    return result;
}

std::string TmsCustomMessage::ContentType() const {
    if (Encoding == meUU) {
        contentType_.clear();
        return {};
    }
    const std::size_t count = Attachments.Count();
    std::string type;
    const auto lowerName = [this](std::size_t i) { return LowerCase(Attachments[i].FileName()); };
    const bool allAlternative = count > 0 && std::all_of(Attachments.begin(), Attachments.end(), [](const TmsAttItem& a) {
                                    return LowerCase(a.FileName()).rfind("_alt.", 0) == 0;
                                });
    if (allAlternative) {
        type = "multipart/alternative";
    } else if (count == 1 && Body.empty() && lowerName(0) == "_rtfbody.rtf") {
        type = "text/rtf";
    } else if (count == 1 && Body.empty() && lowerName(0) == "_htmbody.htm") {
        type = "text/html";
    } else if (Body.empty()) {
        type = count == 1 ? Attachments[0].ContentType : count == 0 ? "text/plain" : "multipart/mixed";
    } else if (count > 0) {
        type = "multipart/mixed";
    } else {
        type = contentType_.empty() ? "text/plain" : contentType_;
    }
    contentType_ = type;
    return type;
}

void TmsCustomMessage::SetContentType(const std::string& contentType) { contentType_ = LowerCase(Cut(contentType)); }

void TmsCustomMessage::SetAttachments(const TmsAttList& attachments) {
    Attachments.Assign(attachments);
    contentType_ = Attachments.Empty() ? "text/plain" : "multipart/mixed";
}

void TmsCustomMessage::Validate() const {
    if (Sender.Address.empty())
        throw EMessageError("The address of sender is required");
    CheckHeaderFields();
}

void TmsCustomMessage::Clear() {
    Body.clear();
    Attachments.Clear();
    Sender.Clear();
    Headers.Clear();
    Subject.clear();
    Encoding = meMIME;
    CharSet = csUSASCII;
    contentType_.clear();
}

void TmsCustomMessage::CheckHeaderFields() const {
    CheckAddress(Sender, "Sender");
    CheckText(Subject, "Subject");
    for (const auto& line : Headers.Lines)
        CheckText(line, "Headers", kMaxHeaderLine);
    for (const auto& att : Attachments) {
        CheckText(att.FileName(), "Attachments");
        // The name is written between double quotes.
        if (att.FileName().find('"') != std::string::npos)
            throw EMessageError("Invalid character in Attachments");
        CheckText(att.ContentType, "Attachments");
    }
}

void TmsCustomMessage::SaveAttachment(std::size_t index, const std::string& directory) const {
    const TmsAttItem& att = Attachments.Items(index);
    const std::string& name = att.FileName();
    // Only a plain name may come from a mail: nothing may land outside the chosen folder.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
        throw EMessageError("Invalid attachment file name: " + name);
    std::string path = directory;
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += name;
    WriteFileAtomic(path, att.Data);
}

void TmsCustomMessage::AssignCustom(const TmsCustomMessage& source) {
    Attachments.Assign(source.Attachments);
    Encoding = source.Encoding;
    Sender = source.Sender;
    Subject = source.Subject;
    CharSet = source.CharSet;
    Headers = source.Headers;
    Body = source.Body;
    contentType_ = source.ContentType();
}

void TmsMessage::Validate() const {
    if (Sender.Address.empty())
        throw EMessageError("The address of sender is required");
    const auto hasAddress = [](const TmsAddressList& list) {
        return std::any_of(list.begin(), list.end(), [](const TmsMailAddress& a) { return !a.Address.empty(); });
    };
    if (!hasAddress(Recipients) && !hasAddress(CC) && !hasAddress(BCC))
        throw EMessageError("At least one Recipient, CC or BCC must be entered");
    CheckHeaderFields();
}

void TmsMessage::CheckHeaderFields() const {
    TmsCustomMessage::CheckHeaderFields();
    for (const auto& a : Recipients)
        CheckAddress(a, "Recipients");
    for (const auto& a : CC)
        CheckAddress(a, "CC");
    // Never written into a header, but sent as a command all the same.
    for (const auto& a : BCC)
        CheckAddress(a, "BCC");
}

void TmsMessage::SaveToStream(std::ostream& target) { EncodeMessage(*this, target); }

void TmsMessage::Clear() {
    TmsCustomMessage::Clear();
    CC.Clear();
    BCC.Clear();
    Recipients.Clear();
    // A loaded mail's priority or receipt request must not ride along on the next mail sent
    // from the same object.
    Priority = ptNormal;
    ReturnReceipt = false;
}

void TmsMessage::ApplyHeaders(const TmsHeaders& headers) {
    Sender = ParseMailAddress(headers.FieldValue("FROM"));
    for (const auto& item : headers.FieldItems("TO")) {
        const TmsMailAddress a = ParseMailAddress(item);
        Recipients.Add(a.Address, a.Name);
    }
    for (const auto& item : headers.FieldItems("CC")) {
        const TmsMailAddress a = ParseMailAddress(item);
        CC.Add(a.Address, a.Name);
    }
    if (const std::string subject = headers.FieldValue("Subject"); !subject.empty())
        Subject = Cut(subject);
    const std::string priority = headers.FieldValue("X-Priority");
    Priority = priority == "1" ? ptHigh : priority == "5" ? ptLow : ptNormal;
    ReturnReceipt = !headers.FieldValue("Return-receipt-to").empty();
    Headers = headers;
}

void TmsMessage::Assign(const TmsMessage& source) {
    AssignCustom(source);
    Recipients.Assign(source.Recipients);
    CC.Assign(source.CC);
    BCC.Assign(source.BCC);
    Priority = source.Priority;
    ReturnReceipt = source.ReturnReceipt;
}

} // namespace ostrel
