#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ostrel {

// UU coding: each line is a length character (the byte count) and the bytes, three to four
// characters of six bits each; a value v is the character 32 + v, and 0 is written as the grave
// accent "`". Both " " and "`" read as 0.

// Bytes per full line.
inline constexpr std::size_t kUULineBytes = 45;

// Appends one encoded line (no line end) for up to 45 bytes.
void UUEncodeLine(std::string_view bytes, std::string& out);
// Appends the data as lines of 45 bytes, each followed by lineEnd (no "begin"/"end" lines).
void UUEncodeLines(std::string_view data, std::string& out, std::string_view lineEnd = "\r\n");

// Decodes one line (without its line end) and appends exactly as many bytes as its length
// character says, whatever the line's own length: characters missing at the end count as 0
// (mail programs strip trailing blanks), characters beyond what a full 45-byte line needs are
// ignored. An empty line gives nothing. A character outside the UU alphabet raises
// EMessageError "Invalid Character".
void UUDecodeLine(std::string_view line, std::string& out);

// Decodes the lines of a UU block from the start of text up to the line that closes it (a line
// of one "`" or "end" in any case), appending to out, and returns where that line starts
// (text.size() when there is none). Lines end in CR, LF or CR LF; empty lines are skipped and
// every other line is decoded as UUDecodeLine does. On an invalid character out keeps the lines
// before it.
std::size_t UUDecodeBlock(std::string_view text, std::string& out);

// Decodes the data lines of a UU block fed in pieces of any size; the output does not depend
// on where the pieces are cut. Lines end in LF or CR LF. Empty lines, "begin ..." lines, a line
// of one "`" and an "end" line are skipped; every other line is decoded with UUDecodeLine.
class TUUDecoder {
public:
    void Decode(std::string_view piece, std::string& out);
    // Decodes a last line that had no line break.
    void Finish(std::string& out);
    void Reset() { pending_.clear(); }

private:
    void Line(std::string_view line, std::string& out);
    std::string pending_;
    std::size_t used_ = 0;  // bytes of out that hold decoded data
};

// One-shot decode of a whole block of lines.
std::string UUDecode(std::string_view text);

// How one line (without its line end) reads as UU data.
struct TUULine {
    enum TKind {
        NotData, // a character outside the alphabet, or more characters than its length allows
        Zero,    // the closing line of zero length ("`" or " ")
        Data,
    };
    TKind Kind = NotData;
    // The length character's value.
    unsigned Bytes = 0;
    // Fewer characters than the bytes need. Encoders that write zero as a blank lose trailing
    // blanks to mail programs; the missing characters read as zero.
    bool Short = false;
    // Which character the line uses for zero; tells the two kinds of encoder apart.
    bool Backquote = false;
    bool Blank = false;
    // Every character is in the alphabet: a line that looks encoded, whatever its length.
    bool Alphabet = false;
};
TUULine ClassifyUULine(std::string_view line);

// Decodes the full lines ("M", 60 characters, a line end of LF, CR LF or CR CR LF) at the start
// of text into out, which has room for room bytes; stops in front of the first other line, a
// line whose end is not in text, or when out is nearly full. Returns the bytes of text used and
// sets produced; sawBackquote and sawBlank are set when a line held a "`" or a blank.
std::size_t UUDecodeFullLines(std::string_view text, char* out, std::size_t room, std::size_t& produced,
                              bool& sawBackquote, bool& sawBlank);

} // namespace ostrel
