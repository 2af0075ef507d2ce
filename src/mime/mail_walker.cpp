#include "mime/mail_walker.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "mime/base64.h"
#include "mime/btoa.h"
#include "mime/header_params.h"
#include "mime/parser.h"
#include "mime/quoted_printable.h"
#include "mime/uucode.h"
#include "mime/yenc.h"
#include "util/text.h"

namespace ostrel {

namespace {

// A line longer than this is handed on in pieces of this size; only data cares about such lines.
constexpr std::size_t kMaxLine = 64 * 1024;
// Decoded data leaves in chunks of about this size.
constexpr std::size_t kOutFlush = 192 * 1024;
constexpr std::size_t kOutCapacity = 256 * 1024;
// Lines held while deciding whether a new mail starts.
constexpr std::size_t kMaxHeldLines = 200;

bool IsBlankChar(char c) {
    return c == ' ' || c == '\t';
}

// Whether text starts with word (lower case) in any case.
bool StartsNoCase(std::string_view text, std::string_view word) {
    if (text.size() < word.size())
        return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
        if (c != word[i])
            return false;
    }
    return true;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && (IsBlankChar(s.back()) || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool IsEndLine(std::string_view line) {
    line = TrimRight(line);
    return line.size() == 3 && (line[0] | 0x20) == 'e' && (line[1] | 0x20) == 'n' && (line[2] | 0x20) == 'd';
}

// "Name: value".
bool IsHeaderLine(std::string_view line) {
    const auto colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos || colon > 76)
        return false;
    // Real header names are letters, digits and dashes; UU data lines hold colons too.
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = line[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    }
    const TUULine uu = ClassifyUULine(line);
    return !(uu.Kind == TUULine::Data && uu.Bytes == kUULineBytes && !uu.Short);
}

bool IsContinuationLine(std::string_view line) {
    return !line.empty() && IsBlankChar(line[0]);
}

// Header names that begin a mail's header block; a header line of another name may be text.
bool IsMailHeaderName(std::string_view line) {
    // Most lines are data or text: no colon near the start, or not a letter first.
    if (line.empty() || !((line[0] | 0x20) >= 'a' && (line[0] | 0x20) <= 'z') ||
        !std::memchr(line.data(), ':', std::min<std::size_t>(line.size(), 78)))
        return false;
    static const char* const kNames[] = {
        "from:",       "to:",         "cc:",          "subject:",     "date:",         "return-path:",
        "received:",   "message-id:", "reply-to:",    "sender:",      "delivered-to:", "mime-version:",
        "newsgroups:", "path:",       "envelope-to:", "content-type:"};
    for (const char* name : kNames)
        if (StartsNoCase(line, name))
            return true;
    return line.size() > 2 && (line[0] | 0x20) == 'x' && line[1] == '-' && IsHeaderLine(line);
}

bool IsMboxFromLine(std::string_view line) {
    return line.starts_with("From ") && line.size() > 5;
}

// Header names that prove a block of header lines is a mail's.
bool IsProofHeader(std::string_view line) {
    for (const char* name : {"from:", "subject:", "date:", "message-id:", "received:", "return-path:"})
        if (StartsNoCase(line, name))
            return true;
    return false;
}

} // namespace

bool ParseUUBeginLine(std::string_view line, std::string& name) {
    if (line.size() < 7 || !StartsNoCase(line, "begin") || !IsBlankChar(line[5]))
        return false;
    std::size_t pos = 5;
    while (pos < line.size() && IsBlankChar(line[pos]))
        ++pos;
    const std::size_t modeStart = pos;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '7')
        ++pos;
    const std::size_t modeLength = pos - modeStart;
    if (modeLength < 3 || modeLength > 4 || pos >= line.size() || !IsBlankChar(line[pos]))
        return false;
    while (pos < line.size() && IsBlankChar(line[pos]))
        ++pos;
    std::string_view rest = TrimRight(line.substr(pos));
    if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"')
        rest = rest.substr(1, rest.size() - 2);
    name = SafeFileName(rest);
    return true;
}

struct TMailWalker::TImpl {
    explicit TImpl(TWalkerSink& s) : sink(s) { out.reserve(kOutCapacity); }
    TImpl(TWalkerSink& s, std::string buffer, std::string carryBuffer)
        : sink(s), carry(std::move(carryBuffer)), out(std::move(buffer)) {
        out.clear();
        carry.clear();
        out.reserve(kOutCapacity);
    }

    // ---- what a text part (or a mail without MIME) is scanned for
    struct TScan {
        enum TState { Prose, UU, Base64Block, YEnc, BtoaBlock } State = Prose;
        int FileId = 0;
        std::string Damage;
        // UU
        bool SawBackquote = false, SawBlank = false, ZeroSeen = false;
        std::uint64_t ShortLines = 0, FirstShortLine = 0;
        bool PendingNonData = false, PendingLooksEncoded = false;
        std::uint64_t PendingLine = 0;
        // A shorter line that is short of characters too: data only when it is the last one,
        // right before the closing line ("-- " of a signature reads like such a line).
        std::string PendingShort;
        std::uint64_t PendingShortLine = 0;
        // A valid shorter UU line, or a closing line, seen in prose: the start of a last part
        // that holds only the end of the data, if "end" follows.
        std::string Candidate;
        bool HaveCandidate = false, CandidateZero = false;
        // base64 blocks
        TBase64Decoder Base64{false};
        std::size_t FirstLength = 0;
        bool ShortSeen = false;
        // yEnc
        TYEncDecoder YDecoder;
        TYEncFields YBegin;
        bool YWaitPart = false;
        std::uint32_t YCrc = 0;
        std::uint64_t YBytes = 0;
        std::string YName;
        // btoa
        TBtoaDecoder BtoaDecoder;
    };

    enum class TKind { Multipart, Text, Binary, Message, Partial, Skip };
    enum class TTransfer { Plain, Base64, QuotedPrintable, UU };

    struct TEntity {
        TKind Kind = TKind::Text;
        bool ReadingHeaders = true;
        bool Top = false; // the header block is a mail's
        TmsHeaders Headers;
        // Multipart
        std::string Boundary;
        bool InEpilogue = false;
        bool Alternative = false;
        int TextsSeen = 0;
        // Data
        TTransfer Transfer = TTransfer::Plain;
        int FileId = 0;
        bool PendingBreak = false;
        bool InsideMultipart = false;
        std::unique_ptr<TBase64Decoder> Base64;
        std::unique_ptr<TQuotedPrintableDecoder> Quoted;
        std::size_t FirstLength = 0;
        bool ShortSeen = false;
        std::uint64_t ShortLine = 0;
        std::string Damage;
        // Text
        std::unique_ptr<TScan> Scan;
        std::string Decoded; // decoded text not yet split into lines
        // Message: the forwarded mail's file starts once its headers are read.
        bool MessageStarted = false;
        std::string MessageName;
    };

    TWalkerSink& sink;
    std::vector<std::unique_ptr<TEntity>> stack;
    std::string carry;
    std::uint64_t line = 0;
    int nextId = 0;
    bool inMail = false;
    std::string mailProblem;
    // Lines held while a new mail may be starting.
    std::vector<std::string> held;
    bool replaying = false;
    // Decoded data waiting to leave: in out, or in the sink's own buffer for file outId.
    std::string out;
    std::string* target = &out;
    int outId = 0;

    // ---------------------------------------------------------------- output
    void Flush() {
        if (target != &out) {
            sink.DataAppended(outId);
            return;
        }
        if (!out.empty())
            sink.FileData(outId, out);
        out.clear();
    }
    std::string& OutFor(int id) {
        if (id != outId) {
            Flush();
            outId = id;
            std::string* own = sink.DataBuffer(id);
            target = own ? own : &out;
        }
        return *target;
    }
    void MaybeFlush() {
        if (target != &out || out.size() >= kOutFlush)
            Flush();
    }
    // The sink may move or drop its buffer in any other event: it is asked for it again after.
    void LeaveSinkBuffer() {
        if (target == &out)
            return;
        target = &out;
        outId = 0;
    }
    int Start(TFoundFile file) {
        file.Id = ++nextId;
        file.Line = line;
        LeaveSinkBuffer();
        sink.FileStart(file);
        return file.Id;
    }
    void End(int id, TFoundEnd end) {
        if (outId == id)
            Flush();
        LeaveSinkBuffer();
        sink.FileEnd(id, end);
    }

    // ---------------------------------------------------------------- lines
    void Feed(std::string_view piece) {
        std::size_t pos = 0;
        const std::size_t size = piece.size();
        if (!carry.empty()) {
            const void* lf = std::memchr(piece.data(), '\n', size);
            if (!lf) {
                carry.append(piece);
                if (carry.size() > kMaxLine)
                    SpillCarry();
                return;
            }
            const auto at = static_cast<std::size_t>(static_cast<const char*>(lf) - piece.data());
            carry.append(piece.substr(0, at));
            std::string whole;
            whole.swap(carry);
            RawLine(whole);
            pos = at + 1;
        }
        while (pos < size) {
            if (const std::size_t used = Bulk(piece.substr(pos)); used > 0) {
                pos += used;
                continue;
            }
            const void* lf = std::memchr(piece.data() + pos, '\n', size - pos);
            if (!lf) {
                carry.assign(piece.substr(pos));
                if (carry.size() > kMaxLine)
                    SpillCarry();
                return;
            }
            const auto at = static_cast<std::size_t>(static_cast<const char*>(lf) - piece.data());
            RawLine(piece.substr(pos, at - pos));
            pos = at + 1;
        }
    }

    // An over-long line leaves in pieces of kMaxLine bytes counted from its start, the same
    // pieces however the text was cut (RawLine cuts a whole line the same way).
    void SpillCarry() {
        std::size_t at = 0;
        while (carry.size() - at > kMaxLine) {
            Line(std::string_view(carry).substr(at, kMaxLine));
            at += kMaxLine;
        }
        carry.erase(0, at);
    }

    // A line as it came, up to its LF: trailing CRs are part of the line end, and a CR inside
    // the line ends a line too.
    void RawLine(std::string_view raw) {
        while (raw.size() > kMaxLine) {
            Line(raw.substr(0, kMaxLine));
            raw.remove_prefix(kMaxLine);
        }
        while (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        for (;;) {
            const void* cr = std::memchr(raw.data(), '\r', raw.size());
            if (!cr)
                break;
            const auto at = static_cast<std::size_t>(static_cast<const char*>(cr) - raw.data());
            Line(raw.substr(0, at));
            std::size_t next = at;
            while (next < raw.size() && raw[next] == '\r')
                ++next;
            raw.remove_prefix(next);
        }
        Line(raw);
    }

    void Line(std::string_view text) {
        ++line;
        Dispatch(text);
    }

    void Dispatch(std::string_view text) {
        if (!replaying && !held.empty()) {
            HoldOrDecide(text);
            return;
        }
        if (!replaying && inMail && MayStartMail(text)) {
            held.emplace_back(text);
            return;
        }
        Process(text);
    }

    // Whole full UU lines and runs of base64 lines go straight to the decoder, without being
    // split one by one.
    std::size_t Bulk(std::string_view rest) {
        if (stack.empty() || !held.empty())
            return 0;
        // A forwarded mail keeps every line itself: those go one by one.
        for (const auto& e : stack)
            if (e->Kind == TKind::Message)
                return 0;
        TEntity& e = *stack.back();
        if (!e.ReadingHeaders && e.Kind == TKind::Binary && e.Transfer == TTransfer::Base64)
            return BulkBase64(e, rest);
        if (e.ReadingHeaders || e.Kind != TKind::Text || e.Transfer != TTransfer::Plain)
            return 0;
        TScan& s = *e.Scan;
        if (s.State != TScan::UU || s.PendingNonData || !s.PendingShort.empty() || s.ZeroSeen || rest.size() < 64 ||
            rest[0] != 'M')
            return 0;
        // Room for no more than the full lines rest can hold (each at least 62 bytes), as the
        // room is cleared before it is filled: the last lines of a part need little of it.
        const std::size_t most = rest.size() / 62 * kUULineBytes + 256;
        std::string& o = OutFor(s.FileId);
        const std::size_t before = o.size();
        const std::size_t room = std::min<std::size_t>({o.capacity() - before, 64 * 1024, most});
        if (room < 256) {
            Flush();
            return 0;
        }
        o.resize(before + room);
        std::size_t produced = 0;
        const std::size_t used = UUDecodeFullLines(rest, o.data() + before, room, produced, s.SawBackquote, s.SawBlank);
        o.resize(before + produced);
        line += produced / kUULineBytes;
        MaybeFlush();
        return used;
    }

    // The base64 lines at the start of rest, up to a line that may be a boundary or a header of
    // the next mail (base64 has neither "-", ":" nor blanks), decoded in one go; the line
    // lengths are checked as the line-by-line way checks them.
    std::size_t BulkBase64(TEntity& e, std::string_view rest) {
        const char* base = rest.data();
        std::size_t pos = 0;
        std::size_t lines = 0;
        constexpr std::size_t kStretch = 64 * 1024;
        while (pos < rest.size() && pos < kStretch) {
            const void* lf = std::memchr(base + pos, '\n', rest.size() - pos);
            if (!lf)
                break;
            const auto end = static_cast<std::size_t>(static_cast<const char*>(lf) - base);
            std::string_view l = rest.substr(pos, end - pos);
            while (!l.empty() && l.back() == '\r')
                l.remove_suffix(1);
            // Lines the line-by-line way would cut (at a CR inside, or for their length) go
            // that way, so that both see the same lines.
            if (l.empty() || l[0] == '-' || l.size() > 1024 || std::memchr(l.data(), ':', l.size()) ||
                std::memchr(l.data(), ' ', l.size()) || std::memchr(l.data(), '\r', l.size()))
                break;
            // The same bookkeeping as for one line, the line number being the one it will have.
            ++line;
            Base64Line(e.FirstLength, e.ShortSeen, e.Damage, l);
            ++lines;
            pos = end + 1;
        }
        if (pos == 0)
            return 0;
        std::string& o = OutFor(e.FileId);
        e.Base64->Decode(rest.substr(0, pos), o);
        MaybeFlush();
        return pos;
    }

    // ---------------------------------------------------------------- new mails in one text
    bool MayStartMail(std::string_view text) const {
        if (!IsMboxFromLine(text) && !IsMailHeaderName(text))
            return false;
        if (stack.empty())
            return true;
        const TEntity& e = *stack.back();
        if (e.ReadingHeaders)
            return false;
        if (stack.size() == 1)
            return e.Kind == TKind::Text || (e.Kind == TKind::Multipart && e.InEpilogue) || e.Kind == TKind::Binary;
        // Header lines inside base64 data: the mail was cut off and the next one follows.
        return e.Kind == TKind::Binary && e.Transfer == TTransfer::Base64;
    }

    void HoldOrDecide(std::string_view text) {
        if (text.empty()) {
            std::size_t headers = 0;
            bool proof = false, mbox = IsMboxFromLine(held.front());
            for (std::size_t i = mbox ? 1 : 0; i < held.size(); ++i) {
                if (!IsContinuationLine(held[i]))
                    ++headers;
                proof |= IsProofHeader(held[i]);
            }
            if ((headers >= 2 && proof) || (mbox && headers >= 1)) {
                NewMail();
                return;
            }
            Replay();
            Process(text);
            return;
        }
        if ((IsHeaderLine(text) || IsContinuationLine(text) ||
             (held.size() == 1 && IsMboxFromLine(held[0]) && IsMboxFromLine(text))) &&
            held.size() < kMaxHeldLines) {
            held.emplace_back(text);
            return;
        }
        Replay();
        Dispatch(text);
    }

    void Replay() {
        std::vector<std::string> lines;
        lines.swap(held);
        replaying = true;
        for (const auto& l : lines)
            Process(l);
        replaying = false;
    }

    void NewMail() {
        std::vector<std::string> lines;
        lines.swap(held);
        EndMail();
        BeginMail();
        TEntity& e = *stack.back();
        // An mbox separator is not a header.
        for (std::size_t i = IsMboxFromLine(lines.front()) ? 1 : 0; i < lines.size(); ++i)
            e.Headers.Add(lines[i]);
        EndHeaders(e);
    }

    void BeginMail() {
        auto e = std::make_unique<TEntity>();
        e->Top = true;
        stack.push_back(std::move(e));
        inMail = true;
        mailProblem.clear();
    }

    void EndMail() {
        if (!inMail)
            return;
        while (!stack.empty())
            CloseEntity(false);
        inMail = false;
        LeaveSinkBuffer();
        sink.MailEnd(mailProblem);
        mailProblem.clear();
    }

    void Finish() {
        if (!carry.empty()) {
            std::string last;
            last.swap(carry);
            RawLine(last);
        }
        if (!held.empty()) {
            // Headers at the very end of the text: a mail with nothing in it.
            Replay();
        }
        EndMail();
        Flush();
    }

    // ---------------------------------------------------------------- structure
    void Process(std::string_view text) {
        if (!inMail) {
            BeginMail();
            TEntity& e = *stack.back();
            if (IsMboxFromLine(text))
                return; // the mbox separator is not a header
            if (!IsHeaderLine(text)) {
                // Text without a header block (a bare UU file, a copied body).
                EndHeaders(e);
            }
        }
        // A boundary of any enclosing multipart closes everything inside it.
        if (text.size() >= 2 && text[0] == '-' && text[1] == '-') {
            for (std::size_t i = stack.size(); i-- > 0;) {
                TEntity& m = *stack[i];
                if (m.Kind != TKind::Multipart || m.InEpilogue || m.Boundary.empty() || !text.starts_with(m.Boundary))
                    continue;
                std::string_view after = TrimRight(text.substr(m.Boundary.size()));
                const bool closing = after == "--";
                if (!after.empty() && !closing)
                    continue;
                WriteToMessages(text, i);
                while (stack.size() > i + 1)
                    CloseEntity(true);
                if (closing) {
                    m.InEpilogue = true;
                } else {
                    auto part = std::make_unique<TEntity>();
                    part->InsideMultipart = true;
                    stack.push_back(std::move(part));
                }
                return;
            }
        }
        WriteToMessages(text, stack.size());
        InnermostLine(text, 0);
    }

    // A line for the innermost entity: a header line while it reads its header block, else a
    // line of its body.
    void InnermostLine(std::string_view text, int depth) {
        TEntity& e = *stack.back();
        if (!e.ReadingHeaders) {
            Body(e, text);
            return;
        }
        if (text.empty()) {
            EndHeaders(e);
            return;
        }
        if (IsHeaderLine(text) || (IsContinuationLine(text) && !e.Headers.Lines.empty())) {
            if (e.Headers.Lines.size() < 1000)
                e.Headers.Add(std::string(text.substr(0, 4096)));
            return;
        }
        // The header block ends without its empty line; the line belongs to what follows it,
        // which may be a forwarded mail's own header block. Forwarded mails nest only so deep.
        EndHeaders(e);
        if (depth < 16)
            InnermostLine(text, depth + 1);
    }

    // Forwarded mails keep every line of theirs, the nested structure's included.
    void WriteToMessages(std::string_view text, std::size_t below) {
        for (std::size_t i = 0; i < below && i < stack.size(); ++i) {
            TEntity& m = *stack[i];
            if (m.Kind != TKind::Message || m.ReadingHeaders)
                continue;
            if (!m.MessageStarted) {
                // Still in the forwarded mail's header block (its own entity reads it).
                continue;
            }
            std::string& o = OutFor(m.FileId);
            if (m.PendingBreak)
                o += "\r\n";
            o += text;
            m.PendingBreak = true;
            MaybeFlush();
        }
    }

    void EndHeaders(TEntity& e) {
        e.ReadingHeaders = false;
        if (e.Top) {
            LeaveSinkBuffer();
            sink.MailStart(e.Headers);
        }
        // A forwarded mail's file starts now that its subject is known.
        if (stack.size() >= 2 && &e == stack.back().get()) {
            TEntity& parent = *stack[stack.size() - 2];
            if (parent.Kind == TKind::Message && !parent.MessageStarted)
                StartMessage(parent, e);
        }
        const std::string mimeVersion = RawFieldValue(e.Headers, "MIME-Version");
        const std::string typeText = RawFieldValue(e.Headers, "Content-Type");
        const bool mime = !e.Top || !mimeVersion.empty() || !typeText.empty();
        if (!mime) {
            StartText(e, TTransfer::Plain);
            return;
        }
        const THeaderValue type = ParseHeaderValue(typeText);
        const THeaderValue disposition = ParseHeaderValue(RawFieldValue(e.Headers, "Content-Disposition"));
        const std::string transfer = LowerCase(Trim(RawFieldValue(e.Headers, "Content-Transfer-Encoding")));
        std::string token = type.Token;
        if (token.empty() || token.find('/') == std::string::npos)
            token = "text/plain";
        // The name Content-Disposition gives wins over the one of Content-Type.
        std::string name = SafeFileName(disposition.Param("filename"));
        if (name.empty())
            name = SafeFileName(type.Param("name"));
        TTransfer how = TTransfer::Plain;
        if (transfer == "base64")
            how = TTransfer::Base64;
        else if (transfer == "quoted-printable")
            how = TTransfer::QuotedPrintable;
        else if (transfer.starts_with("x-uue") || transfer == "uuencode" || transfer == "x-uuencode")
            how = TTransfer::UU;

        if (token.starts_with("multipart/")) {
            const std::string boundary = type.Param("boundary");
            if (!boundary.empty()) {
                e.Kind = TKind::Multipart;
                e.Boundary = "--" + boundary;
                e.Alternative = token == "multipart/alternative";
                return;
            }
            mailProblem = "a multipart without a boundary";
            StartText(e, how);
            return;
        }
        if (token == "message/rfc822" && how == TTransfer::Plain) {
            e.Kind = TKind::Message;
            e.MessageName = name;
            // The forwarded mail: its own headers, then its own structure.
            auto inner = std::make_unique<TEntity>();
            inner->Top = false;
            stack.push_back(std::move(inner));
            return;
        }
        if (token == "message/partial") {
            e.Kind = TKind::Partial;
            TFoundFile f;
            f.Kind = TFoundKind::Partial;
            f.ContentType = token;
            f.PartialId = type.Param("id");
            f.Part = VBVal(type.Param("number"));
            f.Total = VBVal(type.Param("total"));
            e.FileId = Start(f);
            return;
        }
        const bool attachment = !name.empty() || disposition.Token == "attachment";
        if (token.starts_with("text/") && !attachment) {
            if (!stack.empty() && stack.size() >= 2) {
                TEntity& parent = *stack[stack.size() - 2];
                if (parent.Kind == TKind::Multipart && parent.Alternative && parent.TextsSeen++ > 0) {
                    // Another form of the same text: the first one has been read.
                    e.Kind = TKind::Skip;
                    return;
                }
            }
            StartText(e, how);
            return;
        }
        e.Kind = TKind::Binary;
        e.Transfer = how;
        if (how == TTransfer::Base64)
            e.Base64 = std::make_unique<TBase64Decoder>(false);
        else if (how == TTransfer::QuotedPrintable)
            e.Quoted = std::make_unique<TQuotedPrintableDecoder>();
        TFoundFile f;
        f.Kind = TFoundKind::Attachment;
        f.Name = name;
        f.ContentType = token;
        e.FileId = Start(f);
    }

    void StartMessage(TEntity& m, const TEntity& inner) {
        TFoundFile f;
        f.Kind = TFoundKind::Message;
        f.ContentType = "message/rfc822";
        f.Name = m.MessageName;
        if (f.Name.empty()) {
            std::string subject = SafeFileName(DecodeWordsToUtf8(RawFieldValue(inner.Headers, "Subject")));
            f.Name = (subject.empty() ? std::string("message") : subject) + ".eml";
        }
        m.FileId = Start(f);
        m.MessageStarted = true;
        std::string& o = OutFor(m.FileId);
        for (const auto& l : inner.Headers.Lines) {
            o += l;
            o += "\r\n";
        }
        // The empty line after the headers; the first body line adds its own break.
        m.PendingBreak = true;
        MaybeFlush();
    }

    void StartText(TEntity& e, TTransfer how) {
        e.Kind = TKind::Text;
        e.Transfer = how;
        e.Scan = std::make_unique<TScan>();
        if (how == TTransfer::Base64)
            e.Base64 = std::make_unique<TBase64Decoder>(false);
        else if (how == TTransfer::QuotedPrintable)
            e.Quoted = std::make_unique<TQuotedPrintableDecoder>();
    }

    // Ends the innermost entity; closed says its boundary was seen.
    void CloseEntity(bool closed) {
        std::unique_ptr<TEntity> e = std::move(stack.back());
        stack.pop_back();
        if (e->ReadingHeaders) {
            if (e->Top) {
                LeaveSinkBuffer();
                sink.MailStart(e->Headers);
            }
            return;
        }
        // A whole body (not inside a multipart) ends with its mail.
        const bool whole = closed || !e->InsideMultipart;
        switch (e->Kind) {
        case TKind::Multipart:
            if (!e->InEpilogue)
                mailProblem = "Cannot find closing boundary";
            break;
        case TKind::Text:
            FlushDecodedText(*e, true);
            EndScan(*e->Scan);
            break;
        case TKind::Binary: {
            TFoundEnd end;
            end.Closed = whole;
            if (!whole && e->Damage.empty())
                e->Damage = "the mail ends inside it: it was cut off";
            std::string& o = OutFor(e->FileId);
            if (e->Base64) {
                const bool open = e->Base64->Open() != 0;
                e->Base64->Finish(o);
                if (open && e->Damage.empty())
                    e->Damage = "its base64 data ends in an incomplete group: characters are missing";
                if (e->Base64->Invalid() > 0 && e->Damage.empty())
                    e->Damage = "its base64 data holds characters outside the alphabet";
            } else if (e->Quoted) {
                e->Quoted->Finish(o);
            }
            end.Damage = e->Damage;
            if (!whole && end.Damage.empty())
                end.Damage = "the mail ends inside it: it was cut off";
            End(e->FileId, end);
            break;
        }
        case TKind::Message:
            if (e->MessageStarted) {
                TFoundEnd end;
                end.Closed = whole;
                if (!whole)
                    end.Damage = "the mail ends inside it: it was cut off";
                End(e->FileId, end);
            }
            break;
        case TKind::Partial: {
            TFoundEnd end;
            end.Closed = whole;
            if (!whole)
                end.Damage = "the mail ends inside it: it was cut off";
            End(e->FileId, end);
            break;
        }
        case TKind::Skip:
            break;
        }
    }

    // ---------------------------------------------------------------- bodies
    void Body(TEntity& e, std::string_view text) {
        switch (e.Kind) {
        case TKind::Multipart:
            return; // preamble and epilogue carry nothing
        case TKind::Skip:
        case TKind::Message:
            return;
        case TKind::Partial: {
            std::string& o = OutFor(e.FileId);
            if (e.PendingBreak)
                o += "\r\n";
            o += text;
            e.PendingBreak = e.InsideMultipart;
            if (!e.InsideMultipart)
                o += "\r\n";
            MaybeFlush();
            return;
        }
        case TKind::Text:
            if (e.Scan)
                TextBody(e, text);
            return;
        case TKind::Binary:
            BinaryBody(e, text);
            return;
        }
    }

    void BinaryBody(TEntity& e, std::string_view text) {
        std::string& o = OutFor(e.FileId);
        switch (e.Transfer) {
        case TTransfer::Base64:
            Base64Line(e.FirstLength, e.ShortSeen, e.Damage, text);
            e.Base64->Decode(text, o);
            break;
        case TTransfer::QuotedPrintable:
            if (e.PendingBreak)
                e.Quoted->Decode("\n", o);
            e.Quoted->Decode(text, o);
            e.PendingBreak = true;
            break;
        case TTransfer::UU: {
            std::string ignored;
            if (text.empty() || ParseUUBeginLine(text, ignored) || IsEndLine(text))
                break;
            const TUULine c = ClassifyUULine(text);
            if (c.Kind == TUULine::Data)
                UUDecodeLine(text.substr(0, std::min<std::size_t>(text.size(), (c.Bytes + 2u) / 3u * 4u + 2u)), o);
            else if (c.Kind == TUULine::NotData && e.Damage.empty())
                e.Damage = "line " + std::to_string(line) + " is not UU data";
            break;
        }
        case TTransfer::Plain:
            if (e.PendingBreak)
                o += "\r\n";
            o += text;
            // The line break before a boundary belongs to the boundary; a whole body keeps it.
            e.PendingBreak = e.InsideMultipart;
            if (!e.InsideMultipart)
                o += "\r\n";
            break;
        }
        MaybeFlush();
    }

    // Lines of base64 data are all as long as the first but the last: a shorter one followed by
    // more data lost characters on the way.
    void Base64Line(std::size_t& first, bool& shortSeen, std::string& damage, std::string_view text) {
        text = TrimRight(text);
        if (text.empty())
            return;
        if (shortSeen && damage.empty())
            damage = "line " + std::to_string(line - 1) + " of its base64 data is short: characters were lost";
        if (first == 0)
            first = text.size();
        else if (text.size() < first)
            shortSeen = true;
    }

    void TextBody(TEntity& e, std::string_view text) {
        if (e.Transfer == TTransfer::Plain || e.Transfer == TTransfer::UU) {
            ScanLine(*e.Scan, text);
            return;
        }
        // Decoded text is split into lines again and scanned.
        if (e.Transfer == TTransfer::Base64) {
            e.Base64->Decode(text, e.Decoded);
        } else {
            if (e.PendingBreak)
                e.Quoted->Decode("\n", e.Decoded);
            e.Quoted->Decode(text, e.Decoded);
            e.PendingBreak = true;
        }
        FlushDecodedText(e, false);
    }

    void FlushDecodedText(TEntity& e, bool last) {
        if (e.Transfer == TTransfer::Base64 && last && e.Base64)
            e.Base64->Finish(e.Decoded);
        if (e.Transfer == TTransfer::QuotedPrintable && last && e.Quoted)
            e.Quoted->Finish(e.Decoded);
        std::string_view rest = e.Decoded;
        std::size_t used = 0;
        for (;;) {
            const auto lf = rest.find('\n', used);
            if (lf == std::string_view::npos)
                break;
            std::string_view l = rest.substr(used, lf - used);
            while (!l.empty() && l.back() == '\r')
                l.remove_suffix(1);
            ScanLine(*e.Scan, l);
            used = lf + 1;
        }
        if (last && used < rest.size()) {
            ScanLine(*e.Scan, TrimRight(rest.substr(used)));
            used = rest.size();
        } else if (rest.size() - used > kMaxLine) {
            ScanLine(*e.Scan, rest.substr(used));
            used = rest.size();
        }
        e.Decoded.erase(0, used);
    }

    // ---------------------------------------------------------------- blocks in text
    void ScanLine(TScan& s, std::string_view text) {
        switch (s.State) {
        case TScan::Prose:
            ProseLine(s, text);
            return;
        case TScan::UU:
            UULine(s, text);
            return;
        case TScan::Base64Block:
            Base64BlockLine(s, text);
            return;
        case TScan::YEnc:
            YEncLine(s, text);
            return;
        case TScan::BtoaBlock:
            BtoaLine(s, text);
            return;
        }
    }

    void StartUU(TScan& s, TFoundKind kind, std::string name) {
        s.SawBackquote = s.SawBlank = s.ZeroSeen = false;
        s.ShortLines = s.FirstShortLine = 0;
        s.PendingNonData = s.PendingLooksEncoded = false;
        s.PendingShort.clear();
        s.Damage.clear();
        TFoundFile f;
        f.Kind = kind;
        f.Name = std::move(name);
        s.FileId = Start(f);
        s.State = TScan::UU;
    }

    void ProseLine(TScan& s, std::string_view text) {
        std::string name;
        if (ParseUUBeginLine(text, name)) {
            s.HaveCandidate = s.CandidateZero = false;
            StartUU(s, TFoundKind::UU, name);
            return;
        }
        if (text.starts_with("begin-base64 ") || text.starts_with("begin-base64\t")) {
            std::string_view rest = text.substr(12);
            // Same layout as a UU begin line after the word.
            const std::string asUU = "begin" + std::string(rest);
            ParseUUBeginLine(asUU, name);
            s.HaveCandidate = s.CandidateZero = false;
            s.Base64 = TBase64Decoder(false);
            s.FirstLength = 0;
            s.ShortSeen = false;
            s.Damage.clear();
            TFoundFile f;
            f.Kind = TFoundKind::Base64Block;
            f.Name = name;
            s.FileId = Start(f);
            s.State = TScan::Base64Block;
            return;
        }
        if (text.starts_with("=ybegin ")) {
            s.HaveCandidate = s.CandidateZero = false;
            s.YBegin = ParseYEncFields(text);
            s.YDecoder.Reset();
            s.YCrc = 0;
            s.YBytes = 0;
            s.Damage.clear();
            s.YName = SafeFileName(s.YBegin.Name);
            s.State = TScan::YEnc;
            s.YWaitPart = s.YBegin.HasPart;
            s.FileId = 0;
            if (!s.YWaitPart)
                StartYEnc(s, nullptr);
            return;
        }
        if (IsBtoaBeginLine(text)) {
            s.HaveCandidate = s.CandidateZero = false;
            s.BtoaDecoder = TBtoaDecoder();
            s.Damage.clear();
            TFoundFile f;
            f.Kind = TFoundKind::Btoa;
            s.FileId = Start(f);
            s.State = TScan::BtoaBlock;
            return;
        }
        const TUULine c = ClassifyUULine(text);
        if (c.Kind == TUULine::Data && c.Bytes == kUULineBytes && !c.Short && text.size() >= 61) {
            // A full line in plain text: the data of a later part.
            s.HaveCandidate = s.CandidateZero = false;
            StartUU(s, TFoundKind::UUPart, std::string());
            UULine(s, text);
            return;
        }
        if (IsEndLine(text) && (s.HaveCandidate || s.CandidateZero)) {
            // A last part that holds only the end of the data.
            const std::string candidate = s.Candidate;
            const bool haveData = s.HaveCandidate;
            s.HaveCandidate = s.CandidateZero = false;
            StartUU(s, TFoundKind::UUPart, std::string());
            if (haveData)
                UULine(s, candidate);
            s.ZeroSeen = true;
            UULine(s, text);
            return;
        }
        if (c.Kind == TUULine::Zero) {
            s.CandidateZero = true;
        } else if (c.Kind == TUULine::Data && !s.CandidateZero) {
            s.Candidate.assign(text);
            s.HaveCandidate = true;
        } else if (!text.empty() || !s.CandidateZero) {
            // A stripped closing line reads as an empty line; anything else breaks the chain.
            s.HaveCandidate = s.CandidateZero = false;
        }
        LeaveSinkBuffer();
        sink.TextLine(text);
    }

    void UULine(TScan& s, std::string_view text) {
        if (IsEndLine(text)) {
            DecodePendingShort(s);
            FinishUU(s, true);
            return;
        }
        std::string name;
        if (ParseUUBeginLine(text, name)) {
            // A new block before this one's end: this one is cut short.
            FinishUU(s, false);
            s.State = TScan::Prose;
            ProseLine(s, text);
            return;
        }
        const TUULine c = ClassifyUULine(text);
        if (c.Kind == TUULine::Data && c.Short && c.Bytes < kUULineBytes && s.PendingShort.empty() &&
            !s.PendingNonData) {
            s.PendingShort.assign(text);
            s.PendingShortLine = line;
            return;
        }
        if (!s.PendingShort.empty()) {
            if (c.Kind == TUULine::Zero) {
                DecodePendingShort(s);
            } else if (!text.empty()) {
                // Not the last line after all: a line of text among the data, or after it.
                s.PendingNonData = true;
                s.PendingLine = s.PendingShortLine;
                s.PendingLooksEncoded = false;
                LeaveSinkBuffer();
                sink.TextLine(s.PendingShort);
                s.PendingShort.clear();
            }
        }
        if (c.Kind == TUULine::Data) {
            if (s.PendingNonData && s.Damage.empty())
                s.Damage = s.PendingLooksEncoded
                               ? "line " + std::to_string(s.PendingLine) +
                                     " looks encoded but does not match its length character"
                               : "line " + std::to_string(s.PendingLine) + " inside the encoded data is not UU data";
            if (s.ZeroSeen && s.Damage.empty())
                s.Damage = "line " + std::to_string(line) + " follows the closing line of the data";
            s.PendingNonData = false;
            s.SawBackquote |= c.Backquote;
            s.SawBlank |= c.Blank;
            if (c.Short && s.ShortLines++ == 0)
                s.FirstShortLine = line;
            const std::size_t keep = std::min<std::size_t>(text.size(), (c.Bytes + 2u) / 3u * 4u + 2u);
            std::string& o = OutFor(s.FileId);
            UUDecodeLine(text.substr(0, keep), o);
            MaybeFlush();
            return;
        }
        if (c.Kind == TUULine::Zero) {
            s.ZeroSeen = true;
            s.SawBackquote |= text[0] == '`';
            s.SawBlank |= text[0] == ' ';
            return;
        }
        if (text.empty())
            return;
        if (!s.PendingNonData) {
            s.PendingNonData = true;
            s.PendingLine = line;
            s.PendingLooksEncoded = c.Alphabet && text.size() >= 8;
        }
        LeaveSinkBuffer();
        sink.TextLine(text);
    }

    void DecodePendingShort(TScan& s) {
        if (s.PendingShort.empty())
            return;
        const TUULine c = ClassifyUULine(s.PendingShort);
        s.SawBackquote |= c.Backquote;
        s.SawBlank |= c.Blank;
        if (s.ShortLines++ == 0)
            s.FirstShortLine = s.PendingShortLine;
        UUDecodeLine(s.PendingShort, OutFor(s.FileId));
        s.PendingShort.clear();
    }

    void FinishUU(TScan& s, bool closed) {
        // A short line at the end of a part that the closing line did not follow is text.
        if (!s.PendingShort.empty()) {
            LeaveSinkBuffer();
            sink.TextLine(s.PendingShort);
        }
        s.PendingShort.clear();
        TFoundEnd end;
        end.Closed = closed;
        end.Damage = s.Damage;
        if (end.Damage.empty() && s.ShortLines > 0 && s.SawBackquote && !s.SawBlank)
            end.Damage = "line " + std::to_string(s.FirstShortLine) +
                         (s.ShortLines > 1 ? " and " + std::to_string(s.ShortLines - 1) + " more are" : " is") +
                         " shorter than the length character says: characters were lost on the way";
        End(s.FileId, end);
        s.State = TScan::Prose;
        s.FileId = 0;
    }

    void Base64BlockLine(TScan& s, std::string_view text) {
        if (TrimRight(text) == "====") {
            TFoundEnd end;
            end.Closed = true;
            std::string& o = OutFor(s.FileId);
            const bool open = s.Base64.Open() != 0;
            s.Base64.Finish(o);
            end.Damage = s.Damage;
            if (end.Damage.empty() && open)
                end.Damage = "its base64 data ends in an incomplete group: characters are missing";
            if (end.Damage.empty() && s.Base64.Invalid() > 0)
                end.Damage = "its base64 data holds characters outside the alphabet";
            End(s.FileId, end);
            s.State = TScan::Prose;
            return;
        }
        if (text.empty())
            return;
        Base64Line(s.FirstLength, s.ShortSeen, s.Damage, text);
        s.Base64.Decode(text, OutFor(s.FileId));
        MaybeFlush();
    }

    void StartYEnc(TScan& s, const TYEncFields* part) {
        TFoundFile f;
        f.Kind = TFoundKind::YEnc;
        f.Name = s.YName;
        f.FileSize = s.YBegin.Size;
        if (s.YBegin.HasPart) {
            f.Part = s.YBegin.Part;
            f.Total = s.YBegin.HasTotal ? s.YBegin.Total : 0;
        }
        if (part) {
            f.Begin = part->Begin;
            f.End = part->End;
        } else {
            f.Begin = 1;
            f.End = s.YBegin.Size;
        }
        s.FileId = Start(f);
    }

    void YEncLine(TScan& s, std::string_view text) {
        if (s.YWaitPart) {
            s.YWaitPart = false;
            if (text.starts_with("=ypart ")) {
                const TYEncFields part = ParseYEncFields(text);
                StartYEnc(s, &part);
                s.YBegin.Begin = part.Begin;
                s.YBegin.End = part.End;
                s.YBegin.HasBegin = part.HasBegin;
                return;
            }
            StartYEnc(s, nullptr);
            s.Damage = "its part line is missing";
        }
        if (text.starts_with("=yend")) {
            const TYEncFields f = ParseYEncFields(text);
            TFoundEnd end;
            end.Closed = true;
            end.Damage = s.Damage;
            const bool multi = s.YBegin.HasPart;
            const std::uint64_t expected =
                multi && s.YBegin.HasBegin ? s.YBegin.End - s.YBegin.Begin + 1 : s.YBegin.Size;
            Flush();
            if (end.Damage.empty() && f.HasSize && f.Size != s.YBytes)
                end.Damage =
                    "it holds " + std::to_string(s.YBytes) + " bytes where its end line says " + std::to_string(f.Size);
            if (end.Damage.empty() && s.YBytes != expected)
                end.Damage =
                    "it holds " + std::to_string(s.YBytes) + " bytes where " + std::to_string(expected) + " were sent";
            const bool hasCrc = multi ? f.HasPartCrc : f.HasCrc;
            const std::uint32_t crc = multi ? f.PartCrc : f.Crc;
            if (end.Damage.empty() && hasCrc && crc != s.YCrc)
                end.Damage = "its CRC does not match: the data was changed on the way";
            if (multi && f.HasCrc) {
                end.HasFileCrc = true;
                end.FileCrc = f.Crc;
            }
            End(s.FileId, end);
            s.State = TScan::Prose;
            return;
        }
        if (text.starts_with("=y"))
            return;
        std::string& o = OutFor(s.FileId);
        const std::size_t before = o.size();
        s.YDecoder.DecodeLine(text, o);
        const std::string_view added(o.data() + before, o.size() - before);
        s.YCrc = Crc32(s.YCrc, added);
        s.YBytes += added.size();
        MaybeFlush();
    }

    void BtoaLine(TScan& s, std::string_view text) {
        if (IsBtoaEndLine(text)) {
            std::string& o = OutFor(s.FileId);
            TFoundEnd end;
            end.Closed = true;
            const std::string problem = s.BtoaDecoder.Finish(TrimRight(text), o);
            end.Damage = !s.Damage.empty() ? s.Damage : problem;
            End(s.FileId, end);
            s.State = TScan::Prose;
            return;
        }
        if (!s.BtoaDecoder.DecodeLine(TrimRight(text), OutFor(s.FileId)) && s.Damage.empty())
            s.Damage = "line " + std::to_string(line) + " holds characters outside the btoa alphabet";
        MaybeFlush();
    }

    // The text ends while a block is open.
    void EndScan(TScan& s) {
        switch (s.State) {
        case TScan::Prose:
            return;
        case TScan::UU:
            FinishUU(s, false);
            return;
        case TScan::Base64Block:
        case TScan::BtoaBlock: {
            TFoundEnd end;
            end.Damage = s.Damage.empty() ? "its end line is missing: the data was cut off" : s.Damage;
            End(s.FileId, end);
            break;
        }
        case TScan::YEnc: {
            if (s.FileId == 0)
                StartYEnc(s, nullptr);
            TFoundEnd end;
            end.Damage = s.Damage.empty() ? "its end line is missing: the data was cut off" : s.Damage;
            End(s.FileId, end);
            break;
        }
        }
        s.State = TScan::Prose;
    }
};

TMailWalker::TMailWalker(TWalkerSink& sink) : impl_(std::make_unique<TImpl>(sink)) {}
TMailWalker::~TMailWalker() = default;
void TMailWalker::Feed(std::string_view piece) {
    impl_->Feed(piece);
}
void TMailWalker::Finish() {
    impl_->Finish();
}
void TMailWalker::Reset() {
    TWalkerSink& sink = impl_->sink;
    std::string out;
    out.swap(impl_->out);
    std::string carry;
    carry.swap(impl_->carry);
    impl_ = std::make_unique<TImpl>(sink, std::move(out), std::move(carry));
}
std::uint64_t TMailWalker::Line() const {
    return impl_->line;
}

} // namespace ostrel
