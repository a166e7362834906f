#pragma once
// The key requests a listening port has answered whose senders have not yet
// sent anything else: the first half of a connection, kept apart so that it
// takes no connection slot. Anyone can send key requests from any number of
// forged addresses; here each costs one small fixed entry, and the table
// never grows: when it is full, a new answer takes the place of the oldest.
//
// Everything is allocated once, when the table is made: kCapacity entries of
// 16 bytes and a bucket index of 2 bytes per entry, kMemoryBytes in all.
// Lookups hash the address and port with a per-table seed, so their cost does
// not depend on how many entries are held, nor can senders choose addresses
// that share a bucket without knowing the seed.

#include <array>
#include <bitset>
#include <cstdint>

#include "net/udp_endpoint.h"

namespace kelvaro {

class AnsweredKeyRequests {
public:
    static constexpr uint32_t kCapacity = 4096;

    struct Entry {
        uint32_t address = 0;  // network order
        int32_t key = 0;       // the key the response carried: the connection's key
        uint32_t tick = 0;     // transport tick of the answer
        uint16_t port = 0;     // host order
        uint16_t next = 0;     // the next entry in the same bucket, or kNone
    };
    static_assert(sizeof(Entry) == 16);

    explicit AnsweredKeyRequests(uint64_t seed);

    // The answer held for this address and port, given at most lifetimeTicks
    // before now (unsigned ticks); nullptr when there is none. The pointer is
    // valid until the next add() or remove().
    const Entry* find(const NetAddress& source, uint32_t now, uint32_t lifetimeTicks) const;
    // Keeps an answer for source, replacing any it had; when every entry is
    // taken, the oldest answer is forgotten.
    void add(const NetAddress& source, int32_t key, uint32_t now);
    // Forgets the answer for source, if there is one.
    void remove(const NetAddress& source);
    // Answers held, whatever their age.
    uint32_t count() const { return held; }

private:
    static constexpr uint16_t kNone = 0xFFFF;
    static constexpr uint32_t kBucketBits = 12;
    static_assert(kCapacity == 1u << kBucketBits && kCapacity < kNone);

    uint32_t bucketOf(uint32_t address, uint16_t port) const;
    uint16_t lookup(uint32_t address, uint16_t port) const;  // kNone when absent
    void unlink(uint16_t slot);

    std::array<Entry, kCapacity> entries{};
    std::array<uint16_t, kCapacity> buckets;  // first entry of each bucket
    std::bitset<kCapacity> used;
    uint64_t seed;
    uint32_t held = 0;
    // Entries are taken in turn, so the entry a new answer takes is always
    // the one given kCapacity answers ago: the oldest, if still held.
    uint16_t nextSlot = 0;

public:
    static constexpr size_t kMemoryBytes = sizeof(entries) + sizeof(buckets) + sizeof(used);
};

}  // namespace kelvaro
