// Reliable delivery: numbering, the send window, acknowledgements, resends on
// time-out, in-order delivery with the early-packet list, and the round-trip
// estimator that sets the time-out.

#include <algorithm>

#include "transport/connection.h"
#include "transport/core_packet.h"
#include "util/bytes.h"

namespace kelvaro {
namespace {

constexpr uint32_t kMinReliablePacket = kReliableHeader + 1;
constexpr uint32_t kAckLength = 6;

std::unique_ptr<ReliablePacket> recordOf(const uint8_t* bytes, uint32_t length,
                                         uint32_t sequence) {
    auto record = std::make_unique<ReliablePacket>();
    record->data = std::make_unique_for_overwrite<uint8_t[]>(length);
    copyBytes(bytes, record->data.get(), length);
    record->length = length;
    record->sequence = sequence;
    record->sentTick = transportNow();
    return record;
}

}  // namespace

bool Connection::queueReliable(const uint8_t* packet, uint32_t length) {
    // Only send() calls this, always with a whole reliable packet.
    const uint32_t sequence = readU32(packet, kSequenceOffset);
    std::unique_ptr<ReliablePacket> record = recordOf(packet, length, sequence);
    ++nextSequence;
    // Packets enter transit in their order: none overtakes one that waits.
    if (!waiting.empty() || !mayTransmit(length, sequence)) {
        waiting.append(std::move(record));
        return false;
    }
    countTransmission(*record);
    inTransit.append(std::move(record));
    ++nextTransitSequence;
    return true;
}

bool Connection::windowOpens() const {
    return std::min(settings.MaxWindow, kMaxWindow) > settings.MaxReliableInTransit;
}

bool Connection::mayTransmit(uint32_t length, uint32_t sequence) const {
    if (static_cast<uint32_t>(inTransit.count()) >= sendWindow()) return false;
    if (!peerProven) {
        // Unproven, only a short reply leaves in order; a longer one waits
        // for the probes to be answered.
        if (!smallReply) return false;
        if (unprovenBytes + length + kUnprovenControlReserve > kUnprovenByteLimit) return false;
    }
    // A wide window could run 256 or more ahead of a packet the peer still
    // lacks; the peer would drop such a packet unread, so it waits.
    if (windowOpens() && inTransit.head() != nullptr &&
        sequence - inTransit.head()->element->sequence >= kMaxEarlyDistance)
        return false;
    return true;
}

bool Connection::mayResend(uint32_t length) const {
    return peerProven || unprovenBytes + length + kUnprovenControlReserve <= kUnprovenByteLimit;
}

void Connection::countTransmission(ReliablePacket& record) {
    record.transmission = ++transmissions;
    record.passedBy = 0;
}

// Only packets whose last transmission came before the acknowledged one's are
// passed over: a packet just resent has had no chance to arrive yet.
void Connection::resendPassedOver(const ReliablePacket& acknowledged) {
    if (!windowOpens()) return;
    const uint32_t now = transportNow();
    bool resent = false;
    for (auto* node = inTransit.head(); node != nullptr; node = node->next) {
        ReliablePacket& record = *node->element;
        if (&record == &acknowledged) continue;
        if (static_cast<int32_t>(acknowledged.transmission - record.transmission) <= 0) continue;
        if (++record.passedBy < kPassesBeforeResend) continue;
        transmit(record.data.get(), record.length);
        countTransmission(record);
        record.sentTick = now;
        resent = true;
    }
    if (resent) narrowWindow(now, roundTrip + roundTripDeviation);
}

// One more packet for every packet acknowledged: the window doubles each
// round trip until it reaches MaxWindow.
void Connection::openWindow() {
    if (windowOpens() && window < std::min(settings.MaxWindow, kMaxWindow)) ++window;
}

void Connection::narrowWindow(uint32_t now, uint32_t timeout) {
    if (!windowOpens()) return;
    if (windowCut && now - windowCutTick <= timeout) return;
    window = std::max(window / 2, settings.MaxReliableInTransit);
    windowCutTick = now;
    windowCut = true;
}

// Acknowledgements are not cumulative: each releases its own packet only.
void Connection::onAck(uint32_t sequence) {
    if (!peerProven && checkProof(sequence)) return;
    if (sequence > nextTransitSequence) return;
    for (auto* node = inTransit.head(); node != nullptr; node = node->next) {
        if (node->element->sequence != sequence) continue;
        resendPassedOver(*node->element);
        inTransit.removeNode(node);
        openWindow();
        // Without MaxWindow this promotes exactly one packet, as the window
        // never changes; an opening window may take two.
        while (promoteWaiting()) {
        }
        return;
    }
}

bool Connection::promoteWaiting() {
    for (auto* node = waiting.head(); node != nullptr; node = node->next) {
        if (node->element->sequence != nextTransitSequence) continue;
        if (!mayTransmit(node->element->length, nextTransitSequence)) return false;
        std::unique_ptr<ReliablePacket> record = waiting.detachNode(node);
        // Stored whole, header and number included.
        transmit(record->data.get(), record->length);
        countTransmission(*record);
        record->sentTick = transportNow();
        inTransit.append(std::move(record));
        ++nextTransitSequence;
        return true;
    }
    return false;
}

// A packet too far ahead is not acknowledged, so the sender keeps it and
// resends it once the gap before it has closed.
void Connection::onReliablePacket(const uint8_t* packet, uint32_t length) {
    if (length < kMinReliablePacket) return;
    const uint32_t sequence = readU32(packet, kSequenceOffset);
    if (sequence > nextExpected && sequence - nextExpected >= kMaxEarlyDistance) return;
    // Everything else is acknowledged, duplicates included: their first
    // acknowledgement may have been lost.
    sendAck(sequence);
    onReliable(sequence, packet + kReliableHeader, length - kReliableHeader);
}

void Connection::sendAck(uint32_t sequence) {
    uint8_t packet[kAckLength];
    putHeader(packet, CorePacketType::Ack);
    writeU32(packet, kSequenceOffset, sequence);
    send(packet, kAckLength, false);
}

void Connection::onReliable(uint32_t sequence, const uint8_t* payload, uint32_t length) {
    if (sequence < nextExpected) return;  // delivered before
    if (sequence > nextExpected) {
        if (sequence - nextExpected >= kMaxEarlyDistance) return;
        for (auto* node = outOfOrder.head(); node != nullptr; node = node->next)
            if (node->element->sequence == sequence) return;
        outOfOrder.append(recordOf(payload, length, sequence));
        return;
    }
    // The handler runs before nextExpected moves past its message.
    deliver(payload, length);
    ++nextExpected;
    // Drain the early packets that are now in order. Each record is taken off
    // the list before its delivery, so a handler that feeds this connection
    // again (a payload may itself hold reliable packets) cannot free it under us.
    for (bool found = true; found;) {
        found = false;
        for (auto* node = outOfOrder.head(); node != nullptr; node = node->next) {
            if (node->element->sequence != nextExpected) continue;
            std::unique_ptr<ReliablePacket> record = outOfOrder.detachNode(node);
            deliver(record->data.get(), record->length);
            ++nextExpected;
            found = true;
            break;
        }
    }
}

void Connection::resendOverdue() {
    const uint32_t now = transportNow();
    const uint32_t timeout = roundTrip + roundTripDeviation;
    bool resent = false;
    for (auto* node = inTransit.head(); node != nullptr; node = node->next) {
        ReliablePacket& record = *node->element;
        // Unsigned ages: correct across the wrap of the transport tick.
        if (now - record.sentTick <= timeout) continue;
        // An unproven peer gets no more than its byte limit; the packet
        // stays overdue and goes out at the first tick after the proof.
        if (!mayResend(record.length)) continue;
        transmit(record.data.get(), record.length);
        countTransmission(record);
        record.sentTick = now;
        resent = true;
    }
    if (resent) narrowWindow(now, timeout);
}

void Connection::resetRoundTrip() {
    roundTripDeviation = 0;
    sampleIndex = 0;
    for (uint32_t& slot : roundTripSamples) slot = kEmptySample;
}

// The mean divides by n + 1, not n, and every sum wraps in 32 bits. That skews
// the estimate a little, but resend timing has always followed exactly this
// arithmetic, so it stays.
uint32_t Connection::addRoundTripSample(uint32_t sample) {
    roundTripSamples[sampleIndex] = sample;
    if (++sampleIndex == kRoundTripSlots) sampleIndex = 0;

    uint32_t counted = 0;
    uint32_t sum = 0;
    while (counted < kRoundTripSlots && roundTripSamples[counted] != kEmptySample)
        sum += roundTripSamples[counted++];
    // A sample equal to the empty marker in slot 0 leaves nothing counted:
    // keep the deviation we had rather than divide by zero.
    if (counted == 0) return roundTripDeviation;

    const uint32_t mean = sum / (counted + 1);
    uint32_t squares = 0;
    for (uint32_t i = 0; i < counted; ++i) {
        const uint32_t difference = roundTripSamples[i] - mean;
        squares += difference * difference;
    }
    roundTripDeviation = integerSquareRoot(squares / counted) + 1;
    return roundTripDeviation;
}

// Bit by bit from the top: at most 16 steps, no division, exact for every
// 32-bit input.
uint32_t integerSquareRoot(uint32_t x) {
    uint32_t root = 0;
    for (int k = 15; k >= 0; --k) {
        const uint32_t bit = 1u << k;
        // root only holds bits above k, which keeps (2 * root + bit) * bit
        // below 2^31 at every step: no overflow.
        const uint32_t trial = (2 * root + bit) << k;
        if (x >= trial) {
            root += bit;
            x -= trial;
        }
    }
    return root;
}

}  // namespace kelvaro
