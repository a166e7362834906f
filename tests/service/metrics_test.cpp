// The metrics file as a monitoring system reads it, and what happens when it
// cannot be written.

#include "service/metrics.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "service/server_fixture.h"

namespace kelvaro::testing_support {
namespace {

class MetricsFileTest : public ServerFixture {
protected:
    std::string writeMetrics() {
        return printedBy([&] { server->writeMetrics(); });
    }
};

TEST_F(MetricsFileTest, EveryMetricHasItsHelpAndTypeAndPeersGetTheirOwnSeries) {
    MetricsCounters counters;
    counters.updatesAccepted = 5;
    counters.updatesLimit = 2;
    counters.listBytes = 123456789012ull;  // past 32 bits
    ++counters.peer(0x0100007f).started;
    ++counters.peer(0x0200007f).failed;
    ++counters.peer(0x0100007f).completed;
    counters.pendingForgotten = 6;
    counters.pendingEvicted = 8;
    const std::string text = formatMetrics(counters, {3, 4, 1, 0});
    for (const char* expected :
         {"# HELP kelvaro_zones ", "# TYPE kelvaro_zones gauge\nkelvaro_zones 3\n",
          "# TYPE kelvaro_password_records gauge\nkelvaro_password_records 4\n",
          "kelvaro_client_connections 1\n", "kelvaro_download_connections 0\n",
          "# TYPE kelvaro_updates_total counter\n",
          "kelvaro_updates_total{result=\"accepted\"} 5\n",
          "kelvaro_updates_total{result=\"limit\"} 2\n", "kelvaro_list_bytes_total 123456789012\n",
          "kelvaro_downloads_total{peer=\"127.0.0.1\",result=\"started\"} 1\n"
          "kelvaro_downloads_total{peer=\"127.0.0.1\",result=\"completed\"} 1\n"
          "kelvaro_downloads_total{peer=\"127.0.0.1\",result=\"failed\"} 0\n"
          "kelvaro_downloads_total{peer=\"127.0.0.2\",result=\"started\"} 0\n",
          "kelvaro_downloads_total{peer=\"127.0.0.2\",result=\"failed\"} 1\n",
          "# TYPE kelvaro_pending_zones_ended_total counter\n"
          "kelvaro_pending_zones_ended_total{result=\"listed\"} 0\n"
          "kelvaro_pending_zones_ended_total{result=\"refused\"} 0\n"
          "kelvaro_pending_zones_ended_total{result=\"never_answered\"} 6\n"
          "kelvaro_pending_zones_ended_total{result=\"evicted\"} 8\n"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    EXPECT_EQ(counters.downloads.size(), 2u);
}

// Buckets are cumulative and a value on a bound counts in it; +Inf holds
// every observation, and the bounds print as written.
TEST(MetricsHistogramTest, BucketsAreCumulativeWithInclusiveBoundsAndInf) {
    Histogram histogram{0.001, 0.25, 10};
    for (double value : {0.0005, 0.001, 0.1, 0.25, 3.0, 11.0, 900.0}) histogram.observe(value);
    std::string text;
    appendHistogram(text, "kelvaro_test_seconds", "A test.", histogram);
    EXPECT_EQ(text,
              "# HELP kelvaro_test_seconds A test.\n"
              "# TYPE kelvaro_test_seconds histogram\n"
              "kelvaro_test_seconds_bucket{le=\"0.001\"} 2\n"
              "kelvaro_test_seconds_bucket{le=\"0.25\"} 4\n"
              "kelvaro_test_seconds_bucket{le=\"10\"} 5\n"
              "kelvaro_test_seconds_bucket{le=\"+Inf\"} 7\n"
              "kelvaro_test_seconds_sum 914.351500\n"
              "kelvaro_test_seconds_count 7\n");

    std::string info;
    appendBuildInfo(info, "3");
    EXPECT_EQ(info.rfind("# HELP kelvaro_build_info ", 0), 0u) << info;
    EXPECT_NE(info.find("\n# TYPE kelvaro_build_info gauge\nkelvaro_build_info{version=\"3\",compiler=\""),
              std::string::npos) << info;
    EXPECT_EQ(info.substr(info.size() - 5), "\"} 1\n") << info;
}

TEST_F(MetricsFileTest, OffByDefault) {
    start();
    EXPECT_EQ(server->settings().MetricsFile, "");
    EXPECT_EQ(writeMetrics(), "");
    server.reset();
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
        EXPECT_EQ(entry.path().filename(), kIniFileName);
        ++files;
    }
    EXPECT_EQ(files, 1);
}

// Replaced whole or not at all: a write that fails leaves the last good file
// and one line naming the file and the reason; the stop writes the final state.
TEST_F(MetricsFileTest, AFailedWriteKeepsTheOldFileAndTheStopWritesTheLastState) {
    start("[Directory]\nMetricsFile=metrics.prom\n");
    EXPECT_EQ(writeMetrics(), "");
    EXPECT_NE(directory.read("metrics.prom").find("\nkelvaro_zones 0\n"), std::string::npos);
    struct stat info {};
    ASSERT_EQ(stat((directory.path() + "/metrics.prom").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);  // the exporter runs as another user

    addZone("Alpha", 1000);
    // A directory where the temporary goes, not empty so it cannot be removed.
    const std::string blocker = directory.path() + "/metrics.prom.tmp";
    ASSERT_TRUE(std::filesystem::create_directory(blocker));
    directory.write("metrics.prom.tmp/keep", "x");
    EXPECT_EQ(writeMetrics(), "---Metrics write failed: metrics.prom: Is a directory\n");
    EXPECT_NE(directory.read("metrics.prom").find("\nkelvaro_zones 0\n"), std::string::npos);

    std::filesystem::remove_all(blocker);
    EXPECT_EQ(writeMetrics(), "");
    EXPECT_NE(directory.read("metrics.prom").find("\nkelvaro_zones 1\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(blocker));

    addZone("Bravo", 1002);
    printedBy([&] { server.reset(); });
    EXPECT_NE(directory.read("metrics.prom").find("\nkelvaro_zones 2\n"), std::string::npos);
}

// The sweep's round as the settings in force make it, and the two counters
// of the upkeep under load, in the file and so wherever the text is served.
TEST_F(MetricsFileTest, SweepCycleGaugeFollowsTheListAndTheSettings) {
    MetricsCounters counters;
    counters.upkeepForced = 7;
    counters.rejoinsRefused = 3;
    MetricsGauges gauges;
    gauges.sweepCycleSeconds = 1.5;
    const std::string text = formatMetrics(counters, gauges);
    for (const char* expected :
         {"# TYPE kelvaro_sweep_cycle_seconds gauge\nkelvaro_sweep_cycle_seconds 1.500\n",
          "# TYPE kelvaro_upkeep_forced_total counter\nkelvaro_upkeep_forced_total 7\n",
          "# TYPE kelvaro_rejoins_refused_total counter\nkelvaro_rejoins_refused_total 3\n"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;

    struct Case {
        const char* ini;
        int zones;
        const char* shown;
    };
    const Case cases[] = {
        {"", 0, "0.000"},
        {"[Zone]\nSweepTime=500\n", 300, "150.000"},           // one zone per sweep
        {"[Zone]\nSweepTime=500\nSweepCycle=3\n", 300, "3.000"},  // 50 per sweep
        {"[Zone]\nSweepTime=500\nSweepCycle=3\n", 301, "3.000"},  // 51 per sweep
        {"[Zone]\nSweepTime=250\nSweepCycle=60\n", 7, "1.750"},  // never below one per sweep
        {"[Zone]\nSweepTime=-1\nSweepCycle=60\n", 5, "+Inf"},    // never swept
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        start(std::string(c.ini) + "[Directory]\nMetricsFile=metrics.prom\n");
        for (int i = 0; i < c.zones; ++i) addZone("Z" + std::to_string(i), static_cast<uint16_t>(1000 + i));
        EXPECT_EQ(writeMetrics(), "");
        EXPECT_NE(directory.read("metrics.prom")
                      .find(std::string("\nkelvaro_sweep_cycle_seconds ") + c.shown + "\n"),
                  std::string::npos)
            << directory.read("metrics.prom");
        server.reset();
        TearDown();
    }
}

}  // namespace
}  // namespace kelvaro::testing_support
