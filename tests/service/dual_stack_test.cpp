// A directory with zones of both families: what each output carries.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "service/server_fixture.h"
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
    EXPECT_EQ(text.find("address6"), text.rfind("address6")) << "one pair only";
    EXPECT_NE(text.find("\"count\":6,"), std::string::npos) << "seven zones, six entries";
}

}  // namespace
}  // namespace kelvaro
