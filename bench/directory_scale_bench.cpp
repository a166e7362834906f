// The cost of one unit of work at 10, 1,000, 10,000 and 100,000 zones: one
// update for a known and for a new zone, one ping reply, one password check,
// one idle iteration, merging a peer's full list and building a 50,000-byte
// list. A directory that scales shows the same figure in every row of a
// benchmark (the last two handle a fixed amount of list, not every zone).
//
// Only the zone layer's plain entry points are used, so the same file
// measures any version of them.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/profile_reader.h"
#include "platform/tick_clock.h"
#include "bench_server.h"
#include "quiet_stdout.h"
#include "service/directory_server.h"
#include "service/server_list.h"
#include "service/server_settings.h"
#include "support/temp_directory.h"
#include "support/zone_wire.h"
#include "zones/zone_datagrams.h"

namespace kelvaro {
namespace {

constexpr int kAwaitingZones = 8;  // a few sweep pings outstanding, as in a live directory

uint32_t zoneAddress(int64_t i) { return static_cast<uint32_t>(0x0100000A + ((i / 50000) << 24)); }
uint16_t zonePort(int64_t i) { return static_cast<uint16_t>(1000 + i % 50000); }
std::string zoneName(int64_t i) { return "Zone" + std::to_string(i) + " of bench"; }

Datagram datagramFrom(uint32_t address, uint16_t port, std::vector<uint8_t> bytes) {
    Datagram datagram;
    datagram.source.set(address, port);
    datagram.bytes = std::move(bytes);
    return datagram;
}

std::vector<uint8_t> updateFor(int64_t i) {
    testing_support::ZoneUpdate update;
    update.port = zonePort(i);
    update.population = 10;
    update.name = zoneName(i);
    update.password = "pw" + std::to_string(i);
    update.description = std::string(60, 'd');
    return testing_support::updateDatagram(update);
}

// The zone layer of a directory with zones zones, each with its own name
// and password, a few of them awaiting a ping reply.
struct Directory {
    explicit Directory(int64_t zones) : clock(kBenchTick) {
        pingEndpoint.open(0);
        QuietStdout quiet;
        for (int64_t i = 0; i < zones; ++i) feed(i);
        int awaiting = 0;
        for (auto* node = list.head(); node != nullptr && awaiting < kAwaitingZones; node = node->next, ++awaiting)
            node->element->startSweepPing();
    }
    void feed(int64_t i) {
        handleUpdateDatagram(datagramFrom(zoneAddress(i), 40000, updateFor(i)), passwords, list,
                             pingEndpoint);
    }

    ManualClock clock;
    ZonePasswords passwords;
    ZoneList list;
    UdpEndpoint pingEndpoint;
};

void sizes(benchmark::internal::Benchmark* bench) {
    for (const int64_t zones : {10, 1000, 10000, 100000}) bench->Arg(zones);
}

// count updates of known zones, spread over a list of zones.
std::vector<Datagram> spreadUpdates(int64_t zones, int64_t count) {
    std::vector<Datagram> updates;
    for (int64_t i = 0; i < count; ++i) {
        const int64_t zone = (i * 7919) % zones;
        updates.push_back(datagramFrom(zoneAddress(zone), 40000, updateFor(zone)));
    }
    return updates;
}

void BM_UpdateKnownZone(benchmark::State& state) {
    Directory directory(state.range(0));
    const std::vector<Datagram> updates = spreadUpdates(state.range(0), 64);
    QuietStdout quiet;
    size_t next = 0;
    for (auto _ : state) {
        handleUpdateDatagram(updates[next], directory.passwords, directory.list, directory.pingEndpoint);
        next = (next + 1) % updates.size();
    }
}
BENCHMARK(BM_UpdateKnownZone)->Apply(sizes);

// Updates of zones spread over the whole list, as a busy directory takes them:
// in a big list each zone's index slot, node and record are out of the cache.
// The second argument 1 loads the next updates' zones ahead while one is
// handled, as the service's batch loop does.
void BM_UpdateSpreadOverList(benchmark::State& state) {
    Directory directory(state.range(0));
    const bool ahead = state.range(1) != 0;
    const std::vector<Datagram> updates = spreadUpdates(state.range(0), 8192);
    QuietStdout quiet;
    size_t next = 0;
    for (auto _ : state) {
        if (ahead)
            for (uint32_t distance = 0; distance < 3; ++distance)
                prefetchForUpdate(updates[(next + 1 + distance) % updates.size()], directory.list,
                                  directory.passwords, distance);
        handleUpdateDatagram(updates[next], directory.passwords, directory.list, directory.pingEndpoint);
        next = (next + 1) % updates.size();
    }
}
BENCHMARK(BM_UpdateSpreadOverList)->ArgsProduct({{1000, 10000, 100000}, {0, 1}});

// A zone unknown at that address and port, whose name family is already
// registered; it is dropped again right after, so the list keeps its size.
void BM_UpdateNewZone(benchmark::State& state) {
    Directory directory(state.range(0));
    const int64_t fresh = state.range(0) + 1;
    testing_support::ZoneUpdate update;
    update.port = zonePort(fresh);
    update.name = "Fresh Zone";
    update.password = "fresh";
    const Datagram datagram = datagramFrom(zoneAddress(fresh) + (1u << 28), 40000,
                                           testing_support::updateDatagram(update));
    QuietStdout quiet;
    for (auto _ : state) {
        handleUpdateDatagram(datagram, directory.passwords, directory.list, directory.pingEndpoint);
        directory.list.remove(directory.list.find(datagram.source.address(), update.port));
    }
}
BENCHMARK(BM_UpdateNewZone)->Apply(sizes);

void BM_PingReply(benchmark::State& state) {
    Directory directory(state.range(0));
    std::vector<Datagram> replies;
    for (int64_t i = 0; i < 64; ++i) {
        const int64_t zone = (i * 7919) % state.range(0);
        replies.push_back(datagramFrom(zoneAddress(zone), static_cast<uint16_t>(zonePort(zone) + 1),
                                       testing_support::le32Pair(12, kBenchTick)));
    }
    size_t next = 0;
    for (auto _ : state) {
        handlePingDatagram(replies[next], directory.list);
        next = (next + 1) % replies.size();
    }
}
BENCHMARK(BM_PingReply)->Apply(sizes);

// A known name with its right password.
void BM_PasswordCheck(benchmark::State& state) {
    Directory directory(state.range(0));
    const int64_t known = state.range(0) / 2;
    const std::string name = zoneName(known);
    const std::string password = "pw" + std::to_string(known);
    for (auto _ : state) {
        benchmark::DoNotOptimize(directory.passwords.checkZonePassword(name, password));
    }
}
BENCHMARK(BM_PasswordCheck)->Apply(sizes);

// The whole server, idle: four empty polls, the schedule and the zone upkeep
// with a few sweep pings outstanding.
class ScaleBench : public BenchServer {
public:
    explicit ScaleBench(int64_t zones) {
        if (!server) return;
        QuietStdout quiet;
        for (int64_t i = 0; i < zones; ++i)
            server->zones().addOrUpdate(zoneAddress(i), zonePort(i), 10, 0, 0, zoneName(i),
                                        std::string(60, 'd'));
        int awaiting = 0;
        for (auto* node = server->zones().head(); node != nullptr && awaiting < kAwaitingZones;
             node = node->next, ++awaiting)
            node->element->startSweepPing();
    }
};

void BM_IdleIteration(benchmark::State& state) {
    ScaleBench bench(state.range(0));
    if (!bench.server) return state.SkipWithError("no server");
    for (auto _ : state) bench.server->iterate();
}
BENCHMARK(BM_IdleIteration)->Arg(0)->Apply(sizes);

// A peer's list of 50,000 bytes of zones this server already knows, spread
// over the whole list.
void BM_MergeFullPeerList(benchmark::State& state) {
    ScaleBench bench(state.range(0));
    if (!bench.server) return state.SkipWithError("no server");
    ZoneList peer;
    {
        QuietStdout quiet;
        const int64_t step = state.range(0) > 400 ? state.range(0) / 400 : 1;
        for (int64_t i = 0; i < state.range(0); i += step)
            peer.addOrUpdate(zoneAddress(i), zonePort(i), 10, 0, 0, zoneName(i), std::string(60, 'd'));
    }
    ByteBuffer list;
    list.setLimit(kServerListLimit);
    const uint8_t type = kListMessageType;
    list.append(&type, 1);
    for (auto* node = peer.head(); node != nullptr; node = node->next)
        if (!appendZoneEntry(list, *node->element)) break;
    QuietStdout quiet;
    int32_t entries = 0;
    for (auto _ : state) entries = mergeServerList(list.data(), list.size(), bench.server->zones());
    state.SetItemsProcessed(state.iterations() * entries);
    state.counters["entries"] = entries;
}
BENCHMARK(BM_MergeFullPeerList)->Apply(sizes);

void BM_BuildServerList50000Bytes(benchmark::State& state) {
    ScaleBench bench(state.range(0));
    if (!bench.server) return state.SkipWithError("no server");
    QuietStdout quiet;
    for (auto _ : state) benchmark::DoNotOptimize(bench.server->buildServerList(0));
}
BENCHMARK(BM_BuildServerList50000Bytes)->Apply(sizes);

}  // namespace
}  // namespace kelvaro
