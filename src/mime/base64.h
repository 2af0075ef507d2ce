#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ostrel {

// Standard base64 (RFC 2045 alphabet, "=" padding).

// The whole input as one unbroken run of base64 characters.
std::string Base64Encode(std::string_view data);
// Appends the input as mail lines: groups of 57 bytes, each one line of at most 76 characters
// followed by lineEnd.
void Base64EncodeLines(std::string_view data, std::string& out, std::string_view lineEnd = "\r\n");

// Decodes base64 fed in pieces of any size; the output does not depend on where the pieces
// are cut. Line breaks, blanks and tabs are skipped. "=" ends a group of four (each one drops a
// byte); a new group may follow, so concatenated encodings decode too.
class TBase64Decoder {
public:
    // strict: any other character raises EMessageError "Invalid Character"; otherwise such
    // characters are skipped.
    explicit TBase64Decoder(bool strict = true) : strict_(strict) {}

    // Appends the bytes completed by this piece to out.
    void Decode(std::string_view piece, std::string& out);
    // Appends what an unfinished last group still holds (2 characters give 1 byte, 3 give 2; a
    // lone character carries no whole byte) and starts afresh.
    void Finish(std::string& out);
    void Reset();
    // Characters of the open group (0 when the data so far ends on a whole group).
    int Open() const { return count_; }
    // Characters outside the alphabet passed over (only when not strict).
    std::size_t Invalid() const { return invalid_; }

private:
    void DecodeStretch(std::string_view piece, std::string& out);
    bool strict_;
    unsigned bits_ = 0;  // accumulated 6-bit values of the open group
    int count_ = 0;      // characters in the open group (0..3)
    int padding_ = 0;    // "=" seen in the open group
    std::size_t invalid_ = 0;
};

// One-shot decode of a whole text.
std::string Base64Decode(std::string_view text, bool strict = true);

} // namespace ostrel
