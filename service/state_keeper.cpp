#include "service/state_keeper.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <utility>

#include "platform/tick_clock.h"
#include "service/zone_json.h"
#include "util/bytes.h"

namespace kelvaro {
namespace {

template <size_t N>
std::string fieldText(const char (&field)[N]) {
    return std::string(field, boundedLength(field, N));
}

template <typename T>
void sortUnique(std::vector<T>& values) {
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
}

}  // namespace

StoredZone storedZone(const ZoneRecord& zone) {
    const ZoneEntry entry = entryOf(zone);
    StoredZone row;
    row.address = entry.address;
    row.port = entry.port;
    row.population = entry.population;
    row.flag = entry.zoneFlag;
    row.word = entry.zoneWord;
    row.name = entry.name;
    row.description = entry.description;
    row.fromPeer = zone.source == ZoneSource::Peer;
    return row;
}

uint32_t clampStoredTimes(StateContents& contents) {
    uint32_t changed = 0;
    const auto clamp = [&changed](int64_t& value, int64_t low, int64_t high) {
        const int64_t kept = std::clamp(value, low, high);
        if (kept != value) ++changed;
        value = kept;
    };
    clamp(contents.clockMs, 0, kMaxClockMs);
    for (StoredName& name : contents.names)
        clamp(name.lastUseMs, -int64_t{std::numeric_limits<uint32_t>::max()}, kMaxClockMs);
    return changed;
}

StateKeeper::StateKeeper(std::unique_ptr<StateStore> store, ZonePasswords& registry,
                         ZoneList& list, int64_t clockMs)
    : store_(std::move(store)),
      passwords(registry),
      zones(list),
      clock(std::clamp<int64_t>(clockMs, 0, kMaxClockMs)),
      clockTick(tickCount()),
      lastSubmitTick(tickCount()) {}

StateKeeper::~StateKeeper() { stop(); }

int64_t StateKeeper::clockMs() {
    const uint32_t now = tickCount();
    // Saturates, so that a file restored at the top of the range is never
    // written beyond it.
    clock = std::min(clock + int64_t{elapsedMs(now, clockTick)}, kMaxClockMs);
    clockTick = now;
    return clock;
}

uint32_t StateKeeper::restoreNames(const std::vector<StoredName>& names, uint32_t reclaimDelay) {
    const int64_t now = clockMs();
    const uint32_t tick = tickCount();
    // Past the delay every idle time means the same; the cap also keeps the
    // difference clear of the tick counter's wrap.
    const int64_t longest =
        std::min<int64_t>(int64_t{reclaimDelay} + 1, std::numeric_limits<int32_t>::max());
    uint32_t restored = 0;
    for (const StoredName& name : names) {
        const int64_t idle = std::clamp<int64_t>(now - name.lastUseMs, 0, longest);
        if (passwords.restore(name.name, name.password, tick - static_cast<uint32_t>(idle)) != nullptr)
            ++restored;
        else
            removedNames.push_back(name.name);
    }
    // The registry numbered what it took afresh: write them all again.
    if (!removedNames.empty()) writeAllNames();
    return restored;
}

void StateKeeper::writeAllNames() {
    const uint32_t tick = tickCount();
    namesNext.clear();
    for (auto* node = passwords.head(); node != nullptr; node = node->next)
        namesNext.push_back(storedName(*node->element, tick));
}

void StateKeeper::start() {
    if (started) return;
    started = true;
    zones.trackChanges(true);
    passwords.trackChanges(true);
    store_->start();
    lastSubmitTick = tickCount();
}

void StateKeeper::iterate() {
    if (!started || stopped) return;
    reportWriter();
    if (!building) {
        if (!intervalPassed(tickCount(), lastSubmitTick, kStateWriteIntervalMs - 1)) return;
        beginBatch(snapshotNext);
        snapshotNext = false;
    }
    continueBatch(kStateRowsPerIteration);
}

void StateKeeper::stop() {
    if (!started || stopped) return;
    // What the batch being prepared has not looked at yet is still in its
    // work lists; whatever changed since goes in a last batch.
    if (building) continueBatch(SIZE_MAX);
    beginBatch(snapshotNext);
    continueBatch(SIZE_MAX);
    store_->finish();
    reportWriter();
    stopped = true;
    zones.trackChanges(false);
    passwords.trackChanges(false);
}

StoredName StateKeeper::storedName(const ZonePassword& record, uint32_t now) {
    return {fieldText(record.name), std::string(record.currentPassword()), int64_t{record.sequence},
            clock - int64_t{elapsedMs(now, record.lastUseTick)}};
}

// Takes the logs (or, for a snapshot, every record) as the work of a batch.
// Records logged again while the batch is prepared go in the next one.
void StateKeeper::beginBatch(bool complete) {
    batch = {};
    batch.clockMs = clockMs();
    batch.complete = complete;
    lastSubmitTick = tickCount();
    zones.takeChangedKeys(zoneKeys);
    passwords.takeChanged(changedNames);
    if (complete) {
        zoneKeys.clear();
        changedNames.clear();
        for (auto* node = zones.head(); node != nullptr; node = node->next)
            zoneKeys.push_back(zoneKey(node->element->address, node->element->port));
        for (auto* node = passwords.head(); node != nullptr; node = node->next)
            changedNames.push_back(node->element.get());
    } else {
        zoneKeys.insert(zoneKeys.end(), removedZones.begin(), removedZones.end());
        sortUnique(zoneKeys);
        sortUnique(changedNames);
        batch.names = std::move(namesNext);
    }
    namesNext.clear();
    removedZones.clear();
    batch.history = std::move(history);
    history.clear();
    // Names go from the file only when the registry refused them at start.
    for (std::string& name : removedNames) {
        StoredName gone;
        gone.name = std::move(name);
        gone.created = -1;  // the store deletes a row with a negative order
        batch.names.push_back(std::move(gone));
    }
    removedNames.clear();
    zoneKeysDone = 0;
    changedNamesDone = 0;
    building = true;
}

bool StateKeeper::continueBatch(size_t limit) {
    const uint32_t now = tickCount();
    size_t done = 0;
    for (; changedNamesDone < changedNames.size() && done < limit; ++changedNamesDone, ++done)
        batch.names.push_back(storedName(*changedNames[changedNamesDone], now));
    for (; zoneKeysDone < zoneKeys.size() && done < limit; ++zoneKeysDone, ++done) {
        const ZoneKey key = zoneKeys[zoneKeysDone];
        if (const ZoneRecord* zone = zones.find(zoneKeyAddress(key), zoneKeyPort(key)))
            batch.zones.push_back(storedZone(*zone));
        else
            batch.removedZones.push_back({zoneKeyAddress(key), zoneKeyPort(key)});
    }
    if (changedNamesDone < changedNames.size() || zoneKeysDone < zoneKeys.size()) return false;
    building = false;
    zoneKeys.clear();
    changedNames.clear();
    store_->submit(std::move(batch));
    batch = {};
    return true;
}

void StateKeeper::reportWriter() {
    const StateWriterStatus status = store_->status();
    if (status.snapshotWanted) snapshotNext = true;
    const uint32_t now = tickCount();
    if (status.failures != failuresSeen && status.failing) {
        if (!failingSeen || intervalPassed(now, lastFailureLineTick, kStateFailureReportMs - 1)) {
            std::printf("---State write failed: %s: %s\n", store_->path().c_str(),
                        status.lastFailure.c_str());
            lastFailureLineTick = now;
        }
        failingSeen = true;
    } else if (failingSeen && !status.failing) {
        std::printf("---State write resumed: %s\n", store_->path().c_str());
        failingSeen = false;
    }
    failuresSeen = status.failures;
}

}  // namespace kelvaro
