// The proof a listening connection asks of its peer before it sends more
// than a little: which packets are probes, what a sender that acknowledges
// blind can draw, and what a short reply does without it.

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
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

Bytes messageOfPieces(uint32_t pieces) {
    Bytes message(pieces * kPiece, 0x5C);
    message[0] = 1;
    return message;
}

Bytes ackOf(uint32_t sequence) {
    Bytes packet{0, 4, 0, 0, 0, 0};
    writeU32(packet.data(), 2, sequence);
    return packet;
}

// A listening connection aimed at a victim's address, keys exchanged in clear
// (key 0) and a list request taken, whose answer is a list of the given
// number of pieces.
class ListAnswer {
public:
    ListAnswer(uint32_t pieces, uint64_t seed, const TransportSettings& settings)
        : list(messageOfPieces(pieces)) {
        local.open(0);
        connection = std::make_unique<Connection>(
            true, victim.address(), local,
            [this](ReceivedMessage& m) {
                m.connection->send(list.data(), static_cast<uint32_t>(list.size()), true);
            },
            settings);
        connection->probeSeed = seed;
        feed({0, 1, 0, 0, 0, 0, 1, 0});
        feed({0, 3, 0, 0, 0, 0, 1, 0, 0, 0, 0});
    }

    void feed(Bytes datagram) {
        connection->receive(datagram.data(), static_cast<uint32_t>(datagram.size()));
    }

    size_t bytesToVictim() {
        size_t bytes = 0;
        for (const Bytes& datagram : victim.drain()) bytes += datagram.size();
        return bytes;
    }

    ManualClock clock{900000};
    DatagramSink victim;
    UdpEndpoint local;
    Bytes list;
    std::unique_ptr<Connection> connection;
};

TEST(PeerProofTest, ProbeNumbersAreDistinctBytesOfTheSeedBelowTheEarlyLimit) {
    struct Case {
        uint64_t seed;
        std::array<uint32_t, Connection::kProbeCount> probes;
    };
    const Case cases[] = {
        {0xC802, {2, 200}},
        {0x0505, {5, 0}},  // a repeated byte gives way to the next
        {0, {0, 1}},       // every byte repeats: the next free number
        {~0ull, {255, 0}},
        {0x1234'5678'0000'0001, {1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.seed));
        ListAnswer answer(10, c.seed, TransportSettings{});
        answer.connection->tick();
        EXPECT_TRUE(answer.connection->probesSent);
        EXPECT_EQ(answer.connection->probes, c.probes);
    }
}

// Whatever a blind sender acknowledges, and however often, the victim gets at
// most the limit; a guess that names a number never sent ends the
// connection. Only a sender that knows the probes, as a reader does, lifts it.
TEST(PeerProofTest, BlindAcknowledgementsDrawAtMostTheUnprovenLimit) {
    using Acks = std::function<std::vector<uint32_t>(const Connection&, int step)>;
    auto range = [](uint32_t from, uint32_t to) {
        std::vector<uint32_t> sequences;
        for (uint32_t s = from; s <= to; ++s) sequences.push_back(s);
        return sequences;
    };
    struct Forger {
        const char* name;
        Acks acks;
        bool closes;  // before the silence limit, which a proven peer also meets here
        bool proves;
    };
    const Forger forgers[] = {
        {"0 to 150 once, before anything left", [&](const Connection&, int step) {
             return step == -1 ? range(0, 150) : std::vector<uint32_t>{};
         }, true, false},
        {"0 to 150 every second", [&](const Connection&, int step) {
             return step % 10 == 0 ? range(0, 150) : std::vector<uint32_t>{};
         }, true, false},
        {"one probe right, then a wrong guess", [&](const Connection& c, int step) {
             return step == 0 ? std::vector<uint32_t>{c.probes[0], c.probes[0] + 1} : std::vector<uint32_t>{};
         }, true, false},
        {"nothing at all", [&](const Connection&, int) { return std::vector<uint32_t>{}; }, true, false},
        {"the probes themselves", [&](const Connection& c, int step) {
             return step == 0 ? std::vector<uint32_t>{c.probes[0], c.probes[1]} : std::vector<uint32_t>{};
         }, false, true},
    };
    for (uint32_t maxWindow : {0u, 64u}) {
        for (const Forger& forger : forgers) {
            SCOPED_TRACE(std::string(forger.name) + ", MaxWindow " + std::to_string(maxWindow));
            // Probes 58 (a piece of the list) and 97 (past it).
            ListAnswer answer(85, 0x3A61,
                              TransportSettings{.PacketSilenceLimit = 2000, .MaxWindow = maxWindow});
            Connection& connection = *answer.connection;
            // 25 seconds in tenths, bounded however the connection ends.
            for (int step = -1; step < 250 && !connection.isClosed(); ++step) {
                if (step >= 0) {
                    answer.clock.advance(100);
                    connection.tick();
                }
                for (uint32_t sequence : forger.acks(connection, step)) answer.feed(ackOf(sequence));
            }
            const size_t drawn = answer.bytesToVictim();
            EXPECT_EQ(connection.peerProven, forger.proves);
            if (forger.proves) {
                EXPECT_GT(drawn, Connection::kUnprovenByteLimit);
            } else {
                EXPECT_LE(drawn, Connection::kUnprovenByteLimit);
                EXPECT_EQ(connection.isClosed(), forger.closes);
            }
        }
    }
}

// A reply that fits twice within the limit does not wait for the proof, and
// its probes lie past it; the numbers it used may be acknowledged again and
// again, any other but the probes ends the connection.
TEST(PeerProofTest, ShortReplyLeavesAtOnceBesideProbesPastIt) {
    for (bool guess : {false, true}) {
        SCOPED_TRACE(guess ? "a wrong number" : "the probes");
        ListAnswer answer(1, 0x0100, TransportSettings{});  // bytes 0 and 1 fall in the reply
        Connection& connection = *answer.connection;
        connection.tick();
        const std::vector<Bytes> sent = answer.victim.drain();
        ASSERT_EQ(sent.size(), 5u);  // key response, acknowledgement, the list, two probes
        EXPECT_EQ(testing::sequenceOf(sent[2]), 0u);
        EXPECT_EQ(sent[3], (Bytes{0, 3, 1, 0, 0, 0, 0}));
        EXPECT_EQ(sent[4], (Bytes{0, 3, 2, 0, 0, 0, 0}));

        answer.feed(ackOf(0));
        answer.feed(ackOf(0));
        EXPECT_FALSE(connection.isClosed());
        EXPECT_FALSE(connection.peerProven);
        if (guess) {
            answer.feed(ackOf(3));
            EXPECT_TRUE(connection.isClosed());
        } else {
            answer.feed(ackOf(2));
            answer.feed(ackOf(1));
            EXPECT_TRUE(connection.peerProven);
            EXPECT_FALSE(connection.isClosed());
        }
    }
}

// A client that follows the protocol proves itself without knowing it: it
// acknowledges the probes like any early packet, and the piece sent early as
// a probe and again in order reaches it once, on a lossy path too.
TEST(PeerProofTest, ARealClientProvesItselfAndGetsTheWholeMessageOnce) {
    using testing::LoopbackPair;
    using testing::Side;
    for (uint32_t maxWindow : {0u, 64u}) {
        SCOPED_TRACE("MaxWindow " + std::to_string(maxWindow));
        // Probes 2 (a piece of the message) and 100 (past its last piece, 99).
        LoopbackPair pair(LoopbackPair::Options{.seed = 7,
                                                .settings = {.MaxWindow = maxWindow},
                                                .serverProven = false,
                                                .probeSeed = 0x6402});
        pair.connect();
        pair.recorder.clear();
        pair.faults(Side::Server) = {.lossPerMille = 100, .delayPerMille = 200};
        pair.faults(Side::Client) = {.lossPerMille = 100, .delayPerMille = 200};
        const Bytes message = messageOfPieces(100);
        pair.server->send(message.data(), static_cast<uint32_t>(message.size()), true);
        for (int step = 0; step < 3000 && pair.recorder.receivedBy(pair.client.get()).empty(); ++step)
            pair.run(1, 50);
        EXPECT_TRUE(pair.server->peerProven);
        EXPECT_FALSE(pair.server->isClosed());
        pair.run(40, 50);  // late copies of the early piece change nothing
        EXPECT_EQ(pair.recorder.receivedBy(pair.client.get()), std::vector<Bytes>{message});
    }
}

}  // namespace
}  // namespace kelvaro
