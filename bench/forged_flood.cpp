// What a flood of forged updates costs a directory whose zones must prove
// their address: every update comes from a new address where nothing answers,
// at --rate updates a second for --seconds, all of them taken (as with
// DatagramsPerIteration large enough; with the default of 1 the server takes
// about 66 a second and the kernel drops the rest). Runs the update handler,
// the pending table and its re-ping pass in this process over a hand-moved
// clock, one iteration every --iteration-ms, so the counts are exact and the
// run takes seconds of CPU rather than of waiting. Pings go to an endpoint
// that is not open: nothing leaves the machine.
//
// Prints, per rate: pings sent (first pings and re-pings) and their rate, the
// pending zones held at the end, the bytes they take as counted from the
// table's parts, and the growth of the resident set over the run.
//
//   forged_flood [--rate N]... [--seconds S] [--max-pending N] [--iteration-ms MS]

#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "support/zone_wire.h"
#include "zones/pending_zones.h"
#include "zones/ping_tokens.h"
#include "zones/zone_datagrams.h"
#include "zones/zone_list.h"
#include "zones/zone_passwords.h"

using namespace kelvaro;

namespace {

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Result {
    uint64_t updates = 0;
    uint64_t firstPings = 0;
    uint64_t rePings = 0;
    int32_t held = 0;
    uint64_t evicted = 0;
    uint64_t forgotten = 0;
    long residentGrowthKiB = 0;
    double cpuSeconds = 0;
};

Result flood(uint32_t rate, uint32_t seconds, uint32_t maxPending, uint32_t iterationMs) {
    ManualClock clock(1000);
    const ZoneSettings settings{.VerifiedZones = true, .MaxPendingZones = maxPending};
    ZonePasswords passwords(settings);
    ZoneList zones(settings);
    PendingZones pending(settings, maxPending);
    PingTokens tokens(HashKey{}, 0);
    ZoneGate gate;
    gate.pending = &pending;
    gate.tokens = &tokens;
    UdpEndpoint unopened;
    testing_support::ZoneUpdate update;
    update.port = 7000;
    update.name = "Forged";
    update.password = "pw";
    update.description = "not there";
    Datagram datagram;
    datagram.bytes = testing_support::updateDatagram(update);

    Result result;
    const long residentBefore = residentKiB();
    const auto start = std::chrono::steady_clock::now();
    const uint64_t iterations = static_cast<uint64_t>(seconds) * 1000 / iterationMs;
    uint32_t nextAddress = 0x0A000001;  // 10.0.0.1 onwards, one per update
    double owed = 0;
    for (uint64_t i = 0; i < iterations; ++i) {
        owed += static_cast<double>(rate) * iterationMs / 1000.0;
        for (; owed >= 1; owed -= 1) {
            datagram.source = NetAddress(htonl(nextAddress++), 40000);
            handleUpdateDatagram(datagram, passwords, zones, unopened, gate);
            ++result.updates;
        }
        pending.runRetries([&](PendingZone& entry) {
            sendZonePing(unopened, entry.zone, &tokens);
            ++result.rePings;
        });
        clock.advance(iterationMs);
    }
    result.cpuSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.firstPings = pending.added;
    result.held = pending.count();
    result.evicted = pending.evicted;
    result.forgotten = pending.forgotten;
    result.residentGrowthKiB = residentKiB() - residentBefore;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint32_t> rates;
    uint32_t seconds = 10;
    uint32_t maxPending = kDefaultMaxPendingZones;
    uint32_t iterationMs = 15;
    for (int i = 1; i + 1 < argc; i += 2) {
        const uint32_t value = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        if (std::strcmp(argv[i], "--rate") == 0) rates.push_back(value);
        else if (std::strcmp(argv[i], "--seconds") == 0) seconds = value;
        else if (std::strcmp(argv[i], "--max-pending") == 0) maxPending = value;
        else if (std::strcmp(argv[i], "--iteration-ms") == 0 && value > 0) iterationMs = value;
    }
    if (rates.empty()) rates = {1000, 3000, 10000, 100000};
    // The handler's console lines (one per update) go nowhere; the table
    // goes to the original standard output.
    std::FILE* out = fdopen(dup(STDOUT_FILENO), "w");
    if (out == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    std::fprintf(out, "pending zone: %zu bytes; bound %u; %u s; iteration %u ms\n",
                 sizeof(PendingZone), maxPending, seconds, iterationMs);
    std::fprintf(out, "%9s %9s %9s %9s %11s %7s %9s %9s %10s %9s %7s\n", "rate/s", "updates",
                 "1st pings", "re-pings", "pings/s", "held", "evicted", "forgotten",
                 "table KiB", "RSS+ KiB", "cpu s");
    for (const uint32_t rate : rates) {
        const Result r = flood(rate, seconds, maxPending, iterationMs);
        const uint64_t pings = r.firstPings + r.rePings;
        // Entries, their owner and index slots: the index holds one word
        // per slot at most 80 % full, rounded to a power of two.
        const double tableKiB =
            (static_cast<double>(r.held) * (sizeof(PendingZone) + sizeof(void*)) +
             static_cast<double>(maxPending) / 0.8 * 2 * sizeof(void*)) /
            1024.0;
        std::fprintf(out, "%9u %9llu %9llu %9llu %11.0f %7d %9llu %9llu %10.0f %9ld %7.2f\n",
                     rate, static_cast<unsigned long long>(r.updates),
                     static_cast<unsigned long long>(r.firstPings),
                     static_cast<unsigned long long>(r.rePings),
                     static_cast<double>(pings) / seconds, r.held,
                     static_cast<unsigned long long>(r.evicted),
                     static_cast<unsigned long long>(r.forgotten), tableKiB, r.residentGrowthKiB,
                     r.cpuSeconds);
    }
    return 0;
}
