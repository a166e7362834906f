#include "platform/tick_clock.h"

#include <ctime>

namespace kelvaro {
namespace {

bool manualActive = false;
uint64_t manualNow = 0;

uint64_t systemTicks() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u +
                        static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return ms;
}

}  // namespace

uint64_t tickCount64() { return manualActive ? manualNow : systemTicks(); }
uint32_t tickCount() { return static_cast<uint32_t>(tickCount64()); }

void sleepMs(uint32_t ms) {
    timespec request{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // A signal cuts the sleep short; the loop then sees its stop request sooner.
    nanosleep(&request, nullptr);
}

void sleepUs(uint32_t us) {
    timespec request{static_cast<time_t>(us / 1000000u), static_cast<long>(us % 1000000u) * 1000L};
    nanosleep(&request, nullptr);
}

ManualClock::ManualClock(uint32_t startMs) {
    manualActive = true;
    manualNow = startMs;
}

ManualClock::~ManualClock() { manualActive = false; }

void ManualClock::set(uint32_t nowMs) { manualNow += static_cast<uint32_t>(nowMs - static_cast<uint32_t>(manualNow)); }
void ManualClock::advance(uint32_t ms) { manualNow += ms; }
uint32_t ManualClock::now() const { return static_cast<uint32_t>(manualNow); }
uint64_t ManualClock::now64() const { return manualNow; }

}  // namespace kelvaro
