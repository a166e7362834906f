// The client library against directories played in the test, over loopback:
// listening transports that answer a list request with a list the test
// makes (garbled, oversized or full ones too), and plain sockets playing a
// directory's update and ping ports. Each fake is polled by the test's own
// bounded loop beside the library's poll.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kelvaro.h"
#include "list_reader.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "transport/connection_manager.h"
#include "util/bytes.h"

namespace kelvaro {
namespace {

using Bytes = std::vector<uint8_t>;

struct Zone {
    uint16_t port;
    uint16_t population;
    std::string name;
    std::string description;
    uint16_t flag = 0;
};

void appendEntry(Bytes& list, const Zone& zone) {
    uint8_t fixed[78] = {127, 0, 0, 1};
    writeU16(fixed, 4, zone.port);
    writeU16(fixed, 6, zone.population);
    writeU16(fixed, 8, zone.flag);
    writeU32(fixed, 10, 77);
    std::memcpy(fixed + 14, zone.name.data(), zone.name.size());
    list.insert(list.end(), fixed, fixed + sizeof fixed);
    list.insert(list.end(), zone.description.begin(), zone.description.end());
    list.push_back(0);
}

Bytes listOf(const std::vector<Zone>& zones) {
    Bytes list = {1};
    for (const Zone& zone : zones) appendEntry(list, zone);
    return list;
}

// A list of 632 short entries: it leaves too little room to be sure it holds
// every zone, so the library asks the count. first names the first port.
Bytes fullList(uint16_t first) {
    std::vector<Zone> zones;
    for (uint16_t i = 0; i < 632; ++i) zones.push_back({static_cast<uint16_t>(first + i), 1, "Z", ""});
    return listOf(zones);
}

// A directory's client port: answers the n-th list request with lists(n),
// or closes the connection when that is empty. Its count port answers count
// queries with count.
class FakeDirectory {
public:
    explicit FakeDirectory(std::function<Bytes(int)> lists, uint32_t zoneCount = 0)
        : make(std::move(lists)), count(zoneCount),
          manager(8, 0, [this](ReceivedMessage& message) { answer(message); }) {
        countPort.open(0);
    }

    void poll() {
        manager.poll(64);
        while (auto query = countPort.poll()) {
            if (query->bytes.size() != 4) continue;
            uint8_t reply[8];
            writeU32(reply, 0, count);
            std::memcpy(reply + 4, query->data(), 4);
            countPort.setDestination(query->source);
            countPort.send(reply, sizeof reply);
        }
    }

    kelvaro_directory where() const {
        return {"127.0.0.1", manager.endpoint.localPort(), countPort.localPort()};
    }

    int32_t connections() const { return manager.connectionCount(); }

    int requests = 0;

private:
    void answer(ReceivedMessage& message) {
        const Bytes list = make(requests++);
        if (list.empty()) {
            message.connection->disconnect(true);
            return;
        }
        message.connection->send(list.data(), static_cast<uint32_t>(list.size()), true);
    }

    std::function<Bytes(int)> make;
    uint32_t count;
    UdpEndpoint countPort;
    ConnectionManager manager;
};

// Polls the fetch and the fakes until the fetch is over; bounded in rounds.
kelvaro_status runFetch(kelvaro_fetch* fetch, const std::vector<FakeDirectory*>& fakes,
                        const std::function<bool(FakeDirectory*)>& mayAnswer = {}) {
    kelvaro_status status = KELVARO_PENDING;
    for (int round = 0; round < 200000 && status == KELVARO_PENDING; ++round) {
        for (FakeDirectory* fake : fakes)
            if (!mayAnswer || mayAnswer(fake)) fake->poll();
        status = kelvaro_fetch_poll(fetch);
        if (round % 16 == 15) sleepMs(1);
    }
    return status;
}

std::vector<std::string> namesOf(kelvaro_fetch* fetch) {
    const kelvaro_zone_entry* zones = nullptr;
    size_t count = 0;
    EXPECT_EQ(kelvaro_fetch_zones(fetch, &zones, &count), KELVARO_OK);
    std::vector<std::string> names;
    for (size_t i = 0; i < count; ++i)
        names.push_back(std::string(zones[i].name, zones[i].name_length) + "/" +
                        std::to_string(zones[i].population) + "/" + std::to_string(zones[i].directory));
    return names;
}

// A port nobody listens on: bound, read, closed.
uint16_t silentPort() {
    UdpEndpoint probe;
    probe.open(0);
    return probe.localPort();
}

TEST(ClientFetchTest, DirectoriesMergeByAddressAndPortTheFirstListWinningAndADeadOneFailsAlone) {
    FakeDirectory first([](int) { return listOf({{6000, 1, "Shared", "from first"}, {6002, 2, "Own", ""}}); });
    FakeDirectory second([](int) { return listOf({{6000, 9, "Shared", "from second"}, {6004, 3, "Other", ""}}); });
    const std::string dead = std::to_string(silentPort());
    const kelvaro_directory directories[] = {
        {"127.0.0.1", static_cast<uint16_t>(std::stoi(dead)), 0}, second.where(), first.where()};
    kelvaro_fetch_options options;
    kelvaro_fetch_options_init(&options);
    options.timeout_ms = 300;
    kelvaro_fetch* fetch = nullptr;
    ASSERT_EQ(kelvaro_fetch_start(&fetch, directories, 3, &options), KELVARO_OK);
    // The second directory (index 1) answers only once the first (index 2) has.
    const kelvaro_status status = runFetch(fetch, {&first, &second}, [&](FakeDirectory* fake) {
        kelvaro_directory_result result{};
        kelvaro_fetch_result(fetch, 2, &result);
        return fake == &first || result.lists > 0;
    });
    EXPECT_EQ(status, KELVARO_OK);
    EXPECT_EQ(namesOf(fetch), (std::vector<std::string>{"Shared/1/2", "Own/2/2", "Other/3/1"}));
    const kelvaro_status expected[] = {KELVARO_ERR_TIMEOUT, KELVARO_OK, KELVARO_OK};
    for (size_t i = 0; i < 3; ++i) {
        kelvaro_directory_result result{};
        ASSERT_EQ(kelvaro_fetch_result(fetch, i, &result), KELVARO_OK);
        EXPECT_EQ(result.status, expected[i]) << i;
    }
    kelvaro_fetch_destroy(fetch);
}

TEST(ClientFetchTest, AHostileOrBrokenDirectoryGivesItsOwnStatusAndNoZones) {
    Bytes badFlag = listOf({{6000, 1, "A", ""}});
    badFlag[9] = 2;
    Bytes trailing = listOf({{6000, 1, "A", ""}});
    trailing.push_back(7);
    const struct {
        const char* what;
        Bytes list;
        uint32_t maxZones;
        kelvaro_status status;
    } cases[] = {
        {"flag 2", badFlag, 0, KELVARO_ERR_MALFORMED},
        {"bytes after the last entry", trailing, 0, KELVARO_ERR_MALFORMED},
        {"a piece of an entry", Bytes{1, 127, 0, 0}, 0, KELVARO_ERR_MALFORMED},
        {"more zones than the bound", listOf({{6000, 1, "A", ""}, {6002, 1, "B", ""}}), 1,
         KELVARO_ERR_TOO_MANY},
        {"closed before its list", Bytes{}, 0, KELVARO_ERR_CLOSED},
    };
    for (const auto& c : cases) {
        FakeDirectory fake([&](int) { return c.list; });
        const kelvaro_directory directory = fake.where();
        kelvaro_fetch_options options;
        kelvaro_fetch_options_init(&options);
        options.timeout_ms = 1000;
        if (c.maxZones != 0) options.max_zones = c.maxZones;
        kelvaro_fetch* fetch = nullptr;
        ASSERT_EQ(kelvaro_fetch_start(&fetch, &directory, 1, &options), KELVARO_OK);
        EXPECT_EQ(runFetch(fetch, {&fake}), c.status) << c.what;
        EXPECT_TRUE(namesOf(fetch).empty()) << c.what;
        kelvaro_fetch_destroy(fetch);
    }
}

TEST(ClientFetchTest, FetchAllGoesRoundOnceAndGivesUpAfterItsListBound) {
    const struct {
        const char* what;
        bool rotate;  // each list the next 632 zones, or always the same
        uint32_t count;
        kelvaro_status status;
        uint32_t lists;
        size_t zones;
    } cases[] = {
        {"every zone seen", true, 1800, KELVARO_OK, 3, 1896},
        {"the count never reached", false, 5000, KELVARO_ERR_INCOMPLETE,
         KELVARO_MAX_FETCH_ALL_LISTS, 632},
    };
    for (const auto& c : cases) {
        FakeDirectory fake(
            [&](int n) { return fullList(static_cast<uint16_t>(1000 + (c.rotate ? n : 0) * 632)); },
            c.count);
        const kelvaro_directory directory = fake.where();
        kelvaro_fetch_options options;
        kelvaro_fetch_options_init(&options);
        options.fetch_all = 1;
        kelvaro_fetch* fetch = nullptr;
        ASSERT_EQ(kelvaro_fetch_start(&fetch, &directory, 1, &options), KELVARO_OK);
        EXPECT_EQ(runFetch(fetch, {&fake}), c.status) << c.what;
        kelvaro_directory_result result{};
        kelvaro_fetch_result(fetch, 0, &result);
        EXPECT_EQ(result.lists, c.lists) << c.what;
        EXPECT_EQ(fake.requests, static_cast<int>(c.lists)) << c.what;
        EXPECT_EQ(namesOf(fetch).size(), c.zones) << c.what;
        EXPECT_TRUE(result.count_known) << c.what;
        kelvaro_fetch_destroy(fetch);
    }
}

TEST(ClientFetchTest, AFetchGivenUpOnSaysGoodbyeSoTheDirectoryIsNotHeldBusy) {
    // Destroyed as soon as the directory holds the connection, before the
    // fetch has read any answer.
    FakeDirectory fake([](int) { return listOf({}); });
    const kelvaro_directory directory = fake.where();
    kelvaro_fetch* fetch = nullptr;
    ASSERT_EQ(kelvaro_fetch_start(&fetch, &directory, 1, nullptr), KELVARO_OK);
    for (int round = 0; round < 2000 && fake.connections() == 0; ++round) {
        fake.poll();
        kelvaro_fetch_poll(fetch);
        sleepMs(1);
    }
    ASSERT_EQ(fake.connections(), 1);
    kelvaro_fetch_destroy(fetch);
    for (int round = 0; round < 2000 && fake.connections() != 0; ++round) {
        fake.poll();
        sleepMs(1);
    }
    EXPECT_EQ(fake.connections(), 0);
}

// Waits, bounded, for a datagram on socket.
std::unique_ptr<Datagram> awaitDatagram(UdpEndpoint& socket, kelvaro_zone* zone) {
    for (int round = 0; round < 2000; ++round) {
        if (zone != nullptr) kelvaro_zone_poll(zone);
        if (auto datagram = socket.poll()) return datagram;
        sleepMs(1);
    }
    return nullptr;
}

TEST(ClientZoneTest, PingsAreAnsweredWithTheirBytesAndUpdatesCarryTheLatestSettings) {
    UdpEndpoint directory;  // its update port and its ping port in one socket
    ASSERT_GE(directory.open(0), 0);
    const uint16_t port = static_cast<uint16_t>(silentPort() - 1);
    kelvaro_zone* zone = nullptr;
    ASSERT_EQ(kelvaro_zone_create(&zone, port, 0), KELVARO_OK);
    EXPECT_EQ(kelvaro_zone_set_name(zone, "Two  spaces"), KELVARO_ERR_ARGUMENT);
    ASSERT_EQ(kelvaro_zone_set_name(zone, "Arena"), KELVARO_OK);
    ASSERT_EQ(kelvaro_zone_set_password(zone, "pw"), KELVARO_OK);
    ASSERT_EQ(kelvaro_zone_set_population(zone, 5), KELVARO_OK);
    ASSERT_EQ(kelvaro_zone_add_directory(zone, "127.0.0.1", directory.localPort(), nullptr), KELVARO_OK);

    auto update = awaitDatagram(directory, zone);  // the first poll announces
    ASSERT_NE(update, nullptr);
    ASSERT_EQ(update->bytes.size(), 95u);
    EXPECT_EQ(readU16(update->data(), 4), port);
    EXPECT_EQ(readU16(update->data(), 6), 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(update->data()) + 14), "Arena");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(update->data()) + 46), "pw");

    // A token, not a tick: its bytes come back as sent, after the population.
    kelvaro_zone_set_population(zone, 7);
    const uint8_t token[4] = {0xde, 0x00, 0xff, 0x80};
    const uint8_t notPings[][5] = {{1, 2, 3, 4, 5}};
    directory.setDestination(htonl(INADDR_LOOPBACK), static_cast<uint16_t>(port + 1));
    directory.send(notPings[0], 5);
    directory.send(token, sizeof token);
    std::unique_ptr<Datagram> reply;
    for (int i = 0; i < 4 && (reply == nullptr || reply->bytes.size() != 8); ++i)
        reply = awaitDatagram(directory, zone);  // skips the count query
    ASSERT_NE(reply, nullptr);
    ASSERT_EQ(reply->bytes.size(), 8u);
    EXPECT_EQ(readU32(reply->data(), 0), 7u);
    EXPECT_EQ(std::memcmp(reply->data() + 4, token, 4), 0);
    kelvaro_zone_directory_state state{};
    ASSERT_EQ(kelvaro_zone_directory(zone, 0, &state), KELVARO_OK);
    EXPECT_EQ(state.pings, 1u);
    EXPECT_TRUE(state.pinged);

    ASSERT_EQ(kelvaro_zone_set_description(zone, "now with a description"), KELVARO_OK);
    ASSERT_EQ(kelvaro_zone_announce(zone), KELVARO_OK);
    auto second = awaitDatagram(directory, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(second->bytes.size(), 95u + 22u);
    EXPECT_EQ(readU16(second->data(), 6), 7);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(second->data()) + 94), "now with a description");
    kelvaro_zone_destroy(zone);
}

// Two directories on one address: once each has answered a count query, a
// ping counts for the one whose ping socket sent it, not for both.
TEST(ClientZoneTest, PingsCountForTheDirectoryTheyCameFromOnceItsCountReplyIsKnown) {
    UdpEndpoint directories[2];
    for (UdpEndpoint& directory : directories) ASSERT_GE(directory.open(0), 0);
    const uint16_t port = static_cast<uint16_t>(silentPort() - 1);
    kelvaro_zone* zone = nullptr;
    ASSERT_EQ(kelvaro_zone_create(&zone, port, 0), KELVARO_OK);
    ASSERT_EQ(kelvaro_zone_set_interval(zone, 0), KELVARO_OK);
    for (UdpEndpoint& directory : directories)
        ASSERT_EQ(kelvaro_zone_add_directory(zone, "127.0.0.1", directory.localPort(), nullptr),
                  KELVARO_OK);
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(kelvaro_zone_query_count(zone, i), KELVARO_OK);
        auto query = awaitDatagram(directories[i], zone);
        ASSERT_NE(query, nullptr);
        ASSERT_EQ(query->bytes.size(), 4u);
        uint8_t stale[8] = {};
        writeU32(stale, 0, 99);  // another echo: not this query's answer
        uint8_t reply[8];
        writeU32(reply, 0, static_cast<uint32_t>(10 + i));
        std::memcpy(reply + 4, query->data(), 4);
        directories[i].setDestination(query->source);
        directories[i].send(stale, sizeof stale);
        directories[i].send(reply, sizeof reply);
    }
    kelvaro_zone_directory_state states[2] = {};
    for (int round = 0; round < 2000 && !(states[0].count_known && states[1].count_known); ++round) {
        kelvaro_zone_poll(zone);
        for (size_t i = 0; i < 2; ++i) kelvaro_zone_directory(zone, i, &states[i]);
        sleepMs(1);
    }
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(states[i].count, 10 + i) << i;
        EXPECT_EQ(states[i].count_replies, 1u) << i;
    }
    const uint8_t ping[4] = {1, 2, 3, 4};
    directories[1].setDestination(htonl(INADDR_LOOPBACK), static_cast<uint16_t>(port + 1));
    directories[1].send(ping, sizeof ping);
    ASSERT_NE(awaitDatagram(directories[1], zone), nullptr);
    for (size_t i = 0; i < 2; ++i) kelvaro_zone_directory(zone, i, &states[i]);
    EXPECT_EQ(states[0].pings, 0u);
    EXPECT_EQ(states[1].pings, 1u);
    kelvaro_zone_destroy(zone);
}

TEST(ClientBlockingTest, SilenceEndsInATimeOutAndLeavesNoZones) {
    uint32_t count = 0;
    EXPECT_EQ(kelvaro_count("127.0.0.1", silentPort(), 50, &count), KELVARO_ERR_TIMEOUT);
    EXPECT_EQ(kelvaro_count("localhost", 0, 50, &count), KELVARO_ERR_ARGUMENT);  // never resolved
    kelvaro_zone_entry* zones = nullptr;
    size_t zoneCount = 7;
    const kelvaro_directory nobody = {"127.0.0.1", silentPort(), 0};
    kelvaro_fetch_options options;
    kelvaro_fetch_options_init(&options);
    options.timeout_ms = 50;
    EXPECT_EQ(kelvaro_fetch_list(&nobody, 1, &options, &zones, &zoneCount), KELVARO_ERR_TIMEOUT);
    EXPECT_EQ(zones, nullptr);
    EXPECT_EQ(zoneCount, 0u);
}

TEST(ClientListReaderTest, OnlyWholeEntriesAtTheirEndAreAcceptedAndTextsKeepTheirBytes) {
    const Bytes list = listOf({{6000, 1, "Caf\xc3", "\xe9t\xc3\xa9 \x01\x7f"}, {6002, 2, "B", ""}});
    const size_t firstEnd = 1 + 79 + 7;
    for (size_t length = 0; length <= list.size(); ++length) {
        std::vector<kelvaro_zone_entry> entries;
        const auto verdict = client::readList(list.data(), length, 100, entries);
        const bool whole = length == 1 || length == firstEnd || length == list.size();
        EXPECT_EQ(verdict == client::ListVerdict::Good, whole) << length;
        if (!whole) {
            EXPECT_TRUE(entries.empty()) << length;
        }
    }
    std::vector<kelvaro_zone_entry> entries;
    ASSERT_EQ(client::readList(list.data(), list.size(), 100, entries), client::ListVerdict::Good);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(std::string(entries[0].name, entries[0].name_length), "Caf\xc3");
    EXPECT_EQ(std::string(entries[0].description, entries[0].description_length), "\xe9t\xc3\xa9 \x01\x7f");
    EXPECT_STREQ(entries[1].address_text, "127.0.0.1");

    Bytes longDescription = listOf({{6000, 1, "A", std::string(256, 'd')}});
    Bytes noNameEnd = listOf({{6000, 1, std::string(32, 'n'), ""}});
    EXPECT_EQ(client::readList(longDescription.data(), longDescription.size(), 100, entries),
              client::ListVerdict::Malformed);
    EXPECT_EQ(client::readList(noNameEnd.data(), noNameEnd.size(), 100, entries),
              client::ListVerdict::Malformed);
    EXPECT_EQ(entries.size(), 2u);  // untouched by the refusals
}

}  // namespace
}  // namespace kelvaro
