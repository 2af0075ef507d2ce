#include "util/text.h"

#include <gtest/gtest.h>

#include "util/program_state.h"

using namespace ostrel;

TEST(ReplaceAll, RepeatsUntilTheSearchTextIsGone) {
    EXPECT_EQ(ReplaceAll("x", "abc", "y"), "abc");
    EXPECT_EQ(ReplaceAll("\r\r", "a\r\r\rb", "\r"), "a\rb");
    EXPECT_EQ(ReplaceAll("", "abc", "y"), "abc");
    // Replacements that join with their surroundings into a new occurrence are replaced too.
    EXPECT_EQ(ReplaceAll("ab", "aabb", ""), "");
    // A replacement holding the search text is done once per occurrence instead of looping.
    EXPECT_EQ(ReplaceAll("a", "xax", "aa"), "xaax");
    EXPECT_EQ(ReplaceEach("\xFE", "x\xFEy\xFE", "u\xFEv"), "xu\xFEvyu\xFEv");
}

TEST(ParseField, FindsTheFirstOccurrenceAtALineStartWithoutRegardToCase) {
    EXPECT_EQ(ParseField("Subject: ", "SUBJECT: Part 2 of 3\r\nFrom: x"), "Part 2 of 3");
    EXPECT_EQ(ParseField("Subject: ", "From: a\r\nsubject: One\r\nSubject: Two"), "One");
    EXPECT_EQ(ParseField("Subject", "Subject: x"), ": x");
    EXPECT_EQ(ParseField("Subject: ", "Xsubject: no"), "");
    // Bare line feeds do not end the value.
    EXPECT_EQ(ParseField("Subject: ", "Subject: a\nb\nc"), "a\nb\nc");
    EXPECT_EQ(ParseField("Subject: ", "Subject: " + std::string(2000, 'v')).size(), 1024u);
}

TEST(SmallHelpers, BehaveAsTheirCallersExpect) {
    EXPECT_EQ(FirstWord("GET http://x"), "GET");
    EXPECT_EQ(FirstWord("noblank"), "");
    EXPECT_EQ(InstancesOfCharacters("/", "http://a/b"), 3);
    EXPECT_EQ(VBVal("  12 "), 12);
    EXPECT_EQ(VBVal("12a"), 0);
    EXPECT_EQ(VBVal("$1F"), 31);
    EXPECT_EQ(VBVal("-7"), -7);
    EXPECT_EQ(VBVal("99999999999"), 0);
    EXPECT_EQ(VBVal(""), 0);
    EXPECT_EQ(UrlExtension("http://a.com/dir/"), "");
    EXPECT_EQ(UrlExtension("http://a.com/file.ZIP"), "ZIP");
    EXPECT_EQ(UrlExtension("http://www.a.com/dir/file"), "com/dir/file");
    EXPECT_EQ(SecondPos("ab", "xabyab"), 5);
    EXPECT_EQ(SecondPos("ab", "xab"), 0);
    EXPECT_EQ(SecondPos("aa", "aaa"), 0);
    EXPECT_EQ(PathOfF("name"), "name");
    EXPECT_EQ(PathOfF("/opt/ostrel/ostrel"), "/opt/ostrel/");
}

TEST(CommandLine, JoinsTheArgumentsWithoutSeparators) {
    ProgramState().Args = {"/s", "/p"};
    EXPECT_EQ(CommandLine(), "/s/p");
    ProgramState().Args.clear();
}
