// A directory with zones of both families: what each output carries.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "service/server_fixture.h"
#include "service/server_list.h"
#include "service/web_front.h"

namespace kelvaro {
namespace {

IpAddress six(const char* text) {
    IpAddress address;
    EXPECT_TRUE(parseIpAddress(text, address)) << text;
    return address;
}

using testing_support::printedBy;

class DualStackTest : public testing_support::ServerFixture {
protected:
    void add(const IpAddress& address, uint16_t port, const std::string& name,
             ZoneSource source = ZoneSource::Update) {
        printedBy([&] {
            server->zones().addOrUpdate(address, port, 3, 1, 7, name, "d", source);
        });
    }
};

// The list to game clients has room for IPv4 only: the IPv6 zones are left
// out and the bytes are exactly those of the IPv4 zones alone.
TEST_F(DualStackTest, ServerListHoldsTheIpv4ZonesExactlyAsWithoutIpv6Ones) {
    start();
    add(inet_addr("10.0.0.1"), 1000, "Alpha");
    std::unique_ptr<ByteBlock> alone;
    printedBy([&] { alone = server->buildServerList(0); });
    add(six("2001:db8::1"), 1000, "Alpha");
    add(six("::1"), 2000, "Only six");
    add(inet_addr("10.0.0.2"), 1001, "Beta");
    server->zones().remove(server->zones().find(inet_addr("10.0.0.2"), 1001));
    std::unique_ptr<ByteBlock> mixed;
    printedBy([&] { mixed = server->buildServerList(0); });
    ASSERT_TRUE(alone && mixed);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(mixed->data.get()), mixed->length),
              std::string(reinterpret_cast<const char*>(alone->data.get()), alone->length));
    int32_t entries = 0;
    forEachZoneEntry(mixed->data.get(), mixed->length, [&](const ZoneEntry& entry) {
        EXPECT_FALSE(entry.address.isV6());
        ++entries;
    });
    EXPECT_EQ(entries, 1);
}

// Pairs form only between an IPv4 and an IPv6 zone of exactly the same name,
// both announced here (a peer's copy never proved the name's password), one
// IPv6 zone to one IPv4 zone.
TEST_F(DualStackTest, ZonesJsonShowsAZoneOnBothFamiliesOnce) {
    start();
    add(inet_addr("10.0.0.1"), 1000, "Both");
    add(inet_addr("10.0.0.2"), 1000, "Both");  // a second IPv4 zone of the name
    add(inet_addr("10.0.0.3"), 1000, "Peer twin");
    add(inet_addr("10.0.0.4"), 1000, "Case");
    add(six("2001:db8::1"), 1001, "Both");
    add(six("2001:db8::2"), 1000, "Peer twin", ZoneSource::Peer);
    add(six("2001:db8::3"), 1000, "case");
    const std::string text = zonesJson(server->zones(), 0, 5);
    EXPECT_NE(text.find("\"address\":\"10.0.0.1\",\"port\":1000,\"population\":3,\"flag\":1,"
                        "\"word\":7,\"name\":\"Both\",\"description\":\"d\","
                        "\"address6\":\"2001:db8::1\",\"port6\":1001,"
                        "\"addresses\":[\"10.0.0.1:1000\",\"[2001:db8::1]:1001\"]"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("\"address\":\"2001:db8::1\""), std::string::npos) << "listed twice";
    EXPECT_NE(text.find("\"address\":\"2001:db8::2\""), std::string::npos);
    EXPECT_NE(text.find("\"address\":\"2001:db8::3\""), std::string::npos);
    size_t pairs = 0;
    for (size_t at = text.find("address6"); at != std::string::npos; at = text.find("address6", at + 1))
        ++pairs;
    EXPECT_EQ(pairs, 1u);
    EXPECT_NE(text.find("\"count\":6,"), std::string::npos) << "seven zones, six entries";
}

TEST_F(DualStackTest, StatisticsLineCarriesTheIpv6AddressAsText) {
    start();
    add(six("2001:db8:ffff:ffff:ffff:ffff:ffff:fffe"), 8303, "Six");
    printedBy([&] { server->writeStats(); });
    EXPECT_EQ(directory.read("stats.txt"),
              "2001:db8:ffff:ffff:ffff:ffff:ffff:fffe\t8303\t3\t1\tSix\td\r\n");
}

}  // namespace
}  // namespace kelvaro
