#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "state/history_reader.h"
#include "state/state_store.h"
#include "support/sqlite_query.h"
#include "support/temp_directory.h"

namespace kelvaro {
namespace {

using testing_support::sqliteQuery;
using testing_support::TempDirectory;

constexpr int64_t kHour = 3600;
constexpr int64_t kBase = 1'700'000'000 - 1'700'000'000 % kHour;  // on an hour

uint32_t ip(const char* text) {
    uint32_t address = 0;
    inet_pton(AF_INET, text, &address);
    return address;
}

std::unique_ptr<StateStore> openStore(const std::string& path, const StateStoreOptions& options = {}) {
    StateOpenReport report;
    std::string reason;
    auto store = StateStore::open(path, report, reason, options);
    EXPECT_TRUE(store) << reason;
    return store;
}

// A sample with the zone 10.0.0.1:7000 holding population players, and
// 10.0.0.2:7000 one.
HistorySample sample(int64_t t, uint16_t population) {
    HistorySample row;
    row.unixSeconds = t;
    row.zoneCount = 2;
    row.population = population + 1u;
    row.points = {{{ip("10.0.0.1"), 7000}, population}, {{ip("10.0.0.2"), 7000}, 1}};
    return row;
}

void write(StateStore& store, std::vector<HistorySample> samples) {
    StateBatch batch;
    batch.history = std::move(samples);
    store.submit(std::move(batch));
    ASSERT_TRUE(store.writeQueued());
}

int steps(StateStore& store) {
    int taken = 1;
    for (; taken < 1000 && store.historyStep(); ++taken) {}
    return taken;
}

TEST(HistoryStore, VersionOneFileKeepsNamesAndZonesAndTakesHistory) {
    TempDirectory dir;
    const std::string path = dir.file("old.db");
    {
        // The file exactly as the first schema wrote it.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db,
                               "PRAGMA journal_mode = WAL;"
                               "CREATE TABLE meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL);"
                               "CREATE TABLE names (name TEXT PRIMARY KEY, password TEXT NOT NULL,"
                               " created INTEGER NOT NULL, last_use_ms INTEGER NOT NULL);"
                               "CREATE TABLE zones (address TEXT NOT NULL, port INTEGER NOT NULL,"
                               " population INTEGER NOT NULL, flag INTEGER NOT NULL, word INTEGER NOT NULL,"
                               " name TEXT NOT NULL, description TEXT NOT NULL, source TEXT NOT NULL,"
                               " PRIMARY KEY (address, port)) WITHOUT ROWID;"
                               "PRAGMA user_version = 1;"
                               "INSERT INTO meta VALUES ('clock_ms', 12345);"
                               "INSERT INTO names VALUES ('Alpha', 'pw1', 1, 100), ('Beta', 'pw2', 2, 200);"
                               "INSERT INTO zones VALUES ('10.0.0.1', 7000, 3, 1, 9, 'Alpha', 'a', 'update'),"
                               " ('10.0.0.2', 7001, 4, 0, 8, 'Beta', 'b', 'peer');",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    StateOpenReport report;
    std::string reason;
    auto store = StateStore::open(path, report, reason);
    ASSERT_TRUE(store) << reason;
    EXPECT_FALSE(report.created);
    EXPECT_TRUE(report.renamedTo.empty()) << report.damage;
    EXPECT_EQ(report.migratedFrom, 1);
    StateContents contents;
    ASSERT_TRUE(store->load(contents, reason)) << reason;
    EXPECT_EQ(contents.clockMs, 12345);
    ASSERT_EQ(contents.names.size(), 2u);
    EXPECT_EQ(contents.names[1].name, "Beta");
    EXPECT_EQ(contents.names[1].password, "pw2");
    ASSERT_EQ(contents.zones.size(), 2u);
    EXPECT_EQ(contents.badRows, 0u);
    write(*store, {sample(kBase, 5)});
    store.reset();
    EXPECT_EQ(sqliteQuery(path, "PRAGMA user_version"), std::to_string(kStateSchemaVersion));
    EXPECT_EQ(sqliteQuery(path, "SELECT count(*) FROM history_zone_minutes"), "2");
    // Opened again, nothing is migrated twice.
    EXPECT_EQ(StateStore::open(path, report, reason) != nullptr, true) << reason;
    EXPECT_EQ(report.migratedFrom, 0);
}

TEST(HistoryStore, EndedHoursFoldIntoAverageAndPeak) {
    TempDirectory dir;
    const std::string path = dir.file("h.db");
    auto store = openStore(path);
    ASSERT_TRUE(store);
    // Hour one: the zone has 2, 4, 9 (average 5, peak 9), the totals one
    // more; hour two has begun.
    write(*store, {sample(kBase, 2), sample(kBase + 60, 4), sample(kBase + 120, 9)});
    steps(*store);
    EXPECT_EQ(sqliteQuery(path, "SELECT count(*) FROM history_hours"), "0") << "folded before it ended";
    write(*store, {sample(kBase + kHour, 6)});
    steps(*store);
    EXPECT_EQ(sqliteQuery(path, "SELECT samples || ' ' || population || ' ' || peak_population"
                                " FROM history_hours"),
              "3 6.0 10");
    EXPECT_EQ(sqliteQuery(path, "SELECT population || ' ' || peak_population FROM history_zone_hours"
                                " WHERE address = '10.0.0.1' AND port = 7000"),
              "5.0 9");

    // The reader gives folded hours and the hour under way alike.
    std::string reason;
    auto reader = HistoryReader::open(path, reason);
    ASSERT_TRUE(reader) << reason;
    std::vector<HistoryPoint> points;
    ASSERT_TRUE(reader->zone("10.0.0.1", 7000, kBase, true, points));
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[0].unixSeconds, kBase);
    EXPECT_DOUBLE_EQ(points[0].population, 5);
    EXPECT_DOUBLE_EQ(points[0].peakPopulation, 9);
    EXPECT_EQ(points[1].unixSeconds, kBase + kHour);
    EXPECT_DOUBLE_EQ(points[1].population, 6);
    ASSERT_TRUE(reader->totals(kBase + 60, false, points));
    ASSERT_EQ(points.size(), 3u);
    EXPECT_DOUBLE_EQ(points[0].population, 5);
    EXPECT_DOUBLE_EQ(points[0].zones, 2);
    ASSERT_TRUE(reader->totals(kBase, true, points));
    ASSERT_EQ(points.size(), 2u);
    EXPECT_DOUBLE_EQ(points[0].population, 6);
    EXPECT_DOUBLE_EQ(points[0].peakPopulation, 10);
}

TEST(HistoryStore, OldRowsGoInBoundedStepsAndOnlyOnceFolded) {
    TempDirectory dir;
    const std::string path = dir.file("p.db");
    StateStoreOptions options;
    options.historyMinuteSeconds = kHour;
    options.historyHourSeconds = 3 * kHour;
    options.historyStepRows = 5;
    auto store = openStore(path, options);
    ASSERT_TRUE(store);
    // Three hours of a sample every 5 minutes: 12 minute rows an hour.
    std::vector<HistorySample> samples;
    for (int64_t t = kBase; t < kBase + 3 * kHour; t += 300) samples.push_back(sample(t, 3));
    write(*store, std::move(samples));
    // Two hours fold, then each prune step takes at most five rows a table.
    ASSERT_TRUE(store->historyStep());
    EXPECT_EQ(sqliteQuery(path, "SELECT count(*) FROM history_hours"), "1");
    ASSERT_TRUE(store->historyStep());
    ASSERT_TRUE(store->historyStep());  // first prune step
    EXPECT_EQ(sqliteQuery(path, "SELECT count(*) FROM history_minutes"), std::to_string(36 - 5));
    EXPECT_EQ(sqliteQuery(path, "SELECT count(*) FROM history_zone_minutes"),
              std::to_string(72 - 5));
    EXPECT_GE(steps(*store), 5);
    // Minutes older than an hour before the newest sample (kBase + 2h55m)
    // are gone; the hours they were folded into stay.
    EXPECT_EQ(sqliteQuery(path, "SELECT min(t) FROM history_minutes"),
              std::to_string(kBase + 2 * kHour - 300));
    EXPECT_EQ(sqliteQuery(path, "SELECT count(*) FROM history_hours"), "2");
    EXPECT_EQ(sqliteQuery(path, "SELECT count(*) FROM history_zone_hours"), "4");
    // A later sample pushes the first hour out of its keeping too.
    write(*store, {sample(kBase + 4 * kHour, 3)});
    steps(*store);
    EXPECT_EQ(sqliteQuery(path, "SELECT min(t) || ' ' || max(t) FROM history_hours"),
              std::to_string(kBase + kHour) + " " + std::to_string(kBase + 2 * kHour));
}

}  // namespace
}  // namespace kelvaro
