// Costs of the zone list at the size it must stay fast for: lookups and
// refreshes (every update datagram and ping reply is one linear scan) and the
// time-out pass that walks every zone in each idle iteration.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "platform/tick_clock.h"
#include "zones/zone_list.h"

namespace kelvaro {
namespace {

constexpr int kZones = 10000;
const uint32_t kBaseAddress = ntohl(inet_addr("10.0.0.0"));

uint32_t zoneAddress(int i) { return htonl(kBaseAddress + static_cast<uint32_t>(i)); }

// Fills the list without going through addOrUpdate, which would print one
// "Adding" line per zone.
void fill(ZoneList& list, int zones) {
    for (int i = 0; i < zones; ++i) {
        auto record = std::make_unique<ZoneRecord>();
        record->address = zoneAddress(i);
        record->port = 5000;
        record->setText("Zone " + std::to_string(i), "benchmark zone");
        list.zones.append(std::move(record));
    }
}

// The service's time-out pass: drop or re-ping every zone awaiting a reply.
int timeoutPass(ZoneList& list) {
    int repings = 0;
    for (ZoneList::Node* node = list.head(); node != nullptr;) {
        ZoneList::Node* next = node->next;
        ZoneRecord* record = node->element.get();
        if (record->awaitingReply) {
            if (record->dropDue(list.settings().DropLimit)) list.remove(record);
            else if (record->retryDue()) ++repings;
        }
        node = next;
    }
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
