// Start-up, the banner and the ways the server stops.

#include <gtest/gtest.h>

#include "e2e/server_process.h"
#include "net/udp_endpoint.h"
#include "support/zone_wire.h"

namespace kelvaro::testing_support {
namespace {

constexpr const char* kBanner = "Kelvaro (Build 3)\n\n";
constexpr const char* kStatsEveryIteration = "[Directory]\nStatsWriteMinutes=0\n";

TEST(LifecycleTest, BannerComesFirstAndAKeyStopsTheServerCleanly) {
    ServerProcess server(kStatsEveryIteration);
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.waitForLine("Kelvaro (Build 3)"));
    ASSERT_TRUE(server.waitForLine("---Writing stats"));  // the loop is running
    EXPECT_EQ(server.output().rfind(kBanner, 0), 0u) << server.output();
    ASSERT_TRUE(server.pressKey());
    EXPECT_EQ(server.waitForExit(), 0);
}

TEST(LifecycleTest, SigtermStopsTheServerCleanly) {
    ServerProcess server(kStatsEveryIteration);
    ASSERT_TRUE(server.waitForLine("---Writing stats"));
    ASSERT_TRUE(server.signal(SIGTERM));
    EXPECT_EQ(server.waitForExit(), 0);
}

TEST(LifecycleTest, NegativeSleepMeansNoSleepRatherThanAHang) {
    ServerProcess server(std::string("[CPU]\nIterationSleepTime=-1\n") + kStatsEveryIteration);
    for (int write = 0; write < 3; ++write) ASSERT_TRUE(server.waitForLine("---Writing stats"));
    ASSERT_TRUE(server.pressKey());
    EXPECT_EQ(server.waitForExit(), 0);
}

TEST(LifecycleTest, KeyWaitingAtStartEndsTheServerAtOnce) {
    ServerProcess server(kStatsEveryIteration, /*keyWaiting=*/true);
    EXPECT_EQ(server.waitForExit(), 0);
    EXPECT_EQ(server.output(), kBanner);
}

TEST(LifecycleTest, TakenUpdatePortIsReportedAboveTheBannerAndTheServerRunsOn) {
    UdpEndpoint squatter;
    ASSERT_GE(squatter.open(kServerUpdatePort), 0);
    ServerProcess server(kStatsEveryIteration);
    ASSERT_TRUE(server.waitForLine("bind(4991) error"));
    ASSERT_TRUE(server.waitForLine("Kelvaro (Build 3)"));
    EXPECT_EQ(server.output().rfind(std::string("bind(4991) error\n") + kBanner, 0), 0u)
        << server.output();
    // Still iterating: the statistics timer keeps firing.
    ASSERT_TRUE(server.waitForLine("---Writing stats"));
    ASSERT_TRUE(server.waitForLine("---Writing stats"));
    EXPECT_TRUE(server.running());
    ASSERT_TRUE(server.pressKey());
    EXPECT_EQ(server.waitForExit(), 0);
}

}  // namespace
}  // namespace kelvaro::testing_support
