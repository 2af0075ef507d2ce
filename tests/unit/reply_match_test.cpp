#include "mailbox/reply_match.h"

#include <gtest/gtest.h>

using namespace ostrel;

namespace {

TReplyHeaders Headers(const std::string& from, const std::string& subject) {
    return TReplyHeaders{from, subject, "<1@example.org>"};
}

// The history newest first, as SentRequests gives it.
TReplyMatcher Matcher() {
    return TReplyMatcher(
        {"getweb@example.org"},
        SentRequests({"http://example.com/a via getweb@example.org on 2026-12-01 10:00:00",
                      "http://example.com/ab via getweb@example.org on 2026-12-01 10:00:00",
                      "https://example.com/a via other@example.net on 2026-12-01 10:00:00",
                      "ftp://files.example.com/pub/setup.exe via getweb@example.org on 2026-12-01 10:00:00",
                      "http://EXAMPLE.com/abc/ via getweb@example.org on 2026-12-01 10:00:00"}));
}

} // namespace

TEST(ReplyMatch, TheLongestWholeUrlTheSubjectOrTextNamesWinsAndEqualOnesGoToTheNewest) {
    const TReplyMatcher m = Matcher();
    const auto match = [&](const std::string& subject, const std::string& text = "") {
        return m.MatchRequest(Headers("someone@elsewhere.test", subject), text, nullptr);
    };
    // Any case, any scheme or none, a closing "/" or a sentence's full stop after it.
    EXPECT_EQ(match("Re: HTTP://Example.com/AB"), "http://example.com/ab");
    EXPECT_EQ(match("your page example.com/ab/."), "http://example.com/ab");
    EXPECT_EQ(match("example.com/abc."), "http://EXAMPLE.com/abc/");
    // "example.com/a" is in "example.com/abd" but is not the URL named there.
    EXPECT_EQ(match("example.com/abd"), "");
    // Two requests name the same URL: the newest is taken.
    EXPECT_EQ(match("Re: example.com/a"), "http://example.com/a");
    // The text when the subject names none; a URL ending the text counts.
    EXPECT_EQ(match("Your page", "Here is what you asked for:\r\n  <http://example.com/ab>"), "http://example.com/ab");
    EXPECT_EQ(match("Your page", "see example.com/ab"), "http://example.com/ab");
    // Else a file name in the subject.
    EXPECT_EQ(match("setup.exe (1/3)"), "ftp://files.example.com/pub/setup.exe");
}

TEST(ReplyMatch, WithoutANamedUrlTheOldestUnansweredRequestToThatServerIsTaken) {
    const TReplyMatcher m = Matcher();
    const TReplyHeaders h = Headers("robot@mail.example.org", "Your request");
    EXPECT_TRUE(m.IsReply(h)) << "another mailbox of the server's domain";
    EXPECT_EQ(m.MatchRequest(h, "no URL here", nullptr), "http://EXAMPLE.com/abc/");
    EXPECT_EQ(m.MatchRequest(h, "no URL here", [](const std::string& r) { return r == "http://EXAMPLE.com/abc/"; }),
              "ftp://files.example.com/pub/setup.exe");
    EXPECT_FALSE(m.IsReply(Headers("friend@example.net", "Lunch?")));
    EXPECT_EQ(TReplyMatcher({}, {}).MatchRequest(h, "example.com/a", nullptr), "");
}
