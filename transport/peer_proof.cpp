// The proof that a listening connection's peer reads what we send: probes
// drawn at random, their acknowledgements, and the byte limit until then.

#include <algorithm>

#include "transport/connection.h"
#include "transport/core_packet.h"
#include "util/bytes.h"

namespace kelvaro {
namespace {

constexpr uint32_t kProbeLength = kReliableHeader + 1;
constexpr uint32_t kBitsPerDraw = 8;
constexpr uint32_t kProbeResendTicks = 25;
static_assert(Connection::kMaxEarlyDistance == 1u << kBitsPerDraw,
              "a probe number must lie where every receiver takes it early");

// kProbeCount distinct numbers from floor up to kMaxEarlyDistance, a byte of
// the seed each; a byte below floor or repeated gives way to the seed's next
// byte, and the unlikely run out of bytes to the next free number.
std::array<uint32_t, Connection::kProbeCount> probeNumbers(uint64_t seed, uint32_t floor) {
    std::array<uint32_t, Connection::kProbeCount> numbers{};
    uint32_t bitsLeft = 64;
    for (uint32_t i = 0; i < numbers.size(); ++i) {
        auto taken = [&](uint32_t candidate) {
            if (candidate < floor) return true;
            for (uint32_t j = 0; j < i; ++j)
                if (numbers[j] == candidate) return true;
            return false;
        };
        uint32_t candidate = 0;
        do {
            if (bitsLeft < kBitsPerDraw) {
                while (taken(candidate)) candidate = (candidate + 1) % Connection::kMaxEarlyDistance;
                break;
            }
            candidate = static_cast<uint32_t>(seed & (Connection::kMaxEarlyDistance - 1));
            seed >>= kBitsPerDraw;
            bitsLeft -= kBitsPerDraw;
        } while (taken(candidate));
        numbers[i] = candidate;
    }
    return numbers;
}

}  // namespace

void Connection::upkeepProof(uint32_t now) {
    if (peerProven) return;
    if (!probesSent) {
        // With no window at all nothing of the reply may leave, probes
        // included.
        if (waiting.empty() || sendWindow() == 0) return;
        // A reply that fits twice in what an unproven peer may draw need
        // not wait for the proof: it leaves in order now, with room for one
        // resend of it all.
        uint32_t total = 0;
        for (auto* node = waiting.head(); node != nullptr && total <= kSmallReplyBytes; node = node->next)
            total += node->element->length;
        if (inTransit.empty() && total <= kSmallReplyBytes) {
            smallReply = true;
            while (promoteWaiting()) {
            }
        }
        // Probes all the same: a proven connection keeps its slot.
        // A short reply has left already, and anyone may acknowledge its
        // numbers unharmed: its probes lie past it.
        probes = probeNumbers(probeSeed, smallReply ? std::min(nextSequence, kMaxEarlyDistance - kProbeCount) : 0);
        for (uint32_t i = 0; i < kProbeCount; ++i) sendProbe(i);
        probesSent = true;
        probeTick = now;
        return;
    }
    // First sooner than the one-second time-out of a connection that never
    // measured its round trip: the whole reply waits on these, and a probe
    // past the reply costs 7 bytes.
    // The interval doubles up to that time-out, so a peer that never
    // answers is not asked four times a second.
    const uint32_t interval =
        std::min(kProbeResendTicks << std::min(probeRounds, 8u), roundTrip + roundTripDeviation);
    if (now - probeTick <= interval) return;
    for (uint32_t i = 0; i < kProbeCount; ++i)
        if ((probesAcknowledged & (1u << i)) == 0) sendProbe(i);
    probeTick = now;
    ++probeRounds;
}

void Connection::sendProbe(uint32_t index) {
    const uint32_t sequence = probes[index];
    if (sequence >= nextSequence) {
        // Past the reply: one byte, a core packet too short for any handler.
        uint8_t packet[kProbeLength];
        putHeader(packet, CorePacketType::Reliable);
        writeU32(packet, kSequenceOffset, sequence);
        packet[kReliableHeader] = kCore;
        transmit(packet, kProbeLength);
        return;
    }
    // A packet of the reply, sent early; the receiver keeps it until its
    // turn, and it leaves once more in order after the proof.
    for (auto* node = waiting.head(); node != nullptr; node = node->next) {
        const ReliablePacket& record = *node->element;
        if (record.sequence != sequence) continue;
        if (mayResend(record.length)) transmit(record.data.get(), record.length);
        return;
    }
}

bool Connection::checkProof(uint32_t sequence) {
    // A datagram may hold many acknowledgements: once one of them has
    // ended the connection, the rest cannot prove it.
    if (closed) return true;
    if (probesSent) {
        for (uint32_t i = 0; i < kProbeCount; ++i) {
            if (probes[i] != sequence) continue;
            probesAcknowledged |= 1u << i;
            if (probesAcknowledged == (1u << kProbeCount) - 1) {
                peerProven = true;
                while (promoteWaiting()) {
                }
            }
            return true;
        }
    }
    // Only a short reply leaves in order before the proof; its numbers are
    // below nextTransitSequence, acknowledged once or many times.
    if (sequence < nextTransitSequence) return false;
    // Nothing we sent carried this number: the sender acknowledges blind.
    disconnect(false);
    return true;
}

}  // namespace kelvaro
