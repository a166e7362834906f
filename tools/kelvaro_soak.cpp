// kelvaro_soak: a long run of the server under a steady, churning population,
// to catch leaks and slow memory growth that short tests cannot see.
//
//   kelvaro_soak <kelvaro binary> [minutes] [zones]
//
// Starts the binary (meant to be the AddressSanitizer build) in a temporary
// directory with fast timers, then plays `zones` zones (default 1000) over
// loopback: each announces itself, re-announces every 15 s and answers pings
// from its port + 1; every 2 s a few go silent for 30 s (the server drops
// them) and then come back. A client fetches the list every half second and
// disconnects. The server's resident memory is sampled every 5 s and reported
// per minute. At the end the server gets SIGTERM.
//
// Fails (exit 1) on a sanitizer report or leak on the server's stderr, a
// non-zero exit, a server that stops answering, or memory still growing once
// the population is steady: the mean of the last third of the samples more
// than 5 % (and 1 MB) above the mean of the middle third. The ports are the
// server's fixed ones, so run it where nothing else uses them (./dev soak runs
// it in a private network namespace). Every loop is bounded by the run time.

#include <arpa/inet.h>
#include <climits>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "service/directory_server.h"
#include "transport/list_client.h"
#include "zones/zone_datagrams.h"

namespace kelvaro {
namespace {

constexpr const char* kSettings =
    "[Core]\nMaxHosts=20\n"
    "[CPU]\nIterationSleepTime=1\nSlowIteration=100000\n"
    "[Zone]\nSweepTime=2\nDropLimit=2\nInitialHighPing=50\nReclaimDelay=1\n"
    "[Directory]\nDownloadTime=-1\nIP=127.0.0.1\nStatsFile=stats.txt\nStatsWriteMinutes=1\n";

constexpr uint16_t kFirstZonePort = 20000;
constexpr uint32_t kReannounceMs = 15000;
constexpr uint32_t kChurnEveryMs = 2000;
constexpr int kSilencedPerChurn = 5;
constexpr uint32_t kSilentForMs = 30000;
constexpr uint32_t kFetchEveryMs = 500;
constexpr uint32_t kFetchTimeoutMs = 3000;
constexpr uint32_t kSampleEveryMs = 5000;
constexpr uint32_t kMsPerMinute = 60000;
constexpr int kMaxPingsPerZoneAndRound = 4;
constexpr double kGrowthRatio = 1.05;
constexpr long kGrowthSlackKb = 1024;

struct Zone {
    UdpEndpoint pings;  // bound to port + 1
    uint16_t port = 0;
    std::string name;
    uint32_t nextAnnounce = 0;
    uint32_t silentUntil = 0;
    bool silent = false;
};

long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    for (int i = 0; i < 100 && std::getline(status, line); ++i)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

size_t countOf(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

// The server in its own directory; stdout and stderr go to files there.
struct Server {
    pid_t pid = -1;
    int stdinWrite = -1;  // held open: the server stops on a key waiting on stdin
    std::string directory;

    bool start(const char* given) {
        // The server runs in its own directory, so a relative path would miss.
        char binary[PATH_MAX];
        if (realpath(given, binary) == nullptr) return false;
        char pattern[] = "/tmp/kelvaro-soak-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return false;
        directory = pattern;
        std::ofstream(directory + "/kelvaro.ini") << kSettings;
        int input[2];
        if (pipe(input) != 0) return false;
        pid = fork();
        if (pid == 0) {
            if (chdir(directory.c_str()) != 0) _exit(127);
            const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0) _exit(127);
            dup2(input[0], STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            setenv("ASAN_OPTIONS", "detect_leaks=1:quarantine_size_mb=16:halt_on_error=1", 1);
            execl(binary, "kelvaro", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(input[0]);
        stdinWrite = input[1];
        return pid > 0;
    }

    // The exit status after SIGTERM, or -1 when it had to be killed.
    int stop() {
        kill(pid, SIGTERM);
        int status = 0;
        for (int waited = 0; waited < 60000; waited += 10) {
            if (waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            sleepMs(10);
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }

    ~Server() {
        if (stdinWrite >= 0) close(stdinWrite);
        if (!directory.empty()) {
            for (const char* name : {"kelvaro.ini", "stdout.txt", "stderr.txt", "stats.txt"})
                std::remove((directory + "/" + name).c_str());
            rmdir(directory.c_str());
        }
    }
};

void announce(UdpEndpoint& sender, Zone& zone) {
    ZoneAnnouncement announcement;
    announcement.port = zone.port;
    announcement.population = 5;
    announcement.name = zone.name;
    announcement.password = "soak";
    announcement.description = "a soak zone";
    std::vector<uint8_t> bytes;
    if (!encodeZoneUpdate(announcement, bytes)) return;
    sender.setDestination(htonl(INADDR_LOOPBACK), kUpdatePort);
    sender.send(bytes.data(), bytes.size());
}

// The zone count, asked on the update port; -1 without an answer in a second.
long zoneCount(UdpEndpoint& querier, uint32_t echo) {
    const uint8_t query[4] = {static_cast<uint8_t>(echo), static_cast<uint8_t>(echo >> 8),
                              static_cast<uint8_t>(echo >> 16), static_cast<uint8_t>(echo >> 24)};
    querier.setDestination(htonl(INADDR_LOOPBACK), kUpdatePort);
    querier.send(query, sizeof query);
    for (int waited = 0; waited < 1000; ++waited) {
        while (auto reply = querier.poll()) {
            uint32_t count = 0;
            if (readCountReply(reply->data(), reply->bytes.size(), echo, count)) return count;
        }
        sleepMs(1);
    }
    return -1;
}

// One client: connects, waits for its list (bounded), disconnects.
bool fetchList() {
    ListClient client;
    Connection* connection = client.connect(htonl(INADDR_LOOPBACK), kClientPort);
    const uint32_t start = tickCount();
    bool got = false;
    while (!got && !intervalPassed(tickCount(), start, kFetchTimeoutMs)) {
        client.poll();
        got = !client.listsFor(connection).empty();
        if (!got) sleepMs(1);
    }
    if (!connection->isClosed()) connection->disconnect(true);
    client.poll();
    return got;
}

double meanOf(const std::vector<long>& samples, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += static_cast<double>(samples[i]);
    return to > from ? sum / static_cast<double>(to - from) : 0;
}

int run(const char* binary, uint32_t minutes, int zoneCountWanted) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    std::vector<std::unique_ptr<Zone>> zones;
    for (int i = 0; i < zoneCountWanted; ++i) {
        auto zone = std::make_unique<Zone>();
        zone->port = static_cast<uint16_t>(kFirstZonePort + 2 * i);
        zone->name = "Soak " + std::to_string(i);
        if (zone->pings.open(static_cast<uint16_t>(zone->port + 1)) < 0) {
            std::fprintf(stderr, "cannot bind port %d for zone %d\n", zone->port + 1, i);
            return 1;
        }
        zone->nextAnnounce = static_cast<uint32_t>(i) * 2;  // spread over two seconds
        zones.push_back(std::move(zone));
    }
    UdpEndpoint sender;
    sender.open(0);
    UdpEndpoint querier;
    querier.open(0);

    Server server;
    if (!server.start(binary)) {
        std::fprintf(stderr, "cannot start %s\n", binary);
        return 1;
    }
    std::printf("soak: %s, %d zones, %u minutes, server pid %d in %s\n", binary, zoneCountWanted,
                minutes, server.pid, server.directory.c_str());
    sleepMs(500);

    std::mt19937 random(12345);
    const uint32_t start = tickCount();
    const uint32_t length = minutes * kMsPerMinute;
    uint32_t nextChurn = kChurnEveryMs, nextFetch = kFetchEveryMs, nextSample = 0;
    uint32_t nextReport = kMsPerMinute;
    std::vector<long> samples;
    long minuteLow = -1, minuteHigh = -1;
    int fetches = 0, fetched = 0, silenced = 0;
    bool serverGone = false;

    for (uint32_t now = 0; now < length && !serverGone; now = elapsedMs(tickCount(), start)) {
        for (auto& zone : zones) {
            if (zone->silent && now >= zone->silentUntil) {
                zone->silent = false;
                zone->nextAnnounce = now;
            }
            // A silent zone reads its pings and drops them.
            for (int i = 0; i < kMaxPingsPerZoneAndRound; ++i) {
                std::unique_ptr<Datagram> ping = zone->pings.poll();
                if (!ping) break;
                if (!zone->silent) answerPing(zone->pings, *ping, 5);
            }
            if (!zone->silent && now >= zone->nextAnnounce) {
                announce(sender, *zone);
                zone->nextAnnounce = now + kReannounceMs;
            }
        }
        if (now >= nextChurn) {
            nextChurn += kChurnEveryMs;
            for (int i = 0; i < kSilencedPerChurn; ++i) {
                Zone& zone = *zones[random() % zones.size()];
                if (zone.silent) continue;
                zone.silent = true;
                zone.silentUntil = now + kSilentForMs;
                ++silenced;
            }
        }
        if (now >= nextFetch) {
            nextFetch = now + kFetchEveryMs;
            ++fetches;
            if (fetchList()) ++fetched;
        }
        if (now >= nextSample) {
            nextSample += kSampleEveryMs;
            const long kb = residentKb(server.pid);
            if (kb < 0) {
                serverGone = true;
                break;
            }
            samples.push_back(kb);
            minuteLow = minuteLow < 0 || kb < minuteLow ? kb : minuteLow;
            minuteHigh = kb > minuteHigh ? kb : minuteHigh;
        }
        if (now >= nextReport) {
            std::printf("minute %u: VmRSS %ld..%ld kB, zones listed %ld, lists fetched %d/%d\n",
                        nextReport / kMsPerMinute, minuteLow, minuteHigh, zoneCount(querier, now),
                        fetched, fetches);
            std::fflush(stdout);
            nextReport += kMsPerMinute;
            minuteLow = minuteHigh = -1;
        }
        sleepMs(1);
    }

    if (minuteLow >= 0)
        std::printf("minute %u: VmRSS %ld..%ld kB, lists fetched %d/%d\n", nextReport / kMsPerMinute,
                    minuteLow, minuteHigh, fetched, fetches);
    const long finalCount = serverGone ? -1 : zoneCount(querier, 0xABCD);
    const int exitCode = server.stop();
    const std::string output = readFile(server.directory + "/stdout.txt");
    const std::string errors = readFile(server.directory + "/stderr.txt");
    std::printf("zones listed at the end %ld; Adding lines %zu, Timeout lines %zu; zones silenced %d; "
                "lists fetched %d/%d; exit %d\n",
                finalCount, countOf(output, "Adding : "), countOf(output, "Timeout : "), silenced,
                fetched, fetches, exitCode);
    std::printf("VmRSS samples (kB, every %u s):", kSampleEveryMs / 1000);
    for (long kb : samples) std::printf(" %ld", kb);
    std::printf("\n");

    bool failed = false;
    if (serverGone || exitCode != 0) {
        std::printf("FAIL: the server ended early or exited with %d\n", exitCode);
        failed = true;
    }
    if (errors.find("Sanitizer") != std::string::npos || errors.find("runtime error") != std::string::npos) {
        std::printf("FAIL: sanitizer report on the server's stderr:\n%s\n", errors.c_str());
        failed = true;
    }
    if (finalCount <= 0 || fetched == 0) {
        std::printf("FAIL: the server stopped serving zones or lists\n");
        failed = true;
    }
    const size_t third = samples.size() / 3;
    if (third >= 2) {
        const double middle = meanOf(samples, third, 2 * third);
        const double last = meanOf(samples, 2 * third, samples.size());
        std::printf("VmRSS mean: middle third %.0f kB, last third %.0f kB\n", middle, last);
        if (last > middle * kGrowthRatio && last - middle > kGrowthSlackKb) {
            std::printf("FAIL: memory still growing once the population is steady\n");
            failed = true;
        }
    } else {
        std::printf("too few samples to judge growth: run for at least a minute\n");
    }
    std::printf(failed ? "soak FAILED\n" : "soak passed\n");
    return failed ? 1 : 0;
}

}  // namespace
}  // namespace kelvaro

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: kelvaro_soak <kelvaro binary> [minutes] [zones]\n");
        return 2;
    }
    const long minutes = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 5;
    const long zones = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 1000;
    if (minutes < 1 || minutes > 24 * 60 || zones < 1 || zones > 20000) {
        std::fprintf(stderr, "minutes 1..1440, zones 1..20000\n");
        return 2;
    }
    return kelvaro::run(argv[1], static_cast<uint32_t>(minutes), static_cast<int>(zones));
}
