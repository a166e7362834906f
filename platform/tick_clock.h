#pragma once
// The millisecond tick counter every timer of the program compares against:
// CLOCK_MONOTONIC in milliseconds. tickCount() is its low 32 bits, so it
// counts from boot and wraps after about 49.7 days; intervals are always
// unsigned differences (see elapsedMs), which makes that wrap harmless.
// tickCount64() is the whole count, for values derived from it (the
// transport's hundredths of a second) that must wrap in 32 bits on their own
// rather than jump back when the millisecond counter does.
//
// Tests replace the counter with a ManualClock; while one exists, every reader
// in the process sees its value instead of the system's.

#include <cstdint>

namespace kelvaro {

uint32_t tickCount();
uint64_t tickCount64();

// Unsigned 32-bit milliseconds from then to now, correct across the wrap.
inline uint32_t elapsedMs(uint32_t now, uint32_t then) { return now - then; }

// True once more than limit has passed since then (strictly greater).
inline bool intervalPassed(uint32_t now, uint32_t then, uint32_t limit) {
    return elapsedMs(now, then) > limit;
}

void sleepMs(uint32_t ms);
// A sleep finer than the millisecond (the system's timer slack, usually
// 50 us, may add to it); a signal cuts it short like sleepMs.
void sleepUs(uint32_t us);

// A hand-moved tick counter for tests. At most one at a time; it restores the
// system counter when destroyed. It keeps a 64-bit count: set() names the low
// 32 bits, and a value below the current low bits means the counter wrapped
// forward, so the 64-bit count only ever moves on.
class ManualClock {
public:
    explicit ManualClock(uint32_t startMs = 0);
    ~ManualClock();
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    void set(uint32_t nowMs);
    void advance(uint32_t ms);
    uint32_t now() const;
    uint64_t now64() const;
};

}  // namespace kelvaro
