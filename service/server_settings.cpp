#include "service/server_settings.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <cstring>
#include <limits>

#include "platform/profile_reader.h"

namespace kelvaro {
namespace {

constexpr size_t kIntBufferSize = 32;
// Any path the system accepts fits (PATH_MAX).
constexpr size_t kStatsFileBufferSize = 4096;
constexpr size_t kPeerListBufferSize = 256;
constexpr size_t kMetricsFileBufferSize = 4096;  // a path, often absolute
constexpr int64_t kMsPerMinute = 60000;
constexpr int64_t kMsPerHour = 1000 * 60 * 60;
constexpr const char* kDefaultPeers = "localhost, localhost & localhost";

// atoi: optional blanks and sign, then decimal digits up to the first other
// character; 0 when there are none.
int32_t parseInt(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    const int64_t cap = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > cap) value = cap;
    }
    if (negative) return static_cast<int32_t>(-value);
    return static_cast<int32_t>(std::min<int64_t>(value, std::numeric_limits<int32_t>::max()));
}

bool isNameCharacter(char c) {
    return c == '.' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

constexpr IntegerKey kIntegerKeys[] = {
    {"Core", "PacketSilenceLimit", "2000", 1, &ServerSettings::PacketSilenceLimit},
    {"Core", "MaxReliableInTransit", "3", 1, &ServerSettings::MaxReliableInTransit},
    {"Core", "ChunkSize", "496", 1, &ServerSettings::ChunkSize},
    {"Core", "MaxHosts", "10", 1, &ServerSettings::MaxHosts},
    {"CPU", "IterationSleepTime", "15", 1, &ServerSettings::IterationSleepTime},
    {"CPU", "SlowIteration", "300", 1, &ServerSettings::SlowIteration},
    {"CPU", "DatagramsPerIteration", "1", 1, &ServerSettings::DatagramsPerIteration},
    {"Zone", "SweepTime", "500", 1, &ServerSettings::SweepTime},
    {"Zone", "DropLimit", "10", 1, &ServerSettings::DropLimit},
    {"Zone", "ReclaimDelay", "24", kMsPerHour, &ServerSettings::ReclaimDelay},
    {"Zone", "InitialHighPing", "300", 1, &ServerSettings::InitialHighPing},
    {"Zone", "MaxZones", "0", 1, &ServerSettings::MaxZones},
    {"Zone", "MaxZonesPerAddress", "0", 1, &ServerSettings::MaxZonesPerAddress},
    {"Zone", "MaxPasswordRecords", "0", 1, &ServerSettings::MaxPasswordRecords},
    {"Directory", "DownloadTime", "1", kMsPerMinute, &ServerSettings::DownloadTime},
    {"Directory", "StatsWriteMinutes", "1", kMsPerMinute, &ServerSettings::StatsWriteMinutes},
    {"Http", "Port", "0", 1, &ServerSettings::HttpPort},
    {"Http", "MaxAge", "5", 1, &ServerSettings::HttpMaxAge},
    {"Http", "Timeout", "10", 1, &ServerSettings::HttpTimeout},
    {"Http", "MaxConnections", "64", 1, &ServerSettings::HttpMaxConnections},
    {"Http", "MaxConnectionsPerAddress", "16", 1, &ServerSettings::HttpMaxConnectionsPerAddress},
};

// Reads one integer key the atoi way (digits beyond the 32-bit range saturate
// at INT32_MAX / INT32_MIN), noting a value that is not a clean number.
int32_t readInteger(ServerSettings& settings, const char* section, const char* key,
                    const char* defaultText, const std::string& path) {
    const std::string text = readProfileString(section, key, defaultText, kIntBufferSize, path);
    const int32_t value = parseInt(text);
    if (!isCleanNumber(text)) settings.uncleanNumbers.push_back({section, key, text, value});
    return value;
}

}  // namespace

const IntegerKey* integerKeysBegin() { return std::begin(kIntegerKeys); }
const IntegerKey* integerKeysEnd() { return std::end(kIntegerKeys); }

bool isCleanNumber(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
    while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
    if (first < last && (text[first] == '+' || text[first] == '-')) ++first;
    if (first == last) return false;
    for (size_t i = first; i < last; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

int32_t scaledInterval(int32_t value, int64_t scale) {
    const int64_t product = static_cast<int64_t>(value) * scale;
    return static_cast<int32_t>(std::clamp<int64_t>(product, std::numeric_limits<int32_t>::min(),
                                                    kLongestIntervalMs));
}

uint32_t resolveHostAddress(const std::string& text) {
    // inet_aton takes every form inet_addr does ("10.1", hex parts, ...).
    in_addr parsed{};
    if (inet_aton(text.c_str(), &parsed) != 0 && parsed.s_addr != INADDR_NONE) return parsed.s_addr;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    uint32_t address = INADDR_NONE;
    if (!text.empty() && getaddrinfo(text.c_str(), nullptr, &hints, &found) == 0 && found) {
        address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    }
    if (found) freeaddrinfo(found);
    return address;
}

std::vector<std::string> splitPeerNames(const std::string& text) {
    std::vector<std::string> names;
    size_t start = 0;
    bool inName = true;  // as if a name began at position 0
    // Position text.size() stands for the terminating NUL, which closes the last name.
    for (size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : '\0';
        if (isNameCharacter(c)) {
            if (!inName) start = i;
            inName = true;
        } else if (inName) {
            if (names.size() < kMaxPeers) names.push_back(text.substr(start, i - start));
            inName = false;
        }
    }
    return names;
}

int32_t splitPeerList(const std::string& text, uint32_t (&addresses)[kMaxPeers],
                      uint32_t (*resolve)(const std::string&)) {
    int32_t count = 0;
    for (const std::string& name : splitPeerNames(text)) addresses[count++] = resolve(name);
    return count;
}

PeerEntry::Form peerEntryForm(const std::string& text) {
    int parts = 0;
    int digits = 0;
    int value = 0;
    bool quad = true;
    for (size_t i = 0; i <= text.size() && quad; ++i) {
        const char c = i < text.size() ? text[i] : '.';
        if (c >= '0' && c <= '9') {
            value = value * 10 + (c - '0');
            quad = ++digits <= 3 && value <= 255;
        } else {
            quad = c == '.' && digits > 0 && ++parts <= 4;
            digits = 0;
            value = 0;
        }
    }
    if (quad && parts == 4) return PeerEntry::Form::DottedQuad;
    for (char c : text)
        if (std::isalpha(static_cast<unsigned char>(c))) return PeerEntry::Form::HostName;
    return PeerEntry::Form::Other;
}

void ServerSettings::load(const std::string& directory, uint32_t (*resolve)(const std::string&)) {
    iniPath = directory + "/" + kIniFileName;
    iniStatus = profileFileStatus(iniPath);
    // An empty path opens nothing, so every key takes its default.
    const std::string path =
        iniStatus.state == ProfileFileStatus::State::Read ? iniPath : std::string{};
    uncleanNumbers.clear();
    for (const IntegerKey& row : kIntegerKeys)
        this->*row.field =
            scaledInterval(readInteger(*this, row.section, row.key, row.defaultText, path), row.scale);
    ClusterMode = readInteger(*this, "Core", "ClusterMode", "0", path) != 0;
    DatagramsPerIteration = std::clamp(DatagramsPerIteration, 1, kMaxDatagramsPerIteration);
    WakeOnTraffic = readInteger(*this, "CPU", "WakeOnTraffic", "0", path) != 0;

    StatsFile = readProfileString("Directory", "StatsFile", "stats.txt", kStatsFileBufferSize, path);
    MetricsFile = readProfileString("Directory", "MetricsFile", "", kMetricsFileBufferSize, path);
    // Outside the table, so that the report's [Zone] line stays as it was
    // unless zones must prove their address.
    VerifiedZones = readInteger(*this, "Zone", "VerifiedZones", "0", path);
    MaxPendingZones = readInteger(*this, "Zone", "MaxPendingZones", "10000", path);
    BanFile = readProfileString("Zone", "BanFile", "", kStatsFileBufferSize, path);
    HttpAddress = readProfileString("Http", "Address", "127.0.0.1", kIntBufferSize, path);

    peerList = readProfileString("Directory", "IP", kDefaultPeers, kPeerListBufferSize, path);
    peers.clear();
    peerCount = 0;
    for (const std::string& name : splitPeerNames(peerList)) {
        PeerEntry entry;
        entry.text = name;
        entry.form = peerEntryForm(name);
        entry.address = resolve(name);
        entry.resolved = entry.address != INADDR_NONE;
        peerAddresses[peerCount++] = entry.address;
        peers.push_back(entry);
    }
}

// The transport and the zones compare their values unsigned, so a negative
// setting becomes the huge interval or limit it has always meant.
TransportSettings ServerSettings::transport() const {
    TransportSettings values;
    values.PacketSilenceLimit = static_cast<uint32_t>(PacketSilenceLimit);
    values.MaxReliableInTransit = static_cast<uint32_t>(MaxReliableInTransit);
    values.ChunkSize = clampChunkSize(ChunkSize);
    values.ClusterMode = ClusterMode;
    return values;
}

ZoneSettings ServerSettings::zones() const {
    ZoneSettings values;
    values.SweepTime = static_cast<uint32_t>(SweepTime);
    values.DropLimit = static_cast<uint32_t>(DropLimit);
    values.ReclaimDelay = static_cast<uint32_t>(ReclaimDelay);
    values.InitialHighPing = static_cast<uint32_t>(InitialHighPing);
    // A negative cap means none, like 0.
    values.MaxZones = MaxZones > 0 ? static_cast<uint32_t>(MaxZones) : 0;
    values.MaxZonesPerAddress = MaxZonesPerAddress > 0 ? static_cast<uint32_t>(MaxZonesPerAddress) : 0;
    values.MaxPasswordRecords = MaxPasswordRecords > 0 ? static_cast<uint32_t>(MaxPasswordRecords) : 0;
    values.VerifiedZones = VerifiedZones != 0;
    // The pending table is always bounded: 0 or less holds a single zone.
    values.MaxPendingZones = MaxPendingZones > 0 ? static_cast<uint32_t>(MaxPendingZones) : 1;
    return values;
}

}  // namespace kelvaro
