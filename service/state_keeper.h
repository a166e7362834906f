#pragma once
// The service's side of the state file: turns the zone name passwords and the
// listed zones into rows for the store (state/state_store.h), puts the names
// of a previous run back, and once a second hands the store what changed
// since the last time, so that a crash loses at most about a second.
//
// Only changed rows are prepared: the zone list and the registry log what
// changes (trackChanges), and a second's batch costs what changed in that
// second, not what is held. The writing itself is the store's thread's.
//
// Console lines: "---State write failed: <path>: <reason>" when a write
// fails (at once, then at most once a minute while it goes on failing; the
// rows are kept and tried again) and "---State write resumed: <path>" once
// one succeeds again.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "state/state_store.h"
#include "zones/zone_list.h"
#include "zones/zone_passwords.h"

namespace kelvaro {

constexpr uint32_t kStateWriteIntervalMs = 1000;
// Rows prepared in one iteration at the most: a second's batch with more
// (the first one after a busy start, a snapshot) is prepared over several.
constexpr size_t kStateRowsPerIteration = 16384;
constexpr uint32_t kStateFailureReportMs = 60000;

// The row a listed zone is kept as, and back.
StoredZone storedZone(const ZoneRecord& zone);

// The directory clock starts at 0 and counts milliseconds of service up to
// this (146 million years), where it stays; below it every sum and difference
// of clock values and 32-bit intervals stays far from overflow.
constexpr int64_t kMaxClockMs = int64_t{1} << 62;

// Brings the times read from a file into the range a directory writes: the
// clock into [0, kMaxClockMs], each name's lastUseMs into [-UINT32_MAX,
// kMaxClockMs] (a name idle since before the clock began is written a little
// below 0). Returns how many values it had to change, so that the caller can
// say once that the file was not written by a directory.
uint32_t clampStoredTimes(StateContents& contents);

class StateKeeper {
public:
    // clockMs: the directory clock the file held (0 for a new file).
    StateKeeper(std::unique_ptr<StateStore> store, ZonePasswords& passwords, ZoneList& zones,
                int64_t clockMs);
    ~StateKeeper();  // stop()
    StateKeeper(const StateKeeper&) = delete;
    StateKeeper& operator=(const StateKeeper&) = delete;

    // Puts the names back in their order; a name's time since last use is
    // taken on the directory clock, so the time the directory was down does
    // not count (a name past reclaimDelay stays reclaimable). Names the
    // registry refuses are taken out of the file, and the rest written again
    // so their order stays whole. Returns how many were put back.
    uint32_t restoreNames(const std::vector<StoredName>& names, uint32_t reclaimDelay);
    // Has the next batch write every name the registry holds, as they are
    // now (after a restore that had to change what it read, say).
    void writeAllNames();

    // A zone of the file that is not listed after all (refused, banned, or
    // never proved its address): its row goes with the next batch.
    void forgetZone(const IpAddress& address, uint16_t port) { removedZones.push_back(zoneKey(address, port)); }

    // A history sample, written with the next batch.
    void addHistory(HistorySample&& sample) {
        if (!stopped) history.push_back(std::move(sample));
    }

    // Starts logging changes and the store's writer.
    void start();
    // Hands over a batch when a second has passed since the last, and
    // prints what the writer has to say.
    void iterate();
    // The last batch and the end of the writer (at stop). Idempotent.
    void stop();

    const StateStore& store() const { return *store_; }
    int64_t clockMs();  // the directory clock now

private:
    void beginBatch(bool complete);
    // Prepares up to limit rows of the batch begun; true once it is whole
    // and handed over.
    bool continueBatch(size_t limit);
    void reportWriter();
    StoredName storedName(const ZonePassword& record, uint32_t now);

    std::unique_ptr<StateStore> store_;
    ZonePasswords& passwords;
    ZoneList& zones;
    int64_t clock;          // the directory clock at clockTick
    uint32_t clockTick;
    uint32_t lastSubmitTick;
    bool started = false;
    bool stopped = false;
    bool snapshotNext = false;  // the next batch carries everything
    // The writer's state as last reported.
    uint64_t failuresSeen = 0;
    bool failingSeen = false;
    uint32_t lastFailureLineTick = 0;
    std::vector<ZoneKey> removedZones;
    std::vector<HistorySample> history;  // samples for the next batch
    std::vector<StoredName> namesNext;  // rows for the next batch beyond the logged ones
    std::vector<std::string> removedNames;
    // The batch being prepared, and what it has still to look at.
    bool building = false;
    StateBatch batch;
    std::vector<ZoneKey> zoneKeys;
    size_t zoneKeysDone = 0;
    std::vector<const ZonePassword*> changedNames;
    size_t changedNamesDone = 0;
};

}  // namespace kelvaro
