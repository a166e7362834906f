// The operator's ban file on the real server: read at start with a warning
// per bad line, re-read on SIGHUP, which removes the zones it now bans and
// never stops the server.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "e2e/server_process.h"
#include "support/zone_wire.h"

namespace kelvaro::testing_support {
namespace {

// Short: a banned host is never answered, and most counts here expect that.
constexpr int kCountWaitMs = 500;

// A zone or a monitor on one loopback address.
class Host : public HostSocket {
public:
    explicit Host(const char* address) : HostSocket(address, kServerUpdatePort, kCountWaitMs) {}
    std::optional<uint32_t> count() const { return HostSocket::count(9); }
};

TEST(BanFileTest, BadLineWarnsTheRestAppliesAndSighupBansAListedZone) {
    TempDirectory banDirectory;
    const std::string bans = banDirectory.file("bans.txt");
    banDirectory.write("bans.txt", "# abusers\n127.0.0.5\nnonsense here\n127.0.9.0/24\n");
    ServerProcess server("[Zone]\nBanFile=" + bans + "\n");
    ASSERT_TRUE(server.waitForLine(kBannerLine));
    const std::string& start = server.output();
    EXPECT_NE(start.find("Warning: " + bans + ":3: not an IPv4 range: nonsense here\n"),
              std::string::npos)
        << start;
    EXPECT_NE(start.find("Settings: ban file " + bans + ": 2 ranges in force\n"), std::string::npos)
        << start;

    Host banned("127.0.9.77");
    Host other("127.0.0.5");
    Host honest("127.0.0.1");
    ASSERT_TRUE(banned.bound && other.bound && honest.bound);
    ASSERT_TRUE(banned.send(announcement("Banned Zone", 5000)));
    EXPECT_TRUE(server.waitForLine("---Banned address: 127.0.9.77"));
    EXPECT_EQ(banned.count(), std::nullopt) << "a banned querier gets no answer";
    EXPECT_EQ(other.count(), std::nullopt);
    ASSERT_TRUE(honest.send(announcement("Kept Zone", 6000)));
    ASSERT_TRUE(server.waitForLine("Adding : Kept Zone"));
    ASSERT_TRUE(other.send(announcement("Other Zone", 6002)));
    EXPECT_EQ(honest.count(), 1u);
    // One line per address and minute, however often it tries.
    ASSERT_TRUE(banned.send(announcement("Banned Zone", 5000)));
    EXPECT_EQ(honest.count(), 1u);
    for (const std::string line : {"---Banned address: 127.0.9.77\n", "---Banned address: 127.0.0.5\n"}) {
        const std::string& printed = server.output();
        EXPECT_NE(printed.find(line), std::string::npos) << printed;
        EXPECT_EQ(printed.find(line), printed.rfind(line)) << printed;
    }
    EXPECT_EQ(server.output().find("Other Zone"), std::string::npos);

    // A file that cannot be read keeps the list in force.
    banDirectory.write("bans.txt", "127.0.0.1/32\n127.0.0.5\n");
    ::chmod(bans.c_str(), 0);
    if (geteuid() != 0) {  // root reads it anyway
        ASSERT_TRUE(server.signal(SIGHUP));
        EXPECT_TRUE(server.waitForLine("---Reload: ban file " + bans + ": 2 ranges in force"));
    }
    ::chmod(bans.c_str(), 0600);
    ASSERT_TRUE(server.signal(SIGHUP));
    EXPECT_TRUE(server.waitForLine("---Removed banned zone: 127.0.0.1: Kept Zone"));
    EXPECT_TRUE(server.waitForLine("---Reload: ban file " + bans + ": 2 ranges in force"));
    EXPECT_TRUE(server.running());
    Host checker("127.0.0.3");
    EXPECT_EQ(checker.count(), 0u);
    EXPECT_EQ(honest.count(), std::nullopt);
    // 127.0.9.0/24 is no longer in the file.
    ASSERT_TRUE(banned.send(announcement("Banned Zone", 5000)));
    EXPECT_TRUE(server.waitForLine("Adding : Banned Zone"));

    // A missing file warns and keeps what is in force.
    ::unlink(bans.c_str());
    ASSERT_TRUE(server.signal(SIGHUP));
    EXPECT_TRUE(server.waitForLine("Warning: ban file " + bans +
                                   ": No such file or directory; the previous ban list stays in force"));
    EXPECT_TRUE(server.waitForLine("---Reload: ban file " + bans + ": 2 ranges in force"));
    EXPECT_EQ(honest.count(), std::nullopt);
    EXPECT_TRUE(server.running());
}

}  // namespace
}  // namespace kelvaro::testing_support
