#pragma once
// Reads the history the state store writes (state_store.h), on a connection
// of its own: the file is in WAL mode, so reading never waits for the writer
// thread, nor the writer for a reader. Every question is answered from an
// index by time or by zone, so it costs the points it returns, not the
// history held. The reader belongs to one thread (the service's).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kelvaro {

// One point of a history: at a minute, zones and population are the sample
// and the peaks equal them; at an hour (unixSeconds its start), they are the
// averages over its samples and the peaks their highest. For one zone only
// population and peakPopulation count.
struct HistoryPoint {
    int64_t unixSeconds = 0;
    double zones = 0;
    double population = 0;
    double peakZones = 0;
    double peakPopulation = 0;
};

class HistoryReader {
public:
    // Opens path (a state file already brought to the current schema by
    // StateStore::open) for reading; null, with reason, when it cannot.
    static std::unique_ptr<HistoryReader> open(const std::string& path, std::string& reason);
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    // The points at or after fromUnixSeconds, oldest first: one per minute
    // sample, or (hourly) one per hour, the hours not folded yet averaged
    // from their minutes. False, with points cleared, when a read fails.
    bool totals(int64_t fromUnixSeconds, bool hourly, std::vector<HistoryPoint>& points);
    // The same for the zone at address (as the zones table writes it) and port.
    bool zone(const std::string& address, uint16_t port, int64_t fromUnixSeconds, bool hourly,
              std::vector<HistoryPoint>& points);

private:
    explicit HistoryReader(sqlite3* database);
    bool read(sqlite3_stmt* statement, std::vector<HistoryPoint>& points);

    sqlite3* db;
    sqlite3_stmt* totalMinutes = nullptr;
    sqlite3_stmt* totalHours = nullptr;
    sqlite3_stmt* zoneMinutes = nullptr;
    sqlite3_stmt* zoneHours = nullptr;
};

}  // namespace kelvaro
