// Messages nested inside messages: what our own traffic produces must arrive,
// and what only a hostile peer would build must not exhaust the stack.

#include <gtest/gtest.h>

#include "loopback_pair.h"

namespace kelvaro::testing {
namespace {

constexpr uint8_t kProbeType = 2;  // an application type the test listens for

class HostileNestingTest : public ::testing::Test {
protected:
    void SetUp() override {
        pair.connect();
        server().appHandlers.set(kProbeType, MessageRecorder::record);
        pair.recorder.clear();
    }

    Connection& server() { return pair.connection(Side::Server); }

    // Sends message to the server as a stream of plain core-10 pieces.
    void streamToServer(const Bytes& message) {
        const uint32_t total = static_cast<uint32_t>(message.size());
        constexpr size_t kPiece = 496;
        for (size_t offset = 0; offset < message.size(); offset += kPiece) {
            const size_t n = std::min(kPiece, message.size() - offset);
            const Bytes piece(message.begin() + static_cast<std::ptrdiff_t>(offset),
                              message.begin() + static_cast<std::ptrdiff_t>(offset + n));
            pair.inject(Side::Client, corePacket(CorePacketType::StreamChunk, le32(total) + piece));
        }
    }

    // depth reliable headers, each carrying the next, around the probe message.
    Bytes nestedReliables(size_t depth) {
        // Every level carries the same number: each is the next one expected
        // while the level around it is still being delivered.
        const Bytes header = corePacket(CorePacketType::Reliable, le32(server().nextExpected));
        Bytes message;
        message.reserve(depth * header.size() + 2);
        for (size_t i = 0; i < depth; ++i) message.insert(message.end(), header.begin(), header.end());
        return message + Bytes{kProbeType, 'x'};
    }

    LoopbackPair pair;
};

TEST_F(HostileNestingTest, OwnNestingDepthIsDelivered) {
    // datagram -> cluster -> reliable payload -> chunk tail -> application message
    const uint32_t sequence = server().nextExpected;
    const Bytes tail = corePacket(CorePacketType::ChunkTail, Bytes{kProbeType, 'y'});
    const Bytes reliable = corePacket(CorePacketType::Reliable, le32(sequence)) + tail;
    const Bytes lone = corePacket(CorePacketType::SyncRequest);
    Bytes cluster = corePacket(CorePacketType::Cluster, Bytes{static_cast<uint8_t>(reliable.size())});
    cluster = cluster + reliable + Bytes{static_cast<uint8_t>(lone.size())} + lone;
    pair.inject(Side::Client, cluster);
    const auto received = pair.recorder.receivedBy(&server());
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], (Bytes{kProbeType, 'y'}));
}

TEST_F(HostileNestingTest, MegabyteOfNestedReliablePacketsIsDroppedAndTheConnectionGoesOn) {
    // About 166,000 levels: deep enough to overflow any stack if followed.
    const Bytes hostile = nestedReliables((1000000 - 2) / 6);
    streamToServer(hostile);
    EXPECT_TRUE(pair.recorder.receivedBy(&server()).empty());
    EXPECT_FALSE(server().isClosed());

    pair.recorder.clear();
    const Bytes shallow = nestedReliables(3);
    pair.inject(Side::Client, shallow);
    EXPECT_EQ(pair.recorder.receivedBy(&server()).size(), 1u);
}

// ---- The deepest nesting one datagram can carry ----------------------------

// A probe message of exactly length bytes, tagged so deliveries can be told apart.
Bytes probe(uint8_t tag, size_t length) {
    Bytes message(length, tag);
    message[0] = kProbeType;
    return message;
}

// depth clusters, each holding the next as its only sub-message.
Bytes nestedClusters(size_t depth, const Bytes& inner) {
    Bytes message = inner;
    for (size_t i = 0; i < depth; ++i)
        message = corePacket(CorePacketType::Cluster, Bytes{static_cast<uint8_t>(message.size())}) + message;
    return message;
}

// depth reliable headers around inner; level i (0 outermost) carries
// first + i * step.
Bytes reliablesAround(size_t depth, uint32_t first, uint32_t step, const Bytes& inner) {
    Bytes message = inner;
    for (size_t i = depth; i-- > 0;)
        message = corePacket(CorePacketType::Reliable, le32(first + static_cast<uint32_t>(i) * step)) + message;
    return message;
}

TEST_F(HostileNestingTest, EverythingOneFullDatagramNestsIsDeliveredAndAcknowledgedInOrder) {
    const uint32_t e = server().nextExpected;
    struct Case {
        const char* name;
        Bytes datagram;
        std::vector<Bytes> delivered;
        std::vector<uint32_t> acknowledged;
        uint32_t expectedAdvance;  // how far nextExpected moves
    };
    // 84 clusters around a 6-byte probe make a 255-byte sub-message, the most
    // one length byte can say; the outermost cluster is filled to 520 bytes
    // with a 255-byte and a 5-byte probe after it.
    const Bytes deepCluster = nestedClusters(83, probe('a', 6));
    ASSERT_EQ(deepCluster.size(), 255u);
    const Bytes fullCluster = corePacket(CorePacketType::Cluster, Bytes{255} + deepCluster + Bytes{255} +
                                                                      probe('b', 255) + Bytes{5} + probe('c', 5));

    // 85 reliable headers around a 10-byte probe: 520 bytes. A sender that
    // numbers the wrapper first gives each level the next number; one that
    // sends every level as the next one expected gives them all the same.
    const Bytes consecutive = reliablesAround(85, e, 1, probe('d', 10));
    const Bytes same = reliablesAround(85, e, 0, probe('e', 10));

    // The deepest mix: 43 reliable headers around 85 clusters around a 3-byte
    // probe, 129 deliveries deep in 516 bytes.
    const Bytes mixed = reliablesAround(43, e, 0, nestedClusters(85, probe('f', 3)));

    std::vector<uint32_t> consecutiveAcks, sameAcks(85, e), mixedAcks(43, e);
    for (uint32_t i = 0; i < 85; ++i) consecutiveAcks.push_back(e + i);

    const Case cases[] = {
        {"clusters 84 deep", fullCluster, {probe('a', 6), probe('b', 255), probe('c', 5)}, {}, 0},
        {"reliable 85 deep, consecutive numbers", consecutive, {probe('d', 10)}, consecutiveAcks, 85},
        {"reliable 85 deep, one number", same, {probe('e', 10)}, sameAcks, 85},
        {"reliable around clusters, 129 deep", mixed, {probe('f', 3)}, mixedAcks, 43},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_LE(c.datagram.size(), static_cast<size_t>(kMaxDatagram));
        // Every case starts from the same receiving state.
        LoopbackPair fresh;
        fresh.connect();
        Connection& receiver = fresh.connection(Side::Server);
        ASSERT_EQ(receiver.nextExpected, e);
        receiver.appHandlers.set(kProbeType, MessageRecorder::record);
        fresh.recorder.clear();
        const size_t acksBefore = fresh.coreSentBy(Side::Server, CorePacketType::Ack).size();

        fresh.inject(Side::Client, c.datagram);

        EXPECT_EQ(fresh.recorder.receivedBy(&receiver), c.delivered);
        std::vector<uint32_t> acks;
        const auto sent = fresh.coreSentBy(Side::Server, CorePacketType::Ack);
        for (size_t i = acksBefore; i < sent.size(); ++i) acks.push_back(sequenceOf(sent[i]));
        EXPECT_EQ(acks, c.acknowledged);
        EXPECT_EQ(receiver.nextExpected, e + c.expectedAdvance);
        EXPECT_FALSE(receiver.isClosed());
    }
}

TEST_F(HostileNestingTest, NestingBeyondTheBoundInsideAReassembledMessageIsDroppedSafely) {
    // Deeper than any datagram can hold, so only a reassembled message carries
    // it: the levels within the bound are followed, the rest dropped.
    const uint32_t e = server().nextExpected;
    const Bytes tooDeep = reliablesAround(Connection::kMaxDeliveryDepth + 1, e, 0, probe('g', 2));
    streamToServer(tooDeep);
    EXPECT_TRUE(pair.recorder.receivedBy(&server()).empty());
    EXPECT_FALSE(server().isClosed());
    // Every level within the bound took its number.
    EXPECT_EQ(server().nextExpected, e + Connection::kMaxDeliveryDepth - 1);

    // At the bound itself the probe still arrives.
    pair.recorder.clear();
    const uint32_t next = server().nextExpected;
    streamToServer(reliablesAround(Connection::kMaxDeliveryDepth - 2, next, 0, probe('h', 2)));
    EXPECT_EQ(pair.recorder.receivedBy(&server()), (std::vector<Bytes>{probe('h', 2)}));
}

}  // namespace
}  // namespace kelvaro::testing
