// The zone upkeep under load: how long a busy spell may hold it, which pings
// becoming busy forgets, how many zones one sweep pings, and dropped zones
// offered again by a peer's list.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "service/server_fixture.h"
#include "service/server_list.h"
#include "support/server_list_wire.h"

namespace kelvaro::testing_support {
namespace {

class ZoneUpkeepTest : public ServerFixture {
protected:
    // A server whose first iteration opens a download from the silent peer
    // that never times out, so from its second iteration on it stays busy.
    void startBusy(const std::string& ini) {
        start(ini + "[Core]\nPacketSilenceLimit=-1\n[Directory]\nDownloadTime=0\n");
        EXPECT_EQ(iterate(), "---Downloading server list\n");
        clock.advance(1);
        iterate();
        ASSERT_TRUE(server->isBusy());
    }

    void restart() {
        server.reset();
        TearDown();
    }

    std::set<std::string> awaitingNames() {
        std::set<std::string> names;
        for (auto* node = server->zones().head(); node != nullptr; node = node->next)
            if (node->element->awaitingReply) names.insert(node->element->name);
        return names;
    }
};

// Steps of 500 ms from the start of the busy spell: the upkeep (here a drop
// that is due and the statistics write) waits until more than BusyHoldLimit
// has passed, then runs in every busy iteration, each one counted. The spell
// may run across the tick counter's wrap.
TEST_F(ZoneUpkeepTest, BusySpellHoldsUpkeepForBusyHoldLimitAtMostAcrossTheTickWrap) {
    struct Case {
        const char* limit;
        uint32_t startTick;
        int firstStep;  // the first step whose upkeep runs; -1: none of them
    };
    constexpr int kSteps = 20;
    const Case cases[] = {
        {"-1", kStartTick, -1},
        {"0", kStartTick, 0},
        {"1999", kStartTick, 4},
        {"2000", kStartTick, 5},  // exactly the limit still holds
        {"2000", UINT32_MAX - 1200, 5},
        {"7000", kStartTick, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("BusyHoldLimit=") + c.limit + " from " +
                     std::to_string(c.startTick));
        clock.set(c.startTick);
        startBusy(std::string("[Zone]\nBusyHoldLimit=") + c.limit +
                  "\n[Directory]\nStatsWriteMinutes=0\n");
        const uint32_t spellStart = server->timers().busySinceTick;
        EXPECT_EQ(spellStart, clock.now());
        std::filesystem::remove(directory.path() + "/stats.txt");
        ZoneRecord* alpha = addZone("Alpha", 1000);
        alpha->startSweepPing();
        alpha->missedPings = 11;  // DropLimit 10: the drop is due
        const uint64_t forcedBefore = server->metrics().upkeepForced;

        for (int step = 0; step < kSteps; ++step) {
            clock.set(spellStart + 500u * static_cast<uint32_t>(step));
            const std::string printed = iterate();
            ASSERT_TRUE(server->isBusy());
            if (step == c.firstStep) {
                EXPECT_EQ(printed.rfind("Timeout : Alpha\n", 0), 0u) << printed;
            } else if (c.firstStep < 0 || step < c.firstStep) {
                EXPECT_EQ(printed, "") << "step " << step;
            }
        }
        const uint64_t forced = c.firstStep < 0 ? 0 : kSteps - c.firstStep;
        EXPECT_EQ(server->metrics().upkeepForced - forcedBefore, forced);
        EXPECT_EQ(server->zones().count(), c.firstStep < 0 ? 1 : 0);
        EXPECT_EQ(directory.exists("stats.txt"), c.firstStep >= 0);
        restart();
    }
}

// Ping replies are read in every iteration, so with a hold limit in force
// becoming busy forgets nothing; without one it forgets every ping, as the
// upkeep may then wait for ever.
TEST_F(ZoneUpkeepTest, BecomingBusyForgetsOutstandingPingsOnlyWithoutAHoldLimit) {
    struct Case {
        const char* limit;
        bool stillAwaiting;
    };
    for (const Case c : {Case{"-1", false}, Case{"0", true}, Case{"10000", true}}) {
        SCOPED_TRACE(c.limit);
        start(std::string("[Zone]\nBusyHoldLimit=") + c.limit +
              "\n[Core]\nPacketSilenceLimit=-1\n[Directory]\nDownloadTime=0\n");
        ZoneRecord* alpha = addZone("Alpha", 1000);
        alpha->startSweepPing();
        EXPECT_EQ(iterate(), "---Downloading server list\n");
        clock.advance(1);
        iterate();
        ASSERT_TRUE(server->isBusy());
        EXPECT_EQ(alpha->awaitingReply, c.stillAwaiting);
        restart();
    }
}

// Ten zones, a sweep every 500 ms and a 2 s cycle: three pings per sweep, in
// list order from the cursor. Zones still awaiting a reply are passed over and
// the pings they leave owing follow in the next iteration, no iteration
// looking at more zones than the sweep still owes, nor sending more pings
// than DatagramsPerIteration. lastSweepTick marks the sweep's first ping.
TEST_F(ZoneUpkeepTest, EachSweepPingsItsShareInListOrderPassingOverZonesAwaitingAReply) {
    struct Step {
        uint32_t advance;
        std::set<std::string> pinged;  // newly awaiting after the iteration
        uint32_t sweepStart;           // lastSweepTick, ms after the start
    };
    struct Case {
        const char* datagrams;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"8",
         {{500, {}, 0},  // not more than SweepTime yet
          {1, {"Z1", "Z2", "Z3"}, 501},
          {1, {}, 501},
          {500, {"Z4"}, 1002},  // Z5 and Z6 passed over: two pings still owed
          {1, {"Z7", "Z8"}, 1002},
          {1, {}, 1002}}},
        {"1",
         {{501, {"Z1"}, 501},
          {1, {"Z2"}, 501},
          {1, {"Z3"}, 501},
          {1, {}, 501},
          {499, {"Z4"}, 1003},
          {1, {}, 1003},  // looked at Z5 and Z6 only: two owed, two looks
          {1, {"Z7"}, 1003},
          {1, {"Z8"}, 1003},
          {1, {}, 1003}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("DatagramsPerIteration=") + c.datagrams);
        start(std::string("[Zone]\nSweepTime=500\nSweepCycle=2\n[CPU]\nDatagramsPerIteration=") +
              c.datagrams + "\n");
        const uint32_t begin = clock.now();
        std::vector<ZoneRecord*> zones;
        for (int i = 0; i < 10; ++i)
            zones.push_back(addZone("Z" + std::to_string(i), static_cast<uint16_t>(1000 + i)));
        zones[5]->startSweepPing();
        zones[6]->startSweepPing();
        for (const Step& step : c.steps) {
            clock.advance(step.advance);
            const std::set<std::string> before = awaitingNames();
            const uint64_t sent = server->metrics().pingsSent;
            iterate();
            std::set<std::string> pinged;
            for (const std::string& name : awaitingNames())
                if (before.count(name) == 0) pinged.insert(name);
            const uint32_t at = clock.now() - begin;
            EXPECT_EQ(pinged, step.pinged) << "at +" << at;
            EXPECT_EQ(server->metrics().pingsSent - sent, step.pinged.size()) << "at +" << at;
            EXPECT_EQ(server->timers().lastSweepTick - begin, step.sweepStart) << "at +" << at;
        }
        restart();
    }
}

// A zone dropped for silence stays out when a peer's list offers it again,
// until more than RejoinDelay has passed; the list's other zones merge.
TEST_F(ZoneUpkeepTest, ZoneDroppedForSilenceIsNotMergedBackFromAPeerListUntilRejoinDelay) {
    start("[Zone]\nDropLimit=0\nInitialHighPing=10\nRejoinDelay=60\n");
    ZoneRecord* alpha = addZone("Alpha", 1000);
    addZone("Bravo", 2000);
    alpha->startSweepPing();
    clock.advance(11);
    EXPECT_EQ(iterate(), "");  // the one re-ping DropLimit 0 allows
    clock.advance(11);
    EXPECT_EQ(iterate(), "Timeout : Alpha\n");
    const uint32_t droppedAt = clock.now();

    const Bytes list = serverList({{kLoopback, 1000, 1, 0, 0, "Alpha", ""},
                                   {kLoopback, 2000, 1, 0, 0, "Bravo", ""},
                                   {kLoopback, 3000, 1, 0, 0, "Charlie", ""}});
    struct Offer {
        uint32_t after;  // ms since the drop
        uint64_t refused;
        int32_t zones;
    };
    for (const Offer offer : {Offer{0, 1, 2}, Offer{60000, 1, 2}, Offer{60001, 0, 3}}) {
        clock.set(droppedAt + offer.after);
        uint64_t refused = 0;
        printedBy([&] {
            EXPECT_EQ(mergeServerList(list.data(), static_cast<uint32_t>(list.size()),
                                      server->zones(), &refused),
                      3);
        });
        EXPECT_EQ(refused, offer.refused) << offer.after;
        EXPECT_EQ(server->zones().count(), offer.zones) << offer.after;
    }
}

}  // namespace
}  // namespace kelvaro::testing_support
