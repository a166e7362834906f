#include "service/directory_server.h"

#include <gtest/gtest.h>

#include "service/server_fixture.h"

namespace kelvaro::testing_support {
namespace {

using IterationTest = ServerFixture;

TEST_F(IterationTest, SlowIterationIsReportedOnlyPastTheLimitAndNeverOnTheFirstIteration) {
    start("[CPU]\nSlowIteration=300\n");
    ZoneRecord* alpha = addZone("Alpha", 1000);
    ZoneRecord* bravo = addZone("Bravo", 2000);

    clock.advance(5000000);
    EXPECT_EQ(iterate(), "");
    EXPECT_EQ(server->timers().lastIterationTick, clock.now());

    alpha->startSweepPing();
    bravo->startSweepPing();
    clock.advance(300);
    EXPECT_EQ(iterate(), "");
    EXPECT_TRUE(alpha->awaitingReply);
    EXPECT_TRUE(bravo->awaitingReply);

    clock.advance(301);
    EXPECT_EQ(iterate(), "Slow iteration warning: 301 ms\n");
    EXPECT_FALSE(alpha->awaitingReply);
    EXPECT_FALSE(bravo->awaitingReply);
    EXPECT_EQ(server->timers().lastIterationTick, clock.now());
}

TEST_F(IterationTest, SweepPingsOneZonePerSweepTimeOnItsPortPlusOne) {
    start("[Zone]\nSweepTime=500\n");
    FakeZone alpha, bravo;
    addZone("Alpha", alpha);
    ZoneRecord* second = addZone("Bravo", bravo);
    const uint32_t built = server->timers().lastSweepTick;
    EXPECT_EQ(built, kStartTick);

    clock.advance(500);
    iterate();
    EXPECT_EQ(server->timers().lastSweepTick, built);
    EXPECT_TRUE(nothingArrived(bravo));

    // The first sweep visits the second zone; the ping comes from the ping port.
    clock.advance(1);
    iterate();
    auto ping = pollWithin(bravo.socket);
    ASSERT_NE(ping, nullptr);
    EXPECT_EQ(ping->source.hostPort(), server->pingPort());
    EXPECT_EQ(ping->length(), 4);
    EXPECT_EQ(readU32(ping->data(), 0), clock.now());
    EXPECT_TRUE(second->awaitingReply);
    EXPECT_EQ(server->timers().lastSweepTick, clock.now());
    EXPECT_TRUE(nothingArrived(alpha));

    clock.advance(500);
    iterate();
    EXPECT_TRUE(nothingArrived(alpha));
    clock.advance(1);
    iterate();
    EXPECT_TRUE(pingArrived(alpha, clock.now()));
}

TEST_F(IterationTest, SweepLandingOnAnAwaitingZoneSendsNothingAndTheNextIterationMovesOn) {
    start("[Zone]\nSweepTime=500\n");
    FakeZone alpha, bravo, charlie;
    addZone("Alpha", alpha);
    addZone("Bravo", bravo)->startSweepPing();
    addZone("Charlie", charlie);

    clock.advance(501);
    iterate();
    EXPECT_EQ(server->timers().lastSweepTick, kStartTick);
    EXPECT_TRUE(nothingArrived(bravo));
    EXPECT_TRUE(nothingArrived(charlie));

    // No SweepTime wait: the cursor already stands on the awaiting zone.
    iterate();
    EXPECT_TRUE(pingArrived(charlie, clock.now()));
    EXPECT_EQ(server->timers().lastSweepTick, clock.now());
    EXPECT_TRUE(nothingArrived(alpha));
    EXPECT_TRUE(nothingArrived(bravo));
}

TEST_F(IterationTest, NegativeSweepTimeNeverSweeps) {
    start("[Zone]\nSweepTime=-1\n");
    FakeZone alpha;
    ZoneRecord* zone = addZone("Alpha", alpha);
    for (const uint32_t step : {0x7fffffffu, 0x80000000u, 0xfffffff0u, 1000u}) {
        clock.advance(step);
        iterate();
    }
    EXPECT_FALSE(zone->awaitingReply);
    EXPECT_EQ(server->timers().lastSweepTick, kStartTick);
    EXPECT_TRUE(nothingArrived(alpha));
}

TEST_F(IterationTest, SweepOfAnEmptyListKeepsLastSweepTickSoTheFirstZoneIsPingedAtOnce) {
    start("[Zone]\nSweepTime=500\n");
    clock.advance(10000);
    iterate();
    EXPECT_EQ(server->timers().lastSweepTick, kStartTick);

    FakeZone alpha;
    ZoneRecord* zone = addZone("Alpha", alpha);
    iterate();
    EXPECT_TRUE(pingArrived(alpha, clock.now()));
    EXPECT_TRUE(zone->awaitingReply);
}

TEST_F(IterationTest, SilentZoneIsRepingedDropLimitPlusOneTimesThenDropped) {
    start("[Zone]\nSweepTime=50\nDropLimit=2\nInitialHighPing=100\n");
    FakeZone alpha;
    ZoneRecord* zone = addZone("Alpha", alpha);
    clock.advance(51);
    iterate();
    ASSERT_TRUE(pingArrived(alpha, clock.now()));

    for (uint32_t repings = 1; repings <= 3; ++repings) {
        clock.advance(100);
        EXPECT_EQ(iterate(), "");
        EXPECT_TRUE(nothingArrived(alpha)) << "re-ping " << repings << " came too early";
        clock.advance(1);
        EXPECT_EQ(iterate(), "");
        EXPECT_TRUE(pingArrived(alpha, clock.now())) << "re-ping " << repings;
        EXPECT_EQ(zone->missedPings, repings);
    }
    EXPECT_EQ(iterate(), "Timeout : Alpha\n");
    EXPECT_EQ(server->zones().count(), 0);
    EXPECT_TRUE(nothingArrived(alpha));
}

TEST_F(IterationTest, RemovalDuringTheTimeoutPassDoesNotEndTheWalk) {
    start("[Zone]\nDropLimit=2\nInitialHighPing=100\n");
    FakeZone charlie, delta;
    ZoneRecord* alpha = addZone("Alpha", 1000);
    ZoneRecord* bravo = addZone("Bravo", 2000);
    ZoneRecord* third = addZone("Charlie", charlie);
    ZoneRecord* fourth = addZone("Delta", delta);
    for (ZoneRecord* zone : {alpha, bravo, third}) zone->startSweepPing();
    alpha->missedPings = 3;
    bravo->missedPings = 3;
    clock.advance(101);

    EXPECT_EQ(iterate(), "Timeout : Alpha\nTimeout : Bravo\n");
    EXPECT_EQ(server->zones().count(), 2);
    EXPECT_TRUE(pingArrived(charlie, clock.now()));
    EXPECT_EQ(third->missedPings, 1u);
    EXPECT_FALSE(fourth->awaitingReply);
    EXPECT_TRUE(nothingArrived(delta));
}

TEST_F(IterationTest, StatsTimerFiresOnlyAfterMoreThanStatsWriteMinutes) {
    start("[Directory]\nStatsWriteMinutes=1\n");
    addZone("Alpha", 1000);
    clock.advance(60000);
    EXPECT_EQ(iterate(), "");
    EXPECT_FALSE(directory.exists("stats.txt"));
    EXPECT_EQ(server->timers().lastStatsTick, kStartTick);

    clock.advance(1);
    EXPECT_EQ(iterate(), "---Writing stats\n");
    EXPECT_EQ(directory.read("stats.txt"), "127.0.0.1\t1000\t0\t0\tAlpha\t\r\n");
    EXPECT_EQ(server->timers().lastStatsTick, clock.now());

    clock.advance(60000);
    EXPECT_EQ(iterate(), "");
    clock.advance(1);
    EXPECT_EQ(iterate(), "---Writing stats\n");
}

TEST_F(IterationTest, StatsTimerWithEmptyStatsFileResetsSilently) {
    start("[Directory]\nStatsFile=\nStatsWriteMinutes=1\n");
    addZone("Alpha", 1000);
    clock.advance(60001);
    EXPECT_EQ(iterate(), "");
    EXPECT_EQ(server->timers().lastStatsTick, clock.now());
    clock.advance(60000);
    iterate();
    EXPECT_EQ(server->timers().lastStatsTick, clock.now() - 60000);
    // Nothing but the settings file in the directory: no statistics, no temporary.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.path()),
                            std::filesystem::directory_iterator{}),
              1);
}

using ZoneTrafficTest = ServerFixture;

TEST_F(ZoneTrafficTest, UpdateIsAppliedBeforeThePingReplyOfTheSameIteration) {
    start();
    FakeZone alpha;
    UdpEndpoint sender;
    sender.open(0);
    ASSERT_TRUE(sendTo(sender, server->updatePort(),
                       updateDatagram({.port = alpha.announcedPort(),
                                       .population = 5,
                                       .name = "Alpha",
                                       .password = "pw",
                                       .description = ""})));
    ASSERT_TRUE(sendTo(alpha.socket, server->pingPort(), le32Pair(77, clock.now())));
    sleepMs(5);  // let both reach their sockets before the one iteration

    EXPECT_EQ(iterate(), "Adding : Alpha\n---Update : Alpha\n");
    ZoneRecord* zone = server->zones().find(kLoopback, alpha.announcedPort());
    ASSERT_NE(zone, nullptr);
    EXPECT_EQ(zone->population, 77);
}

TEST_F(ZoneTrafficTest, EachEndpointYieldsOneDatagramPerIteration) {
    start();
    UdpEndpoint sender;
    sender.open(0);
    for (const uint16_t port : {uint16_t{3000}, uint16_t{3002}})
        ASSERT_TRUE(sendTo(sender, server->updatePort(),
                           updateDatagram({.port = port,
                                           .name = "Zone" + std::to_string(port),
                                           .password = "pw",
                                           .description = ""})));
    sleepMs(5);
    EXPECT_EQ(iterate(), "Adding : Zone3000\n---Update : Zone3000\n");
    EXPECT_EQ(server->zones().count(), 1);
    EXPECT_EQ(iterate(), "Adding : Zone3002\n---Update : Zone3002\n");
    EXPECT_EQ(server->zones().count(), 2);
    EXPECT_EQ(iterate(), "");
}

}  // namespace
}  // namespace kelvaro::testing_support
