#include "service/server_settings.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cctype>
#include <cstring>
#include <limits>

#include "platform/profile_reader.h"

namespace kelvaro {
namespace {

constexpr size_t kIntBufferSize = 32;
constexpr size_t kStatsFileBufferSize = sizeof(ServerSettings::StatsFile);
constexpr size_t kPeerListBufferSize = 256;
constexpr uint32_t kMsPerMinute = 60000;
constexpr uint32_t kMsPerHour = 1000u * 60u * 60u;
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

// Multiplication in 32-bit wrap-around arithmetic, as the stored values expect.
int32_t scaled(int32_t value, uint32_t factor) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) * factor);
}

bool isNameCharacter(char c) {
    return c == '.' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The integer keys, one row each: the default is the text the reader falls
// back to, so it passes through the same conversion as a value from the file.
struct IntegerKey {
    const char* section;
    const char* key;
    const char* defaultText;
    uint32_t scale;  // to the stored unit
    int32_t ServerSettings::*field;
};

constexpr IntegerKey kIntegerKeys[] = {
    {"Core", "PacketSilenceLimit", "2000", 1, &ServerSettings::PacketSilenceLimit},
    {"Core", "MaxReliableInTransit", "3", 1, &ServerSettings::MaxReliableInTransit},
    {"Core", "ChunkSize", "496", 1, &ServerSettings::ChunkSize},
    {"Core", "MaxHosts", "10", 1, &ServerSettings::MaxHosts},
    {"CPU", "IterationSleepTime", "15", 1, &ServerSettings::IterationSleepTime},
    {"CPU", "SlowIteration", "300", 1, &ServerSettings::SlowIteration},
    {"Zone", "SweepTime", "500", 1, &ServerSettings::SweepTime},
    {"Zone", "DropLimit", "10", 1, &ServerSettings::DropLimit},
    {"Zone", "ReclaimDelay", "24", kMsPerHour, &ServerSettings::ReclaimDelay},
    {"Zone", "InitialHighPing", "300", 1, &ServerSettings::InitialHighPing},
    {"Zone", "MaxZones", "0", 1, &ServerSettings::MaxZones},
    {"Zone", "MaxZonesPerAddress", "0", 1, &ServerSettings::MaxZonesPerAddress},
    {"Zone", "MaxPasswordRecords", "0", 1, &ServerSettings::MaxPasswordRecords},
    {"Directory", "DownloadTime", "1", kMsPerMinute, &ServerSettings::DownloadTime},
    {"Directory", "StatsWriteMinutes", "1", kMsPerMinute, &ServerSettings::StatsWriteMinutes},
};

}  // namespace

int32_t readProfileInt(const std::string& section, const std::string& key,
                       const std::string& defaultText, const std::string& path) {
    return parseInt(readProfileString(section, key, defaultText, kIntBufferSize, path));
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

int32_t splitPeerList(const std::string& text, uint32_t (&addresses)[kMaxPeers],
                      uint32_t (*resolve)(const std::string&)) {
    int32_t count = 0;
    size_t start = 0;
    bool inName = true;  // as if a name began at position 0
    // Position text.size() stands for the terminating NUL, which closes the last name.
    for (size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : '\0';
        if (isNameCharacter(c)) {
            if (!inName) start = i;
            inName = true;
        } else if (inName) {
            if (count < kMaxPeers) addresses[count++] = resolve(text.substr(start, i - start));
            inName = false;
        }
    }
    return count;
}

void ServerSettings::load(const std::string& directory, uint32_t (*resolve)(const std::string&)) {
    const std::string path = directory + "/" + kIniFileName;
    for (const IntegerKey& row : kIntegerKeys)
        this->*row.field = scaled(readProfileInt(row.section, row.key, row.defaultText, path), row.scale);
    ClusterMode = readProfileInt("Core", "ClusterMode", "0", path) != 0;

    std::memset(StatsFile, 0, sizeof StatsFile);
    const std::string stats =
        readProfileString("Directory", "StatsFile", "stats.txt", kStatsFileBufferSize, path);
    std::memcpy(StatsFile, stats.data(), stats.size());

    peerList = readProfileString("Directory", "IP", kDefaultPeers, kPeerListBufferSize, path);
    peerCount = splitPeerList(peerList, peerAddresses, resolve);
}

void ServerSettings::resolvePeers() { peerCount = splitPeerList(peerList, peerAddresses); }

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
    return values;
}

}  // namespace kelvaro
