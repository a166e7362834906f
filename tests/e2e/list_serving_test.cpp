// Game clients fetching the zone list from the client port over the reliable
// transport: the list shows every zone as its update registered it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/list_fetch.h"
#include "e2e/server_process.h"
#include "support/server_list_wire.h"
#include "support/zone_wire.h"

namespace kelvaro::testing_support {
namespace {

class ListServingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.waitForLine(kBannerLine));
        ASSERT_GE(zoneSocket.open(0), 0);
    }

    // Announces the zone and waits until the server has taken it.
    void registerZone(const ZoneUpdate& update) {
        ASSERT_TRUE(sendTo(zoneSocket, kServerUpdatePort, updateDatagram(update)));
        ASSERT_TRUE(server.waitForLine("---Update : " + update.name)) << update.name;
        registered.push_back({kLoopback, update.port, update.population, update.zoneFlag,
                              update.zoneWord, update.name, update.description});
    }

    // The list a fresh client gets when it asks with this minimum.
    std::optional<Bytes> fetch(uint32_t minimum) {
        ListClient client;
        Connection* connection = client.connect(kLoopback, kServerClientPort, minimum);
        auto list = awaitList(client, connection, server);
        connection->disconnect(true);
        return list;
    }

    std::vector<ListedZone> withPopulationOf(uint32_t minimum) const {
        std::vector<ListedZone> zones;
        for (const ListedZone& zone : registered)
            if (zone.population >= minimum) zones.push_back(zone);
        return zones;
    }

    ServerProcess server{""};
    UdpEndpoint zoneSocket;
    std::vector<ListedZone> registered;
};

ZoneUpdate update(const std::string& name, uint16_t port, uint16_t population, uint16_t flag,
                  uint32_t word, const std::string& description) {
    return {port, population, flag, word, name, "pw-" + name.substr(0, 8), description};
}

TEST_F(ListServingTest, ListShowsEveryFieldOfEveryZoneAsRegistered) {
    registerZone(update("Alpha", 5000, 3, 1, 0xDEADBEEF, "the first zone"));
    registerZone(update(std::string(31, 'L'), 5002, 0, 0, 0, ""));
    registerZone(update("Charlie Three", 65534, 65535, 1, 1, std::string(255, 'c')));
    const auto list = fetch(0);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(*list, serverList(registered));
    EXPECT_TRUE(server.waitForLine("---Uploading server list"));
}

TEST_F(ListServingTest, MinimumPopulationSelectsTheZones) {
    registerZone(update("Empty", 5000, 0, 0, 0, "none here"));
    registerZone(update("Four", 5002, 4, 0, 0, "four"));
    registerZone(update("Five", 5004, 5, 1, 0, "five"));
    registerZone(update("Crowded", 5006, 65535, 0, 0, "full"));
    for (const uint32_t minimum : {0u, 5u, 70000u}) {
        const auto list = fetch(minimum);
        ASSERT_TRUE(list.has_value()) << "minimum " << minimum;
        EXPECT_EQ(*list, serverList(withPopulationOf(minimum))) << "minimum " << minimum;
    }
    EXPECT_EQ(serverList(withPopulationOf(70000)), Bytes{1});
}

TEST_F(ListServingTest, EmptyListIsTheSingleTypeByte) {
    const auto list = fetch(0);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(*list, Bytes{1});
}

TEST_F(ListServingTest, SecondRequestOnTheSameConnectionGetsNothing) {
    registerZone(update("Alpha", 5000, 3, 0, 0, "a"));
    ListClient client;
    Connection* connection = client.connect(kLoopback, kServerClientPort);
    ASSERT_TRUE(awaitList(client, connection, server).has_value());
    ASSERT_TRUE(server.waitForLine("---Uploading server list"));

    const uint8_t again[] = {1, 0, 0, 0, 0};
    connection->send(again, sizeof again, true);
    // The acknowledgement shows the request arrived; the list would follow it
    // within a few iterations.
    for (int waited = 0; waited < kDefaultWaitMs && !connection->inTransit.empty(); waited += 10)
        runFor(client, server, 10);
    EXPECT_TRUE(connection->inTransit.empty());
    runFor(client, server, 200);
    EXPECT_EQ(client.listsFor(connection).size(), 1u);
    const std::string& printed = server.output();
    EXPECT_EQ(printed.find("---Uploading server list"), printed.rfind("---Uploading server list"));
}

TEST_F(ListServingTest, ListOfMoreThanAThousandBytesArrivesWhole) {
    for (uint16_t i = 0; i < 15; ++i)
        registerZone(update("Zone " + std::to_string(i), static_cast<uint16_t>(6000 + 2 * i), i,
                            i % 2, i * 1000u, std::string(150, static_cast<char>('a' + i))));
    const Bytes expected = serverList(registered);
    ASSERT_GT(expected.size(), 1000u);
    const auto list = fetch(0);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(*list, expected);
}

}  // namespace
}  // namespace kelvaro::testing_support
