// The example kelvaro.ini shipped in docs/ must describe the built-in
// defaults: loading it gives exactly what loading no file at all gives.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "service/server_settings.h"
#include "support/temp_directory.h"

namespace kelvaro::testing_support {
namespace {

TEST(ExampleIniTest, DocumentedValuesAreTheBuiltInDefaults) {
    const auto docs =
        std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "docs";
    ASSERT_TRUE(std::filesystem::exists(docs / kIniFileName));
    TempDirectory empty;
    ServerSettings documented;
    ServerSettings defaults;
    documented.load(docs.string());
    defaults.load(empty.path());

    EXPECT_EQ(documented.PacketSilenceLimit, defaults.PacketSilenceLimit);
    EXPECT_EQ(documented.MaxReliableInTransit, defaults.MaxReliableInTransit);
    EXPECT_EQ(documented.ChunkSize, defaults.ChunkSize);
    EXPECT_EQ(documented.ClusterMode, defaults.ClusterMode);
    EXPECT_EQ(documented.MaxHosts, defaults.MaxHosts);
    EXPECT_EQ(documented.MaxWindow, defaults.MaxWindow);
    EXPECT_EQ(documented.MaxHostsPerAddress, defaults.MaxHostsPerAddress);
    EXPECT_EQ(documented.SlowIteration, defaults.SlowIteration);
    EXPECT_EQ(documented.IterationSleepTime, defaults.IterationSleepTime);
    EXPECT_EQ(documented.DatagramsPerIteration, defaults.DatagramsPerIteration);
    EXPECT_EQ(documented.WakeOnTraffic, defaults.WakeOnTraffic);
    EXPECT_EQ(documented.SweepTime, defaults.SweepTime);
    EXPECT_EQ(documented.DropLimit, defaults.DropLimit);
    EXPECT_EQ(documented.ReclaimDelay, defaults.ReclaimDelay);
    EXPECT_EQ(documented.InitialHighPing, defaults.InitialHighPing);
    EXPECT_EQ(documented.MaxZones, defaults.MaxZones);
    EXPECT_EQ(documented.MaxZonesPerAddress, defaults.MaxZonesPerAddress);
    EXPECT_EQ(documented.MaxPasswordRecords, defaults.MaxPasswordRecords);
    EXPECT_EQ(documented.BusyHoldLimit, defaults.BusyHoldLimit);
    EXPECT_EQ(documented.SweepCycle, defaults.SweepCycle);
    EXPECT_EQ(documented.RejoinDelay, defaults.RejoinDelay);
    EXPECT_EQ(documented.VerifiedZones, defaults.VerifiedZones);
    EXPECT_EQ(documented.MaxPendingZones, defaults.MaxPendingZones);
    EXPECT_EQ(documented.BanFile, defaults.BanFile);
    EXPECT_EQ(documented.DownloadTime, defaults.DownloadTime);
    EXPECT_EQ(documented.peerCount, defaults.peerCount);
    EXPECT_EQ(documented.peerCount, 3);
    for (int i = 0; i < kMaxPeers; ++i)
        EXPECT_EQ(documented.peerAddresses[i], defaults.peerAddresses[i]) << "peer " << i;
    EXPECT_EQ(documented.StatsFile, defaults.StatsFile);
    EXPECT_EQ(documented.StatsWriteMinutes, defaults.StatsWriteMinutes);
    EXPECT_EQ(documented.MetricsFile, defaults.MetricsFile);
    EXPECT_EQ(documented.HttpPort, defaults.HttpPort);
    EXPECT_EQ(documented.HttpAddress, defaults.HttpAddress);
    EXPECT_EQ(documented.HttpMaxAge, defaults.HttpMaxAge);
    EXPECT_EQ(documented.HttpTimeout, defaults.HttpTimeout);
    EXPECT_EQ(documented.HttpMaxConnections, defaults.HttpMaxConnections);
    EXPECT_EQ(documented.HttpMaxConnectionsPerAddress, defaults.HttpMaxConnectionsPerAddress);
    // Every key the example shows is one the loader reads.
    EXPECT_EQ(documented.iniNotices.size(), 0u);
    for (const IniNotice& notice : documented.iniNotices)
        ADD_FAILURE() << "line " << notice.line << ": [" << notice.section << "] " << notice.key;
}

}  // namespace
}  // namespace kelvaro::testing_support
