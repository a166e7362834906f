// kelvaro_query: asks a running directory server from the command line.
//
// Addresses are dotted quads and every wait is bounded by --timeout-ms, so the
// tool never hangs on a server that does not answer, and it never reads any
// kelvaro.ini. Exit status: 0 when it got what it asked for, 1 when nothing
// (or not enough) answered in time or a socket could not be used, 2 on bad
// arguments; every failure says why in one line on stderr.

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "service/directory_server.h"
#include "service/list_client.h"
#include "service/server_list.h"
#include "service/tab_separated.h"
#include "service/zone_json.h"
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
// Distinct directories reported by announce --answer-pings; pings from any
// further source are still answered, only counted under "other".
constexpr size_t kMostPingSources = 64;

constexpr const char* kVersion = "kelvaro_query (Kelvaro Build 3)\n";
constexpr const char* kUsage =
    "usage: kelvaro_query count <address> [--update-port P] [--timeout-ms T]\n"
    "           [--format table|tsv|json]\n"
    "       kelvaro_query list <address> [--min N] [--all] [--client-port P]\n"
    "           [--update-port P] [--timeout-ms T] [--format table|tsv|json]\n"
    "       kelvaro_query announce <address> --port P --name NAME --password PW\n"
    "           [--description D] [--population N] [--flag 0|1] [--word W]\n"
    "           [--answer-pings S] [--update-port P] [--timeout-ms T]\n"
    "       kelvaro_query --help | --version\n"
    "\n"
    "count prints how many zones the directory lists; list fetches the list as a\n"
    "game client does (table: aligned columns; tsv: address, port, population,\n"
    "flag, name, description; json: an array of objects; the default is table on\n"
    "a terminal and tsv otherwise, so scripts keep their columns; a tab or line\n"
    "end inside a tsv field is written as a space). A directory with more zones\n"
    "than one list holds sends a full list: list then says so on stderr, and\n"
    "with --all fetches successive lists (at most 64, each within T) until every\n"
    "zone of the directory's count has been seen once, and prints them all\n"
    "(status 1 if some are still missing). announce sends one\n"
    "update, then a count query: the directory reads its update port in order, so\n"
    "its reply proves the update was read. With --answer-pings S it instead\n"
    "answers, for S seconds, every ping reaching port P + 1 from any directory,\n"
    "and reports how many came from each.\n"
    "Addresses are dotted quads; T is 1..3600000 ms (default 2000).\n"
    "Exit status: 0 done, 1 nothing (or not enough) answered in time, 2 bad\n"
    "arguments.\n";

enum class Format { Table, Tsv, Json };

struct Options {
    std::string command;
    uint32_t address = 0;  // network order
    uint16_t updatePort = kUpdatePort;
    uint16_t clientPort = kClientPort;
    uint32_t timeoutMs = kDefaultTimeoutMs;
    uint32_t minimum = 0;
    Format format = isatty(STDOUT_FILENO) ? Format::Table : Format::Tsv;
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
    uint32_t answerSeconds = 0;  // 0: do not answer pings
    bool all = false;            // list: fetch until every zone has been seen
};

// Which commands take an option.
constexpr unsigned kCount = 1;
constexpr unsigned kList = 2;
constexpr unsigned kAnnounce = 4;

// One row per option: the commands that take it and, for numbers, the range.
// A value outside the range is refused with the range in the message.
struct OptionRow {
    const char* key;
    unsigned commands;
    uint32_t least;
    uint32_t most;
    bool (*apply)(Options&, const char* text, uint32_t number);  // number: parsed when most > 0
    bool takesValue = true;  // false: a flag standing alone
};

bool setFormat(Options& o, const char* text, uint32_t) {
    const std::string_view value(text);
    if (value == "table")
        o.format = Format::Table;
    else if (value == "tsv")
        o.format = Format::Tsv;
    else if (value == "json")
        o.format = Format::Json;
    else
        return false;
    return true;
}

constexpr OptionRow kOptions[] = {
    {"--update-port", kCount | kList | kAnnounce, 1, UINT16_MAX,
     [](Options& o, const char*, uint32_t n) {
         o.updatePort = static_cast<uint16_t>(n);
         return true;
     }},
    {"--client-port", kList, 1, UINT16_MAX,
     [](Options& o, const char*, uint32_t n) {
         o.clientPort = static_cast<uint16_t>(n);
         return true;
     }},
    {"--timeout-ms", kCount | kList | kAnnounce, 1, kLongestTimeoutMs,
     [](Options& o, const char*, uint32_t n) {
         o.timeoutMs = n;
         return true;
     }},
    {"--min", kList, 0, UINT32_MAX,
     [](Options& o, const char*, uint32_t n) {
         o.minimum = n;
         return true;
     }},
    {"--format", kCount | kList, 0, 0, setFormat},
    {"--all", kList, 0, 0,
     [](Options& o, const char*, uint32_t) { return o.all = true; }, false},
    {"--port", kAnnounce, 1, UINT16_MAX,
     [](Options& o, const char*, uint32_t n) {
         o.port = static_cast<uint16_t>(n);
         return o.portGiven = true;
     }},
    {"--population", kAnnounce, 0, UINT16_MAX,
     [](Options& o, const char*, uint32_t n) {
         o.population = static_cast<uint16_t>(n);
         return true;
     }},
    {"--flag", kAnnounce, 0, 1,
     [](Options& o, const char*, uint32_t n) {
         o.zoneFlag = static_cast<uint16_t>(n);
         return true;
     }},
    {"--word", kAnnounce, 0, UINT32_MAX,
     [](Options& o, const char*, uint32_t n) {
         o.zoneWord = n;
         return true;
     }},
    {"--answer-pings", kAnnounce, 1, kLongestAnswerSeconds,
     [](Options& o, const char*, uint32_t n) {
         o.answerSeconds = n;
         return true;
     }},
    {"--name", kAnnounce, 0, 0,
     [](Options& o, const char* text, uint32_t) {
         o.name = text;
         return o.nameGiven = true;
     }},
    {"--password", kAnnounce, 0, 0,
     [](Options& o, const char* text, uint32_t) {
         o.password = text;
         return o.passwordGiven = true;
     }},
    {"--description", kAnnounce, 0, 0,
     [](Options& o, const char* text, uint32_t) {
         o.description = text;
         return true;
     }},
};

// Decimal, or hexadecimal with 0x; the whole text must be a number.
bool parseUnsigned(const char* text, uint32_t& out) {
    if (text[0] == '\0' || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || value > UINT32_MAX) return false;
    out = static_cast<uint32_t>(value);
    return true;
}

// Only dotted quads: the tool never resolves names.
bool parseAddress(const char* text, uint32_t& out) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text, &parsed) != 1) return false;
    out = parsed.s_addr;
    return true;
}

unsigned commandBit(std::string_view command) {
    if (command == "count") return kCount;
    if (command == "list") return kList;
    if (command == "announce") return kAnnounce;
    return 0;
}

// Prints one line naming what is wrong; false then.
bool refuse(const char* format, const char* first, const char* second = "") {
    std::fprintf(stderr, "kelvaro_query: ");
    std::fprintf(stderr, format, first, second);
    std::fprintf(stderr, " (see kelvaro_query --help)\n");
    return false;
}

// How many arguments the option at key takes with it: 1 for a flag, else 2.
int argumentsOf(const char* key) {
    for (const OptionRow& row : kOptions)
        if (std::strcmp(row.key, key) == 0) return row.takesValue ? 2 : 1;
    return 2;
}

bool applyOption(const char* key, const char* value, Options& options) {
    const unsigned command = commandBit(options.command);
    for (const OptionRow& row : kOptions) {
        if (std::strcmp(row.key, key) != 0) continue;
        if ((row.commands & command) == 0)
            return refuse("%s does not take %s", options.command.c_str(), key);
        if (!row.takesValue) return row.apply(options, nullptr, 0);
        if (value == nullptr) return refuse("%s needs a value", key);
        uint32_t number = 0;
        if (row.most > 0 &&
            (!parseUnsigned(value, number) || number < row.least || number > row.most)) {
            std::fprintf(stderr, "kelvaro_query: %s must be %u..%u, not %s\n", key, row.least,
                         row.most, value);
            return false;
        }
        if (!row.apply(options, value, number)) return refuse("%s must be table, tsv or json", key);
        return true;
    }
    return refuse("unknown option %s", key);
}

bool parseArguments(int argc, char** argv, Options& options) {
    if (argc < 2) return refuse("no command%s", "");
    options.command = argv[1];
    if (commandBit(options.command) == 0) return refuse("unknown command %s", argv[1]);
    if (argc < 3) return refuse("%s needs an address", argv[1]);
    if (!parseAddress(argv[2], options.address))
        return refuse("the address must be a dotted quad, not %s", argv[2]);
    for (int i = 3; i < argc; i += argumentsOf(argv[i]))
        if (!applyOption(argv[i], i + 1 < argc ? argv[i + 1] : nullptr, options)) return false;
    return true;
}

// --help and --version anywhere a command or an option may stand.
bool isInformation(int argc, char** argv, const char* flag) {
    for (int i = 1; i < argc && i < 3; ++i)
        if (std::strcmp(argv[i], flag) == 0) return true;
    for (int i = 3; i < argc; i += argumentsOf(argv[i]))
        if (std::strcmp(argv[i], flag) == 0) return true;
    return false;
}

// The echo only has to tell our reply from a stale one, so the tick mixed with
// the process id is enough.
uint32_t freshEcho() { return tickCount() ^ (static_cast<uint32_t>(getpid()) << 16); }

// Sends a count query from endpoint and waits for its reply.
bool queryCount(UdpEndpoint& endpoint, const Options& options, uint32_t& count) {
    uint8_t query[kCountQueryLength];
    const uint32_t echo = freshEcho();
    writeU32(query, 0, echo);
    endpoint.setDestination(options.address, options.updatePort);
    if (!endpoint.send(query, sizeof query)) return false;
    const uint32_t start = tickCount();
    // Counted as well as timed, in case the clock is held still.
    for (uint32_t waited = 0; waited <= options.timeoutMs; ++waited) {
        for (int polls = 0; polls < kPollsPerMs; ++polls) {
            const auto reply = endpoint.poll();
            if (reply == nullptr) break;
            if (readCountReply(reply->data(), reply->bytes.size(), echo, count)) return true;
        }
        if (intervalPassed(tickCount(), start, options.timeoutMs)) break;
        sleepMs(1);
    }
    return false;
}

std::string addressText(uint32_t address) { return NetAddress(address, 0).text(); }

int runCount(const Options& options) {
    UdpEndpoint endpoint;
    uint32_t count = 0;
    if (endpoint.open(0) < 0 || !queryCount(endpoint, options, count)) {
        std::fprintf(stderr, "kelvaro_query: no count reply from %s:%u within %u ms\n",
                     addressText(options.address).c_str(), options.updatePort, options.timeoutMs);
        return kExitFailed;
    }
    if (options.format == Format::Json)
        std::printf("{\"zones\":%u}\n", count);
    else
        std::printf("%u\n", count);
    return kExitDone;
}

// For a terminal: control bytes and bytes above 126 as \xHH, so a hostile
// description cannot move the cursor or break the columns.
std::string terminalText(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e || byte == '\\') {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<ZoneEntry> readEntries(const std::vector<uint8_t>& list) {
    std::vector<ZoneEntry> entries;
    ZoneEntry entry;
    uint32_t position = 1;  // after the type byte
    const uint32_t length = static_cast<uint32_t>(list.size());
    while (readZoneEntry(list.data(), length, position, entry)) entries.push_back(entry);
    return entries;
}

// One line per zone, the columns of the statistics file; a tab or line end
// inside a text is a space, so no zone can forge another's line.
void printTsv(const std::vector<ZoneEntry>& entries) {
    for (const ZoneEntry& entry : entries) {
        const std::string name = tabSeparatedField(entry.name);
        const std::string description = tabSeparatedField(entry.description);
        std::printf("%s\t%u\t%u\t%u\t%.*s\t%.*s\n", addressText(entry.address).c_str(), entry.port,
                    entry.population, entry.zoneFlag, static_cast<int>(name.size()), name.data(),
                    static_cast<int>(description.size()), description.data());
    }
}

void printJson(const std::vector<ZoneEntry>& entries) {
    std::string out = "[";
    for (size_t i = 0; i < entries.size(); ++i) {
        out += i == 0 ? "\n {" : ",\n {";
        appendZoneMembers(out, entries[i]);
        out += '}';
    }
    out += entries.empty() ? "]\n" : "\n]\n";
    std::fputs(out.c_str(), stdout);
}

// Aligned columns under a header; the description, last, is not padded.
void printTable(const std::vector<ZoneEntry>& entries) {
    constexpr size_t kColumns = 7;
    std::vector<std::vector<std::string>> rows = {
        {"ADDRESS", "PORT", "POPULATION", "FLAG", "WORD", "NAME", "DESCRIPTION"}};
    for (const ZoneEntry& entry : entries)
        rows.push_back({addressText(entry.address), std::to_string(entry.port),
                        std::to_string(entry.population), std::to_string(entry.zoneFlag),
                        std::to_string(entry.zoneWord), terminalText(entry.name),
                        terminalText(entry.description)});
    size_t widths[kColumns] = {};
    for (const auto& row : rows)
        for (size_t column = 0; column < kColumns; ++column)
            widths[column] = std::max(widths[column], row[column].size());
    for (const auto& row : rows) {
        std::string line;
        for (size_t column = 0; column + 1 < kColumns; ++column)
            line += row[column] + std::string(widths[column] - row[column].size() + 2, ' ');
        line += row[kColumns - 1];
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::printf("%s\n", line.c_str());
    }
}

// Polls until the newest connection has a list, has gone, or time is up.
bool awaitList(ListClient& client, const Connection* connection, uint32_t timeoutMs) {
    const uint32_t start = tickCount();
    for (uint32_t waited = 0; waited <= timeoutMs; ++waited) {
        for (int polls = 0; polls < kPollsPerMs; ++polls) client.poll();
        if (!client.listsFor(connection).empty()) return true;
        if (connection->isClosed() || client.manager.connectionCount() == 0) return false;
        if (intervalPassed(tickCount(), start, timeoutMs)) return false;
        sleepMs(1);
    }
    return false;
}

// One list fetched on a connection of its own, or false. The connection is
// said goodbye to in every case: a server counts itself busy while any client
// is connected, and would otherwise wait for its silence limit.
bool fetchList(ListClient& client, const Options& options, std::vector<uint8_t>& list) {
    if (client.manager.endpoint.localPort() == 0) return false;
    const Connection* connection = client.connect(options.address, options.clientPort, options.minimum);
    const bool listed = awaitList(client, connection, options.timeoutMs);
    if (listed) list = client.listsFor(connection).front();
    for (auto* node = client.manager.connections.head(); node != nullptr; node = node->next)
        if (!node->element->isClosed()) node->element->disconnect(true);
    client.received.clear();
    return listed;
}

// The zones the directory says it holds, asked on its update port with a
// short wait of its own; nothing when it does not answer.
constexpr uint32_t kLongestCountWaitMs = 1000;
std::optional<uint32_t> directoryCount(const Options& options) {
    Options asking = options;
    asking.timeoutMs = std::min(options.timeoutMs, kLongestCountWaitMs);
    UdpEndpoint endpoint;
    uint32_t count = 0;
    if (endpoint.open(0) < 0 || !queryCount(endpoint, asking, count)) return std::nullopt;
    return count;
}

// The largest zone entry (a 255-character description): a list with less room
// left than this after its last entry may have left zones out.
constexpr int kMostListFetches = 64;

// A list with less room left than the longest entry after its last one: it
// may have left zones out. Any other list holds every zone asked for.
bool mayBeFull(const std::vector<uint8_t>& list) {
    return list.size() + kLongestZoneEntry > kServerListLimit;
}

// A list that could not hold every zone: fewer than the directory's count when
// every zone was asked for; with a minimum (the count then says nothing) or
// without a count, one that may be full.
bool looksFull(const std::vector<uint8_t>& list, size_t entries, uint32_t minimum,
               std::optional<uint32_t> count) {
    if (!mayBeFull(list)) return false;
    if (minimum == 0 && count) return entries < *count;
    return true;
}

// The zones of every list in the order first seen, each zone (address and
// port) once. The lists own the bytes the entries point into.
struct ZoneUnion {
    std::vector<std::vector<uint8_t>> lists;
    std::vector<ZoneEntry> entries;
    std::set<uint64_t> seen;

    // Adds the list's new zones; returns how many were new.
    size_t add(std::vector<uint8_t> list) {
        lists.push_back(std::move(list));
        size_t added = 0;
        for (const ZoneEntry& entry : readEntries(lists.back()))
            if (seen.insert(static_cast<uint64_t>(entry.address) << 16 | entry.port).second) {
                entries.push_back(entry);
                ++added;
            }
        return added;
    }
};

void printEntries(const Options& options, const std::vector<ZoneEntry>& entries) {
    if (options.format == Format::Tsv)
        printTsv(entries);
    else if (options.format == Format::Json)
        printJson(entries);
    else
        printTable(entries);
}

int runList(const Options& options) {
    ListClient client;
    std::vector<uint8_t> list;
    if (!fetchList(client, options, list)) {
        std::fprintf(stderr, "kelvaro_query: no server list from %s:%u within %u ms\n",
                     addressText(options.address).c_str(), options.clientPort, options.timeoutMs);
        return kExitFailed;
    }
    // Only a list that may be full needs the count to judge it.
    const std::optional<uint32_t> count =
        mayBeFull(list) ? directoryCount(options) : std::optional<uint32_t>{};
    ZoneUnion zones;
    zones.add(list);
    bool full = looksFull(list, zones.entries.size(), options.minimum, count);
    if (full && !options.all) {
        if (options.minimum == 0 && count)
            std::fprintf(stderr, "kelvaro_query: the list was full: %zu of %u zones (--all fetches "
                         "every zone)\n", zones.entries.size(), *count);
        else
            std::fprintf(stderr, "kelvaro_query: the list may be full: %zu zones in %zu bytes "
                         "(--all fetches every zone)\n", zones.entries.size(), list.size());
    }
    // Each full list starts where the previous one stopped, so successive
    // lists go round every zone; bounded in lists and, per list, in time.
    int fetches = 1;
    bool fetched = true;
    const bool counted = options.minimum == 0 && count.has_value();
    while (options.all && full && fetches < kMostListFetches &&
           !(counted && zones.entries.size() >= *count)) {
        fetched = fetchList(client, options, list);
        if (!fetched) break;
        ++fetches;
        const size_t added = zones.add(list);
        full = looksFull(list, readEntries(list).size(), options.minimum, count);
        if (!counted && added == 0) break;  // gone round once
    }
    printEntries(options, zones.entries);
    if (options.all && counted && zones.entries.size() < *count) {
        std::fprintf(stderr, "kelvaro_query: only %zu of %u zones after %d lists%s\n",
                     zones.entries.size(), *count, fetches, fetched ? "" : " (a list did not come)");
        return kExitFailed;
    }
    return kExitDone;
}

// The argument checks of announce that need more than one option.
bool checkAnnouncement(const Options& options) {
    if (!options.portGiven) return refuse("announce needs --port%s", "");
    if (!options.nameGiven) return refuse("announce needs --name%s", "");
    if (!options.passwordGiven) return refuse("announce needs --password%s", "");
    if (options.answerSeconds > 0 && options.port == UINT16_MAX)
        return refuse("--port must be 1..65534 with --answer-pings%s (pings come to port + 1)", "");
    if (options.name.size() > kLongestZoneNameText || !isValidZoneName(options.name)) {
        std::fprintf(stderr,
                     "kelvaro_query: --name must be 1..%zu characters the directory accepts, "
                     "not \"%s\"\n",
                     kLongestZoneNameText, options.name.c_str());
        return false;
    }
    if (options.password.size() > kLongestZonePassword) {
        std::fprintf(stderr, "kelvaro_query: --password must be 0..%zu characters\n",
                     kLongestZonePassword);
        return false;
    }
    if (options.description.size() > kLongestUpdateDescription) {
        std::fprintf(stderr, "kelvaro_query: --description must be 0..%zu characters\n",
                     kLongestUpdateDescription);
        return false;
    }
    return true;
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
    if (!encodeZoneUpdate(zone, datagram)) return false;  // ruled out by checkAnnouncement
    endpoint.setDestination(options.address, options.updatePort);
    return endpoint.send(datagram.data(), datagram.size());
}

struct PingSource {
    uint32_t address;
    uint32_t answered;
};

// Answers every ping reaching the zone's ping port for the given time,
// whichever directory sent it: the directory's peers learn the zone from a
// download and ping it too, and a zone that ignored them would be dropped
// from their lists. Returns the total and fills sources per sender address.
uint32_t answerPings(const Options& options, UdpEndpoint& endpoint,
                     std::vector<PingSource>& sources, uint32_t& otherSources) {
    const uint32_t durationMs = options.answerSeconds * kMsPerSecond;
    const uint32_t start = tickCount();
    uint32_t answered = 0;
    for (uint32_t waited = 0; waited <= durationMs; ++waited) {
        for (int polls = 0; polls < kPollsPerMs; ++polls) {
            const auto ping = endpoint.poll();
            if (ping == nullptr) break;
            if (!answerPing(endpoint, *ping, options.population)) continue;
            ++answered;
            const uint32_t from = ping->source.address();
            auto found = std::find_if(sources.begin(), sources.end(),
                                      [from](const PingSource& s) { return s.address == from; });
            if (found != sources.end())
                ++found->answered;
            else if (sources.size() < kMostPingSources)
                sources.push_back({from, 1});
            else
                ++otherSources;
        }
        if (intervalPassed(tickCount(), start, durationMs)) break;
        sleepMs(1);
    }
    return answered;
}

int runAnnounce(const Options& options) {
    if (!checkAnnouncement(options)) return kExitUsage;
    // Pings go to port + 1; binding it before the update leaves no gap in
    // which an early ping would find nobody.
    const uint16_t pingPort = static_cast<uint16_t>(options.port + 1);
    const bool answering = options.answerSeconds > 0;
    UdpEndpoint endpoint;
    if (endpoint.open(answering ? pingPort : 0) < 0 ||
        (answering && endpoint.localPort() != pingPort)) {
        std::fprintf(stderr, "kelvaro_query: UDP port %u could not be bound for the pings\n",
                     pingPort);
        return kExitFailed;
    }
    const std::string directory =
        addressText(options.address) + ":" + std::to_string(options.updatePort);
    if (!sendAnnouncement(options, endpoint)) {
        std::fprintf(stderr, "kelvaro_query: the update could not be sent to %s: %s\n",
                     directory.c_str(), std::strerror(errno));
        return kExitFailed;
    }
    if (!answering) {
        uint32_t count = 0;
        if (!queryCount(endpoint, options, count)) {
            std::fprintf(stderr, "kelvaro_query: %s did not confirm the update within %u ms\n",
                         directory.c_str(), options.timeoutMs);
            return kExitFailed;
        }
        return kExitDone;
    }
    std::vector<PingSource> sources;
    uint32_t otherSources = 0;
    const uint32_t answered = answerPings(options, endpoint, sources, otherSources);
    for (const PingSource& source : sources)
        std::printf("from %s: %u pings\n", addressText(source.address).c_str(), source.answered);
    if (otherSources > 0) std::printf("from other addresses: %u pings\n", otherSources);
    std::printf("answered %u pings\n", answered);
    if (answered == 0) {
        std::fprintf(stderr, "kelvaro_query: no ping reached port %u within %u s\n", pingPort,
                     options.answerSeconds);
        return kExitFailed;
    }
    return kExitDone;
}

int run(int argc, char** argv) {
    if (isInformation(argc, argv, "--help") || isInformation(argc, argv, "-h")) {
        std::fputs(kUsage, stdout);
        return kExitDone;
    }
    if (isInformation(argc, argv, "--version")) {
        std::fputs(kVersion, stdout);
        return kExitDone;
    }
    Options options;
    if (!parseArguments(argc, argv, options)) return kExitUsage;
    if (options.command == "count") return runCount(options);
    if (options.command == "list") return runList(options);
    return runAnnounce(options);
}

}  // namespace
}  // namespace kelvaro

int main(int argc, char** argv) { return kelvaro::run(argc, argv); }
