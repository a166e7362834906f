#include "transport/connection_manager.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <arpa/inet.h>

#include "transport/answered_key_requests.h"
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
// Accepted and never answered: the packet that turns an answered key request
// into a connection without drawing anything.
const Bytes kBareSyncRequest{0, 5};

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
        sendAndPoll(*clients.back(), manager, kBareSyncRequest);
        // Peers that have shown they read us keep their slots.
        connectionAt(manager, manager.connectionCount() - 1).peerProven = true;
    }
    EXPECT_EQ(manager.connectionCount(), 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(clients[i]->drain(), std::vector<Bytes>{kKeyResponse}) << i;
    EXPECT_TRUE(clients[10]->drain().empty());
    EXPECT_EQ(manager.refusedCount(), 1u);

    sendAndPoll(*clients[3], manager, kDisconnect);
    EXPECT_EQ(manager.connectionCount(), 9);

    sendAndPoll(*clients[10], manager, kKeyRequest);
    sendAndPoll(*clients[10], manager, kBareSyncRequest);
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

    for (uint32_t sequence = 0; sequence < 5; ++sequence) {
        EXPECT_EQ(manager.poll(), 1);
        // The first packet after the key request made the connection.
        ASSERT_EQ(manager.connectionCount(), 1);
        Connection& connection = connectionAt(manager, 0);
        EXPECT_EQ(connection.packetsReceived, sequence + 2);
        EXPECT_EQ(deliveredMessages, static_cast<int>(sequence + 1));
        EXPECT_EQ(client.drain(), std::vector<Bytes>{ackOf(sequence)});
    }
    EXPECT_EQ(manager.poll(), 0);
    EXPECT_EQ(connectionAt(manager, 0).packetsReceived, 6u);
}

TEST_F(ConnectionManagerTest, RemoveAllFreesEveryConnectionSilently) {
    ConnectionManager manager(10, 0, countMessage);
    DatagramSink first, second;
    for (DatagramSink* client : {&first, &second}) {
        sendAndPoll(*client, manager, kKeyRequest);
        sendAndPoll(*client, manager, kBareSyncRequest);
    }
    first.drain();
    second.drain();
    ASSERT_EQ(manager.connectionCount(), 2);

    manager.removeAll();
    EXPECT_EQ(manager.connectionCount(), 0);
    EXPECT_TRUE(first.drain().empty());
    EXPECT_TRUE(second.drain().empty());

    // The address is a stranger again and gets a fresh connection.
    sendAndPoll(first, manager, kKeyRequest);
    sendAndPoll(first, manager, kBareSyncRequest);
    EXPECT_EQ(manager.connectionCount(), 1);
    EXPECT_EQ(first.drain(), std::vector<Bytes>{kKeyResponse});
}

// ---- Strangers on a listening port -----------------------------------------

// Forged sources: 127.x.y.z with a port of their own. Answers sent to them go
// nowhere (nothing listens there), and never leave this machine.
NetAddress forged(uint32_t i) {
    return NetAddress(htonl(0x7F000000u | ((i + 0x100) & 0xFFFFFFu)), static_cast<uint16_t>(2000 + i % 50000));
}

TEST_F(ConnectionManagerTest, DatagramsFromNewAddressesOtherThanKeyRequestsMakeAndDrawNothing) {
    ConnectionManager manager(10, 0, countMessage);
    const Bytes shortKeyRequest(kKeyRequest.begin(), kKeyRequest.end() - 1);
    Bytes longKeyRequest = kKeyRequest;
    longKeyRequest.push_back(0);
    Bytes clusteredKeyRequest{0, 14, 8};
    clusteredKeyRequest.insert(clusteredKeyRequest.end(), kKeyRequest.begin(), kKeyRequest.end());
    clusteredKeyRequest.insert(clusteredKeyRequest.end(), {2, 0, 7});
    const std::vector<Bytes> junk = {
        kDisconnect,  kBareSyncRequest,       {0, 5, 1, 2, 3, 4},   reliableAppMessage(0),
        ackOf(0),     kKeyResponse,           {0},                  {1, 0, 0, 0, 0},
        shortKeyRequest, longKeyRequest,      clusteredKeyRequest,  Bytes(520, 0xFF),
    };
    std::vector<std::unique_ptr<DatagramSink>> strangers;
    for (const Bytes& datagram : junk) {
        strangers.push_back(std::make_unique<DatagramSink>());
        sendAndPoll(*strangers.back(), manager, datagram);
    }
    EXPECT_EQ(manager.connectionCount(), 0);
    EXPECT_EQ(manager.answeredKeyRequests(), 0u);
    // Not even at what would have been their silence limit.
    clock.advance(25000);
    manager.poll();
    for (size_t i = 0; i < strangers.size(); ++i) EXPECT_TRUE(strangers[i]->drain().empty()) << i;
    EXPECT_EQ(manager.refusedCount(), 0u);
    EXPECT_EQ(deliveredMessages, 0);
}

TEST_F(ConnectionManagerTest, KeyRequestIsAnsweredOnceAndTakesNoSlotUntilTheNextPacket) {
    ConnectionManager manager(1, 0, countMessage);
    DatagramSink client, other;
    sendAndPoll(client, manager, kKeyRequest);
    sendAndPoll(client, manager, kKeyRequest);  // a repeat takes nothing
    sendAndPoll(other, manager, kKeyRequest);   // the one slot is still free
    EXPECT_EQ(client.drain(), std::vector<Bytes>{kKeyResponse});
    EXPECT_EQ(other.drain(), std::vector<Bytes>{kKeyResponse});
    EXPECT_EQ(manager.connectionCount(), 0);
    EXPECT_EQ(manager.answeredKeyRequests(), 2u);

    sendAndPoll(client, manager, reliableAppMessage(0));
    ASSERT_EQ(manager.connectionCount(), 1);
    EXPECT_EQ(client.drain(), std::vector<Bytes>{ackOf(0)});
    EXPECT_EQ(deliveredMessages, 1);
    Connection& connection = connectionAt(manager, 0);
    EXPECT_EQ(connection.packetsReceived, 2u);  // the key request counts, as it always has
    EXPECT_EQ(connection.packetsSent, 2u);
    // Its key request is spent: another one finds no handler.
    sendAndPoll(client, manager, kKeyRequest);
    EXPECT_TRUE(client.drain().empty());

    // The slot is taken now by a peer that has shown it reads us: the other
    // answered address finds no room, and is refused once.
    connection.peerProven = true;
    sendAndPoll(other, manager, reliableAppMessage(0));
    EXPECT_EQ(manager.connectionCount(), 1);
    EXPECT_EQ(manager.refusedCount(), 1u);
    EXPECT_EQ(manager.answeredKeyRequests(), 0u);
    sendAndPoll(other, manager, reliableAppMessage(0));
    EXPECT_TRUE(other.drain().empty());
    EXPECT_EQ(manager.refusedCount(), 1u);
}

TEST_F(ConnectionManagerTest, AnswerOlderThanTheSilenceLimitOpensNothing) {
    ConnectionManager manager(10, 0, countMessage, TransportSettings{.PacketSilenceLimit = 300});
    DatagramSink late, prompt;
    sendAndPoll(late, manager, kKeyRequest);
    clock.advance(2000);
    sendAndPoll(prompt, manager, kKeyRequest);
    clock.advance(1010);  // late's answer is now 301 ticks old
    sendAndPoll(late, manager, kBareSyncRequest);
    sendAndPoll(prompt, manager, kBareSyncRequest);
    EXPECT_EQ(manager.connectionCount(), 1);
    EXPECT_EQ(connectionAt(manager, 0).remoteAddress.hostPort(), prompt.port());
    // Gone means gone: a fresh key request is answered again.
    late.drain();
    sendAndPoll(late, manager, kKeyRequest);
    EXPECT_EQ(late.drain(), std::vector<Bytes>{kKeyResponse});
}

TEST_F(ConnectionManagerTest, KeyRequestFloodFromManyAddressesLeavesAnHonestClientItsWay) {
    ConnectionManager manager(10, 0, countMessage);
    for (uint32_t i = 0; i < 3 * AnsweredKeyRequests::kCapacity; ++i)
        EXPECT_EQ(manager.findOrAccept(forged(i), kKeyRequest.data(), 8), nullptr);
    EXPECT_EQ(manager.connectionCount(), 0);
    EXPECT_EQ(manager.answeredKeyRequests(), AnsweredKeyRequests::kCapacity);

    DatagramSink honest;
    sendAndPoll(honest, manager, kKeyRequest);
    // Interleaved with the flood, as long as fewer than a table's worth of
    // strangers come between its key request and its next packet.
    for (uint32_t i = 0; i < AnsweredKeyRequests::kCapacity - 1; ++i)
        manager.findOrAccept(forged(100000 + i), kKeyRequest.data(), 8);
    sendAndPoll(honest, manager, reliableAppMessage(0));
    EXPECT_EQ(manager.connectionCount(), 1);
    EXPECT_EQ(honest.drain(), (std::vector<Bytes>{kKeyResponse, ackOf(0)}));

    // A whole table's worth pushes an answer out: its next packet is junk.
    DatagramSink slow;
    sendAndPoll(slow, manager, kKeyRequest);
    for (uint32_t i = 0; i < AnsweredKeyRequests::kCapacity; ++i)
        manager.findOrAccept(forged(200000 + i), kKeyRequest.data(), 8);
    sendAndPoll(slow, manager, reliableAppMessage(0));
    EXPECT_EQ(manager.connectionCount(), 1);
    EXPECT_EQ(slow.drain(), std::vector<Bytes>{kKeyResponse});
}

TEST_F(ConnectionManagerTest, MaxHostsPerAddressCountsConnectionsFromOneAddressOnAnyPort) {
    ConnectionManager manager(10, 0, countMessage, TransportSettings{.MaxHostsPerAddress = 2});
    DatagramSink first, second, third;  // all on 127.0.0.1
    for (DatagramSink* client : {&first, &second, &third}) {
        sendAndPoll(*client, manager, kKeyRequest);
        sendAndPoll(*client, manager, kBareSyncRequest);
        if (manager.connectionCount() > 0)
            connectionAt(manager, manager.connectionCount() - 1).peerProven = true;
    }
    EXPECT_EQ(manager.connectionCount(), 2);
    EXPECT_TRUE(third.drain().empty());
    EXPECT_EQ(manager.refusedCount(), 1u);

    // Another address is not held back by them.
    const NetAddress elsewhere = forged(5);
    EXPECT_EQ(manager.findOrAccept(elsewhere, kKeyRequest.data(), 8), nullptr);
    EXPECT_NE(manager.findOrAccept(elsewhere, kBareSyncRequest.data(), 2), nullptr);
    EXPECT_EQ(manager.connectionCount(), 3);

    // Once one of the two is freed, the third gets in.
    sendAndPoll(first, manager, kDisconnect);
    sendAndPoll(third, manager, kKeyRequest);
    sendAndPoll(third, manager, kBareSyncRequest);
    EXPECT_EQ(third.drain(), std::vector<Bytes>{kKeyResponse});
    EXPECT_EQ(manager.connectionCount(), 3);
    EXPECT_EQ(manager.refusedCount(), 1u);
}

// Forged key request + packet pairs fill the slots, but an unproven
// connection holds its slot only until a newcomer needs it: the oldest gives
// way, so a newcomer stays for as many arrivals as there are unproven slots;
// a proven one never gives way. Under MaxHostsPerAddress, unproven
// connections count against their whole /24.
TEST_F(ConnectionManagerTest, ForgedPairsNeverLockANewcomerOut) {
    auto arrive = [](ConnectionManager& manager, const NetAddress& source) {
        manager.findOrAccept(source, kKeyRequest.data(), 8);
        return manager.findOrAccept(source, kBareSyncRequest.data(), 2);
    };
    auto holds = [](ConnectionManager& manager, const NetAddress& source) {
        for (auto* node = manager.connections.head(); node != nullptr; node = node->next)
            if (node->element->matchesAddress(source)) return true;
        return false;
    };
    // forged(i) for i below 256 share the /24 127.0.1.0; 1000 + i do not.
    auto apart = [](uint32_t i) { return forged(1000 + 256 * i); };

    ConnectionManager manager(3, 0, countMessage);
    for (uint32_t i = 0; i < 20; ++i) ASSERT_NE(arrive(manager, apart(i)), nullptr) << i;
    EXPECT_EQ(manager.connectionCount(), 3);
    EXPECT_EQ(manager.evictedCount(), 17u);
    EXPECT_TRUE(holds(manager, apart(17)) && holds(manager, apart(19)));

    const NetAddress honest = apart(100);
    Connection* newcomer = arrive(manager, honest);
    ASSERT_NE(newcomer, nullptr);
    arrive(manager, apart(20));
    arrive(manager, apart(21));
    EXPECT_TRUE(holds(manager, honest)) << "two later arrivals leave the newcomer its slot";
    newcomer->peerProven = true;
    for (uint32_t i = 22; i < 40; ++i) arrive(manager, apart(i));
    EXPECT_TRUE(holds(manager, honest));
    EXPECT_EQ(manager.refusedCount(), 0u);

    // Slots all proven: a newcomer is refused, as before.
    for (auto* node = manager.connections.head(); node != nullptr; node = node->next)
        node->element->peerProven = true;
    EXPECT_EQ(arrive(manager, apart(40)), nullptr);
    EXPECT_EQ(manager.refusedCount(), 1u);

    ConnectionManager perAddress(10, 0, countMessage, TransportSettings{.MaxHostsPerAddress = 1});
    for (uint32_t i = 0; i < 20; ++i) ASSERT_NE(arrive(perAddress, forged(i)), nullptr) << i;
    EXPECT_EQ(perAddress.connectionCount(), 1) << "one unproven slot for the /24";
    EXPECT_TRUE(holds(perAddress, forged(19)));
    ASSERT_NE(arrive(perAddress, apart(1)), nullptr);
    EXPECT_EQ(perAddress.connectionCount(), 2) << "another /24 has its own";
    // A proven connection counts only for its own address.
    connectionAt(perAddress, 0).peerProven = true;
    ASSERT_NE(arrive(perAddress, forged(30)), nullptr);
    EXPECT_EQ(perAddress.connectionCount(), 3);
    EXPECT_EQ(perAddress.refusedCount(), 0u);
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
