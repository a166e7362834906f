// Zones at IPv6 addresses: their keys never meet IPv4 ones, their caps count
// by /64, and their ping tokens sign the whole address.

#include <gtest/gtest.h>

#include <vector>

#include "platform/tick_clock.h"
#include "support/capture_stdout.h"
#include "support/zone_wire.h"
#include "zones/ping_tokens.h"
#include "zones/zone_list.h"

namespace kelvaro {
namespace {

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

}  // namespace
}  // namespace kelvaro
