#pragma once
// The millisecond tick counter every timer of the program compares against:
// CLOCK_MONOTONIC in milliseconds, truncated to 32 bits, so it counts from boot
// and wraps after about 49.7 days. Intervals are always unsigned differences
// (see elapsedMs), which makes the wrap harmless.
//
// Tests replace the counter with a ManualClock; while one exists, every reader
// in the process sees its value instead of the system's.

#include <cstdint>

namespace kelvaro {

uint32_t tickCount();

// Unsigned 32-bit milliseconds from then to now, correct across the wrap.
inline uint32_t elapsedMs(uint32_t now, uint32_t then) { return now - then; }

// True once more than limit has passed since then (strictly greater).
inline bool intervalPassed(uint32_t now, uint32_t then, uint32_t limit) {
    return elapsedMs(now, then) > limit;
}

void sleepMs(uint32_t ms);

// A hand-moved tick counter for tests. At most one at a time; it restores the
// system counter when destroyed.
class ManualClock {
public:
    explicit ManualClock(uint32_t startMs = 0);
    ~ManualClock();
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    void set(uint32_t nowMs);
    void advance(uint32_t ms);
    uint32_t now() const;
};

}  // namespace kelvaro
