// The settings of a busy directory: how many datagrams one iteration takes
// from each endpoint, and whether the pause wakes on traffic.

#include <gtest/gtest.h>

#include <string>

#include "service/server_fixture.h"

namespace kelvaro::testing_support {
namespace {

size_t countLines(const std::string& printed, const std::string& prefix) {
    size_t count = 0;
    for (size_t start = 0, end; (end = printed.find('\n', start)) != std::string::npos; start = end + 1)
        if (printed.compare(start, prefix.size(), prefix) == 0) ++count;
    return count;
}

TEST(BusyDirectorySettingsTest, KeysAreReadAsIntegersAndKeptInRange) {
    struct Case {
        const char* ini;
        int32_t datagrams;
        bool wake;
        int32_t batchWait = 200;
    };
    const Case cases[] = {
        {"", 1, false},
        {"[CPU]\nDatagramsPerIteration=64\nWakeOnTraffic=1\n", 64, true},
        {"[CPU]\nDatagramsPerIteration=0\nWakeOnTraffic=0\n", 1, false},
        {"[CPU]\nDatagramsPerIteration=-7\nWakeOnTraffic=-1\n", 1, true},
        {"[CPU]\nDatagramsPerIteration=1024\n", 1024, false},
        {"[CPU]\nDatagramsPerIteration=1025\n", 1024, false},
        {"[CPU]\nDatagramsPerIteration=99999999999\nWakeOnTraffic=yes\n", 1024, false},
        {"[cpu]\ndatagramsperiteration=12 per port\nwakeontraffic=2\n", 12, true},
        {"[Zone]\nDatagramsPerIteration=9\nWakeOnTraffic=1\nBatchWaitTime=5\n", 1, false},  // wrong section
        {"[CPU]\nBatchWaitTime=0\n", 1, false, 0},
        {"[CPU]\nBatchWaitTime=-1\n", 1, false, 0},
        {"[CPU]\nBatchWaitTime=500\n", 1, false, 500},
        {"[CPU]\nBatchWaitTime=501\n", 1, false, 500},
    };
    for (const Case& c : cases) {
        TempDirectory directory;
        directory.write(kIniFileName, c.ini);
        ServerSettings settings;
        settings.load(directory.path());
        EXPECT_EQ(settings.DatagramsPerIteration, c.datagrams) << c.ini;
        EXPECT_EQ(settings.WakeOnTraffic, c.wake) << c.ini;
        EXPECT_EQ(settings.BatchWaitTime, c.batchWait) << c.ini;
    }
}

using DatagramsPerIterationTest = ServerFixture;

// Five updates and five malformed ping replies wait; each iteration takes up
// to the setting from each port, in arrival order, until none is left.
TEST_F(DatagramsPerIterationTest, EachIterationTakesUpToTheSettingFromEachPort) {
    struct Case {
        const char* value;
        size_t perIteration;
    };
    for (const Case c : {Case{"1", 1}, Case{"5", 5}, Case{"3", 3}, Case{"0", 1}, Case{"64", 5}}) {
        SCOPED_TRACE(c.value);
        start(std::string("[CPU]\nDatagramsPerIteration=") + c.value + "\n");
        UdpEndpoint sender;
        ASSERT_GE(sender.open(0), 0);
        for (int i = 0; i < 5; ++i) {
            ZoneUpdate update;
            update.port = static_cast<uint16_t>(3000 + i);
            update.name = "Zone " + std::to_string(i);
            ASSERT_TRUE(sendTo(sender, server->updatePort(), updateDatagram(update)));
            ASSERT_TRUE(sendTo(sender, server->pingPort(), le32(7)));
        }
        size_t updates = 0;
        for (int iteration = 0; updates < 5 && iteration < 10; ++iteration) {
            const std::string printed = iterate();
            const size_t expected = std::min<size_t>(c.perIteration, 5 - updates);
            EXPECT_EQ(countLines(printed, "---Update : "), expected) << printed;
            EXPECT_EQ(countLines(printed, "---Invalid message on ping sweep port"), expected);
            if (updates == 0) {
                EXPECT_EQ(printed.find("Adding : Zone 0\n"), 0u) << printed;
            }
            updates += expected;
        }
        EXPECT_EQ(server->zones().count(), 5);
        EXPECT_EQ(iterate(), "");  // nothing left behind
        server.reset();
        TearDown();
    }
}

using TrafficDenseTest = ServerFixture;

// Traffic is dense when one port yielded two or more datagrams but less than
// a full batch, which would leave the next pause nothing to wait for.
TEST_F(TrafficDenseTest, OnlyAPartBatchOnOnePortMakesTheNextWakeWait) {
    struct Case {
        int datagramsPerIteration;
        int updates;
        int pingReplies;
        bool dense;
    };
    const Case cases[] = {
        {4, 0, 0, false}, {4, 1, 0, false}, {4, 2, 0, true},  {4, 3, 0, true},
        {4, 4, 0, false},  // a full batch: more may be waiting already
        {4, 1, 1, false},  // one on each of two ports is not a batch
        {4, 0, 3, true},  {1, 2, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.datagramsPerIteration << " per iteration, " << c.updates
                                          << " updates, " << c.pingReplies << " ping replies");
        start("[CPU]\nDatagramsPerIteration=" + std::to_string(c.datagramsPerIteration) + "\n");
        UdpEndpoint sender;
        ASSERT_GE(sender.open(0), 0);
        for (int i = 0; i < c.updates; ++i) {
            ZoneUpdate update;
            update.port = static_cast<uint16_t>(3000 + i);
            update.name = "Zone " + std::to_string(i);
            ASSERT_TRUE(sendTo(sender, server->updatePort(), updateDatagram(update)));
        }
        for (int i = 0; i < c.pingReplies; ++i) ASSERT_TRUE(sendTo(sender, server->pingPort(), le32(7)));
        iterate();
        EXPECT_EQ(server->trafficDense(), c.dense);
        iterate();  // whatever a full batch left behind, then nothing
        iterate();
        EXPECT_FALSE(server->trafficDense());
        server.reset();
        TearDown();
    }
}

// The gather follows the batches: the first of a dense spell is the longest,
// a batch short of three quarters of DatagramsPerIteration (6 of 8 here)
// lengthens the next, a bigger one shortens it, never below an eighth of the
// longest; a spell ends with a single datagram or a full batch.
TEST_F(TrafficDenseTest, TheGatherFollowsTheBatchesWithinItsBounds) {
    start("[CPU]\nDatagramsPerIteration=8\n");
    UdpEndpoint sender;
    ASSERT_GE(sender.open(0), 0);
    struct Step {
        int updates;
        uint32_t gatherUs;
    };
    const Step steps[] = {
        {3, 400},  // a spell starts
        {7, 371},  // (400 + 400 * 6 / 7) / 2
        {2, 400},  // longer, up to the longest
        {1, 0},    {3, 400}, {8, 0},  // a full batch ends it too
    };
    int port = 3000;
    for (const Step& step : steps) {
        for (int i = 0; i < step.updates; ++i) {
            ZoneUpdate update;
            update.port = static_cast<uint16_t>(port++);
            update.name = "Zone " + std::to_string(port);
            ASSERT_TRUE(sendTo(sender, server->updatePort(), updateDatagram(update)));
        }
        iterate();
        EXPECT_EQ(server->nextGatherUs(400), step.gatherUs) << step.updates << " updates";
    }
    // Batches of 7 keep shortening it, down to an eighth of the longest.
    uint32_t gather = 0;
    for (int round = 0; round < 40; ++round) {
        for (int i = 0; i < 7; ++i) {
            ZoneUpdate update;
            update.port = static_cast<uint16_t>(port++);
            update.name = "Zone " + std::to_string(port);
            ASSERT_TRUE(sendTo(sender, server->updatePort(), updateDatagram(update)));
        }
        iterate();
        const uint32_t next = server->nextGatherUs(400);
        if (round > 0) {
            EXPECT_LE(next, gather);
        }
        gather = next;
    }
    EXPECT_EQ(gather, 50u);
    EXPECT_EQ(server->nextGatherUs(0), 0u);  // off
}

}  // namespace
}  // namespace kelvaro::testing_support
