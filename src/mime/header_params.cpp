#include "mime/header_params.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <vector>

#include "mime/base64.h"
#include "mime/message.h"
#include "mime/quoted_printable.h"
#include "util/text.h"

namespace ostrel {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            const int hi = HexValue(s[i + 1]), lo = HexValue(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

// One piece of a parameter split by RFC 2231: "name*2*" is piece 2, percent-encoded.
struct TPiece {
    std::string Value;
    bool Encoded = false;
};

struct TSplitParam {
    std::map<int, TPiece> Pieces;
    bool Simple = false; // the plain "name=" form was seen
    std::string Plain;
};

} // namespace

std::string ToUtf8(std::string_view bytes, std::string_view charset) {
    std::string set = LowerCase(std::string(TrimBlanks(charset)));
    const bool ascii =
        std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii)
        return std::string(bytes);
    if (set.empty() || set == "us-ascii" || set == "unknown-8bit") {
        if (IsValidUtf8(std::string(bytes)))
            return std::string(bytes);
        set = "iso-8859-1";
    }
    if (set == "utf-8" || set == "utf8")
        return std::string(bytes);
    iconv_t cd = ::iconv_open("UTF-8", set.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::string(bytes);
    std::string out(bytes.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char* o = out.data();
    std::size_t outLeft = out.size();
    const std::size_t rc = ::iconv(cd, &in, &inLeft, &o, &outLeft);
    ::iconv_close(cd);
    if (rc == static_cast<std::size_t>(-1))
        return std::string(bytes);
    out.resize(out.size() - outLeft);
    return out;
}

std::string DecodeWordsToUtf8(std::string_view text) {
    std::string out;
    std::size_t pos = 0;
    bool lastWasWord = false;
    std::string pendingBlank;
    while (pos < text.size()) {
        const std::size_t open = text.find("=?", pos);
        if (open == std::string_view::npos) {
            out += pendingBlank;
            out.append(text.substr(pos));
            break;
        }
        // =?charset?X?text?=
        const std::size_t q1 = text.find('?', open + 2);
        const std::size_t q2 = q1 == std::string_view::npos ? q1 : text.find('?', q1 + 1);
        const std::size_t close = q2 == std::string_view::npos ? q2 : text.find("?=", q2 + 1);
        if (close == std::string_view::npos || q2 != q1 + 2) {
            out += pendingBlank;
            out.append(text.substr(pos, open + 2 - pos));
            pendingBlank.clear();
            pos = open + 2;
            lastWasWord = false;
            continue;
        }
        const std::string_view between = text.substr(pos, open - pos);
        if (!(lastWasWord && TrimBlanks(between).empty()))
            out.append(between);
        std::string_view charset = text.substr(open + 2, q1 - open - 2);
        // RFC 2231 lets a language follow the charset: "utf-8*en".
        if (const auto star = charset.find('*'); star != std::string_view::npos)
            charset = charset.substr(0, star);
        const char kind = static_cast<char>(text[q1 + 1] | 0x20);
        const std::string_view payload = text.substr(q2 + 1, close - q2 - 1);
        std::string decoded;
        if (kind == 'b') {
            decoded = Base64Decode(payload, false);
        } else if (kind == 'q') {
            std::string underscores(payload);
            for (char& c : underscores)
                if (c == '_')
                    c = ' ';
            decoded = QuotedPrintableDecodeLine(underscores);
        } else {
            decoded = std::string(text.substr(open, close + 2 - open));
        }
        out += ToUtf8(decoded, charset);
        pos = close + 2;
        lastWasWord = true;
        pendingBlank.clear();
    }
    return out;
}

std::string THeaderValue::Param(const std::string& name) const {
    const auto it = Params.find(name);
    return it == Params.end() ? std::string() : it->second;
}

THeaderValue ParseHeaderValue(std::string_view value) {
    THeaderValue result;
    std::size_t pos = value.find(';');
    result.Token = LowerCase(std::string(TrimBlanks(value.substr(0, pos))));
    std::map<std::string, TSplitParam> split;
    while (pos != std::string_view::npos && pos < value.size()) {
        ++pos; // past ";"
        while (pos < value.size() && IsBlank(value[pos]))
            ++pos;
        const std::size_t eq = value.find('=', pos);
        if (eq == std::string_view::npos)
            break;
        std::string name = LowerCase(std::string(TrimBlanks(value.substr(pos, eq - pos))));
        pos = eq + 1;
        while (pos < value.size() && IsBlank(value[pos]))
            ++pos;
        std::string v;
        if (pos < value.size() && value[pos] == '"') {
            ++pos;
            while (pos < value.size() && value[pos] != '"') {
                if (value[pos] == '\\' && pos + 1 < value.size())
                    ++pos;
                v += value[pos++];
            }
            pos = value.find(';', pos);
        } else {
            const std::size_t end = value.find(';', pos);
            v = std::string(TrimBlanks(value.substr(pos, end == std::string_view::npos ? end : end - pos)));
            pos = end;
        }
        // name, name*, name*N, name*N*
        bool encoded = false;
        if (!name.empty() && name.back() == '*') {
            encoded = true;
            name.pop_back();
        }
        int index = -1;
        if (const auto star = name.find('*'); star != std::string::npos) {
            const std::string digits = name.substr(star + 1);
            if (digits.empty() || digits.size() > 3 ||
                !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
                continue;
            index = std::stoi(digits);
            name.resize(star);
        }
        if (name.empty())
            continue;
        TSplitParam& p = split[name];
        if (index < 0 && !encoded) {
            if (!p.Simple) {
                p.Simple = true;
                p.Plain = v;
            }
        } else {
            p.Pieces[index < 0 ? 0 : index] = TPiece{v, encoded};
        }
    }
    for (auto& [name, p] : split) {
        if (!p.Pieces.empty()) {
            // The charset comes first in the first encoded piece: charset'language'text.
            std::string charset, bytes;
            int expected = 0;
            for (auto& [index, piece] : p.Pieces) {
                if (index != expected++)
                    break; // a gap: what follows cannot be placed
                std::string_view v = piece.Value;
                if (piece.Encoded && index == 0) {
                    const auto a = v.find('\'');
                    const auto b = a == std::string_view::npos ? a : v.find('\'', a + 1);
                    if (b != std::string_view::npos) {
                        charset = std::string(v.substr(0, a));
                        v = v.substr(b + 1);
                    }
                }
                bytes += piece.Encoded ? PercentDecode(v) : std::string(v);
            }
            result.Params[name] = ToUtf8(bytes, charset);
        } else {
            result.Params[name] =
                p.Plain.find("=?") != std::string::npos ? DecodeWordsToUtf8(p.Plain) : ToUtf8(p.Plain, "");
        }
    }
    return result;
}

std::string RawFieldValue(const TmsHeaders& headers, std::string_view name) {
    const auto& lines = headers.Lines;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.size() <= name.size() || line[name.size()] != ':' ||
            !EqualsNoCase(line.substr(0, name.size()), std::string(name)))
            continue;
        std::string value(TrimBlanks(std::string_view(line).substr(name.size() + 1)));
        for (std::size_t j = i + 1;
             j < lines.size() && !lines[j].empty() && (lines[j][0] == ' ' || lines[j][0] == '\t'); ++j) {
            value += ' ';
            value += TrimBlanks(lines[j]);
        }
        return value;
    }
    return {};
}

} // namespace ostrel
