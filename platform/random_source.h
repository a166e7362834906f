#pragma once
// The system's random source (getrandom(2)), for secrets drawn once at start.

#include <cstdint>
#include <span>
#include <string>

namespace kelvaro {

// Fills out with random bytes from the kernel. False, with reason set, when
// the source cannot deliver them; out is then not to be used.
bool fillRandom(std::span<uint8_t> out, std::string& reason);

}  // namespace kelvaro
