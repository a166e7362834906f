#include <gtest/gtest.h>

#include "transport/connection.h"
#include "transport/loopback_pair.h"

namespace kelvaro {
namespace {

using namespace testing;

Bytes reliablePacket(uint32_t sequence, const Bytes& payload) {
    return corePacket(CorePacketType::Reliable, le32(sequence) + payload);
}

std::vector<uint32_t> sequencesOf(const std::vector<Bytes>& packets) {
    std::vector<uint32_t> result;
    for (const Bytes& packet : packets) result.push_back(sequenceOf(packet));
    return result;
}

// A connected pair whose recorder starts empty.
struct ConnectedPair : LoopbackPair {
    explicit ConnectedPair(const Options& options = {}) : LoopbackPair(options) {
        connect();
        recorder.clear();
    }

    void sendMessage(Side from, uint8_t tag) {
        const Bytes message = {1, tag};
        connection(from).send(message.data(), 2, true);
    }
};

// ---- Send window -----------------------------------------------------------

TEST(SendWindowTest, FourthMessageWaitsUntilAnAcknowledgementMakesRoom) {
    ConnectedPair pair;
    Connection& server = *pair.server;
    pair.faults(Side::Server).blocked = true;  // acknowledgements come from the test
    for (uint8_t i = 0; i < 5; ++i) pair.sendMessage(Side::Server, i);
    pair.pump();
    EXPECT_EQ(sequencesOf(pair.coreSentBy(Side::Server, CorePacketType::Reliable)),
              (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(server.inTransit.count(), 3);
    EXPECT_EQ(server.waiting.count(), 2);
    EXPECT_EQ(server.nextSequence, 5u);
    EXPECT_EQ(server.nextTransitSequence, 3u);

    // An acknowledgement for a packet that is still waiting releases nothing.
    pair.inject(Side::Client, corePacket(CorePacketType::Ack, le32(3)));
    EXPECT_EQ(server.waiting.count(), 2);
    EXPECT_EQ(pair.coreSentBy(Side::Server, CorePacketType::Reliable).size(), 3u);

    pair.inject(Side::Client, corePacket(CorePacketType::Ack, le32(1)));
    EXPECT_EQ(sequencesOf(pair.coreSentBy(Side::Server, CorePacketType::Reliable)),
              (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(server.inTransit.count(), 3);
    EXPECT_EQ(server.waiting.count(), 1);

    // Repeated, it releases nothing more.
    pair.inject(Side::Client, corePacket(CorePacketType::Ack, le32(1)));
    EXPECT_EQ(pair.coreSentBy(Side::Server, CorePacketType::Reliable).size(), 4u);
    EXPECT_EQ(server.waiting.count(), 1);

    // Beyond anything numbered for transit: ignored.
    pair.inject(Side::Client, corePacket(CorePacketType::Ack, le32(40)));
    EXPECT_EQ(server.inTransit.count(), 3);

    pair.inject(Side::Client, corePacket(CorePacketType::Ack, le32(0)));
    EXPECT_EQ(sequencesOf(pair.coreSentBy(Side::Server, CorePacketType::Reliable)),
              (std::vector<uint32_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(server.waiting.count(), 0);
    EXPECT_EQ(server.nextTransitSequence, 5u);
}

TEST(SendWindowTest, AnEmptyWindowSendsNothing) {
    // The list request itself already waits.
    ConnectedPair pair(LoopbackPair::Options{.settings = {.MaxReliableInTransit = 0}});
    EXPECT_EQ(pair.client->waiting.count(), 1);
    EXPECT_TRUE(pair.coreSentBy(Side::Client, CorePacketType::Reliable).empty());
    pair.sendMessage(Side::Client, 1);
    pair.run(300, 10);
    EXPECT_EQ(pair.client->waiting.count(), 2);
    EXPECT_EQ(pair.client->inTransit.count(), 0);
    EXPECT_TRUE(pair.coreSentBy(Side::Client, CorePacketType::Reliable).empty());
}

// ---- In-order delivery -----------------------------------------------------

TEST(InOrderDeliveryTest, EarlyPacketsWaitForTheGapToClose) {
    ConnectedPair pair;
    Connection& server = *pair.server;
    const uint32_t base = server.nextExpected;
    const uint32_t order[] = {0, 2, 3, 1};
    for (uint32_t offset : order) {
        pair.inject(Side::Client, reliablePacket(base + offset, {1, static_cast<uint8_t>(offset)}));
        if (offset == 0) {
            EXPECT_EQ(pair.recorder.deliveries.size(), 1u);
        }
    }
    EXPECT_EQ(pair.recorder.receivedBy(&server),
              (std::vector<Bytes>{{1, 0}, {1, 1}, {1, 2}, {1, 3}}));
    EXPECT_EQ(server.nextExpected, base + 4);
    EXPECT_EQ(server.outOfOrder.count(), 0);
    // Every one of them was acknowledged on arrival.
    const auto acks = sequencesOf(pair.coreSentBy(Side::Server, CorePacketType::Ack));
    ASSERT_GE(acks.size(), 4u);
    EXPECT_EQ(std::vector<uint32_t>(acks.end() - 4, acks.end()),
              (std::vector<uint32_t>{base, base + 2, base + 3, base + 1}));
}

TEST(InOrderDeliveryTest, DuplicatesAreAcknowledgedEveryTimeAndDeliveredOnce) {
    ConnectedPair pair;
    Connection& server = *pair.server;
    const uint32_t base = server.nextExpected;
    const size_t acksBefore = pair.coreSentBy(Side::Server, CorePacketType::Ack).size();

    pair.inject(Side::Client, reliablePacket(base, {1, 0xA}));
    pair.inject(Side::Client, reliablePacket(base, {1, 0xA}));
    EXPECT_EQ(pair.recorder.receivedBy(&server), std::vector<Bytes>{Bytes({1, 0xA})});

    // An early packet twice is held once.
    pair.inject(Side::Client, reliablePacket(base + 2, {1, 0xC}));
    pair.inject(Side::Client, reliablePacket(base + 2, {1, 0xC}));
    EXPECT_EQ(server.outOfOrder.count(), 1);
    pair.inject(Side::Client, reliablePacket(base + 1, {1, 0xB}));
    EXPECT_EQ(pair.recorder.receivedBy(&server),
              (std::vector<Bytes>{{1, 0xA}, {1, 0xB}, {1, 0xC}}));

    EXPECT_EQ(pair.coreSentBy(Side::Server, CorePacketType::Ack).size(), acksBefore + 5);
}

TEST(InOrderDeliveryTest, PacketsFarAheadAreNeitherAcknowledgedNorStored) {
    ConnectedPair pair;
    Connection& server = *pair.server;
    const uint32_t base = server.nextExpected;
    const size_t acksBefore = pair.coreSentBy(Side::Server, CorePacketType::Ack).size();

    pair.inject(Side::Client, reliablePacket(base + Connection::kMaxEarlyDistance, {1, 1}));
    pair.inject(Side::Client, reliablePacket(0xFFFFFFFF, {1, 2}));
    EXPECT_EQ(server.outOfOrder.count(), 0);
    EXPECT_EQ(pair.coreSentBy(Side::Server, CorePacketType::Ack).size(), acksBefore);

    // Just inside the distance everything is as usual.
    pair.inject(Side::Client, reliablePacket(base + Connection::kMaxEarlyDistance - 1, {1, 3}));
    EXPECT_EQ(server.outOfOrder.count(), 1);
    const auto acks = pair.coreSentBy(Side::Server, CorePacketType::Ack);
    ASSERT_EQ(acks.size(), acksBefore + 1);
    EXPECT_EQ(sequenceOf(acks.back()), base + Connection::kMaxEarlyDistance - 1);
    EXPECT_TRUE(pair.recorder.deliveries.empty());
}

TEST(InOrderDeliveryTest, AHundredMessagesEachWayThroughALossyNetwork) {
    ConnectedPair pair(LoopbackPair::Options{.seed = 20240611});
    for (Side side : {Side::Client, Side::Server}) {
        pair.faults(side).lossPerMille = 200;
        pair.faults(side).duplicatePerMille = 150;
        pair.faults(side).delayPerMille = 250;
    }
    constexpr uint8_t kCount = 100;
    for (uint8_t i = 0; i < kCount; ++i) {
        pair.sendMessage(Side::Client, i);
        pair.sendMessage(Side::Server, static_cast<uint8_t>(i + 100));
    }
    auto allSent = [&] {
        return pair.client->inTransit.empty() && pair.client->waiting.empty() &&
               pair.server->inTransit.empty() && pair.server->waiting.empty();
    };
    for (int step = 0; step < 5000 && !allSent(); ++step) pair.run(1, 50);
    ASSERT_TRUE(allSent());
    pair.run(100, 50);  // late duplicates must not be delivered again

    std::vector<Bytes> toServer, toClient;
    for (uint8_t i = 0; i < kCount; ++i) {
        toServer.push_back({1, i});
        toClient.push_back({1, static_cast<uint8_t>(i + 100)});
    }
    EXPECT_EQ(pair.recorder.receivedBy(pair.server.get()), toServer);
    EXPECT_EQ(pair.recorder.receivedBy(pair.client.get()), toClient);
    EXPECT_FALSE(pair.server->isClosed());
    EXPECT_FALSE(pair.client->isClosed());
    // The faults did happen.
    size_t dropped = 0;
    for (const WireRecord& record : pair.wireLog) dropped += record.dropped;
    EXPECT_GT(dropped, 20u);
}

// ---- Resends ---------------------------------------------------------------

TEST(ResendTest, BeforeAnySynchronisationAPacketIsResentAfterMoreThanOneSecond) {
    ConnectedPair pair;
    pair.faults(Side::Server).blocked = true;
    pair.sendMessage(Side::Server, 7);
    pair.pump();
    ASSERT_EQ(pair.coreSentBy(Side::Server, CorePacketType::Reliable).size(), 1u);

    pair.clock.advance(1000);  // 100 ticks: not more than the time-out
    pair.tickBoth();
    pair.pump();
    EXPECT_EQ(pair.coreSentBy(Side::Server, CorePacketType::Reliable).size(), 1u);
    pair.run(1, 10);
    const auto sent = pair.coreSentBy(Side::Server, CorePacketType::Reliable);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], sent[0]);
    // And again at every time-out while unacknowledged.
    pair.run(101, 10);
    EXPECT_EQ(pair.coreSentBy(Side::Server, CorePacketType::Reliable).size(), 3u);
}

TEST(ResendTest, MeasuredRoundTripSetsTheTimeOut) {
    ConnectedPair pair;  // the client measured 0 ticks: time-out 0 + 1
    pair.faults(Side::Client).blocked = true;
    pair.sendMessage(Side::Client, 7);
    pair.pump();
    pair.run(1, 10);
    EXPECT_EQ(sequencesOf(pair.coreSentBy(Side::Client, CorePacketType::Reliable)),
              (std::vector<uint32_t>{0, 1}));
    pair.run(1, 10);
    EXPECT_EQ(sequencesOf(pair.coreSentBy(Side::Client, CorePacketType::Reliable)),
              (std::vector<uint32_t>{0, 1, 1}));
}

TEST(ResendTest, TickCounterWrapResendsNothingBeforeItIsDue) {
    // 500 ms before the millisecond counter wraps.
    ConnectedPair pair(LoopbackPair::Options{.startMs = 0xFFFFFFFFu - 500});
    pair.faults(Side::Server).blocked = true;
    pair.sendMessage(Side::Server, 1);
    pair.sendMessage(Side::Server, 2);
    pair.pump();
    ASSERT_EQ(pair.coreSentBy(Side::Server, CorePacketType::Reliable).size(), 2u);

    pair.clock.set(0xFFFFFFFFu);  // 50 ticks later: nothing due
    pair.tickBoth();
    pair.pump();
    EXPECT_EQ(pair.coreSentBy(Side::Server, CorePacketType::Reliable).size(), 2u);

    // The millisecond counter wraps: the transport tick moves on by one
    // hundredth at most, and nothing is due yet.
    pair.clock.advance(1);
    pair.tickBoth();
    pair.pump();
    EXPECT_EQ(pair.coreSentBy(Side::Server, CorePacketType::Reliable).size(), 2u);

    // Once the time-out has passed, both go again, once each.
    const uint32_t timeout = pair.server->roundTrip + pair.server->roundTripDeviation;
    pair.clock.advance(timeout * 10 + 10);
    pair.tickBoth();
    pair.pump();
    EXPECT_EQ(sequencesOf(pair.coreSentBy(Side::Server, CorePacketType::Reliable)),
              (std::vector<uint32_t>{0, 1, 0, 1}));
}

TEST(ResendTest, ConversationCarriesOnAcrossTheMillisecondWrap) {
    // A minute before the wrap, both sides talking every five seconds: well
    // inside the 20-second silence limit all the way across.
    ConnectedPair pair(LoopbackPair::Options{.startMs = 0xFFFFFFFFu - 60000});
    for (uint8_t i = 0; i < 30; ++i) {
        pair.sendMessage(Side::Client, i);
        pair.sendMessage(Side::Server, i);
        pair.run(1, 5000);
        ASSERT_FALSE(pair.server->isClosed()) << "step " << int(i);
        ASSERT_FALSE(pair.client->isClosed()) << "step " << int(i);
    }
    ASSERT_LT(pair.clock.now(), 0xFFFFFFFFu - 60000);  // the wrap was crossed
    // Each message arrived once, and nothing waits for an acknowledgement.
    EXPECT_EQ(pair.recorder.receivedBy(pair.server.get()).size(), 30u);
    EXPECT_EQ(pair.recorder.receivedBy(pair.client.get()).size(), 30u);
    EXPECT_EQ(pair.server->inTransit.count(), 0);

    // Silence across the wrap is still measured exactly: just past the limit.
    pair.faults(Side::Client).blocked = true;
    pair.faults(Side::Server).blocked = true;
    pair.clock.set(0xFFFFFFFFu - 1000);  // wraps forward once more
    pair.server->lastReceiveTick = transportNow();
    pair.run(1, 19000);
    EXPECT_FALSE(pair.server->isClosed());
    pair.run(1, 1010);
    EXPECT_TRUE(pair.server->isClosed());
}

// ---- Round-trip estimator --------------------------------------------------

class RoundTripTest : public ::testing::Test {
protected:
    UdpEndpoint endpoint;  // never opened: the estimator sends nothing
    Connection connection{false, NetAddress(), endpoint, nullptr};
};

TEST_F(RoundTripTest, WorkedExample) {
    EXPECT_EQ(connection.roundTripDeviation, 0u);
    EXPECT_EQ(connection.addRoundTripSample(10), 6u);  // mean 10 / 2 = 5, 25 / 1
    EXPECT_EQ(connection.roundTripDeviation, 6u);
    EXPECT_EQ(connection.addRoundTripSample(10), 5u);  // mean 20 / 3 = 6, 32 / 2
    for (int i = 2; i < 32; ++i) connection.addRoundTripSample(10);
    EXPECT_EQ(connection.roundTripDeviation, 2u);  // mean 320 / 33 = 9, 32 / 32
    EXPECT_EQ(connection.sampleIndex, 0u);
    // The ring wraps: the 33rd sample replaces slot 0.
    connection.addRoundTripSample(43);
    EXPECT_EQ(connection.roundTripSamples[0], 43u);
    // sum 353, mean 10, squares 33^2 + 31 * 0 = 1089, 1089 / 32 = 34, root 5.
    EXPECT_EQ(connection.roundTripDeviation, 6u);
}

TEST_F(RoundTripTest, SamplesCountOnlyUpToTheFirstEmptySlot) {
    connection.addRoundTripSample(10);
    connection.addRoundTripSample(Connection::kEmptySample);
    connection.addRoundTripSample(1000);
    // Only slot 0 counts: the same as a single sample of 10.
    EXPECT_EQ(connection.roundTripDeviation, 6u);
}

TEST_F(RoundTripTest, EmptyMarkerInSlotZeroKeepsTheDeviation) {
    EXPECT_EQ(connection.addRoundTripSample(Connection::kEmptySample), 0u);
    EXPECT_EQ(connection.roundTripDeviation, 0u);
    // After the ring wraps the marker lands in slot 0 again.
    connection.resetRoundTrip();
    for (int i = 0; i < 32; ++i) connection.addRoundTripSample(10);
    ASSERT_EQ(connection.roundTripDeviation, 2u);
    EXPECT_EQ(connection.addRoundTripSample(Connection::kEmptySample), 2u);
    EXPECT_EQ(connection.roundTripDeviation, 2u);
}

TEST_F(RoundTripTest, DifferencesAndSquaresWrapInThirtyTwoBits) {
    // Samples 0 and 100000: mean 33333; squares 33333^2 + 66667^2 = 5555577778,
    // which wraps to 1260610482; / 2 = 630305241; root 25105.
    connection.addRoundTripSample(0);
    EXPECT_EQ(connection.addRoundTripSample(100000), 25106u);
}

TEST(IntegerSquareRootTest, LargestRootNotAboveTheValue) {
    const struct {
        uint32_t x, root;
    } cases[] = {{0, 0},          {1, 1},          {2, 1},          {3, 1},
                 {4, 2},          {15, 3},         {16, 4},         {99, 9},
                 {100, 10},       {65535, 255},    {65536, 256},    {4294836224u, 65534},
                 {4294836225u, 65535}, {0xFFFFFFFFu, 65535}};
    for (const auto& c : cases) EXPECT_EQ(integerSquareRoot(c.x), c.root) << c.x;
    for (uint32_t r = 1; r < 65536; r += 97) {
        ASSERT_EQ(integerSquareRoot(r * r), r);
        ASSERT_EQ(integerSquareRoot(r * r - 1), r - 1);
    }
}

}  // namespace
}  // namespace kelvaro
