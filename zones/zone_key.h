#pragma once
// The one key a zone's address and port are indexed, remembered and stored
// under: 48 bits, the IPv4 address (network order as held) above the port.
// Tables that hash it mix it themselves.

#include <cstdint>

namespace kelvaro {

constexpr uint64_t zoneKey(uint32_t address, uint16_t port) {
    return (static_cast<uint64_t>(address) << 16) | port;
}
constexpr uint32_t zoneKeyAddress(uint64_t key) { return static_cast<uint32_t>(key >> 16); }
constexpr uint16_t zoneKeyPort(uint64_t key) { return static_cast<uint16_t>(key & 0xFFFF); }

}  // namespace kelvaro
