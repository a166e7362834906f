#pragma once
// The values of kelvaro.ini. The file is read in one place, at start-up, and
// the values are handed down: the transport and the zone directory get the
// plain values they use (transport(), zones()) when they are built. Every key
// has a built-in default that passes through the same conversion as a value
// from the file, so a missing file, section or key simply yields the default.
// Minute and hour keys are held in milliseconds, converted without overflow:
// a positive value beyond kLongestIntervalMs is held as kLongestIntervalMs,
// a negative one (an interval that never passes) at most down to INT32_MIN.
//
// load() also keeps what the start-up report needs to tell the operator what
// is in force (see service/settings_report.h): whether the file could be read,
// which values were not clean numbers, which were clamped into their range
// (the field then holds the value in force), which lines of the file no key
// reads (unknown sections and keys, keys outside any section, repeated keys),
// and how each peer entry resolved.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/profile_reader.h"
#include "transport/transport_settings.h"
#include "zones/zone_settings.h"

namespace kelvaro {

constexpr int kMaxPeers = 10;
// The most datagrams one endpoint yields in one iteration, so that one busy
// port cannot starve the others or the zone upkeep for long.
constexpr int32_t kMaxDatagramsPerIteration = 1024;
// A wake waits at most this long for a batch (microseconds). Longer waits save
// little more, and a burst arriving during one could overrun the socket's
// receive buffer (some 200 datagrams by default) before it is read.
constexpr int32_t kMaxBatchWaitTime = 500;
constexpr const char* kIniFileName = "kelvaro.ini";
// The longest interval that the unsigned 32-bit elapsed-time test still sees
// pass reliably (elapsed time itself wraps at 2^32 ms): about 24.8 days.
constexpr int32_t kLongestIntervalMs = INT32_MAX;

// A name or dotted quad from the Directory IP list, resolved once.
uint32_t resolveHostAddress(const std::string& text);

// One entry of the Directory IP list as load() found it.
struct PeerEntry {
    enum class Form { DottedQuad, HostName, Other };
    std::string text;
    Form form = Form::Other;
    uint32_t address = 0;   // network order; 255.255.255.255 when unresolved
    bool resolved = false;
};

// An integer value whose text was not an optional sign and digits alone.
struct UncleanNumber {
    std::string section;
    std::string key;
    std::string text;
    int32_t taken = 0;  // what the atoi reading made of it
};

// A value the file set outside its range, and the value in force instead.
struct ClampedValue {
    std::string section;
    std::string key;
    int32_t written = 0;  // as read, in the file's unit
    int32_t inForce = 0;  // in the stored unit
    int64_t scale = 1;    // stored unit per file unit
};

// A line of the file that no setting reads.
struct IniNotice {
    enum class Kind { UnknownSection, UnknownKey, OutsideSection, Repeated };
    Kind kind = Kind::UnknownKey;
    int line = 0;
    std::string section;     // as written
    std::string key;         // as written; empty for UnknownSection
    std::string suggestion;  // the nearest known name when one is close, else ""
    int firstLine = 0;       // Repeated: the line whose value is in force
};

struct ServerSettings {
    // Fills every field from <directory>/kelvaro.ini, resolving each peer
    // entry exactly once with resolve. A file that cannot be read gives the
    // defaults and is not opened again.
    void load(const std::string& directory,
              uint32_t (*resolve)(const std::string&) = resolveHostAddress);
    // The same from the file at iniFile (absolute, or relative to the
    // current directory).
    void loadFile(const std::string& iniFile,
                  uint32_t (*resolve)(const std::string&) = resolveHostAddress);

    // The values the transport and the zone directory run on.
    TransportSettings transport() const;
    ZoneSettings zones() const;

    int32_t PacketSilenceLimit = 0;   // transport ticks (1/100 s)
    int32_t MaxReliableInTransit = 0; // packets
    int32_t ChunkSize = 0;            // bytes
    bool ClusterMode = false;
    // The update port, the ping port and the HTTP front also listen on IPv6
    // (IPv6-only sockets beside the IPv4 ones); off, nothing binds IPv6.
    bool ListenIPv6 = false;
    int32_t MaxHosts = 0;             // connections
    int32_t MaxWindow = 0;            // packets; 0: the window stays MaxReliableInTransit
    int32_t MaxHostsPerAddress = 0;   // connections per IPv4 address; 0: no limit
    int32_t SlowIteration = 0;        // ms
    int32_t IterationSleepTime = 0;   // ms
    int32_t DatagramsPerIteration = 0;  // per endpoint, 1..kMaxDatagramsPerIteration
    bool WakeOnTraffic = false;       // the pause ends when a datagram arrives
    // With WakeOnTraffic, the longest a pause gathers datagrams while traffic
    // is dense (DirectoryServer::nextGatherUs); 0: never.
    int32_t BatchWaitTime = 0;        // microseconds, 0..kMaxBatchWaitTime
    int32_t SweepTime = 0;            // ms
    int32_t DropLimit = 0;            // re-pings
    int32_t ReclaimDelay = 0;         // ms (ini: hours)
    int32_t InitialHighPing = 0;      // ms
    int32_t MaxZones = 0;             // zones; 0: no cap
    int32_t MaxZonesPerAddress = 0;   // zones per IPv4 address; 0: no cap
    int32_t MaxPasswordRecords = 0;   // registry records; 0: no cap
    // How long a busy spell may hold the zone upkeep before it runs anyway;
    // negative: as long as the spell lasts; 0: busy never holds it.
    int32_t BusyHoldLimit = 0;        // ms
    int32_t SweepCycle = 0;           // ms (ini: seconds); 0 or negative: off
    int32_t RejoinDelay = 0;          // ms (ini: seconds); 0 or negative: off
    int32_t VerifiedZones = 0;        // non-zero: zones are listed once they echo a ping token
    int32_t MaxPendingZones = 0;      // zones waiting to prove their address; at least 1
    std::string BanFile;              // empty: nobody banned; re-read on SIGHUP
    int32_t DownloadTime = 0;         // ms (ini: minutes)
    uint32_t peerAddresses[kMaxPeers] = {};  // IPv4, network order
    int32_t peerCount = 0;
    std::string StatsFile;            // empty: no statistics file
    int32_t StatsWriteMinutes = 0;    // ms (ini: minutes)
    std::string MetricsFile;          // empty: no metrics file
    std::string StateFile;            // empty: names and zones live in memory only
    int32_t HistoryInterval = 0;      // s between history samples, on its boundaries
    std::string peerList;             // the Directory IP text as read
    // The HTTP front ([Http]); off while HttpPort is 0.
    int32_t HttpPort = 0;
    std::string HttpAddress;          // dotted quad to listen on
    int32_t HttpMaxAge = 0;           // s, for Cache-Control
    int32_t HttpTimeout = 0;          // s an idle or slow connection may wait
    int32_t HttpMaxConnections = 0;
    int32_t HttpMaxConnectionsPerAddress = 0;

    // What load() saw, for the start-up report.
    std::string iniPath;
    ProfileFileStatus iniStatus;
    std::vector<UncleanNumber> uncleanNumbers;
    std::vector<ClampedValue> clampedValues;
    std::vector<IniNotice> iniNotices;
    std::vector<PeerEntry> peers;     // one per entry of peerAddresses
};

// The integer keys, one row each, in the file's order of sections: the
// default is the text the reader falls back to, so it passes through the same
// conversion as a value from the file.
struct IntegerKey {
    const char* section;
    const char* key;
    const char* defaultText;
    int64_t scale;  // stored unit per file unit
    int32_t ServerSettings::*field;
    // The range in force, in the stored unit: a value outside it is clamped
    // into it and reported.
    int32_t least = INT32_MIN;
    int32_t most = INT32_MAX;
    // Named in the settings report only when set to other than its default:
    // a key added after the report's lines were settled, which keeps them.
    bool reportedWhenChanged = false;
};
const IntegerKey* integerKeysBegin();
const IntegerKey* integerKeysEnd();

// Whether load() reads section/key (names compared without regard to case).
// Every key the loader reads is in integerKeys or in this list, which a new
// key must join so that the file's line for it is not reported as unknown.
bool isKnownSetting(const std::string& section, const std::string& key);

// What load() finds in the file's lines: every line no setting reads.
std::vector<IniNotice> iniNoticesFor(const std::vector<ProfileLine>& lines);

// True when text, trimmed, is an optional sign followed by one or more digits.
bool isCleanNumber(const std::string& text);

// value * scale in the stored unit: positive results saturate at
// kLongestIntervalMs, negative ones at INT32_MIN.
int32_t scaledInterval(int32_t value, int64_t scale);

// The Directory IP text split into its entries (at most kMaxPeers; names
// beyond the tenth are ignored). There is at least one, possibly empty.
std::vector<std::string> splitPeerNames(const std::string& text);

// Splits the Directory IP text into at most kMaxPeers entries resolved with
// resolve; returns the count, which is at least 1.
int32_t splitPeerList(const std::string& text, uint32_t (&addresses)[kMaxPeers],
                      uint32_t (*resolve)(const std::string&) = resolveHostAddress);

// What an entry looks like: four decimal parts 0-255, else a host name when
// it holds a letter, else neither.
PeerEntry::Form peerEntryForm(const std::string& text);

}  // namespace kelvaro
