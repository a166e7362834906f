#pragma once
// The state file: an SQLite database (WAL mode) that keeps the zone name
// passwords and the listed zones of one directory across its restarts. The
// service hands it prepared rows; this folder knows nothing of zones beyond
// them. Its schema, versioned by PRAGMA user_version, is documented for
// operators in docs/operations.md:
//
//   meta  (key TEXT PRIMARY KEY, value INTEGER)   'clock_ms': the directory clock
//   names (name TEXT PRIMARY KEY, password TEXT, created INTEGER, last_use_ms INTEGER)
//   zones (address TEXT, port INTEGER, population, flag, word, name, description,
//          source TEXT, family INTEGER (4 or 6), PRIMARY KEY (address, port))
//   history_minutes, history_zone_minutes   one row a sample (and zone), by time
//   history_hours, history_zone_hours       the ended hours folded: average, peak
//
// A file of an older version is brought up when opened, one step a version
// (each its own transaction), keeping what it held.
//
// The directory clock counts the milliseconds the directory has served, over
// all its runs: a name's last use is kept on it, so the time the directory
// was down never counts toward the name's reclaim delay.
//
// Opening reads nothing in the background: open() and load() run on the
// caller's thread, before start(). After start() one writer thread of its own
// owns the database: submit() hands it a batch and returns at once, and the
// thread writes every batch handed over since its last write in one
// transaction. So the service iteration never waits for the disk, however
// slow a write or a checkpoint is. A failed write is kept and tried again
// with the next batch; nothing the service handed over is lost while the
// process lives, unless the failure lasts so long that the kept rows pass a
// bound, when the store asks the service for a whole snapshot instead.
//
// Nothing is ever deleted: a file that is not a database, or fails its
// quick check, is renamed aside with its -wal and -shm files, and a new one
// is started. A new file is readable by its owner only (it holds the names'
// passwords), and one store at a time holds a file: a second server given
// the same path is refused it.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "util/ip_address.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kelvaro {

constexpr int kStateSchemaVersion = 3;

struct StoredName {
    std::string name;      // the first registrant's, which the record guards
    std::string password;
    // Order of creation: the oldest record of a name family wins. In a
    // batch, a negative order takes the name out of the file.
    int64_t created = 0;
    int64_t lastUseMs = 0; // on the directory clock
};

struct StoredZone {
    IpAddress address;
    uint16_t port = 0;
    uint16_t population = 0;
    uint16_t flag = 0;
    uint32_t word = 0;
    std::string name;
    std::string description;
    bool fromPeer = false;  // learned from a peer's list, not its own update
};

// The address and port a zone's row is found by.
struct StoredZoneKey {
    IpAddress address;
    uint16_t port = 0;
};

// One zone's population in a history sample.
struct HistoryZonePoint {
    StoredZoneKey key;
    uint16_t population = 0;
};

// The directory at one moment: its zones and players in all, and each
// zone's players. unixSeconds is the wall clock, on the sampling interval.
struct HistorySample {
    int64_t unixSeconds = 0;
    uint32_t zoneCount = 0;
    uint64_t population = 0;
    std::vector<HistoryZonePoint> points;
};

// Everything a file holds, as load() reads it: names in order of creation.
struct StateContents {
    int64_t clockMs = 0;
    std::vector<StoredName> names;
    std::vector<StoredZone> zones;
    uint32_t badRows = 0;  // rows that could not be read back (skipped)
};

// What changed since the previous batch. complete: names and zones are the
// whole state, and the file is made to hold exactly them.
struct StateBatch {
    int64_t clockMs = 0;
    bool complete = false;
    std::vector<StoredName> names;
    std::vector<StoredZone> zones;
    std::vector<StoredZoneKey> removedZones;
    // History samples to add; a complete batch leaves the history as it is.
    std::vector<HistorySample> history;
    size_t rows() const {
        size_t points = 0;
        for (const HistorySample& sample : history) points += 1 + sample.points.size();
        return names.size() + zones.size() + removedZones.size() + points;
    }
};

// How the open went, for the start-up report.
struct StateOpenReport {
    bool created = false;          // a new file (or an empty one) got the schema
    std::string renamedTo;         // a damaged file was moved here
    std::string damage;            // why it was taken for damaged
    int migratedFrom = 0;          // the schema version the file was brought up from (0: none)
};

// What the writer has to tell the service.
struct StateWriterStatus {
    uint64_t writes = 0;        // transactions committed
    uint64_t failures = 0;      // transactions that failed
    std::string lastFailure;    // reason of the latest failure
    bool failing = false;       // the latest write failed
    bool snapshotWanted = false;  // kept rows passed their bound; send a complete batch
    uint64_t rowsWritten = 0;
    uint64_t writeMicros = 0;   // total time spent in transactions
    uint64_t slowestWriteMicros = 0;
};

struct StateStoreOptions {
    // Rows kept for a retry beyond which the store gives them up and asks for
    // a complete batch.
    size_t maxKeptRows = 2'000'000;
    // A cap on the file, in pages (0: none): the way tests make the disk full.
    int64_t maxPages = 0;
    // History: minute rows are kept this long after the newest sample, hourly
    // rows this long; at most historyStepRows rows of a table go per
    // transaction when they are pruned.
    int64_t historyMinuteSeconds = 48 * 3600;
    int64_t historyHourSeconds = 90 * 86400;
    int64_t historyStepRows = 2000;
};

class StateStore {
public:
    // Opens path, creating it (and the schema, in an empty file) when needed.
    // A file that is not a database or is damaged is renamed aside (report
    // says where) and a new one made in its place. Null, with reason set,
    // when the file cannot be opened or written, or was written by a newer
    // schema (it is then left untouched).
    static std::unique_ptr<StateStore> open(const std::string& path, StateOpenReport& report,
                                            std::string& reason,
                                            const StateStoreOptions& options = {});
    ~StateStore();  // finish(), then closes the database
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    // Reads the whole file. Only before start(). False, with reason, when a
    // read fails (contents then holds what was read before the failure).
    bool load(StateContents& contents, std::string& reason);

    // Starts the writer thread; submit() before it only queues.
    void start();
    // Hands a batch to the writer; returns at once.
    void submit(StateBatch&& batch);
    // Writes every batch handed over and stops the writer; the store takes
    // no more batches. Idempotent.
    void finish();

    StateWriterStatus status() const;
    const std::string& path() const { return path_; }

    // Writes queued batches on the caller's thread (the writer's loop, and
    // tests without a thread). True when the write, if any, committed.
    bool writeQueued();

    // One step of the history's upkeep, in a transaction of its own: folds
    // the oldest hour that has ended and is not folded yet into an hourly
    // row (average and peak), or, when none is due, deletes up to
    // historyStepRows of each table's rows past their keeping. The writer
    // runs steps between batches; true while there is more to do.
    bool historyStep();

private:
    StateStore(std::string path, sqlite3* database, int lockDescriptor,
               const StateStoreOptions& options);
    void run();
    bool writeBatches(const std::vector<StateBatch>& batches, std::string& reason);
    bool writeHistory(const HistorySample& sample, sqlite3_stmt* minute, sqlite3_stmt* zoneMinute,
                      std::string& reason);
    bool pruneHistory();

    std::string path_;
    sqlite3* db;
    int lockFd;  // holds the file's flock (see open)
    StateStoreOptions options_;

    mutable std::mutex lock;
    std::condition_variable wake;
    std::vector<StateBatch> queued;  // handed over, not yet written
    std::vector<StateBatch> kept;    // failed once, tried again first (writer only)
    size_t keptRows = 0;
    bool stopping = false;
    bool finished = false;
    StateWriterStatus state;
    int64_t newestSample = 0;  // writer only: the latest history sample's time
    std::thread writer;
};

}  // namespace kelvaro
