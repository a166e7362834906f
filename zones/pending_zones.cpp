#include "zones/pending_zones.h"

#include <algorithm>
#include <cstdio>

#include "util/bytes.h"

namespace kelvaro {
namespace {

constexpr uint32_t kFullReportIntervalMs = 60000;

}  // namespace

uint64_t PendingZones::EntryHash::operator()(const PendingZone& entry) const {
    return ipPortHashKey(entry.zone.address, entry.zone.port);
}

PendingZones::PendingZones(const ZoneSettings& zoneSettings, uint32_t maxPending)
    : settings(zoneSettings), maxZones(std::max<uint32_t>(maxPending, 1)) {}

void PendingZones::setSettings(const ZoneSettings& zoneSettings, uint32_t maxPending) {
    settings = zoneSettings;
    maxZones = std::max<uint32_t>(maxPending, 1);
    while (entries.size() > maxZones && oldest != nullptr) evictOldest();
}

PendingZone* PendingZones::find(const IpAddress& address, uint16_t port) const {
    return index.find(ipPortHashKey(address, port), [&](const PendingZone& entry) {
        return entry.zone.matches(address, port);
    });
}

PendingZone* PendingZones::add(const IpAddress& address, uint16_t port, uint16_t population,
                               uint16_t zoneFlag, uint32_t zoneWord, std::string_view name,
                               std::string_view description, std::string_view password,
                               ZoneSource source) {
    if (entries.size() >= maxZones) evictOldest();
    auto entry = std::make_unique<PendingZone>();
    ZoneRecord& zone = entry->zone;
    zone.highPing = settings.InitialHighPing;
    zone.address = address;
    zone.port = port;
    zone.population = population;
    zone.zoneFlag = zoneFlag != 0 ? 1 : 0;
    zone.zoneWord = zoneWord;
    zone.setText(name, description);
    zone.source = source;
    zone.lastHeardTick = tickCount();
    zone.startSweepPing();  // no owner: only the ping fields change
    storeText(entry->password, sizeof entry->password, password);
    PendingZone* raw = entry.get();
    raw->slot = entries.size();
    entries.push_back(std::move(entry));
    index.insert(raw);
    linkNewest(raw);
    ++added;
    return raw;
}

void PendingZones::refresh(PendingZone& entry, uint16_t zoneFlag, uint32_t zoneWord,
                           std::string_view name, std::string_view description,
                           std::string_view password, ZoneSource source) {
    entry.zone.zoneFlag = zoneFlag != 0 ? 1 : 0;
    entry.zone.zoneWord = zoneWord;
    entry.zone.setText(name, description);
    if (source == ZoneSource::Update) {
        entry.zone.source = ZoneSource::Update;
        entry.zone.lastHeardTick = tickCount();
        storeText(entry.password, sizeof entry.password, password);
    }
}

std::unique_ptr<PendingZone> PendingZones::take(PendingZone* entry) {
    if (entry == nullptr || entry->slot >= entries.size() || entries[entry->slot].get() != entry)
        return nullptr;
    unlink(entry);
    index.erase(entry);
    // The last owner fills the hole, so removal costs the same at any size.
    const size_t slot = entry->slot;
    std::unique_ptr<PendingZone> owned = std::move(entries[slot]);
    if (slot + 1 != entries.size()) {
        entries[slot] = std::move(entries.back());
        entries[slot]->slot = slot;
    }
    entries.pop_back();
    return owned;
}

void PendingZones::linkNewest(PendingZone* entry) {
    entry->older = newest;
    entry->newer = nullptr;
    if (newest != nullptr) newest->newer = entry;
    else oldest = entry;
    newest = entry;
}

void PendingZones::unlink(PendingZone* entry) {
    if (entry->older != nullptr) entry->older->newer = entry->newer;
    else oldest = entry->newer;
    if (entry->newer != nullptr) entry->newer->older = entry->older;
    else newest = entry->older;
    entry->older = nullptr;
    entry->newer = nullptr;
}

void PendingZones::evictOldest() {
    if (oldest == nullptr) return;
    ++evicted;
    remove(oldest);
    const uint32_t now = tickCount();
    if (reportedFull && !intervalPassed(now, lastFullReportTick, kFullReportIntervalMs)) return;
    reportedFull = true;
    lastFullReportTick = now;
    std::printf("---Pending zones full: forgetting the oldest (%u held)\n", maxZones);
}

}  // namespace kelvaro
