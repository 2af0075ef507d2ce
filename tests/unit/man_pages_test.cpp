// The settings keys the program writes are all described in its manual page, so that the page
// stays complete as keys are added.

#include <gtest/gtest.h>
#include <regex>
#include <set>

#include "support/program_under_test.h"
#include "util/program_state.h"

using namespace ostrel;

TEST(ManPage, EverySettingsKeyTheProgramWritesIsDescribed) {
    test::TProgramUnderTest p;
    p.Start("127.0.0.1:9");
    p.f().btnOk.Click(); // every writer of the settings file runs on Ok or at start-up
    const std::string ini = test::ReadAll(SettingsFileName());
    std::set<std::string> keys;
    const std::regex key(R"((^|\n)([A-Za-z][A-Za-z0-9_]*)=)");
    for (auto it = std::sregex_iterator(ini.begin(), ini.end(), key); it != std::sregex_iterator(); ++it)
        keys.insert((*it)[2]);
    ASSERT_GE(keys.size(), 15u) << ini;

    const std::string page = test::ReadAll(std::string(OSTREL_SOURCE_DIR) + "/dist/ostrel.1.in");
    std::vector<std::string> missing;
    for (const auto& k : keys) {
        // A key is described where it stands in bold: ".B Key", ".BR Key" or "\fBKey\fR".
        const std::regex described("(^\\.BR? " + k + "( |$))|(\\\\fB" + k + "\\\\f)", std::regex::multiline);
        if (!std::regex_search(page, described))
            missing.push_back(k);
    }
    EXPECT_TRUE(missing.empty()) << "add these settings keys to dist/ostrel.1.in: "
                                 << ::testing::PrintToString(missing);
}
