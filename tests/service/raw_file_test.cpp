#include "service/raw_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_directory.h"

namespace kelvaro::testing_support {
namespace {

TEST(RawFileTest, OpenCreatesAnOwnerOnlyFileAndNeverTruncates) {
    TempDirectory directory;
    const std::string path = directory.file("data");
    RawFile file;
    ASSERT_TRUE(file.open(path));
    EXPECT_TRUE(file.write("abcdef", 6));
    EXPECT_TRUE(file.close());
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    ASSERT_TRUE(file.open(path));
    EXPECT_TRUE(file.write("XY", 2));
    file.close();
    EXPECT_EQ(directory.read("data"), "XYcdef");
}

TEST(RawFileTest, ClosedFileRefusesWritesAndCloseIsHarmlessTwice) {
    TempDirectory directory;
    RawFile file;
    EXPECT_FALSE(file.write("a", 1));
    EXPECT_FALSE(file.open(directory.file("missing/data")));
    EXPECT_FALSE(file.isOpen());
    ASSERT_TRUE(file.open(directory.file("data")));
    EXPECT_TRUE(file.close());
    EXPECT_TRUE(file.close());
    EXPECT_FALSE(file.write("a", 1));
    EXPECT_EQ(directory.read("data"), "");
}

TEST(RawFileTest, ReopeningClosesThePreviousFileFirst) {
    TempDirectory directory;
    {
        RawFile file;
        ASSERT_TRUE(file.open(directory.file("first")));
        ASSERT_TRUE(file.open(directory.file("second")));
        EXPECT_TRUE(file.write("2", 1));
    }  // the destructor closes "second"
    EXPECT_EQ(directory.read("first"), "");
    EXPECT_EQ(directory.read("second"), "2");
}

}  // namespace
}  // namespace kelvaro::testing_support
