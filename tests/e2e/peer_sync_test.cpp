// Two directory servers, each in a network namespace of its own joined by a
// veth pair, each naming the other as its peer and downloading continuously.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "e2e/list_fetch.h"
#include "e2e/network_namespaces.h"
#include "e2e/server_process.h"
#include "support/server_list_wire.h"
#include "support/zone_wire.h"

namespace kelvaro::testing_support {
namespace {

constexpr int kSyncWaitMs = 8000;

// DownloadTime=0 downloads again as soon as the last download has gone. The
// server is idle (and writes its statistics) only in an iteration that finds
// no download due, that is within the same millisecond as the last one that
// saw a download: so these servers do not sleep between iterations. A short
// silence limit retires the downloads that were started before the veth pair
// was up.
std::string peerSettings(const char* peer) {
    return std::string(
               "[Core]\nPacketSilenceLimit=100\n[CPU]\nIterationSleepTime=0\n"
               "[Directory]\nDownloadTime=0\nStatsWriteMinutes=0\nIP=") +
           peer + "\n";
}

std::string statsLine(const char* address, const ListedZone& zone) {
    return std::string(address) + "\t" + std::to_string(zone.port) + "\t" +
           std::to_string(zone.population) + "\t" + std::to_string(zone.zoneFlag) + "\t" +
           zone.name + "\t" + zone.description + "\r\n";
}

class PeerSyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
        namespaces = std::make_unique<NamespacePair>();
        ASSERT_TRUE(namespaces->ready());
        first =
            std::make_unique<ServerProcess>(peerSettings(kSecondAddress), false, namespaces->first);
        second =
            std::make_unique<ServerProcess>(peerSettings(kFirstAddress), false, namespaces->second);
        ASSERT_TRUE(first->waitForLine(kBannerLine));
        ASSERT_TRUE(second->waitForLine(kBannerLine));
    }

    // Sends an update from a socket inside the namespace to address:4991 and
    // waits until that server has taken it.
    void announce(const std::string& space, const char* address, ServerProcess& server,
                  const ListedZone& zone) {
        UdpEndpoint socket;
        {
            NamespaceScope scope(space);
            ASSERT_TRUE(scope.entered);
            ASSERT_GE(socket.open(0), 0);
        }
        const ZoneUpdate update{zone.port, zone.population, zone.zoneFlag, zone.zoneWord, zone.name,
                                "pw",      zone.description};
        const auto bytes = updateDatagram(update);
        socket.setDestination(inet_addr(address), kServerUpdatePort);
        ASSERT_TRUE(socket.send(bytes.data(), bytes.size()));
        ASSERT_TRUE(server.waitForLine("---Update : " + zone.name, kSyncWaitMs));
    }

    // The list a client inside the namespace gets from address:4990.
    std::optional<Bytes> fetch(const std::string& space, const char* address,
                               ServerProcess& server) {
        std::unique_ptr<ListClient> client;
        {
            NamespaceScope scope(space);
            if (!scope.entered) return std::nullopt;
            client = std::make_unique<ListClient>();
        }
        Connection* connection = client->connect(inet_addr(address), kServerClientPort);
        auto list = awaitList(*client, connection, server, kSyncWaitMs);
        connection->disconnect(true);
        return list;
    }

    // Declared in the order of building; the servers go before their namespaces.
    std::unique_ptr<NamespacePair> namespaces;
    std::unique_ptr<ServerProcess> first;
    std::unique_ptr<ServerProcess> second;
};

TEST_F(PeerSyncTest, ZoneRegisteredOnOneServerReachesTheOthersListAndStatistics) {
    // A zone both servers know, each with its own population: announced to
    // each from its own loopback, so both key it by 127.0.0.1 and its port,
    // before the servers can reach each other.
    ListedZone sharedOnFirst{kLoopback, 7000, 10, 0, 77, "Shared", "known to both"};
    ListedZone sharedOnSecond = sharedOnFirst;
    sharedOnSecond.population = 20;
    announce(namespaces->first, "127.0.0.1", *first, sharedOnFirst);
    announce(namespaces->second, "127.0.0.1", *second, sharedOnSecond);
    ASSERT_TRUE(namespaces->connect());

    const ListedZone alpha{
        inet_addr(kFirstAddress), 7002, 3, 1, 0xC0FFEE, "Alpha Zone", "on the first"};
    announce(namespaces->first, kFirstAddress, *first, alpha);

    EXPECT_TRUE(second->waitForLine("---Downloading server list", kSyncWaitMs));
    EXPECT_TRUE(second->waitForLine("Adding : Alpha Zone", kSyncWaitMs));
    EXPECT_TRUE(second->waitForLine("---Download complete", kSyncWaitMs));
    EXPECT_TRUE(second->waitForFile(
        "stats.txt", statsLine("127.0.0.1", sharedOnSecond) + statsLine(kFirstAddress, alpha),
        kSyncWaitMs))
        << second->directory.read("stats.txt");

    // Each keeps its own population of the zone both know.
    EXPECT_EQ(fetch(namespaces->second, kSecondAddress, *second),
              serverList({sharedOnSecond, alpha}));
    EXPECT_EQ(fetch(namespaces->first, kFirstAddress, *first), serverList({sharedOnFirst, alpha}));
    // The first server has been downloading from the second all along.
    EXPECT_TRUE(first->waitForLine("---Download complete", kSyncWaitMs));
}

}  // namespace
}  // namespace kelvaro::testing_support
