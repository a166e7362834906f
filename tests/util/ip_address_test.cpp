#include "util/ip_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

namespace kelvaro {
namespace {

TEST(IpAddressTest, TextRoundTripsForBothFamiliesAndRefusesTheRest) {
    struct Case {
        const char* text;
        bool valid;
        bool v6;
        const char* shown;  // what text() gives back
    };
    const Case cases[] = {
        {"127.0.0.1", true, false, "127.0.0.1"},
        {"::1", true, true, "::1"},
        {"2001:DB8:0:0::5", true, true, "2001:db8::5"},
        {"::ffff:10.0.0.1", true, true, "::ffff:10.0.0.1"},
        {"", false, false, ""},
        {"[::1]", false, false, ""},
        {"::1%lo", false, false, ""},
        {"fe80::1:2:3:4:5:6:7:8", false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        IpAddress parsed;
        ASSERT_EQ(parseIpAddress(c.text, parsed), c.valid);
        if (!c.valid) continue;
        EXPECT_EQ(parsed.isV6(), c.v6);
        EXPECT_EQ(parsed.text(), c.shown);
        EXPECT_EQ(parsed.bracketedText(), c.v6 ? "[" + std::string(c.shown) + "]" : c.shown);
    }
}

// IPv4 keys stay the 48-bit address-above-port value every table used; IPv6
// keys have the top bit set, and each of the 16 bytes and the port counts.
TEST(IpAddressTest, HashKeyKeepsTheIpv4PackingAndSpreadsIpv6) {
    const uint32_t address = inet_addr("10.1.2.3");
    EXPECT_EQ(ipPortHashKey(IpAddress(address), 4000),
              (static_cast<uint64_t>(address) << 16) | 4000);
    IpAddress base;
    ASSERT_TRUE(parseIpAddress("2001:db8::1", base));
    std::set<uint64_t> keys{ipPortHashKey(base, 1), ipPortHashKey(base, 2)};
    for (size_t i = 0; i < base.bytes.size(); ++i) {
        IpAddress changed = base;
        changed.bytes[i] ^= 0x40;
        keys.insert(ipPortHashKey(changed, 1));
    }
    EXPECT_EQ(keys.size(), base.bytes.size() + 2);
    for (uint64_t key : keys) EXPECT_NE(key >> 63, 0u);
}

}  // namespace
}  // namespace kelvaro
