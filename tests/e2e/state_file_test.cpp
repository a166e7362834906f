// The state file on the real server: names and zones across a stop, across
// kill -9, a damaged file kept aside, and no file at all when it is off.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <optional>
#include <string>

#include "e2e/server_process.h"
#include "support/sqlite_query.h"
#include "support/temp_directory.h"
#include "support/udp_wait.h"
#include "support/zone_wire.h"

namespace kelvaro::testing_support {
namespace {

constexpr int kZones = 50;

std::string stateSettings(const std::string& path) {
    return "[Directory]\nStateFile=" + path + "\n";
}

bool announce(UdpEndpoint& zone, const std::string& name, uint16_t port, const char* password) {
    ZoneUpdate update;
    update.port = port;
    update.population = 3;
    update.name = name;
    update.password = password;
    update.description = "kept across restarts";
    return sendTo(zone, kServerUpdatePort, updateDatagram(update));
}

// The number of zones the server lists, as its count query answers.
int listedZones() {
    const HostSocket monitor("127.0.0.1", kServerUpdatePort);
    const std::optional<uint32_t> count = monitor.count(77);
    return count ? static_cast<int>(*count) : -1;
}

// Claims kZones names with zones on ports 5000, 5002, ...
void claimZones(ServerProcess& server, UdpEndpoint& zone) {
    for (int i = 0; i < kZones; ++i)
        ASSERT_TRUE(announce(zone, "Zone " + std::to_string(i), static_cast<uint16_t>(5000 + 2 * i), "pw"));
    ASSERT_TRUE(server.waitForLine("Adding : Zone " + std::to_string(kZones - 1))) << server.output();
}

// The restarted server refuses the names to another password and lists the
// zones from its first moment.
void expectKept(ServerProcess& server, UdpEndpoint& zone, const std::string& restoredLine) {
    ASSERT_TRUE(server.waitForLine(kBannerLine)) << server.output();
    EXPECT_NE(server.output().find(restoredLine), std::string::npos) << server.output();
    EXPECT_EQ(listedZones(), kZones);
    ASSERT_TRUE(announce(zone, "Zone 7", 6000, "thief"));
    EXPECT_TRUE(server.waitForLine("---Bad password from 127.0.0.1: Zone 7")) << server.output();
    ASSERT_TRUE(announce(zone, "Zone 7", 5014, "pw"));
    EXPECT_TRUE(server.waitForLine("---Update : Zone 7")) << server.output();
}

TEST(StateFileTest, NamesAndZonesSurviveAStopAndAKill) {
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "kill -9" : "stopped by a key");
        TempDirectory keep;
        const std::string path = keep.file("state.db");
        UdpEndpoint zone;
        ASSERT_GE(zone.open(0), 0);
        {
            ServerProcess first{stateSettings(path)};
            ASSERT_TRUE(first.waitForLine("State: " + path + ": a new state file")) << first.output();
            ASSERT_TRUE(first.waitForLine(kBannerLine));
            claimZones(first, zone);
            if (killed) {
                sleepMs(2000);  // a second for the write, and one to spare
                ASSERT_TRUE(first.signal(SIGKILL));
            } else {
                ASSERT_TRUE(first.pressKey());
            }
            ASSERT_TRUE(first.waitForExit(5000).has_value() || killed);
        }
        EXPECT_EQ(sqliteQuery(path, "PRAGMA integrity_check"), "ok");
        EXPECT_EQ(sqliteQuery(path, "SELECT count(*) FROM names"), std::to_string(kZones));
        EXPECT_GE(std::stoi(sqliteQuery(path, "PRAGMA user_version")), 1);
        ServerProcess second{stateSettings(path)};
        expectKept(second, zone,
                   "State: " + path + ": restored " + std::to_string(kZones) + " names and " +
                       std::to_string(kZones) + " zones");
    }
}

TEST(StateFileTest, DamagedFileIsKeptAsideAndTheServerStartsAfresh) {
    TempDirectory keep;
    const std::string path = keep.file("state.db");
    keep.write("state.db", std::string("SQLite format 3") + std::string(4000, '\x7f'));
    ServerProcess server{stateSettings(path)};
    ASSERT_TRUE(server.waitForLine(kBannerLine)) << server.output();
    EXPECT_NE(server.output().find("Warning: [Directory] StateFile=" + path + " is damaged"),
              std::string::npos)
        << server.output();
    UdpEndpoint zone;
    ASSERT_GE(zone.open(0), 0);
    ASSERT_TRUE(announce(zone, "Fresh", 5000, "pw"));
    EXPECT_TRUE(server.waitForLine("Adding : Fresh"));
    size_t aside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(keep.path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("state.db.damaged-", 0) == 0 && name.find("-wal") == std::string::npos) {
            ++aside;
            EXPECT_EQ(keep.read(name).substr(0, 15), "SQLite format 3");
        }
    }
    EXPECT_EQ(aside, 1u);
    ASSERT_TRUE(server.pressKey());
    ASSERT_TRUE(server.waitForExit(5000).has_value());
    EXPECT_EQ(sqliteQuery(path, "SELECT name FROM names"), "Fresh");
}

TEST(StateFileTest, UnusableFileLeavesTheServerServingFromMemoryAndOffMakesNoFile) {
    {
        // Nothing can be made below a regular file, even by root.
        TempDirectory keep;
        keep.write("plain", "x");
        ServerProcess server{stateSettings(keep.file("plain/state.db"))};
        ASSERT_TRUE(server.waitForLine(kBannerLine)) << server.output();
        EXPECT_NE(server.output().find("Warning: [Directory] StateFile=" + keep.file("plain/state.db") +
                                       " cannot be used: "),
                  std::string::npos)
            << server.output();
        UdpEndpoint zone;
        ASSERT_GE(zone.open(0), 0);
        ASSERT_TRUE(announce(zone, "Memory Only", 5000, "pw"));
        EXPECT_TRUE(server.waitForLine("Adding : Memory Only"));
    }
    ServerProcess server{""};
    ASSERT_TRUE(server.waitForLine(kBannerLine)) << server.output();
    UdpEndpoint zone;
    ASSERT_GE(zone.open(0), 0);
    ASSERT_TRUE(announce(zone, "No File", 5000, "pw"));
    EXPECT_TRUE(server.waitForLine("Adding : No File"));
    ASSERT_TRUE(server.pressKey());
    ASSERT_TRUE(server.waitForExit(5000).has_value());
    for (const auto& entry : std::filesystem::directory_iterator(server.directory.path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "kelvaro.ini" || name == "stats.txt") << name;
    }
}

}  // namespace
}  // namespace kelvaro::testing_support
