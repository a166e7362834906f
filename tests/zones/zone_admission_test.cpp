#include "zones/zone_admission.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "net/ban_list.h"
#include "net/report_throttle.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "support/capture_stdout.h"
#include "support/udp_wait.h"
#include "support/zone_wire.h"
#include "zones/pending_zones.h"
#include "zones/ping_tokens.h"
#include "zones/zone_datagrams.h"
#include "zones/zone_list.h"
#include "zones/zone_passwords.h"

namespace kelvaro {
namespace {

using testing_support::kLoopback;
using testing_support::pollWithin;
using testing_support::StdoutCapture;
using testing_support::updateDatagram;
using testing_support::ZoneUpdate;

HashKey testKey() {
    HashKey key{};
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0xA0 + i);
    return key;
}

TEST(PingTokensTest, EachPingOfEachRoundGetsItsOwnTokenAndOnlyTheRoundCounts) {
    const PingTokens tokens(testKey(), 7);
    std::set<uint32_t> seen;
    for (uint32_t round = 0; round < 4; ++round)
        for (uint32_t index = 0; index < 4; ++index)
            for (uint16_t port : {5000, 5001})
                for (uint32_t address : {kLoopback, kLoopback + 1})
                    seen.insert(tokens.token(address, port, round, index));
    EXPECT_EQ(seen.size(), 4u * 4 * 2 * 2);
    // Another secret gives other tokens.
    HashKey other = testKey();
    other[0] ^= 1;
    EXPECT_NE(PingTokens(other, 7).token(kLoopback, 5000, 1, 0), tokens.token(kLoopback, 5000, 1, 0));

    ZoneRecord zone;
    zone.address = kLoopback;
    zone.port = 5000;
    zone.pingRound = 2;
    zone.missedPings = 2;  // the sweep ping and two re-pings went out
    struct Case {
        uint32_t round;
        uint32_t index;
        bool counts;
    };
    const Case cases[] = {{2, 0, true}, {2, 1, true}, {2, 2, true}, {2, 3, false},
                          {1, 0, false}, {3, 0, false}};
    for (const Case& c : cases)
        EXPECT_EQ(tokens.matches(zone, tokens.token(kLoopback, 5000, c.round, c.index)), c.counts)
            << c.round << "/" << c.index;
    EXPECT_EQ(tokens.tokenFor(zone), tokens.token(kLoopback, 5000, 2, 2));
    zone.missedPings = 200;  // only the latest ones are looked at
    EXPECT_TRUE(tokens.matches(zone, tokens.token(kLoopback, 5000, 2, 200)));
    EXPECT_TRUE(tokens.matches(zone, tokens.token(kLoopback, 5000, 2, 200 - kMaxTokensChecked + 1)));
    EXPECT_FALSE(tokens.matches(zone, tokens.token(kLoopback, 5000, 2, 0)));
}

TEST(PingTokensTest, RoundsCountOnFromTheirStart) {
    PingTokens tokens(testKey(), 0xFFFFFFFFu);
    EXPECT_EQ(tokens.nextRound(), 0xFFFFFFFFu);
    EXPECT_EQ(tokens.nextRound(), 0u);
}

// A directory with every gate part in place, and a zone on loopback that
// answers on its own port.
class ZoneAdmissionTest : public ::testing::Test {
protected:
    ZoneAdmissionTest() {
        pingEndpoint.open(0);
        zoneSocket.open(0);
        gate.pending = &pending;
        gate.tokens = &tokens;
    }

    uint16_t announced() const { return static_cast<uint16_t>(zoneSocket.localPort() - 1); }

    Datagram updateFrom(const std::string& name, const std::string& password,
                        uint32_t address = kLoopback) {
        ZoneUpdate update;
        update.port = announced();
        update.population = 4;
        update.name = name;
        update.password = password;
        update.description = "here";
        Datagram datagram;
        datagram.source = NetAddress(address, 40000);
        datagram.bytes = updateDatagram(update);
        return datagram;
    }

    std::string update(const Datagram& datagram) {
        StdoutCapture capture;
        lastUpdate = handleUpdateDatagram(datagram, passwords, zones, pingEndpoint, gate);
        return capture.take();
    }

    // A reply from the zone's ping port carrying population and echo.
    std::string reply(uint32_t population, uint32_t echo) {
        Datagram datagram;
        datagram.source = NetAddress(kLoopback, zoneSocket.localPort());
        datagram.bytes = testing_support::le32Pair(population, echo);
        StdoutCapture capture;
        lastPing = handlePingDatagram(datagram, zones, passwords, gate);
        return capture.take();
    }

    // The 4 bytes of the ping the zone received last.
    uint32_t receivedPing() {
        auto ping = pollWithin(zoneSocket);
        return ping && ping->bytes.size() == 4 ? readU32(ping->data(), 0) : 0;
    }

    ManualClock clock{1000};
    ZoneSettings settings{.DropLimit = 10, .InitialHighPing = 300};
    ZonePasswords passwords{settings};
    ZoneList zones{settings};
    PendingZones pending{settings, 100};
    PingTokens tokens{testKey(), 77};
    ZoneGate gate;
    UdpEndpoint pingEndpoint;
    UdpEndpoint zoneSocket;
    UpdateOutcome lastUpdate = UpdateOutcome::Malformed;
    std::optional<PingOutcome> lastPing;
};

TEST_F(ZoneAdmissionTest, NewZoneWaitsUnlistedUntilItEchoesItsToken) {
    EXPECT_EQ(update(updateFrom("Honest", "pw")), "---Update : Honest\n");
    EXPECT_EQ(lastUpdate, UpdateOutcome::Pending);
    EXPECT_EQ(zones.count(), 0);
    EXPECT_EQ(passwords.count(), 0) << "no name is claimed before the proof";
    ASSERT_EQ(pending.count(), 1);
    const uint32_t token = receivedPing();
    EXPECT_EQ(token, tokens.token(kLoopback, announced(), 77, 0));
    EXPECT_NE(token, clock.now());

    EXPECT_EQ(reply(9, token ^ 1), "");
    EXPECT_EQ(lastPing, PingOutcome::Mismatch);
    EXPECT_EQ(zones.count(), 0);

    clock.advance(40);
    EXPECT_EQ(reply(70000, token), "Adding : Honest\n");
    EXPECT_EQ(lastPing, PingOutcome::Listed);
    EXPECT_EQ(pending.count(), 0);
    ASSERT_EQ(zones.count(), 1);
    const ZoneRecord* listed = zones.find(kLoopback, announced());
    ASSERT_NE(listed, nullptr);
    EXPECT_EQ(listed->population, 70000 & 0xFFFF);
    EXPECT_STREQ(listed->description, "here");
    EXPECT_EQ(listed->highPing, 300u) << "a 40 ms round trip does not raise it";
    EXPECT_EQ(passwords.count(), 1);
    EXPECT_EQ(update(updateFrom("Honest", "other")), "---Bad password from 127.0.0.1: Honest\n");
}

TEST_F(ZoneAdmissionTest, PasswordIsJudgedFirstAndAgainWhenTheZoneIsListed) {
    {
        StdoutCapture quiet;
        ASSERT_EQ(passwords.check("Taken", "owner"), PasswordCheck::Accepted);
    }
    EXPECT_EQ(update(updateFrom("Taken", "thief")), "---Bad password from 127.0.0.1: Taken\n");
    EXPECT_EQ(pending.count(), 0);
    EXPECT_EQ(zoneSocket.poll(), nullptr) << "a refused update is not pinged";

    // Pending under a free name that someone else claims before the proof.
    update(updateFrom("Later", "mine"));
    const uint32_t token = receivedPing();
    {
        StdoutCapture quiet;
        ASSERT_EQ(passwords.check("Later", "theirs"), PasswordCheck::Accepted);
    }
    EXPECT_EQ(reply(1, token), "---Bad password from 127.0.0.1: Later\n");
    EXPECT_EQ(lastPing, PingOutcome::Refused);
    EXPECT_EQ(zones.count(), 0);
    EXPECT_EQ(pending.count(), 0);
}

TEST_F(ZoneAdmissionTest, ListedZoneCountsOnlyRepliesOfItsCurrentRound) {
    update(updateFrom("Steady", "pw"));
    const uint32_t proving = receivedPing();
    reply(1, proving);
    ZoneRecord* zone = zones.find(kLoopback, announced());
    ASSERT_NE(zone, nullptr);
    // The reply that listed the zone does not count again once it is listed.
    EXPECT_EQ(reply(1, proving), "");
    EXPECT_EQ(lastPing, PingOutcome::Mismatch);
    const uint32_t firstRound = zone->pingRound;
    zone->startSweepPing();
    zone->pingRound = tokens.nextRound();
    sendZonePing(pingEndpoint, *zone, &tokens);
    const uint32_t sweepToken = receivedPing();
    clock.advance(301);
    ASSERT_TRUE(zone->retryDue());
    sendZonePing(pingEndpoint, *zone, &tokens);
    const uint32_t repingToken = receivedPing();
    EXPECT_NE(sweepToken, repingToken);

    struct Case {
        uint32_t echo;
        PingOutcome outcome;
    };
    const Case cases[] = {
        {tokens.token(kLoopback, announced(), firstRound, 0), PingOutcome::Mismatch},
        {clock.now(), PingOutcome::Mismatch},
        {sweepToken, PingOutcome::Matched},
        // The round is answered: neither a replay nor its other tokens count.
        {sweepToken, PingOutcome::Mismatch},
        {repingToken, PingOutcome::Mismatch},
    };
    for (const Case& c : cases) {
        const uint32_t heard = zone->lastHeardTick;
        clock.advance(5);
        EXPECT_EQ(reply(5, c.echo), "");
        EXPECT_EQ(lastPing, c.outcome) << c.echo;
        EXPECT_EQ(zone->lastHeardTick != heard, c.outcome == PingOutcome::Matched) << c.echo;
    }

    // Without the gate any echo is taken, as it always was.
    gate = {};
    EXPECT_EQ(reply(6, 12345), "");
    EXPECT_EQ(lastPing, PingOutcome::Matched);
    EXPECT_EQ(zone->population, 6);
}

TEST_F(ZoneAdmissionTest, BannedAddressesAreRefusedWithOneLineAMinute) {
    std::vector<BadBanLine> bad;
    const BanList bans = BanList::parse("127.0.0.0/8\n", bad);
    ReportThrottle reports;
    gate.bans = &bans;
    gate.banReports = &reports;
    Datagram query;
    query.source = NetAddress(kLoopback, zoneSocket.localPort());
    query.bytes = {1, 2, 3, 4};
    EXPECT_EQ(update(updateFrom("Spam", "pw")), "---Banned address: 127.0.0.1\n");
    EXPECT_EQ(lastUpdate, UpdateOutcome::Banned);
    EXPECT_EQ(update(query), "");
    EXPECT_EQ(lastUpdate, UpdateOutcome::Banned);
    EXPECT_EQ(update(updateFrom("Spam", "pw", kLoopback + htonl(1))), "---Banned address: 127.0.0.2\n");
    clock.advance(60001);
    EXPECT_EQ(update(query), "---Banned address: 127.0.0.1\n");
    EXPECT_EQ(pollWithin(zoneSocket, 20), nullptr) << "no ping and no count reply";
    EXPECT_EQ(pending.count(), 0);
    EXPECT_EQ(passwords.count(), 0);

    StdoutCapture quiet;
    EXPECT_EQ(admitZone(gate, zones, pingEndpoint, kLoopback, 7000, 1, 0, 0, "Peer", "", "",
                        ZoneSource::Peer),
              Admission::Banned);
    gate.bans = nullptr;
    EXPECT_EQ(admitZone(gate, zones, pingEndpoint, kLoopback, 7000, 1, 0, 0, "Peer", "", "",
                        ZoneSource::Peer),
              Admission::Pending);
    EXPECT_EQ(admitZone(gate, zones, pingEndpoint, kLoopback, 7000, 1, 0, 0, "Peer", "", "",
                        ZoneSource::Peer),
              Admission::Refreshed);
    EXPECT_EQ(admitZone(gate, zones, pingEndpoint, kLoopback, 7002, 1, 0, 0, " bad", "", "",
                        ZoneSource::Peer),
              Admission::Refused);
    EXPECT_EQ(zones.count(), 0);
    EXPECT_EQ(pending.count(), 1);
}

}  // namespace
}  // namespace kelvaro
