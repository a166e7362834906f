// The client port as it faces the open internet: a 42 KB list over a long and
// lossy path, what forged datagrams can draw, and whether a flood of key
// requests from many addresses keeps honest clients out.
//
// Everything runs on the private loopback of the test's network namespace:
// the lossy path is a LossyRelay in this process, and the many addresses of
// a flood are 127.0.x.y source addresses on one socket.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e/list_fetch.h"
#include "e2e/server_process.h"
#include "platform/tick_clock.h"
#include "support/lossy_relay.h"
#include "support/path_meter.h"
#include "support/server_list_wire.h"
#include "support/zone_wire.h"
#include "transport/connection_cipher.h"
#include "zones/zone_datagrams.h"

namespace kelvaro::testing_support {
namespace {

constexpr const char* kBusyDirectory = "[CPU]\nWakeOnTraffic=1\nDatagramsPerIteration=64\n";
constexpr int kFetchLimitMs = 20000;

// 300 zones with 60-character descriptions: a 41,701-byte list.
std::vector<ZoneUpdate> listOfZones(int count) {
    std::vector<ZoneUpdate> made;
    for (int i = 0; i < count; ++i)
        made.push_back({static_cast<uint16_t>(30000 + 2 * i), 5, 0, static_cast<uint32_t>(i),
                        "Zone " + std::to_string(i), "pw",
                        std::string(60, static_cast<char>('a' + i % 26))});
    return made;
}

// Announces every zone, fifty at a time, each batch fenced by a count query:
// the update port takes datagrams in order, so its reply means the batch is in.
::testing::AssertionResult announce(ServerProcess& server, const std::vector<ZoneUpdate>& zones) {
    UdpEndpoint socket;
    if (socket.open(0) < 0) return ::testing::AssertionFailure() << "no socket";
    for (size_t first = 0; first < zones.size(); first += 50) {
        for (size_t i = first; i < std::min(first + 50, zones.size()); ++i)
            sendTo(socket, kServerUpdatePort, updateDatagram(zones[i]));
        const uint32_t echo = 0xFE0000u + static_cast<uint32_t>(first);
        sendTo(socket, kServerUpdatePort, le32(echo));
        bool answered = false;
        for (int waited = 0; waited < kDefaultWaitMs && !answered; ++waited) {
            server.drain();
            while (auto reply = socket.poll()) {
                uint32_t count = 0;
                answered |= readCountReply(reply->data(), reply->bytes.size(), echo, count);
            }
            if (!answered) sleepMs(1);
        }
        if (!answered) return ::testing::AssertionFailure() << "no count reply after " << first;
    }
    return ::testing::AssertionSuccess();
}

struct Fetch {
    std::optional<Bytes> list;
    uint32_t ms = 0;
    size_t mostInFlight = 0;
};

// One fresh client fetching the list through a relay with these terms each way.
Fetch fetchOverPath(ServerProcess& server, const PathTerms& eachWay, uint32_t seed) {
    LossyRelay relay(NetAddress(kLoopback, kServerClientPort), eachWay, eachWay, seed);
    PathMeter meter(relay);
    ListClient client;
    const uint32_t start = tickCount();
    Connection* connection = client.connect(kLoopback, relay.port());
    Fetch fetch;
    while (elapsedMs(tickCount(), start) < kFetchLimitMs) {
        relay.pump();
        for (int poll = 0; poll < kPollsPerMs; ++poll) client.poll();
        server.drain();
        const auto lists = client.listsFor(connection);
        if (!lists.empty()) {
            fetch.list = lists.front();
            fetch.ms = elapsedMs(tickCount(), start);
            break;
        }
        if (client.manager.connectionCount() == 0) break;
        if (!relay.pump()) sleepMs(1);
    }
    fetch.mostInFlight = meter.mostInFlight();
    if (client.manager.connectionCount() != 0) connection->disconnect(true);
    // The disconnect crosses the path before the relay goes.
    const uint32_t ending = tickCount();
    while (elapsedMs(tickCount(), ending) < eachWay.delayMs + eachWay.jitterMs + 20) {
        relay.pump();
        sleepMs(1);
    }
    return fetch;
}

class ClientPortTest : public ::testing::Test {
protected:
    void start(const std::string& settings, int zoneCount) {
        server = std::make_unique<ServerProcess>(settings);
        ASSERT_TRUE(server->waitForLine(kBannerLine));
        const std::vector<ZoneUpdate> zones = listOfZones(zoneCount);
        ASSERT_TRUE(announce(*server, zones));
        for (const ZoneUpdate& zone : zones)
            expected.push_back({kLoopback, zone.port, zone.population, zone.zoneFlag, zone.zoneWord,
                                zone.name, zone.description});
    }

    Bytes expectedList() const { return serverList(expected); }

    std::unique_ptr<ServerProcess> server;
    std::vector<ListedZone> expected;
};

// ---- A long path ------------------------------------------------------------

TEST_F(ClientPortTest, ListCrossesALongLossyPathQuicklyThroughAnOpeningWindow) {
    start(std::string("[Core]\nMaxWindow=64\n") + kBusyDirectory, 300);
    ASSERT_EQ(expectedList().size(), 41701u);
    struct Case {
        const char* name;
        PathTerms eachWay;
        uint32_t medianBoundMs;
    };
    const Case cases[] = {
        {"60 ms round trip", {30, 0, 0}, 600},
        {"60 ms round trip, 5 % loss, 20 ms jitter", {30, 20, 50}, 2500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A lost key request or key response costs a fetch its first 16
        // seconds, as it always has; the median of three rides over one.
        std::vector<uint32_t> times;
        for (uint32_t seed = 1; seed <= 3; ++seed) {
            const Fetch fetch = fetchOverPath(*server, c.eachWay, seed);
            EXPECT_LE(fetch.mostInFlight, 64u);
            if (!fetch.list) {
                times.push_back(UINT32_MAX);
                continue;
            }
            EXPECT_EQ(*fetch.list, expectedList());
            EXPECT_GT(fetch.mostInFlight, 3u) << "the window never opened";
            times.push_back(fetch.ms);
        }
        std::sort(times.begin(), times.end());
        EXPECT_LE(times[1], c.medianBoundMs);
    }
}

TEST_F(ClientPortTest, WithoutMaxWindowNoMoreThanThreePacketsAreEverInFlight) {
    start(kBusyDirectory, 300);
    // Reordering but no loss, so that no fetch depends on its key exchange
    // surviving the path.
    for (const PathTerms eachWay : {PathTerms{30, 0, 0}, PathTerms{30, 20, 0}}) {
        const Fetch fetch = fetchOverPath(*server, eachWay, 7);
        ASSERT_TRUE(fetch.list.has_value());
        EXPECT_EQ(*fetch.list, expectedList());
        EXPECT_EQ(fetch.mostInFlight, 3u);
    }
}

// ---- Forged sources ----------------------------------------------------------

// One socket that sends from any 127.0.0.0/8 address it is told, so a test
// plays many hosts; whatever the server sends to any of them arrives here.
class ManyAddresses {
public:
    ManyAddresses() {
        descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (descriptor >= 0 && ::bind(descriptor, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(descriptor);
            descriptor = -1;
        }
    }
    ~ManyAddresses() {
        if (descriptor >= 0) ::close(descriptor);
    }
    ManyAddresses(const ManyAddresses&) = delete;
    ManyAddresses& operator=(const ManyAddresses&) = delete;

    bool ready() const { return descriptor >= 0; }

    // Host i is 127.0.1.0 + i.
    static uint32_t host(uint32_t i) { return htonl(0x7F000100u + i); }

    bool send(uint32_t from, const Bytes& datagram) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kServerClientPort);
        to.sin_addr.s_addr = kLoopback;
        iovec part{const_cast<uint8_t*>(datagram.data()), datagram.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        msghdr message{};
        message.msg_name = &to;
        message.msg_namelen = sizeof to;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = from;
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
        return ::sendmsg(descriptor, &message, 0) == static_cast<ssize_t>(datagram.size());
    }

    // Bytes and datagrams that have arrived for any of the hosts.
    void drain() {
        uint8_t buffer[2048];
        for (int i = 0; i < 100000; ++i) {
            const ssize_t got = ::recv(descriptor, buffer, sizeof buffer, 0);
            if (got < 0) break;
            bytes += static_cast<size_t>(got);
            ++datagrams;
        }
    }

    size_t bytes = 0;
    size_t datagrams = 0;

private:
    int descriptor = -1;
};

Bytes keyRequest(int32_t key) {
    Bytes packet{0, 1, 0, 0, 0, 0, 1, 0};
    writeU32(packet.data(), 2, static_cast<uint32_t>(key));
    return packet;
}

TEST_F(ClientPortTest, TwoBlindDatagramsDrawUnderTwoThousandBytesWithOrWithoutMaxWindow) {
    for (const char* window : {"0", "64"}) {
        SCOPED_TRACE(std::string("MaxWindow=") + window);
        expected.clear();
        server.reset();
        // A short silence limit, so the connection ends, disconnects and all,
        // within the test.
        start(std::string("[Core]\nPacketSilenceLimit=300\nMaxWindow=") + window + "\n" +
                  kBusyDirectory,
              300);
        ManyAddresses victim;
        ASSERT_TRUE(victim.ready());
        // The forger picks the key, so it knows the connection key without
        // reading the answer.
        constexpr int32_t kForgedKey = -123456;
        ConnectionCipher cipher;
        cipher.setKey(ConnectionCipher::negateKey(kForgedKey));
        Bytes listRequest{0, 3, 0, 0, 0, 0, 1, 0, 0, 0, 0};
        cipher.encrypt(listRequest.data(), static_cast<uint32_t>(listRequest.size()));
        ASSERT_TRUE(victim.send(ManyAddresses::host(1), keyRequest(kForgedKey)));
        ASSERT_TRUE(victim.send(ManyAddresses::host(1), listRequest));
        // Three seconds of silence, then the two disconnect packets.
        for (int waited = 0; waited < 5000; waited += 10) {
            server->drain();
            victim.drain();
            sleepMs(10);
        }
        EXPECT_LE(victim.bytes, 2000u);
        // Key response, the list request's acknowledgement, two probes.
        EXPECT_GT(victim.bytes, 25u) << "the answer should have begun";
        EXPECT_TRUE(server->waitForLine("---Uploading server list"));
    }
}

TEST_F(ClientPortTest, KeyRequestFloodFromFiveHundredAddressesLeavesHonestClientsTheirLists) {
    start(kBusyDirectory, 30);
    ManyAddresses flood;
    ASSERT_TRUE(flood.ready());
    constexpr uint32_t kFloodHosts = 500;
    constexpr uint32_t kPerMs = 2;  // 500 hosts, 4 key requests a second each
    uint32_t nextHost = 0;
    uint32_t lastFloodMs = tickCount();
    const auto floodFor = [&](uint32_t ms) {
        const uint32_t now = tickCount();
        for (uint32_t step = lastFloodMs; step != now; ++step)
            for (uint32_t i = 0; i < kPerMs; ++i) {
                const uint32_t host = nextHost++ % kFloodHosts;
                flood.send(ManyAddresses::host(host), keyRequest(-static_cast<int32_t>(host) - 1));
            }
        lastFloodMs = now;
        flood.drain();
        server->drain();
        if (ms > 0) sleepMs(ms);
    };
    // A second of flood first: every flooding host has been answered.
    for (int waited = 0; waited < 1000; ++waited) floodFor(1);
    ASSERT_GE(flood.datagrams, kFloodHosts * 9 / 10) << "the flood was not answered";

    int served = 0;
    for (int honest = 0; honest < 20; ++honest) {
        ListClient client;
        Connection* connection = client.connect(kLoopback, kServerClientPort);
        const uint32_t start = tickCount();
        while (elapsedMs(tickCount(), start) < 3000 && client.listsFor(connection).empty() &&
               client.manager.connectionCount() != 0) {
            for (int poll = 0; poll < kPollsPerMs; ++poll) client.poll();
            floodFor(1);
        }
        const auto lists = client.listsFor(connection);
        if (!lists.empty() && lists.front() == expectedList()) ++served;
        if (client.manager.connectionCount() != 0) connection->disconnect(true);
    }
    EXPECT_GE(served, 19);
}

TEST_F(ClientPortTest, JunkFromNewAddressesDrawsNothing) {
    start(kBusyDirectory, 5);
    ManyAddresses strangers;
    ASSERT_TRUE(strangers.ready());
    const std::vector<Bytes> junk = {
        {0, 7}, {0, 5}, {0, 5, 1, 2, 3, 4}, {0, 3, 0, 0, 0, 0, 1, 0, 0, 0, 0}, {0, 4, 0, 0, 0, 0},
        {1, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0, 1}, {0, 14, 8, 0, 1, 0, 0, 0, 0, 1, 0}, Bytes(520, 0xEE),
    };
    for (uint32_t round = 0; round < 20; ++round)
        for (uint32_t host = 0; host < 100; ++host) {
            strangers.send(ManyAddresses::host(host), junk[(host + round) % junk.size()]);
            if (host % 10 == 0) server->drain();
        }
    for (int waited = 0; waited < 1500; waited += 10) {
        server->drain();
        strangers.drain();
        sleepMs(10);
    }
    EXPECT_EQ(strangers.datagrams, 0u);
    // And the port still serves.
    ListClient client;
    Connection* connection = client.connect(kLoopback, kServerClientPort);
    const auto list = awaitList(client, connection, *server);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(*list, expectedList());
}

}  // namespace
}  // namespace kelvaro::testing_support
