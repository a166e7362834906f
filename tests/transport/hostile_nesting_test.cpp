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

}  // namespace
}  // namespace kelvaro::testing
