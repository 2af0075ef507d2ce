#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel {

// Small text operations shared by the whole program. Positions count from 1; comparisons are
// case-sensitive unless a name says otherwise.

// The source with the first occurrence of search replaced.
std::string ReplaceFirst(const std::string& search, const std::string& source, const std::string& replacement);
// Replaces until search no longer occurs, each time searching from the start; an empty search
// changes nothing. A replacement that contains search would never end: use ReplaceEach then.
std::string ReplaceAll(const std::string& search, const std::string& source, const std::string& replacement);
// Replaces every occurrence once, left to right, never scanning inserted text again.
std::string ReplaceEach(const std::string& search, const std::string& source, const std::string& replacement);

// Value of a header-like field ("Subject: "), searched without regard to case at a line start;
// up to 1024 characters, cut at the first CR LF. Empty when absent.
std::string ParseField(const std::string& fieldName, const std::string& text);
// Text before the first blank; empty if there is none.
std::string FirstWord(const std::string& text);
int InstancesOfCharacters(const std::string& character, const std::string& text);
// Trimmed text read as a signed 32-bit decimal ("$" prefix: hexadecimal); 0 on any failure.
std::int32_t VBVal(const std::string& text);
// Empty if the URL ends in "/", else the text after its last ".", or empty without one.
std::string UrlExtension(const std::string& url);
// 1-based position of the second non-overlapping occurrence of search; 0 if fewer.
int SecondPos(const std::string& search, const std::string& text);
// The path up to and including its last "/"; the whole path when it has none.
std::string PathOfF(const std::string& path);
// All command-line arguments joined with nothing between them.
std::string CommandLine();

// Whether the bytes are whole UTF-8 sequences only (lead bytes C2 to F4, each with its
// continuation bytes).
bool IsValidUtf8(const std::string& s);
// The length of the whole UTF-8 character that starts at pos, or 0 when none starts there.
std::size_t Utf8CharacterAt(const std::string& text, std::size_t pos);
// The first byte c at or after from that is no part of a whole UTF-8 character; npos when none.
// Separator bytes above 0x7F are also continuation bytes of some characters.
std::size_t FindLoneByte(const std::string& text, char c, std::size_t from = 0);
// The first limit bytes of the text, or fewer, so that a UTF-8 text is never cut inside a
// character and stays UTF-8. Other texts are cut at the limit.
std::string CutAtCharacter(const std::string& text, std::size_t limit);

// The lines of a text ended by LF or CR LF, without their ends; a last line without an end too.
std::vector<std::string> TextLines(const std::string& text);

std::string Trim(const std::string& s);
std::string UpperCase(const std::string& s);
std::string LowerCase(const std::string& s);
bool StartsWithNoCase(const std::string& text, const std::string& prefix);
bool EqualsNoCase(const std::string& a, const std::string& b);
// 1-based position of needle in haystack, 0 when absent (the classic Pos).
int Pos(const std::string& needle, const std::string& haystack);
// Pos without regard to ASCII case.
int PosNoCase(const std::string& needle, const std::string& haystack);

} // namespace ostrel
