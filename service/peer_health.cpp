#include "service/peer_health.h"

#include <charconv>
#include <utility>

#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "service/zone_json.h"
#include "zones/zone_key.h"

namespace kelvaro {
namespace {

constexpr uint32_t kMsPerSecond = 1000;

void appendInteger(std::string& out, int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

const char* outcomeText(DownloadOutcome outcome) {
    switch (outcome) {
    case DownloadOutcome::Pending: return "pending";
    case DownloadOutcome::Completed: return "completed";
    case DownloadOutcome::Failed: return "failed";
    case DownloadOutcome::None: break;
    }
    return "none";
}

const char* stateText(const PeerTable& table, size_t index, uint32_t nowTick, uint32_t intervalMs) {
    if (table.failing(index, nowTick, intervalMs)) return "failing";
    return table[index].completedOnce ? "ok" : "unknown";
}

}  // namespace

PeerTable::PeerTable(const std::vector<std::string>& names, const uint32_t* addresses,
                     int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        PeerHealth peer;
        peer.address = addresses[i];
        const size_t at = static_cast<size_t>(i);
        peer.configured = at < names.size() ? names[at] : IpAddress(peer.address).text();
        peers.push_back(std::move(peer));
    }
}

void PeerTable::started(size_t index, uint32_t nowTick, int64_t unixSeconds) {
    if (index >= peers.size()) return;
    PeerHealth& peer = peers[index];
    if (!peer.tried) peer.firstTryTick = nowTick;
    peer.tried = true;
    peer.last = DownloadOutcome::Pending;
    peer.lastStartUnixTime = unixSeconds;
}

void PeerTable::completed(size_t index, uint32_t nowTick, int64_t unixSeconds,
                          std::vector<ZoneKey> listKeys) {
    if (index >= peers.size()) return;
    PeerHealth& peer = peers[index];
    peer.last = DownloadOutcome::Completed;
    peer.lastEndUnixTime = unixSeconds;
    peer.lastCompletedUnixTime = unixSeconds;
    peer.lastCompletedTick = nowTick;
    peer.completedOnce = true;
    peer.failedSinceList = false;
    peer.lastListZones = static_cast<int32_t>(listKeys.size());
    peer.lastListKeys = std::move(listKeys);
}

void PeerTable::failed(size_t index, int64_t unixSeconds) {
    if (index >= peers.size()) return;
    peers[index].last = DownloadOutcome::Failed;
    peers[index].failedSinceList = true;
    peers[index].lastEndUnixTime = unixSeconds;
}

bool PeerTable::failing(size_t index, uint32_t nowTick, uint32_t intervalMs) const {
    if (index >= peers.size()) return false;
    const PeerHealth& peer = peers[index];
    // A try under way does not clear it: only a list does.
    if (!peer.failedSinceList) return false;
    const uint32_t since = peer.completedOnce ? peer.lastCompletedTick : peer.firstTryTick;
    // In 64 bits: three intervals of a long DownloadTime do not fit in 32.
    return uint64_t{elapsedMs(nowTick, since)} > uint64_t{kFailingIntervals} * intervalMs;
}

int32_t PeerTable::zonesHeld(size_t index, const ZoneList& zones) const {
    if (index >= peers.size()) return 0;
    int32_t held = 0;
    for (const ZoneKey& key : peers[index].lastListKeys) {
        const ZoneRecord* zone = zones.find(zoneKeyAddress(key), zoneKeyPort(key));
        if (zone != nullptr && zone->source == ZoneSource::Peer) ++held;
    }
    return held;
}

std::string peersJson(const PeerTable& table, const ZoneList& zones, uint32_t nowTick,
                      int64_t unixSeconds, uint32_t intervalMs) {
    std::string out = "{\"generated\":";
    appendInteger(out, unixSeconds);
    out += ",\"download_interval_seconds\":";
    appendInteger(out, intervalMs / kMsPerSecond);
    out += ",\"peers\":[";
    for (size_t i = 0; i < table.size(); ++i) {
        const PeerHealth& peer = table[i];
        out += i == 0 ? "\n {\"peer\":" : ",\n {\"peer\":";
        appendJsonString(out, peer.configured);
        out += ",\"address\":\"" + IpAddress(peer.address).text() + "\",\"state\":\"";
        out += stateText(table, i, nowTick, intervalMs);
        out += "\",\"last_outcome\":\"";
        out += outcomeText(peer.last);
        out += "\",\"last_attempt\":";
        appendInteger(out, peer.lastStartUnixTime);
        out += ",\"last_download\":";
        appendInteger(out, peer.lastEndUnixTime);
        out += ",\"last_completed\":";
        appendInteger(out, peer.lastCompletedUnixTime);
        out += ",\"list_zones\":";
        appendInteger(out, peer.lastListZones);
        out += ",\"zones_held\":";
        appendInteger(out, table.zonesHeld(i, zones));
        out += ",\"copy_age_seconds\":";
        if (peer.completedOnce)
            appendInteger(out, elapsedMs(nowTick, peer.lastCompletedTick) / kMsPerSecond);
        else
            out += "null";
        out += '}';
    }
    out += table.size() == 0 ? "]}\n" : "\n]}\n";
    return out;
}

void appendPeerMetrics(std::string& out, const PeerTable& table, const ZoneList& zones,
                       uint32_t nowTick, uint32_t intervalMs) {
    struct Gauge {
        const char* name;
        const char* help;
    };
    static constexpr Gauge kGauges[] = {
        {"kelvaro_peer_failing", "1 when the peer's downloads have failed for over three intervals."},
        {"kelvaro_peer_list_zones", "Zones in the peer's last list."},
        {"kelvaro_peer_zones_held", "Zones of the peer's last list still listed here from a peer."},
        {"kelvaro_peer_list_age_seconds", "Age of the copy of the peer's list held here; -1 before the first."},
        {"kelvaro_peer_last_download_timestamp_seconds", "Unix time the last download from the peer ended; 0 before the first."},
    };
    for (size_t g = 0; g < std::size(kGauges); ++g) {
        out += "# HELP ";
        out += kGauges[g].name;
        out += ' ';
        out += kGauges[g].help;
        out += "\n# TYPE ";
        out += kGauges[g].name;
        out += " gauge\n";
        for (size_t i = 0; i < table.size(); ++i) {
            const PeerHealth& peer = table[i];
            int64_t value = 0;
            if (g == 0) value = table.failing(i, nowTick, intervalMs) ? 1 : 0;
            if (g == 1) value = peer.lastListZones;
            if (g == 2) value = table.zonesHeld(i, zones);
            if (g == 3)
                value = peer.completedOnce
                            ? int64_t{elapsedMs(nowTick, peer.lastCompletedTick) / kMsPerSecond}
                            : -1;
            if (g == 4) value = peer.lastEndUnixTime;
            out += kGauges[g].name;
            out += "{peer=\"" + IpAddress(peer.address).text() + "\",index=\"";
            appendInteger(out, static_cast<int64_t>(i));
            out += "\"} ";
            appendInteger(out, value);
            out += '\n';
        }
    }
}

}  // namespace kelvaro
