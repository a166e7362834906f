// The state file seen from the directory server: a restart keeps the names
// and the zones, the time the directory was down does not age a name, the
// zones put back are pinged (and proved again when zones must prove their
// address), and a write that fails is said.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "service/server_fixture.h"
#include "support/sqlite_query.h"
#include "service/state_keeper.h"

namespace kelvaro::testing_support {
namespace {

constexpr uint32_t kHourMs = 3600u * 1000u;

class StateFileTest : public ServerFixture {
protected:
    void startWithState(const std::string& ini) {
        iniText = ini + "[Directory]\nStateFile=state.db\n";
        start(iniText);
        opened = printedBy([&] { server->openState(); });
    }

    // Stops the server (its last write) and starts another on the same file,
    // after running sql on it when given.
    void restart(uint32_t downMs = 0, const char* sql = nullptr) {
        printedBy([&] { server.reset(); });
        if (sql != nullptr) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(directory.file("state.db").c_str(), &db), SQLITE_OK);
            EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
            sqlite3_close(db);
        }
        clock.advance(downMs);
        ServerSettings settings;
        settings.load(directory.path());
        server = std::make_unique<DirectoryServer>(settings, ServerPorts{0, 0, silentPeer.localPort()});
        opened = printedBy([&] { server->openState(); });
    }

    // A second of iterations, so the keeper hands its batch over.
    void passASecond() {
        clock.advance(kStateWriteIntervalMs);
        iterate();
    }

    bool answer(FakeZone& zone, uint32_t population) {
        auto ping = pollWithin(zone.socket);
        if (!ping || ping->length() != 4) return false;
        const auto reply = le32Pair(population, readU32(ping->data(), 0));
        zone.socket.setDestination(ping->source);
        return zone.socket.send(reply.data(), reply.size());
    }

    PasswordCheck claim(const char* name, const char* password) {
        return server->zonePasswords().check(name, password);
    }

    std::string iniText;
    std::string opened;
};

TEST_F(StateFileTest, RestartListsTheZonesAtOncePingsThemAndDropsTheSilent) {
    startWithState("[Zone]\nInitialHighPing=50\nDropLimit=1\n");
    EXPECT_NE(opened.find("State: state.db: a new state file"), std::string::npos) << opened;
    FakeZone live;
    FakeZone silent;
    EXPECT_EQ(claim("Alpha Zone", "secret"), PasswordCheck::Accepted);
    EXPECT_EQ(claim("Beta", "other"), PasswordCheck::Accepted);
    addZone("Alpha Zone", live)->population = 4;
    addZone("Beta", silent);
    printedBy([&] {
        server->zones().addOrUpdate(kLoopback, 9000, 2, 1, 77, "From A Peer", "d", ZoneSource::Peer);
    });
    passASecond();

    restart();
    EXPECT_NE(opened.find("restored 2 names and 3 zones"), std::string::npos) << opened;
    EXPECT_EQ(opened.find("Adding"), std::string::npos) << "a restore is counted, not listed";
    ASSERT_EQ(server->zones().count(), 3);  // before any ping
    const ZoneRecord* peerZone = server->zones().find(kLoopback, 9000);
    ASSERT_NE(peerZone, nullptr);
    EXPECT_EQ(peerZone->source, ZoneSource::Peer);
    EXPECT_EQ(peerZone->zoneWord, 77u);
    EXPECT_EQ(peerZone->zoneFlag, 1);
    EXPECT_EQ(claim("Alpha Zone", "guess"), PasswordCheck::BadPassword);
    EXPECT_EQ(claim("alpha zone", "secret"), PasswordCheck::Accepted);
    EXPECT_EQ(server->restoresOwed(), 3u);
    EXPECT_NE(server->metricsText().find("\nkelvaro_state_restores_owed 3\n"), std::string::npos);

    // One ping per iteration (DatagramsPerIteration=1), not a burst.
    iterate();
    EXPECT_EQ(server->restoresOwed(), 2u);
    iterate();
    iterate();
    EXPECT_EQ(server->restoresOwed(), 0u);
    EXPECT_EQ(server->metrics().pingsSent, 3u);
    EXPECT_NE(server->metricsText().find("\nkelvaro_state_restores_owed 0\n"), std::string::npos);
    ASSERT_TRUE(answer(live, 9));
    for (int i = 0; i < 20 && server->zones().find(kLoopback, live.announcedPort())->population != 9; ++i) {
        iterate();
        sleepMs(1);
    }
    EXPECT_EQ(server->zones().find(kLoopback, live.announcedPort())->population, 9);
    ASSERT_NE(pollWithin(silent.socket), nullptr);
    for (int i = 0; i < 4; ++i) {
        clock.advance(51);
        iterate();
    }
    EXPECT_EQ(server->zones().find(kLoopback, silent.announcedPort()), nullptr);
    passASecond();
    restart();
    EXPECT_NE(opened.find("restored 2 names and 1 zones"), std::string::npos)
        << "the dropped zone left the file, the peer's zone did too: " << opened;
    EXPECT_EQ(server->zones().find(kLoopback, live.announcedPort())->population, 9);
    EXPECT_EQ(sqliteQuery(directory.file("state.db"), "PRAGMA integrity_check"), "ok");
}

TEST_F(StateFileTest, TimeDownDoesNotCountTowardReclaimDelay) {
    startWithState("[Zone]\nReclaimDelay=1\n");
    EXPECT_EQ(claim("Idle Long", "old"), PasswordCheck::Accepted);
    clock.advance(kHourMs + 1);
    EXPECT_EQ(claim("Kept", "mine"), PasswordCheck::Accepted);
    clock.advance(30 * 60 * 1000);
    restart(10 * kHourMs);
    EXPECT_NE(opened.find("restored 2 names"), std::string::npos) << opened;
    // Thirty minutes of service were behind it at the stop.
    clock.advance(29 * 60 * 1000);
    EXPECT_EQ(server->zonePasswords().peek("Kept", "thief"), PasswordCheck::BadPassword);
    clock.advance(2 * 60 * 1000);
    EXPECT_EQ(claim("Kept", "thief"), PasswordCheck::Accepted);
    // Past its delay before the stop, reclaimable after it.
    EXPECT_EQ(claim("Idle Long", "new"), PasswordCheck::Accepted);
    passASecond();
    restart();
    EXPECT_EQ(claim("Kept", "mine"), PasswordCheck::BadPassword) << "the reclaim was written";
    EXPECT_EQ(claim("Idle Long", "new"), PasswordCheck::Accepted);
}

TEST_F(StateFileTest, TimesNoDirectoryWritesAreBroughtIntoRangeWithOneWarning) {
    startWithState("[Zone]\nReclaimDelay=1\n");
    EXPECT_EQ(claim("Ancient", "old"), PasswordCheck::Accepted);
    EXPECT_EQ(claim("Future", "old"), PasswordCheck::Accepted);
    restart(0,
            "UPDATE meta SET value = 9223372036854775000 WHERE key = 'clock_ms';"
            "UPDATE names SET last_use_ms = -9223372036854775807 - 1 WHERE name = 'Ancient';"
            "UPDATE names SET last_use_ms = 9223372036854775807 WHERE name = 'Future';");
    EXPECT_NE(opened.find("Warning: [Directory] StateFile=state.db holds 3 times no directory "
                          "writes; they were brought into range\n"),
              std::string::npos)
        << opened;
    EXPECT_NE(opened.find("restored 2 names"), std::string::npos) << opened;
    // Idle since before the clock began: long past its delay.
    EXPECT_EQ(claim("Ancient", "new"), PasswordCheck::Accepted);
    EXPECT_EQ(claim("Future", "thief"), PasswordCheck::BadPassword) << "used just now";
    clock.advance(kHourMs + 1);
    EXPECT_EQ(claim("Future", "thief"), PasswordCheck::Accepted) << "an hour idle";
    passASecond();
    restart();
    EXPECT_EQ(opened.find("Warning"), std::string::npos) << "what it wrote is in range: " << opened;
    const int64_t written = std::stoll(sqliteQuery(directory.file("state.db"),
                                                   "SELECT value FROM meta WHERE key = 'clock_ms'"));
    EXPECT_EQ(written, kMaxClockMs) << "the clock stays at the top of the range, not wrapped";
    EXPECT_EQ(claim("Future", "old"), PasswordCheck::BadPassword) << "the thief's now";
}

TEST_F(StateFileTest, WithVerifiedZonesRestoredZonesProveTheirAddressAgain) {
    startWithState("[Zone]\nVerifiedZones=1\nInitialHighPing=50\nDropLimit=0\n");
    FakeZone live;
    FakeZone silent;
    // Listed here the way a proven zone is, with its name's password.
    EXPECT_EQ(claim("Proven", "pw"), PasswordCheck::Accepted);
    addZone("Proven", live);
    addZone("Gone Quiet", silent);
    passASecond();

    restart();
    EXPECT_NE(opened.find("restored 1 names and 0 zones, 2 zones to prove their address again"),
              std::string::npos)
        << opened;
    EXPECT_EQ(server->zones().count(), 0);
    iterate();
    iterate();
    EXPECT_EQ(server->pendingZones()->count(), 2);
    ASSERT_TRUE(answer(live, 5));
    std::string printed;
    for (int i = 0; i < 20 && server->zones().count() == 0; ++i) {
        printed += iterate();
        sleepMs(1);
    }
    EXPECT_EQ(printed, "Adding : Proven\n") << "its password came with the names";
    // The silent one is forgotten, and so is its row.
    for (int i = 0; i < 6; ++i) {
        clock.advance(600);
        iterate();
    }
    EXPECT_EQ(server->pendingZones()->count(), 0);
    restart();
    EXPECT_NE(opened.find("1 zones to prove their address again"), std::string::npos) << opened;
}

TEST_F(StateFileTest, AFailingWriteIsSaidOnceAMinuteAndTheRowsKept) {
    start();
    ZonePasswords passwords;
    ZoneList zones;
    StateOpenReport report;
    std::string reason;
    StateStoreOptions options;
    options.maxPages = 4;
    auto store = StateStore::open(directory.file("full.db"), report, reason, options);
    ASSERT_TRUE(store) << reason;
    StateKeeper keeper(std::move(store), passwords, zones, 0);
    keeper.start();
    std::string printed = printedBy([&] {
        for (uint16_t port = 1; port <= 300; ++port)
            zones.addOrUpdate(kLoopback, port, 1, 0, 0, "Zone " + std::to_string(port),
                              std::string(200, 'd'));
    });
    auto failuresAfter = [&](uint64_t seen) {
        for (int i = 0; i < 200 && keeper.store().status().failures <= seen; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return keeper.store().status().failures;
    };
    printed = printedBy([&] {
        clock.advance(kStateWriteIntervalMs);
        keeper.iterate();  // hands the batch over
        ASSERT_EQ(failuresAfter(0), 1u);
        keeper.iterate();  // says so
        clock.advance(kStateWriteIntervalMs);
        keeper.iterate();  // tries again, kept rows and all
        ASSERT_EQ(failuresAfter(1), 2u);
        keeper.iterate();
    });
    EXPECT_EQ(printed, "---State write failed: " + directory.file("full.db") +
                           ": database or disk is full\n");
    printed = printedBy([&] {
        clock.advance(kStateFailureReportMs);
        keeper.iterate();
        ASSERT_EQ(failuresAfter(2), 3u);
        keeper.iterate();
    });
    EXPECT_NE(printed.find("---State write failed"), std::string::npos);
}

}  // namespace
}  // namespace kelvaro::testing_support
