#pragma once
// The zones recently dropped for not answering, so that a peer's server list,
// which may still hold them, does not bring them straight back. A zone is
// remembered for RejoinDelay ms from its drop; its own update datagram is
// proof of life and adds it at once whatever this says (the zone list then
// forgets the entry).
//
// Bounded whatever the traffic: at most capacity() entries (by default
// kRejoinMemoryCapacity, about 6 MB at most). Every entry lives the same
// time, so the oldest one always expires first; at the bound the oldest is
// forgotten early to make room, and that zone may come back from a peer
// before its delay is over (it is then pinged and dropped again by the
// ordinary rule). Entries are found by a hash of address and port, never by a
// walk; expiry takes them from the front of a queue in drop order.
//
// Time is the caller's 32-bit millisecond tick. expire() must run at least
// once in every 2^31 ms (the service calls it every iteration) so that no
// entry lives through the counter's wrap and seems young again.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>

#include "zones/zone_key.h"

namespace kelvaro {

// More than a whole list of a hundred thousand zones dropped at once.
constexpr size_t kRejoinMemoryCapacity = size_t{1} << 17;

class RejoinMemory {
public:
    // delayMs 0 turns the memory off: nothing is remembered or refused.
    explicit RejoinMemory(uint32_t delayMs, size_t capacity = kRejoinMemoryCapacity);
    RejoinMemory(const RejoinMemory&) = delete;
    RejoinMemory& operator=(const RejoinMemory&) = delete;

    // Remembers the zone as dropped at now, making room at the bound.
    void remember(const IpAddress& address, uint16_t port, uint32_t now);

    // True while no more than the delay has passed since the zone was
    // remembered (the same strict test as every interval of the service).
    bool holds(const IpAddress& address, uint16_t port, uint32_t now);

    // Forgets the zone, if remembered.
    void forget(const IpAddress& address, uint16_t port);

    // Forgets every entry older than the delay.
    void expire(uint32_t now);

    // A new delay for every test from now on, remembered entries included;
    // 0 turns the memory off.
    void setDelay(uint32_t delayMs) { delay = delayMs; }
    bool enabled() const { return delay != 0; }
    size_t size() const { return index.size(); }
    size_t capacity() const { return limit; }
    // Entries forgotten early because the memory was full.
    uint64_t evicted() const { return evictions; }

private:
    struct Entry {
        ZoneKey key;
        uint64_t sequence;  // its place in drops, so a stale copy is recognised
        uint32_t tick;
    };
    // The keys may come from a peer's list, so they are mixed with a seed of
    // this memory's own before they choose a bucket.
    struct KeyHash {
        uint64_t seed;
        size_t operator()(const ZoneKey& key) const;
    };

    // Takes the oldest copy off the queue; true when it was the key's live entry.
    bool popFront();

    uint32_t delay;
    size_t limit;
    std::deque<Entry> order;  // oldest first; may hold stale copies of a key
    uint64_t firstSequence = 0;
    uint64_t nextSequence = 0;
    std::unordered_map<ZoneKey, uint64_t, KeyHash> index;  // key -> sequence in order
    uint64_t evictions = 0;
};

}  // namespace kelvaro
