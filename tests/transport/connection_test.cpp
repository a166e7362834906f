#include "transport/connection.h"

#include <gtest/gtest.h>

#include "transport/loopback_pair.h"

namespace kelvaro {
namespace {

using namespace testing;

constexpr uint8_t kKeyRequest = static_cast<uint8_t>(CorePacketType::KeyRequest);
constexpr uint8_t kKeyResponse = static_cast<uint8_t>(CorePacketType::KeyResponse);
constexpr uint8_t kReliable = static_cast<uint8_t>(CorePacketType::Reliable);
constexpr uint8_t kAck = static_cast<uint8_t>(CorePacketType::Ack);
constexpr uint8_t kSyncRequest = static_cast<uint8_t>(CorePacketType::SyncRequest);
constexpr uint8_t kSyncResponse = static_cast<uint8_t>(CorePacketType::SyncResponse);
constexpr uint8_t kDisconnect = static_cast<uint8_t>(CorePacketType::Disconnect);
constexpr uint8_t kChunkBody = static_cast<uint8_t>(CorePacketType::ChunkBody);
constexpr uint8_t kChunkTail = static_cast<uint8_t>(CorePacketType::ChunkTail);
constexpr uint8_t kStreamChunk = static_cast<uint8_t>(CorePacketType::StreamChunk);
constexpr uint8_t kCluster = static_cast<uint8_t>(CorePacketType::Cluster);

const Bytes kListRequest = {1, 0, 0, 0, 0};

int32_t keyIn(const Bytes& packet) { return static_cast<int32_t>(sequenceOf(packet)); }

// Delivers plain bytes to one connection as if they had just arrived.
void arrive(Connection& connection, Bytes bytes) {
    connection.receive(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

Bytes keyRequest(int32_t key) {
    return corePacket(CorePacketType::KeyRequest, le32(static_cast<uint32_t>(key)) + Bytes{1, 0});
}

Bytes keyResponse(int32_t key) {
    return corePacket(CorePacketType::KeyResponse, le32(static_cast<uint32_t>(key)));
}

Bytes syncRequest(uint32_t tick) { return corePacket(CorePacketType::SyncRequest, le32(tick) + le32(0) + le32(0)); }

// ---- Key exchange ----------------------------------------------------------

TEST(KeyExchangeTest, NegatedKeyTurnsEncryptionOnAndTheListRequestGetsThrough) {
    LoopbackPair pair;
    pair.connect();

    const auto requests = pair.coreSentBy(Side::Client, CorePacketType::KeyRequest);
    const auto responses = pair.coreSentBy(Side::Server, CorePacketType::KeyResponse);
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_EQ(responses.size(), 1u);
    ASSERT_EQ(requests[0].size(), 8u);
    EXPECT_EQ(requests[0][6], 1);
    EXPECT_EQ(requests[0][7], 0);
    const int32_t offered = keyIn(requests[0]);
    EXPECT_LT(offered, 0);
    EXPECT_EQ(offered, pair.client->cipher.ownKey);
    ASSERT_EQ(responses[0].size(), 6u);
    EXPECT_EQ(keyIn(responses[0]), -offered);

    EXPECT_EQ(pair.client->cipher.key, -offered);
    EXPECT_EQ(pair.server->cipher.key, -offered);
    EXPECT_FALSE(pair.client->keyRequestPending);
    EXPECT_FALSE(pair.client->syncPending);

    // The list request reached the server's handler for type 1, and it went
    // over the wire encrypted.
    EXPECT_EQ(pair.recorder.receivedBy(pair.server.get()), std::vector<Bytes>{kListRequest});
    const auto reliable = pair.coreSentBy(Side::Client, CorePacketType::Reliable);
    ASSERT_EQ(reliable.size(), 1u);
    EXPECT_EQ(reliable[0], corePacket(CorePacketType::Reliable, le32(0) + kListRequest));
    bool sawCipherText = false;
    for (const WireRecord& record : pair.wireLog)
        if (record.from == Side::Client && record.plain == reliable[0]) sawCipherText = record.wire != record.plain;
    EXPECT_TRUE(sawCipherText);
    EXPECT_EQ(pair.server->nextExpected, 1u);
    EXPECT_EQ(pair.client->inTransit.count(), 0);  // acknowledged
}

TEST(KeyExchangeTest, ListRequestCarriesTheMinimumSetBeforeTheKeyResponse) {
    LoopbackPair pair;
    pair.client->listMinimum = 0x01020304;
    pair.connect();
    const Bytes expected = {1, 4, 3, 2, 1};
    EXPECT_EQ(pair.recorder.receivedBy(pair.server.get()), std::vector<Bytes>{expected});
}

TEST(KeyExchangeTest, HandlerTablesOpenAsTheExchangeProceeds) {
    LoopbackPair pair;
    Connection& server = *pair.server;
    Connection& client = *pair.client;
    for (int index = 0; index < 256; ++index) {
        const auto type = static_cast<uint8_t>(index);
        const bool serverHas = type == kKeyRequest || type == kDisconnect;
        const bool clientHas = type == kKeyResponse || type == kSyncRequest || type == kDisconnect;
        EXPECT_EQ(server.coreHandlers.isSet(type), serverHas) << int(type);
        EXPECT_EQ(client.coreHandlers.isSet(type), clientHas) << int(type);
        EXPECT_EQ(server.appHandlers.isSet(type), type == 0) << int(type);
        EXPECT_EQ(client.appHandlers.isSet(type), type == 0) << int(type);
    }

    pair.connect();
    const uint8_t serverAfter[] = {kReliable, kAck, kSyncRequest, kDisconnect,
                                   kChunkBody, kChunkTail, kStreamChunk, kCluster};
    const uint8_t clientAfter[] = {kReliable, kAck, kSyncResponse, kDisconnect,
                                   kChunkBody, kChunkTail, kStreamChunk, kCluster};
    for (int index = 0; index < 256; ++index) {
        const auto type = static_cast<uint8_t>(index);
        bool serverHas = false, clientHas = false;
        for (uint8_t t : serverAfter) serverHas |= t == type;
        for (uint8_t t : clientAfter) clientHas |= t == type;
        EXPECT_EQ(server.coreHandlers.isSet(type), serverHas) << int(type);
        EXPECT_EQ(client.coreHandlers.isSet(type), clientHas) << int(type);
        EXPECT_EQ(server.appHandlers.isSet(type), type <= 1) << int(type);
        EXPECT_EQ(client.appHandlers.isSet(type), type <= 1) << int(type);
    }
}

TEST(KeyExchangeTest, OwnKeyEchoedBackTurnsEncryptionOff) {
    LoopbackPair pair;
    pair.faults(Side::Client).blocked = true;  // the test answers instead of the server
    pair.client->sendKeyRequest();
    pair.pump();
    const int32_t own = pair.client->cipher.ownKey;
    ASSERT_NE(own, 0);

    arrive(*pair.client, keyResponse(own));
    pair.pump();

    EXPECT_EQ(pair.client->cipher.key, 0);
    EXPECT_FALSE(pair.client->keyRequestPending);
    EXPECT_TRUE(pair.client->coreHandlers.isSet(kReliable));
    // Everything after it leaves in clear: the sync request and the list request.
    const Bytes listRequestPacket = corePacket(CorePacketType::Reliable, le32(0) + kListRequest);
    bool sawSync = false, sawList = false;
    for (const WireRecord& record : pair.wireLog) {
        if (record.from != Side::Client) continue;
        sawSync |= record.wire.size() == 14 && record.wire[1] == kSyncRequest;
        sawList |= record.wire == listRequestPacket;
    }
    EXPECT_TRUE(sawSync);
    EXPECT_TRUE(sawList);
}

TEST(KeyExchangeTest, AnyOtherKeyLeavesNoKeyStopsRetriesAndTheSilenceLimitCloses) {
    LoopbackPair pair;
    pair.faults(Side::Client).blocked = true;
    pair.client->sendKeyRequest();
    pair.pump();
    const int32_t own = pair.client->cipher.ownKey;

    arrive(*pair.client, keyResponse(own + 1));
    EXPECT_FALSE(pair.client->keyRequestPending);
    EXPECT_EQ(pair.client->cipher.key, 0);
    EXPECT_TRUE(pair.client->coreHandlers.isSet(kKeyResponse));
    EXPECT_FALSE(pair.client->coreHandlers.isSet(kReliable));
    EXPECT_FALSE(pair.client->appHandlers.isSet(1));
    EXPECT_EQ(pair.client->nextSequence, 0u);  // no list request

    // Well past the key retry interval nothing more is sent...
    pair.run(1999, 10);
    EXPECT_EQ(pair.coreSentBy(Side::Client, CorePacketType::KeyRequest).size(), 1u);
    EXPECT_FALSE(pair.client->isClosed());
    // ...until the silence limit ends it with two disconnect packets.
    pair.run(2, 10);
    EXPECT_TRUE(pair.client->isClosed());
    EXPECT_EQ(pair.coreSentBy(Side::Client, CorePacketType::Disconnect).size(), 2u);
}

TEST(KeyExchangeTest, UnansweredKeyRequestIsRepeatedWithTheSameKey) {
    LoopbackPair pair;
    pair.faults(Side::Client).blocked = true;
    pair.client->sendKeyRequest();
    pair.pump();
    // Sixteen times the initial time-out of 100 ticks, strictly exceeded.
    pair.clock.advance(16000);
    pair.tickBoth();
    pair.pump();
    EXPECT_EQ(pair.coreSentBy(Side::Client, CorePacketType::KeyRequest).size(), 1u);
    pair.run(1, 10);
    const auto requests = pair.coreSentBy(Side::Client, CorePacketType::KeyRequest);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1], requests[0]);
}

TEST(KeyExchangeTest, SecondKeyRequestIsNotAnswered) {
    LoopbackPair pair;
    pair.connect();
    const int32_t serverKey = pair.server->cipher.key;
    pair.inject(Side::Client, keyRequest(-777));
    EXPECT_EQ(pair.coreSentBy(Side::Server, CorePacketType::KeyResponse).size(), 1u);
    EXPECT_EQ(pair.server->cipher.key, serverKey);
}

TEST(KeyExchangeTest, ClientAnswersSyncRequestsOnlyBeforeItsKeyExchange) {
    LoopbackPair pair;
    pair.inject(Side::Server, syncRequest(4242));
    const auto first = pair.coreSentBy(Side::Client, CorePacketType::SyncResponse);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(first[0].size(), 10u);
    EXPECT_EQ(sequenceOf(first[0]), 4242u);

    pair.connect();
    pair.inject(Side::Server, syncRequest(4343));
    EXPECT_EQ(pair.coreSentBy(Side::Client, CorePacketType::SyncResponse).size(), 1u);
}

TEST(KeyExchangeTest, ApplicationMessagesBeforeTheExchangeAreDroppedOnBothSides) {
    LoopbackPair pair;
    pair.inject(Side::Client, kListRequest);
    pair.inject(Side::Server, Bytes{1, 9, 9, 9});
    EXPECT_TRUE(pair.recorder.deliveries.empty());
    // Dropped, but still counted as heard.
    EXPECT_EQ(pair.server->packetsReceived, 1u);
    EXPECT_EQ(pair.client->packetsReceived, 1u);
}

// ---- Core packet lengths ---------------------------------------------------

TEST(CorePacketLengthTest, KeyRequestIsExactlyEightBytes) {
    LoopbackPair pair;
    pair.inject(Side::Client, keyRequest(-5) + Bytes{0});     // 9 bytes
    Bytes seven = keyRequest(-5);
    seven.pop_back();
    pair.inject(Side::Client, seven);
    EXPECT_TRUE(pair.coreSentBy(Side::Server, CorePacketType::KeyResponse).empty());
    EXPECT_TRUE(pair.server->coreHandlers.isSet(kKeyRequest));

    pair.inject(Side::Client, keyRequest(-5));
    const auto responses = pair.coreSentBy(Side::Server, CorePacketType::KeyResponse);
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0], keyResponse(5));
}

TEST(CorePacketLengthTest, KeyResponseIsSixOrSevenBytes) {
    LoopbackPair pair;
    pair.faults(Side::Client).blocked = true;
    pair.client->sendKeyRequest();
    const int32_t answer = -pair.client->cipher.ownKey;
    Bytes five = keyResponse(answer);
    five.pop_back();
    arrive(*pair.client, five);
    arrive(*pair.client, keyResponse(answer) + Bytes{0, 0});  // 8 bytes
    EXPECT_TRUE(pair.client->keyRequestPending);
    EXPECT_EQ(pair.client->cipher.key, 0);

    arrive(*pair.client, keyResponse(answer) + Bytes{0x55});  // 7 bytes: the extra byte is ignored
    EXPECT_FALSE(pair.client->keyRequestPending);
    EXPECT_EQ(pair.client->cipher.key, answer);
}

TEST(CorePacketLengthTest, ReliableNeedsAPayloadByte) {
    LoopbackPair pair;
    pair.connect();
    pair.recorder.clear();
    const uint32_t next = pair.server->nextExpected;
    const size_t acksBefore = pair.coreSentBy(Side::Server, CorePacketType::Ack).size();

    pair.inject(Side::Client, corePacket(CorePacketType::Reliable, le32(next)));
    EXPECT_EQ(pair.coreSentBy(Side::Server, CorePacketType::Ack).size(), acksBefore);
    EXPECT_EQ(pair.server->nextExpected, next);

    pair.inject(Side::Client, corePacket(CorePacketType::Reliable, le32(next) + Bytes{1}));
    EXPECT_EQ(pair.coreSentBy(Side::Server, CorePacketType::Ack).size(), acksBefore + 1);
    EXPECT_EQ(pair.server->nextExpected, next + 1);
    EXPECT_EQ(pair.recorder.receivedBy(pair.server.get()), std::vector<Bytes>{Bytes{1}});
}

TEST(CorePacketLengthTest, AckIsExactlySixBytes) {
    LoopbackPair pair;
    pair.connect();
    pair.faults(Side::Server).blocked = true;
    const Bytes message = {1, 2, 3};
    pair.server->send(message.data(), 3, true);
    pair.pump();
    ASSERT_EQ(pair.server->inTransit.count(), 1);

    pair.inject(Side::Client, corePacket(CorePacketType::Ack, le32(0) + Bytes{0}));
    Bytes five = corePacket(CorePacketType::Ack, le32(0));
    five.pop_back();
    pair.inject(Side::Client, five);
    EXPECT_EQ(pair.server->inTransit.count(), 1);
    pair.inject(Side::Client, corePacket(CorePacketType::Ack, le32(0)));
    EXPECT_EQ(pair.server->inTransit.count(), 0);
}

TEST(CorePacketLengthTest, SyncRequestIsTwoSixOrFourteenBytes) {
    LoopbackPair pair;
    pair.connect();
    const Bytes full = syncRequest(0x01020304);
    size_t answered = pair.coreSentBy(Side::Server, CorePacketType::SyncResponse).size();
    for (size_t length = 1; length <= full.size() + 1; ++length) {
        Bytes packet(full.begin(), full.begin() + static_cast<long>(std::min(length, full.size())));
        if (length > full.size()) packet.push_back(0);
        pair.inject(Side::Client, packet);
        const auto responses = pair.coreSentBy(Side::Server, CorePacketType::SyncResponse);
        const bool expected = length == 6 || length == 14;
        ASSERT_EQ(responses.size(), answered + (expected ? 1 : 0)) << "length " << length;
        if (expected) {
            EXPECT_EQ(responses.back().size(), 10u);
            EXPECT_EQ(sequenceOf(responses.back()), 0x01020304u);
            ++answered;
        }
    }
    EXPECT_FALSE(pair.server->isClosed());
}

TEST(CorePacketLengthTest, SyncResponseIsExactlyTenBytes) {
    LoopbackPair pair;
    pair.connect();
    pair.faults(Side::Client).blocked = true;
    pair.client->sendSyncRequest();
    const uint32_t tick = pair.client->syncTick;
    const Bytes response = corePacket(CorePacketType::SyncResponse, le32(tick) + le32(0));
    pair.inject(Side::Server, response + Bytes{0});
    pair.inject(Side::Server, Bytes(response.begin(), response.end() - 1));
    EXPECT_TRUE(pair.client->syncPending);
    pair.inject(Side::Server, response);
    EXPECT_FALSE(pair.client->syncPending);
}

TEST(CorePacketLengthTest, DisconnectIsExactlyTwoBytes) {
    LoopbackPair pair;
    pair.connect();
    pair.inject(Side::Client, corePacket(CorePacketType::Disconnect, {0}));
    EXPECT_FALSE(pair.server->isClosed());
    pair.inject(Side::Client, corePacket(CorePacketType::Disconnect));
    EXPECT_TRUE(pair.server->isClosed());
    // A peer's disconnect is not answered.
    EXPECT_TRUE(pair.coreSentBy(Side::Server, CorePacketType::Disconnect).empty());
}

TEST(CorePacketLengthTest, ChunkPacketsNeedOneDataByte) {
    LoopbackPair pair;
    pair.connect();
    pair.recorder.clear();
    pair.inject(Side::Client, corePacket(CorePacketType::ChunkBody));
    EXPECT_EQ(pair.server->chunkBuffer.size(), 0u);
    pair.inject(Side::Client, corePacket(CorePacketType::ChunkBody, {1}));
    EXPECT_EQ(pair.server->chunkBuffer.size(), 1u);
    pair.inject(Side::Client, corePacket(CorePacketType::ChunkTail));
    EXPECT_TRUE(pair.recorder.deliveries.empty());
    pair.inject(Side::Client, corePacket(CorePacketType::ChunkTail, {7}));
    EXPECT_EQ(pair.recorder.receivedBy(pair.server.get()), std::vector<Bytes>{Bytes({1, 7})});
}

TEST(CorePacketLengthTest, StreamChunkNeedsTotalAndOneDataByte) {
    LoopbackPair pair;
    pair.connect();
    pair.recorder.clear();
    pair.inject(Side::Client, corePacket(CorePacketType::StreamChunk, le32(1)));
    EXPECT_EQ(pair.server->streamTotal, 0u);
    pair.inject(Side::Client, corePacket(CorePacketType::StreamChunk, le32(1) + Bytes{1}));
    EXPECT_EQ(pair.recorder.receivedBy(pair.server.get()), std::vector<Bytes>{Bytes{1}});
}

TEST(CorePacketLengthTest, ClusterIsAtLeastSixBytes) {
    LoopbackPair pair;
    pair.connect();
    pair.recorder.clear();
    pair.inject(Side::Client, corePacket(CorePacketType::Cluster, {2, 1, 7}));
    EXPECT_TRUE(pair.recorder.deliveries.empty());
    pair.inject(Side::Client, corePacket(CorePacketType::Cluster, {3, 1, 7, 8}));
    EXPECT_EQ(pair.recorder.receivedBy(pair.server.get()), std::vector<Bytes>{Bytes({1, 7, 8})});
}

TEST(CorePacketLengthTest, ShortAndUnknownCorePacketsAreDroppedButCounted) {
    LoopbackPair pair;
    pair.connect();
    const uint32_t sentBefore = pair.server->packetsSent;
    const uint32_t receivedBefore = pair.server->packetsReceived;
    const Bytes strays[] = {{0}, {0, 0}, {0, 11, 1, 2, 3, 4, 5, 6}, {0, 13, 1, 2, 3, 4, 5, 6},
                            {0, 15, 1, 2, 3, 4, 5, 6}, {0, 255, 1, 2, 3, 4, 5, 6}, {0, 1, 0, 0, 0, 0, 1, 0}};
    for (const Bytes& stray : strays) pair.inject(Side::Client, stray);
    EXPECT_EQ(pair.server->packetsSent, sentBefore);
    EXPECT_EQ(pair.server->packetsReceived, receivedBefore + std::size(strays));
    EXPECT_FALSE(pair.server->isClosed());
}

// ---- Synchronisation, silence and addresses --------------------------------

TEST(ConnectionTest, SyncResponseMeasuresTheRoundTrip) {
    LoopbackPair pair;
    pair.connect();  // the first sample is 0 ticks: nothing moved the clock
    EXPECT_EQ(pair.client->roundTrip, 0u);
    EXPECT_EQ(pair.client->roundTripDeviation, 1u);

    pair.client->sendSyncRequest();
    pair.clock.advance(250);
    pair.pump();
    // Samples 0 and 25: mean 25 / 3 = 8, squares 64 + 289 = 353, 353 / 2 = 176,
    // root 13, plus one.
    EXPECT_EQ(pair.client->roundTrip, 25u);
    EXPECT_EQ(pair.client->roundTripDeviation, 14u);
    // A listening connection never measures.
    EXPECT_EQ(pair.server->roundTrip, 100u);
    EXPECT_EQ(pair.server->roundTripDeviation, 0u);
}

TEST(ConnectionTest, UnansweredSyncRequestIsRepeatedAfterTheTimeOut) {
    LoopbackPair pair;
    pair.connect();  // time-out now 0 + 1 tick
    pair.faults(Side::Client).blocked = true;
    pair.client->sendSyncRequest();
    pair.pump();
    ASSERT_EQ(pair.coreSentBy(Side::Client, CorePacketType::SyncRequest).size(), 2u);
    pair.run(1, 10);  // one tick old: not yet past the time-out
    EXPECT_EQ(pair.coreSentBy(Side::Client, CorePacketType::SyncRequest).size(), 2u);
    pair.run(1, 10);
    EXPECT_EQ(pair.coreSentBy(Side::Client, CorePacketType::SyncRequest).size(), 3u);
}

TEST(ConnectionTest, SilenceLimitSendsTwoDisconnectPackets) {
    LoopbackPair pair;
    pair.connect();
    pair.clock.advance(20000);  // exactly PacketSilenceLimit ticks
    pair.tickBoth();
    pair.pump();
    EXPECT_FALSE(pair.client->isClosed());
    EXPECT_FALSE(pair.server->isClosed());

    pair.run(1, 10);
    EXPECT_TRUE(pair.client->isClosed());
    EXPECT_TRUE(pair.server->isClosed());
    const auto disconnects = pair.coreSentBy(Side::Server, CorePacketType::Disconnect);
    ASSERT_EQ(disconnects.size(), 2u);
    EXPECT_EQ(disconnects[0], corePacket(CorePacketType::Disconnect));
    EXPECT_EQ(pair.coreSentBy(Side::Client, CorePacketType::Disconnect).size(), 2u);
}

TEST(ConnectionTest, AnyDatagramWithinTheSilenceLimitKeepsTheConnection) {
    LoopbackPair pair;
    pair.connect();
    for (int i = 0; i < 3; ++i) {
        pair.run(200, 100);  // 2000 ticks
        pair.inject(Side::Client, {0, 99});
        pair.inject(Side::Server, {0, 99});
    }
    EXPECT_FALSE(pair.server->isClosed());
    EXPECT_FALSE(pair.client->isClosed());
}

TEST(ConnectionTest, WithClusterModeOnPacketsWaitForTheTickAndLeaveTogether) {
    LoopbackPair pair(LoopbackPair::Options{.settings = {.ClusterMode = true}});
    pair.connect();
    // The key response leaves at once; what the client sends after it (sync
    // request and list request) waits for the client's tick.
    EXPECT_EQ(pair.client->cipher.key, pair.server->cipher.key);
    EXPECT_TRUE(pair.recorder.deliveries.empty());
    EXPECT_EQ(pair.client->clusterQueue.count(), 2);

    pair.tickBoth();
    pair.pump();
    EXPECT_FALSE(pair.client->clustering);
    EXPECT_EQ(pair.coreSentBy(Side::Client, CorePacketType::Cluster).size(), 1u);
    EXPECT_EQ(pair.recorder.receivedBy(pair.server.get()), std::vector<Bytes>{kListRequest});
    // The server's answers (sync response and acknowledgement) leave at its
    // next tick, and clear everything in transit.
    pair.run(1, 10);
    EXPECT_EQ(pair.client->inTransit.count(), 0);
    EXPECT_FALSE(pair.client->syncPending);
}

TEST(ConnectionTest, MatchesAddressComparesAddressAndPort) {
    UdpEndpoint endpoint;
    const uint32_t loopbackAddress = htonl(INADDR_LOOPBACK);
    Connection connection(true, NetAddress(loopbackAddress, 5000), endpoint, nullptr);
    EXPECT_TRUE(connection.matchesAddress(NetAddress(loopbackAddress, 5000)));
    EXPECT_FALSE(connection.matchesAddress(NetAddress(loopbackAddress, 5001)));
    EXPECT_FALSE(connection.matchesAddress(NetAddress(htonl(INADDR_LOOPBACK + 1), 5000)));
}

TEST(ConnectionTest, TransportTimeIsHundredthsOfASecond) {
    ManualClock clock(12345);
    EXPECT_EQ(transportNow(), 1234u);
    clock.set(0xFFFFFFFF);
    EXPECT_EQ(transportNow(), 429496729u);
    // The millisecond counter wraps; the hundredths go on from where they were.
    clock.advance(1);
    EXPECT_EQ(transportNow(), 429496729u);
    clock.advance(10);
    EXPECT_EQ(transportNow(), 429496730u);
}

}  // namespace
}  // namespace kelvaro
