// Zones that must prove their address (VerifiedZones=1) on the real server:
// forged updates from addresses where nothing answers never reach a client,
// honest zones are listed as soon as they answer, and an echo of an old
// token keeps no dead zone alive.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "e2e/list_fetch.h"
#include "e2e/network_namespaces.h"
#include "e2e/server_process.h"
#include "support/zone_wire.h"
#include "zones/zone_datagrams.h"

namespace kelvaro::testing_support {
namespace {

// How every zone here announces itself.
std::vector<uint8_t> updateOf(const std::string& name, uint16_t port) {
    return announcement(name, port, 2, "d");
}

// Sends one datagram from a socket on address (any port) to the server's
// update port; nothing listens behind it afterwards.
bool sendFrom(const std::string& address, const std::vector<uint8_t>& bytes) {
    return HostSocket(address.c_str(), kServerUpdatePort).send(bytes);
}

// A zone on 127.0.0.1 that answers pings on its socket (announced port + 1).
struct HonestZone {
    explicit HonestZone(const std::string& zoneName) : name(zoneName) { socket.open(0); }
    uint16_t announced() const { return static_cast<uint16_t>(socket.localPort() - 1); }
    bool announce() { return sendTo(socket, kServerUpdatePort, updateOf(name, announced())); }
    // Answers what has arrived; returns the pings' 4 bytes.
    std::vector<uint32_t> answer() {
        std::vector<uint32_t> echoed;
        for (int i = 0; i < 64; ++i) {
            auto ping = socket.poll();
            if (!ping) break;
            if (answerPing(socket, *ping, 2)) echoed.push_back(readU32(ping->data(), 0));
        }
        return echoed;
    }

    std::string name;
    UdpEndpoint socket;
};

uint32_t zoneCount() {
    return HostSocket("127.0.0.1", kServerUpdatePort).count(5).value_or(~0u);
}

TEST(VerifiedZonesTest, ForgedUpdatesAreNeverListedWhileHonestZonesAreAtTheirFirstReply) {
    ServerProcess server(
        "[Zone]\nVerifiedZones=1\nInitialHighPing=50\nDropLimit=2\n"
        "[CPU]\nDatagramsPerIteration=64\n[Directory]\nStatsWriteMinutes=0\n");
    ASSERT_TRUE(server.waitForLine(kBannerLine));
    std::vector<std::unique_ptr<HonestZone>> honest;
    for (int i = 0; i < 5; ++i)
        honest.push_back(std::make_unique<HonestZone>("Honest " + std::to_string(i)));
    for (int i = 0; i < 200; ++i) {
        // 127.0.1.1 ... 127.0.1.200, each announcing a port where nothing listens.
        ASSERT_TRUE(sendFrom("127.0.1." + std::to_string(i + 1),
                             updateOf("Forged " + std::to_string(i), 9)));
        if (i % 40 == 0) {
            ASSERT_TRUE(honest[static_cast<size_t>(i / 40)]->announce());
        }
        if (i % 10 == 9) sleepMs(2);  // within the server's receive buffer
    }
    // Each honest zone is listed within a second of its update.
    for (const auto& zone : honest) {
        bool listed = false;
        for (int waited = 0; waited < 1000 && !listed; ++waited) {
            for (const auto& other : honest) other->answer();
            server.drain();
            listed = server.output().find("Adding : " + zone->name + "\n") != std::string::npos;
            sleepMs(1);
        }
        EXPECT_TRUE(listed) << zone->name << "\n" << server.output();
    }
    // The forged ones have had every ping they get (1 + 3 at 50 ms) and more.
    for (int waited = 0; waited < 600; ++waited) {
        for (const auto& zone : honest) zone->answer();
        sleepMs(1);
    }
    EXPECT_EQ(zoneCount(), 5u);
    // The statistics file lists the zones in the order they were listed.
    std::vector<HonestZone*> order;
    for (const auto& zone : honest) order.push_back(zone.get());
    const std::string& added = server.output();
    std::sort(order.begin(), order.end(), [&](const HonestZone* a, const HonestZone* b) {
        return added.find("Adding : " + a->name) < added.find("Adding : " + b->name);
    });
    std::string stats;
    for (const HonestZone* zone : order)
        stats += "127.0.0.1\t" + std::to_string(zone->announced()) + "\t2\t0\t" + zone->name +
                 "\td\r\n";
    EXPECT_TRUE(server.waitForFile("stats.txt", stats)) << server.directory.read("stats.txt");

    ListClient client;
    Connection* connection = client.connect(kLoopback, kServerClientPort);
    const auto list = awaitList(client, connection, server);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(countOf(std::string(list->begin(), list->end()), "Honest "), 5u);
    EXPECT_EQ(countOf(std::string(list->begin(), list->end()), "Forged "), 0u);
    const std::string& printed = server.output();
    EXPECT_EQ(countOf(printed, "Adding : Forged"), 0u);
    EXPECT_EQ(countOf(printed, "---Update : Forged"), 200u) << "every forged update was taken";
    EXPECT_EQ(countOf(printed, "Adding : Honest"), 5u);
}

// The sweep pings of one zone that answers each of them, 20 ms apart.
std::vector<uint32_t> sweepPings(const std::string& settings, size_t wanted) {
    ServerProcess server(settings + "[Zone]\nSweepTime=20\n");
    if (!server.waitForLine(kBannerLine)) return {};
    HonestZone zone("Pinged");
    zone.announce();
    std::vector<uint32_t> pings;
    for (int waited = 0; waited < 3000 && pings.size() < wanted; ++waited) {
        for (uint32_t bytes : zone.answer()) pings.push_back(bytes);
        server.drain();
        sleepMs(1);
    }
    return pings;
}

TEST(VerifiedZonesTest, PingBytesAreATickOnlyWithoutVerification) {
    struct Case {
        const char* settings;
        bool clockLike;
    };
    const Case cases[] = {{"[Zone]\nVerifiedZones=0\n", true}, {"[Zone]\nVerifiedZones=1\n", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        const std::vector<uint32_t> pings = sweepPings(c.settings, 6);
        ASSERT_EQ(pings.size(), 6u);
        // A clock moves on by about the time between pings, never back.
        size_t steps = 0;
        for (size_t i = 1; i < pings.size(); ++i)
            if (pings[i] - pings[i - 1] <= 2000) ++steps;
        EXPECT_EQ(steps == pings.size() - 1, c.clockLike);
    }
}

TEST(VerifiedZonesTest, EchoesOfAnOldTokenKeepADeadZoneOnlyWithoutVerification) {
    struct Case {
        const char* settings;
        bool dropped;
    };
    const Case cases[] = {{"[Zone]\nVerifiedZones=0\n", false}, {"[Zone]\nVerifiedZones=1\n", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        ServerProcess server(std::string(c.settings) +
                             "[Zone]\nSweepTime=20\nInitialHighPing=30\nDropLimit=2\n");
        ASSERT_TRUE(server.waitForLine(kBannerLine));
        HonestZone zone("Replayed");
        ASSERT_TRUE(zone.announce());
        // The first ping is answered honestly; its reply is kept.
        std::unique_ptr<Datagram> first;
        for (int i = 0; i < 3000 && !first; ++i) {
            first = zone.socket.poll();
            server.drain();
            sleepMs(1);
        }
        ASSERT_NE(first, nullptr);
        const uint32_t oldEcho = readU32(first->data(), 0);
        ASSERT_TRUE(answerPing(zone.socket, *first, 2));
        ASSERT_TRUE(server.waitForLine("Adding : Replayed"));
        // From now on every ping gets the old reply back.
        zone.socket.setDestination(first->source);
        bool dropped = false;
        for (int waited = 0; waited < 1500 && !dropped; ++waited) {
            while (auto ping = zone.socket.poll()) {
                const auto stale = le32Pair(2, oldEcho);
                zone.socket.send(stale.data(), stale.size());
            }
            dropped = server.waitForLine("Timeout : Replayed", 0);
            sleepMs(1);
        }
        EXPECT_EQ(dropped, c.dropped) << server.output();
        EXPECT_TRUE(server.running());
    }
}

TEST(VerifiedZonesTest, DownloadedZonesAreListedOnlyOnceTheyAnswerThisServersPings) {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    NamespacePair namespaces;
    ASSERT_TRUE(namespaces.ready());
    // The peer lists every zone at once; the verifying server downloads from it.
    ServerProcess peer("[Directory]\nIP=127.0.0.1\n", false, namespaces.first);
    ServerProcess verifying(
        std::string("[Zone]\nVerifiedZones=1\nInitialHighPing=50\nDropLimit=2\n"
                    "[Core]\nPacketSilenceLimit=100\n[Directory]\nDownloadTime=0\nIP=") +
            kFirstAddress + "\n",
        false, namespaces.second);
    ASSERT_TRUE(peer.waitForLine(kBannerLine));
    ASSERT_TRUE(verifying.waitForLine(kBannerLine));

    // Zones on the peer's host: one answers pings, two never do.
    UdpEndpoint live;
    {
        NamespaceScope scope(namespaces.first);
        ASSERT_TRUE(scope.entered);
        ASSERT_GE(live.open(0), 0);
    }
    ASSERT_TRUE(namespaces.connect());
    const uint16_t liveAnnounced = static_cast<uint16_t>(live.localPort() - 1);
    live.setDestination(inet_addr(kFirstAddress), kServerUpdatePort);
    const auto liveUpdate = updateOf("Live Peer Zone", liveAnnounced);
    ASSERT_TRUE(live.send(liveUpdate.data(), liveUpdate.size()));
    for (uint16_t port : {7100, 7200}) {
        const auto dead = updateOf("Dead " + std::to_string(port), port);
        ASSERT_TRUE(live.send(dead.data(), dead.size()));
    }
    ASSERT_TRUE(peer.waitForLine("Adding : Dead 7200"));

    bool listed = false;
    for (int waited = 0; waited < 8000 && !listed; ++waited) {
        while (auto ping = live.poll()) answerPing(live, *ping, 2);
        verifying.drain();
        listed = verifying.waitForLine("Adding : Live Peer Zone", 0);
        sleepMs(1);
    }
    ASSERT_TRUE(listed) << verifying.output();
    // Long enough for the dead ones' pings (1 + 3 at 50 ms) to run out.
    for (int waited = 0; waited < 500; ++waited) {
        while (auto ping = live.poll()) answerPing(live, *ping, 2);
        verifying.drain();
        sleepMs(1);
    }
    std::unique_ptr<ListClient> client;
    {
        NamespaceScope scope(namespaces.second);
        ASSERT_TRUE(scope.entered);
        client = std::make_unique<ListClient>();
    }
    Connection* connection = client->connect(inet_addr(kSecondAddress), kServerClientPort);
    const auto list = awaitList(*client, connection, verifying, 8000);
    ASSERT_TRUE(list.has_value());
    const std::string text(list->begin(), list->end());
    EXPECT_EQ(countOf(text, "Live Peer Zone"), 1u);
    EXPECT_EQ(countOf(text, "Dead "), 0u);
    EXPECT_EQ(countOf(verifying.output(), "Adding : Dead"), 0u);
}

}  // namespace
}  // namespace kelvaro::testing_support
