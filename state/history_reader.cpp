#include "state/history_reader.h"

#include <sqlite3.h>

namespace kelvaro {
namespace {

constexpr const char* kTotalMinutes =
    "SELECT t, zones, population, zones, population FROM history_minutes WHERE t >= ?1 ORDER BY t";
// Folded hours, then the hours after them (the current one, at least) from
// their minutes: a directory that has run for a few minutes has an hour too.
constexpr const char* kTotalHours =
    "SELECT t, zones, population, peak_zones, peak_population FROM history_hours WHERE t >= ?1"
    " UNION ALL SELECT (t / 3600) * 3600 AS hour, avg(zones), avg(population), max(zones),"
    " max(population) FROM history_minutes WHERE t >= max((?1 / 3600) * 3600,"
    " coalesce((SELECT max(t) + 3600 FROM history_hours), 0)) GROUP BY hour ORDER BY 1";
constexpr const char* kZoneMinutes =
    "SELECT t, 0, population, 0, population FROM history_zone_minutes"
    " WHERE address = ?2 AND port = ?3 AND t >= ?1 ORDER BY t";
constexpr const char* kZoneHours =
    "SELECT t, 0, population, 0, peak_population FROM history_zone_hours"
    " WHERE address = ?2 AND port = ?3 AND t >= ?1"
    " UNION ALL SELECT (t / 3600) * 3600 AS hour, 0, avg(population), 0, max(population)"
    " FROM history_zone_minutes WHERE address = ?2 AND port = ?3 AND t >= max((?1 / 3600) * 3600,"
    " coalesce((SELECT max(t) + 3600 FROM history_hours), 0)) GROUP BY hour ORDER BY 1";

sqlite3_stmt* prepared(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK)
        return nullptr;
    return statement;
}

}  // namespace

std::unique_ptr<HistoryReader> HistoryReader::open(const std::string& path, std::string& reason) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        reason = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 50);
    std::unique_ptr<HistoryReader> reader(new HistoryReader(db));
    if (!reader->totalMinutes || !reader->totalHours || !reader->zoneMinutes || !reader->zoneHours) {
        reason = sqlite3_errmsg(db);
        return nullptr;
    }
    return reader;
}

HistoryReader::HistoryReader(sqlite3* database)
    : db(database),
      totalMinutes(prepared(database, kTotalMinutes)),
      totalHours(prepared(database, kTotalHours)),
      zoneMinutes(prepared(database, kZoneMinutes)),
      zoneHours(prepared(database, kZoneHours)) {}

HistoryReader::~HistoryReader() {
    for (sqlite3_stmt* statement : {totalMinutes, totalHours, zoneMinutes, zoneHours})
        sqlite3_finalize(statement);
    sqlite3_close(db);
}

bool HistoryReader::totals(int64_t fromUnixSeconds, bool hourly, std::vector<HistoryPoint>& points) {
    sqlite3_stmt* statement = hourly ? totalHours : totalMinutes;
    sqlite3_bind_int64(statement, 1, fromUnixSeconds);
    return read(statement, points);
}

bool HistoryReader::zone(const std::string& address, uint16_t port, int64_t fromUnixSeconds,
                         bool hourly, std::vector<HistoryPoint>& points) {
    sqlite3_stmt* statement = hourly ? zoneHours : zoneMinutes;
    sqlite3_bind_int64(statement, 1, fromUnixSeconds);
    sqlite3_bind_text(statement, 2, address.data(), static_cast<int>(address.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(statement, 3, port);
    return read(statement, points);
}

bool HistoryReader::read(sqlite3_stmt* statement, std::vector<HistoryPoint>& points) {
    points.clear();
    int code = SQLITE_OK;
    while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
        points.push_back({sqlite3_column_int64(statement, 0), sqlite3_column_double(statement, 1),
                          sqlite3_column_double(statement, 2), sqlite3_column_double(statement, 3),
                          sqlite3_column_double(statement, 4)});
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (code == SQLITE_DONE) return true;
    points.clear();
    return false;
}

}  // namespace kelvaro
