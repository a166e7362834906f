#pragma once
// How each configured peer directory is doing: the last download from it and
// what its list brought. One entry per entry of the Directory IP list, in its
// order, made when the server is built; the server reports each download's
// start and end here, and /peers.json, the page and /metrics read it.
//
// A peer is failing once a download has failed since its last list and that
// list (or, for a peer that never brought one, its first try) lies more than
// three download intervals back; a new try under way leaves it failing until
// it brings a list. One lost list is a blip; three rounds of silence is down.

#include <cstdint>
#include <string>
#include <vector>

#include "zones/zone_list.h"

namespace kelvaro {

constexpr uint32_t kFailingIntervals = 3;

enum class DownloadOutcome { None, Pending, Completed, Failed };

struct PeerHealth {
    std::string configured;  // the entry as written in the settings
    uint32_t address = 0;    // network order
    DownloadOutcome last = DownloadOutcome::None;
    int64_t lastStartUnixTime = 0;  // 0 before the first try
    int64_t lastEndUnixTime = 0;    // when the last download completed or failed
    int64_t lastCompletedUnixTime = 0;
    uint32_t firstTryTick = 0;
    uint32_t lastCompletedTick = 0;
    bool tried = false;
    bool completedOnce = false;
    bool failedSinceList = false;  // a download failed after the last list came
    int32_t lastListZones = 0;  // entries in its last list
    // The zones of its last list (zoneKey), to count those still held. A list
    // is at most 50000 bytes, so at most 632 keys.
    std::vector<ZoneKey> lastListKeys;
};

class PeerTable {
public:
    PeerTable() = default;
    // One entry per configured peer: names[i] (the text as configured, may be
    // shorter than count) and addresses[i].
    PeerTable(const std::vector<std::string>& names, const uint32_t* addresses, int32_t count);

    // The download from entry index began, ended with a list of these keys,
    // or went without one. An index outside the table is ignored.
    void started(size_t index, uint32_t nowTick, int64_t unixSeconds);
    void completed(size_t index, uint32_t nowTick, int64_t unixSeconds,
                   std::vector<ZoneKey> listKeys);
    void failed(size_t index, int64_t unixSeconds);

    // See the header comment; intervalMs is DownloadTime.
    bool failing(size_t index, uint32_t nowTick, uint32_t intervalMs) const;
    // The zones of the entry's last list still listed here as peer zones.
    int32_t zonesHeld(size_t index, const ZoneList& zones) const;

    size_t size() const { return peers.size(); }
    const PeerHealth& operator[](size_t index) const { return peers[index]; }

private:
    std::vector<PeerHealth> peers;
};

// The /peers.json text:
//   {"generated":<unix>,"download_interval_seconds":N,"peers":[{"peer":"<as
//   configured>","address":"a.b.c.d","state":"ok|failing|unknown",
//   "last_outcome":"none|pending|completed|failed","last_attempt":<unix|0>,
//   "last_download":<unix of its end|0>,"last_completed":<unix|0>,
//   "list_zones":N,"zones_held":N,"copy_age_seconds":N|null}, ...]}
// state is "unknown" while no list has come and the peer is not yet failing.
// copy_age_seconds is the age of the copy of its list held here, null
// before the first completed download.
std::string peersJson(const PeerTable& table, const ZoneList& zones, uint32_t nowTick,
                      int64_t unixSeconds, uint32_t intervalMs);

// The per-peer gauges for /metrics and the metrics file.
void appendPeerMetrics(std::string& out, const PeerTable& table, const ZoneList& zones,
                       uint32_t nowTick, uint32_t intervalMs);

}  // namespace kelvaro
