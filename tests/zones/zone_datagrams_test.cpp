#include "zones/zone_datagrams.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "support/capture_stdout.h"
#include "support/udp_wait.h"
#include "util/bytes.h"
#include "zones/zone_list.h"
#include "zones/zone_passwords.h"

namespace kelvaro {
namespace {

using testing_support::pollWithin;
using testing_support::StdoutCapture;

const uint32_t kLoopback = inet_addr("127.0.0.1");
const uint32_t kZoneHost = inet_addr("127.0.0.5");

struct UpdateFields {
    uint16_t port = 5000;
    uint16_t population = 10;
    uint16_t zoneFlag = 0;
    uint32_t zoneWord = 0x01020304;
    std::string name = "Zone";
    std::string password = "pw";
    std::string description = "desc";
};

// Lays the fields out by hand, independently of the code under test.
std::vector<uint8_t> makeUpdate(const UpdateFields& f) {
    std::vector<uint8_t> bytes(94 + f.description.size() + 1, 0);
    writeU16(bytes.data(), 4, f.port);
    writeU16(bytes.data(), 6, f.population);
    writeU16(bytes.data(), 8, f.zoneFlag);
    writeU32(bytes.data(), 10, f.zoneWord);
    copyBytes(f.name.data(), bytes.data() + 14, f.name.size() < 32 ? f.name.size() : 32);
    copyBytes(f.password.data(), bytes.data() + 46,
              f.password.size() < 16 ? f.password.size() : 16);
    copyBytes(f.description.data(), bytes.data() + 94, f.description.size());
    return bytes;
}

Datagram datagramFrom(std::vector<uint8_t> bytes, uint32_t address = kZoneHost,
                      uint16_t port = 40000) {
    Datagram datagram;
    datagram.source = NetAddress(address, port);
    datagram.bytes = std::move(bytes);
    return datagram;
}

bool valid(const std::vector<uint8_t>& bytes) {
    return isValidZoneUpdate(bytes.data(), bytes.size());
}

TEST(ZoneUpdateValidationTest, ShortestUpdateIsValidAndEveryTruncationIsNot) {
    UpdateFields fields;
    fields.description = "";
    const auto update = makeUpdate(fields);
    ASSERT_EQ(update.size(), kMinZoneUpdateLength);
    EXPECT_TRUE(valid(update));
    for (size_t length = 0; length < update.size(); ++length)
        EXPECT_FALSE(isValidZoneUpdate(update.data(), length)) << length;
    EXPECT_FALSE(isValidZoneUpdate(nullptr, 0));
}

TEST(ZoneUpdateValidationTest, HeaderAndTerminatorsMustBeZero) {
    const auto good = makeUpdate({});
    ASSERT_TRUE(valid(good));
    for (size_t offset :
         {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{45}, size_t{61}, good.size() - 1}) {
        auto bad = good;
        bad[offset] = 'x';
        EXPECT_FALSE(valid(bad)) << offset;
    }
}

TEST(ZoneUpdateValidationTest, FlagMustBeZeroOrOne) {
    for (int flag : {0, 1, 2, 0x100, 0xFFFF}) {
        UpdateFields fields;
        fields.zoneFlag = static_cast<uint16_t>(flag);
        EXPECT_EQ(valid(makeUpdate(fields)), flag <= 1) << flag;
    }
}

TEST(ZoneUpdateValidationTest, EveryReservedByteMustBeZero) {
    const auto good = makeUpdate({});
    for (size_t offset = 62; offset < 94; ++offset) {
        auto bad = good;
        bad[offset] = 1;
        EXPECT_FALSE(valid(bad)) << offset;
    }
}

TEST(ZoneUpdateValidationTest, NameMustFitAndPassTheNameRule) {
    UpdateFields fields;
    fields.name = std::string(31, 'n');
    EXPECT_TRUE(valid(makeUpdate(fields)));
    fields.name = std::string(32, 'n');
    EXPECT_FALSE(valid(makeUpdate(fields)));
    fields.name = "Trailing ";
    EXPECT_FALSE(valid(makeUpdate(fields)));
    fields.name = "Tab\tbed";
    EXPECT_FALSE(valid(makeUpdate(fields)));
    fields.name = "";
    EXPECT_TRUE(valid(makeUpdate(fields)));
    fields.password = std::string(15, 'p');
    EXPECT_TRUE(valid(makeUpdate(fields)));
    fields.password = std::string(16, 'p');
    EXPECT_FALSE(valid(makeUpdate(fields)));
}

TEST(ZoneUpdateValidationTest, BytesAfterTheDescriptionNulAreIgnored) {
    UpdateFields fields;
    fields.description = std::string("abc\0junk\x01", 9);
    EXPECT_TRUE(valid(makeUpdate(fields)));
}

class ZoneDatagramTest : public ::testing::Test {
protected:
    ZoneDatagramTest() { pingEndpoint.open(0); }

    UpdateOutcome lastOutcome = UpdateOutcome::Limit;  // one no handler returns here
    bool lastMatched = false;

    std::string handleUpdate(const Datagram& datagram) {
        StdoutCapture capture;
        lastOutcome = handleUpdateDatagram(datagram, passwords, zones, pingEndpoint);
        return capture.take();
    }

    std::string handlePing(const Datagram& datagram) {
        StdoutCapture capture;
        lastMatched = handlePingDatagram(datagram, zones);
        return capture.take();
    }

    // A zone on 127.0.0.1 that answers pings on announced + 1, with a sweep
    // ping outstanding.
    ZoneRecord* addAwaitingZone(uint16_t announced) {
        {
            StdoutCapture quiet;
            zones.addOrUpdate(kLoopback, announced, 1, 0, 0, "Live", "");
        }
        ZoneRecord* record = zones.find(kLoopback, announced);
        record->startSweepPing();
        return record;
    }

    ManualClock clock{50000};
    ZonePasswords passwords;
    ZoneList zones{ZoneSettings{.InitialHighPing = 300}};
    UdpEndpoint pingEndpoint;
};

TEST_F(ZoneDatagramTest, ValidUpdateAddsTheZoneFromItsFields) {
    UpdateFields fields;
    fields.zoneFlag = 1;
    fields.description = "";
    EXPECT_EQ(handleUpdate(datagramFrom(makeUpdate(fields))), "Adding : Zone\n---Update : Zone\n");
    EXPECT_EQ(lastOutcome, UpdateOutcome::Accepted);
    const ZoneRecord* record = zones.find(kZoneHost, 5000);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->population, 10);
    EXPECT_EQ(record->zoneFlag, 1);
    EXPECT_EQ(record->zoneWord, 0x01020304u);
    EXPECT_STREQ(record->name, "Zone");
    EXPECT_STREQ(record->description, "");
    EXPECT_EQ(zones.find(kZoneHost, 40000), nullptr);  // the source port is not the zone's
}

TEST_F(ZoneDatagramTest, DescriptionEndsAtItsFirstNulAndKeeps255Characters) {
    UpdateFields fields;
    fields.description = std::string("abc\0junk", 8);
    handleUpdate(datagramFrom(makeUpdate(fields)));
    EXPECT_STREQ(zones.find(kZoneHost, 5000)->description, "abc");

    fields.port = 5002;
    fields.description = std::string(425, 'd');
    const auto longest = makeUpdate(fields);
    ASSERT_EQ(longest.size(), static_cast<size_t>(kMaxDatagram));
    handleUpdate(datagramFrom(longest));
    EXPECT_EQ(std::string(zones.find(kZoneHost, 5002)->description), std::string(255, 'd'));
}

TEST_F(ZoneDatagramTest, RepeatedUpdateRefreshesButKeepsThePopulation) {
    handleUpdate(datagramFrom(makeUpdate({})));
    UpdateFields fields;
    fields.population = 999;
    fields.description = "changed";
    EXPECT_EQ(handleUpdate(datagramFrom(makeUpdate(fields))), "---Update : Zone\n");
    EXPECT_EQ(zones.count(), 1);
    EXPECT_EQ(zones.find(kZoneHost, 5000)->population, 10);
    EXPECT_STREQ(zones.find(kZoneHost, 5000)->description, "changed");
}

TEST_F(ZoneDatagramTest, WrongPasswordIsReportedAndChangesNothing) {
    handleUpdate(datagramFrom(makeUpdate({})));
    UpdateFields fields;
    fields.password = "guess";
    fields.description = "hijacked";
    EXPECT_EQ(handleUpdate(datagramFrom(makeUpdate(fields))),
              "---Bad password from 127.0.0.5: Zone\n");
    EXPECT_EQ(lastOutcome, UpdateOutcome::BadPassword);
    EXPECT_STREQ(zones.find(kZoneHost, 5000)->description, "desc");

    fields.port = 6000;  // a new port under the same name is refused as well
    handleUpdate(datagramFrom(makeUpdate(fields)));
    EXPECT_EQ(zones.count(), 1);
}

TEST_F(ZoneDatagramTest, MalformedUpdatesGetTheInvalidLineBeforeAnyPasswordCheck) {
    const std::string invalid = "---Invalid message on direct update port from 127.0.0.5\n";
    UpdateFields fields;
    fields.name = "Trailing ";
    EXPECT_EQ(handleUpdate(datagramFrom(makeUpdate(fields))), invalid);
    EXPECT_EQ(passwords.count(), 0);

    auto unterminated = makeUpdate({});
    unterminated.back() = 'x';
    EXPECT_EQ(handleUpdate(datagramFrom(unterminated)), invalid);
    EXPECT_EQ(handleUpdate(datagramFrom(std::vector<uint8_t>(94, 0))), invalid);
    EXPECT_EQ(handleUpdate(datagramFrom(std::vector<uint8_t>(5, 0))), invalid);
    EXPECT_EQ(handleUpdate(datagramFrom(std::vector<uint8_t>(1, 0))), invalid);
    EXPECT_EQ(lastOutcome, UpdateOutcome::Malformed);
    EXPECT_EQ(zones.count(), 0);
}

// ---- Caps against registration floods --------------------------------------

TEST(ZoneCapTest, EachCapRefusesOnlyWhatIsNewAndLeavesTheListAlone) {
    ManualClock clock{50000};
    const uint32_t kOther = inet_addr("127.0.0.6");
    struct Step {
        uint32_t address;
        uint16_t port;
        const char* name;
        const char* password;
        UpdateOutcome outcome;
        const char* printed;
    };
    struct Case {
        const char* title;
        ZoneSettings settings;
        std::vector<Step> steps;
        int32_t zonesAfter;
        int32_t recordsAfter;
    };
    const Case cases[] = {
        {"no caps by default",
         {},
         {{kZoneHost, 1, "A", "p", UpdateOutcome::Accepted, "Adding : A\n---Update : A\n"},
          {kZoneHost, 2, "B", "p", UpdateOutcome::Accepted, "Adding : B\n---Update : B\n"},
          {kZoneHost, 3, "C", "p", UpdateOutcome::Accepted, "Adding : C\n---Update : C\n"}},
         3, 3},
        {"MaxZones",
         {.MaxZones = 2},
         {{kZoneHost, 1, "A", "p", UpdateOutcome::Accepted, "Adding : A\n---Update : A\n"},
          {kOther, 2, "B", "p", UpdateOutcome::Accepted, "Adding : B\n---Update : B\n"},
          // A third zone from anywhere is refused, before its name is registered.
          {kOther, 3, "C", "p", UpdateOutcome::Limit, "---Zone limit reached: 127.0.0.6\n"},
          // Known zones keep being updated, with a new name too.
          {kZoneHost, 1, "A2", "p", UpdateOutcome::Accepted, "---Update : A2\n"},
          // A refused password is still reported as such.
          {kZoneHost, 1, "B", "wrong", UpdateOutcome::BadPassword,
           "---Bad password from 127.0.0.5: B\n"}},
         2, 3},
        {"MaxZonesPerAddress",
         {.MaxZonesPerAddress = 1},
         {{kZoneHost, 1, "A", "p", UpdateOutcome::Accepted, "Adding : A\n---Update : A\n"},
          {kZoneHost, 2, "B", "p", UpdateOutcome::Limit, "---Zone limit reached: 127.0.0.5\n"},
          {kOther, 2, "B", "p", UpdateOutcome::Accepted, "Adding : B\n---Update : B\n"},
          {kZoneHost, 1, "A", "p", UpdateOutcome::Accepted, "---Update : A\n"}},
         2, 2},
        {"MaxPasswordRecords",
         {.MaxPasswordRecords = 1},
         {{kZoneHost, 1, "Alpha", "p", UpdateOutcome::Accepted, "Adding : Alpha\n---Update : Alpha\n"},
          {kZoneHost, 2, "Beta", "p", UpdateOutcome::Limit,
           "---Password limit reached: 127.0.0.5: Beta\n"},
          // A name the known record captures needs no new record.
          {kOther, 3, "ALPHA", "p", UpdateOutcome::Accepted, "Adding : ALPHA\n---Update : ALPHA\n"},
          {kZoneHost, 1, "Alpha", "p", UpdateOutcome::Accepted, "---Update : Alpha\n"}},
         2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        ZonePasswords passwords{c.settings};
        ZoneList zones{c.settings};
        UdpEndpoint unopened;  // no count query is sent here
        for (const Step& step : c.steps) {
            SCOPED_TRACE(step.name);
            UpdateFields fields;
            fields.port = step.port;
            fields.name = step.name;
            fields.password = step.password;
            StdoutCapture capture;
            const UpdateOutcome outcome =
                handleUpdateDatagram(datagramFrom(makeUpdate(fields), step.address), passwords, zones, unopened);
            EXPECT_EQ(capture.take(), step.printed);
            EXPECT_EQ(outcome, step.outcome);
        }
        EXPECT_EQ(zones.count(), c.zonesAfter);
        EXPECT_EQ(passwords.count(), c.recordsAfter);
    }
}

TEST(ZoneCapTest, OutcomesOfOtherDatagramsAndAFreedPlacePerAddress) {
    ManualClock clock{50000};
    ZonePasswords passwords;
    ZoneList zones{ZoneSettings{.MaxZonesPerAddress = 1}};
    UdpEndpoint pingEndpoint;
    pingEndpoint.open(0);
    StdoutCapture quiet;
    EXPECT_EQ(handleUpdateDatagram(datagramFrom({1, 2, 3, 4}), passwords, zones, pingEndpoint),
              UpdateOutcome::CountQuery);
    EXPECT_EQ(handleUpdateDatagram(datagramFrom({1, 2, 3}), passwords, zones, pingEndpoint),
              UpdateOutcome::Malformed);
    UpdateFields first;
    ASSERT_EQ(handleUpdateDatagram(datagramFrom(makeUpdate(first)), passwords, zones, pingEndpoint),
              UpdateOutcome::Accepted);
    UpdateFields second;
    second.port = 5001;
    EXPECT_EQ(handleUpdateDatagram(datagramFrom(makeUpdate(second)), passwords, zones, pingEndpoint),
              UpdateOutcome::Limit);
    // Once the address's zone is dropped, its place is free again.
    zones.remove(zones.find(kZoneHost, 5000));
    EXPECT_EQ(handleUpdateDatagram(datagramFrom(makeUpdate(second)), passwords, zones, pingEndpoint),
              UpdateOutcome::Accepted);
    EXPECT_NE(zones.find(kZoneHost, 5001), nullptr);
}

TEST_F(ZoneDatagramTest, CountQueryIsAnsweredFromThePingPort) {
    UdpEndpoint updateEndpoint;
    UdpEndpoint querier;
    ASSERT_GE(updateEndpoint.open(0), 0);
    ASSERT_GE(querier.open(0), 0);
    handleUpdate(datagramFrom(makeUpdate({})));
    UpdateFields second;
    second.port = 5002;
    handleUpdate(datagramFrom(makeUpdate(second)));
    zones.find(kZoneHost, 5000)->startSweepPing();  // awaiting zones count too

    // A 5-byte datagram first: it must get no answer, so the first thing the
    // querier receives is the count reply.
    const uint8_t five[5] = {1, 2, 3, 4, 5};
    const uint8_t query[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    querier.setDestination(kLoopback, updateEndpoint.localPort());
    for (const auto& [bytes, length] :
         {std::pair{five, sizeof five}, std::pair{query, sizeof query}}) {
        ASSERT_TRUE(querier.send(bytes, length));
        auto received = pollWithin(updateEndpoint);
        ASSERT_NE(received, nullptr);
        handleUpdate(*received);
    }

    auto reply = pollWithin(querier);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->source.hostPort(), pingEndpoint.localPort());
    EXPECT_NE(reply->source.hostPort(), updateEndpoint.localPort());
    EXPECT_EQ(reply->bytes, (std::vector<uint8_t>{2, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD}));
    EXPECT_EQ(updateEndpoint.poll(), nullptr);
}

TEST_F(ZoneDatagramTest, CountQueryOnAnEmptyListReportsZero) {
    UdpEndpoint querier;
    ASSERT_GE(querier.open(0), 0);
    EXPECT_EQ(handleUpdate(datagramFrom({9, 8, 7, 6}, kLoopback, querier.localPort())), "");
    EXPECT_EQ(lastOutcome, UpdateOutcome::CountQuery);
    auto reply = pollWithin(querier);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->bytes, (std::vector<uint8_t>{0, 0, 0, 0, 9, 8, 7, 6}));
}

TEST_F(ZoneDatagramTest, PingGoesToPortPlusOneCarryingTheTick) {
    UdpEndpoint zone;
    ASSERT_GE(zone.open(0), 0);
    clock.set(0x12345678);
    sendPing(pingEndpoint, kLoopback, static_cast<uint16_t>(zone.localPort() - 1));
    auto ping = pollWithin(zone);
    ASSERT_NE(ping, nullptr);
    EXPECT_EQ(ping->source.hostPort(), pingEndpoint.localPort());
    EXPECT_EQ(ping->bytes, (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
}

TEST_F(ZoneDatagramTest, PingReplyOverLoopbackUpdatesTheZone) {
    UdpEndpoint zone;
    ASSERT_GE(zone.open(0), 0);
    const uint16_t announced = static_cast<uint16_t>(zone.localPort() - 1);
    ZoneRecord* record = addAwaitingZone(announced);
    sendPing(pingEndpoint, kLoopback, announced);
    auto ping = pollWithin(zone);
    ASSERT_NE(ping, nullptr);

    uint8_t reply[8];
    writeU32(reply, 0, 33);
    copyBytes(ping->data(), reply + 4, 4);
    zone.setDestination(kLoopback, pingEndpoint.localPort());
    ASSERT_TRUE(zone.send(reply, sizeof reply));
    auto received = pollWithin(pingEndpoint);
    ASSERT_NE(received, nullptr);
    clock.advance(450);
    EXPECT_EQ(handlePing(*received), "");
    EXPECT_FALSE(record->awaitingReply);
    EXPECT_EQ(record->population, 33);
    EXPECT_EQ(record->highPing, 450u);
}

TEST_F(ZoneDatagramTest, PingReplyMatchesOnlyFromTheAnnouncedPortPlusOne) {
    {
        StdoutCapture quiet;
        zones.addOrUpdate(kZoneHost, 5000, 1, 0, 0, "Zone", "");
    }
    ZoneRecord* record = zones.find(kZoneHost, 5000);
    std::vector<uint8_t> reply(8, 0);
    writeU32(reply.data(), 0, 70000);
    writeU32(reply.data(), 4, clock.now());

    EXPECT_EQ(handlePing(datagramFrom(reply, kZoneHost, 5000)), "");
    EXPECT_FALSE(lastMatched);
    EXPECT_EQ(handlePing(datagramFrom(reply, kLoopback, 5001)), "");
    EXPECT_FALSE(lastMatched);
    EXPECT_EQ(record->population, 1);
    EXPECT_EQ(handlePing(datagramFrom(reply, kZoneHost, 5001)), "");
    EXPECT_TRUE(lastMatched);
    EXPECT_EQ(record->population, 4464);
}

TEST_F(ZoneDatagramTest, PingReplyPortArithmeticWrapsInSixteenBits) {
    {
        StdoutCapture quiet;
        zones.addOrUpdate(kZoneHost, 0xFFFF, 1, 0, 0, "Edge", "");
    }
    std::vector<uint8_t> reply(8, 0);
    writeU32(reply.data(), 0, 77);
    EXPECT_EQ(handlePing(datagramFrom(reply, kZoneHost, 0)), "");
    EXPECT_EQ(zones.find(kZoneHost, 0xFFFF)->population, 77);
}

TEST_F(ZoneDatagramTest, PingPortTakesOnlyEightByteReplies) {
    {
        StdoutCapture quiet;
        zones.addOrUpdate(kZoneHost, 5000, 1, 0, 0, "Zone", "");
    }
    const std::string invalid = "---Invalid message on ping sweep port\n";
    for (size_t length : {size_t{1}, size_t{4}, size_t{7}, size_t{9}, size_t{520}}) {
        std::vector<uint8_t> bytes(length, 0xFF);
        EXPECT_EQ(handlePing(datagramFrom(bytes, kZoneHost, 5001)), invalid) << length;
    }
    EXPECT_EQ(zones.find(kZoneHost, 5000)->population, 1);
}

TEST_F(ZoneDatagramTest, AnsweredPingReachesThePingPortAndSetsThePopulation) {
    UdpEndpoint zone;
    ASSERT_GE(zone.open(0), 0);
    const uint16_t announced = static_cast<uint16_t>(zone.localPort() - 1);
    ZoneRecord* record = addAwaitingZone(announced);
    clock.set(0x01020304);
    sendPing(pingEndpoint, kLoopback, announced);
    auto ping = pollWithin(zone);
    ASSERT_NE(ping, nullptr);
    ASSERT_TRUE(answerPing(zone, *ping, 70000));

    auto reply = pollWithin(pingEndpoint);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->bytes, (std::vector<uint8_t>{0x70, 0x11, 0x01, 0, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(handlePing(*reply), "");
    EXPECT_FALSE(record->awaitingReply);
    EXPECT_EQ(record->population, 70000 & 0xFFFF);
}

TEST_F(ZoneDatagramTest, OnlyFourByteDatagramsAreAnsweredAsPings) {
    UdpEndpoint zone;
    ASSERT_GE(zone.open(0), 0);
    for (size_t length : {size_t{3}, size_t{5}, size_t{8}}) {
        const Datagram notPing =
            datagramFrom(std::vector<uint8_t>(length, 7), kLoopback, pingEndpoint.localPort());
        EXPECT_FALSE(answerPing(zone, notPing, 5)) << length;
    }
    EXPECT_EQ(pollWithin(pingEndpoint, 20), nullptr);
}

TEST(CountReplyTest, CountIsTakenOnlyFromAnEightByteReplyWithOurEcho) {
    const std::vector<uint8_t> reply = {3, 1, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD};
    uint32_t count = 99;
    EXPECT_TRUE(readCountReply(reply.data(), reply.size(), 0xDDCCBBAA, count));
    EXPECT_EQ(count, 259u);

    count = 99;
    EXPECT_FALSE(readCountReply(reply.data(), reply.size(), 0xDDCCBBAB, count));
    EXPECT_FALSE(readCountReply(reply.data(), reply.size() - 1, 0xDDCCBBAA, count));
    std::vector<uint8_t> longer = reply;
    longer.push_back(0);
    EXPECT_FALSE(readCountReply(longer.data(), longer.size(), 0xDDCCBBAA, count));
    EXPECT_EQ(count, 99u);
}

TEST(ZoneAnnouncementTest, EncodedUpdateFollowsTheWireLayoutAndIsValid) {
    UpdateFields longest;
    longest.zoneFlag = 1;
    longest.zoneWord = 0xFFFFFFFF;
    longest.name = std::string(31, 'N');
    longest.password = std::string(15, 'p');
    longest.description = std::string(425, 'd');  // fills a 520-byte datagram
    UpdateFields empty;
    empty.description = "";
    for (const UpdateFields& fields : {UpdateFields{}, longest, empty}) {
        ZoneAnnouncement zone;
        zone.port = fields.port;
        zone.population = fields.population;
        zone.zoneFlag = fields.zoneFlag;
        zone.zoneWord = fields.zoneWord;
        zone.name = fields.name;
        zone.password = fields.password;
        zone.description = fields.description;
        std::vector<uint8_t> encoded;
        ASSERT_TRUE(encodeZoneUpdate(zone, encoded)) << fields.name;
        EXPECT_EQ(encoded, makeUpdate(fields)) << fields.name;
        EXPECT_TRUE(valid(encoded)) << fields.name;
    }
}

TEST(ZoneAnnouncementTest, TextsTooLongForTheirFieldsAndFlagsAboveOneAreRefused) {
    const std::string name32(32, 'N');
    const std::string password16(16, 'p');
    const std::string description426(426, 'd');
    ZoneAnnouncement base;
    base.name = "Zone";
    ZoneAnnouncement longName = base, longPassword = base, longDescription = base, flagTwo = base;
    longName.name = name32;
    longPassword.password = password16;
    longDescription.description = description426;
    flagTwo.zoneFlag = 2;
    for (const ZoneAnnouncement& zone : {longName, longPassword, longDescription, flagTwo}) {
        std::vector<uint8_t> out = {42};
        EXPECT_FALSE(encodeZoneUpdate(zone, out));
        EXPECT_EQ(out, std::vector<uint8_t>{42});
    }
}

}  // namespace
}  // namespace kelvaro
