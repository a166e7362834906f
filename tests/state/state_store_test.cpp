#include "state/state_store.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/sqlite_query.h"
#include "support/temp_directory.h"

namespace kelvaro {
namespace {

using testing_support::sqliteQuery;
using testing_support::TempDirectory;

uint32_t ip(const char* text) {
    uint32_t address = 0;
    inet_pton(AF_INET, text, &address);
    return address;
}

StoredZone zone(const char* address, uint16_t port, const char* name, bool fromPeer = false) {
    StoredZone row;
    row.address = ip(address);
    row.port = port;
    row.population = 7;
    row.flag = 1;
    row.word = 0xDEADBEEF;
    row.name = name;
    row.description = std::string("about ") + name;
    row.fromPeer = fromPeer;
    return row;
}

std::unique_ptr<StateStore> openStore(const std::string& path, StateOpenReport& report,
                                      const StateStoreOptions& options = {}) {
    std::string reason;
    auto store = StateStore::open(path, report, reason, options);
    EXPECT_TRUE(store) << reason;
    return store;
}

StateContents loadAll(const std::string& path) {
    StateOpenReport report;
    auto store = openStore(path, report);
    StateContents contents;
    std::string reason;
    if (store) {
        EXPECT_TRUE(store->load(contents, reason)) << reason;
    }
    return contents;
}

TEST(StateStore, BatchesWrittenOnTheWriterThreadReadBackInOrder) {
    TempDirectory dir;
    const std::string path = dir.file("state.db");
    {
        StateOpenReport report;
        auto store = openStore(path, report);
        ASSERT_TRUE(store);
        EXPECT_TRUE(report.created);
        store->start();
        StateBatch first;
        first.clockMs = 1000;
        first.names = {{"Zeta Zone", "pw1", 2, 900}, {"Alpha", "pw0", 1, 500}};
        first.zones = {zone("10.0.0.1", 5000, "Alpha"), zone("10.0.0.2", 6000, "Peer One", true),
                       zone("10.0.0.3", 7000, "Gone")};
        store->submit(std::move(first));
        StateBatch second;  // a later batch overrides and removes
        second.clockMs = 2500;
        second.names = {{"Alpha", "pw9", 1, 2400}};
        second.zones = {zone("10.0.0.1", 5000, "Alpha Renamed")};
        second.removedZones = {{ip("10.0.0.3"), 7000}};
        store->submit(std::move(second));
        store->finish();
        const StateWriterStatus status = store->status();
        EXPECT_GE(status.writes, 1u);
        EXPECT_EQ(status.failures, 0u);
    }
    const StateContents contents = loadAll(path);
    EXPECT_EQ(contents.clockMs, 2500);
    ASSERT_EQ(contents.names.size(), 2u);
    EXPECT_EQ(contents.names[0].name, "Alpha");  // by order of creation, not of writing
    EXPECT_EQ(contents.names[0].password, "pw9");
    EXPECT_EQ(contents.names[0].lastUseMs, 2400);
    EXPECT_EQ(contents.names[1].name, "Zeta Zone");
    ASSERT_EQ(contents.zones.size(), 2u);
    for (const StoredZone& row : contents.zones) {
        if (row.port == 5000) {
            EXPECT_EQ(row.name, "Alpha Renamed");
            EXPECT_EQ(row.word, 0xDEADBEEFu);
            EXPECT_EQ(row.flag, 1);
            EXPECT_FALSE(row.fromPeer);
        } else {
            EXPECT_EQ(row.port, 6000);
            EXPECT_TRUE(row.fromPeer);
            EXPECT_EQ(row.address, ip("10.0.0.2"));
        }
    }
    EXPECT_EQ(sqliteQuery(path, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(sqliteQuery(path, "PRAGMA user_version"), std::to_string(kStateSchemaVersion));
    EXPECT_EQ(sqliteQuery(path, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(sqliteQuery(path, "SELECT address || ':' || port FROM zones WHERE source = 'peer'"),
              "10.0.0.2:6000");
}

TEST(StateStore, CompleteBatchReplacesTheFileAndNegativeOrderDeletesAName) {
    TempDirectory dir;
    const std::string path = dir.file("state.db");
    StateOpenReport report;
    auto store = openStore(path, report);
    ASSERT_TRUE(store);
    StateBatch old;
    old.names = {{"Old", "x", 1, 0}, {"Kept", "y", 2, 0}};
    old.zones = {zone("10.0.0.9", 1, "Old")};
    store->submit(std::move(old));
    ASSERT_TRUE(store->writeQueued());
    StateBatch whole;
    whole.complete = true;
    whole.names = {{"New", "z", 1, 0}};
    whole.zones = {zone("10.0.0.8", 2, "New")};
    StateBatch drop;
    drop.names = {{"New", "", -1, 0}};
    store->submit(std::move(whole));
    ASSERT_TRUE(store->writeQueued());
    EXPECT_EQ(sqliteQuery(path, "SELECT group_concat(name) FROM names"), "New");
    EXPECT_EQ(sqliteQuery(path, "SELECT group_concat(name) FROM zones"), "New");
    store->submit(std::move(drop));
    ASSERT_TRUE(store->writeQueued());
    EXPECT_EQ(sqliteQuery(path, "SELECT count(*) FROM names"), "0");
}

// Whatever is wrong with a file, nothing is deleted: a damaged one is moved
// aside whole, one the store cannot use is left as it is.
TEST(StateStore, DamagedFilesAreKeptAsideAndOthersLeftAlone) {
    struct Case {
        const char* what;
        std::string contents;  // written over the file; empty: made with sqlite3 below
        const char* sql;       // run on a fresh database instead
        bool renamed;
    };
    const std::string header = "SQLite format 3";
    const Case cases[] = {
        {"text", "this is not a database at all, just words\n", nullptr, true},
        {"truncated header", header + std::string(200, '\x01'), nullptr, true},
        {"another program's database", "", "CREATE TABLE other (x)", true},
        {"a newer schema", "", "PRAGMA user_version = 99", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDirectory dir;
        const std::string path = dir.file("state.db");
        if (c.sql != nullptr) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(db, c.sql, nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        } else {
            dir.write("state.db", c.contents);
        }
        const std::string before = dir.read("state.db");
        StateOpenReport report;
        std::string reason;
        auto store = StateStore::open(path, report, reason);
        if (!c.renamed) {
            EXPECT_FALSE(store);
            EXPECT_NE(reason.find("newer"), std::string::npos) << reason;
            EXPECT_TRUE(dir.read("state.db") == before) << "a file of a newer version was changed";
            continue;
        }
        ASSERT_TRUE(store) << reason;
        EXPECT_TRUE(report.created);
        ASSERT_FALSE(report.renamedTo.empty());
        EXPECT_NE(report.renamedTo.find(".damaged-"), std::string::npos);
        EXPECT_FALSE(report.damage.empty());
        std::ifstream aside(report.renamedTo, std::ios::binary);
        EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(aside), {}) == before)
            << "the file kept aside is not the file found";
        StateContents contents;
        EXPECT_TRUE(store->load(contents, reason));
        EXPECT_TRUE(contents.names.empty());
    }
}

TEST(StateStore, EmptyFileGetsTheSchemaAndAPathThatCannotBeMadeIsRefused) {
    TempDirectory dir;
    dir.write("empty.db", "");
    StateOpenReport report;
    auto store = openStore(dir.file("empty.db"), report);
    ASSERT_TRUE(store);
    EXPECT_TRUE(report.created);
    EXPECT_TRUE(report.renamedTo.empty());
    store.reset();
    EXPECT_EQ(sqliteQuery(dir.file("empty.db"), "PRAGMA user_version"), std::to_string(kStateSchemaVersion));
    EXPECT_EQ(sqliteQuery(dir.file("empty.db"), "SELECT count(*) FROM sqlite_schema WHERE name = 'zones'"),
              "1");

    // Even root cannot make a file below a regular file.
    dir.write("plain", "x");
    std::string reason;
    EXPECT_FALSE(StateStore::open(dir.file("plain/state.db"), report, reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(dir.read("plain"), "x");
}

// A new file holds passwords, so only its owner reads it; and while one
// store holds a file, a second (another server given the same path) is
// refused rather than let the two overwrite each other.
TEST(StateStore, NewFileIsOwnerOnlyAndHeldByOneStoreAtATime) {
    TempDirectory dir;
    const std::string path = dir.file("state.db");
    StateOpenReport report;
    auto first = openStore(path, report);
    ASSERT_TRUE(first);
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    std::string reason;
    EXPECT_FALSE(StateStore::open(path, report, reason));
    EXPECT_NE(reason.find("in use"), std::string::npos) << reason;
    first.reset();
    EXPECT_TRUE(StateStore::open(path, report, reason)) << reason;
}

// A directory the server may not write in: nothing can be made there, and a
// file already there cannot take its WAL beside it. Root writes anywhere, so
// the opening runs in a child that has given root up.
TEST(StateStore, UnwritableDirectoryIsRefusedAtOpen) {
    TempDirectory dir;
    {
        StateOpenReport report;
        auto made = openStore(dir.file("kept.db"), report);  // a sound file, written by its owner
        ASSERT_TRUE(made);
    }
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(::chown(dir.file("kept.db").c_str(), kNobody, kNobody), geteuid() == 0 ? 0 : -1);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(10);
        StateOpenReport report;
        std::string reason;
        if (StateStore::open(dir.file("new.db"), report, reason)) _exit(11);
        if (StateStore::open(dir.file("kept.db"), report, reason)) _exit(12);
        _exit(reason.empty() ? 13 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ::chmod(dir.path().c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: cannot drop root, 11: a new file was made, "
                                         "12: the kept file opened for writing, 13: no reason";
    EXPECT_FALSE(dir.exists("new.db"));
}

// A full disk: the write fails, the rows are kept and go with the next try;
// past their bound the store gives them up and asks for a snapshot.
TEST(StateStore, FailedWritesAreKeptThenGivenUpForASnapshot) {
    TempDirectory dir;
    StateOpenReport report;
    StateStoreOptions options;
    options.maxPages = 4;  // the schema and little more
    options.maxKeptRows = 2500;
    auto store = openStore(dir.file("state.db"), report, options);
    ASSERT_TRUE(store);
    auto bigBatch = [] {
        StateBatch batch;
        for (uint16_t port = 1; port <= 1000; ++port)
            batch.zones.push_back(zone("10.1.0.1", port, "A zone with a long enough name"));
        return batch;
    };
    store->submit(bigBatch());
    EXPECT_FALSE(store->writeQueued());
    StateWriterStatus status = store->status();
    EXPECT_TRUE(status.failing);
    EXPECT_EQ(status.failures, 1u);
    EXPECT_NE(status.lastFailure.find("full"), std::string::npos) << status.lastFailure;
    EXPECT_FALSE(status.snapshotWanted);
    // Kept, so the next try carries both batches: 2000 rows, still kept.
    store->submit(bigBatch());
    EXPECT_FALSE(store->writeQueued());
    EXPECT_FALSE(store->status().snapshotWanted);
    store->submit(bigBatch());
    EXPECT_FALSE(store->writeQueued());
    status = store->status();
    EXPECT_EQ(status.failures, 3u);
    EXPECT_TRUE(status.snapshotWanted);
    StateBatch whole;
    whole.complete = true;
    store->submit(std::move(whole));
    EXPECT_FALSE(store->status().snapshotWanted);
    EXPECT_TRUE(store->writeQueued());  // the kept rows went with the snapshot
    EXPECT_FALSE(store->status().failing);
}

}  // namespace
}  // namespace kelvaro

namespace kelvaro {
namespace {

// A file as version 2 left it: IPv4 zones, no family column.
void writeVersionTwoFile(const std::string& path) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(
                  db,
                  "PRAGMA journal_mode = WAL;"
                  "CREATE TABLE meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL);"
                  "CREATE TABLE names (name TEXT PRIMARY KEY, password TEXT NOT NULL,"
                  " created INTEGER NOT NULL, last_use_ms INTEGER NOT NULL);"
                  "CREATE TABLE zones (address TEXT NOT NULL, port INTEGER NOT NULL,"
                  " population INTEGER NOT NULL, flag INTEGER NOT NULL, word INTEGER NOT NULL,"
                  " name TEXT NOT NULL, description TEXT NOT NULL, source TEXT NOT NULL,"
                  " PRIMARY KEY (address, port)) WITHOUT ROWID;"
                  "CREATE TABLE history_minutes (t INTEGER PRIMARY KEY, zones INTEGER NOT NULL,"
                  " population INTEGER NOT NULL);"
                  "CREATE TABLE history_zone_minutes (t INTEGER NOT NULL, address TEXT NOT NULL,"
                  " port INTEGER NOT NULL, population INTEGER NOT NULL,"
                  " PRIMARY KEY (t, address, port)) WITHOUT ROWID;"
                  "CREATE TABLE history_hours (t INTEGER PRIMARY KEY, samples INTEGER NOT NULL,"
                  " zones REAL NOT NULL, population REAL NOT NULL, peak_zones INTEGER NOT NULL,"
                  " peak_population INTEGER NOT NULL);"
                  "CREATE TABLE history_zone_hours (address TEXT NOT NULL, port INTEGER NOT NULL,"
                  " t INTEGER NOT NULL, samples INTEGER NOT NULL, population REAL NOT NULL,"
                  " peak_population INTEGER NOT NULL, PRIMARY KEY (address, port, t)) WITHOUT ROWID;"
                  "PRAGMA user_version = 2;"
                  "INSERT INTO meta VALUES ('clock_ms', 777);"
                  "INSERT INTO zones VALUES ('10.0.0.1', 7000, 3, 1, 9, 'Alpha', 'a', 'update'),"
                  " ('10.0.0.2', 7001, 4, 0, 8, 'Beta', 'b', 'peer');",
                  nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
}

TEST(StateStoreIpv6, VersionTwoFileKeepsItsZonesAndThenHoldsIpv6Ones) {
    TempDirectory dir;
    const std::string path = dir.file("v2.db");
    writeVersionTwoFile(path);
    StateOpenReport report;
    auto store = openStore(path, report);
    ASSERT_TRUE(store);
    EXPECT_EQ(report.migratedFrom, 2);
    StateContents contents;
    std::string reason;
    ASSERT_TRUE(store->load(contents, reason)) << reason;
    ASSERT_EQ(contents.zones.size(), 2u);
    EXPECT_EQ(contents.badRows, 0u);
    EXPECT_EQ(contents.zones[0].address, IpAddress(ip("10.0.0.1")));
    EXPECT_EQ(contents.zones[1].address, IpAddress(ip("10.0.0.2")));
    EXPECT_TRUE(contents.zones[1].fromPeer);

    StoredZone sixZone = zone("10.0.0.3", 7002, "Gamma");
    ASSERT_TRUE(parseIpAddress("2001:db8::7", sixZone.address));
    StateBatch batch;
    batch.clockMs = 800;
    batch.zones = {sixZone};
    batch.removedZones = {{IpAddress(ip("10.0.0.2")), 7001}};
    store->submit(std::move(batch));
    ASSERT_TRUE(store->writeQueued());
    store.reset();
    EXPECT_EQ(sqliteQuery(path, "SELECT group_concat(address || ' ' || family, ', ') FROM"
                                " (SELECT address, family FROM zones ORDER BY port)"),
              "10.0.0.1 4, 2001:db8::7 6");

    const StateContents again = loadAll(path);
    ASSERT_EQ(again.zones.size(), 2u);
    EXPECT_EQ(again.zones[1].address, sixZone.address);
    EXPECT_EQ(again.zones[1].port, 7002);
    EXPECT_EQ(again.zones[1].name, "Gamma");
}

}  // namespace
}  // namespace kelvaro
