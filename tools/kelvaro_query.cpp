// kelvaro_query: asks a running directory server from the command line.
//
//   kelvaro_query count <address> [--update-port P] [--timeout-ms T]
//   kelvaro_query list <address> [--min N] [--client-port P] [--timeout-ms T]
//   kelvaro_query announce <address> --port P --name NAME --password PW
//       [--description D] [--population N] [--flag 0|1] [--word W]
//       [--answer-pings S] [--update-port P]
//
// Addresses are dotted quads. Every wait is bounded by --timeout-ms (default
// 2000), so the tool never hangs on a server that does not answer. Exit codes:
// 0 done, 1 no answer in time or a socket could not be used, 2 bad arguments.

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "service/directory_server.h"
#include "service/list_client.h"
#include "service/server_list.h"
#include "util/bytes.h"
#include "zones/zone_datagrams.h"
#include "zones/zone_list.h"

namespace kelvaro {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr uint32_t kDefaultTimeoutMs = 2000;
constexpr uint32_t kLongestTimeoutMs = 3600000;
constexpr uint32_t kLongestAnswerSeconds = 86400;
constexpr uint32_t kMsPerSecond = 1000;
// A long list arrives in many pieces, so the client is polled several times
// per millisecond; the cap also keeps a flooding sender from holding a wait
// open past its time-out.
constexpr int kPollsPerMs = 8;

constexpr const char* kUsage =
    "usage: kelvaro_query count <address> [--update-port P] [--timeout-ms T]\n"
    "       kelvaro_query list <address> [--min N] [--client-port P] [--timeout-ms T]\n"
    "       kelvaro_query announce <address> --port P --name NAME --password PW\n"
    "           [--description D] [--population N] [--flag 0|1] [--word W]\n"
    "           [--answer-pings S] [--update-port P]\n";

struct Options {
    std::string command;
    uint32_t address = 0;  // network order
    uint16_t updatePort = kUpdatePort;
    uint16_t clientPort = kClientPort;
    uint32_t timeoutMs = kDefaultTimeoutMs;
    uint32_t minimum = 0;
    bool portGiven = false;
    uint16_t port = 0;
    bool nameGiven = false;
    std::string name;
    bool passwordGiven = false;
    std::string password;
    std::string description;
    uint16_t population = 0;
    uint16_t zoneFlag = 0;
    uint32_t zoneWord = 0;
    uint32_t answerSeconds = 0;
};

// Decimal, or hexadecimal with 0x; the whole text must be a number <= limit.
bool parseUnsigned(const char* text, uint32_t limit, uint32_t& out) {
    if (text[0] == '\0' || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || value > limit) return false;
    out = static_cast<uint32_t>(value);
    return true;
}

bool parseU16(const char* text, uint16_t& out) {
    uint32_t value = 0;
    if (!parseUnsigned(text, UINT16_MAX, value)) return false;
    out = static_cast<uint16_t>(value);
    return true;
}

// Only dotted quads: the tool never resolves names.
bool parseAddress(const char* text, uint32_t& out) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text, &parsed) != 1) return false;
    out = parsed.s_addr;
    return true;
}

// One "--key value" pair; false for an unknown key or a value out of range.
bool applyOption(std::string_view key, const char* value, Options& options) {
    if (key == "--update-port") return parseU16(value, options.updatePort);
    if (key == "--client-port") return parseU16(value, options.clientPort);
    if (key == "--timeout-ms") return parseUnsigned(value, kLongestTimeoutMs, options.timeoutMs);
    if (key == "--min") return parseUnsigned(value, UINT32_MAX, options.minimum);
    if (key == "--port") return options.portGiven = parseU16(value, options.port);
    if (key == "--population") return parseU16(value, options.population);
    if (key == "--flag") {
        uint32_t flag = 0;
        if (!parseUnsigned(value, 1, flag)) return false;
        options.zoneFlag = static_cast<uint16_t>(flag);
        return true;
    }
    if (key == "--word") return parseUnsigned(value, UINT32_MAX, options.zoneWord);
    if (key == "--answer-pings")
        return parseUnsigned(value, kLongestAnswerSeconds, options.answerSeconds);
    if (key == "--name") {
        options.name = value;
        return options.nameGiven = true;
    }
    if (key == "--password") {
        options.password = value;
        return options.passwordGiven = true;
    }
    if (key == "--description") {
        options.description = value;
        return true;
    }
    return false;
}

bool parseArguments(int argc, char** argv, Options& options) {
    if (argc < 3) return false;
    options.command = argv[1];
    if (!parseAddress(argv[2], options.address)) {
        std::fprintf(stderr, "kelvaro_query: not a dotted-quad address: %s\n", argv[2]);
        return false;
    }
    for (int i = 3; i < argc; i += 2) {
        if (i + 1 >= argc || !applyOption(argv[i], argv[i + 1], options)) {
            std::fprintf(stderr, "kelvaro_query: bad option %s\n", argv[i]);
            return false;
        }
    }
    return true;
}

// The echo only has to tell our reply from a stale one, so the tick mixed with
// the process id is enough.
uint32_t freshEcho() { return tickCount() ^ (static_cast<uint32_t>(getpid()) << 16); }

int runCount(const Options& options) {
    UdpEndpoint endpoint;
    if (endpoint.open(0) < 0) return kExitFailed;
    uint8_t query[kCountQueryLength];
    const uint32_t echo = freshEcho();
    writeU32(query, 0, echo);
    endpoint.setDestination(options.address, options.updatePort);
    if (!endpoint.send(query, sizeof query)) {
        std::fprintf(stderr, "kelvaro_query: count query could not be sent\n");
        return kExitFailed;
    }
    const uint32_t start = tickCount();
    // Counted as well as timed, in case the clock is held still.
    for (uint32_t waited = 0; waited <= options.timeoutMs; ++waited) {
        for (int polls = 0; polls < kPollsPerMs; ++polls) {
            const auto reply = endpoint.poll();
            if (reply == nullptr) break;
            uint32_t count = 0;
            if (readCountReply(reply->data(), reply->bytes.size(), echo, count)) {
                std::printf("%u\n", count);
                return kExitDone;
            }
        }
        if (intervalPassed(tickCount(), start, options.timeoutMs)) break;
        sleepMs(1);
    }
    std::fprintf(stderr, "kelvaro_query: no count reply within %u ms\n", options.timeoutMs);
    return kExitFailed;
}

// One line per zone, the columns of the statistics file.
void printEntries(const std::vector<uint8_t>& list) {
    ZoneEntry entry;
    uint32_t position = 1;  // after the type byte
    const uint32_t length = static_cast<uint32_t>(list.size());
    while (readZoneEntry(list.data(), length, position, entry)) {
        std::printf("%s\t%u\t%u\t%u\t%.*s\t%.*s\n", NetAddress(entry.address, 0).text().c_str(),
                    entry.port, entry.population, entry.zoneFlag,
                    static_cast<int>(entry.name.size()), entry.name.data(),
                    static_cast<int>(entry.description.size()), entry.description.data());
    }
}

// Polls until the one connection has a list, has gone, or time is up.
bool awaitList(ListClient& client, uint32_t timeoutMs) {
    const uint32_t start = tickCount();
    for (uint32_t waited = 0; waited <= timeoutMs; ++waited) {
        for (int polls = 0; polls < kPollsPerMs; ++polls) client.poll();
        if (!client.received.empty()) return true;
        if (client.manager.connectionCount() == 0) return false;
        if (intervalPassed(tickCount(), start, timeoutMs)) return false;
        sleepMs(1);
    }
    return false;
}

int runList(const Options& options) {
    ListClient client;
    if (client.manager.endpoint.localPort() == 0) return kExitFailed;
    client.connect(options.address, options.clientPort, options.minimum);
    const bool listed = awaitList(client, options.timeoutMs);
    // Said goodbye to in every case: a server counts itself busy while any
    // client is connected, and would otherwise wait for its silence limit.
    for (auto* node = client.manager.connections.head(); node != nullptr; node = node->next)
        node->element->disconnect(true);
    if (!listed) {
        std::fprintf(stderr, "kelvaro_query: no server list within %u ms\n", options.timeoutMs);
        return kExitFailed;
    }
    printEntries(client.received.front().bytes);
    return kExitDone;
}

bool sendAnnouncement(const Options& options, UdpEndpoint& endpoint) {
    ZoneAnnouncement zone;
    zone.port = options.port;
    zone.population = options.population;
    zone.zoneFlag = options.zoneFlag;
    zone.zoneWord = options.zoneWord;
    zone.name = options.name;
    zone.password = options.password;
    zone.description = options.description;
    std::vector<uint8_t> datagram;
    if (!encodeZoneUpdate(zone, datagram)) return false;
    endpoint.setDestination(options.address, options.updatePort);
    if (!endpoint.send(datagram.data(), datagram.size()))
        std::fprintf(stderr, "kelvaro_query: update could not be sent\n");
    return true;
}

// Answers the directory's pings for the given time. Pings from any other
// address are left unanswered, so the tool never sends anywhere but to the
// directory it was pointed at.
int answerPings(const Options& options, UdpEndpoint& endpoint) {
    const uint32_t durationMs = options.answerSeconds * kMsPerSecond;
    const uint32_t start = tickCount();
    int answered = 0;
    for (uint32_t waited = 0; waited <= durationMs; ++waited) {
        for (int polls = 0; polls < kPollsPerMs; ++polls) {
            const auto ping = endpoint.poll();
            if (ping == nullptr) break;
            if (ping->source.address() == options.address &&
                answerPing(endpoint, *ping, options.population))
                ++answered;
        }
        if (intervalPassed(tickCount(), start, durationMs)) break;
        sleepMs(1);
    }
    return answered;
}

int runAnnounce(const Options& options) {
    if (!options.portGiven || !options.nameGiven || !options.passwordGiven) {
        std::fprintf(stderr, "kelvaro_query: announce needs --port, --name and --password\n");
        return kExitUsage;
    }
    if (!isValidZoneName(options.name)) {
        std::fprintf(stderr, "kelvaro_query: the directory would refuse the name \"%s\"\n",
                     options.name.c_str());
        return kExitUsage;
    }
    // Pings go to port + 1; binding it before the update leaves no gap in
    // which an early ping would find nobody.
    const uint16_t pingPort = static_cast<uint16_t>(options.port + 1);
    UdpEndpoint endpoint;
    if (endpoint.open(options.answerSeconds > 0 ? pingPort : 0) < 0) return kExitFailed;
    if (options.answerSeconds > 0 && endpoint.localPort() != pingPort) return kExitFailed;
    if (!sendAnnouncement(options, endpoint)) {
        std::fprintf(stderr,
                     "kelvaro_query: a field is too long (name %zu, password %zu, description "
                     "%zu characters at most)\n",
                     kLongestZoneNameText, kLongestZonePassword, kLongestUpdateDescription);
        return kExitUsage;
    }
    if (options.answerSeconds > 0)
        std::printf("answered %d pings\n", answerPings(options, endpoint));
    return kExitDone;
}

int run(int argc, char** argv) {
    Options options;
    if (!parseArguments(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (options.command == "count") return runCount(options);
    if (options.command == "list") return runList(options);
    if (options.command == "announce") return runAnnounce(options);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

}  // namespace
}  // namespace kelvaro

int main(int argc, char** argv) { return kelvaro::run(argc, argv); }
