#include "transport/connection_manager.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "transport/datagram_sink.h"
#include "transport/loopback_pair.h"
#include "util/bytes.h"

namespace kelvaro {
namespace {

using testing::Bytes;
using testing::DatagramSink;
using testing::loopbackAddress;

// Key 0 keeps both directions in clear, so the test can read every reply.
const Bytes kKeyRequest{0, 1, 0, 0, 0, 0, 1, 0};
const Bytes kKeyResponse{0, 2, 0, 0, 0, 0};
const Bytes kDisconnect{0, 7};

int deliveredMessages = 0;
void countMessage(ReceivedMessage&) { ++deliveredMessages; }

Bytes reliableAppMessage(uint32_t sequence) {
    Bytes packet{0, 3, 0, 0, 0, 0, 1};
    writeU32(packet.data(), 2, sequence);
    return packet;
}

Bytes ackOf(uint32_t sequence) {
    Bytes packet{0, 4, 0, 0, 0, 0};
    writeU32(packet.data(), 2, sequence);
    return packet;
}

Bytes keyResponseFor(const Bytes& keyRequest) {
    Bytes response{0, 2, 0, 0, 0, 0};
    writeU32(response.data(), 2, static_cast<uint32_t>(ConnectionCipher::negateKey(
                                      static_cast<int32_t>(readU32(keyRequest.data(), 2)))));
    return response;
}

// Loopback delivery is all but immediate; the pause makes sure a datagram
// just sent is waiting before the poll that should take it.
void settle() { sleepMs(5); }

class ConnectionManagerTest : public ::testing::Test {
protected:
    ConnectionManagerTest() { deliveredMessages = 0; }

    static void sendAndPoll(DatagramSink& from, ConnectionManager& manager, const Bytes& datagram) {
        from.sendTo(manager.endpoint.localPort(), datagram);
        settle();
        manager.poll();
    }

    static Connection& connectionAt(ConnectionManager& manager, int index) {
        auto* node = manager.connections.head();
        for (int i = 0; i < index; ++i) node = node->next;
        return *node->element;
    }

    ManualClock clock{100000};
    // Acknowledgements wait for the tick's flush: one leaving proves the tick ran.
    static constexpr TransportSettings kClustered{.ClusterMode = true};
};

TEST_F(ConnectionManagerTest, EleventhAddressIsServedOnlyOnceASlotIsFreed) {
    ConnectionManager manager(10, 0, countMessage);
    std::vector<std::unique_ptr<DatagramSink>> clients;
    for (int i = 0; i < 11; ++i) {
        clients.push_back(std::make_unique<DatagramSink>());
        sendAndPoll(*clients.back(), manager, kKeyRequest);
    }
    EXPECT_EQ(manager.connectionCount(), 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(clients[i]->drain(), std::vector<Bytes>{kKeyResponse}) << i;
    EXPECT_TRUE(clients[10]->drain().empty());
    EXPECT_EQ(manager.refusedCount(), 1u);

    sendAndPoll(*clients[3], manager, kDisconnect);
    EXPECT_EQ(manager.connectionCount(), 9);

    sendAndPoll(*clients[10], manager, kKeyRequest);
    EXPECT_EQ(manager.connectionCount(), 10);
    EXPECT_EQ(clients[10]->drain(), std::vector<Bytes>{kKeyResponse});
    EXPECT_EQ(manager.refusedCount(), 1u);
}

TEST_F(ConnectionManagerTest, DisconnectFreesItsConnectionInTheSamePollWithoutATick) {
    ConnectionManager manager(10, 0, countMessage, kClustered);
    DatagramSink client;
    sendAndPoll(client, manager, kKeyRequest);
    sendAndPoll(client, manager, reliableAppMessage(0));
    EXPECT_EQ(client.drain(), (std::vector<Bytes>{kKeyResponse, ackOf(0)}));

    // A reliable packet and a disconnect in one cluster: the acknowledgement
    // is queued, but the closed connection is freed before any flush.
    const Bytes reliable = reliableAppMessage(1);
    Bytes cluster{0, 14, static_cast<uint8_t>(reliable.size())};
    cluster.insert(cluster.end(), reliable.begin(), reliable.end());
    cluster.push_back(static_cast<uint8_t>(kDisconnect.size()));
    cluster.insert(cluster.end(), kDisconnect.begin(), kDisconnect.end());
    sendAndPoll(client, manager, cluster);

    EXPECT_EQ(deliveredMessages, 2);
    EXPECT_EQ(manager.connectionCount(), 0);
    EXPECT_TRUE(client.drain().empty());
}

TEST_F(ConnectionManagerTest, ClientModeTakesDatagramsOnlyFromThePeerItConnectedTo) {
    ConnectionManager manager(countMessage);
    DatagramSink peer, peerOtherPort;
    manager.connect(loopbackAddress(), peer.port());
    ASSERT_EQ(manager.connectionCount(), 1);
    const std::vector<Bytes> requests = peer.drain();
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_EQ(requests[0].size(), 8u);
    Connection& connection = connectionAt(manager, 0);

    sendAndPoll(peerOtherPort, manager, kKeyRequest);
    sendAndPoll(peerOtherPort, manager, keyResponseFor(requests[0]));
    EXPECT_EQ(manager.connectionCount(), 1);
    EXPECT_TRUE(connection.keyRequestPending);
    EXPECT_TRUE(peerOtherPort.drain().empty());
    EXPECT_EQ(manager.refusedCount(), 0u);  // strangers to a client are not refused clients

    sendAndPoll(peer, manager, keyResponseFor(requests[0]));
    EXPECT_FALSE(connection.keyRequestPending);
    EXPECT_EQ(peer.drain().size(), 2u);  // the sync request and the list request
}

TEST_F(ConnectionManagerTest, TwoConnectsToOneAddressMakeTwoConnectionsAndTheEarlierAnswers) {
    ConnectionManager manager(countMessage);
    DatagramSink peer;
    manager.connect(loopbackAddress(), peer.port());
    manager.connect(loopbackAddress(), peer.port());
    ASSERT_EQ(manager.connectionCount(), 2);
    const std::vector<Bytes> requests = peer.drain();
    ASSERT_EQ(requests.size(), 2u);

    sendAndPoll(peer, manager, keyResponseFor(requests[0]));
    Connection& earlier = connectionAt(manager, 0);
    Connection& later = connectionAt(manager, 1);
    EXPECT_FALSE(earlier.keyRequestPending);
    EXPECT_TRUE(later.keyRequestPending);

    // The later one hears nothing and ends by its silence limit; the earlier
    // one is kept alive by what its peer sends.
    clock.advance(15000);
    sendAndPoll(peer, manager, {0, 5});
    clock.advance(6000);
    manager.poll();  // the later one closes in its tick
    EXPECT_EQ(manager.connectionCount(), 2);
    EXPECT_TRUE(later.isClosed());
    manager.poll();
    ASSERT_EQ(manager.connectionCount(), 1);
    EXPECT_EQ(&connectionAt(manager, 0), &earlier);
    EXPECT_FALSE(earlier.isClosed());
}

TEST_F(ConnectionManagerTest, BurstOfFiveDatagramsTakesFivePollsEachWithATick) {
    ConnectionManager manager(10, 0, countMessage, kClustered);
    DatagramSink client;
    sendAndPoll(client, manager, kKeyRequest);
    client.drain();
    for (uint32_t sequence = 0; sequence < 5; ++sequence)
        client.sendTo(manager.endpoint.localPort(), reliableAppMessage(sequence));
    settle();

    Connection& connection = connectionAt(manager, 0);
    for (uint32_t sequence = 0; sequence < 5; ++sequence) {
        EXPECT_EQ(manager.poll(), 1);
        EXPECT_EQ(connection.packetsReceived, sequence + 2);
        EXPECT_EQ(deliveredMessages, static_cast<int>(sequence + 1));
        EXPECT_EQ(client.drain(), std::vector<Bytes>{ackOf(sequence)});
    }
    EXPECT_EQ(manager.poll(), 0);
    EXPECT_EQ(connection.packetsReceived, 6u);
}

TEST_F(ConnectionManagerTest, RemoveAllFreesEveryConnectionSilently) {
    ConnectionManager manager(10, 0, countMessage);
    DatagramSink first, second;
    sendAndPoll(first, manager, kKeyRequest);
    sendAndPoll(second, manager, kKeyRequest);
    first.drain();
    second.drain();
    ASSERT_EQ(manager.connectionCount(), 2);

    manager.removeAll();
    EXPECT_EQ(manager.connectionCount(), 0);
    EXPECT_TRUE(first.drain().empty());
    EXPECT_TRUE(second.drain().empty());

    // The address is a stranger again and gets a fresh connection.
    sendAndPoll(first, manager, kKeyRequest);
    EXPECT_EQ(manager.connectionCount(), 1);
    EXPECT_EQ(first.drain(), std::vector<Bytes>{kKeyResponse});
}

// A client-mode manager ignores strangers, so every datagram is taken and
// dropped: the count shows how many one poll takes.
TEST(ConnectionManagerPollTest, TakesUpToTheGivenNumberOfDatagramsAndSaysHowMany) {
    ConnectionManager manager(countMessage);
    UdpEndpoint stranger;
    ASSERT_GE(stranger.open(0), 0);
    stranger.setDestination(loopbackAddress(), manager.endpoint.localPort());
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(stranger.send(kDisconnect.data(), kDisconnect.size()));
    EXPECT_EQ(manager.poll(), 1u);
    EXPECT_EQ(manager.poll(3), 3u);
    EXPECT_EQ(manager.poll(5), 2u);
    EXPECT_EQ(manager.poll(5), 0u);
    EXPECT_EQ(manager.connectionCount(), 0);
}

}  // namespace
}  // namespace kelvaro
