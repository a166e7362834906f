// Costs of the zone list at 10,000 zones: lookups and refreshes (every update
// datagram and ping reply is one) and the time-out pass over the zones
// awaiting a reply.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "platform/tick_clock.h"
#include "quiet_stdout.h"
#include "zones/zone_list.h"

namespace kelvaro {
namespace {

constexpr int kZones = 10000;
const uint32_t kBaseAddress = ntohl(inet_addr("10.0.0.0"));

uint32_t zoneAddress(int i) { return htonl(kBaseAddress + static_cast<uint32_t>(i)); }

void fill(ZoneList& list, int zones) {
    QuietStdout quiet;  // one "Adding" line per zone
    for (int i = 0; i < zones; ++i)
        list.addOrUpdate(zoneAddress(i), 5000, 0, 0, 0, "Zone " + std::to_string(i), "benchmark zone");
}

// The service's time-out pass: drop or re-ping every zone awaiting a reply.
int timeoutPass(ZoneList& list) {
    int repings = 0;
    list.forEachAwaiting([&](ZoneRecord* record) {
        if (record->dropDue(list.settings().DropLimit)) list.remove(record);
        else if (record->retryDue()) ++repings;
    });
    return repings;
}

void BM_FindLastZone(benchmark::State& state) {
    ZoneList list;
    fill(list, kZones);
    for (auto _ : state) benchmark::DoNotOptimize(list.find(zoneAddress(kZones - 1), 5000));
}
BENCHMARK(BM_FindLastZone);

void BM_FindUnknownZone(benchmark::State& state) {
    ZoneList list;
    fill(list, kZones);
    for (auto _ : state) benchmark::DoNotOptimize(list.find(zoneAddress(kZones), 5000));
}
BENCHMARK(BM_FindUnknownZone);

void BM_RefreshZone(benchmark::State& state) {
    ZoneList list;
    fill(list, kZones);
    int i = 0;
    QuietStdout quiet;
    for (auto _ : state) {
        list.addOrUpdate(zoneAddress(i), 5000, 1, 1, 42, "Refreshed Zone", "new description");
        i = (i + 1) % kZones;
    }
}
BENCHMARK(BM_RefreshZone);

void BM_TimeoutPassNothingDue(benchmark::State& state) {
    ManualClock clock(1000);
    ZoneList list;
    fill(list, kZones);
    for (auto* node = list.head(); node != nullptr; node = node->next) node->element->startSweepPing();
    for (auto _ : state) benchmark::DoNotOptimize(timeoutPass(list));
}
BENCHMARK(BM_TimeoutPassNothingDue);

void BM_TimeoutPassAllRepinged(benchmark::State& state) {
    ManualClock clock(1000);
    ZoneList list(ZoneSettings{.DropLimit = UINT32_MAX});  // never drop: every pass re-pings all
    fill(list, kZones);
    for (auto* node = list.head(); node != nullptr; node = node->next) node->element->startSweepPing();
    for (auto _ : state) {
        clock.advance(10000);
        benchmark::DoNotOptimize(timeoutPass(list));
    }
}
BENCHMARK(BM_TimeoutPassAllRepinged);

}  // namespace
}  // namespace kelvaro
