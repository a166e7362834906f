#pragma once
// The population history: once an interval (a minute; [Directory]
// HistoryInterval), on the wall clock's boundaries, the total zones, the
// total players and each zone's players. With a state file the samples go to
// it with the next batch (the store writes, folds and prunes them on its own
// thread) and questions are read back from it; without one the last 24 hours
// stay in memory, within kHistoryMemoryPoints zone points.
//
// A sample costs the service iteration one walk of the list into a vector of
// plain values (eight bytes a zone); addresses become text on the writer.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "state/history_reader.h"
#include "state/state_store.h"
#include "zones/zone_list.h"

namespace kelvaro {

class StateKeeper;

constexpr int64_t kHistoryDaySeconds = 86400;
constexpr int64_t kHistoryHourSeconds = 3600;
// Zone points the memory keeps at the most (about 32 MB); past it the oldest
// samples keep their totals and lose their zones.
constexpr size_t kHistoryMemoryPoints = 4'000'000;

enum class HistoryRange { Day, Week, Quarter };

// What /history.json is asked: a range, and perhaps one zone.
struct HistoryQuery {
    HistoryRange range = HistoryRange::Day;
    bool forZone = false;
    IpAddress address;
    uint16_t port = 0;
};

// Reads the request's arguments (name, value): range=24h|7d|90d (24h when
// absent) and zone=ADDRESS:PORT. False, with a one-line reason, for an
// unknown or repeated argument or a value outside those.
bool parseHistoryQuery(const std::vector<std::pair<std::string, std::string>>& arguments,
                       HistoryQuery& query, std::string& reason);

// The document: {"range":"24h","points":[[t,zones,population],...]}, or for
// one zone {"range":..,"zone":"ADDR:PORT","points":[[t,population],...]};
// hourly ranges add "peaks" alongside, [t,peak_zones,peak_population] (one
// zone: [t,peak_population]). Averages have at most two decimals.
std::string historyJson(const HistoryQuery& query, const std::vector<HistoryPoint>& points);

// The last day of samples, in memory.
class HistoryMemory {
public:
    void add(HistorySample sample);
    void totals(int64_t fromUnixSeconds, bool hourly, std::vector<HistoryPoint>& points) const;
    void zone(StoredZoneKey key, int64_t fromUnixSeconds, bool hourly,
              std::vector<HistoryPoint>& points) const;
    size_t samples() const { return held.size(); }
    size_t zonePoints() const { return pointsHeld; }

private:
    std::deque<HistorySample> held;  // oldest first
    size_t pointsHeld = 0;
    size_t firstWithPoints = 0;      // held before it have lost their zones
};

// Minute points folded into hourly ones (average and peak), oldest first.
std::vector<HistoryPoint> foldHours(const std::vector<HistoryPoint>& minutes);

class HistoryKeeper {
public:
    explicit HistoryKeeper(int64_t intervalSeconds);

    // From now on samples go to state and questions to reader.
    void useStore(StateKeeper* state, std::unique_ptr<HistoryReader> reader);
    // Takes a sample when unixSeconds has crossed an interval's boundary
    // since the last call (the first call only sets the boundary). True when
    // it took one.
    bool iterate(const ZoneList& zones, int64_t unixSeconds);
    // The sample at unixSeconds, whenever asked (tests).
    void sample(const ZoneList& zones, int64_t unixSeconds);

    // The points for query, up to nowUnixSeconds. False when the file
    // cannot be read.
    bool points(const HistoryQuery& query, int64_t nowUnixSeconds, std::vector<HistoryPoint>& out) const;

    uint64_t samplesTaken() const { return taken; }
    bool readsFile() const { return reader != nullptr; }
    uint64_t slowestSampleMicros() const { return slowestMicros; }

private:
    int64_t interval;
    int64_t lastSlot = -1;
    uint64_t taken = 0;
    uint64_t slowestMicros = 0;
    StateKeeper* state = nullptr;
    std::unique_ptr<HistoryReader> reader;
    HistoryMemory memory;
};

}  // namespace kelvaro
