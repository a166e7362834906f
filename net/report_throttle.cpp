#include "net/report_throttle.h"

#include "platform/tick_clock.h"

namespace kelvaro {
namespace {

// A full table is swept at most this often, so a flood of new addresses
// costs one sweep a second rather than one per datagram.
constexpr uint32_t kPruneIntervalMs = 1000;

}  // namespace

bool ReportThrottle::allow(const IpAddress& source) {
    const uint32_t now = tickCount();
    const IpAddress address = source.hostBlock();
    const auto found = lastReport.find(address);
    if (found != lastReport.end()) {
        if (!intervalPassed(now, found->second, interval)) return false;
        found->second = now;
        return true;
    }
    if (lastReport.size() >= limit) prune(now);
    if (lastReport.size() >= limit) return false;
    lastReport.emplace(address, now);
    return true;
}

void ReportThrottle::prune(uint32_t now) {
    if (pruned && !intervalPassed(now, lastPruneTick, kPruneIntervalMs)) return;
    pruned = true;
    lastPruneTick = now;
    for (auto it = lastReport.begin(); it != lastReport.end();)
        it = intervalPassed(now, it->second, interval) ? lastReport.erase(it) : std::next(it);
}

}  // namespace kelvaro
