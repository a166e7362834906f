// ListenIPv6 on the real server: which sockets each setting binds, and an
// IPv6 zone's life (listed, pinged over IPv6, dropped when silent).

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "net/udp_endpoint.h"
#include "e2e/server_process.h"
#include "support/udp_wait.h"
#include "support/zone_wire.h"
#include "util/bytes.h"

namespace kelvaro::testing_support {
namespace {

// The local ports of this namespace's IPv6 UDP sockets, as the kernel lists them.
std::string udp6Table() {
    std::ifstream file("/proc/net/udp6");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool bindsIpv6UdpPort(uint16_t port) {
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X ", port);
    return udp6Table().find(hex) != std::string::npos;
}

IpAddress loopback6() {
    IpAddress address;
    parseIpAddress("::1", address);
    return address;
}

TEST(Ipv6ZonesE2eTest, NothingBindsIpv6UnlessAskedAndThenTheUpdatePortDoes) {
    std::string reason;
    if (!hostHasIPv6(reason)) GTEST_SKIP() << reason;
    {
        const std::string before = udp6Table();
        ServerProcess server("");
        ASSERT_TRUE(server.waitForLine(kBannerLine));
        EXPECT_FALSE(bindsIpv6UdpPort(kServerUpdatePort));
        EXPECT_EQ(udp6Table(), before) << "no IPv6 socket of the server's";
    }
    ServerProcess server("[Core]\nListenIPv6=1\n");
    ASSERT_TRUE(server.waitForLine(kBannerLine)) << server.output();
    EXPECT_TRUE(bindsIpv6UdpPort(kServerUpdatePort)) << udp6Table();
}

TEST(Ipv6ZonesE2eTest, ZoneOnLoopbackIsListedPingedOverIpv6AndDroppedWhenSilent) {
    std::string reason;
    if (!hostHasIPv6(reason)) GTEST_SKIP() << reason;
    ServerProcess server(
        "[Core]\nListenIPv6=1\n[Zone]\nSweepTime=20\nInitialHighPing=30\nDropLimit=2\n"
        "[Directory]\nStatsWriteMinutes=0\n");
    ASSERT_TRUE(server.waitForLine(kBannerLine)) << server.output();
    UdpEndpoint zone;
    ASSERT_GE(zone.open(0), 0);
    ASSERT_GE(zone.openV6(0), 0);
    ZoneUpdate update;
    update.port = static_cast<uint16_t>(zone.localPortV6() - 1);
    update.name = "Six";
    update.password = "pw";
    zone.setDestination(loopback6(), kServerUpdatePort);
    const std::vector<uint8_t> bytes = updateDatagram(update);
    ASSERT_TRUE(zone.send(bytes.data(), bytes.size()));
    ASSERT_TRUE(server.waitForLine("---Update : Six"));
    const std::string line = "::1\t" + std::to_string(update.port) + "\t0\t0\tSix\t\r\n";
    EXPECT_TRUE(server.waitForFile("stats.txt", line)) << server.directory.read("stats.txt");

    auto ping = pollWithin(zone);
    ASSERT_NE(ping, nullptr);
    EXPECT_TRUE(ping->source.isV6());
    EXPECT_EQ(ping->length(), 4);
    zone.setDestination(ping->source);
    const auto reply = le32Pair(12, readU32(ping->data(), 0));
    ASSERT_TRUE(zone.send(reply.data(), reply.size()));
    const std::string answered = "::1\t" + std::to_string(update.port) + "\t12\t0\tSix\t\r\n";
    EXPECT_TRUE(server.waitForFile("stats.txt", answered)) << server.directory.read("stats.txt");

    // Silent from now on: the sweep ping, DropLimit + 1 re-pings, then the drop.
    bool dropped = false;
    for (int waited = 0; waited < kDefaultWaitMs && !dropped; ++waited) {
        while (zone.poll()) {
        }
        dropped = server.waitForLine("Timeout : Six", 0);
        sleepMs(1);
    }
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(server.waitForFile("stats.txt", "")) << server.directory.read("stats.txt");
}

}  // namespace
}  // namespace kelvaro::testing_support
