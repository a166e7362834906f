#include "service/settings_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "transport/transport_settings.h"
#include "util/ip_address.h"

namespace kelvaro {
namespace {

// A stored value back in the file's unit; one that saturated no longer
// divides evenly and is shown in milliseconds.
std::string inFileUnits(int32_t stored, int64_t scale) {
    if (stored % scale == 0) return std::to_string(stored / scale);
    return std::to_string(stored) + " ms";
}

std::string fileLine(const ServerSettings& settings) {
    using State = ProfileFileStatus::State;
    switch (settings.iniStatus.state) {
    case State::Read:
        return "Settings: read " + settings.iniPath;
    case State::NotFound:
        return "Settings: no " + settings.iniPath + ", built-in defaults in force";
    case State::Unreadable:
        break;
    }
    return "Settings: cannot read " + settings.iniPath + ": " + settings.iniStatus.reason;
}

// One line per section, the table's keys in their order, then the keys that
// are not integers.
void valueLines(const ServerSettings& settings, std::vector<std::string>& lines) {
    std::vector<std::string> sections;
    for (const IntegerKey* row = integerKeysBegin(); row != integerKeysEnd(); ++row)
        if (sections.empty() || sections.back() != row->section) sections.push_back(row->section);
    for (const std::string& section : sections) {
        std::string line = "Settings: [" + section + "]";
        for (const IntegerKey* row = integerKeysBegin(); row != integerKeysEnd(); ++row) {
            if (section != row->section) continue;
            const std::string value = inFileUnits(settings.*(row->field), row->scale);
            if (row->reportedWhenChanged && value == row->defaultText) continue;
            line += std::string(" ") + row->key + "=" + value;
        }
        if (section == "Core") line += std::string(" ClusterMode=") + (settings.ClusterMode ? "1" : "0");
        // Shown only when on, so that the line stays as it was.
        if (section == "Core" && settings.ListenIPv6) line += " ListenIPv6=1";
        if (section == "CPU") line += std::string(" WakeOnTraffic=") + (settings.WakeOnTraffic ? "1" : "0");
        if (section == "Zone" && settings.VerifiedZones != 0)
            line += " VerifiedZones=1 MaxPendingZones=" + std::to_string(settings.zones().MaxPendingZones);
        if (section == "Zone" && !settings.BanFile.empty()) line += " BanFile=" + settings.BanFile;
        if (section == "Directory") {
            line += " StatsFile=" + settings.StatsFile;
            if (!settings.MetricsFile.empty()) line += " MetricsFile=" + settings.MetricsFile;
            if (!settings.StateFile.empty()) line += " StateFile=" + settings.StateFile;
            line += " IP=" + settings.peerList + " (";
            for (size_t i = 0; i < settings.peers.size(); ++i)
                line += (i == 0 ? "" : " ") + IpAddress(settings.peers[i].address).text();
            line += ")";
            if (settings.DownloadTime < 0) line += "; downloads off";
            if (settings.StatsFile.empty()) line += "; no statistics file";
        }
        if (section == "Http") {
            line += " Address=" + settings.HttpAddress;
            if (settings.HttpPort == 0) line += "; off";
        }
        lines.push_back(line);
    }
}

std::string warning(const char* section, const char* key, int32_t value, const std::string& effect) {
    return std::string("Warning: [") + section + "] " + key + "=" + std::to_string(value) + ": " +
           effect;
}

// A sweep sends no more pings per iteration than DatagramsPerIteration, and an
// iteration takes at least IterationSleepTime, so a short cycle can only be
// kept for lists up to a size; the directories that set one are big.
constexpr int64_t kBigDirectoryZones = 100000;

void sweepCycleWarning(const ServerSettings& s, std::vector<std::string>& lines) {
    if (s.SweepCycle <= 0 || s.SweepTime < 0) return;
    const int64_t iterationMs = std::max<int64_t>(1, s.IterationSleepTime);
    const int64_t pingsPerSecond = int64_t{s.DatagramsPerIteration} * 1000 / iterationMs;
    const int64_t zones = pingsPerSecond * (s.SweepCycle / 1000);
    if (zones >= kBigDirectoryZones) return;
    lines.push_back("Warning: [Zone] SweepCycle=" + std::to_string(s.SweepCycle / 1000) +
                    " with [CPU] DatagramsPerIteration=" + std::to_string(s.DatagramsPerIteration) +
                    ": at most " + std::to_string(pingsPerSecond) +
                    " sweep pings a second, so the cycle holds for up to about " +
                    std::to_string(zones) + " zones");
}

void valueWarnings(const ServerSettings& s, std::vector<std::string>& lines) {
    for (const UncleanNumber& bad : s.uncleanNumbers)
        lines.push_back("Warning: [" + bad.section + "] " + bad.key + "=" + bad.text +
                        ": not a number, read as " + std::to_string(bad.taken));
    // The client manager takes the low 16 bits.
    const uint16_t hosts = static_cast<uint16_t>(s.MaxHosts);
    if (s.MaxHosts <= 0 || s.MaxHosts > 65535)
        lines.push_back(warning("Core", "MaxHosts", s.MaxHosts,
                                hosts == 0 ? "no client can connect"
                                           : "only its low 16 bits count: at most " +
                                                 std::to_string(hosts) + " clients at once"));
    if (s.MaxReliableInTransit == 0)
        lines.push_back(warning("Core", "MaxReliableInTransit", 0,
                                "no reliable packet is ever sent: no client can fetch the list"));
    else if (s.MaxReliableInTransit < 0)
        lines.push_back(warning("Core", "MaxReliableInTransit", s.MaxReliableInTransit,
                                "taken as unsigned: no limit on packets in transit"));
    if (s.MaxWindow > static_cast<int32_t>(kMaxWindow))
        lines.push_back(warning("Core", "MaxWindow", s.MaxWindow,
                                "taken as " + std::to_string(kMaxWindow) + " packets"));
    else if (s.MaxWindow < 0)
        lines.push_back(warning("Core", "MaxWindow", s.MaxWindow, "taken as 0: the window stays "
                                                                  "MaxReliableInTransit"));
    if (s.MaxHostsPerAddress < 0)
        lines.push_back(warning("Core", "MaxHostsPerAddress", s.MaxHostsPerAddress,
                                "taken as 0: no limit per address"));
    if (s.PacketSilenceLimit == 0)
        lines.push_back(warning("Core", "PacketSilenceLimit", 0,
                                "every connection is closed at once: no client can fetch the list"));
    else if (s.PacketSilenceLimit < 0)
        lines.push_back(warning("Core", "PacketSilenceLimit", s.PacketSilenceLimit,
                                "silent connections are never closed"));
    const uint32_t sleepMs = s.IterationSleepTime > 0 ? static_cast<uint32_t>(s.IterationSleepTime) : 0;
    if (sleepMs >= static_cast<uint32_t>(s.SlowIteration))
        lines.push_back("Warning: [CPU] IterationSleepTime=" + std::to_string(s.IterationSleepTime) +
                        " is not below SlowIteration=" + std::to_string(s.SlowIteration) +
                        ": every iteration is slow, pings are forgotten and zones are never dropped");
    if (s.SweepTime < 0)
        lines.push_back(warning("Zone", "SweepTime", s.SweepTime,
                                "no zone is ever pinged: dead zones stay listed"));
    if (s.DropLimit < 0)
        lines.push_back(warning("Zone", "DropLimit", s.DropLimit,
                                "no zone is ever dropped: dead zones stay listed"));
    sweepCycleWarning(s, lines);
    if (s.HttpPort != 0 && s.HttpTimeout <= 0)
        lines.push_back(warning("Http", "Timeout", s.HttpTimeout,
                                "idle HTTP connections are never closed"));
    if (s.InitialHighPing < 0)
        lines.push_back(warning("Zone", "InitialHighPing", s.InitialHighPing,
                                "new zones are never re-pinged: dead zones stay listed"));
}

// Why a clamped key has its range.
std::string clampReason(const ClampedValue& value) {
    if (value.key == "ChunkSize")
        return "a chunk must carry a byte and fit one datagram (" +
               std::to_string(kMinChunkSize) + ".." + std::to_string(kMaxChunkSize) + ")";
    if (value.key == "DatagramsPerIteration")
        return "an endpoint yields 1.." + std::to_string(kMaxDatagramsPerIteration) +
               " datagrams per iteration";
    return "the longest interval the timers measure";
}

void clampWarnings(const ServerSettings& s, std::vector<std::string>& lines) {
    for (const ClampedValue& value : s.clampedValues)
        lines.push_back("Warning: [" + value.section + "] " + value.key + "=" +
                        std::to_string(value.written) + " -> " +
                        inFileUnits(value.inForce, value.scale) + ": " + clampReason(value));
    if (s.StatsWriteMinutes == 0 && (!s.StatsFile.empty() || !s.MetricsFile.empty()))
        lines.push_back(
            "Warning: [Directory] StatsWriteMinutes=0: the statistics and metrics files are "
            "rewritten in every idle iteration");
}

std::string noticeText(const IniNotice& notice) {
    using Kind = IniNotice::Kind;
    const std::string line = "Warning: line " + std::to_string(notice.line) + ": ";
    const std::string nearest =
        notice.suggestion.empty() ? std::string{} : "; did you mean " + notice.suggestion + "?";
    switch (notice.kind) {
    case Kind::UnknownSection:
        return line + "unknown section [" + notice.section + "], its keys are ignored" + nearest;
    case Kind::UnknownKey:
        return line + "unknown key " + notice.key + " in [" + notice.section + "], ignored" +
               nearest;
    case Kind::OutsideSection:
        return line + notice.key + " is outside any section, ignored" + nearest;
    case Kind::Repeated:
        break;
    }
    return line + "[" + notice.section + "] " + notice.key + " is set again, ignored: line " +
           std::to_string(notice.firstLine) + " is in force";
}

void peerWarnings(const ServerSettings& settings, std::vector<std::string>& lines) {
    for (const PeerEntry& peer : settings.peers) {
        const std::string entry = "Warning: [Directory] IP entry '" + peer.text + "'";
        if (peer.form == PeerEntry::Form::Other)
            lines.push_back(entry + " is neither a dotted quad nor a host name: taken as " +
                            IpAddress(peer.address).text());
        else if (!peer.resolved)
            lines.push_back(entry + " does not resolve: downloads from it go nowhere");
    }
}

}  // namespace

std::vector<std::string> settingsReport(const ServerSettings& settings) {
    std::vector<std::string> lines{fileLine(settings)};
    valueLines(settings, lines);
    for (const IniNotice& notice : settings.iniNotices) lines.push_back(noticeText(notice));
    valueWarnings(settings, lines);
    clampWarnings(settings, lines);
    peerWarnings(settings, lines);
    return lines;
}

}  // namespace kelvaro
