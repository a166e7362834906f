#pragma once
// How many zones one sweep pings, and how long a full round of the list takes.
//
// The sweep runs at most once per SweepTime. With no SweepCycle it pings one
// zone, so a list of N zones is swept in N x SweepTime. With a SweepCycle of
// C ms it pings k = max(1, ceil(N x SweepTime / C)) zones, so every listed
// zone is pinged at least once per C (give or take one sweep), whatever N is.
// A sweep never pings more zones than are listed.

#include <cstdint>

#include "zones/zone_settings.h"

namespace kelvaro {

// Zones one sweep pings for a list of zoneCount zones (0 for an empty list).
// A SweepTime taken from a negative setting (above INT32_MAX) sweeps nothing
// ever, and then counts as one zone per sweep.
uint32_t sweepPingsPerSweep(uint32_t zoneCount, const ZoneSettings& settings);

// Milliseconds one full round of a list of zoneCount zones takes with these
// settings: ceil(N / k) sweeps of SweepTime each; 0 for an empty list, and
// negative when the sweep never runs (SweepTime from a negative setting).
int64_t sweepCycleMs(uint32_t zoneCount, const ZoneSettings& settings);

}  // namespace kelvaro
