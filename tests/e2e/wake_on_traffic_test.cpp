// A directory that pauses ten minutes between iterations but wakes on traffic:
// a datagram, a stop signal or a key ends the pause, so the server answers
// and stops as promptly as one that never pauses.

#include <gtest/gtest.h>

#include <string>

#include "e2e/server_process.h"
#include "net/udp_endpoint.h"
#include "support/zone_wire.h"

namespace kelvaro::testing_support {
namespace {

constexpr const char* kLongPauseWakingOnTraffic =
    "[CPU]\nIterationSleepTime=600000\nWakeOnTraffic=1\nDatagramsPerIteration=8\n";

TEST(WakeOnTrafficTest, UpdatesEndThePauseAndASignalOrKeyEndsTheRun) {
    for (const bool bySignal : {true, false}) {
        SCOPED_TRACE(bySignal ? "SIGTERM" : "key");
        ServerProcess server(kLongPauseWakingOnTraffic);
        ASSERT_TRUE(server.waitForLine(kBannerLine));
        UdpEndpoint zone;
        ASSERT_GE(zone.open(0), 0);
        // Each update arrives while the server is in its long pause.
        for (int i = 0; i < 3; ++i) {
            ZoneUpdate update;
            update.port = static_cast<uint16_t>(6000 + i);
            update.name = "Woken " + std::to_string(i);
            ASSERT_TRUE(sendTo(zone, kServerUpdatePort, updateDatagram(update)));
            ASSERT_TRUE(server.waitForLine("---Update : " + update.name)) << server.output();
        }
        if (bySignal) ASSERT_TRUE(server.signal(SIGTERM));
        else ASSERT_TRUE(server.pressKey());
        EXPECT_EQ(server.waitForExit(), 0);
    }
}

}  // namespace
}  // namespace kelvaro::testing_support
