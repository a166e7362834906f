// Settings put in force on a running server: each part takes the new values
// for what it does next, and what it already holds is counted afresh where a
// new value needs it.

#include <gtest/gtest.h>

#include <string>

#include "service/server_fixture.h"

namespace kelvaro::testing_support {
namespace {

class LiveSettingsTest : public ServerFixture {
protected:
    // The settings in force with ini loaded over them, as a reload makes them.
    ServerSettings edited(const std::string& ini) {
        directory.write("edited.ini", ini + kQuietSettings);
        ServerSettings read;
        read.loadFile(directory.file("edited.ini"));
        return read;
    }
};

TEST_F(LiveSettingsTest, CapsAndTheSweepCycleReachTheRunningParts) {
    start("[Core]\nMaxHosts=10\n[Zone]\nSweepTime=500\n");
    for (uint16_t port = 5000; port < 5003; ++port) ASSERT_NE(addZone("Zone", port), nullptr);
    const double cycleBefore = server->gauges().sweepCycleSeconds;

    printedBy([&] {
        server->applySettings(edited(
            "[Core]\nMaxHosts=3\n[Zone]\nSweepTime=500\nSweepCycle=1\nMaxZonesPerAddress=4\n"));
    });
    EXPECT_EQ(server->clients().maxHosts, 3);
    EXPECT_EQ(server->zones().settings().SweepCycle, 1000u);
    EXPECT_NE(server->gauges().sweepCycleSeconds, cycleBefore);
    // The cap set anew counts the three zones already listed: one more fits.
    EXPECT_NE(addZone("Fourth", 5003), nullptr);
    EXPECT_EQ(addZone("Fifth", 5004), nullptr);
    EXPECT_NE(addZone("Other", 5004, 0x0200007F), nullptr);  // 127.0.0.2

    // Taken away again, the cap refuses nothing.
    printedBy([&] { server->applySettings(edited("")); });
    EXPECT_NE(addZone("Fifth", 5004), nullptr);
    EXPECT_EQ(server->clients().maxHosts, 10);
}

TEST_F(LiveSettingsTest, VerifiedZonesTurnedOnDrawsASecretAndTurnedOffForgetsThePending) {
    start();
    ASSERT_EQ(server->pendingZones(), nullptr);
    printedBy(
        [&] { server->applySettings(edited("[Zone]\nVerifiedZones=1\nMaxPendingZones=2\n")); });
    ASSERT_NE(server->pendingZones(), nullptr);
    EXPECT_EQ(server->pendingZones()->capacity(), 2u);
    EXPECT_EQ(server->settings().VerifiedZones, 1);
    // A new zone now waits for its proof instead of being listed.
    printedBy(
        [&] { server->learnZone(kLoopback, 6000, 0, 0, 0, "Waiting", "", ZoneSource::Peer); });
    EXPECT_EQ(server->zones().find(kLoopback, 6000), nullptr);
    EXPECT_EQ(server->pendingZones()->count(), 1);

    printedBy([&] { server->applySettings(edited("[Zone]\nVerifiedZones=0\n")); });
    EXPECT_EQ(server->pendingZones(), nullptr);
    printedBy([&] { server->learnZone(kLoopback, 6001, 0, 0, 0, "AtOnce", "", ZoneSource::Peer); });
    EXPECT_NE(server->zones().find(kLoopback, 6001), nullptr);
}

TEST_F(LiveSettingsTest, ABanFileTakenAwayBansNobody) {
    directory.write("bans.txt", "127.0.0.0/8\n");
    start("[Zone]\nBanFile=bans.txt\n");
    ASSERT_TRUE(server->banList().contains(kLoopback));
    printedBy([&] { server->applySettings(edited("")); });
    EXPECT_FALSE(server->banList().contains(kLoopback));
    EXPECT_EQ(printedBy([&] { server->reload(); }), "---Reload: nothing to re-read\n");
}

}  // namespace
}  // namespace kelvaro::testing_support
