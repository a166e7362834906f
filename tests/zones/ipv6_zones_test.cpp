// Zones at IPv6 addresses: their keys never meet IPv4 ones, their caps count
// by /64, and the whole admission path (bans, passwords, ping tokens) works
// from an IPv6 source as it does from an IPv4 one.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/ban_list.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "support/capture_stdout.h"
#include "support/udp_wait.h"
#include "support/zone_wire.h"
#include "zones/pending_zones.h"
#include "zones/ping_tokens.h"
#include "zones/zone_admission.h"
#include "zones/zone_datagrams.h"
#include "zones/zone_list.h"
#include "zones/zone_passwords.h"

namespace kelvaro {
namespace {

using testing_support::pollWithin;
using testing_support::StdoutCapture;

IpAddress six(const char* text) {
    IpAddress address;
    EXPECT_TRUE(parseIpAddress(text, address)) << text;
    return address;
}

// 127.0.0.1 and the IPv6 address whose first bytes are 127.0.0.1.
TEST(Ipv6ZonesTest, SameBytesInTheOtherFamilyIsAnotherZone) {
    ManualClock clock(1000);
    StdoutCapture quiet;
    ZoneList list;
    list.trackChanges(true);
    const IpAddress four(testing_support::kLoopback);
    const IpAddress twin = IpAddress::fromV6(four.bytes.data());
    ASSERT_EQ(list.addOrUpdate(four, 30000, 1, 0, 0, "Four", ""), ZoneChange::Added);
    ASSERT_EQ(list.addOrUpdate(twin, 30000, 2, 0, 0, "Six", ""), ZoneChange::Added);
    EXPECT_EQ(list.count(), 2);
    EXPECT_EQ(list.countV6(), 1);
    ASSERT_NE(list.find(twin, 30000), nullptr);
    EXPECT_STREQ(list.find(twin, 30000)->name, "Six");
    EXPECT_STREQ(list.find(four, 30000)->name, "Four");
    std::vector<ZoneKey> keys;
    list.takeChangedKeys(keys);
    EXPECT_EQ(keys, (std::vector<ZoneKey>{{four, 30000}, {twin, 30000}}));
    list.drop(list.find(twin, 30000));
    EXPECT_EQ(list.countV6(), 0);
    EXPECT_EQ(list.find(twin, 30000), nullptr);
    EXPECT_NE(list.find(four, 30000), nullptr);
}

TEST(Ipv6ZonesTest, RejoinMemoryKeepsTheFamilies) {
    RejoinMemory memory(1000);
    const IpAddress four(testing_support::kLoopback);
    const IpAddress twin = IpAddress::fromV6(four.bytes.data());
    memory.remember(twin, 5, 0);
    EXPECT_TRUE(memory.holds(twin, 5, 10));
    EXPECT_FALSE(memory.holds(four, 5, 10));
    EXPECT_FALSE(memory.holds(twin, 6, 10));
    memory.forget(twin, 5);
    EXPECT_FALSE(memory.holds(twin, 5, 10));
}

// One IPv6 host holds a /64: a cap per address counts the block, so a host
// cannot pass it by walking its own addresses.
TEST(Ipv6ZonesTest, ZonesPerAddressCountIpv6HostsBySlash64) {
    ManualClock clock(1000);
    StdoutCapture quiet;
    ZoneList list(ZoneSettings{.MaxZonesPerAddress = 2});
    struct Step {
        const char* address;
        uint16_t port;
        ZoneChange change;
    };
    const Step steps[] = {
        {"2001:db8:0:1::1", 1, ZoneChange::Added},
        {"2001:db8:0:1::2", 1, ZoneChange::Added},
        {"2001:db8:0:1:ffff::9", 1, ZoneChange::Limit},  // same /64
        {"2001:db8:0:1::1", 1, ZoneChange::Updated},  // known zones are never refused
        {"2001:db8:0:2::1", 1, ZoneChange::Added},    // the next /64
        {"10.0.0.1", 1, ZoneChange::Added},
        {"10.0.0.2", 1, ZoneChange::Added},           // IPv4 counts each address
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.address);
        EXPECT_EQ(list.addOrUpdate(six(step.address), step.port, 0, 0, 0, "Z", ""), step.change);
    }
    list.remove(list.find(six("2001:db8:0:1::2"), 1));
    EXPECT_EQ(list.addOrUpdate(six("2001:db8:0:1::7"), 1, 0, 0, 0, "Z", ""), ZoneChange::Added);
}

TEST(Ipv6ZonesTest, TokensSignTheWholeIpv6Address) {
    HashKey key{};
    key[3] = 9;
    const PingTokens tokens(key, 1);
    const IpAddress a = six("2001:db8::1");
    const IpAddress twin = IpAddress::fromV6(IpAddress(testing_support::kLoopback).bytes.data());
    EXPECT_NE(tokens.token(a, 80, 1, 0), tokens.token(six("2001:db8::2"), 80, 1, 0));
    EXPECT_NE(tokens.token(a, 80, 1, 0), tokens.token(a, 81, 1, 0));
    EXPECT_NE(tokens.token(twin, 80, 1, 0), tokens.token(testing_support::kLoopback, 80, 1, 0));
}

// A zone on ::1 that answers its pings: it is held until it echoes its token
// over IPv6, refused under another's password, and banned by an IPv6 range.
class Ipv6AdmissionTest : public ::testing::Test {
protected:
    void SetUp() override {
        StdoutCapture quiet;
        pingEndpoint.open(0);
        zoneSocket.open(0);
        if (pingEndpoint.openV6(0) < 0 || zoneSocket.openV6(0) < 0) GTEST_SKIP() << "no IPv6";
        gate.pending = &pending;
        gate.tokens = &tokens;
    }

    Datagram updateFrom(const IpAddress& source, const std::string& password) {
        testing_support::ZoneUpdate update;
        update.port = static_cast<uint16_t>(zoneSocket.localPortV6() - 1);
        update.name = "Six zone";
        update.password = password;
        Datagram datagram;
        datagram.source = NetAddress(source, 40000);
        datagram.bytes = testing_support::updateDatagram(update);
        return datagram;
    }

    UpdateOutcome update(const Datagram& datagram) {
        StdoutCapture quiet;
        return handleUpdateDatagram(datagram, passwords, zones, pingEndpoint, gate);
    }

    // Echoes the ping the zone socket got, from address (::1 for the zone).
    std::optional<PingOutcome> answer(const IpAddress& from) {
        auto ping = pollWithin(zoneSocket);
        if (!ping) return std::nullopt;
        EXPECT_TRUE(ping->source.isV6());
        EXPECT_EQ(ping->source.hostPort(), pingEndpoint.localPortV6());
        Datagram reply;
        reply.source = NetAddress(from, zoneSocket.localPortV6());
        reply.bytes = testing_support::le32Pair(5, readU32(ping->data(), 0));
        StdoutCapture quiet;
        return handlePingDatagram(reply, zones, passwords, gate);
    }

    ManualClock clock{1000};
    ZoneSettings settings{.DropLimit = 10, .InitialHighPing = 300};
    ZonePasswords passwords{settings};
    ZoneList zones{settings};
    PendingZones pending{settings, 16};
    PingTokens tokens{HashKey{}, 1};
    ZoneGate gate;
    UdpEndpoint pingEndpoint;
    UdpEndpoint zoneSocket;
    const IpAddress zone = six("::1");
};

TEST_F(Ipv6AdmissionTest, ListedOnlyOnceItsOwnAddressEchoesTheToken) {
    pingEndpoint.queueSends();
    ASSERT_EQ(update(updateFrom(zone, "pw")), UpdateOutcome::Pending);
    pingEndpoint.flush();
    // The same token echoed from another host proves nothing.
    const IpAddress stranger = six("2001:db8::66");
    ASSERT_EQ(answer(stranger), PingOutcome::Unmatched);
    EXPECT_EQ(zones.count(), 0);
    // Sent again, now answered from the zone's own address.
    const ZoneRecord& held = pending.find(zone, zoneSocket.localPortV6() - 1)->zone;
    sendZonePing(pingEndpoint, held, &tokens);
    pingEndpoint.flush();
    ASSERT_EQ(answer(zone), PingOutcome::Listed);
    ASSERT_EQ(zones.count(), 1);
    EXPECT_EQ(zones.head()->element->address, zone);
    EXPECT_EQ(zones.head()->element->population, 5);
    // Its name is guarded: another password from another address is refused.
    EXPECT_EQ(update(updateFrom(six("::2"), "other")), UpdateOutcome::BadPassword);
}

TEST_F(Ipv6AdmissionTest, AnIpv6RangeRefusesItsUpdatesAndAnIpv4RangeDoesNot) {
    std::vector<BadBanLine> bad;
    const BanList fours = BanList::parse("0.0.0.0/0\n", bad);
    gate.bans = &fours;
    EXPECT_EQ(update(updateFrom(zone, "pw")), UpdateOutcome::Pending);
    const BanList sixes = BanList::parse("::/127\n", bad);
    gate.bans = &sixes;
    EXPECT_EQ(update(updateFrom(zone, "pw")), UpdateOutcome::Banned);
    EXPECT_EQ(update(updateFrom(six("::2"), "pw")), UpdateOutcome::Pending);
}

}  // namespace
}  // namespace kelvaro
