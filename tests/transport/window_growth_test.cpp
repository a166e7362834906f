// The send window under MaxWindow: how it opens with acknowledgements, how
// it closes when packets are resent, and what a peer that never acknowledges
// anything can draw.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "transport/connection.h"
#include "transport/datagram_sink.h"
#include "transport/loopback_pair.h"
#include "util/bytes.h"

namespace kelvaro {
namespace {

using testing::Bytes;
using testing::DatagramSink;

constexpr uint32_t kPiece = 496;
constexpr uint32_t kFullPacket = kPiece + 12;  // reliable header around a stream piece

// A message that leaves as exactly pieces stream pieces.
Bytes messageOfPieces(uint32_t pieces) {
    Bytes message(pieces * kPiece, 0x5C);
    message[0] = 1;
    return message;
}

// One listening connection, keys exchanged in clear, whose every datagram
// lands on a sink; acknowledgements come from the test.
class WindowTest {
public:
    explicit WindowTest(const TransportSettings& settings) {
        local.open(0);
        connection = std::make_unique<Connection>(true, peer.address(), local,
                                                  [](ReceivedMessage&) {}, settings);
        Bytes keyRequest{0, 1, 0, 0, 0, 0, 1, 0};
        connection->receive(keyRequest.data(), static_cast<uint32_t>(keyRequest.size()));
        peer.drain();
    }

    void send(const Bytes& message) {
        connection->send(message.data(), static_cast<uint32_t>(message.size()), true);
    }

    // Acknowledges every packet now in transit, oldest first.
    void acknowledgeAllInTransit() {
        std::vector<uint32_t> sequences;
        for (auto* node = connection->inTransit.head(); node != nullptr; node = node->next)
            sequences.push_back(node->element->sequence);
        for (uint32_t sequence : sequences) connection->onAck(sequence);
    }

    uint32_t inTransit() const { return static_cast<uint32_t>(connection->inTransit.count()); }

    ManualClock clock{700000};
    DatagramSink peer;
    UdpEndpoint local;
    std::unique_ptr<Connection> connection;
};

TEST(WindowGrowthTest, WindowOpensByOnePerAcknowledgedPacketUpToMaxWindow) {
    struct Case {
        const char* name;
        uint32_t maxReliableInTransit;
        uint32_t maxWindow;
        std::vector<uint32_t> inTransitPerRound;
    };
    const Case cases[] = {
        {"off: the window stays MaxReliableInTransit", 3, 0, {3, 3, 3, 3}},
        {"at or below MaxReliableInTransit: off", 3, 3, {3, 3, 3}},
        {"below MaxReliableInTransit: off", 5, 2, {5, 5, 5}},
        {"doubles each round up to 64", 3, 64, {3, 6, 12, 24, 48, 64, 64}},
        {"starts at MaxReliableInTransit", 4, 20, {4, 8, 16, 20, 20}},
        {"capped at 255", 3, 1000, {3, 6, 12, 24, 48, 96, 192, 255, 255}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WindowTest test(TransportSettings{.MaxReliableInTransit = c.maxReliableInTransit,
                                          .MaxWindow = c.maxWindow});
        // A peer known to read what it is sent: the byte limit before the
        // proof does not apply.
        test.connection->peerProven = true;
        test.send(messageOfPieces(1200));
        std::vector<uint32_t> rounds;
        for (size_t round = 0; round < c.inTransitPerRound.size(); ++round) {
            rounds.push_back(test.inTransit());
            test.acknowledgeAllInTransit();
        }
        EXPECT_EQ(rounds, c.inTransitPerRound);
    }
}

TEST(WindowGrowthTest, ResendHalvesTheWindowOncePerTimeOutDownToMaxReliableInTransit) {
    WindowTest test(TransportSettings{.MaxReliableInTransit = 3, .MaxWindow = 64});
    test.connection->peerProven = true;
    test.send(messageOfPieces(400));
    for (int round = 0; round < 6; ++round) test.acknowledgeAllInTransit();
    ASSERT_EQ(test.connection->window, 64u);
    ASSERT_EQ(test.inTransit(), 64u);
    test.peer.drain();

    // A listening connection resends after more than 100 ticks (one second).
    std::vector<uint32_t> windows;
    std::vector<size_t> resent;
    for (int timeout = 0; timeout < 6; ++timeout) {
        test.clock.advance(1010);
        test.connection->tick();
        // A second tick within the same time-out resends nothing and cuts
        // nothing.
        test.clock.advance(10);
        test.connection->tick();
        windows.push_back(test.connection->window);
        resent.push_back(test.peer.drain().size());
    }
    EXPECT_EQ(windows, (std::vector<uint32_t>{32, 16, 8, 4, 3, 3}));
    EXPECT_EQ(resent, std::vector<size_t>(6, 64));  // all in transit, every time-out

    // Nothing more enters transit until acknowledgements bring it under the
    // window, which then opens again.
    EXPECT_EQ(test.inTransit(), 64u);
    test.acknowledgeAllInTransit();
    EXPECT_EQ(test.connection->window, 64u);
    EXPECT_EQ(test.inTransit(), 64u);
}

// With an opening window the acknowledgements of later packets show a loss
// long before the one-second time-out; without one nothing changes.
TEST(WindowGrowthTest, ThreeLaterAcknowledgementsResendAPacketAtOnceOnlyWithAnOpeningWindow) {
    struct Case {
        uint32_t maxWindow;
        std::vector<uint32_t> acknowledged;
        std::vector<uint32_t> resent;  // in the order they leave again
    };
    const Case cases[] = {
        {64, {1, 2}, {}},
        {64, {1, 2, 3}, {0}},
        {64, {2, 3, 4}, {0, 1}},
        {64, {1, 2, 3, 4, 5, 6}, {0}},  // once per transmission, not per acknowledgement
        {0, {1, 2}, {}},
        {0, {1, 2, 3, 4, 5, 6}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("MaxWindow " + std::to_string(c.maxWindow) + ", " +
                     std::to_string(c.acknowledged.size()) + " acknowledged");
        WindowTest test(TransportSettings{.MaxReliableInTransit = 8, .MaxWindow = c.maxWindow});
        test.connection->peerProven = true;
        test.send(messageOfPieces(40));
        test.peer.drain();
        for (uint32_t sequence : c.acknowledged) test.connection->onAck(sequence);
        std::vector<uint32_t> resent;
        for (const Bytes& datagram : test.peer.drain())
            if (testing::sequenceOf(datagram) < 8) resent.push_back(testing::sequenceOf(datagram));
        EXPECT_EQ(resent, c.resent);
    }
}

// Packets lost both ways: whatever MaxWindow allows, never more are in
// transit, and the message still arrives whole.
TEST(WindowGrowthTest, InTransitNeverExceedsTheWindowOnALossyPath) {
    using testing::LoopbackPair;
    using testing::Side;
    struct Case {
        uint32_t maxWindow;
        uint32_t bound;
        uint32_t seed;
    };
    const Case cases[] = {{0, 3, 11}, {8, 8, 12}, {64, 64, 13}, {64, 64, 14}};
    for (const Case& c : cases) {
        SCOPED_TRACE("MaxWindow " + std::to_string(c.maxWindow) + " seed " + std::to_string(c.seed));
        LoopbackPair pair(LoopbackPair::Options{.seed = c.seed,
                                                .settings = {.MaxReliableInTransit = 3,
                                                             .MaxWindow = c.maxWindow}});
        pair.connect();
        pair.recorder.clear();
        pair.faults(Side::Server) = {.lossPerMille = 100, .delayPerMille = 200};
        pair.faults(Side::Client) = {.lossPerMille = 100, .delayPerMille = 200};
        const Bytes message = messageOfPieces(100);
        pair.server->send(message.data(), static_cast<uint32_t>(message.size()), true);
        uint32_t most = static_cast<uint32_t>(pair.server->inTransit.count());
        for (int step = 0; step < 2000 && pair.recorder.receivedBy(pair.client.get()).empty(); ++step) {
            // One relay round at a time, so every state the server passes
            // through between rounds is seen.
            for (int round = 0; round < 1000 && pair.pump(1) > 0; ++round)
                most = std::max(most, static_cast<uint32_t>(pair.server->inTransit.count()));
            pair.clock.advance(100);
            pair.tickBoth();
        }
        EXPECT_LE(most, c.bound);
        EXPECT_GE(most, std::min(c.bound, 6u)) << "the window never opened";
        EXPECT_EQ(pair.recorder.receivedBy(pair.client.get()), std::vector<Bytes>{message});
    }
}

// Two datagrams naming someone else's address: a key request and a list
// request, neither ever acknowledged. Whatever the window settings, what
// reaches that address stays under 2,000 bytes, disconnects included.
TEST(BlindPeerTest, TwoBlindDatagramsDrawUnderTwoThousandBytes) {
    struct Case {
        uint32_t maxReliableInTransit;
        uint32_t maxWindow;
        uint32_t pieces;
        size_t reliableSent;  // datagrams of the list that leave
    };
    const Case cases[] = {
        // Probes 0 and 1 (the seed's bytes are all 0): both full pieces of
        // the list, sent, then one of them resent within the limit.
        {3, 0, 85, 3},
        {3, 64, 85, 3},    // the window cannot open without the proof
        {10, 255, 85, 3},  // nor can a wide first window
        {3, 64, 1, 3},     // one piece does not wait: sent and resent twice
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("MaxReliableInTransit " + std::to_string(c.maxReliableInTransit) +
                     " MaxWindow " + std::to_string(c.maxWindow));
        ManualClock clock(900000);
        DatagramSink victim;
        UdpEndpoint local;
        local.open(0);
        const Bytes list = messageOfPieces(c.pieces);
        Connection connection(
            true, victim.address(), local,
            [&](ReceivedMessage& m) { m.connection->send(list.data(), static_cast<uint32_t>(list.size()), true); },
            TransportSettings{.PacketSilenceLimit = 2000, .MaxReliableInTransit = c.maxReliableInTransit,
                              .MaxWindow = c.maxWindow});
        // Key 0: everything in clear, so the list request needs no cipher.
        Bytes keyRequest{0, 1, 0, 0, 0, 0, 1, 0};
        Bytes listRequest{0, 3, 0, 0, 0, 0, 1, 0, 0, 0, 0};
        connection.receive(keyRequest.data(), static_cast<uint32_t>(keyRequest.size()));
        connection.receive(listRequest.data(), static_cast<uint32_t>(listRequest.size()));
        for (int step = 0; step < 250 && !connection.isClosed(); ++step) {
            clock.advance(100);
            connection.tick();
        }
        ASSERT_TRUE(connection.isClosed());
        size_t bytes = 0, reliable = 0;
        for (const Bytes& datagram : victim.drain()) {
            bytes += datagram.size();
            if (datagram.size() > 6 && datagram[1] == static_cast<uint8_t>(CorePacketType::Reliable) &&
                testing::sequenceOf(datagram) < c.pieces)
                ++reliable;
        }
        EXPECT_LE(bytes, 2000u);
        EXPECT_EQ(reliable, c.reliableSent);
        EXPECT_LE(connection.unprovenBytes, Connection::kUnprovenByteLimit);
        EXPECT_FALSE(connection.peerProven);
    }
}

// The limit lifts once both probes are acknowledged: what it held back
// leaves, and a probe that was a packet of the list leaves again in order.
TEST(BlindPeerTest, AcknowledgedProbesReleaseWhatTheLimitHeldBack) {
    WindowTest test(TransportSettings{.MaxReliableInTransit = 3, .MaxWindow = 64});
    ASSERT_FALSE(test.connection->peerProven);
    test.connection->probeSeed = 0xC802;  // probes 2 (a piece of the list) and 200 (past it)
    test.send(messageOfPieces(10));
    EXPECT_TRUE(test.peer.drain().empty()) << "nothing leaves in order before the proof";
    test.connection->tick();
    const std::vector<Bytes> probes = test.peer.drain();
    ASSERT_EQ(probes.size(), 2u);
    EXPECT_EQ(testing::sequenceOf(probes[0]), 2u);
    EXPECT_EQ(probes[0].size(), kFullPacket);
    EXPECT_EQ(probes[1], (Bytes{0, 3, 200, 0, 0, 0, 0}));

    test.connection->onAck(200);
    EXPECT_FALSE(test.connection->peerProven);
    EXPECT_TRUE(test.peer.drain().empty());
    test.clock.advance(1010);
    test.connection->tick();
    const std::vector<Bytes> resent = test.peer.drain();
    ASSERT_EQ(resent.size(), 1u) << "only the unanswered probe goes again";
    EXPECT_EQ(testing::sequenceOf(resent[0]), 2u);

    test.connection->onAck(2);
    EXPECT_TRUE(test.connection->peerProven);
    const std::vector<Bytes> released = test.peer.drain();
    ASSERT_EQ(released.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(testing::sequenceOf(released[i]), i);
    EXPECT_FALSE(test.connection->isClosed());
}

}  // namespace
}  // namespace kelvaro
