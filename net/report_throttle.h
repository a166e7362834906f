#pragma once
// At most one console line per address per interval, for refusals a sender
// can repeat as fast as it likes. It remembers a bounded number of addresses:
// once they are all fresh, further addresses go unreported until the oldest
// age out (a flood from many sources is then counted, not printed).

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace kelvaro {

class ReportThrottle {
public:
    explicit ReportThrottle(uint32_t intervalMs = 60000, size_t capacity = 4096)
        : interval(intervalMs), limit(capacity) {}

    // True when address (network order) may be reported now; the report is
    // then taken as made.
    bool allow(uint32_t address);

private:
    void prune(uint32_t now);

    uint32_t interval;
    size_t limit;
    std::unordered_map<uint32_t, uint32_t> lastReport;  // address -> tick
    uint32_t lastPruneTick = 0;
    bool pruned = false;
};

}  // namespace kelvaro
