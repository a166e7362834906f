#include "service/settings_reload.h"

#include <iterator>

namespace kelvaro {
namespace {

using S = ServerSettings;

template <auto Field>
void copyField(S& inForce, const S& read) {
    inForce.*Field = read.*Field;
}

// An integer key in the file's unit; a stored value that no longer divides
// evenly (it saturated) is shown in milliseconds, as the report does.
template <auto Field, int64_t Scale = 1>
std::string integerText(const S& settings) {
    const int32_t stored = settings.*Field;
    if (stored % Scale == 0) return std::to_string(stored / Scale);
    return std::to_string(stored) + " ms";
}

template <auto Field>
std::string flagText(const S& settings) {
    return settings.*Field ? "1" : "0";
}

template <auto Field>
std::string stringText(const S& settings) {
    const std::string& value = settings.*Field;
    return value.empty() ? "(empty)" : value;
}

// The peer list is its text and what it resolved to; both change together.
std::string peerText(const S& settings) { return settings.peerList; }
void copyPeers(S& inForce, const S& read) {
    inForce.peerList = read.peerList;
    inForce.peerCount = read.peerCount;
    std::copy(std::begin(read.peerAddresses), std::end(read.peerAddresses),
              std::begin(inForce.peerAddresses));
    inForce.peers = read.peers;
}

constexpr int64_t kSecond = 1000;
constexpr int64_t kMinute = 60 * kSecond;
constexpr int64_t kHour = 60 * kMinute;

// Restart-only keys: the transport keys are live (new connections take them,
// existing ones keep theirs); the HTTP listener's own options are fixed when
// it opens, and the state file is opened once.
constexpr ReloadKey kReloadKeys[] = {
    {"Core", "PacketSilenceLimit", integerText<&S::PacketSilenceLimit>,
     copyField<&S::PacketSilenceLimit>},
    {"Core", "MaxReliableInTransit", integerText<&S::MaxReliableInTransit>,
     copyField<&S::MaxReliableInTransit>},
    {"Core", "ChunkSize", integerText<&S::ChunkSize>, copyField<&S::ChunkSize>},
    {"Core", "ClusterMode", flagText<&S::ClusterMode>, copyField<&S::ClusterMode>},
    {"Core", "MaxHosts", integerText<&S::MaxHosts>, copyField<&S::MaxHosts>},
    {"Core", "MaxWindow", integerText<&S::MaxWindow>, copyField<&S::MaxWindow>},
    {"Core", "MaxHostsPerAddress", integerText<&S::MaxHostsPerAddress>,
     copyField<&S::MaxHostsPerAddress>},
    // The sockets are opened once, at start.
    {"Core", "ListenIPv6", flagText<&S::ListenIPv6>, nullptr},
    {"CPU", "IterationSleepTime", integerText<&S::IterationSleepTime>,
     copyField<&S::IterationSleepTime>},
    {"CPU", "SlowIteration", integerText<&S::SlowIteration>, copyField<&S::SlowIteration>},
    {"CPU", "DatagramsPerIteration", integerText<&S::DatagramsPerIteration>,
     copyField<&S::DatagramsPerIteration>},
    {"CPU", "WakeOnTraffic", flagText<&S::WakeOnTraffic>, copyField<&S::WakeOnTraffic>},
    {"CPU", "BatchWaitTime", integerText<&S::BatchWaitTime>, copyField<&S::BatchWaitTime>},
    {"Zone", "SweepTime", integerText<&S::SweepTime>, copyField<&S::SweepTime>},
    {"Zone", "DropLimit", integerText<&S::DropLimit>, copyField<&S::DropLimit>},
    {"Zone", "ReclaimDelay", integerText<&S::ReclaimDelay, kHour>, copyField<&S::ReclaimDelay>},
    {"Zone", "InitialHighPing", integerText<&S::InitialHighPing>, copyField<&S::InitialHighPing>},
    {"Zone", "MaxZones", integerText<&S::MaxZones>, copyField<&S::MaxZones>},
    {"Zone", "MaxZonesPerAddress", integerText<&S::MaxZonesPerAddress>,
     copyField<&S::MaxZonesPerAddress>},
    {"Zone", "MaxPasswordRecords", integerText<&S::MaxPasswordRecords>,
     copyField<&S::MaxPasswordRecords>},
    {"Zone", "BusyHoldLimit", integerText<&S::BusyHoldLimit>, copyField<&S::BusyHoldLimit>},
    {"Zone", "SweepCycle", integerText<&S::SweepCycle, kSecond>, copyField<&S::SweepCycle>},
    {"Zone", "RejoinDelay", integerText<&S::RejoinDelay, kSecond>, copyField<&S::RejoinDelay>},
    {"Zone", "VerifiedZones", integerText<&S::VerifiedZones>, copyField<&S::VerifiedZones>},
    {"Zone", "MaxPendingZones", integerText<&S::MaxPendingZones>, copyField<&S::MaxPendingZones>},
    {"Zone", "BanFile", stringText<&S::BanFile>, copyField<&S::BanFile>},
    {"Directory", "DownloadTime", integerText<&S::DownloadTime, kMinute>,
     copyField<&S::DownloadTime>},
    {"Directory", "StatsFile", stringText<&S::StatsFile>, copyField<&S::StatsFile>},
    {"Directory", "StatsWriteMinutes", integerText<&S::StatsWriteMinutes, kMinute>,
     copyField<&S::StatsWriteMinutes>},
    {"Directory", "MetricsFile", stringText<&S::MetricsFile>, copyField<&S::MetricsFile>},
    {"Directory", "StateFile", stringText<&S::StateFile>, nullptr},
    // The history's boundaries are fixed for a run: a new interval would mix
    // two spacings in one series.
    {"Directory", "HistoryInterval", integerText<&S::HistoryInterval>, nullptr},
    {"Directory", "IP", peerText, copyPeers},
    {"Http", "Port", integerText<&S::HttpPort>, nullptr},
    {"Http", "Address", stringText<&S::HttpAddress>, nullptr},
    {"Http", "MaxAge", integerText<&S::HttpMaxAge>, copyField<&S::HttpMaxAge>},
    {"Http", "Timeout", integerText<&S::HttpTimeout>, nullptr},
    {"Http", "MaxConnections", integerText<&S::HttpMaxConnections>, nullptr},
    {"Http", "MaxConnectionsPerAddress", integerText<&S::HttpMaxConnectionsPerAddress>, nullptr},
};

// What a fresh read tells the operator, not what is in force.
void takeReport(S& inForce, const S& read) {
    inForce.iniPath = read.iniPath;
    inForce.iniStatus = read.iniStatus;
    inForce.uncleanNumbers = read.uncleanNumbers;
    inForce.clampedValues = read.clampedValues;
    inForce.iniNotices = read.iniNotices;
}

}  // namespace

const ReloadKey* reloadKeysBegin() { return std::begin(kReloadKeys); }
const ReloadKey* reloadKeysEnd() { return std::end(kReloadKeys); }

ReloadOutcome reloadSettings(const ServerSettings& current, const ServerSettings& read,
                             bool required) {
    using State = ProfileFileStatus::State;
    ReloadOutcome outcome{current, {}, false, false};
    // A file that went missing is not an order to fall back on the defaults,
    // unless there was none at start either.
    const bool unreadable = read.iniStatus.state == State::Unreadable ||
                            (read.iniStatus.state == State::NotFound &&
                             (required || current.iniStatus.state == State::Read));
    if (unreadable) {
        const std::string reason = read.iniStatus.state == State::NotFound
                                       ? std::string("not found")
                                       : read.iniStatus.reason;
        outcome.lines.push_back("---Reload: cannot read " + read.iniPath + ": " + reason +
                                ": nothing changed");
        return outcome;
    }
    outcome.taken = true;
    takeReport(outcome.inForce, read);
    for (const ReloadKey& row : kReloadKeys) {
        const std::string before = row.text(current);
        const std::string after = row.text(read);
        if (before == after) continue;
        std::string line = std::string("---Reload: ") + row.section + " " + row.key + ": " +
                           before + " -> " + after;
        if (row.apply == nullptr) {
            line += ": needs a restart, " + before + " stays in force";
        } else {
            row.apply(outcome.inForce, read);
            outcome.applied = true;
        }
        outcome.lines.push_back(line);
    }
    return outcome;
}

}  // namespace kelvaro
