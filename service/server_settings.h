#pragma once
// The values of kelvaro.ini. The file is read in one place, at start-up, and
// the values are handed down: the transport and the zone directory get the
// plain values they use (transport(), zones()) when they are built. Every key
// has a built-in default that passes through the same conversion as a value
// from the file, so a missing file, section or key simply yields the default.
// Minute and hour keys are held in milliseconds, converted in 32-bit
// wrap-around arithmetic.

#include <cstdint>
#include <string>

#include "transport/transport_settings.h"
#include "zones/zone_settings.h"

namespace kelvaro {

constexpr int kMaxPeers = 10;
constexpr const char* kIniFileName = "kelvaro.ini";

uint32_t resolveHostAddress(const std::string& text);

struct ServerSettings {
    // Fills every field from <directory>/kelvaro.ini, resolving the peer list
    // with resolve.
    void load(const std::string& directory,
              uint32_t (*resolve)(const std::string&) = resolveHostAddress);

    // Resolves the Directory IP text read by load() into peerAddresses and
    // peerCount once more (names may resolve differently by now).
    void resolvePeers();

    // The values the transport and the zone directory run on.
    TransportSettings transport() const;
    ZoneSettings zones() const;

    int32_t PacketSilenceLimit = 0;   // transport ticks (1/100 s)
    int32_t MaxReliableInTransit = 0; // packets
    int32_t ChunkSize = 0;            // bytes
    bool ClusterMode = false;
    int32_t MaxHosts = 0;             // connections
    int32_t SlowIteration = 0;        // ms
    int32_t IterationSleepTime = 0;   // ms
    int32_t SweepTime = 0;            // ms
    int32_t DropLimit = 0;            // re-pings
    int32_t ReclaimDelay = 0;         // ms (ini: hours)
    int32_t InitialHighPing = 0;      // ms
    int32_t MaxZones = 0;             // zones; 0: no cap
    int32_t MaxZonesPerAddress = 0;   // zones per IPv4 address; 0: no cap
    int32_t MaxPasswordRecords = 0;   // registry records; 0: no cap
    int32_t DownloadTime = 0;         // ms (ini: minutes)
    uint32_t peerAddresses[kMaxPeers] = {};  // IPv4, network order
    int32_t peerCount = 0;
    char StatsFile[32] = {};
    int32_t StatsWriteMinutes = 0;    // ms (ini: minutes)
    std::string peerList;             // the Directory IP text as read
};

// atoi of the profile value (read into a 32-byte buffer). Digits beyond the
// 32-bit range saturate at INT32_MAX / INT32_MIN instead of overflowing.
int32_t readProfileInt(const std::string& section, const std::string& key,
                       const std::string& defaultText, const std::string& path);

// A dotted quad, else the first IPv4 address the name resolves to, else
// 255.255.255.255. Network order.
uint32_t resolveHostAddress(const std::string& text);

// Splits the Directory IP text into at most kMaxPeers entries resolved by
// resolve (names beyond the tenth are ignored); returns the count, which is
// at least 1.
int32_t splitPeerList(const std::string& text, uint32_t (&addresses)[kMaxPeers],
                      uint32_t (*resolve)(const std::string&) = resolveHostAddress);

}  // namespace kelvaro
