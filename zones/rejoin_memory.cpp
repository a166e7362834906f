#include "zones/rejoin_memory.h"

#include <chrono>

#include "platform/tick_clock.h"
#include "util/pointer_table.h"
#include "zones/zone_key.h"

namespace kelvaro {
namespace {

uint64_t freshSeed(const void* owner) {
    return mixBits(reinterpret_cast<uintptr_t>(owner) ^
                   static_cast<uint64_t>(
                       std::chrono::steady_clock::now().time_since_epoch().count()));
}

}  // namespace

size_t RejoinMemory::KeyHash::operator()(const ZoneKey& key) const {
    return static_cast<size_t>(mixBits(key.hash() ^ seed));
}

RejoinMemory::RejoinMemory(uint32_t delayMs, size_t capacity)
    : delay(delayMs),
      limit(capacity == 0 ? 1 : capacity),
      index(0, KeyHash{freshSeed(this)}) {}

void RejoinMemory::remember(const IpAddress& address, uint16_t port, uint32_t now) {
    if (!enabled()) return;
    expire(now);
    // Stale copies count against the bound too, so the queue never outgrows it.
    if (order.size() >= limit && popFront()) ++evictions;
    const ZoneKey key = zoneKey(address, port);
    order.push_back(Entry{key, nextSequence, now});
    index[key] = nextSequence++;
}

bool RejoinMemory::holds(const IpAddress& address, uint16_t port, uint32_t now) {
    if (!enabled()) return false;
    expire(now);
    const auto found = index.find(zoneKey(address, port));
    if (found == index.end()) return false;
    const Entry& entry = order[static_cast<size_t>(found->second - firstSequence)];
    return !intervalPassed(now, entry.tick, delay);
}

void RejoinMemory::forget(const IpAddress& address, uint16_t port) {
    index.erase(zoneKey(address, port));  // its copy in order goes stale
}

void RejoinMemory::expire(uint32_t now) {
    while (!order.empty() && intervalPassed(now, order.front().tick, delay)) popFront();
}

bool RejoinMemory::popFront() {
    const Entry& front = order.front();
    const auto found = index.find(front.key);
    const bool live = found != index.end() && found->second == front.sequence;
    if (live) index.erase(found);
    order.pop_front();
    ++firstSequence;
    return live;
}

}  // namespace kelvaro
