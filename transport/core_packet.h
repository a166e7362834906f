#pragma once
// The layout shared by every core packet this transport builds or reads: byte
// 0 is 0, byte 1 the CorePacketType, then the packet's own fields.

#include <cstdint>

#include "transport/connection.h"

namespace kelvaro {

constexpr uint8_t kCore = 0;
constexpr uint32_t kCoreHeader = 2;      // 0, type
constexpr uint32_t kSequenceOffset = 2;  // reliable packets and acknowledgements
constexpr uint32_t kReliableHeader = 6;  // 0, 3, sequence as 4 bytes
constexpr uint32_t kStreamHeader = 6;    // 0, 10, total as 4 bytes
// A message of up to ChunkSize + 12 bytes travels whole; a cluster is closed
// before it would pass that length.
constexpr uint32_t kWholeMessageMargin = 12;

inline void putHeader(uint8_t* packet, CorePacketType type) {
    packet[0] = kCore;
    packet[1] = static_cast<uint8_t>(type);
}

}  // namespace kelvaro
