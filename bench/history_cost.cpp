// What the population history costs: the time a sample takes on the service
// iteration at a large list (in memory, and handed to the state file), and
// the rows and bytes a day of samples adds to the state file.
//
//   history_cost [sampled zones] [file zones] [hours written]
//
// Defaults: samples of 100000 zones; a file of 10000 zones with 3 hours of
// one-minute samples, whose size per row is taken to a day (1440 minute
// rows and 24 hourly rows per zone). The file lives in a temporary directory
// that is removed at the end.

#include <arpa/inet.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <memory>
#include <string>

#include "service/history_keeper.h"
#include "service/state_keeper.h"
#include "zones/zone_list.h"
#include "zones/zone_passwords.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kelvaro;

constexpr int64_t kStart = 1'700'000'000 - 1'700'000'000 % 3600;
constexpr int kSamplesTimed = 20;

void fill(ZoneList& zones, int count) {
    zones.printAdds(false);
    for (int i = 0; i < count; ++i) {
        const uint32_t address = htonl(0x0A000000u + static_cast<uint32_t>(i / 4));
        const std::string name = "Zone" + std::to_string(i);
        zones.addOrUpdate(address, static_cast<uint16_t>(7000 + i % 4), static_cast<uint16_t>(i % 50),
                          0, 0, name, "a zone");
    }
}

// The slowest of kSamplesTimed samples, in microseconds.
double slowestSample(HistoryKeeper& history, const ZoneList& zones) {
    double slowest = 0;
    for (int i = 0; i < kSamplesTimed; ++i) {
        const auto began = Clock::now();
        history.sample(zones, kStart + i * 60);
        slowest = std::max(slowest, std::chrono::duration<double, std::micro>(Clock::now() - began).count());
    }
    return slowest;
}

int64_t fileBytes(const std::string& path) {
    sqlite3* db = nullptr;
    int64_t bytes = -1;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT page_count * page_size FROM pragma_page_count, pragma_page_size",
                               -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            bytes = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    const int sampled = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int filed = argc > 2 ? std::atoi(argv[2]) : 10000;
    const int hours = argc > 3 ? std::max(2, std::atoi(argv[3])) : 3;
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kelvaro-history-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);

    {
        ZoneList zones;
        fill(zones, sampled);
        HistoryKeeper memory(60);
        std::printf("sample of %d zones, in memory: slowest %.0f us of %d\n", sampled,
                    slowestSample(memory, zones), kSamplesTimed);
        // Handed to the state keeper, which takes it into its next batch.
        StateOpenReport report;
        std::string reason;
        auto store = StateStore::open((dir / "sampled.db").string(), report, reason);
        if (!store) {
            std::printf("cannot open a state file: %s\n", reason.c_str());
            return 1;
        }
        ZonePasswords passwords;
        StateKeeper state(std::move(store), passwords, zones, 0);
        HistoryKeeper history(60);
        history.useStore(&state, nullptr);
        std::printf("sample of %d zones, to the state file: slowest %.0f us of %d\n", sampled,
                    slowestSample(history, zones), kSamplesTimed);
    }

    const std::string path = (dir / "history.db").string();
    StateOpenReport report;
    std::string reason;
    auto store = StateStore::open(path, report, reason);
    if (!store) {
        std::printf("cannot open %s: %s\n", path.c_str(), reason.c_str());
        return 1;
    }
    const int64_t empty = fileBytes(path);
    HistorySample sample;
    sample.zoneCount = static_cast<uint32_t>(filed);
    for (int i = 0; i < filed; ++i)
        sample.points.push_back({{htonl(0x0A000000u + static_cast<uint32_t>(i / 4)),
                                  static_cast<uint16_t>(7000 + i % 4)},
                                 static_cast<uint16_t>(i % 50)});
    const auto began = Clock::now();
    for (int minute = 0; minute < hours * 60; ++minute) {
        HistorySample row = sample;
        row.unixSeconds = kStart + minute * 60;
        StateBatch batch;
        batch.history.push_back(std::move(row));
        store->submit(std::move(batch));
        if (!store->writeQueued()) {
            std::printf("a write failed: %s\n", store->status().lastFailure.c_str());
            return 1;
        }
    }
    const double writeSeconds = std::chrono::duration<double>(Clock::now() - began).count();
    const int64_t minutesOnly = fileBytes(path);
    const auto foldBegan = Clock::now();
    int steps = 0;
    while (steps < 10000 && store->historyStep()) ++steps;
    const double foldSeconds = std::chrono::duration<double>(Clock::now() - foldBegan).count();
    const int64_t withHours = fileBytes(path);
    store.reset();

    const double minuteRows = static_cast<double>(hours) * 60 * filed;
    const double perMinuteRow = static_cast<double>(minutesOnly - empty) / minuteRows;
    const double hourRows = static_cast<double>(hours - 1) * filed;  // the last hour is not over
    const double perHourRow = static_cast<double>(withHours - minutesOnly) / hourRows;
    std::printf("file of %d zones, %d h of minute samples: %.1f s to write (%.0f ms a sample), "
                "%lld bytes; fold of %d h: %.2f s in %d steps\n",
                filed, hours, writeSeconds, writeSeconds * 1000 / (hours * 60),
                static_cast<long long>(minutesOnly - empty), hours - 1, foldSeconds, steps);
    std::printf("bytes a zone-minute row %.1f, a zone-hour row %.1f\n", perMinuteRow, perHourRow);
    const double rowsPerDay = 1440.0 * (filed + 1) + 24.0 * (filed + 1);
    std::printf("a day at %d zones: %.0f rows (%.0f minute, %.0f hourly), %.0f bytes a zone a day "
                "(%.0f MB a day; minutes are kept 2 days, hours 90)\n",
                filed, rowsPerDay, 1440.0 * (filed + 1), 24.0 * (filed + 1),
                1440 * perMinuteRow + 24 * perHourRow,
                (1440 * perMinuteRow + 24 * perHourRow) * filed / 1e6);
    std::error_code error;
    std::filesystem::remove_all(dir, error);
    return 0;
}
