#include "mailbox/page_reply.h"

#include <cerrno>
#include <vector>

#include <iconv.h>

#include "mime/base64.h"
#include "mime/message.h"
#include "mime/quoted_printable.h"
#include "requests/request_context.h"
#include "util/text.h"

namespace ostrel {

namespace {

constexpr int MaxDepth = 8;

struct TFound {
    bool File = false;
    bool HaveHtml = false;
    bool HaveText = false;
    std::string Html, HtmlCharset, Text, TextCharset;
    std::string Problem;
};

// The header block (unfolded later by TmsHeaders) and the body of an entity.
void SplitEntity(std::string_view entity, TmsHeaders& headers, std::string_view& body) {
    std::size_t start = 0;
    for (;;) {
        std::size_t end = entity.find('\n', start);
        if (end == std::string_view::npos) {
            std::string line(entity.substr(start));
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty())
                headers.Add(line);
            body = {};
            return;
        }
        std::string line(entity.substr(start, end - start));
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty()) {
            body = entity.substr(start);
            return;
        }
        headers.Add(line);
    }
}

// The value of a header with its continuation lines, nothing decoded.
std::string RawValue(const TmsHeaders& headers, const std::string& name) {
    std::string value;
    bool in = false;
    for (const auto& line : headers.Lines) {
        if (in && !line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            value += " " + Trim(line);
            continue;
        }
        if (in)
            break;
        if (line.size() > name.size() && line[name.size()] == ':' && EqualsNoCase(line.substr(0, name.size()), name)) {
            value = Trim(line.substr(name.size() + 1));
            in = true;
        }
    }
    return value;
}

// A parameter of a structured value ("charset", "boundary"), quotes removed; RFC 2231 forms
// ("name*", "name*0") count as present.
std::string Param(const std::string& value, const std::string& name, bool* present = nullptr) {
    std::size_t pos = value.find(';');
    while (pos != std::string::npos) {
        std::size_t next = pos + 1;
        bool quoted = false;
        while (next < value.size() && (quoted || value[next] != ';')) {
            if (value[next] == '"')
                quoted = !quoted;
            ++next;
        }
        const std::string item = Trim(value.substr(pos + 1, next - pos - 1));
        const std::size_t equals = item.find('=');
        if (equals != std::string::npos) {
            const std::string key = LowerCase(Trim(item.substr(0, equals)));
            if (key == name || key.starts_with(name + "*")) {
                if (present != nullptr)
                    *present = true;
                std::string v = Trim(item.substr(equals + 1));
                if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
                    v = v.substr(1, v.size() - 2);
                return v;
            }
        }
        pos = next < value.size() ? next : std::string::npos;
    }
    return "";
}

std::string TokenOf(const std::string& value) {
    return LowerCase(Trim(value.substr(0, value.find(';'))));
}

// Whether a text carries a file the way the receiving code reads one.
bool CarriesEncodedFile(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.starts_with("=ybegin ") || line.starts_with("begin-base64 ") || line.starts_with("xbtoa Begin"))
            return true;
        if (line.size() > 10 && line.starts_with("begin ")) {
            std::size_t i = 6;
            std::size_t digits = 0;
            while (i < line.size() && line[i] >= '0' && line[i] <= '7') {
                ++i;
                ++digits;
            }
            if ((digits == 3 || digits == 4) && i < line.size() && line[i] == ' ')
                return true;
        }
    }
    return false;
}

bool Base64Whole(std::string_view text) {
    std::size_t count = 0;
    for (char c : text)
        if (!(c == '\r' || c == '\n' || c == ' ' || c == '\t'))
            ++count;
    return count % 4 == 0;
}

void Walk(std::string_view entity, int depth, TFound& f) {
    if (f.File || depth > MaxDepth)
        return;
    TmsHeaders headers;
    std::string_view body;
    SplitEntity(entity, headers, body);
    const std::string typeValue = RawValue(headers, "Content-Type");
    std::string type = TokenOf(typeValue);
    if (type.empty() || type.find('/') == std::string::npos)
        type = "text/plain";
    const std::string disposition = RawValue(headers, "Content-Disposition");
    const std::string transfer = LowerCase(RawValue(headers, "Content-Transfer-Encoding"));

    if (type.starts_with("multipart/")) {
        const std::string boundary = Param(typeValue, "boundary");
        if (boundary.empty()) {
            f.Problem = "a multipart reply without a boundary";
            return;
        }
        const std::string dash = "--" + boundary;
        std::size_t partStart = std::string_view::npos;
        std::size_t start = 0;
        while (start < body.size()) {
            std::size_t end = body.find('\n', start);
            if (end == std::string_view::npos)
                end = body.size();
            std::string_view line = body.substr(start, end - start);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (line.starts_with(dash)) {
                if (partStart != std::string_view::npos) {
                    // The line break before the boundary belongs to it.
                    std::size_t partEnd = start;
                    if (partEnd > partStart && body[partEnd - 1] == '\n')
                        --partEnd;
                    if (partEnd > partStart && body[partEnd - 1] == '\r')
                        --partEnd;
                    Walk(body.substr(partStart, partEnd - partStart), depth + 1, f);
                }
                if (line.substr(dash.size()).starts_with("--"))
                    return;
                partStart = end + 1;
            }
            start = end + 1;
        }
        // No closing boundary: the mail was cut off; what came is taken as it is.
        if (partStart != std::string_view::npos && partStart < body.size())
            Walk(body.substr(partStart), depth + 1, f);
        return;
    }
    bool named = false;
    Param(typeValue, "name", &named);
    Param(disposition, "filename", &named);
    if (type.starts_with("message/") || !type.starts_with("text/") || named || TokenOf(disposition) == "attachment" ||
        transfer.starts_with("x-uu") || transfer == "uuencode") {
        f.File = true;
        return;
    }
    std::string decoded;
    try {
        if (transfer == "base64") {
            if (!Base64Whole(body)) {
                f.Problem = "its base64 text is cut short or lost a character";
                return;
            }
            decoded = Base64Decode(body, true);
        } else if (transfer == "quoted-printable") {
            decoded = QuotedPrintableDecode(body);
        } else {
            decoded = std::string(body);
        }
    } catch (const std::exception& e) {
        f.Problem = std::string("its ") + transfer + " text is damaged (" + e.what() + ")";
        return;
    }
    if (CarriesEncodedFile(decoded)) {
        f.File = true;
        return;
    }
    const std::string charset = LowerCase(Param(typeValue, "charset"));
    if (type == "text/html") {
        if (!f.HaveHtml) {
            f.HaveHtml = true;
            f.Html = std::move(decoded);
            f.HtmlCharset = charset;
        }
    } else if (!f.HaveText) {
        f.HaveText = true;
        f.Text = std::move(decoded);
        f.TextCharset = charset;
    }
}

// A browser opening the saved page must read it in the character set it came in: the mail
// said which, and the page may not.
std::string DeclareCharset(std::string html, const std::string& charset) {
    std::string set = charset;
    if (set.empty())
        set = IsValidUtf8(html) ? "utf-8" : "";
    if (set.empty())
        return html;
    const std::string head = LowerCase(html.substr(0, 4096));
    if (head.find("charset") != std::string::npos)
        return html;
    const std::string meta = "<meta charset=\"" + set + "\">";
    const std::size_t at = head.find("<head");
    const std::size_t close = at == std::string::npos ? std::string::npos : head.find('>', at);
    if (close != std::string::npos)
        html.insert(close + 1, meta);
    else
        html.insert(0, meta + "\r\n");
    return html;
}

std::string SafeNamePart(const std::string& text) {
    std::string name;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127 || std::string_view("/\\:*?\"<>|% ").find(c) != std::string_view::npos)
            name += '_';
        else
            name += c;
    }
    while (!name.empty() && (name.front() == '.' || name.front() == '_' || name.front() == '-'))
        name.erase(0, 1);
    while (!name.empty() && (name.back() == '_' || name.back() == '.'))
        name.pop_back();
    return name;
}

} // namespace

TReplyContent ReadReply(std::string_view mail) {
    TFound f;
    Walk(mail, 0, f);
    TReplyContent c;
    if (f.File) {
        c.Kind = TReplyContent::File;
        return c;
    }
    if (!f.Problem.empty() && !f.HaveHtml && !f.HaveText) {
        c.Kind = TReplyContent::Damaged;
        c.Problem = f.Problem;
        return c;
    }
    if (f.HaveHtml) {
        c.Extension = ".html";
        c.Data = DeclareCharset(std::move(f.Html), f.HtmlCharset);
    } else {
        c.Extension = ".txt";
        c.Data = TextToUtf8(f.Text, f.TextCharset);
    }
    return c;
}

std::string PageFileName(const std::string& request, const std::string& subject, const std::string& extension) {
    std::string url = RequestFromHistory(request);
    for (const char* scheme : {"http://", "https://", "ftp://", "gopher://", "news:"})
        if (StartsWithNoCase(url, scheme)) {
            url.erase(0, std::char_traits<char>::length(scheme));
            break;
        }
    std::string name = SafeNamePart(url);
    if (name.empty())
        name = SafeNamePart(subject);
    if (name.empty())
        name = "reply";
    for (const char* known : {".html", ".htm", ".txt"}) {
        const std::string k = known;
        if (name.size() > k.size() && EqualsNoCase(name.substr(name.size() - k.size()), k)) {
            name.erase(name.size() - k.size());
            break;
        }
    }
    name = CutAtCharacter(name, 120);
    return name + extension;
}

std::string TextToUtf8(std::string_view bytes, const std::string& charset) {
    const std::string set = LowerCase(Trim(charset));
    if (set.empty() || set == "utf-8" || set == "utf8" || set == "us-ascii" || set == "ascii")
        return std::string(bytes);
    iconv_t cd = ::iconv_open("UTF-8", set.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    std::vector<char> in(bytes.begin(), bytes.end());
    char* src = in.data();
    std::size_t left = in.size();
    char buffer[8192];
    while (left > 0) {
        char* dst = buffer;
        std::size_t room = sizeof buffer;
        const std::size_t rc = ::iconv(cd, &src, &left, &dst, &room);
        out.append(buffer, static_cast<std::size_t>(dst - buffer));
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // A byte the set does not have: the replacement character, and on.
            out += "\xEF\xBF\xBD";
            ++src;
            --left;
        }
    }
    ::iconv_close(cd);
    return out;
}

} // namespace ostrel
