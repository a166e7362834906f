// The zone list stays fresh under load: clients cannot hold the zone upkeep
// for long, a sweep cycle reaches every zone in time, and two directories
// downloading each other's lists do not pass a dead zone back and forth.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e/list_fetch.h"
#include "e2e/network_namespaces.h"
#include "e2e/server_process.h"
#include "support/udp_wait.h"
#include "support/zone_wire.h"
#include "zones/zone_datagrams.h"

namespace kelvaro::testing_support {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A zone on a socket of its own: announced on port P, pinged on P + 1. It
// answers the pings that have arrived while it is alive, and lets them lie
// once it has gone silent.
class TestZone {
public:
    explicit TestZone(std::string zoneName, std::string zoneDescription = "")
        : name(std::move(zoneName)), description(std::move(zoneDescription)) {
        socket.open(0);
    }

    uint16_t announcedPort() const { return static_cast<uint16_t>(socket.localPort() - 1); }

    // Sends the update to address:4991 (network order; loopback by default).
    bool announce(uint32_t address = kLoopback) {
        ZoneUpdate update;
        update.port = announcedPort();
        update.population = 1;
        update.name = name;
        update.password = "pw";
        update.description = description;
        const auto bytes = updateDatagram(update);
        socket.setDestination(address, kServerUpdatePort);
        return socket.send(bytes.data(), bytes.size());
    }

    void serve() {
        for (int taken = 0; taken < 64; ++taken) {
            auto ping = socket.poll();
            if (!ping) return;
            if (alive) answerPing(socket, *ping, 1);
        }
    }

    UdpEndpoint socket;
    std::string name;
    std::string description;
    bool alive = true;
};

// The first line of output from position from on that equals line, or npos.
size_t lineAt(const std::string& output, const std::string& line, size_t from = 0) {
    for (size_t start = from, end; (end = output.find('\n', start)) != std::string::npos;
         start = end + 1)
        if (output.compare(start, end - start, line) == 0) return start;
    return std::string::npos;
}

// Reads the "Timeout : <name>" lines a server has printed since the last
// call, so a test watching hundreds of zones does not rescan the output.
class TimeoutWatch {
public:
    template <typename Seen>
    void scan(const std::string& output, Seen&& seen) {
        static const std::string prefix = "Timeout : ";
        for (size_t end; (end = output.find('\n', scanned)) != std::string::npos; scanned = end + 1)
            if (output.compare(scanned, prefix.size(), prefix) == 0)
                seen(output.substr(scanned + prefix.size(), end - scanned - prefix.size()));
    }

private:
    size_t scanned = 0;
};

// The value of an unlabelled sample in a metrics file, or -1.
long long metricValue(const std::string& text, const std::string& name) {
    const size_t at = text.find("\n" + name + " ");
    if (at == std::string::npos) return -1;
    return std::atoll(text.c_str() + at + name.size() + 2);
}

// A client that stays connected, talking every 0.1 s. With a hold limit the
// dead zone is dropped once the limit has passed, plus the usual drop time,
// and the statistics file is written meanwhile; with BusyHoldLimit=-1 nothing
// happens until the client has gone, as it always was.
TEST(FreshListTest, StayingClientHoldsTheUpkeepNoLongerThanBusyHoldLimit) {
    struct Case {
        const char* limit;
        bool droppedWhileConnected;
    };
    constexpr double kHoldSeconds = 1.0;
    // Sweep, three re-pings 30 ms apart and the drop take about 0.15 s.
    constexpr double kUsualDropSeconds = 0.15;
    constexpr double kMarginSeconds = 2.0;  // a loaded machine
    constexpr int kHeldMs = 3000;
    for (const Case c : {Case{"1000", true}, Case{"-1", false}}) {
        SCOPED_TRACE(std::string("BusyHoldLimit=") + c.limit);
        ServerProcess server(std::string("[Zone]\nSweepTime=20\nInitialHighPing=30\nDropLimit=2\n"
                                         "BusyHoldLimit=") +
                             c.limit +
                             "\n[Directory]\nStatsWriteMinutes=0\nMetricsFile=metrics.prom\n");
        ASSERT_TRUE(server.waitForLine(kBannerLine));
        ListClient client;
        Connection* connection = client.connect(kLoopback, kServerClientPort);
        ASSERT_TRUE(awaitList(client, connection, server));
        std::remove((server.directory.path() + "/stats.txt").c_str());

        TestZone dead("Dead");
        dead.alive = false;
        ASSERT_TRUE(dead.announce());
        ASSERT_TRUE(server.waitForLine("---Update : Dead"));
        const Clock::time_point silent = Clock::now();
        double droppedAfter = -1;
        for (int waited = 0; waited < kHeldMs && droppedAfter < 0; waited += 100) {
            connection->sendSyncRequest();
            runFor(client, server, 100);
            if (lineAt(server.output(), "Timeout : Dead") != std::string::npos)
                droppedAfter = secondsSince(silent);
        }
        EXPECT_FALSE(connection->isClosed());  // the client was there all along
        if (c.droppedWhileConnected) {
            ASSERT_GE(droppedAfter, 0) << server.output();
            EXPECT_LT(droppedAfter, kHoldSeconds + kUsualDropSeconds + kMarginSeconds);
            EXPECT_TRUE(server.directory.exists("stats.txt"));
            EXPECT_GT(metricValue(server.directory.read("metrics.prom"),
                                  "kelvaro_upkeep_forced_total"),
                      0);
        } else {
            EXPECT_LT(droppedAfter, 0) << "dropped after " << droppedAfter << " s";
            EXPECT_FALSE(server.directory.exists("stats.txt"));
            // Once the client has gone the old rule drops it at once.
            connection->disconnect(true);
            runFor(client, server, 50);
            EXPECT_TRUE(server.waitForLine("Timeout : Dead", kDefaultWaitMs));
        }
    }
}

// Clients fetching the list back to back, at the default BusyHoldLimit: the
// server is idle only for moments between fetches, and none of them may wipe
// the dead zone's round.
TEST(FreshListTest, BackToBackFetchesAtTheDefaultsStillDropADeadZone) {
    constexpr int kFetchForMs = 8000;
    constexpr double kBoundSeconds = 4.0;  // "a few seconds"; the usual drop takes 0.15 s
    ServerProcess server("[Zone]\nSweepTime=20\nInitialHighPing=30\nDropLimit=2\n");
    ASSERT_TRUE(server.waitForLine(kBannerLine));
    // Live zones with long descriptions make each fetch a transfer of many packets.
    std::vector<std::unique_ptr<TestZone>> live;
    for (int i = 0; i < 20; ++i) {
        live.push_back(std::make_unique<TestZone>("Live " + std::to_string(i), std::string(200, 'x')));
        ASSERT_TRUE(live.back()->announce());
        ASSERT_TRUE(server.waitForLine("---Update : " + live.back()->name));
    }
    TestZone dead("Dead");
    dead.alive = false;

    const Clock::time_point begin = Clock::now();
    Clock::time_point silent{};
    double droppedAfter = -1;
    int fetches = 0;
    while (secondsSince(begin) * 1000 < kFetchForMs && droppedAfter < 0) {
        ListClient client;
        Connection* connection = client.connect(kLoopback, kServerClientPort);
        for (int waited = 0; waited < kDefaultWaitMs && client.listsFor(connection).empty();
             ++waited) {
            for (int poll = 0; poll < kPollsPerMs; ++poll) client.poll();
            for (auto& zone : live) zone->serve();
            server.drain();
            sleepMs(1);
        }
        ASSERT_FALSE(client.listsFor(connection).empty()) << "fetch " << fetches;
        connection->disconnect(true);
        ++fetches;
        if (fetches == 3) {  // the fetches are under way: the zone appears and falls silent
            ASSERT_TRUE(dead.announce());
            silent = Clock::now();
        }
        if (fetches > 3 && lineAt(server.output(), "Timeout : Dead") != std::string::npos)
            droppedAfter = secondsSince(silent);
    }
    ASSERT_GE(droppedAfter, 0) << fetches << " fetches";
    EXPECT_LT(droppedAfter, kBoundSeconds);
    for (auto& zone : live)
        EXPECT_EQ(lineAt(server.output(), "Timeout : " + zone->name), std::string::npos);
    std::printf("[ figures  ] dead zone dropped %.2f s after going silent, %d fetches\n",
                droppedAfter, fetches);
}

// 300 zones, 30 of them silent, SweepCycle=3: every silent zone is reached
// within the cycle and dropped after its re-pings; no live zone goes.
TEST(FreshListTest, SweepCycleDropsEverySilentZoneInTimeAndNoLiveOne) {
    constexpr int kZones = 300;
    constexpr int kSilentEvery = 10;
    constexpr double kBoundSeconds = 8.0;  // about 5 s: 3 s cycle, 1.1 s of re-pings, a loaded machine
    constexpr double kWatchSeconds = 3.0;  // then some more, to see no live zone go
    constexpr int kMaxRounds = 100000;
    ServerProcess server(
        "[Zone]\nSweepTime=500\nSweepCycle=3\nInitialHighPing=100\nDropLimit=10\n"
        "[CPU]\nDatagramsPerIteration=16\n");
    ASSERT_TRUE(server.waitForLine(kBannerLine));
    std::vector<std::unique_ptr<TestZone>> zones;
    for (int i = 0; i < kZones; ++i) {
        const bool silent = i % kSilentEvery == 0;
        zones.push_back(std::make_unique<TestZone>((silent ? "Silent " : "Live ") + std::to_string(i)));
        zones.back()->alive = !silent;
        ASSERT_TRUE(zones.back()->announce());
        if (i % 50 == 49) {  // let the update port catch up now and then
            ASSERT_TRUE(server.waitForLine("---Update : " + zones.back()->name));
        }
    }
    const Clock::time_point begin = Clock::now();

    std::map<std::string, int> byName;
    for (int i = 0; i < kZones; ++i) byName[zones[i]->name] = i;
    std::vector<double> droppedAfter(kZones, -1);
    int silentLeft = kZones / kSilentEvery;
    double lastSilentDrop = -1;
    TimeoutWatch watch;
    // Until all silent zones are gone (or the bound has passed), then a while
    // more to see that no live zone follows them.
    double deadline = kBoundSeconds;
    for (int round = 0; round < kMaxRounds && secondsSince(begin) < deadline; ++round) {
        for (auto& zone : zones) zone->serve();
        server.drain();
        watch.scan(server.output(), [&](const std::string& name) {
            const auto found = byName.find(name);
            if (found == byName.end() || droppedAfter[found->second] >= 0) return;
            droppedAfter[found->second] = secondsSince(begin);
            if (!zones[found->second]->alive && --silentLeft == 0) {
                lastSilentDrop = droppedAfter[found->second];
                deadline = lastSilentDrop + kWatchSeconds;
            }
        });
        sleepMs(1);
    }
    for (int i = 0; i < kZones; ++i) {
        if (zones[i]->alive)
            EXPECT_LT(droppedAfter[i], 0) << zones[i]->name << " dropped";
        else
            EXPECT_GE(droppedAfter[i], 0) << zones[i]->name << " still listed";
    }
    ASSERT_GE(lastSilentDrop, 0);
    EXPECT_LT(lastSilentDrop, kBoundSeconds);
    std::printf("[ figures  ] all %d silent zones gone %.2f s after the last update\n",
                kZones / kSilentEvery, lastSilentDrop);
}

// Two directories in namespaces of their own, each downloading the other's
// list continuously. A zone both list falls silent: it leaves both, and
// neither adds it again from the other's list while RejoinDelay lasts.
class FederatedDropTest : public ::testing::Test {
protected:
    static std::string settings(const char* peer, const char* sweepTime) {
        return std::string("[Core]\nPacketSilenceLimit=100\n[CPU]\nIterationSleepTime=0\n"
                           "[Zone]\nInitialHighPing=30\nDropLimit=2\nBusyHoldLimit=300\n"
                           "RejoinDelay=60\nSweepTime=") +
               sweepTime +
               "\n[Directory]\nDownloadTime=0\nMetricsFile=metrics.prom\nStatsWriteMinutes=0\nIP=" +
               peer + "\n";
    }

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
        namespaces = std::make_unique<NamespacePair>();
        ASSERT_TRUE(namespaces->ready());
        // The second sweeps slower, so the first drops the zone while the
        // second still lists it and offers it back.
        first = std::make_unique<ServerProcess>(settings(kSecondAddress, "20"), false,
                                                namespaces->first);
        second = std::make_unique<ServerProcess>(settings(kFirstAddress, "700"), false,
                                                 namespaces->second);
        ASSERT_TRUE(first->waitForLine(kBannerLine));
        ASSERT_TRUE(second->waitForLine(kBannerLine));
        ASSERT_TRUE(namespaces->connect());
    }

    std::unique_ptr<TestZone> zoneInFirst(const std::string& name) {
        NamespaceScope scope(namespaces->first);
        if (!scope.entered) return nullptr;
        return std::make_unique<TestZone>(name);
    }

    // Lets the zones answer and both servers print for about ms.
    void run(std::vector<TestZone*> zones, int ms) {
        for (int waited = 0; waited < ms; ++waited) {
            for (TestZone* zone : zones) zone->serve();
            first->drain();
            second->drain();
            sleepMs(1);
        }
    }

    std::unique_ptr<NamespacePair> namespaces;
    std::unique_ptr<ServerProcess> first;
    std::unique_ptr<ServerProcess> second;
};

TEST_F(FederatedDropTest, DeadZoneLeavesBothDirectoriesAndIsNotAddedAgain) {
    constexpr int kSyncMs = 8000;
    constexpr int kWatchMs = 4000;  // many downloads each way
    std::unique_ptr<TestZone> doomed = zoneInFirst("Doomed");
    std::unique_ptr<TestZone> steady = zoneInFirst("Steady");
    ASSERT_TRUE(doomed && steady);
    const uint32_t firstAddress = inet_addr(kFirstAddress);
    ASSERT_TRUE(doomed->announce(firstAddress));
    ASSERT_TRUE(steady->announce(firstAddress));
    const std::vector<TestZone*> zones{doomed.get(), steady.get()};

    // Both zones reach the second directory's list through its downloads.
    for (int waited = 0; waited < kSyncMs; waited += 10) {
        if (lineAt(second->output(), "Adding : Doomed") != std::string::npos &&
            lineAt(second->output(), "Adding : Steady") != std::string::npos)
            break;
        run(zones, 10);
    }
    ASSERT_NE(lineAt(second->output(), "Adding : Doomed"), std::string::npos) << second->output();

    doomed->alive = false;
    size_t firstDrop = std::string::npos;
    size_t secondDrop = std::string::npos;
    for (int waited = 0; waited < kSyncMs; waited += 10) {
        firstDrop = lineAt(first->output(), "Timeout : Doomed");
        secondDrop = lineAt(second->output(), "Timeout : Doomed");
        if (firstDrop != std::string::npos && secondDrop != std::string::npos) break;
        run(zones, 10);
    }
    ASSERT_NE(firstDrop, std::string::npos) << first->output();
    ASSERT_NE(secondDrop, std::string::npos) << second->output();

    run(zones, kWatchMs);
    EXPECT_EQ(lineAt(first->output(), "Adding : Doomed", firstDrop), std::string::npos);
    EXPECT_EQ(lineAt(second->output(), "Adding : Doomed", secondDrop), std::string::npos);
    EXPECT_EQ(lineAt(first->output(), "Timeout : Steady"), std::string::npos);
    EXPECT_EQ(lineAt(second->output(), "Timeout : Steady"), std::string::npos);
    // Whichever dropped it first was offered it again by the other's list.
    const long long refused =
        metricValue(first->directory.read("metrics.prom"), "kelvaro_rejoins_refused_total") +
        metricValue(second->directory.read("metrics.prom"), "kelvaro_rejoins_refused_total");
    EXPECT_GT(refused, 0);
    EXPECT_NE(lineAt(second->output(), "---Download complete", secondDrop), std::string::npos);
}

}  // namespace
}  // namespace kelvaro::testing_support
