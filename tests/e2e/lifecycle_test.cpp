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
    ASSERT_TRUE(server.waitForLine(kBannerLine));
    ASSERT_TRUE(server.waitForLine("---Writing stats"));  // the loop is running
    EXPECT_EQ(withoutReport(server.output()).rfind(kBanner, 0), 0u) << server.output();
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
    EXPECT_EQ(withoutReport(server.output()), kBanner);
    EXPECT_EQ(server.output().rfind("Settings: read " + server.directory.path() + "/kelvaro.ini\n", 0),
              0u)
        << server.output();
}

// A server that cannot hear on its update port serves nothing: the reason is
// printed after the start-up report, there is no banner, and the status is 1.
TEST(LifecycleTest, TakenUpdatePortIsReportedAboveTheBannerAndEndsTheStart) {
    UdpEndpoint squatter;
    ASSERT_GE(squatter.open(kServerUpdatePort), 0);
    ServerProcess server(kStatsEveryIteration);
    EXPECT_EQ(server.waitForExit(), 1);
    EXPECT_EQ(withoutReport(server.output()), "bind(4991) error: Address already in use\n")
        << server.output();
}

}  // namespace
}  // namespace kelvaro::testing_support
