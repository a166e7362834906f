// The download schedule and the busy decision, serving the list to clients,
// and merging the lists of peers, driven by a ManualClock over loopback.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "service/directory_server.h"
#include "transport/list_client.h"
#include "service/server_fixture.h"
#include "service/server_list.h"
#include "support/server_list_wire.h"

namespace kelvaro::testing_support {
namespace {

constexpr int kMaxRounds = 300;
const Bytes kDisconnectPacket = {0, 7};

// The next datagram to reach the socket, or no bytes at all.
Bytes nextFrom(UdpEndpoint& socket, int attempts = kPollAttempts) {
    auto datagram = pollWithin(socket, attempts);
    return datagram ? datagram->bytes : Bytes{};
}

Bytes bytesOf(const ByteBlock& block) {
    return Bytes(block.data.get(), block.data.get() + block.length);
}

// The peer a test runs itself: a listening manager whose connections answer
// the list request with `answer`.
class FakePeer {
public:
    FakePeer() : manager(1, 0, [this](ReceivedMessage& message) { respond(message); }) {}
    FakePeer(const FakePeer&) = delete;
    FakePeer& operator=(const FakePeer&) = delete;

    uint16_t port() const { return manager.endpoint.localPort(); }

    void respond(ReceivedMessage& message) {
        ++requests;
        message.connection->send(answer.data(), static_cast<uint32_t>(answer.size()), true);
    }

    Bytes answer{1};
    int requests = 0;
    ConnectionManager manager;
};

class DirectorySyncTest : public ServerFixture {
protected:
    // Iterates the server and runs the other side until done() holds or the
    // rounds run out; returns everything the server printed.
    template <typename Other, typename Done>
    std::string exchange(Other&& other, Done&& done, int rounds = kMaxRounds) {
        std::string printed;
        for (int round = 0; round < rounds && !done(); ++round) {
            printed += iterate();
            other();
            sleepMs(1);
        }
        return printed;
    }

    uint16_t clientPort() const { return server->clientPort(); }

    // Whether the oldest client connection's peer has answered its probes.
    bool firstClientProven() const {
        auto* head = server->clients().connections.head();
        return head != nullptr && head->element->peerProven;
    }

    const Connection* downloadConnection() const {
        auto* head = server->downloads().connections.head();
        return head != nullptr ? head->element.get() : nullptr;
    }

    // The zones as the list shows them: fields as stored, in list order.
    ListedZone listed(const ZoneRecord* zone) {
        return {zone->address.v4(), zone->port, zone->population, zone->zoneFlag,
                zone->zoneWord, zone->name, zone->description};
    }

    ZoneRecord* addFull(uint16_t port, uint16_t population, uint16_t flag, uint32_t word,
                        const std::string& name, const std::string& description) {
        printedBy([&] {
            server->zones().addOrUpdate(kLoopback, port, population, flag, word, name,
                                        description);
        });
        return server->zones().find(kLoopback, port);
    }
};

// ---- Download schedule and busy decision ------------------------------------

TEST_F(DirectorySyncTest, DownloadsTakeThePeersInTurnAndASilentPeerHoldsTheServerBusy) {
    start("[Core]\nPacketSilenceLimit=50\n"  // half a second
          "[Directory]\nDownloadTime=0\nIP=127.0.0.1, 127.0.0.2 & 127.0.0.3\n");
    const char* expectedPeers[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};

    for (int download = 0; download < 6; ++download) {
        SCOPED_TRACE("download " + std::to_string(download));
        clock.advance(1);
        // The previous download went without a list.
        const std::string failed =
            download == 0 ? "" : "---Download failed: " + std::string(expectedPeers[(download + 2) % 3]) + "\n";
        EXPECT_EQ(iterate(), failed + "---Downloading server list\n");
        const Connection* connection = downloadConnection();
        ASSERT_NE(connection, nullptr);
        EXPECT_EQ(connection->remoteAddress.text(), expectedPeers[download % 3]);
        EXPECT_EQ(connection->remoteAddress.hostPort(), silentPeer.localPort());
        EXPECT_EQ(nextFrom(silentPeer).size(), 8u);  // the key request
        EXPECT_EQ(server->nextPeerIndex(), (download + 1) % 3);

        // Busy from the next iteration until the silence limit has closed the
        // connection and a walk has freed it.
        clock.advance(1);
        EXPECT_EQ(iterate(), "");
        EXPECT_TRUE(server->isBusy());
        // Transport time counts hundredths, so the limit is checked a little
        // either side of the half second.
        clock.advance(488);
        EXPECT_EQ(iterate(), "");
        EXPECT_FALSE(connection->isClosed());
        EXPECT_EQ(server->timers().lastDownloadTick, clock.now());
        clock.advance(30);
        EXPECT_EQ(iterate(), "");
        EXPECT_TRUE(connection->isClosed());
        EXPECT_EQ(server->downloads().connectionCount(), 1);  // closed, not yet freed
        EXPECT_TRUE(server->isBusy());
        EXPECT_EQ(nextFrom(silentPeer), kDisconnectPacket);
        EXPECT_EQ(nextFrom(silentPeer), kDisconnectPacket);
    }
    // Each connection that went without a list counts as failed once the walk
    // has freed it, which the sixth has not yet.
    const std::vector<PeerDownloads>& counted = server->metrics().downloads;
    ASSERT_EQ(counted.size(), 3u);
    const uint64_t failed[] = {2, 2, 1};
    for (size_t peer = 0; peer < 3; ++peer) {
        EXPECT_EQ(NetAddress(counted[peer].address, 0).text(), expectedPeers[peer]);
        EXPECT_EQ(counted[peer].started, 2u);
        EXPECT_EQ(counted[peer].completed, 0u);
        EXPECT_EQ(counted[peer].failed, failed[peer]) << expectedPeers[peer];
    }
}

// Without a hold limit, as it always was.
TEST_F(DirectorySyncTest, DownloadStartedInOneIterationMakesTheNextBusyAndForgetsEveryPing) {
    start("[Zone]\nBusyHoldLimit=-1\n[Directory]\nDownloadTime=0\n");
    ZoneRecord* alpha = addZone("Alpha", 1000);
    ZoneRecord* bravo = addZone("Bravo", 2000);
    alpha->startSweepPing();
    bravo->startSweepPing();

    EXPECT_EQ(iterate(), "---Downloading server list\n");
    EXPECT_FALSE(server->isBusy());
    EXPECT_TRUE(alpha->awaitingReply);
    EXPECT_TRUE(bravo->awaitingReply);

    clock.advance(1);
    EXPECT_EQ(iterate(), "");
    EXPECT_TRUE(server->isBusy());
    EXPECT_EQ(server->timers().lastDownloadTick, clock.now());
    EXPECT_FALSE(alpha->awaitingReply);
    EXPECT_FALSE(bravo->awaitingReply);

    // Staying busy forgets nothing more: a ping marked now survives.
    alpha->startSweepPing();
    clock.advance(1);
    iterate();
    EXPECT_TRUE(alpha->awaitingReply);
}

TEST_F(DirectorySyncTest, NoDownloadUntilMoreThanDownloadTimeHasPassed) {
    start("[Directory]\nDownloadTime=1\n");
    clock.set(60000);
    EXPECT_EQ(iterate(), "");
    EXPECT_EQ(server->downloads().connectionCount(), 0);
    EXPECT_FALSE(server->isBusy());
    clock.set(60001);
    EXPECT_EQ(iterate(), "---Downloading server list\n");
    EXPECT_EQ(server->downloads().connectionCount(), 1);
}

// Without a hold limit, as it always was.
TEST_F(DirectorySyncTest, ClientConnectedForALongTimeHoldsZoneUpkeepUntilItHasGone) {
    start("[Zone]\nSweepTime=500\nDropLimit=2\nBusyHoldLimit=-1\n"
          "[Directory]\nStatsWriteMinutes=1\n");
    FakeZone bravo;
    ZoneRecord* alpha = addZone("Alpha", 1000);
    addZone("Bravo", bravo);

    ListClient client;
    Connection* connection = client.connect(kLoopback, clientPort());
    exchange([&] { client.poll(); }, [&] { return !client.listsFor(connection).empty(); });
    ASSERT_EQ(client.listsFor(connection).size(), 1u);
    EXPECT_TRUE(server->isBusy());

    // A drop that would be due, a sweep and a statistics write long overdue:
    // none of them happens while the client stays, two minutes here.
    alpha->startSweepPing();
    alpha->missedPings = 3;
    for (int step = 0; step < 24; ++step) {
        clock.advance(5000);
        connection->sendSyncRequest();  // the client keeps talking
        sleepMs(1);
        EXPECT_EQ(iterate(), "") << "step " << step;
        client.poll();
    }
    EXPECT_TRUE(server->isBusy());
    EXPECT_EQ(server->zones().count(), 2);
    EXPECT_EQ(server->timers().lastSweepTick, kStartTick);
    EXPECT_EQ(server->timers().lastStatsTick, kStartTick);
    EXPECT_TRUE(nothingArrived(bravo));
    EXPECT_FALSE(directory.exists("stats.txt"));

    // The client leaves (its disconnect may queue behind its last sync
    // requests); the first idle iteration does everything overdue, the drop
    // before the write.
    connection->disconnect(true);
    std::string printed;
    for (int round = 0; round < kMaxRounds && server->isBusy(); ++round) {
        sleepMs(1);
        printed = iterate();
        if (server->isBusy()) {
            EXPECT_EQ(printed, "");
        }
    }
    EXPECT_EQ(printed, "Timeout : Alpha\n---Writing stats\n");
    EXPECT_FALSE(server->isBusy());
    EXPECT_EQ(server->clients().connectionCount(), 0);
    EXPECT_TRUE(pingArrived(bravo, clock.now()));
    EXPECT_EQ(directory.read("stats.txt"),
              "127.0.0.1\t" + std::to_string(bravo.announcedPort()) + "\t0\t0\tBravo\t\r\n");
}

// A list's delivery is timed once, when the client has acknowledged all of
// it, and by the server's clock from the moment the list was handed over.
TEST_F(DirectorySyncTest, AListDeliveryIsTimedOnceWhenTheClientHasAcknowledgedIt) {
    start();
    addZone("Alpha", 1000);
    ListClient client;
    Connection* connection = client.connect(kLoopback, clientPort());
    exchange([&] { client.poll(); }, [&] { return !client.listsFor(connection).empty(); });
    ASSERT_EQ(client.listsFor(connection).size(), 1u);
    clock.advance(250);
    for (int round = 0; round < kMaxRounds && server->listDeliverySeconds().count() == 0; ++round) {
        client.poll();
        sleepMs(1);
        iterate();
    }
    const Histogram& times = server->listDeliverySeconds();
    ASSERT_EQ(times.count(), 1u);
    EXPECT_GE(times.valueSum(), 0.25);
    EXPECT_LT(times.valueSum(), 1.0);
    for (int round = 0; round < 5; ++round) {
        connection->sendSyncRequest();  // the connection goes on; the list was counted
        client.poll();
        sleepMs(1);
        iterate();
    }
    EXPECT_EQ(times.count(), 1u);
    EXPECT_NE(server->metricsText().find("\nkelvaro_list_delivery_seconds_count 1\n"),
              std::string::npos);
}

TEST_F(DirectorySyncTest, ShutdownFreesClientAndDownloadConnectionsWithoutAPacket) {
    // The first iteration starts a download from the silent peer.
    start("[Directory]\nDownloadTime=0\n");
    ListClient client;
    Connection* connection = client.connect(kLoopback, clientPort());
    // Until the server has the answers to its probes, they may still be on
    // their way to the client.
    exchange([&] { client.poll(); },
             [&] { return !client.listsFor(connection).empty() && firstClientProven(); });
    ASSERT_EQ(server->clients().connectionCount(), 1);
    ASSERT_EQ(server->downloads().connectionCount(), 1);
    ASSERT_EQ(nextFrom(silentPeer).size(), 8u);  // the key request

    const uint32_t heard = connection->packetsReceived;
    server.reset();
    sleepMs(5);
    client.poll();
    EXPECT_EQ(connection->packetsReceived, heard);
    EXPECT_FALSE(connection->isClosed());
    EXPECT_EQ(nextFrom(silentPeer, 10), Bytes{});
}

// ---- A download from a peer that answers ------------------------------------

TEST_F(DirectorySyncTest, DownloadMergesThePeersListAndEndsWithinThePollThatGotIt) {
    FakePeer peer;
    start("[Directory]\nDownloadTime=1\n", peer.port());
    ZoneRecord* known = addFull(3000, 42, 0, 1, "Known", "ours");
    peer.answer = serverList({{kLoopback, 3000, 7, 1, 0xFEEDF00D, "Known Renamed", "theirs"},
                              {inet_addr("10.9.8.7"), 5000, 5, 0, 0xAB, "Charlie", "new"}});

    std::string printed = iterate();
    EXPECT_EQ(printed, "---Downloading server list\n");
    bool complete = false;
    printed = exchange([&] { peer.manager.poll(); },
                       [&] {
                           complete = server->downloads().connectionCount() == 0;
                           return complete;
                       });
    ASSERT_TRUE(complete) << printed;
    EXPECT_EQ(printed, "Adding : Charlie\n---Download complete\n");
    EXPECT_EQ(peer.requests, 1);
    // Freed in the poll that merged, so the same iteration found the server idle.
    EXPECT_FALSE(server->isBusy());
    ASSERT_EQ(server->metrics().downloads.size(), 1u);
    EXPECT_EQ(server->metrics().downloads[0].started, 1u);
    EXPECT_EQ(server->metrics().downloads[0].completed, 1u);
    EXPECT_EQ(server->metrics().downloads[0].failed, 0u);

    EXPECT_EQ(known->population, 42);
    EXPECT_EQ(known->zoneFlag, 1);
    EXPECT_EQ(known->zoneWord, 0xFEEDF00Du);
    EXPECT_STREQ(known->name, "Known Renamed");
    EXPECT_STREQ(known->description, "theirs");
    const ZoneRecord* added = server->zones().find(inet_addr("10.9.8.7"), 5000);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->population, 5);
    EXPECT_EQ(added->zoneWord, 0xABu);

    // The peer hears the disconnect and frees its side.
    for (int round = 0; round < kMaxRounds && peer.manager.connectionCount() != 0; ++round) {
        peer.manager.poll();
        sleepMs(1);
    }
    EXPECT_EQ(peer.manager.connectionCount(), 0);
}

// ---- Serving the list ----------------------------------------------------------

// A listening connection of the test's own, answered by a ListResponder of
// the server towards a sink socket: no key, so the list leaves in clear in one
// reliable packet (0, 3, sequence, list).
class DirectListRequest {
public:
    explicit DirectListRequest(DirectoryServer& server) : responder(server) {
        endpoint.open(0);
        sink.open(0);
        connection = std::make_unique<Connection>(true, NetAddress(kLoopback, sink.localPort()),
                                                  endpoint, responder);
        // The responder is the subject, not the proof a peer gives first.
        connection->peerProven = true;
    }

    std::string request(const Bytes& bytes) {
        ExactBytes exact(bytes);
        ReceivedMessage message{exact.data(), exact.size(), connection.get()};
        return printedBy([&] { responder(message); });
    }

    // The list that arrived at the sink, or nothing.
    std::optional<Bytes> list() {
        auto datagram = pollWithin(sink, 20);
        if (!datagram || datagram->length() < 6) return std::nullopt;
        return Bytes(datagram->bytes.begin() + 6, datagram->bytes.end());
    }

    ListResponder responder;
    UdpEndpoint endpoint;
    UdpEndpoint sink;
    std::unique_ptr<Connection> connection;
};

TEST_F(DirectorySyncTest, ShortListRequestReadsItsMissingBytesAsZero) {
    start();
    const ZoneRecord* small = addFull(3000, 4, 0, 0, "Small", "");
    const ZoneRecord* five = addFull(3001, 5, 0, 0, "Five", "");
    const ZoneRecord* big = addFull(3002, 0x0105, 0, 0, "Big", "");

    struct Case {
        Bytes request;
        std::vector<const ZoneRecord*> expected;
    };
    const std::vector<Case> cases = {
        {{1}, {small, five, big}},
        {{1, 5}, {five, big}},
        {{1, 5, 1}, {big}},
        {{1, 6, 1, 0}, {}},
    };
    for (const Case& c : cases) {
        DirectListRequest direct(*server);
        EXPECT_EQ(direct.request(c.request), "---Uploading server list\n");
        std::vector<ListedZone> expected;
        for (const ZoneRecord* zone : c.expected) expected.push_back(listed(zone));
        EXPECT_EQ(direct.list(), serverList(expected)) << "request of " << c.request.size();
        EXPECT_TRUE(direct.responder.listSent());
        // Answered once: a second request sends nothing and prints nothing.
        EXPECT_EQ(direct.request({1, 0, 0, 0, 0}), "");
        EXPECT_EQ(direct.list(), std::nullopt);
    }
}

// ---- Building the list -------------------------------------------------------

TEST_F(DirectorySyncTest, MinimumPopulationSelectsTheZonesListed) {
    start();
    ZoneRecord* none = addFull(3000, 0, 0, 0, "None", "a");
    const ZoneRecord* four = addFull(3001, 4, 1, 9, "Four", "b");
    const ZoneRecord* five = addFull(3002, 5, 0, 0, "Five", "c");
    const ZoneRecord* full = addFull(3003, 65535, 1, 0, "Full", "d");
    none->startSweepPing();  // awaiting a reply is no reason to leave a zone out

    struct Case {
        uint32_t minimum;
        std::vector<const ZoneRecord*> expected;
    };
    const std::vector<Case> cases = {{0, {none, four, five, full}},
                                     {5, {five, full}},
                                     {65535, {full}},
                                     {65536, {}},
                                     {70000, {}}};
    for (const Case& c : cases) {
        std::unique_ptr<ByteBlock> list;
        EXPECT_EQ(printedBy([&] { list = server->buildServerList(c.minimum); }),
                  "---Uploading server list\n");
        ASSERT_NE(list, nullptr);
        std::vector<ListedZone> expected;
        for (const ZoneRecord* zone : c.expected) expected.push_back(listed(zone));
        EXPECT_EQ(bytesOf(*list), serverList(expected)) << "minimum " << c.minimum;
    }
}

TEST_F(DirectorySyncTest, ListHoldsWholeEntriesAndEndsAtTheFirstThatDoesNotFit) {
    start();
    const std::string longest(255, 'd');
    // 1 + 149 * 334 = 49767 bytes; a 150th long entry would pass 50000.
    for (uint16_t i = 0; i < 150; ++i)
        addFull(static_cast<uint16_t>(1 + i), 1, 0, 0, "Zone " + std::to_string(i), longest);
    addFull(200, 1, 0, 0, "Short", "");  // would fit, but comes after the cut
    std::unique_ptr<ByteBlock> list;
    printedBy([&] { list = server->buildServerList(0); });
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->length, 1u + 149u * 334u);
    ZoneList parsed;
    StdoutCapture quiet;
    EXPECT_EQ(mergeServerList(list->data.get(), list->length, parsed), 149);
    quiet.take();
    EXPECT_NE(parsed.find(kLoopback, 149), nullptr);
    EXPECT_EQ(parsed.find(kLoopback, 150), nullptr);
    EXPECT_EQ(parsed.find(kLoopback, 200), nullptr);
}

// The ports of the entries of a server list, checking that it holds whole
// entries only.
std::vector<uint16_t> listedPorts(const ByteBlock& list) {
    std::vector<uint16_t> ports;
    uint32_t position = 1;
    ZoneEntry entry;
    while (readZoneEntry(list.data.get(), list.length, position, entry)) ports.push_back(entry.port);
    EXPECT_EQ(position, list.length) << "bytes after the last whole entry";
    return ports;
}

TEST_F(DirectorySyncTest, FullListsTakeTheZonesInTurnAndTogetherCoverEveryZone) {
    start("[Directory]\nMetricsFile=metrics.prom\n");
    // Zones of population 0 (every seventh) are left out by the minimum; the
    // others need 114 entries of 334 bytes and 229 of 79, 56,167 bytes, so no
    // list holds them all.
    const std::string longest(255, 'd');
    for (uint16_t port = 1; port <= 400; ++port)
        addFull(port, port % 7 == 0 ? 0 : 5, 0, 0, "Zone " + std::to_string(port),
                port % 3 == 0 ? longest : "");

    std::set<uint16_t> seen;
    uint16_t expectedFirst = 1;
    for (int fetch = 0; fetch < 3; ++fetch) {
        SCOPED_TRACE("list " + std::to_string(fetch));
        std::unique_ptr<ByteBlock> list;
        const std::string printed = printedBy([&] { list = server->buildServerList(5); });
        ASSERT_NE(list, nullptr);
        EXPECT_LE(list->length, kServerListLimit);
        const std::vector<uint16_t> ports = listedPorts(*list);
        ASSERT_FALSE(ports.empty());
        EXPECT_EQ(printed, "---Server list full: " + std::to_string(ports.size()) +
                               " of 400 zones\n---Uploading server list\n");
        // Each list starts with the zone the one before left out (skipping
        // those below the minimum), then follows the list order, wrapping.
        EXPECT_EQ(ports.front(), expectedFirst);
        EXPECT_EQ(std::set<uint16_t>(ports.begin(), ports.end()).size(), ports.size());
        for (size_t i = 1; i < ports.size(); ++i) {
            uint16_t next = static_cast<uint16_t>(ports[i - 1] % 400 + 1);
            while (next % 7 == 0) next = static_cast<uint16_t>(next % 400 + 1);
            EXPECT_EQ(ports[i], next) << "entry " << i;
        }
        seen.insert(ports.begin(), ports.end());
        expectedFirst = static_cast<uint16_t>(ports.back() % 400 + 1);
        if (expectedFirst % 7 == 0) expectedFirst = static_cast<uint16_t>(expectedFirst % 400 + 1);
    }
    EXPECT_EQ(seen.size(), 400u - 400u / 7u);
    printedBy([&] { server->writeMetrics(); });
    EXPECT_NE(directory.read("metrics.prom").find("\nkelvaro_lists_full_total 3\n"),
              std::string::npos);
}

TEST_F(DirectorySyncTest, ListStartsAfterADroppedZoneAndIsPlainOnceEverythingFits) {
    start();
    const std::string longest(255, 'd');
    std::vector<ZoneRecord*> zones;
    for (uint16_t port = 1; port <= 160; ++port)
        zones.push_back(addFull(port, 1, 0, 0, "Zone " + std::to_string(port), longest));
    std::unique_ptr<ByteBlock> list;
    printedBy([&] { list = server->buildServerList(0); });
    ASSERT_EQ(listedPorts(*list).size(), 149u);  // 150 left out first

    // The zone the next list would start with goes; the one after it takes its place.
    server->zones().remove(zones[149]);
    printedBy([&] { list = server->buildServerList(0); });
    std::vector<uint16_t> ports = listedPorts(*list);
    ASSERT_FALSE(ports.empty());
    EXPECT_EQ(ports.front(), 151);

    // Once every zone fits again, the list is the plain one: all, in list order.
    for (int i = 0; i < 20; ++i) server->zones().remove(zones[static_cast<size_t>(i)]);
    const std::string printed = printedBy([&] { list = server->buildServerList(0); });
    EXPECT_EQ(printed, "---Uploading server list\n");
    ports = listedPorts(*list);
    ASSERT_EQ(ports.size(), 139u);
    for (size_t i = 0; i < ports.size(); ++i) {
        const uint16_t expected = static_cast<uint16_t>(i < 129 ? 21 + i : 22 + i);  // 150 is gone
        EXPECT_EQ(ports[i], expected) << "entry " << i;
    }
}

// ---- Receiving a list --------------------------------------------------------

class DirectListData {
public:
    explicit DirectListData(DirectoryServer& owner) : server(owner) {
        endpoint.open(0);
        sink.open(0);
        connection = std::make_unique<Connection>(
            false, NetAddress(kLoopback, sink.localPort()), endpoint,
            [this](ReceivedMessage& message) { server.onListData(message); });
    }

    std::string deliver(const Bytes& bytes) {
        ExactBytes exact(bytes);
        ReceivedMessage message{exact.data(), exact.size(), connection.get()};
        return printedBy([&] { server.onListData(message); });
    }

    DirectoryServer& server;
    UdpEndpoint endpoint;
    UdpEndpoint sink;
    std::unique_ptr<Connection> connection;
};

TEST_F(DirectorySyncTest, ReceivedListIsMergedThenTheDownloadEndsWithTwoDisconnects) {
    start();
    DirectListData direct(*server);
    EXPECT_EQ(direct.deliver(serverList({{kLoopback, 4000, 3, 0, 0, "Delta", "d"}})),
              "Adding : Delta\n---Download complete\n");
    EXPECT_TRUE(direct.connection->isClosed());
    EXPECT_NE(server->zones().find(kLoopback, 4000), nullptr);
    EXPECT_EQ(nextFrom(direct.sink), kDisconnectPacket);
    EXPECT_EQ(nextFrom(direct.sink), kDisconnectPacket);

    // A second list on the closed connection changes nothing.
    EXPECT_EQ(direct.deliver(serverList({{kLoopback, 4001, 3, 0, 0, "Echo", "e"}})), "");
    EXPECT_EQ(server->zones().find(kLoopback, 4001), nullptr);
    EXPECT_EQ(nextFrom(direct.sink, 10), Bytes{});
}

TEST_F(DirectorySyncTest, ListOfTheTypeByteAloneStillCompletesTheDownload) {
    start();
    DirectListData direct(*server);
    EXPECT_EQ(direct.deliver(Bytes{1}), "---Download complete\n");
    EXPECT_TRUE(direct.connection->isClosed());
    EXPECT_EQ(server->zones().count(), 0);
}

}  // namespace
}  // namespace kelvaro::testing_support

namespace kelvaro::testing_support {
namespace {

// The fit test must allow a list of exactly 50,000 bytes: the last entry
// ending on the limit is listed, and the list is not a full one.
TEST_F(DirectorySyncTest, ListEndingExactlyAtTheLimitKeepsItsLastEntryAndIsNotFull) {
    start();
    // 1 + 149 * 334 + (79 + 154) = 50000.
    for (uint16_t i = 0; i < 149; ++i)
        addFull(static_cast<uint16_t>(1 + i), 1, 0, 0, "Zone " + std::to_string(i),
                std::string(255, 'd'));
    addFull(500, 1, 0, 0, "Last", std::string(154, 'e'));
    std::unique_ptr<ByteBlock> list;
    const std::string printed = printedBy([&] { list = server->buildServerList(0); });
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->length, kServerListLimit);
    const std::vector<uint16_t> ports = listedPorts(*list);
    ASSERT_EQ(ports.size(), 150u);
    EXPECT_EQ(ports.back(), 500);
    EXPECT_EQ(printed, "---Uploading server list\n");
    EXPECT_EQ(server->metrics().listsFull, 0u);
}

// A client turned away for MaxHosts keeps knocking; the console gets the
// first refusal at once, then at most one line a minute with the count since
// the last line, and the metrics count every refused datagram.
TEST_F(DirectorySyncTest, RefusalsForMaxHostsArePrintedAtMostOncePerMinuteWithTheirCount) {
    start("[Core]\nMaxHosts=1\nPacketSilenceLimit=-1\n");
    ListClient admitted;
    ListClient turnedAway;
    Connection* first = admitted.connect(kLoopback, clientPort());
    // Proven, so that it keeps its slot: an unproven one gives way.
    exchange([&] { admitted.poll(); },
             [&] { return !admitted.listsFor(first).empty() && firstClientProven(); });
    ASSERT_EQ(server->clients().connectionCount(), 1);
    Connection* knocking = turnedAway.connect(kLoopback, clientPort());
    const auto refusedReaches = [&](uint64_t count) {
        return [this, count] { return server->clients().refusedCount() >= count; };
    };
    std::string printed = exchange([] {}, refusedReaches(1));
    EXPECT_EQ(printed, "---Clients refused at MaxHosts=1: 1 since the last such line\n");

    struct Step {
        uint32_t advanceMs;
        int knocks;  // key requests sent after the clock moved
        bool lineDue;
    };
    // Measured from the first line: 60,000 ms is not yet more than a minute.
    // A due line goes out with the first refusal after the minute, so that
    // step knocks once to know its count.
    const Step steps[] = {{0, 2, false}, {30000, 2, false}, {30000, 3, false}, {1, 1, true},
                          {1000, 2, false}, {59000, 2, false}, {1, 1, true}};
    uint64_t reported = server->clients().refusedCount();
    for (const Step& step : steps) {
        clock.advance(step.advanceMs);
        const uint64_t before = server->clients().refusedCount();
        for (int knock = 0; knock < step.knocks; ++knock) knocking->sendKeyRequest();
        printed = exchange([] {}, refusedReaches(before + static_cast<uint64_t>(step.knocks)));
        const uint64_t now = server->clients().refusedCount();
        const std::string expected =
            step.lineDue ? "---Clients refused at MaxHosts=1: " + std::to_string(now - reported) +
                               " since the last such line\n"
                         : "";
        EXPECT_EQ(printed, expected) << "after " << step.advanceMs << " ms";
        if (step.lineDue) reported = now;
    }
    EXPECT_EQ(server->metrics().clientsRefused, server->clients().refusedCount());
    EXPECT_GE(server->metrics().clientsRefused, 14u);
    EXPECT_EQ(server->clients().connectionCount(), 1);
}

}  // namespace
}  // namespace kelvaro::testing_support
