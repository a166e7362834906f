// Time for a game client to fetch a 42 KB server list (300 zones with
// 60-character descriptions) over a path with delay and loss, with the window
// fixed at MaxReliableInTransit (MaxWindow=0) and with MaxWindow=64.
//
// The server is a real DirectoryServer in this process and the client a real
// client connection; between them a LossyRelay holds each datagram for half
// the round trip (plus jitter) and drops the given share in each direction.
// Time is simulated: a ManualClock moves one millisecond at a time, and at
// each step every datagram that can move is moved and the server iterates
// until nothing more happens. So the figures are the protocol's own timing,
// free of this machine's load, and every run replays exactly (the seed of
// iteration i is i). The server runs as a busy directory would
// (WakeOnTraffic, DatagramsPerIteration=64); its processing time counts as 0.
//
// The reported time is the mean over the iterations; median_ms and worst_ms
// are counters, failed counts fetches that had not completed after
// kLimitMs, and in_flight is the most reliable packets the server had
// unacknowledged at once, as seen on the path.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_server.h"
#include "quiet_stdout.h"
#include "transport/list_client.h"
#include "support/lossy_relay.h"
#include "support/path_meter.h"
#include "support/zone_wire.h"

namespace kelvaro {
namespace {

using testing_support::kLoopback;
using testing_support::LossyRelay;
using testing_support::PathMeter;
using testing_support::PathTerms;

constexpr int kZones = 300;
constexpr uint32_t kLimitMs = 60000;
constexpr int kMaxRoundsPerMs = 64;
constexpr uint32_t kDatagramsPerPoll = 64;

struct Fetch {
    bool done = false;
    uint32_t ms = 0;
    size_t mostInFlight = 0;
    size_t listBytes = 0;
};

std::string settingsFor(int64_t maxWindow) {
    // Zones are never pinged, and lingering connections of earlier fetches
    // (whose disconnect the path dropped) never crowd out the next one.
    return "[Core]\nMaxHosts=1000\nMaxWindow=" + std::to_string(maxWindow) +
           "\n[CPU]\nWakeOnTraffic=1\nDatagramsPerIteration=64\n[Zone]\nSweepTime=-1\n";
}

class PathBench : public BenchServer {
public:
    explicit PathBench(int64_t maxWindow) : BenchServer(settingsFor(maxWindow)) {
        if (!server) return;
        QuietStdout quiet;
        const std::string description(60, 'd');
        for (int i = 0; i < kZones; ++i)
            server->zones().addOrUpdate(kLoopback, static_cast<uint16_t>(20000 + 2 * i), 10, 0, 0,
                                        "Zone " + std::to_string(i), description);
    }

    Fetch fetch(const PathTerms& eachWay, uint32_t seed) {
        QuietStdout quiet;
        LossyRelay relay(NetAddress(kLoopback, server->clientPort()), eachWay, eachWay, seed);
        PathMeter meter(relay);
        ListClient client;
        Connection* connection = client.connect(kLoopback, relay.port());
        Fetch result;
        for (uint32_t ms = 0; ms <= kLimitMs; ++ms, clock.advance(1)) {
            settle(relay, client);
            if (!client.listsFor(connection).empty()) {
                result = {true, ms, meter.mostInFlight(), client.listsFor(connection).front().size()};
                connection->disconnect(true);
                break;
            }
            if (client.manager.connectionCount() == 0) break;  // closed by its silence limit
        }
        // The disconnect crosses the path before the relay goes.
        for (uint32_t ms = 0; ms < eachWay.delayMs + eachWay.jitterMs + 2; ++ms, clock.advance(1))
            settle(relay, client);
        return result;
    }

private:
    // Moves everything that can move at this instant of simulated time.
    void settle(LossyRelay& relay, ListClient& client) {
        int quietRounds = 0;
        for (int round = 0; round < kMaxRoundsPerMs && quietRounds < 2; ++round) {
            bool moved = relay.pump();
            const uint64_t before = server->metrics().clientDatagrams;
            server->iterate();
            moved |= server->metrics().clientDatagrams != before;
            moved |= client.manager.poll(kDatagramsPerPoll) > 0;
            quietRounds = moved ? 0 : quietRounds + 1;
        }
    }
};

void BM_ListOverLossyPath(benchmark::State& state) {
    const auto roundTripMs = static_cast<uint32_t>(state.range(0));
    const auto lossPercent = static_cast<uint32_t>(state.range(1));
    const int64_t maxWindow = state.range(2);
    const auto jitterMs = static_cast<uint32_t>(state.range(3));
    PathBench bench(maxWindow);
    if (!bench.server) return state.SkipWithError("no server");
    const PathTerms eachWay{roundTripMs / 2, jitterMs, lossPercent * 10};
    std::vector<uint32_t> times;
    uint32_t seed = 1;
    int64_t failed = 0;
    size_t mostInFlight = 0;
    for (auto _ : state) {
        const Fetch fetch = bench.fetch(eachWay, seed++);
        if (!fetch.done) ++failed;
        if (fetch.done && fetch.listBytes < 40000) return state.SkipWithError("list too short");
        const uint32_t ms = fetch.done ? fetch.ms : kLimitMs;
        times.push_back(ms);
        mostInFlight = std::max(mostInFlight, fetch.mostInFlight);
        state.SetIterationTime(ms / 1000.0);
    }
    std::sort(times.begin(), times.end());
    state.counters["median_ms"] = times[times.size() / 2];
    state.counters["worst_ms"] = times.back();
    state.counters["failed"] = static_cast<double>(failed);
    state.counters["in_flight"] = static_cast<double>(mostInFlight);
}
BENCHMARK(BM_ListOverLossyPath)
    ->ArgNames({"rtt_ms", "loss_pct", "MaxWindow", "jitter_ms"})
    ->ArgsProduct({{20, 60, 200}, {0, 5, 10}, {0, 64}, {0}})
    ->Args({60, 5, 0, 20})
    ->Args({60, 5, 64, 20})
    ->UseManualTime()
    ->Iterations(9)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelvaro
