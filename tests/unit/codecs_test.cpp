#include "mime/base64.h"
#include "mime/quoted_printable.h"
#include "mime/uucode.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

using ostrel::test::RandomBytes;

#include <algorithm>
#include <random>
#include <vector>

#include "util/error.h"

using namespace ostrel;

namespace {

// Feeds the decoder the input cut into pieces of the given size.
template <class Decoder>
std::string DecodeInPieces(Decoder decoder, const std::string& input, std::size_t piece) {
    std::string out;
    for (std::size_t pos = 0; pos < input.size(); pos += piece)
        decoder.Decode(std::string_view(input).substr(pos, piece), out);
    decoder.Finish(out);
    return out;
}

const std::size_t kPieces[] = {1, 2, 3, 16, 1024, 4096};

} // namespace

TEST(Base64, EncodesMailLinesOf76CharactersAndRoundTripsInAnyPieces) {
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");

    const std::string data = RandomBytes(10000, 1);
    std::string lines;
    Base64EncodeLines(data, lines);
    std::size_t pos = 0;
    while (pos < lines.size()) {
        const auto end = lines.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        EXPECT_LE(end - pos, 76u);
        if (end + 2 < lines.size()) {
            EXPECT_EQ(end - pos, 76u);
        }
        pos = end + 2;
    }
    for (std::size_t piece : kPieces)
        EXPECT_EQ(DecodeInPieces(TBase64Decoder(), lines, piece), data) << "piece " << piece;
    EXPECT_EQ(Base64Decode(lines), data);
}

TEST(Base64, HandlesPaddingUnpaddedEndsAndBadCharacters) {
    EXPECT_EQ(Base64Decode("QQ=="), "A");
    EXPECT_EQ(Base64Decode("QUI="), "AB");
    // No padding: only whole bytes come out, never a byte made of filler bits.
    EXPECT_EQ(Base64Decode("QQ"), "A");
    EXPECT_EQ(Base64Decode("QUI"), "AB");
    // Encodings glued together after padding (per-line encoders do that).
    EXPECT_EQ(Base64Decode("QQ==QUI="), "AAB");
    EXPECT_EQ(Base64Decode(" Q U\r\nI =\n"), "AB");
    EXPECT_THROW(Base64Decode("QU*I"), EMessageError);
    EXPECT_EQ(Base64Decode("QU*I", false), "AB");
    for (std::size_t piece : {1u, 2u, 3u})
        EXPECT_EQ(DecodeInPieces(TBase64Decoder(), "QQ==QUI=QUJD", piece), "AABABC");
}

TEST(QuotedPrintable, EncodedLinesStayShortAndDecodeBackExactly) {
    std::string text = std::string(300, 'a') + "\r\n" + "x = y\tz \xE9\xFF\x7F\r\n\r\n" + "tail " +
                       std::string(100, ' ') + "\r\n" + "end  ";
    const auto lines = TQuotedPrintable::Encode(text);
    std::string wire;
    for (const auto& line : lines) {
        EXPECT_LE(line.size(), 76u) << line;
        if (!line.empty()) {
            EXPECT_NE(line.back(), ' ') << "a line may not end in a blank: " << line;
            EXPECT_NE(line.back(), '\t');
        }
        for (unsigned char c : line)
            EXPECT_TRUE(c >= 32 && c < 127) << "unsafe byte in " << line;
        wire += line + "\r\n";
    }
    // Every paragraph of the input ends in CR LF on the wire; the last one had none.
    EXPECT_EQ(QuotedPrintableDecode(wire), text + "\r\n");
    for (std::size_t piece : kPieces)
        EXPECT_EQ(DecodeInPieces(TQuotedPrintableDecoder(), wire, piece), text + "\r\n") << "piece " << piece;
    EXPECT_EQ(TQuotedPrintable::Decode(lines), text + "\r\n");
}

TEST(QuotedPrintable, EncoderBreaksAtBlanksAndKeepsEveryParagraph) {
    std::string words;
    for (int i = 0; i < 30; ++i)
        words += "word" + std::to_string(i) + " ";
    words.pop_back();
    const auto lines = TQuotedPrintable::Encode(words);
    ASSERT_GT(lines.size(), 1u);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i].back(), '=');
        EXPECT_LE(lines[i].size(), 66u); // pieces of 65 characters at most
        // The break falls before the last blank in reach, which starts the next line.
        EXPECT_EQ(lines[i + 1].front(), ' ');
        EXPECT_GT(lines[i].size() + lines[i + 1].find(' ', 1), 66u) << lines[i];
    }
    // Escapes cut a piece further only where its line would pass 76 characters, and never
    // inside an escape.
    const auto escaped = TQuotedPrintable::Encode(std::string(60, 'a') + " " + std::string(64, '\xE9'));
    ASSERT_EQ(escaped.size(), 4u);
    EXPECT_EQ(escaped[0], std::string(60, 'a') + "=");
    for (std::size_t i = 1; i < escaped.size(); ++i) {
        EXPECT_LE(escaped[i].size(), 76u);
        EXPECT_EQ(escaped[i].find_first_not_of("=E9", 1), std::string::npos) << escaped[i];
    }
    EXPECT_EQ(QuotedPrintableDecode(escaped[1] + "\r\n" + escaped[2] + "\r\n" + escaped[3]),
              " " + std::string(64, '\xE9'));
    // Lone CR and LF are line breaks of their own: no empty line disappears.
    EXPECT_EQ(TQuotedPrintable::Encode("a\n\nb"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(TQuotedPrintable::Encode("a\r\n\r\nb\r\n"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(TQuotedPrintable::Encode("\r\n"), (std::vector<std::string>{""}));
    EXPECT_TRUE(TQuotedPrintable::Encode("").empty());
    EXPECT_EQ(TQuotedPrintable::Encode(std::string(kMaxQuotedPrintableParagraph, 'x')).size(), 379u);
    try {
        TQuotedPrintable::Encode(std::string(kMaxQuotedPrintableParagraph + 1, 'x'));
        FAIL() << "a paragraph over the limit must be refused";
    } catch (const EMessageError& e) {
        EXPECT_STREQ(e.what(), "Paragraph is too large");
    }
}

TEST(QuotedPrintable, DecoderKeepsMalformedEscapesAndHonoursSoftBreaks) {
    EXPECT_EQ(QuotedPrintableDecode("a=3db=3D=\r\nc\r\n"), "a=b=c\r\n");
    EXPECT_EQ(QuotedPrintableDecode("=XYz =4\r\n"), "=XYz =4\r\n");
    // Transport padding after a soft break and trailing blanks before a hard one are not text.
    EXPECT_EQ(QuotedPrintableDecode("ab=  \r\ncd   \r\nlast"), "abcd\r\nlast");
    EXPECT_EQ(QuotedPrintableDecode("lf only\nnext=\n"), "lf only\r\nnext");
    // An encoded "=" at a line end is data, not a soft break.
    EXPECT_EQ(TQuotedPrintable::Decode({"x=3D", "y"}), "x=\r\ny\r\n");
    EXPECT_EQ(TQuotedPrintable::Decode({"eof\x1A", "z="}), "eof\x1Az");
    EXPECT_EQ(QuotedPrintableDecodeLine("a_b=5F=3"), "a_b_=3");
}

TEST(UUCode, EncodesStandardLinesAndRoundTripsInAnyPieces) {
    std::string line;
    UUEncodeLine("Cat", line);
    EXPECT_EQ(line, "#0V%T");
    line.clear();
    // Zero values are written as the grave accent, never as a blank.
    UUEncodeLine(std::string(3, '\0'), line);
    EXPECT_EQ(line, "#````");

    const std::string data = RandomBytes(45 * 100 + 7, 2);
    std::string text = "begin 600 f.bin\r\n";
    UUEncodeLines(data, text);
    text += "`\r\nend\r\n";
    const auto firstEnd = text.find("\r\n", 17);
    EXPECT_EQ(firstEnd - 17, 61u);
    for (std::size_t piece : kPieces)
        EXPECT_EQ(DecodeInPieces(TUUDecoder(), text, piece), data) << "piece " << piece;
    // Without CR, and without a final line break.
    std::string bare;
    UUEncodeLines(data, bare, "\n");
    bare.pop_back();
    EXPECT_EQ(UUDecode(bare), data);
}

TEST(UUCode, OddLinesNeverReachOutsideTheLine) {
    std::string out;
    // Blanks stripped by a mail program: the missing characters count as zero.
    UUDecodeLine("#0V", out);
    EXPECT_EQ(out, std::string("C`\0", 3));
    out.clear();
    UUDecodeLine("M", out);
    EXPECT_EQ(out, std::string(45, '\0'));
    // Lengths above 45 ('N'..'_') give exactly that many bytes, whatever the line holds.
    out.clear();
    UUDecodeLine("_", out);
    EXPECT_EQ(out.size(), 63u);
    out.clear();
    UUDecodeLine(std::string("M") + std::string(200, '!'), out);
    EXPECT_EQ(out.size(), 45u);
    // Blank and grave accent both read as zero.
    std::string a, b;
    UUDecodeLine("#    ", a);
    UUDecodeLine("#````", b);
    EXPECT_EQ(a, std::string(3, '\0'));
    EXPECT_EQ(a, b);
    out.clear();
    UUDecodeLine("", out);
    EXPECT_TRUE(out.empty());

    // Prose is not UU data, also where the letters lie beyond the length's characters.
    EXPECT_THROW(UUDecodeLine("Hello world", out), EMessageError);
    EXPECT_THROW(UUDecodeLine("!!!!abc", out), EMessageError);
    EXPECT_THROW(UUDecodeLine("a", out), EMessageError);
    try {
        UUDecode("M" + std::string(60, '!') + "\nthis is text\n");
        FAIL();
    } catch (const EMessageError& e) {
        EXPECT_STREQ(e.what(), "Invalid Character");
    }
}

namespace {

// Decodes one character at a time: the plain path, which the bulk paths must match exactly.
std::string DecodeByteWise(const std::string& text, bool strict, bool& threw) {
    TBase64Decoder decoder(strict);
    std::string out;
    threw = false;
    try {
        for (char c : text)
            decoder.Decode(std::string_view(&c, 1), out);
        decoder.Finish(out);
    } catch (const EMessageError&) {
        threw = true;
    }
    return out;
}

} // namespace

TEST(Base64, BulkPathAgreesWithThePlainPathForEveryByteAnywhere) {
    std::string lines;
    Base64EncodeLines(RandomBytes(300, 5), lines);
    // Every byte value at places that fall in the first, middle and last of a block of 32
    // characters, and next to a line break.
    for (std::size_t at : {0u, 1u, 15u, 31u, 32u, 47u, 75u, 77u, 78u, 150u}) {
        for (int c = 0; c < 256; ++c) {
            std::string text = lines;
            text[at] = static_cast<char>(c);
            for (bool strict : {true, false}) {
                bool plainThrew = false;
                const std::string expected = DecodeByteWise(text, strict, plainThrew);
                bool bulkThrew = false;
                std::string got;
                try {
                    got = Base64Decode(text, strict);
                } catch (const EMessageError&) {
                    bulkThrew = true;
                }
                ASSERT_EQ(bulkThrew, plainThrew) << "byte " << c << " at " << at;
                if (!plainThrew) {
                    ASSERT_EQ(got, expected) << "byte " << c << " at " << at;
                }
            }
        }
    }
}

TEST(Base64, GluedEncodingsOddLinesAndPiecesCutAnywhere) {
    // Encodings of every short length glued together, so "=" padding turns up mid-stream and
    // leaves the following groups out of step with the line breaks; lines of 50 characters
    // cut groups in two.
    std::string data, glued;
    for (std::size_t n = 0; n < 200; ++n) {
        const std::string part = RandomBytes(n % 70, static_cast<unsigned>(n));
        data += part;
        glued += Base64Encode(part);
    }
    std::string text;
    for (std::size_t pos = 0; pos < glued.size(); pos += 50)
        text += glued.substr(pos, 50) + (pos % 100 == 0 ? "\n" : "\r\n");
    for (std::size_t piece : {1u, 3u, 16u, 33u, 1024u, 4096u, 100000u})
        EXPECT_EQ(DecodeInPieces(TBase64Decoder(), text, piece), data) << "piece " << piece;
    // Long runs of characters outside the alphabet, of padding and of line breaks.
    const std::string junk(100, '*'), pads(100, '='), breaks(100, '\n');
    EXPECT_EQ(Base64Decode(junk + "QUJD" + junk, false), "ABC");
    EXPECT_THROW(Base64Decode(std::string(64, 'Q') + junk), EMessageError);
    EXPECT_EQ(Base64Decode("QUJD" + pads + "QUJD" + breaks + "QUJD"), "ABCABCABC");
    // A trailing partial group: two characters give one byte whatever the cut.
    for (std::size_t piece : {1u, 2u, 4096u})
        EXPECT_EQ(DecodeInPieces(TBase64Decoder(), glued + "QQ", piece), data + "A");
}

TEST(UUCode, FullLineFastPathMatchesLineByLineDecoding) {
    std::string text;
    UUEncodeLines(RandomBytes(45 * 40, 6), text, "\n");
    const std::size_t line = 10 * 62;  // start of the eleventh line
    // A full line with a bad character anywhere in its 60, with a line break inside it (a
    // shorter line: the rest counts as zero), with a check character after the 60, and ending
    // in a lone CR.
    std::vector<std::string> variants;
    for (std::size_t at : {1u, 29u, 30u, 60u}) {
        std::string bad = text;
        bad[line + at] = 'a';
        variants.push_back(bad);
        std::string cut = text;
        cut[line + at] = '\n';
        variants.push_back(cut);
    }
    std::string check = text;
    check.insert(line + 61, "X");
    variants.push_back(check);
    std::string loneCR = text;
    loneCR[line + 61] = '\r';
    variants.push_back(loneCR);

    for (const auto& v : variants) {
        // Reference: every line through UUDecodeLine, split at CR or LF as the parser does.
        std::string expected;
        bool expectThrow = false;
        try {
            std::size_t pos = 0;
            while (pos < v.size()) {
                const std::size_t stop = std::min(v.find_first_of("\r\n", pos), v.size());
                UUDecodeLine(std::string_view(v).substr(pos, stop - pos), expected);
                pos = stop + 1;
            }
        } catch (const EMessageError&) {
            expectThrow = true;
        }
        std::string got;
        bool threw = false;
        try {
            EXPECT_EQ(UUDecodeBlock(v, got), v.size());
        } catch (const EMessageError&) {
            threw = true;
        }
        EXPECT_EQ(threw, expectThrow);
        if (!expectThrow) {
            EXPECT_EQ(got, expected);
            // The piece-wise decoder splits at LF only; a lone CR joins two lines there.
            if (v != loneCR) {
                for (std::size_t piece : {1u, 61u, 62u, 4096u})
                    EXPECT_EQ(DecodeInPieces(TUUDecoder(), v, piece), expected) << "piece " << piece;
            }
        } else {
            // What was decoded before the bad line stays.
            EXPECT_EQ(got.size(), 10u * 45u);
        }
    }
}

TEST(UUCode, BlockStopsAtItsClosingLineAndFitsAnExactReservation) {
    const std::string data = RandomBytes(45 * 300 + 11, 7);
    std::string lines;
    UUEncodeLines(data, lines);
    for (const char* closing : {"`", "end", "END", "End"}) {
        const std::string text = lines + "\r\n" + std::string(closing) + "\r\nM" + std::string(60, '!') + "\r\n";
        std::string out;
        EXPECT_EQ(UUDecodeBlock(text, out), lines.size() + 2) << closing;
        EXPECT_EQ(out, data);
    }
    // Lone CR line ends, and no closing line at all.
    std::string lone = lines;
    for (std::size_t pos = lone.find("\r\n"); pos != std::string::npos; pos = lone.find("\r\n", pos))
        lone.erase(pos + 1, 1);
    std::string out;
    EXPECT_EQ(UUDecodeBlock(lone, out), lone.size());
    EXPECT_EQ(out, data);
    // Room for exactly the data is never traded for a reallocation of twice the size: the
    // lines near the end go through a spare buffer.
    out.clear();
    out.shrink_to_fit();
    out.reserve(data.size());
    const std::size_t capacity = out.capacity();
    UUDecodeBlock(lines, out);
    EXPECT_EQ(out, data);
    EXPECT_EQ(out.capacity(), capacity);
}
