// The operator's ban file on the real server: read at start with a warning
// per bad line, re-read on SIGHUP, which removes the zones it now bans and
// never stops the server.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e/server_process.h"
#include "support/udp_wait.h"
#include "support/zone_wire.h"
#include "zones/zone_datagrams.h"

namespace kelvaro::testing_support {
namespace {

// A socket on one loopback address, for zones and queries from several hosts.
class Host {
public:
    explicit Host(const char* address) : fd(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = inet_addr(address);
        timeval wait{0, 500000};
        bound = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
                setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0;
    }
    ~Host() {
        if (fd >= 0) close(fd);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    bool send(const std::vector<uint8_t>& bytes) const {
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server.sin_port = htons(kServerUpdatePort);
        return bound && sendto(fd, bytes.data(), bytes.size(), 0,
                               reinterpret_cast<const sockaddr*>(&server), sizeof server) ==
                            static_cast<ssize_t>(bytes.size());
    }

    // The zone count, or -1 when no answer came within half a second.
    int64_t count() const {
        if (!send(le32(9))) return -1;
        uint8_t reply[8];
        if (recv(fd, reply, sizeof reply, 0) != 8) return -1;
        uint32_t zones = 0;
        return readCountReply(reply, sizeof reply, 9, zones) ? zones : -1;
    }

    const int fd;
    bool bound = false;
};

std::vector<uint8_t> announce(const std::string& name, uint16_t port) {
    ZoneUpdate update;
    update.port = port;
    update.population = 1;
    update.name = name;
    update.password = "pw";
    return updateDatagram(update);
}

TEST(BanFileTest, BadLineWarnsTheRestAppliesAndSighupBansAListedZone) {
    TempDirectory banDirectory;
    const std::string bans = banDirectory.file("bans.txt");
    banDirectory.write("bans.txt", "# abusers\n127.0.0.5\nnonsense here\n127.0.9.0/24\n");
    ServerProcess server("[Zone]\nBanFile=" + bans + "\n");
    ASSERT_TRUE(server.waitForLine("Kelvaro (Build 3)"));
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
    ASSERT_TRUE(banned.send(announce("Banned Zone", 5000)));
    EXPECT_TRUE(server.waitForLine("---Banned address: 127.0.9.77"));
    EXPECT_EQ(banned.count(), -1) << "a banned querier gets no answer";
    EXPECT_EQ(other.count(), -1);
    ASSERT_TRUE(honest.send(announce("Kept Zone", 6000)));
    ASSERT_TRUE(server.waitForLine("Adding : Kept Zone"));
    ASSERT_TRUE(other.send(announce("Other Zone", 6002)));
    EXPECT_EQ(honest.count(), 1);
    // One line per address and minute, however often it tries.
    ASSERT_TRUE(banned.send(announce("Banned Zone", 5000)));
    EXPECT_EQ(honest.count(), 1);
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
    EXPECT_EQ(checker.count(), 0);
    EXPECT_EQ(honest.count(), -1);
    // 127.0.9.0/24 is no longer in the file.
    ASSERT_TRUE(banned.send(announce("Banned Zone", 5000)));
    EXPECT_TRUE(server.waitForLine("Adding : Banned Zone"));

    // A missing file warns and keeps what is in force.
    ::unlink(bans.c_str());
    ASSERT_TRUE(server.signal(SIGHUP));
    EXPECT_TRUE(server.waitForLine("Warning: ban file " + bans +
                                   ": No such file or directory; the previous ban list stays in force"));
    EXPECT_TRUE(server.waitForLine("---Reload: ban file " + bans + ": 2 ranges in force"));
    EXPECT_EQ(honest.count(), -1);
    EXPECT_TRUE(server.running());
}

}  // namespace
}  // namespace kelvaro::testing_support
