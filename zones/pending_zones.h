#pragma once
// Zones that announced themselves (or came in a peer's list) and have not yet
// proved their address by echoing a ping token. They are not listed, counted
// or written anywhere; they are pinged at once, re-pinged by the usual rule
// (every highPing ms, DropLimit + 1 times) and forgotten when the last re-ping
// goes unanswered. The first reply that echoes a token moves the zone to the
// zone list (the caller does that, through take()).
//
// The table is bounded: at MaxPendingZones the zone pinged longest ago
// without an answer, the one least likely to answer still, is forgotten to
// make room ("---Pending zones full: forgetting the oldest", at most once a
// minute; every one counted in evicted). So a flood of forged updates costs
// at most MaxPendingZones entries and one ping per update taken plus the
// re-pings of the entries held.
//
// Found by address and port through a hash index; the re-ping pass looks only
// at entries that are due, since the entries wait in the order of their last
// ping (they all share InitialHighPing: highPing rises only once listed).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/tick_clock.h"
#include "util/pointer_table.h"
#include "zones/zone_list.h"
#include "zones/zone_passwords.h"
#include "zones/zone_settings.h"

namespace kelvaro {

constexpr uint32_t kDefaultMaxPendingZones = 10000;

struct alignas(16) PendingZone {
    // What will be listed, with the ping state of the zone's first round.
    // zone.source tells whether an update (whose password is checked when
    // the zone is listed) or a peer's list brought it.
    ZoneRecord zone;
    char password[kPasswordSize] = {};

    // Where the entry is held; the table's business.
    PendingZone* older = nullptr;
    PendingZone* newer = nullptr;
    size_t slot = 0;
};

class PendingZones {
public:
    // maxZones 0 is taken as 1: an unbounded table would undo the point.
    PendingZones(const ZoneSettings& settings, uint32_t maxZones);
    PendingZones(const PendingZones&) = delete;
    PendingZones& operator=(const PendingZones&) = delete;

    // New settings for the entries from now on; a table above a lowered
    // maxZones forgets its oldest entries down to it.
    void setSettings(const ZoneSettings& settings, uint32_t maxZones);

    PendingZone* find(const IpAddress& address, uint16_t port) const;

    // A zone not yet held (REQUIRES: find() is null) with its texts and
    // password, its first ping marked as sent now (the caller sends it; it
    // also sets zone.pingRound). When the table is full the oldest entry is
    // forgotten first. The pointer stays valid until take(), remove() or the
    // table's end.
    PendingZone* add(const IpAddress& address, uint16_t port, uint16_t population, uint16_t zoneFlag,
                     uint32_t zoneWord, std::string_view name, std::string_view description,
                     std::string_view password, ZoneSource source);

    // A later announcement of a held zone: new flag, word, texts and password;
    // an update makes the zone an announced one. Its pings go on as they were.
    static void refresh(PendingZone& entry, uint16_t zoneFlag, uint32_t zoneWord,
                        std::string_view name, std::string_view description,
                        std::string_view password, ZoneSource source);

    // Removes entry and hands it to the caller.
    std::unique_ptr<PendingZone> take(PendingZone* entry);
    void remove(PendingZone* entry) { take(entry); }

    // The re-ping pass: every entry whose re-ping is due (more than highPing
    // since its last ping) is either forgotten, when it has had its
    // DropLimit + 1 re-pings, or re-pinged: marked as pinged now and passed
    // to ping(entry), which sends it. Costs what is due, not what is held.
    template <typename Ping>
    void runRetries(Ping&& ping);

    // Removes every entry for which doomed(entry) holds; returns how many.
    template <typename Doomed>
    size_t removeIf(Doomed&& doomed);

    int32_t count() const { return static_cast<int32_t>(entries.size()); }
    uint32_t capacity() const { return maxZones; }

    uint64_t added = 0;      // zones taken in (each sent its first ping)
    uint64_t evicted = 0;    // forgotten to make room for a newer one
    uint64_t forgotten = 0;  // forgotten after their last re-ping went unanswered

private:
    struct EntryHash {
        uint64_t operator()(const PendingZone& entry) const;
    };
    void linkNewest(PendingZone* entry);
    void unlink(PendingZone* entry);
    void evictOldest();

    ZoneSettings settings;
    uint32_t maxZones;
    std::vector<std::unique_ptr<PendingZone>> entries;  // owners, in no order
    PointerTable<PendingZone, EntryHash> index;
    PendingZone* oldest = nullptr;  // pinged longest ago
    PendingZone* newest = nullptr;
    bool reportedFull = false;
    uint32_t lastFullReportTick = 0;
};

template <typename Ping>
void PendingZones::runRetries(Ping&& ping) {
    // Each visited entry either leaves or moves behind every entry that is
    // not due, so the pass ends after at most count() steps.
    for (size_t steps = entries.size(); steps > 0 && oldest != nullptr; --steps) {
        PendingZone* entry = oldest;
        if (!intervalPassed(tickCount(), entry->zone.lastPingTick, entry->zone.highPing)) return;
        // The drop is judged when the next re-ping falls due, so the last
        // re-ping, like every other, has highPing ms to be answered.
        if (entry->zone.dropDue(settings.DropLimit)) {
            ++forgotten;
            remove(entry);
            continue;
        }
        entry->zone.retryDue();  // true: the interval has passed
        unlink(entry);
        linkNewest(entry);
        ping(*entry);
    }
}

template <typename Doomed>
size_t PendingZones::removeIf(Doomed&& doomed) {
    std::vector<PendingZone*> marked;
    for (const auto& entry : entries)
        if (doomed(*entry)) marked.push_back(entry.get());
    for (PendingZone* entry : marked) remove(entry);
    return marked.size();
}

}  // namespace kelvaro
