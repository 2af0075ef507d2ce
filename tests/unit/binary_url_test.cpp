#include "servers/binary_url.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "support/test_support.h"

using namespace ostrel;

namespace {

class BinaryUrlTest : public ::testing::Test {
protected:
    test::ProgramFolder folder;
    void SetUp() override {
        folder.Write("nbinary.ext", "html\r\nphp\r\ntxt\r\n");
        folder.Write("unbinary.txt", "");
    }
};

} // namespace

TEST_F(BinaryUrlTest, DecidesOnTheExtensionOfTheFile) {
    EXPECT_TRUE(IsBinaryUrl("http://h.example/dl/setup.exe"));
    EXPECT_TRUE(IsBinaryUrl("http://h.example/a.zip"));
    EXPECT_FALSE(IsBinaryUrl("http://h.example/index.html"));
    // A list line covers every extension it begins with.
    EXPECT_FALSE(IsBinaryUrl("http://h.example/index.htm"));
    EXPECT_FALSE(IsBinaryUrl("http://h.example/index.HTML"));
    // Folders, and names without a dot in the last segment, are pages.
    EXPECT_FALSE(IsBinaryUrl("http://h.example/files/"));
    EXPECT_FALSE(IsBinaryUrl("http://h.example/files.zip/"));
    EXPECT_FALSE(IsBinaryUrl("http://h.example/files"));
    EXPECT_FALSE(IsBinaryUrl("http://h.example/cgi-bin/search"));
    // A host-only URL is decided on its top-level name.
    EXPECT_TRUE(IsBinaryUrl("http://www.example.com"));
    EXPECT_FALSE(IsBinaryUrl("http://www.example.com/"));
}

TEST_F(BinaryUrlTest, QueryStringsAreCutOnlyForImplausibleExtensions) {
    // The dot in the query ends in a plausible extension: the URL stays whole.
    EXPECT_TRUE(IsBinaryUrl("http://h.example/get.php?file=setup.zip"));
    // "php?id=7" is too long for an extension: decided on "php".
    EXPECT_FALSE(IsBinaryUrl("http://h.example/get.php?id=7"));
    EXPECT_TRUE(IsBinaryUrl("http://h.example/a.exe?mirror=nearest"));
    // One-letter extension in the query: cut, and the path has no extension at all.
    EXPECT_FALSE(IsBinaryUrl("http://h.example/dl?v=1.2"));
    // Cut at "?", the last dot lies in the host.
    EXPECT_FALSE(IsBinaryUrl("http://h.example/run?session=abcdefgh.ijklmn"));
}

TEST_F(BinaryUrlTest, BothListsAreReadAtEveryDecision) {
    EXPECT_TRUE(IsBinaryUrl("http://h.example/feed.rss"));
    folder.Write("unbinary.txt", "rss\n");
    EXPECT_FALSE(IsBinaryUrl("http://h.example/feed.rss"));
    // Upper-case list lines never match.
    folder.Write("unbinary.txt", "RSS\r\n");
    EXPECT_TRUE(IsBinaryUrl("http://h.example/feed.rss"));
    // The two lists are joined with a line break, so neither hides the other's first line.
    folder.Write("nbinary.ext", "html");
    folder.Write("unbinary.txt", "rss");
    EXPECT_FALSE(IsBinaryUrl("http://h.example/feed.rss"));
    EXPECT_FALSE(IsBinaryUrl("http://h.example/a.html"));
}

TEST_F(BinaryUrlTest, MissingListsMakeEveryExtensionBinary) {
    std::remove(folder.File("nbinary.ext").c_str());
    std::remove(folder.File("unbinary.txt").c_str());
    EXPECT_TRUE(IsBinaryUrl("http://h.example/index.html"));
    EXPECT_FALSE(IsBinaryUrl("http://h.example/"));
    EXPECT_FALSE(IsBinaryUrl("http://h.example/readme"));
}

TEST(DeliveredBinaryList, KnowsTheScriptAndPageExtensionsOfTheWeb) {
    test::ProgramFolder folder;
    folder.CopyData("nbinary.ext");
    folder.CopyData("unbinary.txt");
    for (const char* page : {"a.htm", "a.html", "a.php", "a.asp", "a.aspx", "a.jsp", "a.cgi", "a.pl", "a.shtml",
                             "a.txt", "a.xml", "a.json"})
        EXPECT_FALSE(IsBinaryUrl(std::string("https://h.example/") + page)) << page;
    for (const char* file : {"a.zip", "a.exe", "a.tar.gz", "a.pdf", "a.jpg", "a.mp3", "a.iso"})
        EXPECT_TRUE(IsBinaryUrl(std::string("https://h.example/") + file)) << file;
}
