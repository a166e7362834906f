// kelvaro_query: asks a running directory server from the command line.
//
// Addresses are dotted quads (IPv6 text too for list --http-port) and every
// wait is bounded by --timeout-ms, so the tool never hangs on a server that
// does not answer, and it never reads any kelvaro.ini. Exit status: 0 when it
// got what it asked for, 1 when nothing (or not enough) answered in time, a
// socket could not be used or the answer was refused, 2 on bad arguments;
// every failure says why in one line on stderr.

#include <arpa/inet.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

constexpr uint32_t kDefaultTimeoutMs = 2000;
constexpr uint32_t kLongestTimeoutMs = 3600000;
constexpr uint32_t kLongestAnswerSeconds = 86400;
constexpr uint32_t kMsPerSecond = 1000;
// Distinct directories reported by announce --answer-pings; pings from any
// further source are still answered, only counted under "other".
constexpr size_t kMostPingSources = 64;

constexpr const char* kVersion = "kelvaro_query (Kelvaro Build 3)\n";
constexpr const char* kUsage =
    "usage: kelvaro_query count <address> [--update-port P] [--timeout-ms T]\n"
    "           [--format table|tsv|json]\n"
    "       kelvaro_query list <address> [--min N] [--all] [--client-port P]\n"
    "           [--update-port P] [--timeout-ms T] [--format table|tsv|json]\n"
    "       kelvaro_query list <address> --http-port P [--min N] [--timeout-ms T]\n"
    "           [--format table|tsv|json]\n"
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
    "(status 1 if some are still missing). With --http-port, list reads the\n"
    "directory's /zones.json from its HTTP front instead, which holds every zone,\n"
    "IPv6 ones too: the address may then be IPv6 text (::1), --min is applied\n"
    "here, a zone on both families shows its IPv6 address in the table's ADDRESS6\n"
    "column and as json's address6, port6 and addresses (as /zones.json has\n"
    "them), and --all, --client-port and --update-port do not go with it.\n"
    "announce sends one update, then a count query: the directory reads its\n"
    "update port in order, so its reply proves the update was read. With\n"
    "--answer-pings S it instead answers, for S seconds, every ping reaching\n"
    "port P + 1 from any directory, and reports how many came from each.\n"
    "Addresses are dotted quads (IPv6 text too with --http-port); T is\n"
    "1..3600000 ms (default 2000), for the whole HTTP fetch with --http-port.\n"
    "Exit status: 0 done, 1 nothing (or not enough) answered in time, a socket\n"
    "could not be used or the answer was refused, 2 bad arguments.\n";

enum class Format { Table, Tsv, Json };

struct Options {
    std::string command;
    std::string addressText;  // as given
    uint32_t address = 0;     // network order; 0 with --http-port
    uint16_t updatePort = KELVARO_UPDATE_PORT;
    uint16_t clientPort = KELVARO_CLIENT_PORT;
    bool updatePortGiven = false;
    bool clientPortGiven = false;
    uint16_t httpPort = 0;  // list: 0 for the UDP list, else the HTTP front's port
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
         return o.updatePortGiven = true;
     }},
    {"--client-port", kList, 1, UINT16_MAX,
     [](Options& o, const char*, uint32_t n) {
         o.clientPort = static_cast<uint16_t>(n);
         return o.clientPortGiven = true;
     }},
    {"--http-port", kList, 1, UINT16_MAX,
     [](Options& o, const char*, uint32_t n) {
         o.httpPort = static_cast<uint16_t>(n);
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

// What kelvaro_fetch_web takes: a dotted quad or IPv6 text, bracketed or not.
bool isWebAddress(const std::string& text) {
    uint8_t bytes[16];
    const bool bracketed = text.size() > 2 && text.front() == '[' && text.back() == ']';
    const std::string bare = bracketed ? text.substr(1, text.size() - 2) : text;
    return inet_pton(AF_INET6, bare.c_str(), bytes) == 1 ||
           (!bracketed && inet_pton(AF_INET, bare.c_str(), bytes) == 1);
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
    options.addressText = argv[2];
    for (int i = 3; i < argc; i += argumentsOf(argv[i]))
        if (!applyOption(argv[i], i + 1 < argc ? argv[i + 1] : nullptr, options)) return false;
    if (options.httpPort == 0) {
        if (!parseAddress(argv[2], options.address))
            return refuse("the address must be a dotted quad, not %s", argv[2]);
        return true;
    }
    // The HTTP list is every zone at once, fetched over TCP.
    if (options.all) return refuse("--all does not go with --http-port%s (it lists every zone)", "");
    if (options.clientPortGiven) return refuse("--client-port does not go with --http-port%s", "");
    if (options.updatePortGiven) return refuse("--update-port does not go with --http-port%s", "");
    if (!isWebAddress(options.addressText))
        return refuse("the address must be a dotted quad or IPv6 text, not %s", argv[2]);
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

// Milliseconds of the monotonic clock, for the tool's own waits.
uint32_t nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * kMsPerSecond +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

// Waits at most ms for descriptor to become readable.
void waitOn(int descriptor, int ms) {
    pollfd entry{descriptor, POLLIN, 0};
    ::poll(&entry, 1, ms);
}

std::string addressText(uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr raw{};
    raw.s_addr = address;
    inet_ntop(AF_INET, &raw, text, sizeof text);
    return text;
}

int runCount(const Options& options) {
    uint32_t count = 0;
    const std::string address = addressText(options.address);
    if (kelvaro_count(address.c_str(), options.updatePort, options.timeoutMs, &count) != KELVARO_OK) {
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

// What list prints: a UDP list's entries have no second address.
using Zones = std::vector<kelvaro_web_zone>;

std::string_view nameOf(const kelvaro_zone_entry& zone) { return {zone.name, zone.name_length}; }
std::string_view descriptionOf(const kelvaro_zone_entry& zone) {
    return {zone.description, zone.description_length};
}

// A tab or line end inside a field is written as a space.
std::string tabSeparatedField(std::string_view text) {
    std::string field(text);
    for (char& c : field)
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    return field;
}

// JSON string: printable ASCII as it is, quote and backslash escaped, every
// other byte as \u00HH, so the bytes a zone listed come back exactly.
void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte > 0x7e) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    out += '"';
}

void appendZoneMembers(std::string& out, const kelvaro_zone_entry& zone) {
    out += "\"address\":\"";
    out += zone.address_text;
    out += "\",\"port\":" + std::to_string(zone.port);
    out += ",\"population\":" + std::to_string(zone.population);
    out += ",\"flag\":" + std::to_string(zone.flag);
    out += ",\"word\":" + std::to_string(zone.word);
    out += ",\"name\":";
    appendJsonString(out, nameOf(zone));
    out += ",\"description\":";
    appendJsonString(out, descriptionOf(zone));
}

// "a.b.c.d:port" or "[x::y]:port".
std::string endpointText(const char* address, uint16_t port, bool v6) {
    std::string text;
    if (v6) text += '[';
    text += address;
    if (v6) text += ']';
    text += ':';
    text += std::to_string(port);
    return text;
}

std::string secondEndpoint(const kelvaro_web_zone& zone) {
    return endpointText(zone.address6_text, zone.port6, true);
}

// A zone on both families adds its IPv6 address as /zones.json does.
void appendSecondAddress(std::string& out, const kelvaro_web_zone& zone) {
    if (!zone.has_address6) return;
    out += ",\"address6\":\"";
    out += zone.address6_text;
    out += "\",\"port6\":" + std::to_string(zone.port6);
    out += ",\"addresses\":[\"";
    out += endpointText(zone.zone.address_text, zone.zone.port,
                        zone.zone.family == KELVARO_FAMILY_IPV6);
    out += "\",\"";
    out += secondEndpoint(zone);
    out += "\"]";
}

// One line per zone, the columns of the statistics file; a tab or line end
// inside a text is a space, so no zone can forge another's line.
void printTsv(const Zones& zones) {
    for (const kelvaro_web_zone& zone : zones) {
        const kelvaro_zone_entry& entry = zone.zone;
        const std::string name = tabSeparatedField(nameOf(entry));
        const std::string description = tabSeparatedField(descriptionOf(entry));
        std::printf("%s\t%u\t%u\t%u\t%.*s\t%.*s\n", entry.address_text, entry.port,
                    entry.population, entry.flag, static_cast<int>(name.size()), name.data(),
                    static_cast<int>(description.size()), description.data());
    }
}

void printJson(const Zones& entries) {
    std::string out = "[";
    for (size_t i = 0; i < entries.size(); ++i) {
        out += i == 0 ? "\n {" : ",\n {";
        appendZoneMembers(out, entries[i].zone);
        appendSecondAddress(out, entries[i]);
        out += '}';
    }
    out += entries.empty() ? "]\n" : "\n]\n";
    std::fputs(out.c_str(), stdout);
}

// Aligned columns under a header; the description, last, is not padded. An
// ADDRESS6 column comes after PORT when some zone is on both families.
void printTable(const Zones& entries) {
    const bool second = std::any_of(entries.begin(), entries.end(),
                                    [](const kelvaro_web_zone& z) { return z.has_address6 != 0; });
    std::vector<std::vector<std::string>> rows = {
        {"ADDRESS", "PORT", "POPULATION", "FLAG", "WORD", "NAME", "DESCRIPTION"}};
    for (const kelvaro_web_zone& zone : entries) {
        const kelvaro_zone_entry& entry = zone.zone;
        rows.push_back({entry.address_text, std::to_string(entry.port),
                        std::to_string(entry.population), std::to_string(entry.flag),
                        std::to_string(entry.word), terminalText(nameOf(entry)),
                        terminalText(descriptionOf(entry))});
    }
    if (second) {
        rows[0].insert(rows[0].begin() + 2, "ADDRESS6");
        for (size_t i = 0; i < entries.size(); ++i)
            rows[i + 1].insert(rows[i + 1].begin() + 2,
                               entries[i].has_address6 ? secondEndpoint(entries[i]) : "");
    }
    const size_t columns = rows[0].size();
    std::vector<size_t> widths(columns, 0);
    for (const auto& row : rows)
        for (size_t column = 0; column < columns; ++column)
            widths[column] = std::max(widths[column], row[column].size());
    for (const auto& row : rows) {
        std::string line;
        for (size_t column = 0; column + 1 < columns; ++column)
            line += row[column] + std::string(widths[column] - row[column].size() + 2, ' ');
        line += row[columns - 1];
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::printf("%s\n", line.c_str());
    }
}

void printEntries(const Options& options, const Zones& entries) {
    if (options.format == Format::Tsv)
        printTsv(entries);
    else if (options.format == Format::Json)
        printJson(entries);
    else
        printTable(entries);
}

// The zones, in the order first seen, and how the directory's fetch went;
// with --all, successive lists until every zone has been seen once.
int runList(const Options& options) {
    const std::string address = addressText(options.address);
    const kelvaro_directory directory{address.c_str(), options.clientPort, options.updatePort};
    kelvaro_fetch_options fetchOptions;
    kelvaro_fetch_options_init(&fetchOptions);
    fetchOptions.min_population = options.minimum;
    fetchOptions.timeout_ms = options.timeoutMs;
    fetchOptions.fetch_all = options.all ? 1 : 0;
    kelvaro_fetch* fetch = nullptr;
    kelvaro_status status = kelvaro_fetch_start(&fetch, &directory, 1, &fetchOptions);
    if (status == KELVARO_OK) status = kelvaro_fetch_wait(fetch);
    kelvaro_directory_result result{};
    if (fetch != nullptr) kelvaro_fetch_result(fetch, 0, &result);
    if (result.lists == 0) {
        if (status == KELVARO_ERR_MALFORMED || status == KELVARO_ERR_TOO_MANY)
            std::fprintf(stderr, "kelvaro_query: refused the server list from %s:%u: %s\n",
                         address.c_str(), options.clientPort, kelvaro_strerror(status));
        else
            std::fprintf(stderr, "kelvaro_query: no server list from %s:%u within %u ms\n",
                         address.c_str(), options.clientPort, options.timeoutMs);
        kelvaro_fetch_destroy(fetch);
        return kExitFailed;
    }
    const kelvaro_zone_entry* first = nullptr;
    size_t count = 0;
    kelvaro_fetch_zones(fetch, &first, &count);
    Zones zones(count);
    for (size_t i = 0; i < count; ++i) zones[i].zone = first[i];
    kelvaro_fetch_destroy(fetch);
    const bool counted = options.minimum == 0 && result.count_known;
    if (result.full && !options.all) {
        if (counted)
            std::fprintf(stderr, "kelvaro_query: the list was full: %zu of %u zones (--all fetches "
                         "every zone)\n", zones.size(), result.count);
        else
            std::fprintf(stderr, "kelvaro_query: the list may be full: %zu zones in %u bytes "
                         "(--all fetches every zone)\n", zones.size(), result.list_bytes);
    }
    if (status == KELVARO_ERR_MALFORMED || status == KELVARO_ERR_TOO_MANY) {
        std::fprintf(stderr, "kelvaro_query: refused a server list from %s:%u after %u lists: %s\n",
                     address.c_str(), options.clientPort, result.lists, kelvaro_strerror(status));
        return kExitFailed;
    }
    printEntries(options, zones);
    if (status != KELVARO_OK) {
        const bool capped = result.lists >= KELVARO_MAX_FETCH_ALL_LISTS;
        if (counted)
            std::fprintf(stderr, "kelvaro_query: only %zu of %u zones after %u lists%s\n",
                         zones.size(), result.count, result.lists,
                         capped ? "" : " (a list did not come)");
        else
            std::fprintf(stderr, "kelvaro_query: %zu zones after %u lists (a list did not come)\n",
                         zones.size(), result.lists);
        return kExitFailed;
    }
    return kExitDone;
}

// The directory's /zones.json: every zone, IPv6 ones too, in its order;
// --min is applied here.
int runWebList(const Options& options) {
    const bool v6 = options.addressText.find(':') != std::string::npos &&
                    options.addressText.front() != '[';
    std::string where = "http://";
    where += v6 ? endpointText(options.addressText.c_str(), options.httpPort, true)
                : options.addressText + ":" + std::to_string(options.httpPort);
    where += "/zones.json";
    kelvaro_web_zone* found = nullptr;
    size_t count = 0;
    const kelvaro_status status = kelvaro_fetch_web(options.addressText.c_str(), options.httpPort,
                                                    options.timeoutMs, 0, &found, &count);
    if (status == KELVARO_ERR_TIMEOUT) {
        std::fprintf(stderr, "kelvaro_query: no zone list from %s within %u ms\n", where.c_str(),
                     options.timeoutMs);
        return kExitFailed;
    }
    if (status != KELVARO_OK) {
        // The library's word for a refused connection is the socket's.
        std::fprintf(stderr, "kelvaro_query: no zone list from %s: %s\n", where.c_str(),
                     status == KELVARO_ERR_SOCKET ? "could not connect"
                                                  : kelvaro_strerror(status));
        return kExitFailed;
    }
    Zones zones;
    for (size_t i = 0; i < count; ++i)
        if (found[i].zone.population >= options.minimum) zones.push_back(found[i]);
    kelvaro_free_web_zones(found);
    printEntries(options, zones);
    return kExitDone;
}

// The argument checks of announce that need more than one option.
bool checkAnnouncement(const Options& options) {
    if (!options.portGiven) return refuse("announce needs --port%s", "");
    if (!options.nameGiven) return refuse("announce needs --name%s", "");
    if (!options.passwordGiven) return refuse("announce needs --password%s", "");
    if (options.answerSeconds > 0 && options.port == UINT16_MAX)
        return refuse("--port must be 1..65534 with --answer-pings%s (pings come to port + 1)", "");
    if (kelvaro_check_zone_name(options.name.c_str()) != KELVARO_OK ||
        options.name.size() != std::strlen(options.name.c_str())) {
        std::fprintf(stderr,
                     "kelvaro_query: --name must be 1..%d characters the directory accepts, "
                     "not \"%s\"\n",
                     KELVARO_MAX_NAME, options.name.c_str());
        return false;
    }
    if (options.password.size() > KELVARO_MAX_PASSWORD) {
        std::fprintf(stderr, "kelvaro_query: --password must be 0..%d characters\n",
                     KELVARO_MAX_PASSWORD);
        return false;
    }
    if (options.description.size() > KELVARO_MAX_DESCRIPTION) {
        std::fprintf(stderr, "kelvaro_query: --description must be 0..%d characters\n",
                     KELVARO_MAX_DESCRIPTION);
        return false;
    }
    return true;
}

// The zone's texts and numbers as the options give them; checkAnnouncement
// has ruled out every refusal.
bool describeZone(kelvaro_zone* zone, const Options& options) {
    return kelvaro_zone_set_name(zone, options.name.c_str()) == KELVARO_OK &&
           kelvaro_zone_set_password(zone, options.password.c_str()) == KELVARO_OK &&
           kelvaro_zone_set_description(zone, options.description.c_str()) == KELVARO_OK &&
           kelvaro_zone_set_population(zone, options.population) == KELVARO_OK &&
           kelvaro_zone_set_flag(zone, options.zoneFlag) == KELVARO_OK &&
           kelvaro_zone_set_word(zone, options.zoneWord) == KELVARO_OK &&
           kelvaro_zone_set_interval(zone, 0) == KELVARO_OK;
}

struct PingSource {
    uint32_t address;
    uint32_t answered;
};

// Every ping the zone answered, whichever directory sent it: the directory's
// peers learn the zone from a download and ping it too.
struct PingTally {
    std::vector<PingSource> sources;
    uint32_t otherSources = 0;
    uint32_t answered = 0;

    static void count(void* user, uint32_t from, uint16_t) {
        auto& tally = *static_cast<PingTally*>(user);
        ++tally.answered;
        auto found = std::find_if(tally.sources.begin(), tally.sources.end(),
                                  [from](const PingSource& s) { return s.address == from; });
        if (found != tally.sources.end())
            ++found->answered;
        else if (tally.sources.size() < kMostPingSources)
            tally.sources.push_back({from, 1});
        else
            ++tally.otherSources;
    }
};

// Polls the zone until until() holds or ms have passed; bounded in rounds
// too, in case the clock stands still.
template <typename Until>
bool pollZone(kelvaro_zone* zone, uint32_t ms, Until until) {
    const uint32_t start = nowMs();
    for (uint64_t round = 0; round <= static_cast<uint64_t>(ms) * 4 + 4; ++round) {
        kelvaro_zone_poll(zone);
        if (until()) return true;
        if (nowMs() - start > ms) return false;
        waitOn(kelvaro_zone_fd(zone), 1);
    }
    return false;
}

int runAnnounce(const Options& options) {
    if (!checkAnnouncement(options)) return kExitUsage;
    // Pings go to port + 1; binding it before the update leaves no gap in
    // which an early ping would find nobody.
    const uint16_t pingPort = static_cast<uint16_t>(options.port + 1);
    const bool answering = options.answerSeconds > 0;
    kelvaro_zone* zone = nullptr;
    if (kelvaro_zone_create(&zone, options.port, answering ? 0 : KELVARO_ZONE_NO_PINGS) !=
        KELVARO_OK) {
        std::fprintf(stderr, "kelvaro_query: UDP port %u could not be bound for the pings\n",
                     answering ? pingPort : 0);
        return kExitFailed;
    }
    const std::string address = addressText(options.address);
    const std::string directory = address + ":" + std::to_string(options.updatePort);
    PingTally tally;
    kelvaro_zone_set_ping_callback(zone, &PingTally::count, &tally);
    if (!describeZone(zone, options) ||
        kelvaro_zone_add_directory(zone, address.c_str(), options.updatePort, nullptr) !=
            KELVARO_OK ||
        kelvaro_zone_announce(zone) != KELVARO_OK ||
        (!answering && kelvaro_zone_query_count(zone, 0) != KELVARO_OK)) {
        std::fprintf(stderr, "kelvaro_query: the update could not be sent to %s: %s\n",
                     directory.c_str(), std::strerror(errno));
        kelvaro_zone_destroy(zone);
        return kExitFailed;
    }
    if (!answering) {
        // The announcement's count query: the directory reads its update
        // port in order, so its reply proves the update was read.
        kelvaro_zone_directory_state state{};
        const bool confirmed = pollZone(zone, options.timeoutMs, [&] {
            kelvaro_zone_directory(zone, 0, &state);
            return state.count_known != 0;
        });
        kelvaro_zone_destroy(zone);
        if (!confirmed) {
            std::fprintf(stderr, "kelvaro_query: %s did not confirm the update within %u ms\n",
                         directory.c_str(), options.timeoutMs);
            return kExitFailed;
        }
        return kExitDone;
    }
    pollZone(zone, options.answerSeconds * kMsPerSecond, [] { return false; });
    kelvaro_zone_destroy(zone);
    for (const PingSource& source : tally.sources)
        std::printf("from %s: %u pings\n", addressText(source.address).c_str(), source.answered);
    if (tally.otherSources > 0) std::printf("from other addresses: %u pings\n", tally.otherSources);
    std::printf("answered %u pings\n", tally.answered);
    if (tally.answered == 0) {
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
    if (options.command == "list")
        return options.httpPort != 0 ? runWebList(options) : runList(options);
    return runAnnounce(options);
}

}  // namespace
}  // namespace kelvaro

int main(int argc, char** argv) { return kelvaro::run(argc, argv); }
