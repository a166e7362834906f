#pragma once
// At most one console line per address per interval, for refusals a sender
// can repeat as fast as it likes. It remembers a bounded number of addresses:
// once they are all fresh, further addresses go unreported until the oldest
// age out (a flood from many sources is then counted, not printed).

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "util/ip_address.h"

namespace kelvaro {

class ReportThrottle {
public:
    explicit ReportThrottle(uint32_t intervalMs = 60000, size_t capacity = 4096)
        : interval(intervalMs), limit(capacity) {}

    // True when address may be reported now; the report is then taken as
    // made. An IPv6 address counts by its /64, the block one host holds.
    bool allow(const IpAddress& address);

private:
    void prune(uint32_t now);

    uint32_t interval;
    size_t limit;
    std::unordered_map<IpAddress, uint32_t, IpAddressHash> lastReport;  // host -> tick
    uint32_t lastPruneTick = 0;
    bool pruned = false;
};

}  // namespace kelvaro
