#include "service/server_list.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/tick_clock.h"
#include "support/capture_stdout.h"
#include "support/server_list_wire.h"

namespace kelvaro::testing_support {
namespace {

const uint32_t kAlphaAddress = inet_addr("10.1.2.3");
const uint32_t kBravoAddress = inet_addr("192.168.7.9");

ListedZone alpha() { return {kAlphaAddress, 4000, 12, 1, 0xA1B2C3D4, "Alpha", "first zone"}; }
ListedZone bravo() { return {kBravoAddress, 65535, 65535, 0, 7, "Bravo Two", ""}; }

// Merges a copy of exactly the first length bytes; returns how many entries
// were read, the console output going to printed.
int32_t merge(const Bytes& list, size_t length, ZoneList& zones, std::string* printed = nullptr) {
    ExactBytes exact(list, length);
    StdoutCapture capture;
    const int32_t merged = mergeServerList(exact.data(), exact.size(), zones);
    const std::string output = capture.take();
    if (printed != nullptr) *printed = output;
    return merged;
}

std::string nameOf(const ZoneRecord* zone) { return zone != nullptr ? zone->name : "<none>"; }
std::string descriptionOf(const ZoneRecord* zone) {
    return zone != nullptr ? zone->description : "<none>";
}

TEST(ListRequestTest, MinimumIsReadLittleEndianAndMissingBytesCountAsZero) {
    const Bytes request = {1, 0x10, 0x20, 0x30, 0x40};
    const uint32_t expected[] = {0, 0x10, 0x2010, 0x302010, 0x40302010};
    for (size_t length = 1; length <= request.size(); ++length) {
        ExactBytes exact(request, length);
        EXPECT_EQ(readListMinimum(exact.data(), exact.size()), expected[length - 1]) << length;
    }
    // Bytes after the five are not part of the minimum.
    ExactBytes longer(Bytes{1, 1, 0, 0, 0, 0xFF, 0xFF});
    EXPECT_EQ(readListMinimum(longer.data(), longer.size()), 1u);
}

TEST(ServerListMergeTest, EveryFieldOfEveryEntryIsMergedInListOrder) {
    ZoneList zones;
    std::string printed;
    const Bytes list = serverList({alpha(), bravo()});
    EXPECT_EQ(merge(list, list.size(), zones, &printed), 2);
    EXPECT_EQ(printed, "Adding : Alpha\nAdding : Bravo Two\n");
    ASSERT_EQ(zones.count(), 2);
    const ZoneRecord& first = *zones.head()->element;
    EXPECT_EQ(first.address, kAlphaAddress);
    EXPECT_EQ(first.port, 4000);
    EXPECT_EQ(first.population, 12);
    EXPECT_EQ(first.zoneFlag, 1);
    EXPECT_EQ(first.zoneWord, 0xA1B2C3D4u);
    EXPECT_STREQ(first.name, "Alpha");
    EXPECT_STREQ(first.description, "first zone");
    const ZoneRecord& second = *zones.head()->next->element;
    EXPECT_EQ(second.address, kBravoAddress);
    EXPECT_EQ(second.port, 65535);
    EXPECT_EQ(second.population, 65535);
    EXPECT_EQ(second.zoneWord, 7u);
    EXPECT_STREQ(second.description, "");
}

TEST(ZoneEntryReaderTest, ReadsEveryEntryAsListedWithoutJudgingIt) {
    // A name the zone list would refuse is still read: the reader only
    // unpacks, and the merge decides.
    const ListedZone odd{kBravoAddress, 7, 3, 1, 0x01020304, " odd  name", "x"};
    const Bytes list = serverList({alpha(), odd});
    ExactBytes exact(list);
    uint32_t position = 1;
    ZoneEntry entry;
    ASSERT_TRUE(readZoneEntry(exact.data(), exact.size(), position, entry));
    EXPECT_EQ(entry.address, kAlphaAddress);
    EXPECT_EQ(entry.port, 4000);
    EXPECT_EQ(entry.population, 12);
    EXPECT_EQ(entry.zoneFlag, 1);
    EXPECT_EQ(entry.zoneWord, 0xA1B2C3D4u);
    EXPECT_EQ(entry.name, "Alpha");
    EXPECT_EQ(entry.description, "first zone");
    EXPECT_EQ(position, 1 + 79 + alpha().description.size());
    ASSERT_TRUE(readZoneEntry(exact.data(), exact.size(), position, entry));
    EXPECT_EQ(entry.name, odd.name);
    EXPECT_EQ(entry.zoneWord, 0x01020304u);
    EXPECT_EQ(position, list.size());

    // At the end, and from positions past it, nothing is read or changed.
    for (const uint32_t from : {exact.size(), exact.size() + 1, 0xFFFFFFFFu}) {
        uint32_t unchanged = from;
        EXPECT_FALSE(readZoneEntry(exact.data(), exact.size(), unchanged, entry)) << from;
        EXPECT_EQ(unchanged, from);
        EXPECT_EQ(entry.name, odd.name);
    }
}

TEST(ServerListMergeTest, EveryTruncationMergesTheWholeEntriesBeforeTheCut) {
    const Bytes list = serverList({alpha(), bravo(), alpha()});
    const size_t firstEnd = 1 + 79 + alpha().description.size();
    const size_t secondEnd = firstEnd + 79;
    for (size_t length = 0; length <= list.size(); ++length) {
        ZoneList zones;
        const int32_t expected = length >= secondEnd ? 2 : length >= firstEnd ? 1 : 0;
        // The third entry repeats the first: it counts as read once whole.
        const int32_t read = length == list.size() ? 3 : expected;
        EXPECT_EQ(merge(list, length, zones), read) << "length " << length;
        EXPECT_EQ(zones.count(), expected) << "length " << length;
    }
}

TEST(ServerListMergeTest, JunkAfterTheLastWholeEntryIsIgnored) {
    for (const size_t junk : {size_t{1}, size_t{40}, size_t{78}}) {
        Bytes list = serverList({bravo()});
        list.insert(list.end(), junk, 'j');
        ZoneList zones;
        EXPECT_EQ(merge(list, list.size(), zones), 1) << junk;
        EXPECT_EQ(zones.count(), 1);
    }
}

TEST(ServerListMergeTest, FinalEntryWithoutItsNulIsDropped) {
    Bytes list = serverList({alpha(), {kBravoAddress, 1, 0, 0, 0, "Cut", "no end in sight"}});
    list.pop_back();  // the description's NUL
    ZoneList zones;
    EXPECT_EQ(merge(list, list.size(), zones), 1);
    EXPECT_EQ(zones.find(kBravoAddress, 1), nullptr);
}

TEST(ServerListMergeTest, LongNamesAndDescriptionsAreCutAndTheNextEntryStillFollows) {
    const std::string fullName(32, 'N');  // fills the field, no NUL
    const std::string longDescription(300, 'd');
    ListedZone longOne{kAlphaAddress, 10, 1, 0, 0, fullName, longDescription};
    const Bytes list = serverList({longOne, bravo()});
    ZoneList zones;
    EXPECT_EQ(merge(list, list.size(), zones), 2);
    const ZoneRecord* merged = zones.find(kAlphaAddress, 10);
    EXPECT_EQ(nameOf(merged), std::string(31, 'N'));
    EXPECT_EQ(descriptionOf(merged), std::string(255, 'd'));
    EXPECT_NE(zones.find(kBravoAddress, 65535), nullptr);

    ListedZone exact{kAlphaAddress, 11, 1, 0, 0, std::string(31, 'x'), std::string(255, 'y')};
    ZoneList others;
    EXPECT_EQ(merge(serverList({exact}), serverList({exact}).size(), others), 1);
    EXPECT_EQ(nameOf(others.find(kAlphaAddress, 11)), exact.name);
    EXPECT_EQ(descriptionOf(others.find(kAlphaAddress, 11)), exact.description);
}

TEST(ServerListMergeTest, KnownZoneKeepsPopulationAndPingStateButTakesTheRest) {
    ZoneList zones;
    {
        StdoutCapture quiet;
        zones.addOrUpdate(kAlphaAddress, 4000, 99, 0, 1, "Old Name", "old");
    }
    ZoneRecord* known = zones.find(kAlphaAddress, 4000);
    ASSERT_NE(known, nullptr);
    known->startSweepPing();
    known->missedPings = 2;

    std::string printed;
    const Bytes list = serverList({alpha()});
    EXPECT_EQ(merge(list, list.size(), zones, &printed), 1);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(zones.count(), 1);
    EXPECT_EQ(known->population, 99);
    EXPECT_TRUE(known->awaitingReply);
    EXPECT_EQ(known->missedPings, 2u);
    EXPECT_EQ(known->zoneFlag, 1);
    EXPECT_EQ(known->zoneWord, 0xA1B2C3D4u);
    EXPECT_STREQ(known->name, "Alpha");
    EXPECT_STREQ(known->description, "first zone");
}

TEST(ServerListMergeTest, NewEntryWithAnInvalidNameIsSkippedAndTheRestMerged) {
    ListedZone spaced{kAlphaAddress, 1, 0, 0, 0, "Bad  Name", "x"};
    const Bytes list = serverList({spaced, bravo()});
    ZoneList zones;
    std::string printed;
    merge(list, list.size(), zones, &printed);
    EXPECT_EQ(printed, "Adding : Bravo Two\n");
    EXPECT_EQ(zones.find(kAlphaAddress, 1), nullptr);
    EXPECT_NE(zones.find(kBravoAddress, 65535), nullptr);
}

TEST(ServerListMergeTest, BytesAfterTheNameNulAreNotPartOfTheName) {
    Bytes list = serverList({alpha()});
    list[1 + 14 + 6] = 'Z';  // after "Alpha" and its NUL, inside the name field
    ZoneList zones;
    merge(list, list.size(), zones);
    EXPECT_EQ(nameOf(zones.find(kAlphaAddress, 4000)), "Alpha");
}

TEST(ServerListEntryTest, EntryIsWrittenFieldByFieldAndRefusedWholeAtTheLimit) {
    ZoneRecord zone;
    zone.address = kAlphaAddress;
    zone.port = 4000;
    zone.population = 12;
    zone.zoneFlag = 1;
    zone.zoneWord = 0xA1B2C3D4;
    zone.setText("Alpha", "first zone");
    ByteBuffer list;
    const uint8_t type = 1;
    list.append(&type, 1);
    ASSERT_TRUE(appendZoneEntry(list, zone));
    const Bytes expected = serverList({alpha()});
    EXPECT_EQ(Bytes(list.data(), list.data() + list.size()), expected);

    ByteBuffer tight;
    tight.setLimit(static_cast<uint32_t>(expected.size() - 1));  // one byte short for type + entry
    tight.append(&type, 1);
    EXPECT_FALSE(appendZoneEntry(tight, zone));
    EXPECT_EQ(tight.size(), 1u);
}

TEST(ServerListCapTest, MergedZonesCountTowardMaxZonesAndAreSkippedOnceItIsReached) {
    ManualClock clock{1000};
    ZoneList zones{ZoneSettings{.MaxZones = 3}};
    {
        StdoutCapture quiet;
        zones.addOrUpdate(inet_addr("127.0.0.1"), 1, 0, 0, 0, "Own", "");
    }
    std::vector<ListedZone> listed;
    for (uint16_t port = 10; port < 14; ++port)
        listed.push_back({inet_addr("127.0.0.2"), port, 0, 0, 0, "Peer" + std::to_string(port), ""});
    // A listed zone already known is updated whatever the cap.
    listed.push_back({inet_addr("127.0.0.1"), 1, 0, 0, 0, "Own renamed", ""});
    const Bytes list = serverList(listed);
    std::string printed;
    EXPECT_EQ(merge(list, list.size(), zones, &printed), 5);
    EXPECT_EQ(printed,
              "Adding : Peer10\nAdding : Peer11\n"
              "---Zone limit reached: 127.0.0.2\n---Zone limit reached: 127.0.0.2\n");
    EXPECT_EQ(zones.count(), 3);
    EXPECT_EQ(zones.find(inet_addr("127.0.0.2"), 12), nullptr);
    EXPECT_STREQ(zones.find(inet_addr("127.0.0.1"), 1)->name, "Own renamed");
}

}  // namespace
}  // namespace kelvaro::testing_support
