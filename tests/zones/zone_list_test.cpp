#include "zones/zone_list.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <functional>

#include <string>
#include <vector>

#include "platform/tick_clock.h"
#include "support/capture_stdout.h"

namespace kelvaro {
namespace {

using testing_support::StdoutCapture;

const uint32_t kHostA = inet_addr("127.0.0.1");
const uint32_t kHostB = inet_addr("127.0.0.2");

class ZoneListTest : public ::testing::Test {
protected:
    // Adds a zone quietly and returns its record.
    ZoneRecord* add(const std::string& name, uint16_t port, uint32_t address = kHostA) {
        StdoutCapture quiet;
        list.addOrUpdate(address, port, 7, 0, 0, name, "desc");
        return list.find(address, port);
    }

    std::vector<std::string> sweep(int calls) {
        std::vector<std::string> names;
        for (int i = 0; i < calls; ++i) {
            ZoneRecord* record = list.nextForSweep();
            names.push_back(record ? record->name : "<none>");
        }
        return names;
    }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (auto* node = list.head(); node; node = node->next) out.push_back(node->element->name);
        return out;
    }

    ManualClock clock{1000};
    ZoneSettings settings{.DropLimit = 10, .InitialHighPing = 300};
    ZoneList list{settings};
};

TEST_F(ZoneListTest, SweepOnAnEmptyListFindsNothingAndKeepsNoCursor) {
    EXPECT_EQ(list.nextForSweep(), nullptr);
    EXPECT_EQ(list.cursor, nullptr);
}

TEST_F(ZoneListTest, SweepOfASingleRecordReturnsItEveryTime) {
    add("Solo", 1);
    EXPECT_EQ(sweep(3), (std::vector<std::string>{"Solo", "Solo", "Solo"}));
}

TEST_F(ZoneListTest, SweepStartsAfterTheHeadAndWrapsRoundRobin) {
    add("A", 1);
    add("B", 2);
    add("C", 3);
    EXPECT_EQ(sweep(5), (std::vector<std::string>{"B", "C", "A", "B", "C"}));
}

TEST_F(ZoneListTest, RemovingTheRecordUnderTheCursorContinuesWithItsSuccessor) {
    add("A", 1);
    ZoneRecord* b = add("B", 2);
    add("C", 3);
    ASSERT_EQ(list.nextForSweep(), b);
    list.remove(b);
    EXPECT_EQ(sweep(3), (std::vector<std::string>{"C", "A", "C"}));
    EXPECT_EQ(list.count(), 2);
}

TEST_F(ZoneListTest, RemovingTheHeadUnderTheCursorRestartsAfterTheNewHead) {
    ZoneRecord* a = add("A", 1);
    add("B", 2);
    add("C", 3);
    ASSERT_EQ(sweep(3), (std::vector<std::string>{"B", "C", "A"}));
    list.remove(a);
    EXPECT_EQ(list.cursor, nullptr);
    EXPECT_EQ(sweep(2), (std::vector<std::string>{"C", "B"}));
}

TEST_F(ZoneListTest, RemovingTheLastRecordLeavesAnEmptySweep) {
    ZoneRecord* solo = add("Solo", 1);
    ASSERT_EQ(list.nextForSweep(), solo);
    list.remove(solo);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.nextForSweep(), nullptr);
}

TEST_F(ZoneListTest, RemovingOtherRecordsOrStrangersKeepsTheCursor) {
    ZoneRecord* a = add("A", 1);
    add("B", 2);
    add("C", 3);
    ASSERT_EQ(sweep(1), (std::vector<std::string>{"B"}));
    ZoneRecord stranger;
    list.remove(&stranger);
    EXPECT_EQ(list.count(), 3);
    list.remove(a);
    EXPECT_EQ(names(), (std::vector<std::string>{"B", "C"}));
    EXPECT_EQ(sweep(2), (std::vector<std::string>{"C", "B"}));
}

TEST_F(ZoneListTest, NewZonesAreAppendedInOrderAndAnnounced) {
    StdoutCapture capture;
    list.addOrUpdate(kHostA, 5000, 12, 5, 0xDEADBEEF, "First Zone", "one");
    list.addOrUpdate(kHostA, 5002, 3, 0, 9, "Second", "two");
    EXPECT_EQ(capture.take(), "Adding : First Zone\nAdding : Second\n");
    EXPECT_EQ(names(), (std::vector<std::string>{"First Zone", "Second"}));

    const ZoneRecord* first = list.find(kHostA, 5000);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->population, 12);
    EXPECT_EQ(first->zoneFlag, 1);  // any non-zero flag is stored as 1
    EXPECT_EQ(first->zoneWord, 0xDEADBEEFu);
    EXPECT_STREQ(first->description, "one");
    EXPECT_FALSE(first->awaitingReply);
    EXPECT_EQ(first->highPing, 300u);
    EXPECT_EQ(first->missedPings, 0u);
    EXPECT_EQ(first->lastPingTick, 0u);
}

TEST_F(ZoneListTest, AddressAndPortTogetherIdentifyAZone) {
    add("One", 5000, kHostA);
    add("Two", 5001, kHostA);
    add("Three", 5000, kHostB);
    EXPECT_EQ(list.count(), 3);
    EXPECT_STREQ(list.find(kHostB, 5000)->name, "Three");
    EXPECT_EQ(list.find(kHostB, 5001), nullptr);
}

TEST_F(ZoneListTest, UpdateChangesFlagWordAndTextsOnly) {
    ZoneRecord* record = add("Old", 5000);
    record->startSweepPing();
    clock.advance(50);
    record->onPingReply(clock.now() - 400, 99);
    const ZoneRecord before = *record;

    StdoutCapture capture;
    list.addOrUpdate(kHostA, 5000, 1234, 1, 77, "New Name", "new description");
    EXPECT_EQ(capture.take(), "");
    EXPECT_EQ(list.count(), 1);
    EXPECT_STREQ(record->name, "New Name");
    EXPECT_STREQ(record->description, "new description");
    EXPECT_EQ(record->zoneFlag, 1);
    EXPECT_EQ(record->zoneWord, 77u);
    EXPECT_EQ(record->population, before.population);
    EXPECT_EQ(record->population, 99);
    EXPECT_EQ(record->port, before.port);
    EXPECT_EQ(record->highPing, before.highPing);
    EXPECT_EQ(record->missedPings, before.missedPings);
    EXPECT_EQ(record->lastPingTick, before.lastPingTick);
}

TEST_F(ZoneListTest, NamesAreTestedOnlyWhenAZoneIsNew) {
    StdoutCapture capture;
    list.addOrUpdate(kHostA, 5000, 0, 0, 0, "bad  name", "");
    EXPECT_EQ(list.count(), 0);
    list.addOrUpdate(kHostA, 5000, 0, 0, 0, "Good", "");
    list.addOrUpdate(kHostA, 5000, 0, 0, 0, " now bad", "");
    EXPECT_EQ(capture.take(), "Adding : Good\n");
    EXPECT_STREQ(list.find(kHostA, 5000)->name, " now bad");
}

TEST_F(ZoneListTest, TextsAreCutAtTheirFirstNulAndTheirArraySize) {
    const std::string longName(40, 'n');
    const std::string longDescription(300, 'd');
    ZoneRecord record;
    record.setText(longName, longDescription);
    EXPECT_EQ(std::string(record.name), std::string(31, 'n'));
    EXPECT_EQ(std::string(record.description), std::string(255, 'd'));

    record.setText(std::string("ab\0cd", 5), std::string("x\0yz", 4));
    EXPECT_STREQ(record.name, "ab");
    EXPECT_EQ(record.name[3], 0);  // the rest of the array is cleared
    EXPECT_STREQ(record.description, "x");
    EXPECT_EQ(record.description[2], 0);
}

TEST_F(ZoneListTest, AnnouncedNameIsPrintedAsTextNeverAsAFormat) {
    StdoutCapture capture;
    list.addOrUpdate(kHostA, 5000, 0, 0, 0, "%s%n%d", "");
    EXPECT_EQ(capture.take(), "Adding : %s%n%d\n");
}

TEST_F(ZoneListTest, ClearAwaitingForgetsEveryOutstandingPing) {
    ZoneRecord* a = add("A", 1);
    ZoneRecord* b = add("B", 2);
    a->startSweepPing();
    b->startSweepPing();
    clock.advance(301);
    ASSERT_TRUE(b->retryDue());
    list.clearAwaiting();
    EXPECT_FALSE(a->awaitingReply);
    EXPECT_FALSE(b->awaitingReply);
    EXPECT_EQ(b->missedPings, 1u);  // kept until the next sweep ping
}

TEST_F(ZoneListTest, EmptyRecordStartsWithTheConfiguredHighPing) {
    ZoneRecord record(123);
    EXPECT_EQ(record.highPing, 123u);
    EXPECT_EQ(record.address, 0u);
    EXPECT_EQ(record.name[0], 0);
    EXPECT_FALSE(record.awaitingReply);
}

// A peer's list never makes a zone look heard from, nor takes away that it
// announced itself here; the zone's own update and ping replies do both.
TEST_F(ZoneListTest, SourceAndLastHeardFollowWhatTheZoneItselfSent) {
    StdoutCapture quiet;
    list.addOrUpdate(kHostA, 100, 1, 0, 0, "Peer First", "", ZoneSource::Peer);
    ZoneRecord* zone = list.find(kHostA, 100);
    ASSERT_NE(zone, nullptr);
    EXPECT_EQ(zone->source, ZoneSource::Peer);
    EXPECT_EQ(zone->lastHeardTick, 1000u);

    struct Step {
        uint32_t tick;
        ZoneSource from;  // an announcement from there, or a ping reply when reply is set
        bool reply;
        ZoneSource source;
        uint32_t lastHeard;
    } steps[] = {
        {2000, ZoneSource::Peer, false, ZoneSource::Peer, 1000},
        {3000, ZoneSource::Update, false, ZoneSource::Update, 3000},
        {4000, ZoneSource::Peer, false, ZoneSource::Update, 3000},
        {5000, ZoneSource::Peer, true, ZoneSource::Update, 5000},
    };
    for (const Step& step : steps) {
        clock.set(step.tick);
        if (step.reply) zone->onPingReply(step.tick, 3);
        else list.addOrUpdate(kHostA, 100, 1, 0, 0, "Peer First", "", step.from);
        EXPECT_EQ(zone->source, step.source) << step.tick;
        EXPECT_EQ(zone->lastHeardTick, step.lastHeard) << step.tick;
    }
}

// Copies of the list (the web documents) are rebuilt only when the revision
// moves, so every change a listing shows must move it and nothing else may.
TEST_F(ZoneListTest, RevisionMovesWithEveryVisibleChangeOnly) {
    StdoutCapture quiet;
    struct Step {
        const char* what;
        bool moves;
        std::function<void()> act;
    };
    const Step steps[] = {
        {"added", true, [&] { list.addOrUpdate(kHostA, 100, 1, 0, 0, "Rev", "", ZoneSource::Update); }},
        {"updated", true, [&] { list.addOrUpdate(kHostA, 100, 1, 0, 0, "Rev", "new", ZoneSource::Update); }},
        {"named badly", false, [&] { list.addOrUpdate(kHostA, 101, 1, 0, 0, " bad", "", ZoneSource::Update); }},
        {"looked up", false, [&] { list.find(kHostA, 100); }},
        {"swept", false, [&] { list.nextForSweep()->startSweepPing(); }},
        {"forgotten", false, [&] { list.clearAwaiting(); }},
        {"ping reply", true, [&] { list.find(kHostA, 100)->onPingReply(0, 9); }},
        {"removed", true, [&] { list.remove(list.find(kHostA, 100)); }},
        {"removed twice", false, [&] { list.remove(list.find(kHostA, 100)); }},
    };
    for (const Step& step : steps) {
        const uint64_t before = list.revision();
        step.act();
        EXPECT_EQ(list.revision() != before, step.moves) << step.what;
    }
}

class ZoneRecordPingTest : public ZoneListTest {
protected:
    ZoneRecordPingTest() { record = add("Pinged", 5000); }
    ZoneRecord* record = nullptr;
};

TEST_F(ZoneRecordPingTest, SweepPingStartsAFreshRound) {
    record->missedPings = 4;
    clock.set(5000);
    record->startSweepPing();
    EXPECT_TRUE(record->awaitingReply);
    EXPECT_EQ(record->missedPings, 0u);
    EXPECT_EQ(record->lastPingTick, 5000u);
}

TEST_F(ZoneRecordPingTest, RetryIsDueOneMillisecondAfterHighPing) {
    record->startSweepPing();
    clock.advance(300);
    EXPECT_FALSE(record->retryDue());
    EXPECT_EQ(record->missedPings, 0u);
    clock.advance(1);
    EXPECT_TRUE(record->retryDue());
    EXPECT_EQ(record->missedPings, 1u);
    EXPECT_EQ(record->lastPingTick, clock.now());
    EXPECT_FALSE(record->retryDue());  // the re-ping restarted the wait
}

TEST_F(ZoneRecordPingTest, RetryTimingSurvivesTheTickWrap) {
    clock.set(0xFFFFFF00u);
    record->startSweepPing();
    clock.set(0x2Cu);  // 300 ms later, across the wrap
    EXPECT_FALSE(record->retryDue());
    clock.advance(1);
    EXPECT_TRUE(record->retryDue());
}

TEST_F(ZoneRecordPingTest, DropIsDueOnlyBeyondTheDropLimit) {
    record->missedPings = 10;
    EXPECT_FALSE(record->dropDue(settings.DropLimit));
    record->missedPings = 11;
    EXPECT_TRUE(record->dropDue(settings.DropLimit));
    // DropLimit=-1 in the file becomes a huge unsigned limit.
    EXPECT_FALSE(record->dropDue(static_cast<uint32_t>(-1)));
}

TEST_F(ZoneRecordPingTest, SilentZoneGetsElevenRepingsBeforeItIsDropped) {
    record->startSweepPing();
    int repings = 0;
    for (int step = 0; step < 100 && !record->dropDue(settings.DropLimit); ++step) {
        clock.advance(301);
        if (record->retryDue()) ++repings;
    }
    EXPECT_TRUE(record->dropDue(settings.DropLimit));
    EXPECT_EQ(repings, 11);
}

TEST_F(ZoneRecordPingTest, RoundTripsUpToOneSecondRaiseHighPing) {
    record->startSweepPing();
    clock.set(10000);
    record->onPingReply(9000, 5);  // exactly 1000 ms
    EXPECT_EQ(record->highPing, 1000u);
    EXPECT_FALSE(record->awaitingReply);
    EXPECT_EQ(record->population, 5);
}

TEST_F(ZoneRecordPingTest, RoundTripsOverOneSecondAreIgnored) {
    record->startSweepPing();
    clock.set(10000);
    record->onPingReply(8999, 6);  // 1001 ms
    EXPECT_EQ(record->highPing, 300u);
    EXPECT_FALSE(record->awaitingReply);
    EXPECT_EQ(record->population, 6);
}

TEST_F(ZoneRecordPingTest, ShortRoundTripNeverLowersHighPingButStillCounts) {
    record->highPing = 700;
    record->startSweepPing();
    clock.set(10000);
    record->onPingReply(9900, 70000);
    EXPECT_EQ(record->highPing, 700u);
    EXPECT_FALSE(record->awaitingReply);
    EXPECT_EQ(record->population, 4464);  // low 16 bits of 70000
}

TEST_F(ZoneRecordPingTest, ReplyKeepsMissedPingsAndIsAppliedEvenUnasked) {
    record->startSweepPing();
    clock.advance(301);
    ASSERT_TRUE(record->retryDue());
    record->onPingReply(clock.now() - 10, 1);
    EXPECT_EQ(record->missedPings, 1u);
    record->onPingReply(clock.now() - 10, 2);  // nothing awaited, still applied
    EXPECT_EQ(record->population, 2);
}

TEST(ZoneNameTest, AcceptsPrintableWordsSeparatedBySingleSpaces) {
    EXPECT_TRUE(isValidZoneName(""));
    EXPECT_TRUE(isValidZoneName("x"));
    EXPECT_TRUE(isValidZoneName("Two Words"));
    EXPECT_TRUE(isValidZoneName("[EU] Zone #1 ~!"));
}

TEST(ZoneNameTest, RefusesBadSpacingAndUnprintableBytes) {
    EXPECT_FALSE(isValidZoneName(" Leading"));
    EXPECT_FALSE(isValidZoneName("Trailing "));
    EXPECT_FALSE(isValidZoneName("Two  Spaces"));
    EXPECT_FALSE(isValidZoneName(" "));
    EXPECT_FALSE(isValidZoneName("Tab\tName"));
    EXPECT_FALSE(isValidZoneName("Caf\xE9"));
    EXPECT_FALSE(isValidZoneName("Del\x7F"));
    EXPECT_FALSE(isValidZoneName(std::string("Nul\0x", 5)));
}

}  // namespace
}  // namespace kelvaro

namespace kelvaro {
namespace {

// A zone dropped for silence stays out of peers' lists for RejoinDelay, but
// its own update is proof of life and adds it at once. Only drops count:
// remove() is not a verdict on the zone.
TEST(ZoneRejoinTest, DroppedZoneIsRefusedFromPeersForTheDelayButItsOwnUpdateAddsIt) {
    ManualClock clock{UINT32_MAX - 500};  // the delay runs across the wrap
    ZoneList list{ZoneSettings{.RejoinDelay = 1000}};
    testing_support::StdoutCapture quiet;
    auto peerOffers = [&](uint16_t port) {
        return list.addOrUpdate(kHostA, port, 1, 0, 0, "Offered", "", ZoneSource::Peer);
    };
    for (uint16_t port : {100, 200, 300}) {
        ASSERT_EQ(list.addOrUpdate(kHostA, port, 1, 0, 0, "Zone", ""), ZoneChange::Added);
    }
    list.drop(list.find(kHostA, 100));
    list.drop(list.find(kHostA, 200));
    list.remove(list.find(kHostA, 300));
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.dropped().size(), 2u);

    EXPECT_EQ(peerOffers(100), ZoneChange::RejoinRefused);
    EXPECT_EQ(peerOffers(300), ZoneChange::Added);  // removed, not dropped
    EXPECT_EQ(list.addOrUpdate(kHostA, 200, 1, 0, 0, "Back", ""), ZoneChange::Added);
    EXPECT_EQ(list.dropped().size(), 1u);  // the update forgot its drop

    clock.advance(1000);
    EXPECT_EQ(peerOffers(100), ZoneChange::RejoinRefused);
    clock.advance(1);
    EXPECT_EQ(peerOffers(100), ZoneChange::Added);
    EXPECT_EQ(list.count(), 3);

    // Off by default: a drop leaves nothing behind.
    ZoneList plain;
    ASSERT_EQ(plain.addOrUpdate(kHostA, 5, 1, 0, 0, "Zone", ""), ZoneChange::Added);
    plain.drop(plain.find(kHostA, 5));
    EXPECT_EQ(plain.dropped().size(), 0u);
    EXPECT_EQ(plain.addOrUpdate(kHostA, 5, 1, 0, 0, "Zone", "", ZoneSource::Peer),
              ZoneChange::Added);
}

}  // namespace
}  // namespace kelvaro

namespace kelvaro {
namespace {

// The change log a store writes from: every change of a kept field, and
// nothing for the same announcement again or for ping state alone.
TEST(ZoneListChanges, LogNamesWhatAStoreMustWriteAndNothingElse) {
    ManualClock clock(5000);
    ZoneList list;
    testing_support::StdoutCapture quiet;
    list.addOrUpdate(kHostA, 10, 7, 0, 0, "Untracked", "d");
    list.trackChanges(true);
    std::vector<ZoneKey> keys;
    list.takeChangedKeys(keys);
    EXPECT_TRUE(keys.empty()) << "nothing before tracking began";
    struct Step {
        const char* what;
        std::function<void()> act;
        bool logged;
    };
    const Step steps[] = {
        {"a new zone", [&] { list.addOrUpdate(kHostB, 20, 1, 0, 9, "Zone", "d"); }, true},
        {"the same announcement", [&] { list.addOrUpdate(kHostB, 20, 5, 0, 9, "Zone", "d"); }, false},
        {"a new description", [&] { list.addOrUpdate(kHostB, 20, 1, 0, 9, "Zone", "e"); }, true},
        {"a new name", [&] { list.addOrUpdate(kHostB, 20, 1, 0, 9, "Zone 2", "e"); }, true},
        {"a new flag", [&] { list.addOrUpdate(kHostB, 20, 1, 1, 9, "Zone 2", "e"); }, true},
        {"a new word", [&] { list.addOrUpdate(kHostB, 20, 1, 1, 8, "Zone 2", "e"); }, true},
        {"a peer's copy", [&] { list.addOrUpdate(kHostB, 20, 1, 1, 8, "Zone 2", "e", ZoneSource::Peer); }, false},
        {"a reply with the population it had", [&] { list.find(kHostB, 20)->onPingReply(5000, 1); }, false},
        {"a reply with another", [&] { list.find(kHostB, 20)->onPingReply(5000, 4); }, true},
        {"a sweep ping", [&] { list.find(kHostB, 20)->startSweepPing(); }, false},
        {"a zone dropped", [&] { list.drop(list.find(kHostA, 10)); }, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        list.takeChangedKeys(keys);
        EXPECT_EQ(!keys.empty(), step.logged);
    }
    list.addOrUpdate(kHostA, 30, 1, 0, 0, "Last", "d");
    list.trackChanges(false);
    list.takeChangedKeys(keys);
    EXPECT_TRUE(keys.empty()) << "tracking off forgets the log";
    EXPECT_EQ(zoneKeyAddress(zoneKey(kHostB, 20)), kHostB);
    EXPECT_EQ(zoneKeyPort(zoneKey(kHostB, 20)), 20);
}

}  // namespace
}  // namespace kelvaro
