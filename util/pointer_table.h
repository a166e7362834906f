#pragma once
// A compact hash index of pointers to objects owned elsewhere: open addressing
// with linear probing, one machine word per slot, at most 80 % full. The low
// bits of each slot (free, since heap objects are aligned) carry a few bits of
// the key's hash, so a probe reads the object behind a slot only when those
// bits agree.
//
// HashOf is a stateless function object giving the 64-bit hash of an object's
// key; the table needs it to move objects when it grows or erases. Lookups
// pass the hash of the key they look for and a predicate that recognises it.
// Nothing here allocates except insert() when the table grows.
//
// Keys may come from the network, so each table mixes the hashes with a seed
// of its own before choosing a slot: a sender who knows the hash functions
// still cannot predict which keys share a probe run.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace kelvaro {

// Mixes a 64-bit value so that every input bit reaches every output bit.
inline uint64_t mixBits(uint64_t value) {
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    value *= 0xc4ceb9fe1a85ec53ULL;
    value ^= value >> 33;
    return value;
}

template <typename T, typename HashOf>
class PointerTable {
public:
    PointerTable()
        : seed(mixBits(reinterpret_cast<uintptr_t>(this) ^
                       static_cast<uint64_t>(
                           std::chrono::steady_clock::now().time_since_epoch().count()))) {}
    PointerTable(const PointerTable&) = delete;
    PointerTable& operator=(const PointerTable&) = delete;

    size_t size() const { return count; }
    size_t capacity() const { return slots.size(); }

    // The first object whose hash is hash and for which matches(object) holds.
    template <typename Matches>
    T* find(uint64_t keyHash, Matches&& matches) const {
        if (slots.empty()) return nullptr;
        const uint64_t hash = seeded(keyHash);
        const size_t mask = slots.size() - 1;
        const uintptr_t tag = tagOf(hash);
        // A table never fills up, so an empty slot always ends the probe; the
        // count only bounds the walk.
        for (size_t i = hash & mask, probes = 0; probes < slots.size(); i = (i + 1) & mask, ++probes) {
            const uintptr_t slot = slots[i];
            if (slot == 0) return nullptr;
            if ((slot & kTagMask) == tag && matches(*objectOf(slot))) return objectOf(slot);
        }
        return nullptr;
    }

    // Loading ahead, for a caller that will soon look keyHash up and has other
    // work to do meanwhile: prefetchSlot starts loading the slot a find
    // begins with; candidate, best called once that slot has arrived, is the
    // object a find would try first (its tag agrees), unverified, or nullptr.
    void prefetchSlot(uint64_t keyHash) const {
        if (!slots.empty()) __builtin_prefetch(&slots[seeded(keyHash) & (slots.size() - 1)]);
    }
    T* candidate(uint64_t keyHash) const {
        if (slots.empty()) return nullptr;
        const uint64_t hash = seeded(keyHash);
        const size_t mask = slots.size() - 1;
        const uintptr_t tag = tagOf(hash);
        for (size_t i = hash & mask, probes = 0; probes < kCandidateProbes; i = (i + 1) & mask, ++probes) {
            const uintptr_t slot = slots[i];
            if (slot == 0) return nullptr;
            if ((slot & kTagMask) == tag) return objectOf(slot);
        }
        return nullptr;
    }

    // Adds object (not yet in the table).
    void insert(T* object) {
        if ((count + 1) * kLoadDenominator > slots.size() * kLoadNumerator) grow();
        place(object);
        ++count;
    }

    // Removes object; false when it is not in the table.
    bool erase(const T* object) {
        if (slots.empty()) return false;
        const size_t mask = slots.size() - 1;
        size_t i = seeded(HashOf{}(*object)) & mask;
        for (size_t probes = 0; probes < slots.size(); i = (i + 1) & mask, ++probes) {
            if (slots[i] == 0) return false;
            if (objectOf(slots[i]) == object) break;
        }
        if (objectOf(slots[i]) != object) return false;
        // Backward shift: later members of the probe run move up into the gap
        // when their home slot allows, so no lookup ever stops short.
        size_t gap = i;
        for (size_t j = (gap + 1) & mask; slots[j] != 0; j = (j + 1) & mask) {
            const size_t home = seeded(HashOf{}(*objectOf(slots[j]))) & mask;
            if (((j - home) & mask) >= ((j - gap) & mask)) {
                slots[gap] = slots[j];
                gap = j;
            }
        }
        slots[gap] = 0;
        --count;
        return true;
    }

    void clear() {
        slots.clear();
        count = 0;
    }

private:
    static_assert(__STDCPP_DEFAULT_NEW_ALIGNMENT__ >= 16, "slot tags need 4 free pointer bits");
    static constexpr uintptr_t kTagMask = 15;
    static constexpr size_t kLoadNumerator = 4;  // at most 4/5 full
    static constexpr size_t kLoadDenominator = 5;
    static constexpr size_t kFirstCapacity = 16;
    static constexpr size_t kCandidateProbes = 4;  // a run's first half line

    uint64_t seeded(uint64_t keyHash) const { return mixBits(keyHash ^ seed); }
    static uintptr_t tagOf(uint64_t hash) { return static_cast<uintptr_t>(hash >> 60) & kTagMask; }
    static T* objectOf(uintptr_t slot) { return reinterpret_cast<T*>(slot & ~kTagMask); }

    void place(T* object) {
        const uint64_t hash = seeded(HashOf{}(*object));
        const size_t mask = slots.size() - 1;
        size_t i = hash & mask;
        while (slots[i] != 0) i = (i + 1) & mask;
        slots[i] = reinterpret_cast<uintptr_t>(object) | tagOf(hash);
    }

    void grow() {
        std::vector<uintptr_t> old;
        old.swap(slots);
        slots.assign(old.empty() ? kFirstCapacity : old.size() * 2, 0);
        for (const uintptr_t slot : old)
            if (slot != 0) place(objectOf(slot));
    }

    uint64_t seed;
    std::vector<uintptr_t> slots;  // 0 = empty; else object address | hash tag
    size_t count = 0;
};

}  // namespace kelvaro
