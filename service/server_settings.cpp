#include "service/server_settings.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "platform/profile_reader.h"
#include "transport/transport_settings.h"

namespace kelvaro {
namespace {

constexpr size_t kIntBufferSize = 32;
// Any path the system accepts fits (PATH_MAX).
constexpr size_t kStatsFileBufferSize = 4096;
constexpr size_t kPeerListBufferSize = 256;
constexpr size_t kMetricsFileBufferSize = 4096;  // a path, often absolute
constexpr int64_t kMsPerSecond = 1000;
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
    {"Core", "ChunkSize", "496", 1, &ServerSettings::ChunkSize, kMinChunkSize, kMaxChunkSize},
    {"Core", "MaxHosts", "10", 1, &ServerSettings::MaxHosts},
    {"Core", "MaxWindow", "0", 1, &ServerSettings::MaxWindow},
    {"Core", "MaxHostsPerAddress", "0", 1, &ServerSettings::MaxHostsPerAddress},
    {"CPU", "IterationSleepTime", "15", 1, &ServerSettings::IterationSleepTime},
    {"CPU", "SlowIteration", "300", 1, &ServerSettings::SlowIteration},
    {"CPU", "DatagramsPerIteration", "1", 1, &ServerSettings::DatagramsPerIteration, 1,
     kMaxDatagramsPerIteration},
    {"CPU", "BatchWaitTime", "200", 1, &ServerSettings::BatchWaitTime, 0, kMaxBatchWaitTime, true},
    {"Zone", "SweepTime", "500", 1, &ServerSettings::SweepTime},
    {"Zone", "DropLimit", "10", 1, &ServerSettings::DropLimit},
    {"Zone", "ReclaimDelay", "24", kMsPerHour, &ServerSettings::ReclaimDelay},
    {"Zone", "InitialHighPing", "300", 1, &ServerSettings::InitialHighPing},
    {"Zone", "MaxZones", "0", 1, &ServerSettings::MaxZones},
    {"Zone", "MaxZonesPerAddress", "0", 1, &ServerSettings::MaxZonesPerAddress},
    {"Zone", "MaxPasswordRecords", "0", 1, &ServerSettings::MaxPasswordRecords},
    {"Zone", "BusyHoldLimit", "10000", 1, &ServerSettings::BusyHoldLimit},
    {"Zone", "SweepCycle", "0", kMsPerSecond, &ServerSettings::SweepCycle},
    {"Zone", "RejoinDelay", "0", kMsPerSecond, &ServerSettings::RejoinDelay},
    {"Directory", "DownloadTime", "1", kMsPerMinute, &ServerSettings::DownloadTime},
    {"Directory", "StatsWriteMinutes", "1", kMsPerMinute, &ServerSettings::StatsWriteMinutes},
    {"Directory", "HistoryInterval", "60", 1, &ServerSettings::HistoryInterval, 1, 3600, true},
    {"Http", "Port", "0", 1, &ServerSettings::HttpPort},
    {"Http", "MaxAge", "5", 1, &ServerSettings::HttpMaxAge},
    {"Http", "Timeout", "10", 1, &ServerSettings::HttpTimeout},
    {"Http", "MaxConnections", "64", 1, &ServerSettings::HttpMaxConnections},
    {"Http", "MaxConnectionsPerAddress", "8", 1, &ServerSettings::HttpMaxConnectionsPerAddress},
};

// The keys that are not in the integer table.
struct NamedKey {
    const char* section;
    const char* key;
};
constexpr NamedKey kOtherKeys[] = {
    {"Core", "ClusterMode"},    {"Core", "ListenIPv6"},   {"CPU", "WakeOnTraffic"}, {"Directory", "StatsFile"},
    {"Directory", "MetricsFile"}, {"Directory", "StateFile"}, {"Directory", "IP"},        {"Http", "Address"},
    {"Zone", "VerifiedZones"},  {"Zone", "MaxPendingZones"}, {"Zone", "BanFile"},
};

std::vector<NamedKey> knownKeys() {
    std::vector<NamedKey> keys;
    for (const IntegerKey& row : kIntegerKeys) keys.push_back({row.section, row.key});
    for (const NamedKey& key : kOtherKeys) keys.push_back(key);
    return keys;
}

std::string lowered(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Edit distance without regard to case; names are short (the reader trims
// lines, and the bound keeps a pathological name from costing much).
size_t editDistance(const std::string& a, const std::string& b) {
    constexpr size_t kLongestName = 64;
    if (a.size() > kLongestName || b.size() > kLongestName) return SIZE_MAX;
    const std::string x = lowered(a);
    const std::string y = lowered(b);
    std::vector<size_t> previous(y.size() + 1);
    std::vector<size_t> current(y.size() + 1);
    for (size_t j = 0; j <= y.size(); ++j) previous[j] = j;
    for (size_t i = 1; i <= x.size(); ++i) {
        current[0] = i;
        for (size_t j = 1; j <= y.size(); ++j)
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1,
                                   previous[j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1)});
        std::swap(previous, current);
    }
    return previous[y.size()];
}

// Close enough to be a slip of the keyboard: one edit in short names, two in
// names of six characters or more.
bool isClose(const std::string& written, const std::string& known) {
    const size_t allowed = std::min<size_t>(2, written.size() / 3);
    return editDistance(written, known) <= allowed;
}

bool isKnownSection(const std::string& section) {
    for (const NamedKey& key : knownKeys())
        if (sameProfileName(section, key.section)) return true;
    return false;
}

std::string nearestSection(const std::string& section) {
    std::string best;
    size_t bestDistance = SIZE_MAX;
    for (const NamedKey& key : knownKeys()) {
        const size_t distance = editDistance(section, key.section);
        if (distance < bestDistance && isClose(section, key.section)) {
            best = key.section;
            bestDistance = distance;
        }
    }
    return best.empty() ? best : "[" + best + "]";
}

// The nearest known key, with its section when that is not the one written.
std::string nearestKey(const std::string& section, const std::string& key) {
    std::string best;
    size_t bestDistance = SIZE_MAX;
    for (const NamedKey& known : knownKeys()) {
        const size_t distance = editDistance(key, known.key);
        // At equal distance a key of the section written wins.
        const bool sameSection = sameProfileName(section, known.section);
        if (!isClose(key, known.key) || distance > bestDistance ||
            (distance == bestDistance && !sameSection))
            continue;
        best = sameSection ? std::string(known.key)
                           : "[" + std::string(known.section) + "] " + known.key;
        bestDistance = distance;
    }
    return best;
}

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

bool isKnownSetting(const std::string& section, const std::string& key) {
    for (const NamedKey& known : knownKeys())
        if (sameProfileName(section, known.section) && sameProfileName(key, known.key)) return true;
    return false;
}

std::vector<IniNotice> iniNoticesFor(const std::vector<ProfileLine>& lines) {
    using Kind = IniNotice::Kind;
    std::vector<IniNotice> notices;
    std::vector<std::pair<std::string, int>> firstLines;  // lowered "section\nkey", its line
    bool inHeading = false;
    bool headingKnown = false;
    for (const ProfileLine& line : lines) {
        if (line.heading) {
            inHeading = true;
            headingKnown = isKnownSection(line.section);
            if (!headingKnown)
                notices.push_back({Kind::UnknownSection, line.lineNumber, line.section, {},
                                   nearestSection(line.section), 0});
            continue;
        }
        if (!inHeading) {
            notices.push_back({Kind::OutsideSection, line.lineNumber, {}, line.key,
                               nearestKey("", line.key), 0});
            continue;
        }
        if (!headingKnown) continue;  // reported once, with its heading
        if (!isKnownSetting(line.section, line.key)) {
            notices.push_back({Kind::UnknownKey, line.lineNumber, line.section, line.key,
                               nearestKey(line.section, line.key), 0});
            continue;
        }
        const std::string name = lowered(line.section) + "\n" + lowered(line.key);
        const auto first = std::find_if(firstLines.begin(), firstLines.end(),
                                        [&](const auto& entry) { return entry.first == name; });
        if (first == firstLines.end())
            firstLines.emplace_back(name, line.lineNumber);
        else
            notices.push_back({Kind::Repeated, line.lineNumber, line.section, line.key, {},
                               first->second});
    }
    return notices;
}

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
    loadFile(directory + "/" + kIniFileName, resolve);
}

void ServerSettings::loadFile(const std::string& iniFile, uint32_t (*resolve)(const std::string&)) {
    iniPath = iniFile;
    iniStatus = profileFileStatus(iniPath);
    // An empty path opens nothing, so every key takes its default.
    const std::string path =
        iniStatus.state == ProfileFileStatus::State::Read ? iniPath : std::string{};
    iniNotices = path.empty() ? std::vector<IniNotice>{} : iniNoticesFor(readProfileLines(path));
    uncleanNumbers.clear();
    clampedValues.clear();
    for (const IntegerKey& row : kIntegerKeys) {
        const int32_t written = readInteger(*this, row.section, row.key, row.defaultText, path);
        const int32_t scaled = scaledInterval(written, row.scale);
        const int32_t inForce = std::clamp(scaled, row.least, row.most);
        this->*row.field = inForce;
        if (static_cast<int64_t>(written) * row.scale != inForce)
            clampedValues.push_back({row.section, row.key, written, inForce, row.scale});
    }
    ClusterMode = readInteger(*this, "Core", "ClusterMode", "0", path) != 0;
    ListenIPv6 = readInteger(*this, "Core", "ListenIPv6", "0", path) != 0;
    WakeOnTraffic = readInteger(*this, "CPU", "WakeOnTraffic", "0", path) != 0;

    StatsFile = readProfileString("Directory", "StatsFile", "stats.txt", kStatsFileBufferSize, path);
    MetricsFile = readProfileString("Directory", "MetricsFile", "", kMetricsFileBufferSize, path);
    StateFile = readProfileString("Directory", "StateFile", "", kMetricsFileBufferSize, path);
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
    // A negative value is off, like 0; the transport caps MaxWindow itself.
    values.MaxWindow = static_cast<uint32_t>(std::max(MaxWindow, 0));
    values.MaxHostsPerAddress = static_cast<uint32_t>(std::max(MaxHostsPerAddress, 0));
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
    // Unlike the intervals, a negative cycle or delay is not a huge one: it
    // turns the feature off, as 0 does.
    values.SweepCycle = SweepCycle > 0 ? static_cast<uint32_t>(SweepCycle) : 0;
    values.RejoinDelay = RejoinDelay > 0 ? static_cast<uint32_t>(RejoinDelay) : 0;
    values.VerifiedZones = VerifiedZones != 0;
    // The pending table is always bounded: 0 or less holds a single zone.
    values.MaxPendingZones = MaxPendingZones > 0 ? static_cast<uint32_t>(MaxPendingZones) : 1;
    return values;
}

}  // namespace kelvaro
