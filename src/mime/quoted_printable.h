#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

// Quoted-printable (RFC 2045).
//
// Encoding: the text is split into paragraphs at its line breaks (CR LF, or a lone CR or LF;
// an empty paragraph is an empty line). Each paragraph is cut into pieces of at most 65
// characters, before the last blank within reach (after 65 characters where there is none),
// and each piece becomes a line; all lines of a paragraph but its last end in a soft line break
// "=". Control characters (tab included), "=", DEL and bytes 0x80-0xFF are written as "=XX", and
// so is a blank that ends a paragraph, so that no line ends in white space. A piece whose escapes
// would make its line longer than 76 characters is cut further, between two escapes. A paragraph
// may not exceed kMaxQuotedPrintableParagraph bytes ("Paragraph is too large", EMessageError).
inline constexpr std::size_t kMaxQuotedPrintableParagraph = 24575;

class TQuotedPrintable {
public:
    // The encoded lines (without line ends); an empty text gives no lines, a text ending in a
    // line break gives no extra empty line. pump, when given, runs once per paragraph so that a
    // long body does not freeze the window.
    static std::vector<std::string> Encode(std::string_view text, const std::function<void()>& pump = {});
    // Decodes received lines (without their line ends): each line that does not end in a soft
    // line break gets CR LF, unless it ends in the end-of-file character (code 26).
    static std::string Decode(const std::vector<std::string>& lines);
};

// Decodes quoted-printable text fed in pieces of any size; the output does not depend on where
// the pieces are cut. "=XX" (hex digits in either case) gives the byte; "=" at the end of a line
// (blanks may follow it) is a soft line break; any other "=" is kept as it is. Line breaks (CR LF
// or LF) are passed on as CR LF, without the blanks and tabs that preceded them.
class TQuotedPrintableDecoder {
public:
    void Decode(std::string_view piece, std::string& out);
    // Decodes a last line that had no line break.
    void Finish(std::string& out);
    void Reset() { pending_.clear(); }

private:
    void DecodeLine(std::string_view line, bool hasBreak, std::string& out);
    std::string pending_; // an unfinished line
};

// One-shot decode of a whole text.
std::string QuotedPrintableDecode(std::string_view text);
// Decodes one line with no line-break handling: "=XX" sequences only, malformed ones kept, a
// final "=" kept. Used for Q-encoded header words.
std::string QuotedPrintableDecodeLine(std::string_view line);

} // namespace ostrel
