#include "service/server_settings.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/profile_reader.h"
#include "support/temp_directory.h"

namespace kelvaro {
namespace {

using testing_support::TempDirectory;

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

uint32_t ip(const char* text) { return inet_addr(text); }

class ServerSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(directory.path().empty()); }

    // Loads settings from an ini file holding exactly text.
    ServerSettings loadIni(const std::string& text) {
        directory.write(kIniFileName, text);
        ServerSettings settings;
        settings.load(directory.path());
        return settings;
    }

    std::vector<uint32_t> peers(const ServerSettings& settings) {
        return {settings.peerAddresses, settings.peerAddresses + settings.peerCount};
    }

    TempDirectory directory;
};

TEST_F(ServerSettingsTest, EveryKeyHasItsDefaultWithoutAnIniFile) {
    ServerSettings settings;
    settings.load(directory.path());
    EXPECT_EQ(settings.PacketSilenceLimit, 2000);
    EXPECT_EQ(settings.MaxReliableInTransit, 3);
    EXPECT_EQ(settings.ChunkSize, 496);
    EXPECT_FALSE(settings.ClusterMode);
    EXPECT_EQ(settings.MaxHosts, 10);
    EXPECT_EQ(settings.SlowIteration, 300);
    EXPECT_EQ(settings.IterationSleepTime, 15);
    EXPECT_EQ(settings.SweepTime, 500);
    EXPECT_EQ(settings.DropLimit, 10);
    EXPECT_EQ(settings.ReclaimDelay, 24 * 3600000);
    EXPECT_EQ(settings.InitialHighPing, 300);
    EXPECT_EQ(settings.MaxZones, 0);
    EXPECT_EQ(settings.MaxZonesPerAddress, 0);
    EXPECT_EQ(settings.MaxPasswordRecords, 0);
    EXPECT_EQ(settings.DownloadTime, 60000);
    EXPECT_EQ(settings.StatsFile, "stats.txt");
    EXPECT_EQ(settings.StatsWriteMinutes, 60000);
    // Three default peer names, all of them the local host.
    ASSERT_EQ(settings.peerCount, 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ntohl(settings.peerAddresses[i]) >> 24, 127u) << i;
}

TEST_F(ServerSettingsTest, ValuesFromTheFileReplaceTheDefaults) {
    const ServerSettings settings = loadIni(
        "[Core]\nPacketSilenceLimit=100\nMaxReliableInTransit=5\nChunkSize=200\nMaxHosts=2\n"
        "[CPU]\nSlowIteration=50\nIterationSleepTime=1\n"
        "[Zone]\nSweepTime=20\nDropLimit=3\nInitialHighPing=40\n"
        "[Directory]\nStatsFile=out.tsv\nIP=127.0.0.7\n");
    EXPECT_EQ(settings.PacketSilenceLimit, 100);
    EXPECT_EQ(settings.MaxReliableInTransit, 5);
    EXPECT_EQ(settings.ChunkSize, 200);
    EXPECT_EQ(settings.MaxHosts, 2);
    EXPECT_EQ(settings.SlowIteration, 50);
    EXPECT_EQ(settings.IterationSleepTime, 1);
    EXPECT_EQ(settings.SweepTime, 20);
    EXPECT_EQ(settings.DropLimit, 3);
    EXPECT_EQ(settings.InitialHighPing, 40);
    EXPECT_EQ(settings.StatsFile, "out.tsv");
    EXPECT_EQ(peers(settings), (std::vector<uint32_t>{ip("127.0.0.7")}));
}

// The layers below hold their own built-in defaults; they must be the file's.
// Negative values reach them as the huge unsigned intervals they mean, and
// ChunkSize arrives clamped.
TEST_F(ServerSettingsTest, HandedDownValuesMatchTheDefaultsAndConvertUnsigned) {
    ServerSettings defaults;
    defaults.load(directory.path());
    const TransportSettings transport = defaults.transport();
    const TransportSettings builtInTransport;
    EXPECT_EQ(transport.PacketSilenceLimit, builtInTransport.PacketSilenceLimit);
    EXPECT_EQ(transport.MaxReliableInTransit, builtInTransport.MaxReliableInTransit);
    EXPECT_EQ(transport.ChunkSize, builtInTransport.ChunkSize);
    EXPECT_EQ(transport.ClusterMode, builtInTransport.ClusterMode);
    EXPECT_EQ(transport.MaxWindow, builtInTransport.MaxWindow);
    EXPECT_EQ(transport.MaxHostsPerAddress, builtInTransport.MaxHostsPerAddress);
    const ZoneSettings zones = defaults.zones();
    const ZoneSettings builtInZones;
    EXPECT_EQ(zones.SweepTime, builtInZones.SweepTime);
    EXPECT_EQ(zones.DropLimit, builtInZones.DropLimit);
    EXPECT_EQ(zones.ReclaimDelay, builtInZones.ReclaimDelay);
    EXPECT_EQ(zones.InitialHighPing, builtInZones.InitialHighPing);
    EXPECT_EQ(zones.MaxZones, builtInZones.MaxZones);
    EXPECT_EQ(zones.MaxZonesPerAddress, builtInZones.MaxZonesPerAddress);
    EXPECT_EQ(zones.MaxPasswordRecords, builtInZones.MaxPasswordRecords);
    EXPECT_EQ(zones.SweepCycle, builtInZones.SweepCycle);
    EXPECT_EQ(zones.RejoinDelay, builtInZones.RejoinDelay);

    // The caps reach the zones as read; a negative cap is no cap.
    const ServerSettings capped =
        loadIni("[Zone]\nMaxZones=7\nMaxZonesPerAddress=-3\nMaxPasswordRecords=9\n");
    EXPECT_EQ(capped.zones().MaxZones, 7u);
    EXPECT_EQ(capped.zones().MaxZonesPerAddress, 0u);
    EXPECT_EQ(capped.zones().MaxPasswordRecords, 9u);
    // So do the transport's: a negative window or per-address cap is off.
    EXPECT_EQ(loadIni("[Core]\nMaxWindow=64\nMaxHostsPerAddress=2\n").transport().MaxWindow, 64u);
    EXPECT_EQ(loadIni("[Core]\nMaxWindow=64\nMaxHostsPerAddress=2\n").transport().MaxHostsPerAddress, 2u);
    EXPECT_EQ(loadIni("[Core]\nMaxWindow=-4\n").transport().MaxWindow, 0u);
    EXPECT_EQ(loadIni("[Core]\nMaxHostsPerAddress=-1\n").transport().MaxHostsPerAddress, 0u);

    const ServerSettings odd = loadIni(
        "[Core]\nPacketSilenceLimit=-1\nChunkSize=9999\n[Zone]\nDropLimit=-1\nSweepTime=-2\n");
    EXPECT_EQ(odd.transport().PacketSilenceLimit, UINT32_MAX);
    EXPECT_EQ(odd.transport().ChunkSize, kMaxChunkSize);
    EXPECT_EQ(odd.zones().DropLimit, UINT32_MAX);
    EXPECT_EQ(odd.zones().SweepTime, UINT32_MAX - 1);

    // The cycle and the delay are seconds in the file; negative turns them off.
    struct Case {
        const char* ini;
        int32_t busyHoldLimit;
        uint32_t sweepCycleMs;
        uint32_t rejoinDelayMs;
    };
    const Case cases[] = {
        {"", 10000, 0, 0},
        {"[Zone]\nBusyHoldLimit=2000\nSweepCycle=60\nRejoinDelay=180\n", 2000, 60000, 180000},
        {"[Zone]\nBusyHoldLimit=-1\nSweepCycle=-5\nRejoinDelay=-1\n", -1, 0, 0},
        {"[Zone]\nBusyHoldLimit=0\nSweepCycle=1\nRejoinDelay=1\n", 0, 1000, 1000},
        {"[Zone]\nSweepCycle=99999999\n", 10000, static_cast<uint32_t>(kLongestIntervalMs), 0},
    };
    for (const Case& c : cases) {
        const ServerSettings read = loadIni(c.ini);
        EXPECT_EQ(read.BusyHoldLimit, c.busyHoldLimit) << c.ini;
        EXPECT_EQ(read.zones().SweepCycle, c.sweepCycleMs) << c.ini;
        EXPECT_EQ(read.zones().RejoinDelay, c.rejoinDelayMs) << c.ini;
    }
}

TEST_F(ServerSettingsTest, ClusterModeIsAnyNonZeroNumber) {
    EXPECT_TRUE(loadIni("[Core]\nClusterMode=2\n").ClusterMode);
    EXPECT_TRUE(loadIni("[Core]\nClusterMode=-1\n").ClusterMode);
    EXPECT_FALSE(loadIni("[Core]\nClusterMode=abc\n").ClusterMode);
    EXPECT_FALSE(loadIni("[Core]\nClusterMode=0\n").ClusterMode);
}

TEST_F(ServerSettingsTest, IntegersAreReadTheAtoiWay) {
    const ServerSettings settings = loadIni(
        "[Core]\nChunkSize=12abc\nMaxHosts=abc\nPacketSilenceLimit=+7\nMaxReliableInTransit=-5\n"
        // 31 zeros fill the reader's buffer, so the trailing 5 is never seen.
        "[Zone]\nSweepTime=00000000000000000000000000000005\n");
    EXPECT_EQ(settings.ChunkSize, 12);
    EXPECT_EQ(settings.MaxHosts, 0);
    EXPECT_EQ(settings.PacketSilenceLimit, 7);
    EXPECT_EQ(settings.MaxReliableInTransit, -5);
    EXPECT_EQ(settings.SweepTime, 0);
}

TEST_F(ServerSettingsTest, IntegersBeyondThirtyTwoBitsSaturate) {
    const ServerSettings settings = loadIni(
        "[Zone]\nSweepTime=99999999999\nDropLimit=-99999999999\nInitialHighPing=2147483648\n"
        "[CPU]\nSlowIteration=2147483647\nIterationSleepTime=-2147483648\n");
    EXPECT_EQ(settings.SweepTime, INT32_MAX);
    EXPECT_EQ(settings.DropLimit, INT32_MIN);
    EXPECT_EQ(settings.InitialHighPing, INT32_MAX);
    EXPECT_EQ(settings.SlowIteration, INT32_MAX);
    EXPECT_EQ(settings.IterationSleepTime, INT32_MIN);
}

// Each row: the file's value, then what ReclaimDelay (hours), DownloadTime and
// StatsWriteMinutes (minutes) hold. Positive products beyond 32 bits hold the
// longest interval instead of wrapping into a short one; negative ones stay
// intervals that never pass.
TEST_F(ServerSettingsTest, HoursAndMinutesBecomeMillisecondsSaturatingInsteadOfWrapping) {
    struct Row {
        const char* value;
        int32_t hoursMs;
        int32_t minutesMs;
    };
    const Row rows[] = {
        {"3", 10800000, 180000},
        {"0", 0, 0},
        {"596", 2145600000, 35760000},
        {"597", INT32_MAX, 35820000},            // wrapped to -2145767296 before
        {"1194", INT32_MAX, 71640000},           // wrapped to about 57 minutes before
        {"35791", INT32_MAX, 2147460000},
        {"35792", INT32_MAX, INT32_MAX},         // wrapped to -2147447296 before
        {"71583", INT32_MAX, INT32_MAX},         // wrapped to 12.7 seconds before
        {"2147483647", INT32_MAX, INT32_MAX},
        {"-1", -3600000, -60000},
        {"-71583", INT32_MIN, INT32_MIN},        // wrapped to a positive interval before
    };
    for (const Row& row : rows) {
        const std::string value = row.value;
        const ServerSettings settings =
            loadIni("[Zone]\nReclaimDelay=" + value + "\n[Directory]\nDownloadTime=" + value +
                    "\nStatsWriteMinutes=" + value + "\n");
        EXPECT_EQ(settings.ReclaimDelay, row.hoursMs) << value;
        EXPECT_EQ(settings.DownloadTime, row.minutesMs) << value;
        EXPECT_EQ(settings.StatsWriteMinutes, row.minutesMs) << value;
        EXPECT_EQ(settings.zones().ReclaimDelay, static_cast<uint32_t>(row.hoursMs)) << value;
    }
}

TEST_F(ServerSettingsTest, StatsFileMayBeEmptyAndTakesAPathOfAnyLength) {
    EXPECT_EQ(loadIni("[Directory]\nStatsFile=\n").StatsFile, "");
    const std::string longPath = "statistics/directory/zones-today.tsv";
    EXPECT_EQ(loadIni("[Directory]\nStatsFile=" + longPath + "\n").StatsFile, longPath);
    const std::string deepPath = std::string(200, 'd') + "/" + std::string(200, 'e') + "/stats.tsv";
    EXPECT_EQ(loadIni("[Directory]\nStatsFile=" + deepPath + "\n").StatsFile, deepPath);
}

TEST_F(ServerSettingsTest, PeerListKeepsTheWrittenOrder) {
    EXPECT_EQ(peers(loadIni("[Directory]\nIP=127.0.0.1, 127.0.0.2 & 127.0.0.3\n")),
              (std::vector<uint32_t>{ip("127.0.0.1"), ip("127.0.0.2"), ip("127.0.0.3")}));
    EXPECT_EQ(peers(loadIni("[Directory]\nIP=127.0.0.3   127.0.0.2 127.0.0.1\n")),
              (std::vector<uint32_t>{ip("127.0.0.3"), ip("127.0.0.2"), ip("127.0.0.1")}));
}

TEST_F(ServerSettingsTest, PeerListValueIsCutTo255CharactersBeforeSplitting) {
    // The cut leaves "12" of the second address, which reads as 0.0.0.12.
    const std::string value = "127.0.0.9" + std::string(244, ',') + "127.0.0.2";
    EXPECT_EQ(peers(loadIni("[Directory]\nIP=" + value + "\n")),
              (std::vector<uint32_t>{ip("127.0.0.9"), htonl(12)}));
}

TEST_F(ServerSettingsTest, LongCurrentDirectoryStillFindsTheIniFile) {
    std::string deep = directory.path();
    for (int i = 0; i < 3; ++i) deep += "/" + std::string(200, static_cast<char>('a' + i));
    std::error_code error;
    ASSERT_TRUE(std::filesystem::create_directories(deep, error));
    {
        std::ofstream file(deep + "/" + kIniFileName);
        file << "[Zone]\nSweepTime=1234\n";
    }
    const std::string previous = currentDirectory();
    ASSERT_EQ(chdir(deep.c_str()), 0);
    ServerSettings settings;
    settings.load(currentDirectory());  // as the server binary loads it
    ASSERT_EQ(chdir(previous.c_str()), 0);
    EXPECT_GT(deep.size(), 520u);
    EXPECT_EQ(settings.SweepTime, 1234);
}

class PeerListTest : public ::testing::Test {
protected:
    std::vector<uint32_t> split(const std::string& text) {
        uint32_t addresses[kMaxPeers] = {};
        const int32_t count = splitPeerList(text, addresses);
        return {addresses, addresses + count};
    }
};

TEST_F(PeerListTest, NamesGoToTheResolverHandedIn) {
    static std::vector<std::string> asked;
    asked.clear();
    const auto recordingResolver = +[](const std::string& name) -> uint32_t {
        asked.push_back(name);
        return static_cast<uint32_t>(asked.size());
    };
    uint32_t addresses[kMaxPeers] = {};
    ASSERT_EQ(splitPeerList("alpha.example, 10.0.0.1 & beta", addresses, recordingResolver), 3);
    EXPECT_EQ(asked, (std::vector<std::string>{"alpha.example", "10.0.0.1", "beta"}));
    EXPECT_EQ(addresses[2], 3u);

    // The loader hands its resolver down to the peer list.
    TempDirectory directory;
    std::ofstream(directory.path() + "/kelvaro.ini") << "[Directory]\nIP=gamma, delta\n";
    asked.clear();
    ServerSettings settings;
    settings.load(directory.path(), recordingResolver);
    EXPECT_EQ(asked, (std::vector<std::string>{"gamma", "delta"}));
    EXPECT_EQ(settings.peerCount, 2);
}

TEST_F(PeerListTest, RunsOfSeparatorsGiveNothing) {
    EXPECT_EQ(split("127.0.0.1,,,127.0.0.2"),
              (std::vector<uint32_t>{ip("127.0.0.1"), ip("127.0.0.2")}));
    EXPECT_EQ(split("127.0.0.1 ,& 127.0.0.2 ,,"),
              (std::vector<uint32_t>{ip("127.0.0.1"), ip("127.0.0.2")}));
}

TEST_F(PeerListTest, EmptyTextOrLeadingSeparatorGivesAnUnresolvedFirstEntry) {
    EXPECT_EQ(split(""), (std::vector<uint32_t>{kNoAddress}));
    EXPECT_EQ(split(",127.0.0.1"), (std::vector<uint32_t>{kNoAddress, ip("127.0.0.1")}));
    EXPECT_EQ(split(" "), (std::vector<uint32_t>{kNoAddress}));
}

TEST_F(PeerListTest, HyphensUnderscoresAndHighBytesSplitNames) {
    EXPECT_EQ(split("127.0.0.1-127.0.0.2"),
              (std::vector<uint32_t>{ip("127.0.0.1"), ip("127.0.0.2")}));
    EXPECT_EQ(split("127.0.0.3_127.0.0.4"),
              (std::vector<uint32_t>{ip("127.0.0.3"), ip("127.0.0.4")}));
    EXPECT_EQ(split("127.0.0.5\x80\xFF" "127.0.0.6"),
              (std::vector<uint32_t>{ip("127.0.0.5"), ip("127.0.0.6")}));
}

TEST_F(PeerListTest, NamesBeyondTheTenthAreIgnored) {
    std::string text;
    std::vector<uint32_t> expected;
    for (int i = 1; i <= 12; ++i) {
        const std::string address = "127.0.0." + std::to_string(i);
        text += address + " ";
        if (i <= kMaxPeers) expected.push_back(ip(address.c_str()));
    }
    EXPECT_EQ(split(text), expected);
}

TEST(ResolveHostAddressTest, DottedQuadsParseAndEmptyTextDoesNot) {
    EXPECT_EQ(resolveHostAddress("127.0.0.1"), ip("127.0.0.1"));
    EXPECT_EQ(resolveHostAddress("127.1"), ip("127.0.0.1"));
    EXPECT_EQ(resolveHostAddress(""), kNoAddress);
}

}  // namespace
}  // namespace kelvaro
