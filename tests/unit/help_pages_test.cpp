#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "support/test_support.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

const std::string HelpDir = std::string(OSTREL_SOURCE_DIR) + "/data/help/";

// Every help context the program opens: the main window's controls and pages (the About page's
// is the news), its history menu, the failure report, the decoder wizard and its part-number
// warning, and the tips.
const int UsedContexts[] = {2,  3,  4,  6,    7,    9,    10,   17,   19,   21,   22,   25,   26,
                            27, 28, 29, 2000, 2001, 4000, 4002, 4003, 4004, 4005, 4006, 7550, 9002, 9005};

std::set<std::string> LocalLinks(const std::string& html) {
    std::set<std::string> links;
    static const std::regex href(R"re(href="([^"#:]+)")re");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), href); it != std::sregex_iterator(); ++it)
        links.insert((*it)[1].str());
    return links;
}

TEST(HelpPages, EveryContextTheProgramOpensHasAPage) {
    for (int context : UsedContexts)
        EXPECT_TRUE(fs::exists(HelpDir + "ctx" + std::to_string(context) + ".html")) << context;
}

TEST(HelpPages, ContentsReachesEveryPageAndEveryLinkResolves) {
    const auto fromIndex = LocalLinks(test::ReadAll(HelpDir + "index.html"));
    for (const auto& entry : fs::directory_iterator(HelpDir)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".html")
            continue;
        const std::string html = test::ReadAll(entry.path().string());
        if (name != "index.html") {
            EXPECT_TRUE(fromIndex.count(name)) << name << " is not in the contents";
            EXPECT_TRUE(LocalLinks(html).count("index.html")) << name << " has no way back";
        }
        for (const auto& link : LocalLinks(html))
            EXPECT_TRUE(fs::exists(HelpDir + link)) << name << " links to missing " << link;
        EXPECT_NE(html.find("<title>"), std::string::npos) << name;
        EXPECT_NE(html.find("</html>"), std::string::npos) << name;
    }
}

// The About page sends the user to the help for news and the home page: that topic is there,
// and gives no address that does not exist.
TEST(HelpPages, TheNewsTopicTheAboutPagePromisesIsThereWithoutAMadeUpAddress) {
    const std::string news = test::ReadAll(HelpDir + "ctx4006.html");
    EXPECT_NE(news.find("<h1>News and updates</h1>"), std::string::npos);
    EXPECT_EQ(news.find("://"), std::string::npos);
    EXPECT_EQ(news.find("www."), std::string::npos);
}

} // namespace
} // namespace ostrel
