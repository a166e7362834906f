// Zones announcing themselves on the update port, and count queries.

#include <gtest/gtest.h>

#include <vector>

#include "e2e/server_process.h"
#include "support/udp_wait.h"
#include "support/zone_wire.h"

namespace kelvaro::testing_support {
namespace {

constexpr const char* kInvalidLine = "---Invalid message on direct update port from 127.0.0.1";

ZoneUpdate zone(const std::string& name, uint16_t port, const std::string& password = "secret") {
    ZoneUpdate update;
    update.port = port;
    update.population = 3;
    update.zoneFlag = 1;
    update.zoneWord = 0xDEADBEEF;
    update.name = name;
    update.password = password;
    update.description = "a zone";
    return update;
}

class ZoneUpdatesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.waitForLine(kBannerLine));
        ASSERT_GE(client.open(0), 0);
    }

    bool send(const std::vector<uint8_t>& bytes) {
        return sendTo(client, kServerUpdatePort, bytes);
    }

    // Asks for the zone count; the reply must come from the ping port.
    std::optional<uint32_t> zoneCount(uint32_t echo = 0x01020304) {
        if (!send(le32(echo))) return std::nullopt;
        auto reply = pollWithin(client);
        if (!reply || reply->length() != 8 || readU32(reply->data(), 4) != echo)
            return std::nullopt;
        lastReplyPort = reply->source.hostPort();
        return readU32(reply->data(), 0);
    }

    ServerProcess server{""};
    UdpEndpoint client;
    uint16_t lastReplyPort = 0;
};

TEST_F(ZoneUpdatesTest, ValidUpdateAddsTheZoneOnceAndRefreshesItAfterwards) {
    ASSERT_TRUE(send(updateDatagram(zone("Alpha Zone", 5000))));
    EXPECT_TRUE(server.waitForLine("Adding : Alpha Zone"));
    EXPECT_TRUE(server.waitForLine("---Update : Alpha Zone"));
    ASSERT_TRUE(send(updateDatagram(zone("Alpha Zone", 5000))));
    EXPECT_TRUE(server.waitForLine("---Update : Alpha Zone"));
    const std::string& printed = server.output();
    EXPECT_EQ(printed.find("Adding"), printed.rfind("Adding")) << printed;
    EXPECT_EQ(zoneCount(), 1u);
}

TEST_F(ZoneUpdatesTest, CountQueryIsAnsweredFromThePingPortNotTheUpdatePort) {
    EXPECT_EQ(zoneCount(0xCAFEF00D), 0u);
    EXPECT_NE(lastReplyPort, kServerUpdatePort);
    EXPECT_NE(lastReplyPort, 0);
    ASSERT_TRUE(send(updateDatagram(zone("Alpha", 5000))));
    ASSERT_TRUE(send(updateDatagram(zone("Bravo", 5002))));
    ASSERT_TRUE(server.waitForLine("---Update : Bravo"));
    EXPECT_EQ(zoneCount(0xFFFFFFFF), 2u);
}

TEST_F(ZoneUpdatesTest, EveryMalformedUpdateIsRefusedWithTheInvalidLine) {
    std::vector<std::vector<uint8_t>> refused;
    auto variant = [&](auto change) {
        std::vector<uint8_t> bytes = updateDatagram(zone("Alpha", 5000));
        change(bytes);
        refused.push_back(bytes);
    };
    variant([](auto& b) { b.resize(94); });    // shorter than 95 bytes
    variant([](auto& b) { b[0] = 1; });        // header not 0
    variant([](auto& b) { b.back() = 'x'; });  // last byte not NUL
    variant([](auto& b) { std::fill(b.begin() + 14, b.begin() + 46, 'n'); });  // 32-char name
    variant([](auto& b) { std::fill(b.begin() + 46, b.begin() + 62, 'p'); });  // 16-char password
    variant([](auto& b) { writeU16(b.data(), 8, 2); });                        // zoneFlag 2
    variant([](auto& b) { b[93] = 1; });                                       // reserved byte set
    refused.push_back(updateDatagram(zone("Alpha ", 5000)));   // trailing space in the name
    refused.push_back(updateDatagram(zone("Al  pha", 5000)));  // doubled space
    refused.push_back(std::vector<uint8_t>(5, 0));             // neither update nor query

    for (const auto& bytes : refused) ASSERT_TRUE(send(bytes));
    for (size_t i = 0; i < refused.size(); ++i)
        EXPECT_TRUE(server.waitForLine(kInvalidLine)) << "refusal " << i;
    EXPECT_EQ(zoneCount(), 0u);
    EXPECT_EQ(server.output().find("Adding"), std::string::npos);
    // None of them was answered.
    EXPECT_EQ(pollWithin(client, 10), nullptr);
}

TEST_F(ZoneUpdatesTest, WrongPasswordForAKnownNameIsRefused) {
    ASSERT_TRUE(send(updateDatagram(zone("Alpha", 5000, "right"))));
    ASSERT_TRUE(server.waitForLine("---Update : Alpha"));
    ASSERT_TRUE(send(updateDatagram(zone("Alpha", 6000, "wrong"))));
    EXPECT_TRUE(server.waitForLine("---Bad password from 127.0.0.1: Alpha"));
    EXPECT_EQ(zoneCount(), 1u);
    ASSERT_TRUE(send(updateDatagram(zone("Alpha", 6000, "right"))));
    EXPECT_TRUE(server.waitForLine("Adding : Alpha"));
    EXPECT_EQ(zoneCount(), 2u);
}

}  // namespace
}  // namespace kelvaro::testing_support
