// The SIGHUP diff: which changed keys are put in force, which wait for a
// restart, the lines that say so, and a file that can no longer be read.

#include "service/settings_reload.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "service/server_settings.h"
#include "support/temp_directory.h"

namespace kelvaro {
namespace {

using testing_support::TempDirectory;

// Peer names resolve to a fixed address: no lookups leave the test.
uint32_t fixedAddress(const std::string& name) { return name.empty() ? 0xFFFFFFFFu : 0x0100007Fu; }

ServerSettings loaded(const TempDirectory& directory, const std::string& ini) {
    directory.write("kelvaro.ini", ini);
    ServerSettings settings;
    settings.loadFile(directory.file("kelvaro.ini"), fixedAddress);
    return settings;
}

TEST(SettingsReloadTest, ChangedKeysAreAppliedOrNamedAsNeedingARestart) {
    struct Row {
        const char* before;
        const char* after;
        std::vector<std::string> lines;
        bool applied;
        int32_t ServerSettings::*field;  // checked in force
        int32_t inForce;
    };
    const Row rows[] = {
        {"", "", {}, false, &ServerSettings::SweepCycle, 0},
        {"[Zone]\nSweepCycle=0\n",
         "[Zone]\nSweepCycle=60\n",
         {"---Reload: Zone SweepCycle: 0 -> 60"},
         true,
         &ServerSettings::SweepCycle,
         60000},
        {"[Core]\nMaxHosts=10\n",
         "[core]\nmaxhosts=3\n",
         {"---Reload: Core MaxHosts: 10 -> 3"},
         true,
         &ServerSettings::MaxHosts,
         3},
        {"[Http]\nPort=8080\n",
         "[Http]\nPort=8081\n",
         {"---Reload: Http Port: 8080 -> 8081: needs a restart, 8080 stays in force"},
         false,
         &ServerSettings::HttpPort,
         8080},
        // The IPv6 sockets are opened once: the port stays as it was too.
        {"",
         "[Core]\nListenIPv6=1\n",
         {"---Reload: Core ListenIPv6: 0 -> 1: needs a restart, 0 stays in force"},
         false,
         &ServerSettings::HttpPort,
         0},
        // One live and one restart-only change in the same edit.
        {"[Zone]\nRejoinDelay=0\n[Http]\nTimeout=10\n",
         "[Zone]\nRejoinDelay=180\n[Http]\nTimeout=20\n",
         {"---Reload: Zone RejoinDelay: 0 -> 180",
          "---Reload: Http Timeout: 10 -> 20: needs a restart, 10 stays in force"},
         true,
         &ServerSettings::HttpTimeout,
         10},
        // A key taken out of the file goes back to its default.
        {"[Directory]\nStatsWriteMinutes=5\n",
         "",
         {"---Reload: Directory StatsWriteMinutes: 5 -> 1"},
         true,
         &ServerSettings::StatsWriteMinutes,
         60000},
    };
    for (const Row& row : rows) {
        TempDirectory directory;
        const ServerSettings current = loaded(directory, row.before);
        const ServerSettings read = loaded(directory, row.after);
        const ReloadOutcome outcome = reloadSettings(current, read, true);
        EXPECT_EQ(outcome.lines, row.lines) << row.after;
        EXPECT_EQ(outcome.applied, row.applied) << row.after;
        EXPECT_TRUE(outcome.taken) << row.after;
        EXPECT_EQ(outcome.inForce.*row.field, row.inForce) << row.after;
    }
}

TEST(SettingsReloadTest, TextKeysAndThePeerListChangeWholeAndTheStateFileWaits) {
    TempDirectory directory;
    const ServerSettings current =
        loaded(directory, "[Directory]\nIP=one\nStateFile=a.db\nMetricsFile=\n");
    const ServerSettings read =
        loaded(directory, "[Directory]\nIP=one two\nStateFile=b.db\nMetricsFile=m.prom\n");
    const ReloadOutcome outcome = reloadSettings(current, read, true);
    const std::vector<std::string> expected = {
        "---Reload: Directory MetricsFile: (empty) -> m.prom",
        "---Reload: Directory StateFile: a.db -> b.db: needs a restart, a.db stays in force",
        "---Reload: Directory IP: one -> one two",
    };
    EXPECT_EQ(outcome.lines, expected);
    EXPECT_EQ(outcome.inForce.MetricsFile, "m.prom");
    EXPECT_EQ(outcome.inForce.StateFile, "a.db");
    EXPECT_EQ(outcome.inForce.peerCount, 2);
    ASSERT_EQ(outcome.inForce.peers.size(), 2u);
    EXPECT_EQ(outcome.inForce.peers[1].text, "two");
}

// Each row's text, copy and key must name the same field: a row that shows
// one field and copies another would report a change it does not make.
TEST(SettingsReloadTest, EveryIntegerKeyHasARowThatShowsAndCopiesItsOwnField) {
    for (const IntegerKey* key = integerKeysBegin(); key != integerKeysEnd(); ++key) {
        const ReloadKey* row = reloadKeysBegin();
        while (row != reloadKeysEnd() &&
               !(std::string(row->section) == key->section && std::string(row->key) == key->key))
            ++row;
        ASSERT_NE(row, reloadKeysEnd()) << key->section << " " << key->key;
        ServerSettings current;
        ServerSettings read;
        read.iniStatus.state = ProfileFileStatus::State::Read;
        current.iniStatus.state = ProfileFileStatus::State::Read;
        current.*key->field = static_cast<int32_t>(2 * key->scale);
        read.*key->field = static_cast<int32_t>(3 * key->scale);
        const ReloadOutcome outcome = reloadSettings(current, read, true);
        const std::string line =
            std::string("---Reload: ") + key->section + " " + key->key + ": 2 -> 3";
        ASSERT_EQ(outcome.lines.size(), 1u) << key->key;
        EXPECT_EQ(outcome.lines[0].substr(0, line.size()), line);
        EXPECT_EQ(outcome.inForce.*key->field, row->apply ? read.*key->field : current.*key->field)
            << key->key;
    }
    for (const ReloadKey* row = reloadKeysBegin(); row != reloadKeysEnd(); ++row)
        EXPECT_TRUE(isKnownSetting(row->section, row->key)) << row->section << " " << row->key;
}

TEST(SettingsReloadTest, AFileThatCannotBeReadChangesNothing) {
    struct Row {
        bool makeDirectory;  // else the file is removed
        bool required;
        bool readAtStart;
        bool taken;
    };
    const Row rows[] = {
        {true, false, true, false},   // a directory where the file was
        {false, true, true, false},   // named on the command line, now gone
        {false, false, true, false},  // read at start, now gone
        {false, false, false, true},  // never there: the defaults stay the defaults
    };
    for (const Row& row : rows) {
        TempDirectory directory;
        ServerSettings current = loaded(directory, "[Core]\nMaxHosts=50\n");
        std::filesystem::remove(directory.file("kelvaro.ini"));
        if (!row.readAtStart) current.loadFile(directory.file("kelvaro.ini"), fixedAddress);
        if (row.makeDirectory) std::filesystem::create_directory(directory.file("kelvaro.ini"));
        ServerSettings read;
        read.loadFile(directory.file("kelvaro.ini"), fixedAddress);
        const ReloadOutcome outcome = reloadSettings(current, read, row.required);
        EXPECT_EQ(outcome.taken, row.taken);
        EXPECT_EQ(outcome.inForce.MaxHosts, current.MaxHosts);
        if (row.taken) {
            EXPECT_TRUE(outcome.lines.empty());
            continue;
        }
        ASSERT_EQ(outcome.lines.size(), 1u);
        EXPECT_EQ(
            outcome.lines[0].rfind("---Reload: cannot read " + directory.file("kelvaro.ini"), 0),
            0u)
            << outcome.lines[0];
        EXPECT_NE(outcome.lines[0].find("nothing changed"), std::string::npos);
        EXPECT_FALSE(outcome.applied);
    }
}

}  // namespace
}  // namespace kelvaro
