// Load on the real server process, over loopback: starts build/kelvaro in a
// temporary directory with the ini text given, fills it to --zones zones,
// then drives updates of known zones and ping replies at it with a bounded
// number in flight, and does the same against a bare one-thread UDP receive
// loop in this process. The machine is shared and noisy, so the figure that
// counts is the ratio of the two rates, measured in the same run. It also
// times a game client fetching a list of 600 zones, and reports the server's
// CPU time (idle and under load) and resident memory.
//
// When run as root it first moves into a network namespace of its own, so the
// server's fixed ports collide with nothing; otherwise it uses the host's
// loopback and stops if a port is taken. Every wait is bounded.
//
//   load_directory [--zones N] [--updates N] [--in-flight N]
//                  [--ini 'TEXT with \n for line ends'] [--binary PATH]

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

struct Options {
    int zones = 10000;
    int updates = 20000;
    int inFlight = 128;
    std::string ini;
    std::string binary;
};

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
    bool start(const Options& options, const std::string& directory) {
        return child.start(options.binary, withLineEnds(options.ini) + "\n" + kBaseSettings,
                           directory);
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

// The bare receive loop: takes every datagram, answers a 4-byte one with an
// 8-byte reply like the server's count query, ends on a 1-byte datagram or
// after two seconds of silence.
class BareLoop {
public:
    BareLoop() : fd(openSocket(htonl(INADDR_LOOPBACK), 0)) {
        timeval limit{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in local{};
        socklen_t size = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
        port = ntohs(local.sin_port);
        worker = std::thread([this] { run(); });
    }
    ~BareLoop() {
        const int stopper = openSocket(htonl(INADDR_LOOPBACK), 0);
        sendBytes(stopper, port, {0});
        close(stopper);
        worker.join();
        close(fd);
    }
    uint16_t port = 0;

private:
    void run() {
        uint8_t buffer[600];
        uint32_t received = 0;
        for (long rounds = 0; rounds < 100000000; ++rounds) {
            sockaddr_in from{};
            socklen_t size = sizeof from;
            const ssize_t got = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
            if (got < 0 || got == 1) return;
            ++received;
            if (got == 4) {
                const auto reply = le32Pair(received, readU32(buffer, 0));
                sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
            }
        }
    }
    int fd;
    std::thread worker;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || i + 1 >= argc) return false;
        const std::string value = argv[++i];
        if (flag == "--zones") options.zones = std::atoi(value.c_str());
        else if (flag == "--updates") options.updates = std::atoi(value.c_str());
        else if (flag == "--in-flight") options.inFlight = std::atoi(value.c_str());
        else if (flag == "--ini") options.ini = value;
        else if (flag == "--binary") options.binary = value;
        else return false;
    }
    return options.zones >= kListedZones && options.zones <= 4 * kZonesPerAddress &&
           options.updates > 0 && options.inFlight > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    options.binary = serverBesideBench(argv[0]);
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: load_directory [--zones N (600..200000)] [--updates N] [--in-flight N]\n"
                     "                      [--ini 'TEXT, \\n ends a line'] [--binary PATH]\n");
        return 2;
    }
    const bool isolated = isolateNetwork();
    char pattern[] = "/tmp/kelvaro-load-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string directory = pattern;
    std::printf("server %s, %s, ini: %s\n", options.binary.c_str(),
                isolated ? "own network namespace" : "host loopback", options.ini.c_str());

    Server server;
    int status = 1;
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
        for (int a = 0; a <= (options.zones - 1) / kZonesPerAddress; ++a)
            senders.push_back(openSocket(zoneAddress(a * kZonesPerAddress), 0));
        const int fenceSocket = senders[0];
        uint16_t pingPort = 0;
        uint32_t zoneCount = 0;
        auto countFence = [&](uint32_t echo) { sendBytes(fenceSocket, kServerUpdatePort, le32(echo)); };
        auto awaitCount = [&](uint32_t echo) { return awaitCountReply(fenceSocket, echo, &server, &zoneCount, &pingPort); };
        std::vector<std::vector<uint8_t>> updates(options.zones);
        for (int zone = 0; zone < options.zones; ++zone) updates[zone] = updateFor(zone, "");
        const auto fillStart = Clock::now();
        const double fillRate = drive(
            options.zones, options.inFlight,
            [&](int zone) { sendBytes(senders[zone / kZonesPerAddress], kServerUpdatePort, updates[zone]); },
            countFence, awaitCount);
        std::printf("fill: %u zones listed (of %d sent) in %.1f s, %.0f updates/s\n", zoneCount,
                    options.zones, msSince(fillStart) / 1000.0, fillRate);
        if (fillRate == 0 || static_cast<int>(zoneCount) != options.zones) {
            std::printf("the fill lost datagrams; try a smaller --in-flight\n");
            break;
        }
        const long fullKb = server.residentKb();
        std::printf("memory: VmRSS %ld kB empty, %ld kB with %d zones: %.0f bytes per zone\n",
                    emptyKb, fullKb, options.zones,
                    static_cast<double>(fullKb - emptyKb) * 1024.0 / options.zones);

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
            const int zone = static_cast<int>((static_cast<int64_t>(i) * 7919) % options.zones);
            sendBytes(senders[zone / kZonesPerAddress], kServerUpdatePort, updates[zone]);
        };
        {
            BareLoop bare;
            const int bareSocket = openSocket(htonl(INADDR_LOOPBACK), 0);
            const double bareRate = drive(
                options.updates, options.inFlight,
                [&](int i) { sendBytes(bareSocket, bare.port, updates[i % options.zones]); },
                [&](uint32_t echo) { sendBytes(bareSocket, bare.port, le32(echo)); },
                [&](uint32_t echo) { return awaitCountReply(bareSocket, echo, &server, nullptr, nullptr); });
            close(bareSocket);
            const long before = server.updates;
            const double cpuBefore = server.cpuSeconds();
            const double rate = drive(options.updates, options.inFlight, knownUpdate, countFence, awaitCount);
            server.drain();
            const double cpu = server.cpuSeconds() - cpuBefore;
            const long handled = server.updates - before;
            std::printf("updates: server %.0f/s (%ld of %d handled), bare receive loop %.0f/s, "
                        "ratio %.1f %%, server CPU %.2f s (%.1f us per update)\n",
                        rate, handled, options.updates, bareRate,
                        bareRate > 0 ? 100.0 * rate / bareRate : 0.0, cpu,
                        handled > 0 ? cpu * 1e6 / static_cast<double>(handled) : 0.0);
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
            const int zonesPinging = std::min(kPingSockets, options.zones);
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
        status = 0;
    } while (false);
    server.stop();
    std::filesystem::remove_all(directory);
    return status;
}
