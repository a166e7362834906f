#include "util/keyed_hash.h"

#include <bit>

namespace kelvaro {
namespace {

uint64_t readU64(const uint8_t* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i) value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    return value;
}

struct State {
    uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    void absorb(uint64_t word) {
        v3 ^= word;
        round();
        round();
        v0 ^= word;
    }
};

}  // namespace

uint64_t keyedHash(const HashKey& key, std::span<const uint8_t> message) {
    const uint64_t k0 = readU64(key.data(), 8);
    const uint64_t k1 = readU64(key.data() + 8, 8);
    State s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
            k1 ^ 0x7465646279746573ULL};
    const size_t whole = message.size() / 8 * 8;
    for (size_t i = 0; i < whole; i += 8) s.absorb(readU64(message.data() + i, 8));
    // The last word carries the remaining bytes and the length's low byte.
    const uint64_t last = readU64(message.data() + whole, message.size() - whole) |
                          static_cast<uint64_t>(message.size() & 0xFF) << 56;
    s.absorb(last);
    s.v2 ^= 0xFF;
    for (int i = 0; i < 4; ++i) s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace kelvaro
