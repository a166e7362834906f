// The directory server with zones that must prove their address and an
// operator's ban list: the entry point for zones learned elsewhere, the
// re-pings of pending zones, and what a reload removes.

#include <gtest/gtest.h>

#include <string>

#include "service/server_fixture.h"

namespace kelvaro::testing_support {
namespace {

class VerifiedServerTest : public ServerFixture {
protected:
    // Answers the zone's next ping from its socket with population.
    bool answer(FakeZone& zone, uint32_t population) {
        auto ping = pollWithin(zone.socket);
        if (!ping || ping->length() != 4) return false;
        lastPing = readU32(ping->data(), 0);
        const auto reply = le32Pair(population, lastPing);
        zone.socket.setDestination(ping->source);
        return zone.socket.send(reply.data(), reply.size());
    }

    // Iterates until the ping port has taken what arrived (bounded).
    std::string iterateFor(int iterations) {
        std::string printed;
        for (int i = 0; i < iterations; ++i) {
            printed += iterate();
            sleepMs(1);
        }
        return printed;
    }

    uint32_t lastPing = 0;
};

TEST_F(VerifiedServerTest, LearnedZoneWaitsForItsProofAndIsRepingedMeanwhile) {
    start("[Zone]\nVerifiedZones=1\nInitialHighPing=50\nDropLimit=1\n");
    FakeZone zone;
    FakeZone silent;
    Admission admission = Admission::Refused;
    printedBy([&] {
        admission = server->learnZone(kLoopback, zone.announcedPort(), 3, 0, 0, "Restored", "",
                                      ZoneSource::Update);
        server->learnZone(kLoopback, silent.announcedPort(), 3, 0, 0, "Silent", "",
                          ZoneSource::Update);
    });
    EXPECT_EQ(admission, Admission::Pending);
    EXPECT_EQ(server->zones().count(), 0);
    ASSERT_NE(server->pendingZones(), nullptr);
    EXPECT_EQ(server->pendingZones()->count(), 2);
    EXPECT_EQ(server->metrics().pingsSent, 2u);

    ASSERT_NE(pollWithin(silent.socket), nullptr);
    clock.advance(50);
    iterate();
    EXPECT_TRUE(nothingArrived(silent)) << "exactly highPing is not more";
    clock.advance(1);
    iterate();
    // The first zone answers its re-ping, the latest of its pings.
    ASSERT_NE(pollWithin(zone.socket), nullptr);
    ASSERT_TRUE(answer(zone, 8));
    EXPECT_EQ(iterateFor(20), "Adding : Restored\n");
    EXPECT_EQ(server->zones().count(), 1);
    EXPECT_EQ(server->zones().find(kLoopback, zone.announcedPort())->population, 8);
    EXPECT_EQ(server->metrics().zonesVerified, 1u);

    // The silent one gets DropLimit + 1 re-pings in all, then is forgotten.
    ASSERT_NE(pollWithin(silent.socket), nullptr);
    clock.advance(51);
    iterate();
    ASSERT_NE(pollWithin(silent.socket), nullptr);
    clock.advance(51);
    iterate();
    EXPECT_TRUE(nothingArrived(silent));
    EXPECT_EQ(server->pendingZones()->count(), 0);
    EXPECT_EQ(server->pendingZones()->forgotten, 1u);
    EXPECT_NE(server->metricsText().find(
                  "kelvaro_pending_zones_ended_total{result=\"listed\"} 1\n"
                  "kelvaro_pending_zones_ended_total{result=\"refused\"} 0\n"
                  "kelvaro_pending_zones_ended_total{result=\"never_answered\"} 1\n"
                  "kelvaro_pending_zones_ended_total{result=\"evicted\"} 0\n"),
              std::string::npos)
        << server->metricsText();
    EXPECT_EQ(server->metrics().pingsSent, 5u);
    EXPECT_NE(lastPing, clock.now());
}

// The pending table counts its evictions itself; the metrics show them.
TEST_F(VerifiedServerTest, AFullPendingTableEvictsTheOldestAndTheMetricsCountIt) {
    start("[Zone]\nVerifiedZones=1\nMaxPendingZones=1\n");
    FakeZone older;
    FakeZone newer;
    printedBy([&] {
        EXPECT_EQ(server->learnZone(kLoopback, older.announcedPort(), 1, 0, 0, "Older", "",
                                    ZoneSource::Peer),
                  Admission::Pending);
        EXPECT_EQ(server->learnZone(kLoopback, newer.announcedPort(), 1, 0, 0, "Newer", "",
                                    ZoneSource::Peer),
                  Admission::Pending);
    });
    EXPECT_EQ(server->pendingZones()->count(), 1);
    EXPECT_EQ(server->pendingZones()->evicted, 1u);
    EXPECT_NE(server->metricsText().find(
                  "kelvaro_pending_zones_ended_total{result=\"never_answered\"} 0\n"
                  "kelvaro_pending_zones_ended_total{result=\"evicted\"} 1\n"),
              std::string::npos)
        << server->metricsText();
}

TEST_F(VerifiedServerTest, ReloadRemovesTheZonesItNowBansListedAndPending) {
    directory.write("bans.txt", "10.0.0.0/8\n");
    start("[Zone]\nVerifiedZones=1\nBanFile=bans.txt\n");
    FakeZone listed;
    FakeZone waiting;
    addZone("Listed", listed);
    printedBy([&] {
        EXPECT_EQ(server->learnZone(htonl(0x0A010203), 5000, 1, 0, 0, "Banned", "",
                                    ZoneSource::Peer),
                  Admission::Banned);
        EXPECT_EQ(server->learnZone(kLoopback, waiting.announcedPort(), 1, 0, 0, "Waiting", "",
                                    ZoneSource::Peer),
                  Admission::Pending);
    });
    EXPECT_EQ(server->banList().rangeCount(), 1u);

    directory.write("bans.txt", "# now this host too\n127.0.0.1\n10.0.0.0/8\n");
    EXPECT_EQ(printedBy([&] { server->reload(); }),
              "---Removed banned zone: 127.0.0.1: Listed\n"
              "---Reload: ban file bans.txt: 2 ranges in force\n");
    EXPECT_EQ(server->zones().count(), 0);
    EXPECT_EQ(server->pendingZones()->count(), 0);
    EXPECT_EQ(server->metrics().bannedZonesRemoved, 2u);
}

TEST_F(VerifiedServerTest, WithoutAFileReloadSaysSoAndDefaultsListAtOnce) {
    start();
    EXPECT_EQ(server->pendingZones(), nullptr);
    EXPECT_EQ(printedBy([&] { server->reload(); }), "---Reload: nothing to re-read\n");
    FakeZone zone;
    EXPECT_EQ(printedBy([&] {
                  EXPECT_EQ(server->learnZone(kLoopback, zone.announcedPort(), 1, 0, 0, "Now", "",
                                              ZoneSource::Peer),
                            Admission::Listed);
              }),
              "Adding : Now\n");
    EXPECT_TRUE(nothingArrived(zone));
}

}  // namespace
}  // namespace kelvaro::testing_support
