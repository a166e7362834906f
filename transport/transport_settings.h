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
// The widest window MaxWindow can open: a receiver takes packets up to 255
// ahead of the next one it expects and drops anything further.
constexpr uint32_t kMaxWindow = 255;

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
    // The widest window a connection may open to, in packets. At or below
    // MaxReliableInTransit (0 by default) the window stays MaxReliableInTransit.
    // Above it the window starts there, opens by one packet for every packet
    // acknowledged and halves (never below MaxReliableInTransit) when a packet
    // has to be resent. Values above kMaxWindow count as kMaxWindow.
    uint32_t MaxWindow = 0;
    // The most connections a listening manager holds from one IPv4 address
    // (any port); 0: no limit but MaxHosts.
    uint32_t MaxHostsPerAddress = 0;
};

// A configured ChunkSize as the transport can use it. Takes any signed or
// unsigned 32-bit value exactly.
constexpr uint32_t clampChunkSize(int64_t configured) {
    if (configured < kMinChunkSize) return kMinChunkSize;
    if (configured > kMaxChunkSize) return kMaxChunkSize;
    return static_cast<uint32_t>(configured);
}

}  // namespace kelvaro
