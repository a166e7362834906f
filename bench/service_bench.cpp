// Costs of the service's per-iteration and per-interval work with a large
// zone list: the idle iteration with half the zones awaiting a reply, the
// statistics write formats and writes one line per zone, a list request walks
// the list and builds up to 50000 bytes, and a downloaded list is merged entry
// by entry.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bench_server.h"
#include "quiet_stdout.h"
#include "service/directory_server.h"
#include "service/server_list.h"

namespace kelvaro {
namespace {

// A benchmark server holding zoneCount zones; every other zone awaits a
// reply whose re-ping is not yet due, so the time-out pass looks at each one.
class ServiceBench : public BenchServer {
public:
    explicit ServiceBench(int64_t zoneCount) {
        if (!server) return;
        const std::string description(60, 'd');
        QuietStdout quiet;
        for (int64_t i = 0; i < zoneCount; ++i) {
            const auto port = static_cast<uint16_t>(1000 + i % 50000);
            const auto address = static_cast<uint32_t>(0x0100000A + (i / 50000 << 24));
            server->zones().addOrUpdate(address, port, 10, 0, 0, "Zone " + std::to_string(i),
                                        description);
        }
        int64_t index = 0;
        for (auto* node = server->zones().head(); node != nullptr; node = node->next)
            if (index++ % 2 == 0) node->element->startSweepPing();
    }
};

void BM_IdleIteration(benchmark::State& state) {
    ServiceBench bench(state.range(0));
    if (!bench.server) return state.SkipWithError("no server");
    for (auto _ : state) bench.server->iterate();
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_IdleIteration)->Arg(100)->Arg(1000)->Arg(10000);

void BM_WriteStats(benchmark::State& state) {
    ServiceBench bench(state.range(0));
    if (!bench.server) return state.SkipWithError("no server");
    QuietStdout quiet;
    for (auto _ : state) bench.server->writeStats();
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WriteStats)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Every zone listed until the 50000 bytes are full (about 360 zones with the
// bench's 60-character descriptions).
void BM_BuildServerList(benchmark::State& state) {
    ServiceBench bench(state.range(0));
    if (!bench.server) return state.SkipWithError("no server");
    QuietStdout quiet;
    for (auto _ : state) benchmark::DoNotOptimize(bench.server->buildServerList(0));
}
BENCHMARK(BM_BuildServerList)->Arg(100)->Arg(1000)->Arg(10000);

// A minimum no zone reaches: the whole list is walked and nothing appended.
void BM_BuildServerListSelectingNone(benchmark::State& state) {
    ServiceBench bench(state.range(0));
    if (!bench.server) return state.SkipWithError("no server");
    QuietStdout quiet;
    for (auto _ : state) benchmark::DoNotOptimize(bench.server->buildServerList(1000));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BuildServerListSelectingNone)->Arg(1000)->Arg(10000);

// A peer's full list of zones this server already knows: the last ones of
// the zone list, the worst case for a lookup that walks the list.
void BM_MergeServerList(benchmark::State& state) {
    ServiceBench bench(state.range(0));
    if (!bench.server) return state.SkipWithError("no server");
    constexpr uint16_t kListedPopulation = 20;  // the others have 10
    constexpr int64_t kListedZones = 400;       // more than 50000 bytes hold
    int64_t index = 0;
    for (auto* node = bench.server->zones().head(); node != nullptr; node = node->next)
        if (index++ >= state.range(0) - kListedZones) node->element->population = kListedPopulation;
    std::unique_ptr<ByteBlock> list;
    {
        QuietStdout quiet;
        list = bench.server->buildServerList(kListedPopulation);
    }
    if (!list) return state.SkipWithError("no list");
    int32_t entries = 0;
    for (auto _ : state)
        entries = mergeServerList(list->data.get(), list->length, bench.server->zones());
    state.SetItemsProcessed(state.iterations() * entries);
}
BENCHMARK(BM_MergeServerList)->Arg(1000)->Arg(10000);

// A list that cannot hold every zone: each call continues where the last
// stopped, so this is the steady cost of serving a large directory.
void BM_BuildFullServerListInTurn(benchmark::State& state) {
    ServiceBench bench(state.range(0));
    if (!bench.server) return state.SkipWithError("no server");
    QuietStdout quiet;
    for (auto _ : state) benchmark::DoNotOptimize(bench.server->buildServerList(0));
}
BENCHMARK(BM_BuildFullServerListInTurn)->Arg(1000)->Arg(10000)->Arg(100000);

// How many successive lists it takes until every zone has been listed once.
void BM_ListsToCoverEveryZone(benchmark::State& state) {
    ServiceBench bench(state.range(0));
    if (!bench.server) return state.SkipWithError("no server");
    QuietStdout quiet;
    int lists = 0;
    for (auto _ : state) {
        int64_t covered = 0;
        for (lists = 0; covered < state.range(0) && lists < 100000; ++lists) {
            const std::unique_ptr<ByteBlock> list = bench.server->buildServerList(0);
            if (!list) return state.SkipWithError("no list");
            uint32_t position = 1;
            ZoneEntry entry;
            while (readZoneEntry(list->data.get(), list->length, position, entry)) ++covered;
        }
    }
    state.counters["lists"] = lists;
}
BENCHMARK(BM_ListsToCoverEveryZone)->Arg(1000)->Arg(5000)->Iterations(1);

}  // namespace
}  // namespace kelvaro
