#include "zones/sweep_pace.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace kelvaro {
namespace {

// k = max(1, ceil(N x SweepTime / SweepCycle)), never above N, and the round
// of the list that follows from it.
TEST(SweepPaceTest, PingsPerSweepAndCycleFollowTheListSizeAtEveryBoundary) {
    constexpr uint32_t kNegativeSweepTime = static_cast<uint32_t>(-1);
    struct Case {
        uint32_t zones;
        uint32_t sweepTime;
        uint32_t sweepCycle;  // ms
        uint32_t perSweep;
        int64_t cycleMs;
    };
    const Case cases[] = {
        {0, 500, 0, 0, 0},                    // nothing to sweep
        {0, 500, 60000, 0, 0},
        {1, 500, 0, 1, 500},                  // off: one per sweep
        {1000, 500, 0, 1, 500000},
        {100000, 500, 0, 1, 50000000},        // 14 hours
        {1, 500, 60000, 1, 500},              // never fewer than one
        {120, 500, 60000, 1, 60000},          // exactly one cycle's worth
        {121, 500, 60000, 2, 30500},          // one zone more: two per sweep
        {240, 500, 60000, 2, 60000},
        {241, 500, 60000, 3, 40500},
        {100000, 500, 60000, 834, 60000},     // 120 sweeps of 834 (the last short)
        {300, 500, 3000, 50, 3000},
        {301, 500, 3000, 51, 3000},
        {5, 5000, 1000, 5, 5000},             // cycle shorter than a sweep: all at once
        {7, 0, 60000, 1, 0},                  // SweepTime 0: a sweep every iteration
        {50, kNegativeSweepTime, 60000, 1, -1},  // never swept
        {50, kNegativeSweepTime, 0, 1, -1},
        {UINT32_MAX, 500, 1000, UINT32_MAX / 2 + 1, 1000},  // no overflow at the extremes
        {UINT32_MAX, static_cast<uint32_t>(INT32_MAX), 1, UINT32_MAX, INT32_MAX},
    };
    for (const Case& c : cases) {
        ZoneSettings settings;
        settings.SweepTime = c.sweepTime;
        settings.SweepCycle = c.sweepCycle;
        EXPECT_EQ(sweepPingsPerSweep(c.zones, settings), c.perSweep)
            << c.zones << " zones, " << c.sweepTime << " ms, cycle " << c.sweepCycle;
        EXPECT_EQ(sweepCycleMs(c.zones, settings), c.cycleMs)
            << c.zones << " zones, " << c.sweepTime << " ms, cycle " << c.sweepCycle;
    }
}

}  // namespace
}  // namespace kelvaro
