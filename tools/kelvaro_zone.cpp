// kelvaro_zone: plays many zones against one directory, for rehearsal and load.
//
// Zone i (0-based) announces port P + 2i and answers pings on P + 2i + 1 with
// its population; every zone is re-announced each interval (spread over its
// first half), and after
// --silent-after seconds the first ceil(share x N) zones fall silent (neither
// answering pings nor re-announcing), so the directory's drops can be watched.
// One summary line per interval. Stops on SIGINT/SIGTERM or after --duration.
// Exit status: 0 after a run in which the directory answered a count query,
// 1 when it never did or the zones' ports could not be bound, 2 on bad
// options.

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kelvaro.h"

namespace kelvaro {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr uint32_t kMostZones = 20000;
constexpr uint32_t kLongestSeconds = 30u * 24u * 3600u;  // keeps every time in 32-bit ms
constexpr uint32_t kMsPerSecond = 1000;
constexpr int kPollTimeoutMs = 5;  // a round never sleeps longer than this
constexpr int kSpareDescriptors = 16;  // stdio, the query socket and the libraries' own

constexpr const char* kVersion = "kelvaro_zone (Kelvaro Build 3)\n";
constexpr const char* kUsage =
    "usage: kelvaro_zone <directory address> --zones N --port P --name-prefix TEXT\n"
    "           --password PW [--interval S] [--duration S] [--silent-after S]\n"
    "           [--silent-share F] [--population N] [--description TEXT]\n"
    "           [--update-port P]\n"
    "       kelvaro_zone --help | --version\n"
    "\n"
    "Runs N zones named \"TEXT1\" .. \"TEXTN\" on ports P, P+2, ..., each answering\n"
    "pings on its port + 1, re-announced every S seconds (default 10), spread\n"
    "over the first half of the interval. After\n"
    "--silent-after S the first ceil(F x N) zones fall silent (F 0..1, default 0).\n"
    "Prints per interval: t=<s>s announced=<updates sent> pings_answered=<n>\n"
    "silent=<zones> directory_count=<the directory's answer to the count query sent\n"
    "after that interval's announcements, - when none came>.\n"
    "--duration 0 (the default) runs until SIGINT or SIGTERM, at most 30 days.\n";

struct Options {
    uint32_t address = 0;  // network order
    uint32_t zones = 0;
    uint32_t port = 0;
    std::string namePrefix;
    bool passwordGiven = false;
    std::string password;
    std::string description;
    uint32_t intervalSeconds = 10;
    uint32_t durationSeconds = 0;
    uint32_t silentAfterSeconds = 0;
    double silentShare = 0.0;
    uint32_t population = 0;
    uint32_t updatePort = KELVARO_UPDATE_PORT;
};

bool refuse(const std::string& line) {
    std::fprintf(stderr, "kelvaro_zone: %s (see kelvaro_zone --help)\n", line.c_str());
    return false;
}

// Decimal; the whole text must be a number in least..most.
bool parseNumber(const char* key, const char* text, uint32_t least, uint32_t most, uint32_t& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (text[0] == '\0' || text[0] == '-' || text[0] == '+' || errno != 0 || *end != '\0' ||
        value < least || value > most)
        return refuse(std::string(key) + " must be " + std::to_string(least) + ".." +
                      std::to_string(most) + ", not " + text);
    out = static_cast<uint32_t>(value);
    return true;
}

bool parseShare(const char* text, double& out) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (text[0] == '\0' || errno != 0 || *end != '\0' || !(value >= 0.0 && value <= 1.0))
        return refuse(std::string("--silent-share must be 0..1, not ") + text);
    out = value;
    return true;
}

bool applyOption(std::string_view key, const char* value, Options& o) {
    const char* k = key.data();
    if (key == "--zones") return parseNumber(k, value, 1, kMostZones, o.zones);
    if (key == "--port") return parseNumber(k, value, 1, UINT16_MAX - 1, o.port);
    if (key == "--interval") return parseNumber(k, value, 1, 3600, o.intervalSeconds);
    if (key == "--duration") return parseNumber(k, value, 0, kLongestSeconds, o.durationSeconds);
    if (key == "--silent-after")
        return parseNumber(k, value, 0, kLongestSeconds, o.silentAfterSeconds);
    if (key == "--silent-share") return parseShare(value, o.silentShare);
    if (key == "--population") return parseNumber(k, value, 0, UINT16_MAX, o.population);
    if (key == "--update-port") return parseNumber(k, value, 1, UINT16_MAX, o.updatePort);
    std::string* text = key == "--name-prefix"   ? &o.namePrefix
                        : key == "--password"    ? &o.password
                        : key == "--description" ? &o.description
                                                 : nullptr;
    if (text == nullptr) return refuse("unknown option " + std::string(key));
    *text = value;
    if (text == &o.password) o.passwordGiven = true;
    return true;
}

std::string zoneName(const Options& o, uint32_t index) {
    return o.namePrefix + std::to_string(index + 1);
}

// The checks that need more than one option.
bool checkOptions(const Options& o) {
    if (o.zones == 0) return refuse("--zones is required");
    if (o.port == 0) return refuse("--port is required");
    if (o.namePrefix.empty()) return refuse("--name-prefix is required");
    if (!o.passwordGiven) return refuse("--password is required");
    if (o.port + 2 * o.zones - 1 > UINT16_MAX)
        return refuse("--port must be 1.." + std::to_string(UINT16_MAX + 1 - 2 * o.zones) +
                      " for " + std::to_string(o.zones) + " zones (each takes two ports)");
    const std::string longest = zoneName(o, o.zones - 1);
    if (kelvaro_check_zone_name(longest.c_str()) != KELVARO_OK ||
        longest.size() != std::strlen(longest.c_str()))
        return refuse("--name-prefix gives names the directory refuses, e.g. \"" + longest +
                      "\" (at most " + std::to_string(KELVARO_MAX_NAME) +
                      " printable characters, single spaces inside)");
    if (o.password.size() > KELVARO_MAX_PASSWORD)
        return refuse("--password must be 0.." + std::to_string(KELVARO_MAX_PASSWORD) +
                      " characters");
    if (o.description.size() > KELVARO_MAX_DESCRIPTION)
        return refuse("--description must be 0.." + std::to_string(KELVARO_MAX_DESCRIPTION) +
                      " characters");
    return true;
}

bool parseArguments(int argc, char** argv, Options& o) {
    if (argc < 2) return refuse("no directory address");
    in_addr parsed{};
    if (inet_pton(AF_INET, argv[1], &parsed) != 1)
        return refuse(std::string("the directory address must be a dotted quad, not ") + argv[1]);
    o.address = parsed.s_addr;
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc) return refuse(std::string(argv[i]) + " needs a value");
        if (!applyOption(argv[i], argv[i + 1], o)) return false;
    }
    return checkOptions(o);
}

volatile std::sig_atomic_t stopSignal = 0;
void onStopSignal(int) { stopSignal = 1; }

uint32_t nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * kMsPerSecond +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

uint32_t elapsedMs(uint32_t now, uint32_t then) { return now - then; }

// Owns the library's zone handles.
struct ZoneHandle {
    kelvaro_zone* zone = nullptr;
    ZoneHandle() = default;
    ZoneHandle(const ZoneHandle&) = delete;
    ZoneHandle& operator=(const ZoneHandle&) = delete;
    ZoneHandle(ZoneHandle&& other) noexcept : zone(other.zone) { other.zone = nullptr; }
    ~ZoneHandle() { kelvaro_zone_destroy(zone); }
};

// Enough descriptors for one socket per zone; the soft limit is raised as far
// as the hard one allows.
bool raiseDescriptorLimit(uint32_t zones) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    const rlim_t needed = static_cast<rlim_t>(zones) + kSpareDescriptors;
    if (limit.rlim_cur >= needed) return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) return false;
    limit.rlim_cur = needed;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

class Rehearsal {
public:
    explicit Rehearsal(const Options& options) : o(options) {}

    // Binds every zone's ping port and the query socket; false, having said
    // which, when one cannot be had.
    bool open();
    // Runs until the duration is over or a stop signal came; the exit status.
    int run();

private:
    bool openZone(uint32_t index);
    void announceDue(uint32_t intoInterval, uint32_t spreadMs);
    void sendCountQuery();
    void readSockets(const std::vector<pollfd>& ready);
    void readCountReplies();
    void printSummary(uint32_t elapsed);
    bool isSilent(uint32_t index) const { return index < silentZones; }
    static void onPing(void* user, uint32_t, uint16_t) {
        ++static_cast<Rehearsal*>(user)->pingsAnswered;
    }

    const Options& o;
    std::vector<ZoneHandle> zones;
    ZoneHandle query;          // announces nothing: asks the count
    uint32_t silentZones = 0;  // the first silentZones zones are silent
    uint32_t nextZone = 0;     // the next to announce in this interval
    bool queried = false;      // this interval's count query has gone
    uint32_t repliesBefore = 0;  // count replies before this interval's query
    bool countKnown = false;  // the reply to the latest query has come
    bool everAnswered = false;
    uint32_t directoryCount = 0;
    uint32_t announced = 0;      // in this interval
    uint32_t pingsAnswered = 0;  // in this interval
};

bool Rehearsal::openZone(uint32_t index) {
    const std::string name = zoneName(o, index);
    const auto port = static_cast<uint16_t>(o.port + 2 * index);
    ZoneHandle handle;
    char address[INET_ADDRSTRLEN] = {};
    in_addr raw{};
    raw.s_addr = o.address;
    inet_ntop(AF_INET, &raw, address, sizeof address);
    const bool made =
        kelvaro_zone_create(&handle.zone, port, 0) == KELVARO_OK &&
        kelvaro_zone_set_name(handle.zone, name.c_str()) == KELVARO_OK &&
        kelvaro_zone_set_password(handle.zone, o.password.c_str()) == KELVARO_OK &&
        kelvaro_zone_set_description(handle.zone, o.description.c_str()) == KELVARO_OK &&
        kelvaro_zone_set_population(handle.zone, static_cast<uint16_t>(o.population)) ==
            KELVARO_OK &&
        kelvaro_zone_set_interval(handle.zone, 0) == KELVARO_OK &&
        kelvaro_zone_set_ping_callback(handle.zone, &Rehearsal::onPing, this) == KELVARO_OK &&
        kelvaro_zone_add_directory(handle.zone, address, static_cast<uint16_t>(o.updatePort),
                                   nullptr) == KELVARO_OK;
    if (!made) {
        std::fprintf(stderr, "kelvaro_zone: UDP port %u could not be bound for zone %s\n",
                     port + 1u, name.c_str());
        return false;
    }
    zones.push_back(std::move(handle));
    return true;
}

bool Rehearsal::open() {
    if (!raiseDescriptorLimit(o.zones)) {
        std::fprintf(stderr, "kelvaro_zone: cannot have %u open sockets (RLIMIT_NOFILE)\n",
                     o.zones + kSpareDescriptors);
        return false;
    }
    zones.reserve(o.zones);
    for (uint32_t i = 0; i < o.zones; ++i)
        if (!openZone(i)) return false;
    char address[INET_ADDRSTRLEN] = {};
    in_addr raw{};
    raw.s_addr = o.address;
    inet_ntop(AF_INET, &raw, address, sizeof address);
    if (kelvaro_zone_create(&query.zone, 1, KELVARO_ZONE_NO_PINGS) != KELVARO_OK ||
        kelvaro_zone_set_interval(query.zone, 0) != KELVARO_OK ||
        kelvaro_zone_add_directory(query.zone, address, static_cast<uint16_t>(o.updatePort),
                                   nullptr) != KELVARO_OK) {
        std::fprintf(stderr, "kelvaro_zone: no UDP socket for count queries\n");
        return false;
    }
    return true;
}

// Zone i's turn comes i / N of the way through the first half of the
// interval. A burst of every update at once would overflow the directory's
// receive buffer (it reads a few datagrams per iteration) and lose most of
// them, which real zones, announcing at their own times, never do.
void Rehearsal::announceDue(uint32_t intoInterval, uint32_t spreadMs) {
    const uint64_t due = std::min<uint64_t>(
        o.zones, static_cast<uint64_t>(intoInterval) * o.zones / std::max(spreadMs, 1u) + 1);
    for (; nextZone < due; ++nextZone) {
        if (isSilent(nextZone)) continue;
        if (kelvaro_zone_announce(zones[nextZone].zone) == KELVARO_OK) ++announced;
    }
    if (nextZone == o.zones && !queried) {
        sendCountQuery();
        queried = true;
    }
}

// Sent after the interval's announcements: the directory reads its update
// port in order, so the reply counts them.
void Rehearsal::sendCountQuery() {
    kelvaro_zone_directory_state state{};
    kelvaro_zone_directory(query.zone, 0, &state);
    repliesBefore = state.count_replies;
    countKnown = false;
    kelvaro_zone_query_count(query.zone, 0);
}

// Pings are answered from every source: the directory's peers learn the zones
// from its list and ping them too, and a zone that ignored them would be
// dropped from theirs. A silent zone's socket is left unread.
void Rehearsal::readSockets(const std::vector<pollfd>& ready) {
    for (uint32_t i = 0; i < o.zones; ++i)
        if ((ready[i].revents & POLLIN) != 0 && !isSilent(i)) kelvaro_zone_poll(zones[i].zone);
}

void Rehearsal::readCountReplies() {
    kelvaro_zone_poll(query.zone);
    kelvaro_zone_directory_state state{};
    kelvaro_zone_directory(query.zone, 0, &state);
    if (state.count_replies != repliesBefore && state.count_known) {
        repliesBefore = state.count_replies;
        directoryCount = state.count;
        countKnown = true;
        everAnswered = true;
    }
}

void Rehearsal::printSummary(uint32_t elapsed) {
    const std::string count = countKnown ? std::to_string(directoryCount) : "-";
    std::printf("t=%us announced=%u pings_answered=%u silent=%u directory_count=%s\n",
                elapsed / kMsPerSecond, announced, pingsAnswered, silentZones, count.c_str());
    std::fflush(stdout);
    announced = 0;
    pingsAnswered = 0;
}

int Rehearsal::run() {
    const uint32_t intervalMs = o.intervalSeconds * kMsPerSecond;
    const uint32_t durationMs =
        (o.durationSeconds == 0 ? kLongestSeconds : o.durationSeconds) * kMsPerSecond;
    const uint32_t silentAfterMs = o.silentAfterSeconds * kMsPerSecond;
    const auto silentTarget =
        static_cast<uint32_t>(std::ceil(o.silentShare * static_cast<double>(o.zones)));
    std::vector<pollfd> watched(o.zones + 1);
    for (uint32_t i = 0; i < o.zones; ++i) watched[i] = {kelvaro_zone_fd(zones[i].zone), POLLIN, 0};
    watched[o.zones] = {kelvaro_zone_fd(query.zone), POLLIN, 0};

    const uint32_t start = nowMs();
    uint32_t intervalStart = start;
    // A round ends after a datagram or a poll time-out, and a poll over every
    // socket takes microseconds, so this cap lies far past the duration.
    const uint64_t mostRounds = static_cast<uint64_t>(durationMs) * 1000u + 1024u;
    uint32_t elapsed = 0;
    for (uint64_t round = 0; round < mostRounds && stopSignal == 0; ++round) {
        for (pollfd& entry : watched) entry.revents = 0;
        // Silent zones are not watched, so their unread pings cannot keep
        // the poll from sleeping.
        for (uint32_t i = 0; i < o.zones; ++i)
            watched[i].fd = isSilent(i) ? -1 : kelvaro_zone_fd(zones[i].zone);
        const int ready = ::poll(watched.data(), watched.size(), kPollTimeoutMs);
        if (ready > 0) {
            readSockets(watched);
            if (watched[o.zones].revents & POLLIN) readCountReplies();
        } else if (ready < 0 && errno != EINTR) {
            ::poll(nullptr, 0, 1);
        }
        const uint32_t now = nowMs();
        elapsed = elapsedMs(now, start);
        if (elapsed >= silentAfterMs && silentZones < silentTarget) silentZones = silentTarget;
        if (elapsed >= durationMs) break;
        if (elapsedMs(now, intervalStart) >= intervalMs) {
            intervalStart += intervalMs;
            printSummary(elapsedMs(intervalStart, start));
            nextZone = 0;
            queried = false;
        }
        announceDue(elapsedMs(now, intervalStart), intervalMs / 2);
    }
    printSummary(elapsed);
    if (!everAnswered) {
        std::fprintf(stderr, "kelvaro_zone: the directory never answered a count query\n");
        return kExitFailed;
    }
    return kExitDone;
}

int run(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return kExitDone;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::fputs(kVersion, stdout);
        return kExitDone;
    }
    Options options;
    if (!parseArguments(argc, argv, options)) return kExitUsage;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    Rehearsal rehearsal(options);
    if (!rehearsal.open()) return kExitFailed;
    return rehearsal.run();
}

}  // namespace
}  // namespace kelvaro

int main(int argc, char** argv) { return kelvaro::run(argc, argv); }
