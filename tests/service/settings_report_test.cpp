// The start-up report: which file is in force and one warning for each value
// that disables or defeats something, without changing any value.

#include "service/settings_report.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "service/directory_server.h"
#include "support/temp_directory.h"

namespace kelvaro {
namespace {

using testing_support::TempDirectory;

// Counts its calls; "nowhere.invalid" does not resolve, other names are
// 127.0.0.53, dotted quads are themselves.
int resolutions = 0;
uint32_t countingResolver(const std::string& text) {
    ++resolutions;
    in_addr parsed{};
    if (inet_aton(text.c_str(), &parsed) != 0) return parsed.s_addr;
    return text == "nowhere.invalid" ? INADDR_NONE : inet_addr("127.0.0.53");
}

class SettingsReportTest : public ::testing::Test {
protected:
    std::vector<std::string> reportFor(const std::string& ini) {
        directory.write(kIniFileName, ini);
        settings = ServerSettings{};
        resolutions = 0;
        settings.load(directory.path(), countingResolver);
        return settingsReport(settings);
    }

    static std::vector<std::string> starting(const std::vector<std::string>& lines,
                                             const std::string& prefix) {
        std::vector<std::string> found;
        for (const std::string& line : lines)
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        return found;
    }

    TempDirectory directory;
    ServerSettings settings;
};

TEST_F(SettingsReportTest, DefaultsGiveTheFileAndOneLinePerSectionWithoutWarnings) {
    const std::vector<std::string> lines = reportFor("");
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "Settings: read " + directory.path() + "/kelvaro.ini");
    EXPECT_EQ(lines[1],
              "Settings: [Core] PacketSilenceLimit=2000 MaxReliableInTransit=3 ChunkSize=496 "
              "MaxHosts=10 MaxWindow=0 MaxHostsPerAddress=0 ClusterMode=0");
    EXPECT_EQ(lines[2],
              "Settings: [CPU] IterationSleepTime=15 SlowIteration=300 DatagramsPerIteration=1 "
              "WakeOnTraffic=0");
    EXPECT_EQ(lines[3],
              "Settings: [Zone] SweepTime=500 DropLimit=10 ReclaimDelay=24 InitialHighPing=300 "
              "MaxZones=0 MaxZonesPerAddress=0 MaxPasswordRecords=0 BusyHoldLimit=10000 SweepCycle=0 "
              "RejoinDelay=0");
    EXPECT_EQ(lines[4],
              "Settings: [Directory] DownloadTime=1 StatsWriteMinutes=1 StatsFile=stats.txt "
              "IP=localhost, localhost & localhost (127.0.0.53 127.0.0.53 127.0.0.53)");
    EXPECT_EQ(lines[5],
              "Settings: [Http] Port=0 MaxAge=5 Timeout=10 MaxConnections=64 "
              "MaxConnectionsPerAddress=8 Address=127.0.0.1; off");
}

// Each row: an ini and the one warning it must give.
TEST_F(SettingsReportTest, EachDefeatingValueGivesItsOwnWarning) {
    struct Row {
        const char* ini;
        const char* warning;
    };
    const Row rows[] = {
        {"[Core]\nMaxHosts=0\n", "Warning: [Core] MaxHosts=0: no client can connect"},
        {"[Core]\nMaxHosts=65536\n", "Warning: [Core] MaxHosts=65536: no client can connect"},
        {"[Core]\nMaxHosts=65537\n",
         "Warning: [Core] MaxHosts=65537: only its low 16 bits count: at most 1 clients at once"},
        {"[Core]\nMaxWindow=256\n", "Warning: [Core] MaxWindow=256: taken as 255 packets"},
        {"[Core]\nMaxWindow=-1\n",
         "Warning: [Core] MaxWindow=-1: taken as 0: the window stays MaxReliableInTransit"},
        {"[Core]\nMaxHostsPerAddress=-2\n",
         "Warning: [Core] MaxHostsPerAddress=-2: taken as 0: no limit per address"},
        {"[Core]\nMaxReliableInTransit=0\n",
         "Warning: [Core] MaxReliableInTransit=0: no reliable packet is ever sent: no client can "
         "fetch the list"},
        {"[Core]\nPacketSilenceLimit=0\n",
         "Warning: [Core] PacketSilenceLimit=0: every connection is closed at once: no client can "
         "fetch the list"},
        {"[Http]\nPort=8080\nTimeout=0\n",
         "Warning: [Http] Timeout=0: idle HTTP connections are never closed"},
        {"[Zone]\nDropLimit=-1\n",
         "Warning: [Zone] DropLimit=-1: no zone is ever dropped: dead zones stay listed"},
        {"[Zone]\nInitialHighPing=-5\n",
         "Warning: [Zone] InitialHighPing=-5: new zones are never re-pinged: dead zones stay listed"},
        {"[Zone]\nSweepTime=-1\n",
         "Warning: [Zone] SweepTime=-1: no zone is ever pinged: dead zones stay listed"},
        {"[CPU]\nIterationSleepTime=400\n",
         "Warning: [CPU] IterationSleepTime=400 is not below SlowIteration=300: every iteration is "
         "slow, pings are forgotten and zones are never dropped"},
        {"[CPU]\nIterationSleepTime=300\n",
         "Warning: [CPU] IterationSleepTime=300 is not below SlowIteration=300: every iteration is "
         "slow, pings are forgotten and zones are never dropped"},
        {"[Zone]\nSweepCycle=60\n",
         "Warning: [Zone] SweepCycle=60 with [CPU] DatagramsPerIteration=1: at most 66 sweep "
         "pings a second, so the cycle holds for up to about 3960 zones"},
        {"[Zone]\nSweepCycle=300\n[CPU]\nDatagramsPerIteration=4\n",
         "Warning: [Zone] SweepCycle=300 with [CPU] DatagramsPerIteration=4: at most 266 sweep "
         "pings a second, so the cycle holds for up to about 79800 zones"},
        {"[Core]\nChunkSize= 12abc\n", "Warning: [Core] ChunkSize=12abc: not a number, read as 12"},
        {"[Core]\nClusterMode=yes\n", "Warning: [Core] ClusterMode=yes: not a number, read as 0"},
        {"[Zone]\nDropLimit=\n", "Warning: [Zone] DropLimit=: not a number, read as 0"},
        {"[Directory]\nIP=127.0.0.1:4990\n",
         "Warning: [Directory] IP entry '4990' is neither a dotted quad nor a host name: taken as "
         "0.0.19.126"},
        {"[Directory]\nIP=127.0.0.1, nowhere.invalid\n",
         "Warning: [Directory] IP entry 'nowhere.invalid' does not resolve: downloads from it go "
         "nowhere"},
    };
    for (const Row& row : rows) {
        const std::vector<std::string> warnings = starting(reportFor(row.ini), "Warning:");
        EXPECT_EQ(warnings, std::vector<std::string>{row.warning}) << row.ini;
    }
    // The report only tells: the values keep their meaning.
    reportFor("[CPU]\nIterationSleepTime=abc\n[Core]\nMaxHosts=0\n");
    EXPECT_EQ(settings.IterationSleepTime, 0);
    EXPECT_EQ(settings.MaxHosts, 0);
}

TEST_F(SettingsReportTest, CleanValuesAndHarmlessNegativesGiveNoWarning) {
    const std::vector<std::string> lines = reportFor(
        "[Core]\nMaxHosts=65535\nChunkSize=+7\nMaxReliableInTransit=1\n"
        "[CPU]\nIterationSleepTime=-1\nSlowIteration=-1\n"
        "[CPU]\nDatagramsPerIteration=64\n[Zone]\nSweepCycle=60\nBusyHoldLimit=-1\n"
        "[Directory]\nDownloadTime=-1\nIP=127.0.0.1 peer.example 10.1.2.3\n");
    EXPECT_EQ(starting(lines, "Warning:"), std::vector<std::string>{});
    EXPECT_NE(lines[4].find("; downloads off"), std::string::npos) << lines[4];
}

TEST_F(SettingsReportTest, EveryPeerEntryIsResolvedExactlyOnceAndRecorded) {
    reportFor("[Directory]\nIP=127.0.0.1:4990, nowhere.invalid & peer.example\n");
    EXPECT_EQ(resolutions, 4);
    ASSERT_EQ(settings.peers.size(), 4u);
    ASSERT_EQ(settings.peerCount, 4);
    const PeerEntry::Form forms[] = {PeerEntry::Form::DottedQuad, PeerEntry::Form::Other,
                                     PeerEntry::Form::HostName, PeerEntry::Form::HostName};
    const bool resolved[] = {true, true, false, true};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(settings.peers[i].form, forms[i]) << i;
        EXPECT_EQ(settings.peers[i].resolved, resolved[i]) << i;
        EXPECT_EQ(settings.peers[i].address, settings.peerAddresses[i]) << i;
    }
    EXPECT_EQ(settings.peers[1].text, "4990");
}

// The server runs on the peers as load() resolved them: building it resolves
// nothing again (each resolution of a dead name can take seconds).
TEST_F(SettingsReportTest, TheServerKeepsThePeersAsLoaded) {
    reportFor("[Directory]\nIP=peer.example, 127.0.0.9\n");
    ASSERT_EQ(resolutions, 2);
    const DirectoryServer server(settings, ServerPorts{0, 0, 0});
    ASSERT_EQ(server.settings().peerCount, 2);
    EXPECT_EQ(server.settings().peerAddresses[0], inet_addr("127.0.0.53"));
    EXPECT_EQ(server.settings().peerAddresses[1], inet_addr("127.0.0.9"));
    EXPECT_EQ(resolutions, 2);
}

TEST(PeerEntryFormTest, DottedQuadsNeedFourDecimalPartsUpTo255) {
    EXPECT_EQ(peerEntryForm("127.0.0.1"), PeerEntry::Form::DottedQuad);
    EXPECT_EQ(peerEntryForm("255.255.255.255"), PeerEntry::Form::DottedQuad);
    for (const char* other : {"", "4990", "127.1", "256.0.0.1", "1.2.3.4.5", "1..2.3", "1.2.3.",
                              "0001.2.3.4"})
        EXPECT_EQ(peerEntryForm(other), PeerEntry::Form::Other) << other;
    EXPECT_EQ(peerEntryForm("a.b"), PeerEntry::Form::HostName);
    EXPECT_EQ(peerEntryForm("1.2.3.x"), PeerEntry::Form::HostName);
}

// What happens to the file itself is said on the first line; a file that
// cannot be read gives the defaults (the service binary then stops).
TEST_F(SettingsReportTest, MissingOrUnreadableFileIsNamedWithItsReason) {
    const std::string path = directory.path() + "/kelvaro.ini";
    ServerSettings missing;
    missing.load(directory.path(), countingResolver);
    EXPECT_EQ(settingsReport(missing)[0],
              "Settings: no " + path + ", built-in defaults in force");

    std::filesystem::create_directory(path);
    ServerSettings shaped;
    shaped.load(directory.path(), countingResolver);
    EXPECT_EQ(settingsReport(shaped)[0],
              "Settings: cannot read " + path + ": Is a directory");
    EXPECT_EQ(shaped.MaxHosts, 10);
    std::filesystem::remove(path);

    // A FIFO would block any reader: it is refused without being opened.
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    ServerSettings fifo;
    fifo.load(directory.path(), countingResolver);
    EXPECT_EQ(settingsReport(fifo)[0],
              "Settings: cannot read " + path + ": Not a regular file");
    EXPECT_EQ(fifo.SweepTime, 500);
}

TEST_F(SettingsReportTest, SaturatedIntervalsAreShownInMilliseconds) {
    const std::vector<std::string> lines = reportFor("[Zone]\nReclaimDelay=1194\n");
    EXPECT_NE(lines[3].find(" ReclaimDelay=2147483647 ms "), std::string::npos) << lines[3];
}

// Lines no setting reads, each named with its line number, and the nearest
// known name when one is close; the value written first stays in force.
TEST_F(SettingsReportTest, LinesNoSettingReadsAreNamedWithTheNearestKey) {
    struct Row {
        const char* ini;
        std::vector<std::string> warnings;
    };
    const Row rows[] = {
        {"[Zone]\nDropLimt=4\n",
         {"Warning: line 2: unknown key DropLimt in [Zone], ignored; did you mean DropLimit?"}},
        {"[zone]\ndroplimit=4\nsweeptime=7\n", {}},
        {"[Core]\nDropLimit=4\n",
         {"Warning: line 2: unknown key DropLimit in [Core], ignored; did you mean [Zone] "
          "DropLimit?"}},
        {"[Zones]\nDropLimit=4\nSweepTime=1\n",
         {"Warning: line 1: unknown section [Zones], its keys are ignored; did you mean [Zone]?"}},
        {"[Network]\nPort=1\n", {"Warning: line 1: unknown section [Network], its keys are ignored"}},
        {"[Core]\nColour=blue\n", {"Warning: line 2: unknown key Colour in [Core], ignored"}},
        {"MaxHosts=4\n[Core]\n",
         {"Warning: line 1: MaxHosts is outside any section, ignored; did you mean [Core] "
          "MaxHosts?"}},
        {"[Zone]\nSweepTime=7\n; a comment\n\n[Zone]\nsweeptime=9\n",
         {"Warning: line 6: [Zone] sweeptime is set again, ignored: line 2 is in force"}},
        {"\xEF\xBB\xBF[Core]\nMaxHosts=4\n", {}},
    };
    for (const Row& row : rows) {
        const std::vector<std::string> warnings = starting(reportFor(row.ini), "Warning:");
        EXPECT_EQ(warnings, row.warnings) << row.ini;
    }
    reportFor("[Zone]\nSweepTime=7\n[Zone]\nSweepTime=9\n");
    EXPECT_EQ(settings.SweepTime, 7);
    // After a byte-order mark the first section is read like any other.
    reportFor("\xEF\xBB\xBF[Core]\nMaxHosts=4\n");
    EXPECT_EQ(settings.MaxHosts, 4);
}

// A value outside its range is shown as the value in force, with what was
// written; StatsWriteMinutes=0 warns only when there is a file to rewrite.
TEST_F(SettingsReportTest, ClampedValuesAreReportedAsInForce) {
    struct Row {
        const char* ini;
        const char* shown;  // a part of the section's Settings: line
        std::vector<std::string> warnings;
    };
    const Row rows[] = {
        {"[Core]\nChunkSize=0\n", " ChunkSize=1 ",
         {"Warning: [Core] ChunkSize=0 -> 1: a chunk must carry a byte and fit one datagram "
          "(1..502)"}},
        {"[Core]\nChunkSize=9000\n", " ChunkSize=502 ",
         {"Warning: [Core] ChunkSize=9000 -> 502: a chunk must carry a byte and fit one datagram "
          "(1..502)"}},
        {"[Core]\nChunkSize=502\n", " ChunkSize=502 ", {}},
        {"[CPU]\nDatagramsPerIteration=0\n", " DatagramsPerIteration=1 ",
         {"Warning: [CPU] DatagramsPerIteration=0 -> 1: an endpoint yields 1..1024 datagrams per "
          "iteration"}},
        {"[Zone]\nReclaimDelay=1194\n", " ReclaimDelay=2147483647 ms ",
         {"Warning: [Zone] ReclaimDelay=1194 -> 2147483647 ms: the longest interval the timers "
          "measure"}},
        {"[Directory]\nStatsWriteMinutes=0\n", " StatsWriteMinutes=0 ",
         {"Warning: [Directory] StatsWriteMinutes=0: the statistics and metrics files are "
          "rewritten in every idle iteration"}},
        {"[Directory]\nStatsWriteMinutes=0\nStatsFile=\n", " StatsWriteMinutes=0 ", {}},
    };
    for (const Row& row : rows) {
        const std::vector<std::string> lines = reportFor(row.ini);
        EXPECT_EQ(starting(lines, "Warning:"), row.warnings) << row.ini;
        bool shown = false;
        for (const std::string& line : starting(lines, "Settings: ["))
            shown = shown || line.find(row.shown) != std::string::npos;
        EXPECT_TRUE(shown) << row.ini;
    }
    reportFor("[Core]\nChunkSize=0\n");
    EXPECT_EQ(settings.ChunkSize, 1);
    EXPECT_EQ(settings.transport().ChunkSize, 1u);
}

}  // namespace
}  // namespace kelvaro

namespace kelvaro {
namespace {

TEST(ProofOfAddressSettingsTest, ShownOnlyWhenSetAndThePendingBoundIsNeverZero) {
    struct Case {
        const char* ini;
        const char* zoneLineEnd;  // after MaxPasswordRecords=0
        uint32_t maxPending;
        bool verified;
    };
    const Case cases[] = {
        {"", "", 10000, false},
        {"[Zone]\nVerifiedZones=1\n", " VerifiedZones=1 MaxPendingZones=10000", 10000, true},
        {"[Zone]\nVerifiedZones=7\nMaxPendingZones=0\nBanFile=/etc/bans\n",
         " VerifiedZones=1 MaxPendingZones=1 BanFile=/etc/bans", 1, true},
        {"[Zone]\nMaxPendingZones=25\nBanFile=bans\n", " BanFile=bans", 25, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        testing_support::TempDirectory directory;
        directory.write(kIniFileName, c.ini);
        ServerSettings settings;
        settings.load(directory.path(), countingResolver);
        EXPECT_EQ(settings.zones().VerifiedZones, c.verified);
        EXPECT_EQ(settings.zones().MaxPendingZones, c.maxPending);
        const auto lines = settingsReport(settings);
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[3],
                  std::string("Settings: [Zone] SweepTime=500 DropLimit=10 ReclaimDelay=24 "
                              "InitialHighPing=300 MaxZones=0 MaxZonesPerAddress=0 "
                              "MaxPasswordRecords=0 BusyHoldLimit=10000 SweepCycle=0 "
                              "RejoinDelay=0") +
                      c.zoneLineEnd);
    }
}

}  // namespace
}  // namespace kelvaro
