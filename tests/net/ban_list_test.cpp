#include "net/ban_list.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "net/report_throttle.h"
#include "platform/tick_clock.h"
#include "support/capture_stdout.h"
#include "support/temp_directory.h"

namespace kelvaro {
namespace {

using testing_support::StdoutCapture;
using testing_support::TempDirectory;

uint32_t at(const char* text) { return inet_addr(text); }

TEST(BanListTest, RangesAndBareAddressesMatchExactlyTheirAddresses) {
    std::vector<BadBanLine> bad;
    const BanList list = BanList::parse(
        "# operators' list\n"
        "10.0.0.0/8\n"
        "  192.168.1.7   # one host\n"
        "\n"
        "172.16.5.200/30\r\n"
        "0.0.0.0/32\n"
        "203.0.113.9/24\n",  // host bits past the prefix are ignored
        bad);
    EXPECT_TRUE(bad.empty());
    EXPECT_EQ(list.rangeCount(), 5u);
    struct Case {
        const char* address;
        bool banned;
    };
    const Case cases[] = {
        {"10.0.0.0", true},        {"10.255.255.255", true},  {"9.255.255.255", false},
        {"11.0.0.0", false},       {"192.168.1.7", true},     {"192.168.1.6", false},
        {"192.168.1.8", false},    {"172.16.5.200", true},    {"172.16.5.203", true},
        {"172.16.5.199", false},   {"172.16.5.204", false},   {"0.0.0.0", true},
        {"0.0.0.1", false},        {"203.0.113.0", true},     {"203.0.113.255", true},
        {"203.0.114.0", false},    {"255.255.255.255", false},
    };
    for (const Case& c : cases) EXPECT_EQ(list.contains(at(c.address)), c.banned) << c.address;
}

TEST(BanListTest, BadLinesAreNamedAndTheOthersStillApply) {
    std::vector<BadBanLine> bad;
    const BanList list = BanList::parse(
        "10.1.0.0/16\n"
        "10.2.0.0/33\n"
        "256.1.1.1\n"
        "example.org\n"
        "10.3.0.0/16 extra\n"
        "1.2.3\n"
        "1.2.3.4/\n"
        "1.2.3.4.5\n"
        "01234.1.1.1\n"
        "10.4.0.0/16",  // the last line needs no line end
        bad);
    std::vector<size_t> numbers;
    for (const BadBanLine& line : bad) numbers.push_back(line.number);
    EXPECT_EQ(numbers, (std::vector<size_t>{2, 3, 4, 5, 6, 7, 8, 9}));
    ASSERT_FALSE(bad.empty());
    EXPECT_EQ(bad[0].text, "10.2.0.0/33");
    EXPECT_EQ(list.rangeCount(), 2u);
    EXPECT_TRUE(list.contains(at("10.1.2.3")));
    EXPECT_TRUE(list.contains(at("10.4.2.3")));
    EXPECT_FALSE(list.contains(at("10.2.0.1")));
    EXPECT_FALSE(list.contains(at("10.3.0.1")));
}

TEST(BanListTest, OverlappingAndAdjacentRangesMergeWithoutLosingAnAddress) {
    std::vector<BadBanLine> bad;
    const BanList list = BanList::parse(
        "10.0.0.0/24\n10.0.0.128/25\n10.0.1.0/24\n10.0.3.0/24\n255.255.255.0/24\n0.0.0.0/1\n",
        bad);
    for (const char* inside : {"10.0.0.0", "10.0.1.255", "10.0.3.1", "255.255.255.255",
                               "0.0.0.0", "127.255.255.255"})
        EXPECT_TRUE(list.contains(at(inside))) << inside;
    for (const char* outside : {"128.0.0.0", "255.255.254.255"})
        EXPECT_FALSE(list.contains(at(outside))) << outside;
    // The whole space, and nothing at all.
    EXPECT_TRUE(BanList::parse("0.0.0.0/0\n", bad).contains(at("198.51.100.1")));
    EXPECT_FALSE(BanList::parse("# nothing\n\n", bad).contains(at("198.51.100.1")));
}

TEST(BanListTest, ManyRangesAreFoundByBinarySearch) {
    std::string text;
    for (int i = 0; i < 4000; ++i)
        text += "10." + std::to_string(i / 256 * 2) + "." + std::to_string(i % 256) + ".0/24\n";
    std::vector<BadBanLine> bad;
    const BanList list = BanList::parse(text, bad);
    ASSERT_TRUE(bad.empty());
    EXPECT_TRUE(list.contains(at("10.0.0.1")));
    EXPECT_TRUE(list.contains(at("10.30.159.77")));  // the last range, i = 3999
    EXPECT_FALSE(list.contains(at("10.1.0.1")));     // odd second bytes were never banned
    EXPECT_FALSE(list.contains(at("10.30.160.0")));
}

TEST(BanListTest, FileWarningsNameTheLineAndAnUnreadableFileKeepsTheOldList) {
    TempDirectory directory;
    directory.write("bans", "10.0.0.0/8\nnot a range\n");
    const std::string path = directory.path() + "/bans";
    BanList list;
    StdoutCapture capture;
    EXPECT_TRUE(loadBanFile(path, list));
    EXPECT_TRUE(list.contains(at("10.9.9.9")));
    EXPECT_FALSE(loadBanFile(directory.path() + "/missing", list));
    EXPECT_FALSE(loadBanFile(directory.path(), list));  // a directory
    EXPECT_TRUE(list.contains(at("10.9.9.9")));
    const std::string printed = capture.take();
    EXPECT_NE(printed.find("Warning: " + path + ":2: not an IPv4 range: not a range\n"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("Warning: ban file " + directory.path() +
                           "/missing: No such file or directory; the previous ban list stays in force\n"),
              std::string::npos)
        << printed;
}

TEST(BanListTest, AFileOfBadLinesKeepsTheOldListAndItsWarningsStopAtTwenty) {
    TempDirectory directory;
    const std::string path = directory.path() + "/bans";
    std::string garbage;
    for (int line = 0; line < 25; ++line) garbage += "bad " + std::to_string(line) + "\n";
    BanList list;
    // The byte order mark is skipped: the first line is a range.
    directory.write("bans", "\xEF\xBB\xBF" "10.0.0.0/8\n" + garbage);
    std::optional<StdoutCapture> capture(std::in_place);
    EXPECT_TRUE(loadBanFile(path, list));
    EXPECT_TRUE(list.contains(at("10.9.9.9")));
    std::string printed = capture->take();
    EXPECT_NE(printed.find("Warning: " + path + ":21: not an IPv4 range: bad 19\n" + "Warning: " +
                           path + ": 5 more lines that are not IPv4 ranges\n"),
              std::string::npos)
        << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 21) << printed;

    struct Case {
        std::string text;
        bool loaded;
        bool banned;  // 10.9.9.9 afterwards
    };
    const Case cases[] = {
        {garbage, false, true},                        // all bad: the old list stays
        {"\xEF\xBB\xBF" "junk\n# c\n", false, true},  // a mark does not make it a list
        {"# every ban lifted\n\n", true, false},       // blanks and comments: nothing banned
        {"", true, false},
    };
    for (const Case& c : cases) {
        std::vector<BadBanLine> none;
        list = BanList::parse("10.0.0.0/8\n", none);
        directory.write("bans", c.text);
        capture.emplace();
        EXPECT_EQ(loadBanFile(path, list), c.loaded) << c.text;
        printed = capture->take();
        EXPECT_EQ(list.contains(at("10.9.9.9")), c.banned) << c.text;
        EXPECT_EQ(printed.find("no line holds an IPv4 range; the previous ban list stays in "
                               "force\n") != std::string::npos,
                  !c.loaded)
            << printed;
    }
}

TEST(BanListTest, Ipv6RangesMatchOnlyTheirIpv6Addresses) {
    std::vector<BadBanLine> bad;
    const BanList list = BanList::parse(
        "2001:db8:1::/48\n"
        "::1\n"
        "fe80::1234/10   # host bits past the prefix are ignored\n"
        "2001:db8:1:2::/64\n"  // inside the /48: merged, still counted
        "2001:db8::/129\n"
        "2001:db8::/\n"
        "2001:db8:::1\n"
        "[::1]\n",
        bad);
    ASSERT_EQ(bad.size(), 4u);
    EXPECT_EQ(bad[0].number, 5u);
    EXPECT_EQ(list.rangeCount(), 4u);
    struct Case {
        const char* address;
        bool banned;
    };
    const Case cases[] = {
        {"2001:db8:1::", true},        {"2001:db8:1:ffff:ffff:ffff:ffff:ffff", true},
        {"2001:db8:0:ffff::1", false}, {"2001:db8:2::", false},
        {"::1", true},                 {"::2", false},
        {"::", false},                 {"fe80::", true},
        {"febf:ffff::1", true},        {"fec0::", false},
        {"::ffff:10.0.0.1", false},
    };
    for (const Case& c : cases) {
        uint8_t address[16];
        ASSERT_EQ(inet_pton(AF_INET6, c.address, address), 1) << c.address;
        EXPECT_EQ(list.contains6(address), c.banned) << c.address;
    }
    // An IPv6 list refuses no IPv4 address, and an IPv4 one no IPv6 address.
    EXPECT_FALSE(list.contains(at("0.0.0.1")));
    std::vector<BadBanLine> none;
    const BanList v4 = BanList::parse("0.0.0.0/0\n", none);
    uint8_t loopback[16] = {};
    loopback[15] = 1;
    EXPECT_FALSE(v4.contains6(loopback));
    EXPECT_FALSE(BanList::parse("::/0\n", none).empty());
}

TEST(ReportThrottleTest, OneReportPerAddressAMinuteAndABoundedMemory) {
    ManualClock clock(5000);
    ReportThrottle throttle(60000, 2);
    EXPECT_TRUE(throttle.allow(at("10.0.0.1")));
    EXPECT_FALSE(throttle.allow(at("10.0.0.1")));
    EXPECT_TRUE(throttle.allow(at("10.0.0.2")));
    EXPECT_FALSE(throttle.allow(at("10.0.0.3")));  // two remembered, both fresh
    clock.advance(60000);
    EXPECT_FALSE(throttle.allow(at("10.0.0.1")));  // exactly a minute is not more
    clock.advance(1);
    EXPECT_TRUE(throttle.allow(at("10.0.0.1")));
    EXPECT_TRUE(throttle.allow(at("10.0.0.3")));  // 10.0.0.2 aged out to make room
}

}  // namespace
}  // namespace kelvaro
