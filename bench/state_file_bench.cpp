// What the state file costs at a large population: the slowest service
// iteration while zones and names change all the time, the writer's time per
// batch, the file's size per zone and per name, and the time a start takes to
// put everything back.
//
//   state_file_bench [zones] [names] [seconds] [changes per second] [off]
//
// With "off" the same load runs without a state file, for comparison.
//
// Defaults: 100000 zones, 100000 names, 20 s of changes at 20000 a second
// (half zone updates with a new description, half names used). The server
// runs on ephemeral ports with every timer but the state file's off; the
// file lives in a temporary directory that is removed at the end.

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/quiet_stdout.h"
#include "platform/tick_clock.h"
#include "service/directory_server.h"
#include "service/server_settings.h"

namespace {

using Clock = std::chrono::steady_clock;
using kelvaro::DirectoryServer;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

uint64_t fileBytes(const std::string& path) {
    uint64_t total = 0;
    for (const char* suffix : {"", "-wal"}) {
        struct stat status {};
        if (::stat((path + suffix).c_str(), &status) == 0) total += static_cast<uint64_t>(status.st_size);
    }
    return total;
}

kelvaro::ServerSettings settingsFor(const std::string& stateFile) {
    kelvaro::ServerSettings settings;
    settings.loadFile(std::string{});  // the built-in defaults
    settings.StateFile = stateFile;
    settings.SweepTime = -1;
    settings.DownloadTime = -1;
    settings.StatsFile.clear();
    settings.StatsWriteMinutes = -1;
    settings.SlowIteration = -1;
    return settings;
}

std::unique_ptr<DirectoryServer> openServer(const std::string& stateFile) {
    auto server = std::make_unique<DirectoryServer>(settingsFor(stateFile), kelvaro::ServerPorts{0, 0, 0});
    server->openState();
    return server;
}

uint32_t zoneAddress(int i) { return htonl(0x0A000000u + static_cast<uint32_t>(i / 100)); }
uint16_t zonePort(int i) { return static_cast<uint16_t>(5000 + 2 * (i % 100)); }
std::string zoneName(int i) { return "Zone " + std::to_string(i); }
std::string description(int i, int round) {
    return "A typical zone description, round " + std::to_string(round) + " of zone " + std::to_string(i);
}

void fill(DirectoryServer& server, int zones, int names) {
    for (int i = 0; i < names; ++i) server.zonePasswords().check("Name " + std::to_string(i), "pw");
    for (int i = 0; i < zones; ++i)
        server.zones().addOrUpdate(zoneAddress(i), zonePort(i), 10, 0, 0, zoneName(i), description(i, 0));
}


// The file a server with only these rows leaves behind at stop.
uint64_t sizeOf(const std::string& path, int zones, int names) {
    {
        kelvaro::QuietStdout quiet;
        auto server = openServer(path);
        fill(*server, zones, names);
    }
    return fileBytes(path);
}

}  // namespace

int main(int argc, char** argv) {
    const int zones = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int names = argc > 2 ? std::atoi(argv[2]) : 100000;
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 20;
    const int perSecond = argc > 4 ? std::atoi(argv[4]) : 20000;
    const bool off = argc > 5 && std::string(argv[5]) == "off";
    std::error_code error;
    std::string directory = (std::filesystem::temp_directory_path(error) / "kelvaro-state-XXXXXX").string();
    if (mkdtemp(directory.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string path = directory + "/state.db";

    std::printf("state file: %d zones, %d names, %d s of changes at %d a second\n", zones, names,
                seconds, perSecond);
    std::vector<double> iterations;
    kelvaro::StateWriterStatus status;
    double fillMs = 0;
    {
        kelvaro::QuietStdout quiet;
        auto server = openServer(off ? std::string{} : path);
        const auto began = Clock::now();
        fill(*server, zones, names);
        fillMs = msSince(began);
        // Changes at an even pace, an iteration a millisecond.
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        int round = 1;
        int next = 0;
        double owed = 0;
        auto last = Clock::now();
        while (Clock::now() < end) {
            const auto now = Clock::now();
            owed += perSecond * std::chrono::duration<double>(now - last).count();
            last = now;
            for (; owed >= 2; owed -= 2) {
                const int i = next % std::max(zones, 1);
                if (zones > 0)
                    server->zones().addOrUpdate(zoneAddress(i), zonePort(i), 10, 0, 0, zoneName(i),
                                                description(i, round));
                if (names > 0) server->zonePasswords().check("Name " + std::to_string(next % names), "pw");
                if (++next % std::max(zones, 1) == 0) ++round;
            }
            const auto start = Clock::now();
            server->iterate();
            iterations.push_back(msSince(start));
            kelvaro::sleepMs(1);
        }
        if (server->stateKeeper() != nullptr) status = server->stateKeeper()->store().status();
    }
    std::sort(iterations.begin(), iterations.end());
    const auto at = [&](double q) {
        return iterations.empty() ? 0.0 : iterations[static_cast<size_t>(q * (iterations.size() - 1))];
    };
    std::printf("filling the directory (first batch of %d rows): %.0f ms\n", zones + names, fillMs);
    std::printf("iterations: %zu; median %.3f ms, p99 %.3f ms, p99.9 %.3f ms, slowest %.3f ms\n",
                iterations.size(), at(0.5), at(0.99), at(0.999), at(1.0));
    if (status.writes > 0)
        std::printf("writer: %llu transactions, %llu rows, %.1f ms a transaction on average, slowest "
                    "%.1f ms (on its own thread), %.1f us a row\n",
                    static_cast<unsigned long long>(status.writes),
                    static_cast<unsigned long long>(status.rowsWritten),
                    status.writeMicros / 1000.0 / static_cast<double>(status.writes),
                    status.slowestWriteMicros / 1000.0,
                    static_cast<double>(status.writeMicros) / std::max<double>(1, status.rowsWritten));
    std::printf("writer failures: %llu\n", static_cast<unsigned long long>(status.failures));
    if (off) {
        std::filesystem::remove_all(directory, error);
        return 0;
    }

    // Put back: the time a start takes, before the banner.
    {
        const auto began = Clock::now();
        std::unique_ptr<DirectoryServer> server;
        {
            kelvaro::QuietStdout quiet;
            server = openServer(path);
        }
        std::printf("restore: %d zones and %d names in %.0f ms (%d zones listed)\n", zones, names,
                    msSince(began), server->zones().count());
    }
    const uint64_t both = fileBytes(path);
    std::filesystem::remove_all(directory, error);
    std::filesystem::create_directory(directory, error);
    const uint64_t zonesOnly = zones > 0 ? sizeOf(directory + "/zones.db", zones, 0) : 0;
    const uint64_t namesOnly = names > 0 ? sizeOf(directory + "/names.db", 0, names) : 0;
    std::printf("file: %.1f MB with both; %.0f bytes a zone, %.0f bytes a name\n", both / 1e6,
                zones > 0 ? static_cast<double>(zonesOnly) / zones : 0.0,
                names > 0 ? static_cast<double>(namesOnly) / names : 0.0);
    std::filesystem::remove_all(directory, error);
    return 0;
}
