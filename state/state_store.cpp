#include "state/state_store.h"

#include <arpa/inet.h>
#include <sqlite3.h>
#include <pthread.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

namespace kelvaro {
namespace {

// The schema as it first was; a new file gets it and then every step below.
constexpr const char* kSchemaV1 =
    "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS names (name TEXT PRIMARY KEY, password TEXT NOT NULL,"
    " created INTEGER NOT NULL, last_use_ms INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS zones (address TEXT NOT NULL, port INTEGER NOT NULL,"
    " population INTEGER NOT NULL, flag INTEGER NOT NULL, word INTEGER NOT NULL,"
    " name TEXT NOT NULL, description TEXT NOT NULL, source TEXT NOT NULL,"
    " PRIMARY KEY (address, port)) WITHOUT ROWID;"
    "PRAGMA user_version = 1;";

// One step per version, in order: steps[i] takes a file from version i + 1
// to i + 2 and sets user_version itself, in the same transaction as its
// changes, so a file is always at one version or the next, never between.
// A later version appends its step here.
struct MigrationStep {
    int from;
    const char* sql;
};
constexpr MigrationStep kMigrations[] = {
    // History: minute rows, and hourly rows folded from them. The zone's
    // address is kept as text, the way the zones table has it.
    {1,
     "CREATE TABLE history_minutes (t INTEGER PRIMARY KEY, zones INTEGER NOT NULL,"
     " population INTEGER NOT NULL);"
     "CREATE TABLE history_zone_minutes (t INTEGER NOT NULL, address TEXT NOT NULL,"
     " port INTEGER NOT NULL, population INTEGER NOT NULL,"
     " PRIMARY KEY (t, address, port)) WITHOUT ROWID;"
     "CREATE INDEX history_zone_minutes_by_zone ON history_zone_minutes (address, port, t);"
     "CREATE TABLE history_hours (t INTEGER PRIMARY KEY, samples INTEGER NOT NULL,"
     " zones REAL NOT NULL, population REAL NOT NULL, peak_zones INTEGER NOT NULL,"
     " peak_population INTEGER NOT NULL);"
     "CREATE TABLE history_zone_hours (address TEXT NOT NULL, port INTEGER NOT NULL,"
     " t INTEGER NOT NULL, samples INTEGER NOT NULL, population REAL NOT NULL,"
     " peak_population INTEGER NOT NULL, PRIMARY KEY (address, port, t)) WITHOUT ROWID;"
     "CREATE INDEX history_zone_hours_by_time ON history_zone_hours (t);"
     "PRAGMA user_version = 2;"},
    // IPv6 zones: the address column already holds text of either family;
    // the family says which, so a reader never guesses from the text. Every
    // row a version 2 file holds is IPv4.
    {2,
     "ALTER TABLE zones ADD COLUMN family INTEGER NOT NULL DEFAULT 4;"
     "PRAGMA user_version = 3;"},
};
static_assert(std::size(kMigrations) == kStateSchemaVersion - 1, "one step per version");

constexpr const char* kInsertMinute =
    "INSERT INTO history_minutes (t, zones, population) VALUES (?1, ?2, ?3)"
    " ON CONFLICT (t) DO UPDATE SET zones = ?2, population = ?3";
constexpr const char* kInsertZoneMinute =
    "INSERT INTO history_zone_minutes (t, address, port, population) VALUES (?1, ?2, ?3, ?4)"
    " ON CONFLICT (t, address, port) DO UPDATE SET population = ?4";
// The first hour not folded yet that has minute rows and has ended by ?1.
constexpr const char* kNextHourToFold =
    "SELECT (min(t) / 3600) * 3600 FROM history_minutes"
    " WHERE t >= coalesce((SELECT max(t) + 3600 FROM history_hours), 0)";
constexpr const char* kFoldHour =
    "INSERT OR REPLACE INTO history_hours (t, samples, zones, population, peak_zones,"
    " peak_population) SELECT ?1, count(*), avg(zones), avg(population), max(zones),"
    " max(population) FROM history_minutes WHERE t >= ?1 AND t < ?1 + 3600";
constexpr const char* kFoldZoneHour =
    "INSERT OR REPLACE INTO history_zone_hours (address, port, t, samples, population,"
    " peak_population) SELECT address, port, ?1, count(*), avg(population), max(population)"
    " FROM history_zone_minutes WHERE t >= ?1 AND t < ?1 + 3600 GROUP BY address, port";
// Pruning: each statement deletes at most ?2 rows older than ?1, oldest first.
constexpr const char* kPruneMinutes =
    "DELETE FROM history_minutes WHERE t IN"
    " (SELECT t FROM history_minutes WHERE t < ?1 ORDER BY t LIMIT ?2)";
constexpr const char* kPruneZoneMinutes =
    "DELETE FROM history_zone_minutes WHERE (t, address, port) IN"
    " (SELECT t, address, port FROM history_zone_minutes WHERE t < ?1 ORDER BY t LIMIT ?2)";
constexpr const char* kPruneHours =
    "DELETE FROM history_hours WHERE t IN"
    " (SELECT t FROM history_hours WHERE t < ?1 ORDER BY t LIMIT ?2)";
constexpr const char* kPruneZoneHours =
    "DELETE FROM history_zone_hours WHERE (address, port, t) IN"
    " (SELECT address, port, t FROM history_zone_hours WHERE t < ?1 ORDER BY t LIMIT ?2)";

constexpr const char* kUpsertName =
    "INSERT INTO names (name, password, created, last_use_ms) VALUES (?1, ?2, ?3, ?4)"
    " ON CONFLICT (name) DO UPDATE SET password = ?2, created = ?3, last_use_ms = ?4";
constexpr const char* kUpsertZone =
    "INSERT INTO zones (address, port, population, flag, word, name, description, source,"
    " family) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) ON CONFLICT (address, port) DO UPDATE"
    " SET population = ?3, flag = ?4, word = ?5, name = ?6, description = ?7, source = ?8,"
    " family = ?9";
constexpr const char* kDeleteName = "DELETE FROM names WHERE name = ?1";
constexpr const char* kDeleteZone = "DELETE FROM zones WHERE address = ?1 AND port = ?2";
constexpr const char* kSetClock =
    "INSERT INTO meta (key, value) VALUES ('clock_ms', ?1)"
    " ON CONFLICT (key) DO UPDATE SET value = ?1";

constexpr const char* kSourceUpdate = "update";
constexpr int64_t kSecondsPerHour = 3600;
constexpr int kHistoryStepsPerWake = 64;
constexpr const char* kSourcePeer = "peer";

struct StatementCloser {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

Statement prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) return nullptr;
    return Statement(statement);
}

bool execute(sqlite3* db, const char* sql, std::string& reason) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    reason = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return false;
}

// Runs a prepared statement that returns no rows and readies it for its next
// bindings; the reason is the database's own when it fails.
bool stepDone(sqlite3* db, sqlite3_stmt* statement, std::string& reason) {
    const int code = sqlite3_step(statement);
    sqlite3_reset(statement);
    if (code == SQLITE_DONE) return true;
    reason = sqlite3_errmsg(db);
    return false;
}

// The first column of the first row of sql, as text ("" when there is none).
bool queryText(sqlite3* db, const char* sql, std::string& value, int& code) {
    Statement statement = prepare(db, sql);
    if (!statement) {
        code = sqlite3_errcode(db);
        return false;
    }
    code = sqlite3_step(statement.get());
    if (code == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(statement.get(), 0);
        value = text != nullptr ? reinterpret_cast<const char*>(text) : "";
        code = SQLITE_OK;
        return true;
    }
    if (code == SQLITE_DONE) {
        value.clear();
        code = SQLITE_OK;
        return true;
    }
    return false;
}

bool isDamage(int code) {
    const int primary = code & 0xFF;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

// The address of a zones row: its text, read as the family column says.
bool readAddress(const unsigned char* text, int64_t family, IpAddress& address) {
    if (text == nullptr) return false;
    IpAddress parsed;
    if (!parseIpAddress(reinterpret_cast<const char*>(text), parsed)) return false;
    if (family != (parsed.isV6() ? 6 : 4)) return false;
    address = parsed;
    return true;
}

bool fileExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

// path plus ".damaged-YYYYMMDD-HHMMSS" (and "-2", "-3"... when taken).
std::string asideName(const std::string& path) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = path + ".damaged-" + stamp;
    std::string candidate = base;
    for (int n = 2; n < 1000 && (fileExists(candidate) || fileExists(candidate + "-wal")); ++n)
        candidate = base + "-" + std::to_string(n);
    return candidate;
}

// Moves the file and the WAL files that belong to it; false when the file
// itself could not be moved.
bool moveAside(const std::string& path, const std::string& target, std::string& reason) {
    if (std::rename(path.c_str(), target.c_str()) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    for (const char* suffix : {"-wal", "-shm"})
        if (fileExists(path + suffix)) std::rename((path + suffix).c_str(), (target + suffix).c_str());
    return true;
}

struct OpenAttempt {
    sqlite3* db = nullptr;
    int code = SQLITE_OK;
    std::string reason;
    bool created = false;
    int migratedFrom = 0;
};

// Runs every step from version on, each in a transaction of its own.
bool migrate(sqlite3* db, int version, std::string& reason) {
    for (const MigrationStep& step : kMigrations) {
        if (step.from < version) continue;
        if (!execute(db, "BEGIN IMMEDIATE", reason)) return false;
        if (!execute(db, step.sql, reason)) {
            std::string ignored;
            execute(db, "ROLLBACK", ignored);
            return false;
        }
        if (!execute(db, "COMMIT", reason)) return false;
    }
    return true;
}

void closeAttempt(OpenAttempt& attempt) {
    if (attempt.db != nullptr) sqlite3_close(attempt.db);
    attempt.db = nullptr;
}

bool fail(OpenAttempt& attempt, int code, std::string reason) {
    attempt.code = code;
    attempt.reason = std::move(reason);
    return false;
}

// Opens, checks and (for an empty file) creates the schema.
bool tryOpen(const std::string& path, const StateStoreOptions& options, OpenAttempt& attempt) {
    const int opened = sqlite3_open_v2(path.c_str(), &attempt.db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (opened != SQLITE_OK)
        return fail(attempt, opened, attempt.db != nullptr ? sqlite3_errmsg(attempt.db)
                                                           : sqlite3_errstr(opened));
    sqlite3_extended_result_codes(attempt.db, 1);
    sqlite3_busy_timeout(attempt.db, 200);
    // A file that exists but cannot be written opens read-only without a word.
    if (sqlite3_db_readonly(attempt.db, "main") == 1)
        return fail(attempt, SQLITE_READONLY, "the file cannot be written");
    // Nothing is changed before the file is known to be ours and sound: a
    // newer version's file, or one kept aside, stays byte for byte as found.
    std::string value;
    int code = SQLITE_OK;
    if (!queryText(attempt.db, "PRAGMA user_version", value, code))
        return fail(attempt, code, sqlite3_errmsg(attempt.db));
    const long version = std::strtol(value.c_str(), nullptr, 10);
    if (version > kStateSchemaVersion)
        return fail(attempt, SQLITE_MISMATCH,
                    "written by a newer version (schema " + value + "); left as it is");
    if (!queryText(attempt.db, "PRAGMA quick_check", value, code))
        return fail(attempt, code, sqlite3_errmsg(attempt.db));
    if (value != "ok") return fail(attempt, SQLITE_CORRUPT, "quick check: " + value);
    if (version == 0) {
        // Version 0 is an empty file, or somebody else's database.
        if (!queryText(attempt.db, "SELECT count(*) FROM sqlite_schema", value, code))
            return fail(attempt, code, sqlite3_errmsg(attempt.db));
        if (value != "0") return fail(attempt, SQLITE_NOTADB, "not a state file (tables of another kind)");
    }
    if (!queryText(attempt.db, "PRAGMA journal_mode = WAL", value, code))
        return fail(attempt, code, sqlite3_errmsg(attempt.db));
    if (value != "wal") return fail(attempt, SQLITE_CANTOPEN, "cannot use WAL mode here");
    if (version == 0) {
        std::string reason;
        if (!execute(attempt.db, kSchemaV1, reason)) return fail(attempt, sqlite3_errcode(attempt.db), reason);
        attempt.created = true;
    }
    if (std::string reason; !migrate(attempt.db, version == 0 ? 1 : static_cast<int>(version), reason))
        return fail(attempt, sqlite3_errcode(attempt.db), "cannot update the schema: " + reason);
    if (version != 0 && version < kStateSchemaVersion) attempt.migratedFrom = static_cast<int>(version);
    // Each commit goes to the WAL without a sync; the WAL is synced when it
    // is copied back, so a crash of the process loses nothing committed and
    // one of the machine at most the last commits.
    std::string reason;
    if (!execute(attempt.db, "PRAGMA synchronous = NORMAL", reason))
        return fail(attempt, sqlite3_errcode(attempt.db), reason);
    // A file that can be read but not written (its directory, say, where the
    // WAL goes) is found out now, not at the first write.
    if (!execute(attempt.db,
                 "INSERT INTO meta (key, value) VALUES ('clock_ms', 0)"
                 " ON CONFLICT (key) DO NOTHING; UPDATE meta SET value = value WHERE key = 'clock_ms'",
                 reason))
        return fail(attempt, sqlite3_errcode(attempt.db), "cannot be written: " + reason);
    if (options.maxPages > 0) {
        const std::string cap = "PRAGMA max_page_count = " + std::to_string(options.maxPages);
        if (!queryText(attempt.db, cap.c_str(), value, code))
            return fail(attempt, code, sqlite3_errmsg(attempt.db));
    }
    return true;
}

// The file, created owner-only when missing (it holds the names' passwords,
// and SQLite gives its -wal and -shm files the same mode), with an exclusive
// lock that keeps a second server off it. The lock is flock(), which SQLite's
// own locks do not see, so an operator's sqlite3 still reads the file; the
// descriptor stays open as long as the store, as closing it early would drop
// SQLite's locks on the file too.
int lockFile(const std::string& path, std::string& reason) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        reason = std::strerror(errno);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        reason = errno == EWOULDBLOCK ? "in use by another process" : std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::unique_ptr<StateStore> StateStore::open(const std::string& path, StateOpenReport& report,
                                             std::string& reason,
                                             const StateStoreOptions& options) {
    report = {};
    int held = lockFile(path, reason);
    if (held < 0) return nullptr;
    OpenAttempt attempt;
    if (!tryOpen(path, options, attempt)) {
        closeAttempt(attempt);
        ::close(held);
        if (!isDamage(attempt.code)) {
            reason = attempt.reason;
            return nullptr;
        }
        report.damage = attempt.reason;
        report.renamedTo = asideName(path);
        if (!moveAside(path, report.renamedTo, reason)) {
            reason = "damaged (" + attempt.reason + ") and cannot be renamed aside: " + reason;
            report.renamedTo.clear();
            return nullptr;
        }
        attempt = {};
        held = lockFile(path, reason);
        if (held < 0) return nullptr;
        if (!tryOpen(path, options, attempt)) {
            closeAttempt(attempt);
            ::close(held);
            reason = attempt.reason;
            return nullptr;
        }
    }
    report.created = attempt.created;
    report.migratedFrom = attempt.migratedFrom;
    return std::unique_ptr<StateStore>(new StateStore(path, attempt.db, held, options));
}

StateStore::StateStore(std::string path, sqlite3* database, int lockDescriptor,
                       const StateStoreOptions& options)
    : path_(std::move(path)), db(database), lockFd(lockDescriptor), options_(options) {
    std::string value;
    int code = SQLITE_OK;
    if (queryText(db, "SELECT max(t) FROM history_minutes", value, code))
        newestSample = std::strtoll(value.c_str(), nullptr, 10);
}

StateStore::~StateStore() {
    finish();
    sqlite3_close(db);
    ::close(lockFd);  // only now: see lockFile
}

bool StateStore::load(StateContents& contents, std::string& reason) {
    contents = {};
    std::string value;
    int code = SQLITE_OK;
    if (!queryText(db, "SELECT value FROM meta WHERE key = 'clock_ms'", value, code)) {
        reason = sqlite3_errmsg(db);
        return false;
    }
    contents.clockMs = std::strtoll(value.c_str(), nullptr, 10);

    Statement names = prepare(db, "SELECT name, password, created, last_use_ms FROM names"
                                  " ORDER BY created, rowid");
    Statement zones = prepare(db, "SELECT address, port, population, flag, word, name,"
                                  " description, source, family FROM zones");
    if (!names || !zones) {
        reason = sqlite3_errmsg(db);
        return false;
    }
    while ((code = sqlite3_step(names.get())) == SQLITE_ROW) {
        const auto* name = sqlite3_column_text(names.get(), 0);
        const auto* password = sqlite3_column_text(names.get(), 1);
        if (name == nullptr || password == nullptr) {
            ++contents.badRows;
            continue;
        }
        contents.names.push_back({reinterpret_cast<const char*>(name),
                                  reinterpret_cast<const char*>(password),
                                  sqlite3_column_int64(names.get(), 2),
                                  sqlite3_column_int64(names.get(), 3)});
    }
    if (code != SQLITE_DONE) {
        reason = sqlite3_errmsg(db);
        return false;
    }
    while ((code = sqlite3_step(zones.get())) == SQLITE_ROW) {
        sqlite3_stmt* row = zones.get();
        StoredZone zone;
        const auto* address = sqlite3_column_text(row, 0);
        const int64_t port = sqlite3_column_int64(row, 1);
        const auto* name = sqlite3_column_text(row, 5);
        const auto* description = sqlite3_column_text(row, 6);
        const auto* source = sqlite3_column_text(row, 7);
        if (address == nullptr || name == nullptr || description == nullptr ||
            source == nullptr || port < 0 || port > 0xFFFF ||
            !readAddress(address, sqlite3_column_int64(row, 8), zone.address)) {
            ++contents.badRows;
            continue;
        }
        zone.port = static_cast<uint16_t>(port);
        zone.population = static_cast<uint16_t>(sqlite3_column_int64(row, 2));
        zone.flag = sqlite3_column_int64(row, 3) != 0 ? 1 : 0;
        zone.word = static_cast<uint32_t>(sqlite3_column_int64(row, 4));
        zone.name = reinterpret_cast<const char*>(name);
        zone.description = reinterpret_cast<const char*>(description);
        zone.fromPeer = std::string_view(reinterpret_cast<const char*>(source)) == kSourcePeer;
        contents.zones.push_back(std::move(zone));
    }
    if (code != SQLITE_DONE) {
        reason = sqlite3_errmsg(db);
        return false;
    }
    return true;
}

void StateStore::start() {
    std::lock_guard<std::mutex> guard(lock);
    if (writer.joinable() || finished) return;
    // The thread starts with every signal blocked, so that SIGINT, SIGTERM
    // and SIGHUP always reach the service thread and end its pause.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    writer = std::thread([this] { run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void StateStore::submit(StateBatch&& batch) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (finished) return;
        if (batch.complete) state.snapshotWanted = false;
        queued.push_back(std::move(batch));
    }
    wake.notify_one();
}

void StateStore::finish() {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (finished) return;
        stopping = true;
    }
    wake.notify_one();
    if (writer.joinable()) writer.join();
    else writeQueued();  // never started: the last batches are written here
    std::lock_guard<std::mutex> guard(lock);
    finished = true;
}

StateWriterStatus StateStore::status() const {
    std::lock_guard<std::mutex> guard(lock);
    return state;
}

// Once stopping, the wait passes at once: the loop writes what is queued and
// ends when nothing is.
void StateStore::run() {
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(lock);
            wake.wait(guard, [this] { return stopping || !queued.empty(); });
            if (queued.empty() && stopping) return;
        }
        writeQueued();
        // The history's upkeep goes in short transactions between batches,
        // and gives way as soon as a batch is waiting.
        for (int step = 0; step < kHistoryStepsPerWake && historyStep(); ++step) {
            std::lock_guard<std::mutex> guard(lock);
            if (!queued.empty() || stopping) break;
        }
    }
}

bool StateStore::writeQueued() {
    std::vector<StateBatch> batches;
    {
        std::lock_guard<std::mutex> guard(lock);
        batches.swap(queued);
    }
    if (batches.empty() && kept.empty()) return true;
    // A complete batch makes everything before it moot, but for the history
    // samples, which it carries on.
    for (size_t i = batches.size(); i-- > 0;) {
        if (!batches[i].complete) continue;
        std::vector<HistorySample> earlier;
        for (StateBatch& batch : kept) std::move(batch.history.begin(), batch.history.end(), std::back_inserter(earlier));
        for (size_t j = 0; j < i; ++j)
            std::move(batches[j].history.begin(), batches[j].history.end(), std::back_inserter(earlier));
        batches[i].history.insert(batches[i].history.begin(), std::make_move_iterator(earlier.begin()),
                                  std::make_move_iterator(earlier.end()));
        batches.erase(batches.begin(), batches.begin() + static_cast<std::ptrdiff_t>(i));
        kept.clear();
        keptRows = 0;
        break;
    }
    for (StateBatch& batch : batches) {
        keptRows += batch.rows();
        kept.push_back(std::move(batch));
    }
    const auto began = std::chrono::steady_clock::now();
    std::string reason;
    const bool written = writeBatches(kept, reason);
    const auto micros = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                  std::chrono::steady_clock::now() - began)
                                                  .count());
    std::lock_guard<std::mutex> guard(lock);
    state.writeMicros += micros;
    if (micros > state.slowestWriteMicros) state.slowestWriteMicros = micros;
    if (written) {
        ++state.writes;
        state.rowsWritten += keptRows;
        state.failing = false;
        kept.clear();
        keptRows = 0;
        return true;
    }
    ++state.failures;
    state.failing = true;
    state.lastFailure = reason;
    if (keptRows > options_.maxKeptRows) {
        kept.clear();
        keptRows = 0;
        state.snapshotWanted = true;
    }
    return false;
}

bool StateStore::writeBatches(const std::vector<StateBatch>& batches, std::string& reason) {
    Statement upsertName = prepare(db, kUpsertName);
    Statement upsertZone = prepare(db, kUpsertZone);
    Statement deleteName = prepare(db, kDeleteName);
    Statement deleteZone = prepare(db, kDeleteZone);
    Statement setClock = prepare(db, kSetClock);
    Statement insertMinute = prepare(db, kInsertMinute);
    Statement insertZoneMinute = prepare(db, kInsertZoneMinute);
    if (!upsertName || !deleteName || !upsertZone || !deleteZone || !setClock || !insertMinute ||
        !insertZoneMinute) {
        reason = sqlite3_errmsg(db);
        return false;
    }
    if (!execute(db, "BEGIN IMMEDIATE", reason)) return false;
    auto stepped = [this, &reason](sqlite3_stmt* statement) { return stepDone(db, statement, reason); };
    bool ok = true;
    for (const StateBatch& batch : batches) {
        if (!ok) break;
        if (batch.complete && !execute(db, "DELETE FROM names; DELETE FROM zones", reason)) {
            ok = false;
            break;
        }
        for (const StoredName& name : batch.names) {
            if (name.created < 0) {
                sqlite3_stmt* s = deleteName.get();
                sqlite3_bind_text(s, 1, name.name.data(), static_cast<int>(name.name.size()),
                                  SQLITE_STATIC);
                if (!(ok = stepped(s))) break;
                continue;
            }
            sqlite3_stmt* s = upsertName.get();
            sqlite3_bind_text(s, 1, name.name.data(), static_cast<int>(name.name.size()), SQLITE_STATIC);
            sqlite3_bind_text(s, 2, name.password.data(), static_cast<int>(name.password.size()),
                              SQLITE_STATIC);
            sqlite3_bind_int64(s, 3, name.created);
            sqlite3_bind_int64(s, 4, name.lastUseMs);
            if (!(ok = stepped(s))) break;
        }
        for (size_t i = 0; ok && i < batch.zones.size(); ++i) {
            const StoredZone& zone = batch.zones[i];
            const std::string address = zone.address.text();
            sqlite3_stmt* s = upsertZone.get();
            sqlite3_bind_text(s, 1, address.data(), static_cast<int>(address.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int(s, 2, zone.port);
            sqlite3_bind_int(s, 3, zone.population);
            sqlite3_bind_int(s, 4, zone.flag);
            sqlite3_bind_int64(s, 5, zone.word);
            sqlite3_bind_text(s, 6, zone.name.data(), static_cast<int>(zone.name.size()), SQLITE_STATIC);
            sqlite3_bind_text(s, 7, zone.description.data(),
                              static_cast<int>(zone.description.size()), SQLITE_STATIC);
            sqlite3_bind_text(s, 8, zone.fromPeer ? kSourcePeer : kSourceUpdate, -1, SQLITE_STATIC);
            sqlite3_bind_int(s, 9, zone.address.isV6() ? 6 : 4);
            ok = stepped(s);
        }
        for (size_t i = 0; ok && i < batch.removedZones.size(); ++i) {
            const StoredZoneKey& key = batch.removedZones[i];
            const std::string address = key.address.text();
            sqlite3_stmt* s = deleteZone.get();
            sqlite3_bind_text(s, 1, address.data(), static_cast<int>(address.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int(s, 2, key.port);
            ok = stepped(s);
        }
        for (size_t i = 0; ok && i < batch.history.size(); ++i)
            ok = writeHistory(batch.history[i], insertMinute.get(), insertZoneMinute.get(), reason);
        if (ok) {
            sqlite3_bind_int64(setClock.get(), 1, batch.clockMs);
            ok = stepped(setClock.get());
        }
    }
    if (ok && execute(db, "COMMIT", reason)) {
        for (const StateBatch& batch : batches)
            for (const HistorySample& sample : batch.history)
                newestSample = std::max(newestSample, sample.unixSeconds);
        return true;
    }
    std::string ignored;
    execute(db, "ROLLBACK", ignored);
    return false;
}

bool StateStore::writeHistory(const HistorySample& sample, sqlite3_stmt* minute,
                              sqlite3_stmt* zoneMinute, std::string& reason) {
    auto stepped = [this, &reason](sqlite3_stmt* statement) { return stepDone(db, statement, reason); };
    sqlite3_bind_int64(minute, 1, sample.unixSeconds);
    sqlite3_bind_int64(minute, 2, sample.zoneCount);
    sqlite3_bind_int64(minute, 3, static_cast<int64_t>(sample.population));
    if (!stepped(minute)) return false;
    sqlite3_bind_int64(zoneMinute, 1, sample.unixSeconds);
    for (const HistoryZonePoint& point : sample.points) {
        const std::string address = point.key.address.text();
        sqlite3_bind_text(zoneMinute, 2, address.data(), static_cast<int>(address.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_int(zoneMinute, 3, point.key.port);
        sqlite3_bind_int(zoneMinute, 4, point.population);
        if (!stepped(zoneMinute)) return false;
    }
    return true;
}

bool StateStore::historyStep() {
    std::string value;
    int code = SQLITE_OK;
    if (!queryText(db, kNextHourToFold, value, code)) return false;
    // An hour is folded once a sample of a later hour is in: until then
    // more of its minutes may come.
    if (!value.empty()) {
        const int64_t hour = std::strtoll(value.c_str(), nullptr, 10);
        if (hour + kSecondsPerHour <= newestSample) {
            Statement totals = prepare(db, kFoldHour);
            Statement zones = prepare(db, kFoldZoneHour);
            std::string reason;
            if (!totals || !zones || !execute(db, "BEGIN IMMEDIATE", reason)) return false;
            sqlite3_bind_int64(totals.get(), 1, hour);
            sqlite3_bind_int64(zones.get(), 1, hour);
            if (sqlite3_step(totals.get()) == SQLITE_DONE && sqlite3_step(zones.get()) == SQLITE_DONE &&
                execute(db, "COMMIT", reason))
                return true;
            execute(db, "ROLLBACK", reason);
            return false;
        }
    }
    return pruneHistory();
}

// Minute rows go once past their keeping and folded; hourly rows once past
// theirs. True when a table had more rows to go than one step takes.
bool StateStore::pruneHistory() {
    std::string value;
    int code = SQLITE_OK;
    if (!queryText(db, "SELECT coalesce(max(t) + 3600, 0) FROM history_hours", value, code))
        return false;
    const int64_t folded = std::strtoll(value.c_str(), nullptr, 10);
    const int64_t minuteCutoff = std::min(newestSample - options_.historyMinuteSeconds, folded);
    const int64_t hourCutoff = newestSample - options_.historyHourSeconds;
    const std::pair<const char*, int64_t> prunes[] = {{kPruneMinutes, minuteCutoff},
                                                      {kPruneZoneMinutes, minuteCutoff},
                                                      {kPruneHours, hourCutoff},
                                                      {kPruneZoneHours, hourCutoff}};
    std::string reason;
    if (!execute(db, "BEGIN IMMEDIATE", reason)) return false;
    bool more = false;
    for (const auto& [sql, cutoff] : prunes) {
        Statement prune = prepare(db, sql);
        if (!prune) break;
        sqlite3_bind_int64(prune.get(), 1, cutoff);
        sqlite3_bind_int64(prune.get(), 2, options_.historyStepRows);
        if (sqlite3_step(prune.get()) != SQLITE_DONE) {
            execute(db, "ROLLBACK", reason);
            return false;
        }
        if (sqlite3_changes(db) >= options_.historyStepRows) more = true;
    }
    if (!execute(db, "COMMIT", reason)) {
        execute(db, "ROLLBACK", reason);
        return false;
    }
    return more;
}

}  // namespace kelvaro
