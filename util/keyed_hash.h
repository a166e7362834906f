#pragma once
// A keyed 64-bit hash (SipHash-2-4): without the 16-byte key, its outputs
// cannot be predicted from its inputs, so it can turn a counter into a
// challenge that an outsider cannot guess.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kelvaro {

using HashKey = std::array<uint8_t, 16>;

uint64_t keyedHash(const HashKey& key, std::span<const uint8_t> message);

}  // namespace kelvaro
