#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "service/server_settings.h"
#include "transport/connection.h"
#include "transport/datagram_sink.h"
#include "transport/loopback_pair.h"
#include "util/bytes.h"

namespace kelvaro {
namespace {

using testing::Bytes;
using testing::DatagramSink;
using testing::loopbackAddress;

constexpr uint8_t kAppType = 1;  // the one application message a connection takes

std::vector<Bytes>* recorded = nullptr;

void recordMessage(ReceivedMessage& message) {
    if (recorded != nullptr) recorded->emplace_back(message.data, message.data + message.length);
}

// An application message of the given length whose bytes differ from their
// neighbours, so a misplaced or repeated piece shows.
Bytes patterned(uint32_t length, uint8_t seed = 0) {
    Bytes message(length);
    for (uint32_t i = 0; i < length; ++i) message[i] = static_cast<uint8_t>(i * 7 + seed + 3);
    if (length > 0) message[0] = kAppType;
    return message;
}

Bytes slice(const Bytes& bytes, size_t from, size_t count) {
    return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + count));
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes chunkPiece(CorePacketType type, const Bytes& message, size_t from, size_t count) {
    return concat({0, static_cast<uint8_t>(type)}, slice(message, from, count));
}

Bytes streamPiece(const Bytes& message, size_t from, size_t count) {
    Bytes header{0, static_cast<uint8_t>(CorePacketType::StreamChunk), 0, 0, 0, 0};
    writeU32(header.data(), 2, static_cast<uint32_t>(message.size()));
    return concat(header, slice(message, from, count));
}

Bytes reliable(uint32_t sequence, const Bytes& payload) {
    Bytes header{0, static_cast<uint8_t>(CorePacketType::Reliable), 0, 0, 0, 0};
    writeU32(header.data(), 2, sequence);
    return concat(header, payload);
}

// One listening connection whose every datagram lands on a sink, so the test
// sees exactly what leaves; what the connection delivers to type 1 is
// recorded.
class MessagePiecesTest : public ::testing::Test {
protected:
    MessagePiecesTest() {
        local.open(0);
        connection = std::make_unique<Connection>(
            true, peer.address(), local, recordMessage,
            TransportSettings{.MaxReliableInTransit = 100, .ChunkSize = 496, .ClusterMode = false});
        connection->appHandlers.set(kAppType, recordMessage);
        // The shapes of what leaves are the subject here, not the limit on
        // what a peer that never acknowledged anything can draw.
        connection->peerProven = true;
        recorded = &messages;
    }
    ~MessagePiecesTest() override { recorded = nullptr; }

    // A key request carrying key 0: the connection opens its handler tables
    // and both directions stay in clear.
    void exchangeKeys() {
        receive({0, 1, 0, 0, 0, 0, 1, 0});
        ASSERT_EQ(peer.drain().size(), 1u);  // the key response
    }

    void receive(Bytes datagram) { connection->receive(datagram.data(), static_cast<uint32_t>(datagram.size())); }

    std::vector<Bytes> sent(const Bytes& message, bool reliableFlag) {
        connection->send(message.data(), static_cast<uint32_t>(message.size()), reliableFlag);
        return peer.drain();
    }

    void queue(const Bytes& packet) {
        connection->clusterQueue.append(ByteBlock::copyOf(packet.data(), static_cast<uint32_t>(packet.size())));
    }

    ManualClock clock{5000};
    DatagramSink peer;
    UdpEndpoint local;
    std::unique_ptr<Connection> connection;
    std::vector<Bytes> messages;
};

TEST_F(MessagePiecesTest, MessageLengthDecidesOnePacketChunksOrStream) {
    const Bytes m508 = patterned(508), m509 = patterned(509, 1), m1000 = patterned(1000, 2),
                m1001 = patterned(1001, 3);

    EXPECT_EQ(sent(m508, false), std::vector<Bytes>{m508});
    EXPECT_EQ(sent(m508, true), std::vector<Bytes>{reliable(0, m508)});  // 514 bytes

    // Long messages go as reliable pieces even when sent unreliably.
    EXPECT_EQ(sent(m509, false), (std::vector<Bytes>{
                                     reliable(1, chunkPiece(CorePacketType::ChunkBody, m509, 0, 500)),
                                     reliable(2, chunkPiece(CorePacketType::ChunkTail, m509, 500, 9))}));
    EXPECT_EQ(sent(m1000, true), (std::vector<Bytes>{
                                     reliable(3, chunkPiece(CorePacketType::ChunkBody, m1000, 0, 500)),
                                     reliable(4, chunkPiece(CorePacketType::ChunkTail, m1000, 500, 500))}));
    EXPECT_EQ(sent(m1001, true), (std::vector<Bytes>{reliable(5, streamPiece(m1001, 0, 496)),
                                                     reliable(6, streamPiece(m1001, 496, 496)),
                                                     reliable(7, streamPiece(m1001, 992, 9))}));
}

TEST_F(MessagePiecesTest, FiveThousandBytesLeaveAsElevenPiecesThreeAtATime) {
    connection->settings.MaxReliableInTransit = 3;
    const Bytes list = patterned(5000);
    std::vector<Bytes> wire = sent(list, true);
    ASSERT_EQ(wire.size(), 3u);
    for (uint32_t acked = 0; acked < 8; ++acked) {
        connection->onAck(acked);
        const std::vector<Bytes> released = peer.drain();
        ASSERT_EQ(released.size(), 1u) << "after acknowledging " << acked;
        wire.push_back(released[0]);
    }
    for (uint32_t acked = 8; acked < 11; ++acked) connection->onAck(acked);
    EXPECT_TRUE(peer.drain().empty());

    ASSERT_EQ(wire.size(), 11u);
    for (uint32_t i = 0; i < 11; ++i) {
        const uint32_t size = i < 10 ? 496 : 40;
        EXPECT_EQ(wire[i], reliable(i, streamPiece(list, i * 496, size))) << "piece " << i;
    }
}

TEST_F(MessagePiecesTest, ChunkSizeOutsideItsRangeIsClamped) {
    const std::pair<int32_t, uint32_t> cases[] = {{-7, 1}, {0, 1}, {1, 1}, {100, 100},
                                                  {502, 502}, {503, 502}, {100000, 502}};
    for (const auto& [configured, used] : cases) EXPECT_EQ(clampChunkSize(configured), used) << configured;

    // The largest piece size still fits a 520-byte datagram, even when a
    // value beyond it is set by hand.
    connection->settings.ChunkSize = 100000;
    const Bytes whole = patterned(514), split = patterned(515, 1);
    EXPECT_EQ(sent(whole, true), std::vector<Bytes>{reliable(0, whole)});
    EXPECT_EQ(sent(split, true), (std::vector<Bytes>{
                                     reliable(1, chunkPiece(CorePacketType::ChunkBody, split, 0, 506)),
                                     reliable(2, chunkPiece(CorePacketType::ChunkTail, split, 506, 9))}));

    // The smallest still makes progress: 14 bytes are 5 + 5 + 4.
    connection->settings.ChunkSize = clampChunkSize(-3);
    const Bytes tiny = patterned(14, 2);
    EXPECT_EQ(sent(tiny, true), (std::vector<Bytes>{
                                    reliable(3, chunkPiece(CorePacketType::ChunkBody, tiny, 0, 5)),
                                    reliable(4, chunkPiece(CorePacketType::ChunkBody, tiny, 5, 5)),
                                    reliable(5, chunkPiece(CorePacketType::ChunkTail, tiny, 10, 4))}));
}

TEST_F(MessagePiecesTest, QueuedPacketsLeaveInClustersAtTheFlush) {
    connection->clustering = true;
    const Bytes a = patterned(200, 1), b = patterned(200, 2), c = patterned(200, 3);
    for (const Bytes* message : {&a, &b, &c}) sent(*message, false);
    EXPECT_TRUE(peer.drain().empty());

    connection->flushClusters();
    const Bytes cluster = concat(concat({0, 14, 200}, a), concat({200}, b));
    EXPECT_EQ(peer.drain(), (std::vector<Bytes>{cluster, c}));  // 404 + 200 would pass 508
    EXPECT_FALSE(connection->clustering);
    EXPECT_TRUE(connection->clusterQueue.empty());

    // A lone packet leaves as itself, not as a cluster of one.
    queue(a);
    connection->flushClusters();
    EXPECT_EQ(peer.drain(), std::vector<Bytes>{a});
}

TEST_F(MessagePiecesTest, ClusterHoldsUpToChunkSizePlusThirteenBytes) {
    const Bytes a = patterned(250, 1), b = patterned(250, 2), fits = patterned(4, 3), over = patterned(5, 4);
    for (const Bytes* packet : {&a, &b, &fits}) queue(*packet);
    connection->flushClusters();
    const std::vector<Bytes> full = peer.drain();
    ASSERT_EQ(full.size(), 1u);
    EXPECT_EQ(full[0], concat(concat(concat({0, 14, 250}, a), concat({250}, b)), concat({4}, fits)));
    EXPECT_EQ(full[0].size(), 509u);

    for (const Bytes* packet : {&a, &b, &over}) queue(*packet);
    connection->flushClusters();
    EXPECT_EQ(peer.drain(), (std::vector<Bytes>{concat(concat({0, 14, 250}, a), concat({250}, b)), over}));
}

TEST_F(MessagePiecesTest, PacketsOverTwoHundredFiftyFiveBytesNeverCluster) {
    const Bytes small1 = patterned(10, 1), big = patterned(256, 2), small2 = patterned(10, 3),
                largest = patterned(255, 4);
    for (const Bytes* packet : {&small1, &big, &small2}) queue(*packet);
    connection->flushClusters();
    // The long packet leaves ahead of the cluster that holds a packet queued before it.
    EXPECT_EQ(peer.drain(), (std::vector<Bytes>{big, concat(concat({0, 14, 10}, small1), concat({10}, small2))}));

    queue(largest);
    queue(small1);
    connection->flushClusters();
    EXPECT_EQ(peer.drain(), std::vector<Bytes>{concat(concat({0, 14, 255}, largest), concat({10}, small1))});
}

TEST_F(MessagePiecesTest, EmptyQueuedPacketIsLeftOutOfTheCluster) {
    const Bytes a = patterned(5, 1), b = patterned(5, 2);
    queue(a);
    queue({});
    queue(b);
    connection->flushClusters();
    EXPECT_EQ(peer.drain(), std::vector<Bytes>{concat(concat({0, 14, 5}, a), concat({5}, b))});
}

TEST_F(MessagePiecesTest, ChunkTailDeliversWhateverWasGathered) {
    const Bytes message = patterned(30);
    connection->onChunkBody(message.data(), 12);
    connection->onChunkBody(message.data() + 12, 12);
    EXPECT_TRUE(messages.empty());
    connection->onChunkTail(message.data() + 24, 6);
    EXPECT_EQ(messages, std::vector<Bytes>{message});
    EXPECT_EQ(connection->chunkBuffer.size(), 0u);

    // With nothing gathered, the tail is the whole message.
    connection->onChunkTail(message.data(), 7);
    EXPECT_EQ(messages.back(), slice(message, 0, 7));

    // Bodies past 5000 bytes are refused whole; the tail still ends the message.
    messages.clear();
    const Bytes big = patterned(5001);
    for (uint32_t offset = 0; offset < 5000; offset += 500) connection->onChunkBody(big.data() + offset, 500);
    connection->onChunkBody(big.data(), 500);
    connection->onChunkTail(big.data() + 5000, 1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], slice(big, 0, 5000));
}

TEST_F(MessagePiecesTest, StreamGathersToItsAnnouncedTotal) {
    const Bytes message = patterned(10);
    connection->onStreamChunk(10, message.data(), 4);
    connection->onStreamChunk(10, message.data() + 4, 4);
    EXPECT_TRUE(messages.empty());
    connection->onStreamChunk(10, message.data() + 8, 2);
    EXPECT_EQ(messages, std::vector<Bytes>{message});
    EXPECT_EQ(connection->streamTotal, 0u);
    EXPECT_EQ(connection->streamBuffer.size(), 0u);
}

TEST_F(MessagePiecesTest, StreamPieceWithAnotherTotalRestartsTheMessage) {
    const Bytes stale = patterned(10, 1), fresh = patterned(6, 2);
    connection->onStreamChunk(10, stale.data(), 4);
    connection->onStreamChunk(6, fresh.data(), 3);
    EXPECT_EQ(connection->streamTotal, 6u);
    connection->onStreamChunk(6, fresh.data() + 3, 3);
    EXPECT_EQ(messages, std::vector<Bytes>{fresh});
}

TEST_F(MessagePiecesTest, StreamThatCannotCompleteDeliversNothing) {
    const Bytes message = patterned(8);
    connection->onStreamChunk(0, message.data(), 5);  // total 0
    EXPECT_EQ(connection->streamTotal, 0u);
    EXPECT_EQ(connection->streamBuffer.size(), 0u);

    connection->onStreamChunk(6, message.data(), 4);
    connection->onStreamChunk(6, message.data() + 4, 4);  // 8 bytes of an announced 6
    EXPECT_EQ(connection->streamTotal, 0u);
    EXPECT_EQ(connection->streamBuffer.size(), 0u);
    EXPECT_TRUE(messages.empty());

    // The stream is idle again and the next message goes through.
    connection->onStreamChunk(6, message.data(), 6);
    EXPECT_EQ(messages, std::vector<Bytes>{slice(message, 0, 6)});
}

TEST_F(MessagePiecesTest, ClusterUnpacksUntilABadLengthByte) {
    const Bytes zeroFirst{0, 1, 2, 3, 4};
    connection->onCluster(zeroFirst.data(), static_cast<uint32_t>(zeroFirst.size()));
    EXPECT_TRUE(messages.empty());

    const Bytes truncated{3, 1, 0xAA, 0xBB, 5, 1, 0xCC};
    connection->onCluster(truncated.data(), static_cast<uint32_t>(truncated.size()));
    EXPECT_EQ(messages, std::vector<Bytes>{Bytes({1, 0xAA, 0xBB})});

    messages.clear();
    const Bytes twoThenZero{2, 1, 9, 1, 1, 0, 4, 1, 2, 3, 4};
    connection->onCluster(twoThenZero.data(), static_cast<uint32_t>(twoThenZero.size()));
    EXPECT_EQ(messages, (std::vector<Bytes>{Bytes({1, 9}), Bytes({1})}));
}

// The boundary itself: a last part that claims exactly the bytes left is
// delivered; one that claims a single byte more is not, and neither is
// anything of it.
TEST_F(MessagePiecesTest, ClusterPartClaimingOneByteMoreThanIsLeftIsDropped) {
    struct Case {
        const char* name;
        Bytes content;
        std::vector<Bytes> delivered;
    };
    const Case cases[] = {
        {"last part fits exactly", {2, 1, 0xA1, 3, 1, 0xB1, 0xB2}, {{1, 0xA1}, {1, 0xB1, 0xB2}}},
        {"last part one byte short", {2, 1, 0xA1, 4, 1, 0xB1, 0xB2}, {{1, 0xA1}}},
        {"only part fits exactly", {5, 1, 2, 3, 4, 5}, {{1, 2, 3, 4, 5}}},
        {"only part one byte short", {6, 1, 2, 3, 4, 5}, {}},
        {"length byte alone at the end", {2, 1, 0xA1, 1}, {{1, 0xA1}}},
        {"255-byte part one byte short", concat(Bytes{255}, patterned(254)), {}},
        {"255-byte part exactly", concat(Bytes{255}, patterned(255)), {patterned(255)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        messages.clear();
        connection->onCluster(c.content.data(), static_cast<uint32_t>(c.content.size()));
        EXPECT_EQ(messages, c.delivered);
    }
}

TEST_F(MessagePiecesTest, ClusteredReliableChunkTailCompletesTheMessage) {
    exchangeKeys();
    const Bytes message = patterned(40);
    receive(reliable(0, chunkPiece(CorePacketType::ChunkBody, message, 0, 30)));
    const Bytes tail = reliable(1, chunkPiece(CorePacketType::ChunkTail, message, 30, 10));
    const Bytes ping{kAppType, 0x55};
    receive(concat(concat(Bytes{0, 14, static_cast<uint8_t>(tail.size())}, tail),
                   concat(Bytes{static_cast<uint8_t>(ping.size())}, ping)));
    EXPECT_EQ(messages, (std::vector<Bytes>{message, ping}));
    EXPECT_EQ(peer.drain().size(), 2u);  // both reliable packets acknowledged
}

TEST_F(MessagePiecesTest, ReassembledMessageCannotFeedItsOwnBuffer) {
    exchangeKeys();
    // The chunked message is a cluster holding a chunk tail: handing that tail
    // back to the chunk buffer would deliver the cluster again, without end.
    const Bytes body{0, 14, 4, 0, 9};
    const Bytes tail{'x', 'y'};
    receive(concat({0, 8}, body));
    receive(concat({0, 9}, tail));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(connection->chunkBuffer.size(), 0u);

    // The same holds for a stream whose content is a stream piece.
    Bytes inner = streamPiece(Bytes{kAppType, 2, 3}, 0, 3);
    Bytes outer = streamPiece(inner, 0, inner.size());
    receive(outer);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(connection->streamTotal, 0u);

    // Ordinary reassembly still works afterwards.
    const Bytes message = patterned(5);
    receive(concat({0, 9}, message));
    EXPECT_EQ(messages, std::vector<Bytes>{message});
}


// Over real loopback sockets, through a relay that loses, duplicates and
// reorders datagrams, with the cipher on.
TEST(MessagePiecesOverLoopbackTest, FiftyThousandBytesArriveWholeThroughLossAndReordering) {
    const TransportSettings settings{.PacketSilenceLimit = 2000, .MaxReliableInTransit = 3,
                                     .ChunkSize = 496, .ClusterMode = false};
    testing::LoopbackPair pair(testing::LoopbackPair::Options{.seed = 7, .settings = settings});
    pair.connect();
    ASSERT_FALSE(pair.client->keyRequestPending);
    ASSERT_NE(pair.client->cipher.key, 0);
    pair.recorder.clear();
    for (testing::Side side : {testing::Side::Client, testing::Side::Server})
        pair.faults(side) = {.lossPerMille = 200, .duplicatePerMille = 100, .delayPerMille = 200};

    const Bytes list = patterned(50000);
    pair.server->send(list.data(), static_cast<uint32_t>(list.size()), true);
    pair.pump();
    // Each step passes the resend time-out of one second.
    constexpr int kMaxSteps = 3000;
    for (int step = 0; step < kMaxSteps && pair.recorder.receivedBy(pair.client.get()).empty(); ++step)
        pair.run(1, 1010);
    pair.run(5, 1010);  // late duplicates must not deliver it again

    EXPECT_EQ(pair.recorder.receivedBy(pair.client.get()), std::vector<Bytes>{list});
    EXPECT_TRUE(pair.server->inTransit.empty());
    EXPECT_FALSE(pair.client->isClosed());
    EXPECT_FALSE(pair.server->isClosed());
    EXPECT_GT(pair.coreSentBy(testing::Side::Server, CorePacketType::Reliable).size(), 101u);
}

Bytes chunkedReply;
Bytes shortReply;

// Answers the list request the way the service does, from inside the
// delivery, so with ClusterMode on the answer waits for the tick's flush.
void answerWithTwoMessages(ReceivedMessage& message) {
    testing::MessageRecorder::record(message);
    message.connection->send(chunkedReply.data(), static_cast<uint32_t>(chunkedReply.size()), true);
    message.connection->send(shortReply.data(), static_cast<uint32_t>(shortReply.size()), true);
}

bool holdsReliableChunkTail(const Bytes& cluster) {
    for (size_t at = 2; at < cluster.size() && at + 1 + cluster[at] <= cluster.size(); at += 1 + cluster[at]) {
        const Bytes sub = slice(cluster, at + 1, cluster[at]);
        if (sub.size() > 8 && sub[1] == 3 && sub[6] == 0 && sub[7] == 9) return true;
    }
    return false;
}

TEST(MessagePiecesOverLoopbackTest, ClusteredReliableChunkTailCompletesTheMessage) {
    chunkedReply = patterned(600, 1);
    shortReply = patterned(10, 2);
    testing::LoopbackPair pair(testing::LoopbackPair::Options{
        .serverHandler = answerWithTwoMessages,
        .settings = {.MaxReliableInTransit = 3, .ChunkSize = 496, .ClusterMode = true}});
    pair.connect();
    pair.run(5, 10);

    EXPECT_EQ(pair.recorder.receivedBy(pair.client.get()), (std::vector<Bytes>{chunkedReply, shortReply}));
    const std::vector<Bytes> clusters = pair.coreSentBy(testing::Side::Server, CorePacketType::Cluster);
    EXPECT_TRUE(std::any_of(clusters.begin(), clusters.end(), holdsReliableChunkTail));
    EXPECT_TRUE(pair.server->inTransit.empty());
}

}  // namespace
}  // namespace kelvaro
