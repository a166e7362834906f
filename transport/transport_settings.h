#pragma once
// The settings the reliable transport runs on, handed to every connection
// when it is built. The transport keeps its own copy and never looks
// anywhere else, so two connections in one process may run on different
// values. A default-constructed value holds the built-in defaults.

#include <cstdint>

namespace kelvaro {

// ChunkSize is clamped into this range: a reliable packet around a message of
// ChunkSize + 12 bytes must fit a 520-byte datagram, and a stream piece must
// carry at least one byte.
constexpr uint32_t kMinChunkSize = 1;
constexpr uint32_t kMaxChunkSize = 502;

struct TransportSettings {
    // A connection that has heard nothing for longer than this many transport
    // ticks (hundredths of a second) is closed. Compared unsigned.
    uint32_t PacketSilenceLimit = 2000;
    // Reliable packets kept unacknowledged at once; 0 means none ever leaves.
    uint32_t MaxReliableInTransit = 3;
    // Payload size of chunk and stream pieces, always within kMinChunkSize to
    // kMaxChunkSize (see clampChunkSize).
    uint32_t ChunkSize = 496;
    // Small packets of one step are queued and sent together in clusters.
    bool ClusterMode = false;
};

// A configured ChunkSize as the transport can use it. Takes any signed or
// unsigned 32-bit value exactly.
constexpr uint32_t clampChunkSize(int64_t configured) {
    if (configured < kMinChunkSize) return kMinChunkSize;
    if (configured > kMaxChunkSize) return kMaxChunkSize;
    return static_cast<uint32_t>(configured);
}

}  // namespace kelvaro
