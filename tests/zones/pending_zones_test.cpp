#include "zones/pending_zones.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/tick_clock.h"
#include "support/capture_stdout.h"

namespace kelvaro {
namespace {

using testing_support::StdoutCapture;

const uint32_t kHost = inet_addr("198.51.100.1");

class PendingZonesTest : public ::testing::Test {
protected:
    PendingZone* add(PendingZones& table, uint16_t port) {
        return table.add(kHost, port, 3, 7, 9, "Zone " + std::to_string(port), "waiting", "pw",
                         ZoneSource::Update);
    }

    // Runs the re-ping pass and returns the ports pinged, in order.
    std::vector<uint16_t> retries(PendingZones& table) {
        std::vector<uint16_t> ports;
        table.runRetries([&](PendingZone& entry) { ports.push_back(entry.zone.port); });
        return ports;
    }

    ManualClock clock{0xFFFFFF00u};  // the pings cross the counter's wrap
    ZoneSettings settings{.DropLimit = 2, .InitialHighPing = 100};
};

TEST_F(PendingZonesTest, NewEntryHoldsTheAnnouncementAndIsFoundByAddressAndPort) {
    PendingZones table(settings, 10);
    PendingZone* entry = add(table, 5000);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(table.find(kHost, 5000), entry);
    EXPECT_EQ(table.find(kHost, 5001), nullptr);
    EXPECT_EQ(table.find(inet_addr("198.51.100.2"), 5000), nullptr);
    EXPECT_STREQ(entry->zone.name, "Zone 5000");
    EXPECT_STREQ(entry->password, "pw");
    EXPECT_EQ(entry->zone.zoneFlag, 1);  // any non-zero flag is stored as 1
    EXPECT_EQ(entry->zone.highPing, 100u);
    EXPECT_TRUE(entry->zone.awaitingReply);
    EXPECT_EQ(entry->zone.lastPingTick, clock.now());
    EXPECT_EQ(table.count(), 1);
    EXPECT_EQ(table.added, 1u);
}

TEST_F(PendingZonesTest, SilentZoneIsRepingedByTheUsualRuleThenForgotten) {
    PendingZones table(settings, 10);
    add(table, 5000);
    std::vector<uint16_t> pinged;
    int pings = 1;  // the first one went out with the add
    for (int step = 0; step < 20 && table.count() == 1; ++step) {
        clock.advance(100);
        EXPECT_TRUE(retries(table).empty()) << "exactly highPing is not more";
        clock.advance(1);
        pings += static_cast<int>(retries(table).size());
    }
    EXPECT_EQ(table.count(), 0);
    EXPECT_EQ(pings, 1 + 3);  // DropLimit + 1 re-pings
    EXPECT_EQ(table.forgotten, 1u);
}

TEST_F(PendingZonesTest, PassVisitsOnlyDueEntriesOldestFirst) {
    PendingZones table(settings, 10);
    add(table, 1);
    clock.advance(50);
    add(table, 2);
    clock.advance(51);
    EXPECT_EQ(retries(table), (std::vector<uint16_t>{1}));
    clock.advance(50);
    EXPECT_EQ(retries(table), (std::vector<uint16_t>{2}));
    clock.advance(49);
    EXPECT_EQ(retries(table), (std::vector<uint16_t>{}));
    clock.advance(2);
    EXPECT_EQ(retries(table), (std::vector<uint16_t>{1}));
}

TEST_F(PendingZonesTest, AtTheBoundTheZonePingedLongestAgoIsForgottenWithOneLine) {
    PendingZones table(settings, 3);
    StdoutCapture capture;
    for (uint16_t port = 1; port <= 3; ++port) add(table, port);
    clock.advance(101);
    retries(table);  // 1, 2 and 3 re-pinged in that order
    add(table, 4);
    add(table, 5);
    EXPECT_EQ(table.count(), 3);
    EXPECT_EQ(table.find(kHost, 1), nullptr);
    EXPECT_EQ(table.find(kHost, 2), nullptr);
    EXPECT_NE(table.find(kHost, 3), nullptr);
    EXPECT_EQ(table.evicted, 2u);
    clock.advance(60001);
    add(table, 6);
    EXPECT_EQ(capture.take(),
              "---Pending zones full: forgetting the oldest (3 held)\n"
              "---Pending zones full: forgetting the oldest (3 held)\n");
}

TEST_F(PendingZonesTest, TakeAndRemoveIfKeepEveryOtherEntryReachable) {
    PendingZones table(settings, 100);
    std::vector<PendingZone*> entries;
    for (uint16_t port = 0; port < 50; ++port) entries.push_back(add(table, port));
    auto taken = table.take(entries[10]);
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken->zone.port, 10);
    EXPECT_EQ(table.take(entries[10]), nullptr) << "taken once only";
    EXPECT_EQ(table.removeIf([](const PendingZone& entry) { return entry.zone.port % 2 == 1; }),
              25u);
    EXPECT_EQ(table.count(), 24);
    for (uint16_t port = 0; port < 50; ++port)
        EXPECT_EQ(table.find(kHost, port) != nullptr, port % 2 == 0 && port != 10) << port;
    clock.advance(101);
    EXPECT_EQ(retries(table).size(), 24u);  // the re-ping order survived the removals
}

TEST_F(PendingZonesTest, RefreshTakesTheNewTextsAndAnUpdateMakesThePeerZoneAnnounced) {
    PendingZones table(settings, 10);
    PendingZone* entry = table.add(kHost, 7, 1, 0, 0, "Old", "old", "", ZoneSource::Peer);
    clock.advance(30);
    PendingZones::refresh(*entry, 1, 42, "New", "new", "ignored", ZoneSource::Peer);
    EXPECT_STREQ(entry->zone.name, "New");
    EXPECT_STREQ(entry->password, "");
    EXPECT_EQ(entry->zone.source, ZoneSource::Peer);
    PendingZones::refresh(*entry, 0, 43, "Newer", "newer", "secret", ZoneSource::Update);
    EXPECT_STREQ(entry->password, "secret");
    EXPECT_EQ(entry->zone.source, ZoneSource::Update);
    EXPECT_EQ(entry->zone.zoneWord, 43u);
    EXPECT_EQ(entry->zone.lastHeardTick, clock.now());
    EXPECT_EQ(entry->zone.lastPingTick, clock.now() - 30) << "its pings go on as they were";
}

}  // namespace
}  // namespace kelvaro
