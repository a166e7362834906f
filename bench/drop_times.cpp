// How fresh the real server keeps its list: starts build/kelvaro with the ini
// text given, registers --zones zones that answer their pings, then lets a
// share of them (--silent) fall silent and measures, from that moment, how
// long each silent zone takes to be dropped ("Timeout : <name>"), while
// --clients clients fetch the list back to back. It reports the median and
// maximum drop time, how many silent zones were still listed when the watch
// ended, whether any live zone was dropped, and the bound the settings give
// (one full sweep plus DropLimit + 1 re-pings).
//
// Everything goes over loopback: as root the program first moves into a
// network namespace of its own, so the server's fixed ports collide with
// nothing; otherwise it uses the host's loopback and stops if a port is
// taken. Every wait is bounded, the whole run by --watch seconds.
//
//   drop_times [--zones N] [--silent SHARE] [--clients N] [--watch SECONDS]
//              [--ini 'TEXT with \n for line ends'] [--binary PATH]

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "child_server.h"
#include "transport/list_client.h"
#include "service/server_settings.h"
#include "util/bytes.h"
#include "zones/sweep_pace.h"
#include "zones/zone_datagrams.h"

namespace {

using Clock = std::chrono::steady_clock;
using kelvaro::readU32;
using kelvaro::writeU32;
using kelvaro::bench::ChildServer;
using kelvaro::bench::isolateNetwork;
using kelvaro::bench::kServerClientPort;
using kelvaro::bench::kServerUpdatePort;
using kelvaro::bench::serverBesideBench;
using kelvaro::bench::withLineEnds;

constexpr int kBatch = 100;            // updates between two count fences
constexpr int kFenceWaitMs = 30000;    // a batch at one datagram per iteration
constexpr int kFetchGiveUpMs = 20000;  // a fetch that takes longer is started again
constexpr double kWarmUpSeconds = 2.0;
constexpr const char* kBaseSettings =
    "[Directory]\nDownloadTime=-1\nStatsFile=\nMetricsFile=metrics.prom\nIP=127.0.0.1\n";

struct Options {
    int zones = 1000;
    double silent = 0.1;
    int clients = 0;
    int watchSeconds = 900;
    std::string ini;
    std::string binary;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A non-blocking UDP socket on 127.0.0.1 and an ephemeral port.
int openSocket(uint16_t* port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(local.sin_port);
    return fd;
}

bool sendTo(int fd, uint16_t port, const void* bytes, size_t length) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    return sendto(fd, bytes, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(length);
}

struct Zone {
    int fd = -1;
    uint16_t announcedPort = 0;  // the socket's port - 1
    bool silent = false;         // falls silent at the start of the watch
    double droppedAfter = -1;    // seconds from the start of the watch
};

// One client fetching the list again as soon as it has it.
struct Fetcher {
    std::unique_ptr<kelvaro::ListClient> client;
    kelvaro::Connection* connection = nullptr;
    Clock::time_point started;
};

class Run {
public:
    explicit Run(const Options& runOptions) : options(runOptions) {}

    int main() {
        const bool isolated = isolateNetwork();
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, static_cast<rlim_t>(options.zones) + 4096);
        setrlimit(RLIMIT_NOFILE, &files);
        const std::string directory = makeDirectory();
        const std::string ini = withLineEnds(options.ini) + "\n" + kBaseSettings;
        settings.load(writeIni(directory, ini));
        if (!server.start(options.binary, ini, directory) || !openZones()) return 1;
        epoll = epoll_create1(EPOLL_CLOEXEC);
        for (size_t i = 0; i < zones.size(); ++i) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u64 = i;
            epoll_ctl(epoll, EPOLL_CTL_ADD, zones[i].fd, &event);
        }
        std::printf("network: %s\n", isolated ? "a namespace of its own" : "the host's loopback");
        const Clock::time_point registering = Clock::now();
        if (!registerZones()) {
            std::fprintf(stderr, "the server did not take the updates in time\n");
            return 1;
        }
        std::printf("registered %d zones in %.1f s\n", options.zones, secondsSince(registering));
        pumpFor(kWarmUpSeconds);
        for (int i = 0; i < options.clients; ++i) fetchers.emplace_back();
        watch();
        server.stop();
        report(directory);
        std::filesystem::remove_all(directory);
        return 0;
    }

private:
    std::string makeDirectory() {
        char pattern[] = "/tmp/kelvaro-drop-XXXXXX";
        const char* made = mkdtemp(pattern);
        return made != nullptr ? made : "/tmp";
    }

    // The settings as the server will read them, for the computed bound.
    static std::string writeIni(const std::string& directory, const std::string& ini) {
        const std::string copy = directory + "/read";
        std::filesystem::create_directory(copy);
        std::ofstream(copy + "/kelvaro.ini") << ini;
        return copy;
    }

    bool openZones() {
        const int silentEvery = options.silent > 0 ? static_cast<int>(std::lround(1 / options.silent)) : 0;
        zones.resize(static_cast<size_t>(options.zones));
        for (int i = 0; i < options.zones; ++i) {
            uint16_t port = 0;
            zones[i].fd = openSocket(&port);
            if (zones[i].fd < 0) {
                std::fprintf(stderr, "cannot open the socket of zone %d\n", i);
                return false;
            }
            zones[i].announcedPort = static_cast<uint16_t>(port - 1);
            zones[i].silent = silentEvery > 0 && i % silentEvery == 0;
        }
        uint16_t port = 0;
        sender = openSocket(&port);
        return sender >= 0;
    }

    // Updates in batches, each followed by a count query: its reply comes once
    // the server has taken every update before it.
    bool registerZones() {
        const Clock::time_point start = Clock::now();
        while (!started && secondsSince(start) * 1000 < kFenceWaitMs) pump();
        for (int first = 0; first < options.zones; first += kBatch) {
            const int end = std::min(options.zones, first + kBatch);
            bool taken = false;
            // A batch the server lost part of (a full socket buffer) goes again.
            for (int attempt = 0; attempt < 3 && !taken; ++attempt)
                taken = sendBatch(first, end, static_cast<uint32_t>(attempt));
            if (!taken) return false;
        }
        return true;
    }

    bool sendBatch(int first, int end, uint32_t attempt) {
        {
            for (int i = first; i < end; ++i) {
                std::vector<uint8_t> update;
                const std::string name = "Zone " + std::to_string(i);
                kelvaro::ZoneAnnouncement zone{zones[i].announcedPort, 1, 0, 0, name, "pw", ""};
                kelvaro::encodeZoneUpdate(zone, update);
                sendTo(sender, kServerUpdatePort, update.data(), update.size());
            }
            const uint32_t echo = (attempt << 24) + static_cast<uint32_t>(first);
            uint8_t query[4];
            writeU32(query, 0, echo);
            sendTo(sender, kServerUpdatePort, query, sizeof query);
            return awaitCount(echo, static_cast<uint32_t>(end));
        }
    }

    bool awaitCount(uint32_t echo, uint32_t expected) {
        const Clock::time_point start = Clock::now();
        while (secondsSince(start) * 1000 < kFenceWaitMs) {
            pump();
            uint8_t reply[16];
            const ssize_t got = recv(sender, reply, sizeof reply, 0);
            uint32_t count = 0;
            if (got > 0 && kelvaro::readCountReply(reply, static_cast<size_t>(got), echo, count))
                return count >= expected;
        }
        return false;
    }

    // One round: answer the pings that came, move the fetchers on, read the
    // server's console. Waits at most a millisecond.
    void pump() {
        epoll_event events[256];
        const int ready = epoll_wait(epoll, events, 256, 1);
        for (int e = 0; e < ready; ++e) answer(zones[events[e].data.u64]);
        for (Fetcher& fetcher : fetchers) step(fetcher);
        server.drain([&](std::string_view line) { onLine(line); });
    }

    void pumpFor(double seconds) {
        const Clock::time_point start = Clock::now();
        while (secondsSince(start) < seconds) pump();
    }

    void answer(Zone& zone) {
        for (int taken = 0; taken < 16; ++taken) {
            uint8_t ping[16];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t got =
                recvfrom(zone.fd, ping, sizeof ping, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (got < 0) return;
            if (got != 4 || (zone.silent && watching)) continue;
            uint8_t reply[8];
            writeU32(reply, 0, 1);
            writeU32(reply, 4, readU32(ping, 0));
            sendto(zone.fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    void step(Fetcher& fetcher) {
        const bool done = fetcher.client && !fetcher.client->listsFor(fetcher.connection).empty();
        const bool stuck = fetcher.client && secondsSince(fetcher.started) * 1000 > kFetchGiveUpMs;
        if (done) ++fetches;
        if (stuck) ++fetchesAbandoned;
        if (done || stuck) {
            fetcher.connection->disconnect(true);
            fetcher.client.reset();
        }
        if (!fetcher.client) {
            fetcher.client = std::make_unique<kelvaro::ListClient>();
            fetcher.connection = fetcher.client->connect(htonl(INADDR_LOOPBACK), kServerClientPort);
            fetcher.started = Clock::now();
        }
        for (int poll = 0; poll < 8; ++poll) fetcher.client->poll();
    }

    void onLine(std::string_view line) {
        static constexpr std::string_view kTimeout = "Timeout : Zone ";
        if (line.starts_with("Kelvaro")) started = true;
        if (!line.starts_with(kTimeout)) return;
        const int index = std::atoi(std::string(line.substr(kTimeout.size())).c_str());
        if (index < 0 || index >= options.zones) return;
        Zone& zone = zones[static_cast<size_t>(index)];
        if (zone.droppedAfter >= 0) return;
        zone.droppedAfter = watching ? secondsSince(watchStart) : 0;
        if (zone.silent && watching) --silentLeft;
        if (!zone.silent || !watching) ++liveDropped;
    }

    void watch() {
        watching = true;
        watchStart = Clock::now();
        silentLeft = static_cast<int>(std::count_if(zones.begin(), zones.end(),
                                                    [](const Zone& zone) { return zone.silent; }));
        while (silentLeft > 0 && secondsSince(watchStart) < options.watchSeconds) pump();
        watched = secondsSince(watchStart);
        pumpFor(std::min(5.0, options.watchSeconds - watched));  // a live zone may follow
    }

    static long long metric(const std::string& text, const std::string& name) {
        const size_t at = text.find("\n" + name + " ");
        return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + name.size() + 2);
    }

    void report(const std::string& directory) {
        std::vector<double> times;
        int silent = 0;
        for (const Zone& zone : zones) {
            if (!zone.silent) continue;
            ++silent;
            if (zone.droppedAfter >= 0) times.push_back(zone.droppedAfter);
        }
        std::sort(times.begin(), times.end());
        const kelvaro::ZoneSettings zoneSettings = settings.zones();
        const int64_t cycleMs = kelvaro::sweepCycleMs(static_cast<uint32_t>(options.zones), zoneSettings);
        const double repingSeconds = (zoneSettings.DropLimit + 1.0) * zoneSettings.InitialHighPing / 1000;
        std::printf("zones %d, silent %d, clients %d; ini: %s\n", options.zones, silent,
                    options.clients, options.ini.empty() ? "(defaults)" : options.ini.c_str());
        std::printf("bound: full sweep %.1f s + %u re-pings %.1f s = %.1f s\n", cycleMs / 1000.0,
                    zoneSettings.DropLimit + 1, repingSeconds, cycleMs / 1000.0 + repingSeconds);
        if (!times.empty()) {
            const size_t n = times.size();
            const double median = n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
            std::printf("silent zones dropped: %zu of %d; drop time median %.1f s, max %.1f s\n", n,
                        silent, median, times.back());
        } else {
            std::printf("silent zones dropped: 0 of %d\n", silent);
        }
        if (static_cast<int>(times.size()) < silent)
            std::printf("still listed after %.0f s: %d silent zones\n", watched,
                        silent - static_cast<int>(times.size()));
        std::printf("live zones dropped: %d\n", liveDropped);
        std::printf("fetches completed: %d, abandoned: %d\n", fetches, fetchesAbandoned);
        std::ifstream file(directory + "/metrics.prom");
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::printf("server: pings sent %lld, replies %lld, upkeep forced %lld, slow iterations %lld\n",
                    metric(text, "kelvaro_pings_sent_total"), metric(text, "kelvaro_ping_replies_total"),
                    metric(text, "kelvaro_upkeep_forced_total"),
                    metric(text, "kelvaro_slow_iterations_total"));
    }

    Options options;
    kelvaro::ServerSettings settings;
    ChildServer server{ChildServer::Stop::KeyPress};
    std::vector<Zone> zones;
    std::vector<Fetcher> fetchers;
    int sender = -1;
    int epoll = -1;
    bool started = false;  // the banner came: the ports are open
    bool watching = false;
    Clock::time_point watchStart;
    double watched = 0;
    int silentLeft = 0;
    int liveDropped = 0;
    int fetches = 0;
    int fetchesAbandoned = 0;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || i + 1 >= argc) return false;
        const std::string value = argv[++i];
        if (flag == "--zones") options.zones = std::atoi(value.c_str());
        else if (flag == "--silent") options.silent = std::atof(value.c_str());
        else if (flag == "--clients") options.clients = std::atoi(value.c_str());
        else if (flag == "--watch") options.watchSeconds = std::atoi(value.c_str());
        else if (flag == "--ini") options.ini = value;
        else if (flag == "--binary") options.binary = value;
        else return false;
    }
    return options.zones > 0 && options.zones <= 25000 && options.silent >= 0 &&
           options.silent <= 1 && options.clients >= 0 && options.clients <= 16 &&
           options.watchSeconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    options.binary = serverBesideBench(argv[0]);
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: drop_times [--zones N (1-25000)] [--silent SHARE (0-1)] "
                     "[--clients N (0-16)] [--watch SECONDS] [--ini TEXT] [--binary PATH]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Run run(options);
    return run.main();
}
