// The HTTP front under load, in this process on loopback, with a kept-alive
// raw client on the same thread (so each figure includes the client's side):
//
//   BM_ZonesJson/<zones>/<mode>  one /zones.json request: mode 0 the identity
//                                body, 1 the gzip copy, 2 a 304 on If-None-Match
//   BM_BuildZonesJson/<zones>    one rebuild: the JSON text, its tags and the
//                                gzip copy (at most once a second in service)
//   BM_UpdatesWhileFetched/<zones>/<fetches per second> (zones on one address: at most 50000)
//                                zone updates the service loop handles per
//                                second while the page and its list are
//                                fetched that often
//
// Requests per second are the items_per_second counter; microseconds per
// request the time per iteration.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "bench_server.h"
#include "quiet_stdout.h"
#include "service/directory_server.h"
#include "service/web_front.h"
#include "support/http_client.h"
#include "support/zone_wire.h"

namespace kelvaro {
namespace {

using testing_support::HttpConnection;
using testing_support::HttpResponse;

constexpr int64_t kUnixNow = 1800000000;

// A server holding zoneCount zones with 40-character descriptions, and its
// web front with the documents built. With an ini (the update benchmark) the
// zones sit on 127.0.0.1, where the benchmark's sender can refresh them.
class WebBench : public BenchServer {
public:
    explicit WebBench(int64_t zoneCount, const std::string& ini = {}) : BenchServer(ini) {
        if (!server) return;
        {
            QuietStdout quiet;
            for (int64_t i = 0; i < zoneCount; ++i) {
                const auto port = static_cast<uint16_t>(1000 + i % 50000);
                const auto address = ini.empty()
                                         ? static_cast<uint32_t>(0x0100000A + (i / 50000 << 24))
                                         : testing_support::kLoopback;
                server->zones().addOrUpdate(address, port, static_cast<uint16_t>(i % 300), 0, 0,
                                            "Zone " + std::to_string(i), std::string(40, 'd'));
            }
        }
        web = std::make_unique<WebFront>(server->settings());
        std::string reason;
        if (!web->openOnAnyPort(reason)) web.reset();
        if (web) web->iterate(*server, kUnixNow);
    }
    testing_support::Pump pump() {
        return [this] { web->iterate(*server, kUnixNow); };
    }
    std::unique_ptr<WebFront> web;
};

void BM_ZonesJson(benchmark::State& state) {
    WebBench bench(state.range(0));
    if (!bench.web) return state.SkipWithError("no web front");
    HttpConnection connection(bench.web->localPort());
    const auto first = connection.request("GET", "/zones.json", {}, bench.pump(), 30000);
    if (!first) return state.SkipWithError("no first answer");
    const int mode = static_cast<int>(state.range(1));
    const std::string headers = mode == 1   ? "Accept-Encoding: gzip\r\n"
                                : mode == 2 ? "If-None-Match: " + first->header("etag") + "\r\n"
                                            : "";
    const int expected = mode == 2 ? 304 : 200;
    size_t bytes = 0;
    for (auto _ : state) {
        const auto response = connection.request("GET", "/zones.json", headers, bench.pump(), 30000);
        if (!response || response->status != expected)
            return state.SkipWithError(response ? ("status " + std::to_string(response->status)).c_str() : "no answer");
        bytes = response->body.size();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["body_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ZonesJson)
    ->ArgsProduct({{1000, 100000}, {0, 1, 2}})
    ->Unit(benchmark::kMicrosecond);

void BM_BuildZonesJson(benchmark::State& state) {
    WebBench bench(state.range(0));
    if (!bench.server) return state.SkipWithError("no server");
    size_t bytes = 0;
    size_t packed = 0;
    for (auto _ : state) {
        const auto document = prepareDocument(
            zonesJson(bench.server->zones(), tickCount(), kUnixNow),
            {"application/json", kUnixNow, "max-age=5", true});
        bytes = document->body.size();
        packed = document->gzipBody.size();
        benchmark::DoNotOptimize(document);
    }
    state.counters["json_bytes"] = static_cast<double>(bytes);
    state.counters["gzip_bytes"] = static_cast<double>(packed);
}
BENCHMARK(BM_BuildZonesJson)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The JSON text alone, without its tags and gzip copy.
void BM_ZonesJsonText(benchmark::State& state) {
    WebBench bench(state.range(0));
    if (!bench.server) return state.SkipWithError("no server");
    for (auto _ : state) benchmark::DoNotOptimize(zonesJson(bench.server->zones(), tickCount(), kUnixNow));
}
BENCHMARK(BM_ZonesJsonText)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Two seconds of the service loop with no sleep, taking up to 32 updates per
// iteration from a sender that keeps 32 in flight, each refreshing one of the
// zones (so the list changes all the time and is rebuilt once a second),
// while a browser-like client fetches "/" and then /zones.json (gzip, with
// its tag) fetchesPerSecond times a second.
void BM_UpdatesWhileFetched(benchmark::State& state) {
    WebBench bench(state.range(0), "[CPU]\nDatagramsPerIteration=32\n");
    if (!bench.web) return state.SkipWithError("no web front");
    const int64_t zoneCount = state.range(0);
    const int64_t fetchesPerSecond = state.range(1);
    UdpEndpoint sender;
    if (sender.open(0) < 0) return state.SkipWithError("no sender");
    testing_support::ZoneUpdate update;
    update.description = std::string(40, 'd');
    update.password = "";
    QuietStdout quiet;
    uint64_t updates = 0;
    uint64_t fetches = 0;
    double seconds = 0;
    for (auto _ : state) {
        HttpConnection browser(bench.web->localPort());
        std::string tag;
        const uint64_t acceptedBefore = bench.server->metrics().updatesAccepted;
        const auto start = std::chrono::steady_clock::now();
        auto nextFetch = start;
        const auto end = start + std::chrono::seconds(2);
        int64_t next = 0;
        for (int64_t rounds = 0; rounds < 100000000; ++rounds) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= end) break;
            bench.clock.set(kBenchTick + static_cast<uint32_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count()));
            for (int i = 0; i < 32; ++i, ++next) {
                const int64_t index = next % zoneCount;
                update.port = static_cast<uint16_t>(1000 + index);
                update.name = "Zone " + std::to_string(index);
                testing_support::sendTo(sender, bench.server->updatePort(),
                                        testing_support::updateDatagram(update));
            }
            bench.server->iterate();
            bench.web->iterate(*bench.server, kUnixNow);
            if (fetchesPerSecond > 0 && now >= nextFetch) {
                nextFetch += std::chrono::microseconds(1000000 / fetchesPerSecond);
                browser.request("GET", "/", "Accept-Encoding: gzip\r\n", bench.pump(), 10000);
                const auto list = browser.request(
                    "GET", "/zones.json",
                    "Accept-Encoding: gzip\r\n" + (tag.empty() ? "" : "If-None-Match: " + tag + "\r\n"),
                    bench.pump(), 10000);
                if (list && list->status == 200) tag = list->header("etag");
                ++fetches;
            }
        }
        updates += bench.server->metrics().updatesAccepted - acceptedBefore;
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["updates_per_s"] = static_cast<double>(updates) / seconds;
    state.counters["fetches_per_s"] = static_cast<double>(fetches) / seconds;
    state.counters["list_builds"] = static_cast<double>(bench.web->zonesBuilds());
}
BENCHMARK(BM_UpdatesWhileFetched)
    ->ArgsProduct({{1000, 50000}, {0, 100}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelvaro
