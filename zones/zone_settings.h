#pragma once
// The settings the zone directory runs on, handed to the zone list and the
// password registry when they are built. Intervals are milliseconds and, like
// every interval of the program, compared unsigned: a value read from a
// negative setting is a huge interval that never passes. A default-constructed
// value holds the built-in defaults.

#include <cstdint>

namespace kelvaro {

struct ZoneSettings {
    // Least time between two sweep pings.
    uint32_t SweepTime = 500;
    // A zone is dropped once it has missed more re-pings than this.
    uint32_t DropLimit = 10;
    // How long a name's password stays bound to it without use (24 hours).
    uint32_t ReclaimDelay = 24u * 60u * 60u * 1000u;
    // A new zone's first highPing: its re-ping interval until replies raise it.
    uint32_t InitialHighPing = 300;
    // Caps against registration floods; 0 means no cap. An unknown zone is not
    // added once the list holds MaxZones records, or MaxZonesPerAddress from
    // its IPv4 address; a name that would need a new password record is
    // refused once the registry holds MaxPasswordRecords. Known zones and
    // known names are never refused by a cap.
    uint32_t MaxZones = 0;
    uint32_t MaxZonesPerAddress = 0;
    uint32_t MaxPasswordRecords = 0;
    // Longest time a full sweep of the list may take: each sweep then pings
    // as many zones as that needs (see sweep_pace.h). 0: one zone per sweep.
    uint32_t SweepCycle = 0;
    // How long a zone dropped for not answering is kept from coming back
    // through a peer's server list (see rejoin_memory.h). 0: no such memory.
    uint32_t RejoinDelay = 0;
    // Zones must prove their address before they are listed: pings carry
    // unguessable tokens, and a new zone waits among at most MaxPendingZones
    // pending ones until it echoes one (see pending_zones.h).
    bool VerifiedZones = false;
    uint32_t MaxPendingZones = 10000;
};

}  // namespace kelvaro
