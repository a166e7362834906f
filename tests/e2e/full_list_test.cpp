// A directory holding more zones than one 50,000-byte server list can carry:
// successive lists take the zones in turn, so clients and downloading peers
// see every zone, while a list that holds everything stays as it always was.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "e2e/list_fetch.h"
#include "e2e/network_namespaces.h"
#include "e2e/server_process.h"
#include "service/server_list.h"
#include "support/server_list_wire.h"
#include "support/udp_wait.h"
#include "support/zone_wire.h"
#include "zones/zone_datagrams.h"

namespace kelvaro::testing_support {
namespace {

constexpr size_t kBatch = 50;
constexpr int kFenceAttempts = 2000;
constexpr int kSyncWaitMs = 20000;

// No pinging, no downloads, and no sleep, so a thousand updates go in quickly.
constexpr const char* kDirectorySettings = "[CPU]\nIterationSleepTime=0\n";

// Zone i: every fifth has a 255-character description, the rest short ones;
// 1,000 of them need about 137,000 bytes, three lists' worth.
std::vector<ZoneUpdate> zones(int count) {
    std::vector<ZoneUpdate> made;
    for (int i = 0; i < count; ++i) {
        const std::string description =
            i % 5 == 0 ? std::string(255, static_cast<char>('a' + i % 26)) : "zone " + std::to_string(i);
        made.push_back({static_cast<uint16_t>(10000 + i), static_cast<uint16_t>(i % 50), 0,
                        static_cast<uint32_t>(i), "Zone " + std::to_string(i), "pw", description});
    }
    return made;
}

// Waits for the count reply carrying echo on socket; the server's output is
// drained meanwhile. Nothing when none came.
std::optional<uint32_t> countReply(UdpEndpoint& socket, uint32_t echo, ServerProcess& server) {
    for (int attempt = 0; attempt < kFenceAttempts; ++attempt) {
        server.drain();
        while (auto reply = socket.poll()) {
            uint32_t count = 0;
            if (readCountReply(reply->data(), reply->bytes.size(), echo, count)) return count;
        }
        sleepMs(1);
    }
    return std::nullopt;
}

// Announces every zone to the server on address:4991 from socket, a batch at
// a time: the update port takes datagrams in order, so the count reply to a
// query sent after a batch says the whole batch has been read.
::testing::AssertionResult announceAll(UdpEndpoint& socket, uint32_t address,
                                       ServerProcess& server,
                                       const std::vector<ZoneUpdate>& updates) {
    socket.setDestination(address, kServerUpdatePort);
    for (size_t first = 0; first < updates.size(); first += kBatch) {
        for (size_t i = first; i < std::min(first + kBatch, updates.size()); ++i) {
            const auto bytes = updateDatagram(updates[i]);
            if (!socket.send(bytes.data(), bytes.size()))
                return ::testing::AssertionFailure() << "update " << i << " not sent";
        }
        const uint32_t echo = 0xC0DE0000u + static_cast<uint32_t>(first);
        const auto query = le32(echo);
        if (!socket.send(query.data(), query.size()))
            return ::testing::AssertionFailure() << "count query not sent";
        const auto count = countReply(socket, echo, server);
        if (!count) return ::testing::AssertionFailure() << "no count reply after " << first;
    }
    return ::testing::AssertionSuccess();
}

std::vector<ListedZone> listed(const std::vector<ZoneUpdate>& updates) {
    std::vector<ListedZone> zones;
    for (const ZoneUpdate& update : updates)
        zones.push_back({kLoopback, update.port, update.population, update.zoneFlag,
                         update.zoneWord, update.name, update.description});
    return zones;
}

// The ports of a list's entries; fails the test unless it is whole entries.
std::vector<uint16_t> portsOf(const Bytes& list) {
    std::vector<uint16_t> ports;
    uint32_t position = 1;
    ZoneEntry entry;
    const auto length = static_cast<uint32_t>(list.size());
    while (readZoneEntry(list.data(), length, position, entry)) ports.push_back(entry.port);
    EXPECT_EQ(position, length) << "bytes after the last whole entry";
    return ports;
}

class FullListTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.waitForLine(kBannerLine));
        ASSERT_GE(zoneSocket.open(0), 0);
    }

    std::optional<Bytes> fetch() {
        ListClient client;
        Connection* connection = client.connect(kLoopback, kServerClientPort);
        auto list = awaitList(client, connection, server);
        connection->disconnect(true);
        return list;
    }

    ServerProcess server{kDirectorySettings};
    UdpEndpoint zoneSocket;
};

TEST_F(FullListTest, ThreeListsOfAThousandZonesCoverEveryZoneOnce) {
    const std::vector<ZoneUpdate> updates = zones(1000);
    ASSERT_TRUE(announceAll(zoneSocket, kLoopback, server, updates));

    std::set<uint16_t> seen;
    for (int fetchIndex = 0; fetchIndex < 3; ++fetchIndex) {
        SCOPED_TRACE("fetch " + std::to_string(fetchIndex));
        const auto list = fetch();
        ASSERT_TRUE(list.has_value());
        EXPECT_LE(list->size(), kServerListLimit);
        const std::vector<uint16_t> ports = portsOf(*list);
        const std::set<uint16_t> distinct(ports.begin(), ports.end());
        EXPECT_EQ(distinct.size(), ports.size()) << "a zone listed twice";
        seen.insert(ports.begin(), ports.end());
        EXPECT_TRUE(server.waitForLine("---Server list full: " + std::to_string(ports.size()) +
                                       " of 1000 zones"));
    }
    EXPECT_EQ(seen.size(), updates.size());
}

TEST_F(FullListTest, ListOfAHundredZonesIsTheWholeListInOrder) {
    const std::vector<ZoneUpdate> updates = zones(100);
    ASSERT_TRUE(announceAll(zoneSocket, kLoopback, server, updates));
    for (int fetchIndex = 0; fetchIndex < 2; ++fetchIndex) {
        const auto list = fetch();
        ASSERT_TRUE(list.has_value());
        EXPECT_EQ(*list, serverList(listed(updates))) << "fetch " << fetchIndex;
    }
    EXPECT_EQ(server.output().find("---Server list full"), std::string::npos);
}

// The query tool says on stderr when the list it got was full, and with
// --all goes round the directory until it has printed every zone once.
TEST_F(FullListTest, QueryToolSaysTheListWasFullAndAllFetchesEveryZone) {
    constexpr const char* kQueryTool = KELVARO_TOOLS_DIR "/kelvaro_query";
    constexpr int kToolWaitMs = 30000;
    const std::vector<ZoneUpdate> updates = zones(700);
    ASSERT_TRUE(announceAll(zoneSocket, kLoopback, server, updates));
    const auto portsIn = [](const std::string& tsv) {
        std::vector<uint16_t> ports;
        for (size_t start = 0, end; (end = tsv.find('\n', start)) != std::string::npos;
             start = end + 1) {
            const size_t tab = tsv.find('\t', start);
            ports.push_back(static_cast<uint16_t>(std::atoi(tsv.c_str() + tab + 1)));
        }
        return ports;
    };

    ToolRun once(kQueryTool, {"list", "127.0.0.1", "--format", "tsv", "--timeout-ms", "10000"});
    const ToolResult partial = once.wait(&server, kToolWaitMs);
    EXPECT_EQ(partial.exitCode, 0) << partial.err;
    const std::vector<uint16_t> some = portsIn(partial.out);
    EXPECT_GT(some.size(), 0u);
    EXPECT_LT(some.size(), updates.size());
    EXPECT_EQ(partial.err, "kelvaro_query: the list was full: " + std::to_string(some.size()) +
                               " of 700 zones (--all fetches every zone)\n");

    ToolRun all(kQueryTool,
                {"list", "127.0.0.1", "--all", "--format", "tsv", "--timeout-ms", "10000"});
    const ToolResult whole = all.wait(&server, kToolWaitMs);
    EXPECT_EQ(whole.exitCode, 0) << whole.err;
    EXPECT_EQ(whole.err, "");
    const std::vector<uint16_t> every = portsIn(whole.out);
    const std::set<uint16_t> distinct(every.begin(), every.end());
    EXPECT_EQ(every.size(), updates.size());
    std::set<uint16_t> expected;
    for (const ZoneUpdate& update : updates) expected.insert(update.port);
    EXPECT_EQ(distinct, expected);
}

// A peer that keeps downloading from a directory of 1,000 zones gets a
// different part of the list each time, and so in the end all of it.
TEST(FullListFederationTest, PeerDownloadingRepeatedlyEndsUpListingEveryZone) {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    NamespacePair namespaces;
    ASSERT_TRUE(namespaces.ready());
    ServerProcess directory(kDirectorySettings, false, namespaces.first);
    // Downloads again as soon as the last has gone; a short silence limit
    // retires the downloads started before the veth pair is up.
    ServerProcess peer(std::string("[Core]\nPacketSilenceLimit=100\n[Directory]\nDownloadTime=0\n"
                                   "IP=") + kFirstAddress + "\n" + kDirectorySettings,
                       false, namespaces.second);
    ASSERT_TRUE(directory.waitForLine(kBannerLine));
    ASSERT_TRUE(peer.waitForLine(kBannerLine));

    UdpEndpoint zoneSocket;
    UdpEndpoint peerSocket;
    {
        NamespaceScope scope(namespaces.first);
        ASSERT_TRUE(scope.entered);
        ASSERT_GE(zoneSocket.open(0), 0);
    }
    {
        NamespaceScope scope(namespaces.second);
        ASSERT_TRUE(scope.entered);
        ASSERT_GE(peerSocket.open(0), 0);
    }
    ASSERT_TRUE(announceAll(zoneSocket, kLoopback, directory, zones(1000)));
    ASSERT_TRUE(namespaces.connect());

    peerSocket.setDestination(kLoopback, kServerUpdatePort);
    std::optional<uint32_t> count;
    for (int waited = 0; waited < kSyncWaitMs && count != 1000u; waited += 50) {
        const uint32_t echo = 0xFEED0000u + static_cast<uint32_t>(waited);
        const auto query = le32(echo);
        ASSERT_TRUE(peerSocket.send(query.data(), query.size()));
        directory.drain();
        count = countReply(peerSocket, echo, peer);
        sleepMs(50);
    }
    ASSERT_TRUE(count.has_value());
    EXPECT_EQ(*count, 1000u);
    EXPECT_NE(directory.output().find("---Server list full: "), std::string::npos);
}

}  // namespace
}  // namespace kelvaro::testing_support
