// Load on the real server process, over loopback: for each zone count of
// --zones, starts build/kelvaro in a temporary directory with the ini text
// given, fills it to that many zones, then drives updates of known zones and
// ping replies at it with a bounded number in flight, and does the same
// against two bare one-thread UDP receive loops in this process: one
// recvfrom per datagram, and recvmmsg of up to 64. The machine is shared and
// noisy, so the figures that count are ratios measured in the same run: the
// rates, and the CPU time per update of the server against that of each bare
// loop. It also times a game client fetching a list of 600 zones, and reports
// the server's CPU time (idle and under load) and resident memory. Last, with
// --ping-zones above 0, a server of that many zones sweeps them with
// SweepCycle=60 (the zones never answer) and its CPU time per ping sent is
// reported, the count read from its /metrics page.
//
// When run as root it first moves into a network namespace of its own, so the
// server's fixed ports collide with nothing; otherwise it uses the host's
// loopback and stops if a port is taken. Every wait is bounded.
//
//   load_directory [--zones N[,N...]] [--updates N] [--in-flight N]
//                  [--ping-zones N] [--ini 'TEXT with \n for line ends']
//                  [--binary PATH]

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "child_server.h"
#include "transport/list_client.h"
#include "service/server_list.h"
#include "support/zone_wire.h"
#include "util/bytes.h"
#include "zones/zone_datagrams.h"

namespace {

using Clock = std::chrono::steady_clock;
using kelvaro::readU32;
using kelvaro::bench::isolateNetwork;
using kelvaro::bench::kServerClientPort;
using kelvaro::bench::kServerUpdatePort;
using kelvaro::bench::serverBesideBench;
using kelvaro::bench::withLineEnds;
using kelvaro::testing_support::le32;
using kelvaro::testing_support::le32Pair;

constexpr int kFenceWaitMs = 5000;
constexpr int kListedZones = 600;
constexpr uint16_t kListedPopulation = 5;
constexpr int kZonesPerAddress = 50000;
constexpr int kPingSockets = 64;
constexpr const char* kBaseSettings =
    "[CPU]\nSlowIteration=100000\n"
    "[Zone]\nSweepTime=-1\n"
    "[Directory]\nDownloadTime=-1\nStatsFile=\nStatsWriteMinutes=-1\nIP=127.0.0.1\n";

constexpr int kBareBatch = 64;
constexpr uint16_t kPingHttpPort = 4995;
constexpr int kPingWindowMs = 10000;

struct Options {
    std::vector<int> zoneCounts{1000, 10000, 100000};
    int updates = 100000;
    int inFlight = 128;
    int pingZones = 100000;
    std::string ini;
    std::string binary;
};

// One line of the summary: CPU time per update in microseconds.
struct SizeResult {
    int zones = 0;
    double serverUs = 0;
    double recvfromUs = 0;
    double recvmmsgUs = 0;
};

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// 127.0.0.1 for the first 50,000 zones, 127.0.0.2 for the next, and so on.
uint32_t zoneAddress(int zone) {
    return htonl(INADDR_LOOPBACK + static_cast<uint32_t>(zone / kZonesPerAddress));
}
uint16_t zonePort(int zone) { return static_cast<uint16_t>(1000 + zone % kZonesPerAddress); }

// A plain UDP socket bound to address:port (network order address).
int openSocket(uint32_t address, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = address;
    local.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendBytes(int fd, uint16_t port, const std::vector<uint8_t>& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0;
}

std::vector<uint8_t> updateFor(int zone, const std::string& description) {
    kelvaro::ZoneAnnouncement announcement;
    announcement.port = zonePort(zone);
    announcement.population = zone < kListedZones ? kListedPopulation : 0;
    const std::string name = "Load zone " + std::to_string(zone);
    announcement.name = name;
    announcement.password = "pw";
    announcement.description = description;
    std::vector<uint8_t> bytes;
    kelvaro::encodeZoneUpdate(announcement, bytes);
    return bytes;
}

// The server process and the console lines the measurements count.
class Server {
public:
    // first comes ahead of the --ini text (its line ends already made), which comes ahead of the bench's
    // own settings: the first value of a key wins.
    bool start(const Options& options, const std::string& directory, const std::string& first = "") {
        std::string ini = first;
        ini += options.ini;
        ini += "\n";
        ini += kBaseSettings;
        return child.start(options.binary, ini, directory);
    }

    void stop() { child.stop(); }

    void drain() {
        child.drain([this](std::string_view line) {
            if (line.starts_with("---Update : ")) ++updates;
            else if (line.starts_with("---Invalid message on ping sweep port")) ++pingFences;
            else if (line.starts_with("Kelvaro")) banner = true;
            else if (line.find(") error") != std::string_view::npos) errors += std::string(line) + "\n";
        });
    }

    bool waitFor(int timeoutMs, auto done) {
        const auto start = Clock::now();
        while (msSince(start) < timeoutMs) {
            drain();
            if (done()) return true;
            child.awaitOutput(1);
        }
        return false;
    }

    double cpuSeconds() const { return child.cpuSeconds(); }
    double cpuPreciseSeconds() const { return child.cpuPreciseSeconds(); }
    long residentKb() const { return child.residentKb(); }

    long updates = 0;
    long pingFences = 0;
    bool banner = false;
    std::string errors;

private:
    kelvaro::bench::ChildServer child{kelvaro::bench::ChildServer::Stop::Terminate};
};

// Waits for the count reply carrying echo on fd; false after the time limit.
// The reply comes from the server's ping port, which is remembered.
bool awaitCountReply(int fd, uint32_t echo, Server* server, uint32_t* count, uint16_t* fromPort) {
    const auto start = Clock::now();
    while (msSince(start) < kFenceWaitMs) {
        if (server) server->drain();
        pollfd watched{fd, POLLIN, 0};
        if (poll(&watched, 1, 1) <= 0) continue;
        uint8_t reply[16];
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t got = recvfrom(fd, reply, sizeof reply, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &size);
        if (got == 8 && readU32(reply, 4) == echo) {
            if (count) *count = readU32(reply, 0);
            if (fromPort) *fromPort = ntohs(from.sin_port);
            return true;
        }
    }
    return false;
}

// Sends total datagrams in batches of inFlight / 2, each batch followed by a
// fence; at most two batches are outstanding. Returns datagrams per second,
// or 0 when a fence did not come back.
template <typename SendOne, typename SendFence, typename AwaitFence>
double drive(int total, int inFlight, SendOne sendOne, SendFence sendFence, AwaitFence awaitFence) {
    const int batch = inFlight / 2 > 0 ? inFlight / 2 : 1;
    const auto start = Clock::now();
    uint32_t sentFences = 0;
    uint32_t doneFences = 0;
    for (int sent = 0; sent < total;) {
        for (int i = 0; i < batch && sent < total; ++i, ++sent) sendOne(sent);
        sendFence(++sentFences);
        if (sentFences - doneFences >= 2 && !awaitFence(++doneFences)) return 0;
    }
    while (doneFences < sentFences)
        if (!awaitFence(++doneFences)) return 0;
    return total / (msSince(start) / 1000.0);
}

// A bare receive loop: takes every datagram, answers a 4-byte one with an
// 8-byte reply like the server's count query, ends on a 1-byte datagram or
// after two seconds of silence. It reads with one recvfrom per datagram, or
// with recvmmsg of up to kBareBatch, and measures the CPU time of its thread
// per datagram of more than 4 bytes (an update).
class BareLoop {
public:
    enum class Reads { OneEach, Batched };

    explicit BareLoop(Reads how = Reads::OneEach) : reads(how), fd(openSocket(htonl(INADDR_LOOPBACK), 0)) {
        timeval limit{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in local{};
        socklen_t size = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
        port = ntohs(local.sin_port);
        worker = std::thread([this] { reads == Reads::Batched ? runBatched() : run(); });
    }
    ~BareLoop() { finish(); }

    // Stops the loop; afterwards usPerUpdate() is final.
    void finish() {
        if (!worker.joinable()) return;
        const int stopper = openSocket(htonl(INADDR_LOOPBACK), 0);
        sendBytes(stopper, port, {0});
        close(stopper);
        worker.join();
        close(fd);
    }
    double usPerUpdate() const { return updates > 0 ? cpuSeconds * 1e6 / static_cast<double>(updates) : 0; }

    uint16_t port = 0;

private:
    // false on the end datagram.
    bool take(const uint8_t* bytes, ssize_t got, const sockaddr_in& from, socklen_t size) {
        if (got == 1) return false;
        ++received;
        if (got > 4) ++updates;
        if (got == 4) {
            const auto reply = le32Pair(received, readU32(bytes, 0));
            sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from), size);
        }
        return true;
    }

    void run() {
        const double start = threadCpuSeconds();
        uint8_t buffer[600];
        for (long rounds = 0; rounds < 100000000; ++rounds) {
            sockaddr_in from{};
            socklen_t size = sizeof from;
            const ssize_t got = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
            if (got < 0 || !take(buffer, got, from, size)) break;
        }
        cpuSeconds = threadCpuSeconds() - start;
    }

    void runBatched() {
        const double start = threadCpuSeconds();
        static thread_local uint8_t buffers[kBareBatch][600];
        sockaddr_in sources[kBareBatch];
        iovec vectors[kBareBatch];
        mmsghdr headers[kBareBatch];
        bool running = true;
        for (long rounds = 0; running && rounds < 100000000; ++rounds) {
            for (int i = 0; i < kBareBatch; ++i) {
                vectors[i] = {buffers[i], sizeof buffers[i]};
                headers[i] = {};
                headers[i].msg_hdr.msg_name = &sources[i];
                headers[i].msg_hdr.msg_namelen = sizeof sources[i];
                headers[i].msg_hdr.msg_iov = &vectors[i];
                headers[i].msg_hdr.msg_iovlen = 1;
            }
            const int got = recvmmsg(fd, headers, kBareBatch, MSG_WAITFORONE, nullptr);
            if (got <= 0) break;
            for (int i = 0; i < got && running; ++i)
                running = take(buffers[i], headers[i].msg_len, sources[i], headers[i].msg_hdr.msg_namelen);
        }
        cpuSeconds = threadCpuSeconds() - start;
    }

    Reads reads;
    int fd;
    uint32_t received = 0;
    long updates = 0;
    double cpuSeconds = 0;
    std::thread worker;
};

// The value of one counter on the server's /metrics page, or -1.
long long metricValue(uint16_t httpPort, const std::string& name) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval limit{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(httpPort);
    std::string page;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char buffer[4096];
            for (int reads = 0; reads < 1000; ++reads) {
                const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0) break;
                page.append(buffer, static_cast<size_t>(got));
            }
        }
    }
    close(fd);
    const size_t at = page.find("\n" + name + " ");
    if (at == std::string::npos) return -1;
    return std::atoll(page.c_str() + at + name.size() + 2);
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || i + 1 >= argc) return false;
        const std::string value = argv[++i];
        if (flag == "--zones") {
            options.zoneCounts.clear();
            for (size_t at = 0; at < value.size() && options.zoneCounts.size() < 16;) {
                options.zoneCounts.push_back(std::atoi(value.c_str() + at));
                const size_t comma = value.find(',', at);
                at = comma == std::string::npos ? value.size() : comma + 1;
            }
        } else if (flag == "--ping-zones") options.pingZones = std::atoi(value.c_str());
        else if (flag == "--updates") options.updates = std::atoi(value.c_str());
        else if (flag == "--in-flight") options.inFlight = std::atoi(value.c_str());
        else if (flag == "--ini") options.ini = withLineEnds(value);
        else if (flag == "--binary") options.binary = value;
        else return false;
    }
    for (const int zones : options.zoneCounts)
        if (zones < kListedZones || zones > 4 * kZonesPerAddress) return false;
    return !options.zoneCounts.empty() && options.updates > 0 && options.inFlight > 0 &&
           options.pingZones >= 0 && options.pingZones <= 4 * kZonesPerAddress;
}

// One zone count: fill, idle, updates against both bare loops, a list
// fetch and ping replies. False when the server or the fill failed.
bool measureSize(const Options& options, int zones, const std::string& directory,
                 SizeResult& result) {
    result.zones = zones;
    std::printf("\n== %d zones\n", zones);
    Server server;
    bool done = false;
    do {
        if (!server.start(options, directory) ||
            !server.waitFor(kFenceWaitMs, [&] { return server.banner; })) {
            std::printf("the server did not start\n");
            break;
        }
        if (!server.errors.empty()) {
            std::printf("the server could not open a port:\n%s", server.errors.c_str());
            break;
        }
        const long emptyKb = server.residentKb();

        // Fill: every zone announced once, from as many loopback addresses as
        // the ports need.
        std::vector<int> senders;
        for (int a = 0; a <= (zones - 1) / kZonesPerAddress; ++a)
            senders.push_back(openSocket(zoneAddress(a * kZonesPerAddress), 0));
        const int fenceSocket = senders[0];
        uint16_t pingPort = 0;
        uint32_t zoneCount = 0;
        auto countFence = [&](uint32_t echo) { sendBytes(fenceSocket, kServerUpdatePort, le32(echo)); };
        auto awaitCount = [&](uint32_t echo) { return awaitCountReply(fenceSocket, echo, &server, &zoneCount, &pingPort); };
        std::vector<std::vector<uint8_t>> updates(zones);
        for (int zone = 0; zone < zones; ++zone) updates[zone] = updateFor(zone, "");
        const auto fillStart = Clock::now();
        const double fillRate = drive(
            zones, options.inFlight,
            [&](int zone) { sendBytes(senders[zone / kZonesPerAddress], kServerUpdatePort, updates[zone]); },
            countFence, awaitCount);
        std::printf("fill: %u zones listed (of %d sent) in %.1f s, %.0f updates/s\n", zoneCount,
                    zones, msSince(fillStart) / 1000.0, fillRate);
        if (fillRate == 0 || static_cast<int>(zoneCount) != zones) {
            std::printf("the fill lost datagrams; try a smaller --in-flight\n");
            break;
        }
        const long fullKb = server.residentKb();
        std::printf("memory: VmRSS %ld kB empty, %ld kB with %d zones: %.0f bytes per zone\n",
                    emptyKb, fullKb, zones,
                    static_cast<double>(fullKb - emptyKb) * 1024.0 / zones);

        // Idle: what the server costs with its zones and no traffic.
        {
            constexpr int kIdleMs = 5000;  // CPU time comes in 10 ms ticks
            const double cpuBefore = server.cpuSeconds();
            const auto idleStart = Clock::now();
            server.waitFor(kIdleMs, [] { return false; });
            std::printf("idle: %.2f %% of a core\n",
                        100.0 * (server.cpuSeconds() - cpuBefore) / (msSince(idleStart) / 1000.0));
        }

        // Updates of known zones, spread over the list.
        auto knownUpdate = [&](int i) {
            const int zone = static_cast<int>((static_cast<int64_t>(i) * 7919) % zones);
            sendBytes(senders[zone / kZonesPerAddress], kServerUpdatePort, updates[zone]);
        };
        {
            // Each bare loop gets the same datagrams the server gets, from one
            // socket: what a receive costs, with nothing done with the bytes.
            auto bareRun = [&](BareLoop::Reads how, double& usPerUpdate) {
                BareLoop bare(how);
                const int bareSocket = openSocket(htonl(INADDR_LOOPBACK), 0);
                const double bareRate = drive(
                    options.updates, options.inFlight,
                    [&](int i) { sendBytes(bareSocket, bare.port, updates[i % zones]); },
                    [&](uint32_t echo) { sendBytes(bareSocket, bare.port, le32(echo)); },
                    [&](uint32_t echo) { return awaitCountReply(bareSocket, echo, &server, nullptr, nullptr); });
                close(bareSocket);
                bare.finish();
                usPerUpdate = bare.usPerUpdate();
                return bareRate;
            };
            const double bareRate = bareRun(BareLoop::Reads::OneEach, result.recvfromUs);
            const double batchedRate = bareRun(BareLoop::Reads::Batched, result.recvmmsgUs);
            const long before = server.updates;
            const double cpuBefore = server.cpuPreciseSeconds();
            const double rate = drive(options.updates, options.inFlight, knownUpdate, countFence, awaitCount);
            server.drain();
            const double cpu = server.cpuPreciseSeconds() - cpuBefore;
            const long handled = server.updates - before;
            result.serverUs = handled > 0 ? cpu * 1e6 / static_cast<double>(handled) : 0.0;
            std::printf("updates: server %.0f/s (%ld of %d handled), bare recvfrom loop %.0f/s, "
                        "bare recvmmsg loop %.0f/s, ratio %.1f %%, server CPU %.2f s\n",
                        rate, handled, options.updates, bareRate, batchedRate,
                        bareRate > 0 ? 100.0 * rate / bareRate : 0.0, cpu);
            std::printf("CPU per update: server %.2f us, bare recvfrom %.2f us, bare recvmmsg %.2f us\n",
                        result.serverUs, result.recvfromUs, result.recvmmsgUs);
        }

        // A game client fetches the 600 zones of the listed population.
        {
            kelvaro::ListClient client;
            const auto fetchStart = Clock::now();
            const kelvaro::Connection* connection =
                client.connect(htonl(INADDR_LOOPBACK), kServerClientPort, kListedPopulation);
            std::vector<std::vector<uint8_t>> lists;
            while (lists.empty() && msSince(fetchStart) < 20000) {
                client.manager.poll(64);
                server.drain();
                lists = client.listsFor(connection);
                if (!lists.empty()) break;
                pollfd watched{client.manager.endpoint.descriptor(), POLLIN, 0};
                poll(&watched, 1, 1);
            }
            const double fetchMs = msSince(fetchStart);
            int entries = 0;
            if (!lists.empty()) {
                uint32_t position = 1;
                kelvaro::ZoneEntry entry;
                while (kelvaro::readZoneEntry(lists[0].data(), static_cast<uint32_t>(lists[0].size()), position, entry)) ++entries;
                std::printf("list fetch: %d zones, %zu bytes in %.1f ms\n", entries, lists[0].size(), fetchMs);
            } else {
                std::printf("list fetch: nothing within 20 s\n");
            }
            // The client closes, so the server is not busy with it any more.
            if (connection != nullptr && !connection->isClosed())
                const_cast<kelvaro::Connection*>(connection)->disconnect(true);
            for (int i = 0; i < 10; ++i) client.manager.poll(64);
        }

        // Ping replies from the zones' port + 1; the fence is a malformed
        // datagram, which the server reports on its console.
        {
            std::vector<int> pingers;
            const int zonesPinging = std::min(kPingSockets, zones);
            for (int zone = 0; zone < zonesPinging; ++zone)
                pingers.push_back(openSocket(zoneAddress(zone), static_cast<uint16_t>(zonePort(zone) + 1)));
            const auto reply = le32Pair(1, 0);
            BareLoop bare;
            const int bareSocket = openSocket(htonl(INADDR_LOOPBACK), 0);
            const double bareRate = drive(
                options.updates, options.inFlight,
                [&](int) { sendBytes(bareSocket, bare.port, reply); },
                [&](uint32_t echo) { sendBytes(bareSocket, bare.port, le32(echo)); },
                [&](uint32_t echo) { return awaitCountReply(bareSocket, echo, &server, nullptr, nullptr); });
            close(bareSocket);
            const long fencesBefore = server.pingFences;
            const double cpuBefore = server.cpuSeconds();
            const double rate = drive(
                options.updates, options.inFlight,
                [&](int i) { sendBytes(pingers[i % zonesPinging], pingPort, reply); },
                [&](uint32_t) { sendBytes(fenceSocket, pingPort, {0, 0, 0}); },
                [&](uint32_t fence) {
                    return server.waitFor(kFenceWaitMs,
                                          [&] { return server.pingFences - fencesBefore >= fence; });
                });
            const double cpu = server.cpuSeconds() - cpuBefore;
            std::printf("ping replies: server %.0f/s, bare receive loop %.0f/s, ratio %.1f %%, "
                        "server CPU %.2f s\n",
                        rate, bareRate, bareRate > 0 ? 100.0 * rate / bareRate : 0.0, cpu);
            for (const int fd : pingers) close(fd);
        }
        std::printf("server totals: CPU %.2f s, VmRSS %ld kB\n", server.cpuSeconds(), server.residentKb());
        for (const int fd : senders) close(fd);
        done = true;
    } while (false);
    server.stop();
    return done;
}

// The sweep alone: zones that never answer, pinged once per SweepCycle, with
// re-pings and drops put off beyond the window measured, so every ping in it
// is a sweep ping.
bool measurePings(const Options& options, const std::string& directory) {
    const int zones = options.pingZones;
    std::printf("\n== pings at %d zones, SweepCycle=60\n", zones);
    const std::string sweep = "[Zone]\nSweepTime=500\nSweepCycle=60\nInitialHighPing=600000\n"
                              "DropLimit=100000\n[Http]\nPort=" + std::to_string(kPingHttpPort) + "\n";
    Server server;
    if (!server.start(options, directory, sweep) ||
        !server.waitFor(kFenceWaitMs, [&] { return server.banner; }) || !server.errors.empty()) {
        std::printf("the server did not start\n%s", server.errors.c_str());
        return false;
    }
    std::vector<int> senders;
    for (int a = 0; a <= (zones - 1) / kZonesPerAddress; ++a)
        senders.push_back(openSocket(zoneAddress(a * kZonesPerAddress), 0));
    uint32_t zoneCount = 0;
    const double fillRate = drive(
        zones, options.inFlight,
        [&](int zone) { sendBytes(senders[zone / kZonesPerAddress], kServerUpdatePort, updateFor(zone, "")); },
        [&](uint32_t echo) { sendBytes(senders[0], kServerUpdatePort, le32(echo)); },
        [&](uint32_t echo) { return awaitCountReply(senders[0], echo, &server, &zoneCount, nullptr); });
    for (const int fd : senders) close(fd);
    bool done = false;
    if (fillRate > 0 && static_cast<int>(zoneCount) == zones) {
        server.waitFor(2000, [] { return false; });  // the pages are rebuilt each second
        const long long pingsBefore = metricValue(kPingHttpPort, "kelvaro_pings_sent_total");
        const double cpuBefore = server.cpuPreciseSeconds();
        const auto start = Clock::now();
        server.waitFor(kPingWindowMs, [] { return false; });
        const double cpu = server.cpuPreciseSeconds() - cpuBefore;
        const double seconds = msSince(start) / 1000.0;
        const long long pings = metricValue(kPingHttpPort, "kelvaro_pings_sent_total") - pingsBefore;
        if (pingsBefore >= 0 && pings > 0) {
            std::printf("pings: %lld sent in %.1f s (%.0f/s), server CPU %.3f s, %.2f us per ping\n",
                        pings, seconds, static_cast<double>(pings) / seconds, cpu,
                        cpu * 1e6 / static_cast<double>(pings));
            done = true;
        } else {
            std::printf("pings: no count from /metrics\n");
        }
    } else {
        std::printf("the fill lost datagrams; try a smaller --in-flight\n");
    }
    server.stop();
    return done;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    options.binary = serverBesideBench(argv[0]);
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: load_directory [--zones N[,N...] (600..200000)] [--updates N] [--in-flight N]\n"
                     "                      [--ping-zones N (0 for none)] [--ini 'TEXT, \\n ends a line']\n"
                     "                      [--binary PATH]\n");
        return 2;
    }
    const bool isolated = isolateNetwork();
    char pattern[] = "/tmp/kelvaro-load-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string directory = pattern;
    std::printf("server %s, %s, ini: %s\n", options.binary.c_str(),
                isolated ? "own network namespace" : "host loopback", options.ini.c_str());

    int status = 0;
    std::vector<SizeResult> results;
    for (const int zones : options.zoneCounts) {
        SizeResult result;
        if (!measureSize(options, zones, directory, result)) status = 1;
        else results.push_back(result);
    }
    std::printf("\nCPU per update (us)   server  recvfrom  recvmmsg  server/recvfrom  server/recvmmsg\n");
    for (const SizeResult& row : results)
        std::printf("%8d zones       %7.2f  %8.2f  %8.2f  %15.2f  %15.2f\n", row.zones, row.serverUs,
                    row.recvfromUs, row.recvmmsgUs,
                    row.recvfromUs > 0 ? row.serverUs / row.recvfromUs : 0.0,
                    row.recvmmsgUs > 0 ? row.serverUs / row.recvmmsgUs : 0.0);
    if (results.size() >= 2 && results.front().serverUs > 0)
        std::printf("growth %d -> %d zones: %.2f\n", results.front().zones, results[1].zones,
                    results[1].serverUs / results.front().serverUs);
    if (options.pingZones > 0 && !measurePings(options, directory)) status = 1;
    std::filesystem::remove_all(directory);
    return status;
}
