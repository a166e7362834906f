#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "service/server_fixture.h"

namespace kelvaro::testing_support {
namespace {

class StatsFileTest : public ServerFixture {
protected:
    std::string writeStats() {
        return printedBy([&] { server->writeStats(); });
    }
    ZoneRecord* addAt(const char* address, uint16_t port, uint16_t population, uint16_t flag,
                      const std::string& name, const std::string& description) {
        printedBy([&] {
            server->zones().addOrUpdate(inet_addr(address), port, population, flag, 0, name,
                                         description);
        });
        return server->zones().find(inet_addr(address), port);
    }
};

// Texts are written as stored, except that a tab or line end becomes a space:
// one zone is always one line of six fields.
TEST_F(StatsFileTest, OneLinePerZoneInListOrderWithTextsAsStored) {
    start();
    addAt("192.168.0.5", 2000, 12, 1, "A", "B");
    addAt("10.0.0.1", 1, 0, 0, "No Description", "");
    addAt("10.20.30.40", 4991, 7, 5, "Tabs", "left\tright\r\nnext line");
    EXPECT_EQ(writeStats(), "---Writing stats\n");
    EXPECT_EQ(directory.read("stats.txt"),
              "192.168.0.5\t2000\t12\t1\tA\tB\r\n"
              "10.0.0.1\t1\t0\t0\tNo Description\t\r\n"
              "10.20.30.40\t4991\t7\t1\tTabs\tleft right  next line\r\n");
}

TEST_F(StatsFileTest, LongestLineIsWrittenWhole) {
    start();
    const std::string name(31, 'N');
    const std::string description(255, 'd');
    addAt("255.255.255.254", 65535, 65535, 1, name, description);
    writeStats();
    const std::string expected =
        "255.255.255.254\t65535\t65535\t1\t" + name + "\t" + description + "\r\n";
    EXPECT_EQ(expected.size(), 319u);
    EXPECT_EQ(directory.read("stats.txt"), expected);
}

TEST_F(StatsFileTest, RewriteWithFewerZonesLeavesNoTraceAndAnEmptyListGivesAnEmptyFile) {
    start();
    ZoneRecord* alpha = addAt("10.0.0.1", 1000, 1, 0, "Alpha", std::string(200, 'a'));
    ZoneRecord* bravo = addAt("10.0.0.2", 1000, 2, 0, "Bravo", "b");
    writeStats();
    server->zones().remove(alpha);
    writeStats();
    EXPECT_EQ(directory.read("stats.txt"), "10.0.0.2\t1000\t2\t0\tBravo\tb\r\n");
    server->zones().remove(bravo);
    EXPECT_EQ(writeStats(), "---Writing stats\n");
    EXPECT_TRUE(directory.exists("stats.txt"));
    EXPECT_EQ(directory.read("stats.txt"), "");
}

TEST_F(StatsFileTest, FileIsReplacedWholeAndOwnerOnly) {
    start();
    addAt("10.0.0.1", 1000, 1, 0, "Alpha", "old");
    writeStats();
    // A reader that opened the old file keeps reading the old bytes: the new
    // file replaces it rather than being written over it.
    std::ifstream reader(directory.file("stats.txt"), std::ios::binary);
    ASSERT_TRUE(reader);
    server->zones().find(inet_addr("10.0.0.1"), 1000)->setText("Alpha", "new");
    writeStats();
    const std::string oldContent((std::istreambuf_iterator<char>(reader)),
                                 std::istreambuf_iterator<char>());
    EXPECT_EQ(oldContent, "10.0.0.1\t1000\t1\t0\tAlpha\told\r\n");
    EXPECT_EQ(directory.read("stats.txt"), "10.0.0.1\t1000\t1\t0\tAlpha\tnew\r\n");
    EXPECT_FALSE(directory.exists("stats.txt.tmp"));

    struct stat info {};
    ASSERT_EQ(stat(directory.file("stats.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(StatsFileTest, LeftoverTemporaryFileDoesNotLeakIntoTheNewFile) {
    start();
    directory.write("stats.txt.tmp", std::string(500, 'x'));
    addAt("10.0.0.1", 1000, 1, 0, "Alpha", "");
    writeStats();
    EXPECT_EQ(directory.read("stats.txt"), "10.0.0.1\t1000\t1\t0\tAlpha\t\r\n");
    EXPECT_FALSE(directory.exists("stats.txt.tmp"));
}

TEST_F(StatsFileTest, FailedWriteKeepsTheOldFileAndTheServiceGoesOn) {
    start("[Directory]\nStatsWriteMinutes=0\n");
    addAt("10.0.0.1", 1000, 1, 0, "Alpha", "");
    writeStats();
    const std::string before = directory.read("stats.txt");
    ASSERT_EQ(before, "10.0.0.1\t1000\t1\t0\tAlpha\t\r\n");
    // A directory in the temporary file's place makes the new file impossible.
    std::filesystem::create_directories(directory.file("stats.txt.tmp/blocker"));
    addAt("10.0.0.2", 1000, 1, 0, "Bravo", "");
    clock.advance(1);
    EXPECT_EQ(iterate(),
              "---Writing stats\n---Stats write failed: stats.txt: Is a directory\n");
    EXPECT_EQ(directory.read("stats.txt"), before);
    EXPECT_EQ(server->timers().lastStatsTick, clock.now());
}

// Writes stop short once the file passes a size limit, the way a full disk
// stops them; the old file must stay whole meanwhile.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limited = saved;
        limited.rlim_cur = bytes;
        active = setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
    }
    bool active = false;

private:
    rlimit saved{};
    void (*previousHandler)(int) = nullptr;
};

TEST_F(StatsFileTest, WriteCutShortKeepsTheOldFileWhole) {
    start();
    addAt("10.0.0.1", 1000, 1, 0, "Alpha", "");
    writeStats();
    const std::string before = directory.read("stats.txt");
    for (uint16_t port = 1001; port <= 1020; ++port)
        addAt("10.0.0.2", port, 1, 0, "Bravo", std::string(40, 'b'));
    {
        FileSizeLimit limit(200);
        ASSERT_TRUE(limit.active);
        EXPECT_EQ(writeStats(),
                  "---Writing stats\n---Stats write failed: stats.txt: File too large\n");
    }
    EXPECT_EQ(directory.read("stats.txt"), before);
    EXPECT_FALSE(directory.exists("stats.txt.tmp"));
    writeStats();
    EXPECT_EQ(directory.read("stats.txt").size(), before.size() + 20 * 66);
}

// Every failed write says which path failed and why, once per write, and
// the timer goes on.
TEST_F(StatsFileTest, MissingDirectoryIsReportedOncePerWrite) {
    start("[Directory]\nStatsFile=missing/stats.txt\nStatsWriteMinutes=0\n");
    addAt("10.0.0.1", 1000, 1, 0, "Alpha", "");
    for (int write = 0; write < 2; ++write) {
        clock.advance(1);
        EXPECT_EQ(iterate(), "---Writing stats\n"
                             "---Stats write failed: missing/stats.txt: No such file or directory\n");
        EXPECT_EQ(server->timers().lastStatsTick, clock.now());
    }
    EXPECT_FALSE(directory.exists("missing"));
    EXPECT_FALSE(directory.exists("missing/stats.txt.tmp"));
}

// A path beyond 31 characters is written where it says, not cut short.
TEST_F(StatsFileTest, LongPathIsWrittenWhereItSays) {
    const std::string path = "statistics/directory/zones-today.tsv";
    std::filesystem::create_directories(directory.file("statistics/directory"));
    start("[Directory]\nStatsFile=" + path + "\nStatsWriteMinutes=0\n");
    addAt("10.0.0.1", 1000, 1, 0, "Alpha", "");
    clock.advance(1);
    EXPECT_EQ(iterate(), "---Writing stats\n");
    EXPECT_EQ(directory.read(path), "10.0.0.1\t1000\t1\t0\tAlpha\t\r\n");
    EXPECT_FALSE(directory.exists(path.substr(0, 31)));
}

}  // namespace
}  // namespace kelvaro::testing_support
