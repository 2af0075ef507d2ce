#include "util/file_io.h"

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "util/error.h"

using namespace ostrel;

// Files written unflushed in nested folders are flushed, a few one by one and many together; a
// file that is not there is a failure that names it, never a flush that counts as done.
TEST(FileIo, FlushingWrittenFilesReportsWhatCannotBeFlushed) {
    test::TempDir dir;
    ASSERT_TRUE(ForceDirectories(dir.File("Decoded/a")));
    std::vector<std::string> few{"one", "Decoded/a/two"};
    for (const auto& name : few)
        WriteFileUnflushed(dir.File(name), "content of " + name);
    EXPECT_NO_THROW(FlushWrittenFiles(dir.Path(), few));
    EXPECT_NO_THROW(FlushWrittenFiles(dir.Path(), {}));

    std::vector<std::string> many;
    for (int i = 0; i < 40; ++i) {
        many.push_back("many-" + std::to_string(i));
        WriteFileUnflushed(dir.File(many.back()), "x");
    }
    EXPECT_NO_THROW(FlushWrittenFiles(dir.Path(), many));

    few.push_back("Decoded/a/gone");
    try {
        FlushWrittenFiles(dir.Path(), few);
        ADD_FAILURE() << "a missing file was taken as flushed";
    } catch (const EInOutError& e) {
        EXPECT_NE(std::string(e.what()).find("Decoded/a/gone"), std::string::npos) << e.what();
    }
}
