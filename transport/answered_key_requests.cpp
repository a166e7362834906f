#include "transport/answered_key_requests.h"

namespace kelvaro {

AnsweredKeyRequests::AnsweredKeyRequests(uint64_t hashSeed) : seed(hashSeed) { buckets.fill(kNone); }

// A multiplicative hash of the seeded 48-bit address and port, top bits kept.
uint32_t AnsweredKeyRequests::bucketOf(uint32_t address, uint16_t port) const {
    const uint64_t key = (static_cast<uint64_t>(address) << 16 | port) ^ seed;
    uint64_t mixed = key * 0x9E3779B97F4A7C15ull;
    mixed ^= mixed >> 29;
    return static_cast<uint32_t>((mixed * 0xBF58476D1CE4E5B9ull) >> (64 - kBucketBits));
}

uint16_t AnsweredKeyRequests::lookup(uint32_t address, uint16_t port) const {
    // A chain holds only live entries, so it is never longer than the table.
    for (uint16_t slot = buckets[bucketOf(address, port)]; slot != kNone; slot = entries[slot].next)
        if (entries[slot].address == address && entries[slot].port == port) return slot;
    return kNone;
}

const AnsweredKeyRequests::Entry* AnsweredKeyRequests::find(const NetAddress& source, uint32_t now,
                                                            uint32_t lifetimeTicks) const {
    const uint16_t slot = lookup(source.address(), source.hostPort());
    if (slot == kNone) return nullptr;
    if (now - entries[slot].tick > lifetimeTicks) return nullptr;
    return &entries[slot];
}

void AnsweredKeyRequests::unlink(uint16_t slot) {
    const Entry& entry = entries[slot];
    uint16_t* link = &buckets[bucketOf(entry.address, entry.port)];
    while (*link != kNone && *link != slot) link = &entries[*link].next;
    if (*link == slot) *link = entry.next;
    used.reset(slot);
    --held;
}

void AnsweredKeyRequests::add(const NetAddress& source, int32_t key, uint32_t now) {
    remove(source);
    const uint16_t slot = nextSlot;
    nextSlot = static_cast<uint16_t>((nextSlot + 1) % kCapacity);
    if (used.test(slot)) unlink(slot);
    const uint32_t bucket = bucketOf(source.address(), source.hostPort());
    entries[slot] = Entry{source.address(), key, now, source.hostPort(), buckets[bucket]};
    buckets[bucket] = slot;
    used.set(slot);
    ++held;
}

void AnsweredKeyRequests::remove(const NetAddress& source) {
    const uint16_t slot = lookup(source.address(), source.hostPort());
    if (slot != kNone) unlink(slot);
}

}  // namespace kelvaro
