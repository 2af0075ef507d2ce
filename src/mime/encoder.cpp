#include "mime/encoder.h"

#include <algorithm>
#include <ostream>
#include <random>
#include <sstream>

#include "mime/base64.h"
#include "mime/message.h"
#include "mime/quoted_printable.h"
#include "mime/uucode.h"
#include "util/error.h"
#include "util/text.h"

namespace ostrel {

namespace {

// Body lines this long are carried quoted-printable, so that no line of the mail grows beyond
// what every relay accepts.
constexpr std::size_t kLongLine = 256;

// RFC 5322 specials (the period among them) that would split a bare display name.
bool NeedsQuotes(const std::string& name) {
    return name.find_first_of(".,;:<>@()[]\\") != std::string::npos && name.find('"') == std::string::npos;
}

bool IsPlainAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c >= 32 && c < 127;
    });
}

bool HasEightBitBytes(const std::string& line) {
    return std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) >= 128; });
}

// Bytes that a "7bit" body must not carry.
bool NeedsQuotedPrintable(const std::string& line) {
    return line.size() >= kLongLine || HasEightBitBytes(line) || line.find('\0') != std::string::npos;
}

// The charset that says what a body's bytes mean: 8-bit bytes are UTF-8 when they read as
// UTF-8 (what this system writes), and ISO-8859-1 otherwise, which gives every byte a meaning.
const char* BodyCharset(const std::vector<std::string>& body) {
    if (std::none_of(body.begin(), body.end(), HasEightBitBytes))
        return "us-ascii";
    return std::all_of(body.begin(), body.end(), [](const std::string& line) { return IsValidUtf8(line); })
               ? "utf-8"
               : "iso-8859-1";
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string MakeBoundary(std::mt19937& random) {
    std::uniform_int_distribution<int> digit(0, 8);
    std::string boundary;
    for (int i = 0; i < 8; ++i)
        boundary.push_back(static_cast<char>('0' + digit(random)));
    return boundary;
}

class TmsMessageEncoder {
public:
    TmsMessageEncoder(TmsMessage& message, std::ostream& target, const std::function<void()>& pump)
        : message_(message), target_(target), pump_(pump) {
        longLine_ = std::any_of(message_.Body.begin(), message_.Body.end(), NeedsQuotedPrintable);
    }

    void Encode() {
        message_.CheckHeaderFields();
        WriteHeaderBlock();
        if (message_.Encoding == meUU) {
            WriteUUForm();
            return;
        }
        const std::string type = message_.ContentType();
        // A stored multipart type without attachments has no parts to write: plain text then.
        if (message_.Attachments.Empty())
            WriteTextForm(type);
        else if (type == "multipart/mixed")
            WriteMultipart(false);
        else if (type == "multipart/alternative")
            WriteMultipart(true);
        else
            WriteSingleAttachment();
    }

private:
    void WriteLine(const std::string& text) {
        target_.write(text.data(), static_cast<std::streamsize>(text.size()));
        target_.write("\r\n", 2);
    }

    void WriteHeaderBlock() {
        const TmsMailAddress& sender = message_.Sender;
        WriteLine("From:     " + HeaderDisplayName(sender.Name) + " <" + sender.Address + ">");
        for (const auto& line : AddressHeaderLines("To", message_.Recipients))
            WriteLine(line);
        for (const auto& line : AddressHeaderLines("CC", message_.CC))
            WriteLine(line);
        if (message_.ReturnReceipt)
            WriteLine("Return-Receipt-To: <" + sender.Address + ">");
        if (message_.Priority == ptLow)
            WriteLine("X-Priority: 5");
        else if (message_.Priority == ptHigh)
            WriteLine("X-Priority: 1");
        for (const char* name : {"From", "To", "CC", "BCC", "Return-Receipt-To", "X-Priority", "Subject", "Mime-Version",
                                 "Content-Type", "X-Encoding", "Content-Transfer-Encoding"})
            message_.Headers.RemoveField(name);
        for (const auto& line : message_.Headers.Lines)
            WriteLine(line);
        if (!message_.Subject.empty())
            WriteLine("Subject:  " + EncodeHeaderText(message_.Subject));
        if (message_.Encoding == meMIME)
            WriteLine("Mime-Version: 1.0");
    }

    bool BodyIsQuotedPrintable() const { return message_.CharSet == csISO8859 || longLine_; }

    void WriteTextHeaders(const std::string& type) {
        if (message_.CharSet == csISO8859) {
            WriteLine("Content-Type: " + type + "; charset=\"iso-8859-1\"");
            WriteLine("Content-Transfer-Encoding: quoted-printable");
        } else {
            WriteLine("Content-Type: " + type + "; charset=" + Quoted(BodyCharset(message_.Body)));
            WriteLine(longLine_ ? "Content-Transfer-Encoding: quoted-printable" : "Content-Transfer-Encoding: 7bit");
        }
    }

    void WriteBody() {
        if (!BodyIsQuotedPrintable()) {
            for (const auto& line : message_.Body)
                WriteLine(line);
            return;
        }
        std::string text;
        for (const auto& line : message_.Body) {
            text += line;
            text += "\r\n";
        }
        for (const auto& line : TQuotedPrintable::Encode(text, pump_))
            WriteLine(line);
    }

    // A body the caller labelled as another text type (a loaded HTML body) keeps its label.
    void WriteTextForm(const std::string& type) {
        WriteTextHeaders(type.rfind("text/", 0) == 0 ? type : "text/plain");
        WriteLine("");
        WriteBody();
    }

    void WriteData(const TmsAttItem& att) {
        if (att.Encoding == kEncodingBase64) {
            std::string lines;
            Base64EncodeLines(att.Data, lines);
            target_.write(lines.data(), static_cast<std::streamsize>(lines.size()));
        } else if (att.Encoding == kEncodingQuotedPrintable) {
            for (const auto& line : TQuotedPrintable::Encode(att.Data, pump_))
                WriteLine(line);
        } else {
            std::size_t pos = 0;
            const std::string& data = att.Data;
            while (pos < data.size()) {
                std::size_t lf = data.find('\n', pos);
                std::size_t next = lf == std::string::npos ? data.size() : lf + 1;
                std::size_t stop = lf == std::string::npos ? data.size() : lf;
                if (stop > pos && data[stop - 1] == '\r')
                    --stop;
                WriteLine(data.substr(pos, stop - pos));
                pos = next;
            }
        }
    }

    static std::string TypeOf(const TmsAttItem& att) {
        return att.ContentType.empty() ? "application/octet-stream" : att.ContentType;
    }

    static bool IsBodyFile(const std::string& lowerName) {
        return lowerName == "_htmbody.htm" || lowerName == "_rtfbody.rtf";
    }

    void WriteSingleAttachment() {
        const TmsAttItem& att = message_.Attachments[0];
        const std::string lower = LowerCase(att.FileName());
        if (lower == "_htmbody.htm")
            WriteLine("Content-Type: text/html");
        else if (lower == "_rtfbody.rtf")
            WriteLine("Content-Type: text/rtf");
        else
            WriteLine("Content-Type: " + TypeOf(att) + "; name=" + Quoted(att.FileName()));
        WriteLine(std::string("Content-Transfer-Encoding: ") + EncodingName(att.Encoding));
        if (!IsBodyFile(lower))
            WriteLine("Content-Disposition: attachment; filename=" + Quoted(att.FileName()));
        WriteLine("");
        WriteData(att);
    }

    // A boundary that no line of the parts can contain by chance.
    std::string NewBoundary() {
        std::mt19937 random(std::random_device{}());
        for (;;) {
            std::string boundary = MakeBoundary(random);
            const std::string marker = "--" + boundary;
            bool clash = std::any_of(message_.Body.begin(), message_.Body.end(),
                                     [&](const std::string& l) { return l.find(marker) != std::string::npos; });
            for (const auto& att : message_.Attachments)
                if (att.Encoding != kEncodingBase64 && att.Data.find(marker) != std::string::npos)
                    clash = true;
            if (!clash)
                return boundary;
        }
    }

    void WriteMultipart(bool alternative) {
        std::string boundary = NewBoundary();
        const std::string outer = boundary;
        WriteLine("Content-Type: " + message_.ContentType() + "; boundary=" + Quoted(boundary));
        WriteLine("");
        WriteLine("This is a multipart message in MIME format");
        WriteLine("");
        WriteLine("--" + boundary);

        const auto& atts = message_.Attachments;
        const auto isAlt = [&](std::size_t i) {
            return i < atts.Count() && LowerCase(atts[i].FileName()).rfind("_alt.", 0) == 0;
        };
        bool nested = false;
        if (isAlt(0) && !alternative) {
            std::string inner = NewBoundary();
            while (inner == outer)
                inner = NewBoundary();
            boundary = inner;
            nested = true;
            WriteLine("Content-Type:  multipart/alternative; boundary=" + Quoted(boundary));
            WriteLine("Content-Transfer-Encoding: 7bit");
            WriteLine("");
            WriteLine("--" + boundary);
        }
        if (!message_.Body.empty()) {
            WriteTextHeaders("text/plain");
            WriteLine("");
            WriteBody();
            WriteLine("");
            WriteLine("--" + boundary);
        }
        for (std::size_t i = 0; i < atts.Count(); ++i) {
            const TmsAttItem& att = atts[i];
            // The empty line after the previous part's data already ends it: a second one would
            // add a line break to every text attachment.
            if (i > 0)
                WriteLine("--" + boundary);
            const std::string lower = LowerCase(att.FileName());
            const bool bare =
                alternative || nested || (i == 0 && message_.Body.empty() && IsBodyFile(lower));
            WriteLine("Content-Type: " + TypeOf(att) + (bare ? "" : "; name=" + Quoted(att.FileName())));
            WriteLine(std::string("Content-Transfer-Encoding: ") + EncodingName(att.Encoding));
            if (!bare)
                WriteLine("Content-Disposition: attachment; filename=" + Quoted(att.FileName()));
            WriteLine("");
            WriteData(att);
            WriteLine("");
            if (nested && !isAlt(i + 1)) {
                WriteLine("--" + boundary + "--");
                nested = false;
                boundary = outer;
            }
            if (i + 1 == atts.Count())
                WriteLine("--" + boundary + "--");
            if (pump_)
                pump_();
        }
    }

    void WriteUUForm() {
        WriteLine("");
        for (const auto& line : message_.Body)
            WriteLine(line);
        for (const auto& att : message_.Attachments) {
            WriteLine("");
            std::string name = att.FileName();
            if (const auto slash = name.find_last_of("/\\"); slash != std::string::npos)
                name = name.substr(slash + 1);
            WriteLine("begin 600 " + name);
            std::string lines;
            UUEncodeLines(att.Data, lines);
            target_.write(lines.data(), static_cast<std::streamsize>(lines.size()));
            WriteLine("`");
            WriteLine("end");
            if (pump_)
                pump_();
        }
    }

    TmsMessage& message_;
    std::ostream& target_;
    const std::function<void()>& pump_;
    bool longLine_ = false;
};

} // namespace

std::string HeaderDisplayName(const std::string& name) {
    if (!IsPlainAscii(name))
        return EncodeHeaderText(name);
    return NeedsQuotes(name) ? Quoted(name) : name;
}

std::vector<std::string> AddressHeaderLines(const std::string& name, const TmsAddressList& list) {
    std::vector<std::string> lines;
    if (list.Empty())
        return lines;
    std::string padded = !name.empty() && name.back() == ':' ? name : name + ":";
    if (padded.size() < 10)
        padded.resize(10, ' ');
    for (std::size_t i = 0; i < list.Count(); ++i) {
        const bool last = i + 1 == list.Count();
        const std::string lead = i == 0 ? padded : std::string(10, ' ');
        lines.push_back(lead + HeaderDisplayName(list[i].Name) + " <" + list[i].Address + (last ? ">" : ">,"));
    }
    return lines;
}

void EncodeMessage(TmsMessage& message, std::ostream& target, const std::function<void()>& pump) {
    // Written from the start of the stream; a stream that cannot seek (a pipe) is used as it is.
    if (const auto pos = target.tellp(); pos != std::streampos(-1) && pos != std::streampos(0))
        target.seekp(0);
    TmsMessageEncoder encoder(message, target, pump);
    encoder.Encode();
    target.flush();
    if (!target)
        throw EMessageError("The message could not be written");
}

std::string EncodeMessageText(TmsMessage& message, const std::function<void()>& pump) {
    std::ostringstream out;
    EncodeMessage(message, out, pump);
    return out.str();
}

} // namespace ostrel
