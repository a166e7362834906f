#include "zones/sweep_pace.h"

#include <algorithm>
#include <cstdint>

namespace kelvaro {
namespace {

constexpr uint32_t kLongestSweepTime = INT32_MAX;  // beyond: a negative setting

}  // namespace

uint32_t sweepPingsPerSweep(uint32_t zoneCount, const ZoneSettings& settings) {
    if (zoneCount == 0) return 0;
    if (settings.SweepCycle == 0 || settings.SweepTime > kLongestSweepTime) return 1;
    // 64 bits: 2^31 zones x 2^31 ms still fits, so the product cannot wrap.
    const uint64_t demand = static_cast<uint64_t>(zoneCount) * settings.SweepTime;
    const uint64_t perSweep = (demand + settings.SweepCycle - 1) / settings.SweepCycle;
    return static_cast<uint32_t>(std::clamp<uint64_t>(perSweep, 1, zoneCount));
}

int64_t sweepCycleMs(uint32_t zoneCount, const ZoneSettings& settings) {
    if (zoneCount == 0) return 0;
    if (settings.SweepTime > kLongestSweepTime) return -1;
    const uint64_t perSweep = sweepPingsPerSweep(zoneCount, settings);
    const uint64_t sweeps = (zoneCount + perSweep - 1) / perSweep;
    return static_cast<int64_t>(sweeps * settings.SweepTime);
}

}  // namespace kelvaro
