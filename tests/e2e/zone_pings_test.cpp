// The sweep ping, ping replies, dropping silent zones and the statistics file
// that shows the result.

#include <gtest/gtest.h>

#include <string>

#include "e2e/server_process.h"
#include "support/udp_wait.h"
#include "support/zone_wire.h"
#include "zones/zone_datagrams.h"

namespace kelvaro::testing_support {
namespace {

// A zone as the server sees it: announced on port P, answering pings on P + 1.
class Zone {
public:
    Zone(const std::string& zoneName, uint16_t zonePopulation, const std::string& zoneDescription)
        : name(zoneName), population(zonePopulation), description(zoneDescription) {
        socket.open(0);
    }

    uint16_t announcedPort() const { return static_cast<uint16_t>(socket.localPort() - 1); }

    bool announce() {
        ZoneUpdate update;
        update.port = announcedPort();
        update.population = population;
        update.name = name;
        update.password = "pw";
        update.description = description;
        return sendTo(socket, kServerUpdatePort, updateDatagram(update));
    }

    // Answers every ping that has arrived with the given population; returns
    // how many there were.
    int answerPings(uint32_t reported) {
        int answered = 0;
        while (auto ping = socket.poll())
            if (answerPing(socket, *ping, reported)) ++answered;
        return answered;
    }

    // The file shows a tab inside the description as a space.
    std::string statsLine(uint16_t shownPopulation) const {
        std::string shown = description;
        for (char& c : shown)
            if (c == '\t') c = ' ';
        return "127.0.0.1\t" + std::to_string(announcedPort()) + "\t" +
               std::to_string(shownPopulation) + "\t0\t" + name + "\t" + shown + "\r\n";
    }

    UdpEndpoint socket;
    std::string name;
    uint16_t population;
    std::string description;
};

TEST(ZonePingsTest, SweepPingReachesPortPlusOneAndTheReplySetsThePopulation) {
    ServerProcess server("[Zone]\nSweepTime=20\n[Directory]\nStatsWriteMinutes=0\n");
    ASSERT_TRUE(server.waitForLine(kBannerLine));
    Zone alpha("Alpha", 12, "first");
    ASSERT_TRUE(alpha.announce());
    ASSERT_TRUE(server.waitForLine("---Update : Alpha"));
    EXPECT_TRUE(server.waitForFile("stats.txt", alpha.statsLine(12)));

    auto ping = pollWithin(alpha.socket);
    ASSERT_NE(ping, nullptr);
    EXPECT_EQ(ping->length(), 4);
    EXPECT_NE(ping->source.hostPort(), kServerUpdatePort);
    alpha.socket.setDestination(ping->source);
    const auto reply = le32Pair(70000, readU32(ping->data(), 0));  // kept as its low 16 bits
    ASSERT_TRUE(alpha.socket.send(reply.data(), reply.size()));
    EXPECT_TRUE(server.waitForFile("stats.txt", alpha.statsLine(70000 & 0xFFFF)))
        << server.directory.read("stats.txt");
}

TEST(ZonePingsTest, SilentZoneIsRepingedDropLimitPlusOneTimesThenDropped) {
    ServerProcess server("[Zone]\nSweepTime=20\nInitialHighPing=30\nDropLimit=2\n");
    ASSERT_TRUE(server.waitForLine(kBannerLine));
    Zone alpha("Alpha", 1, "");
    ASSERT_TRUE(alpha.announce());
    ASSERT_TRUE(server.waitForLine("---Update : Alpha"));

    int pings = 0;
    bool dropped = false;
    for (int waited = 0; waited < kDefaultWaitMs && !dropped; ++waited) {
        while (alpha.socket.poll()) ++pings;
        dropped = server.waitForLine("Timeout : Alpha", 0);
        sleepMs(1);
    }
    ASSERT_TRUE(dropped);
    sleepMs(100);  // anything still on its way
    while (alpha.socket.poll()) ++pings;
    EXPECT_EQ(pings, 1 + 3);  // the sweep ping and DropLimit + 1 re-pings
}

TEST(ZonePingsTest, StatisticsFileListsEveryZoneAndIsRewrittenWhenOneIsDropped) {
    ServerProcess server(
        "[Zone]\nSweepTime=10\nInitialHighPing=40\nDropLimit=4\n"
        "[Directory]\nStatsWriteMinutes=0\n");
    ASSERT_TRUE(server.waitForLine(kBannerLine));
    Zone silent("Silent One", 5, "never answers");
    Zone lively("Lively", 9, "tab\there");
    ASSERT_TRUE(silent.announce());
    ASSERT_TRUE(server.waitForLine("---Update : Silent One"));
    ASSERT_TRUE(lively.announce());
    ASSERT_TRUE(server.waitForLine("---Update : Lively"));
    EXPECT_TRUE(server.waitForFile("stats.txt", silent.statsLine(5) + lively.statsLine(9)))
        << server.directory.read("stats.txt");

    bool dropped = false;
    for (int waited = 0; waited < kDefaultWaitMs && !dropped; ++waited) {
        lively.answerPings(9);
        while (silent.socket.poll()) {
        }
        dropped = server.waitForLine("Timeout : Silent One", 0);
        sleepMs(1);
    }
    ASSERT_TRUE(dropped);
    EXPECT_TRUE(server.waitForFile("stats.txt", lively.statsLine(9)))
        << server.directory.read("stats.txt");
    EXPECT_EQ(server.output().find("Timeout : Lively"), std::string::npos);
}

}  // namespace
}  // namespace kelvaro::testing_support
