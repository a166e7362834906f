#include "platform/profile_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_directory.h"

namespace kelvaro {
namespace {

using testing_support::TempDirectory;

class ProfileReaderTest : public ::testing::Test {
protected:
    std::string read(const std::string& section, const std::string& key, size_t size = 256) {
        return readProfileString(section, key, "dflt", size, path);
    }

    void SetUp() override {
        ASSERT_FALSE(directory.path().empty());
        path = directory.path() + "/test.ini";
    }

    TempDirectory directory;
    std::string path;
};

TEST_F(ProfileReaderTest, MissingFileSectionOrKeyGivesTheDefault) {
    EXPECT_EQ(read("Zone", "SweepTime"), "dflt");
    directory.write("test.ini", "[Zone]\nSweepTime=5\n");
    EXPECT_EQ(read("Core", "SweepTime"), "dflt");
    EXPECT_EQ(read("Zone", "DropLimit"), "dflt");
    EXPECT_EQ(read("Zone", "SweepTime"), "5");
}

TEST_F(ProfileReaderTest, SectionAndKeyNamesIgnoreCase) {
    directory.write("test.ini", "[zONE]\nsweeptime=7\n");
    EXPECT_EQ(read("Zone", "SweepTime"), "7");
}

TEST_F(ProfileReaderTest, BlanksAroundNamesAndValuesAreTrimmed) {
    directory.write("test.ini", "  [ Zone ]  \r\n\t SweepTime \t=   a b c  \r\n");
    EXPECT_EQ(read("Zone", "SweepTime"), "a b c");
}

TEST_F(ProfileReaderTest, MatchingQuotesAreRemoved) {
    directory.write("test.ini", "[S]\nA=\"quoted value\"\nB='single'\nC=\"unbalanced\n");
    EXPECT_EQ(read("S", "A"), "quoted value");
    EXPECT_EQ(read("S", "B"), "single");
    EXPECT_EQ(read("S", "C"), "\"unbalanced");
}

TEST_F(ProfileReaderTest, CommentLinesAreSkippedAndTheFirstMatchWins) {
    directory.write("test.ini",
                    "[S]\n;Key=commented\nKey=first\nKey=second\n[S]\nKey=third\n");
    EXPECT_EQ(read("S", "Key"), "first");
}

TEST_F(ProfileReaderTest, KeysBelongOnlyToTheirOwnSection) {
    directory.write("test.ini", "Key=before\n[A]\nOther=1\n[B]\nKey=in b\n");
    EXPECT_EQ(read("A", "Key"), "dflt");
    EXPECT_EQ(read("B", "Key"), "in b");
}

TEST_F(ProfileReaderTest, ValueIsCutToTheBufferSizeLessOne) {
    directory.write("test.ini", "[S]\nKey=0123456789\n");
    EXPECT_EQ(read("S", "Key", 5), "0123");
    EXPECT_EQ(read("S", "Key", 1), "");
    EXPECT_EQ(readProfileString("S", "Missing", "abcdef", 4, path), "abc");
}

TEST_F(ProfileReaderTest, EmptyValueIsAValueNotAMissingKey) {
    directory.write("test.ini", "[S]\nKey=\n");
    EXPECT_EQ(read("S", "Key"), "");
}

// A byte-order mark counts only at the very start of the file.
TEST_F(ProfileReaderTest, LeadingByteOrderMarkIsSkipped) {
    directory.write("test.ini", "\xEF\xBB\xBF[Zone]\nSweepTime=7\n\xEF\xBB\xBF[Core]\nMaxHosts=3\n");
    EXPECT_EQ(read("Zone", "SweepTime"), "7");
    EXPECT_EQ(read("Core", "MaxHosts"), "dflt");
}

TEST_F(ProfileReaderTest, LinesListEveryHeadingAndKeyWithItsNumber) {
    directory.write("test.ini",
                    "\xEF\xBB\xBF Early = 1\n; comment\n[ Zone ]\n\nSweepTime=7\nno equals\n[]\nx=\n");
    const std::vector<ProfileLine> lines = readProfileLines(path);
    ASSERT_EQ(lines.size(), 5u);
    const ProfileLine expected[] = {{1, false, "", "Early"},
                                    {3, true, "Zone", ""},
                                    {5, false, "Zone", "SweepTime"},
                                    {7, true, "", ""},
                                    {8, false, "", "x"}};
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].lineNumber, expected[i].lineNumber) << i;
        EXPECT_EQ(lines[i].heading, expected[i].heading) << i;
        EXPECT_EQ(lines[i].section, expected[i].section) << i;
        EXPECT_EQ(lines[i].key, expected[i].key) << i;
    }
    EXPECT_TRUE(readProfileLines(directory.path() + "/missing.ini").empty());
}

}  // namespace
}  // namespace kelvaro
