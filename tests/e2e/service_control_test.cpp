// How the server answers what an operator and a service manager do to it:
// stray signals, a reader that goes away, a settings file named on the
// command line or unusable, a peer that never answers and more clients than
// MaxHosts admits, and a settings file edited under a running server.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "e2e/server_process.h"
#include "net/udp_endpoint.h"
#include "support/temp_directory.h"
#include "support/udp_wait.h"
#include "util/bytes.h"
#include "zones/zone_datagrams.h"

namespace kelvaro::testing_support {
namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1, network order
constexpr int kStartMs = 10000;

// True when the server answers a count query on its update port.
bool answersCountQuery(ServerProcess* server) {
    UdpEndpoint asker;
    if (asker.open(0) < 0) return false;
    uint8_t query[kCountQueryLength] = {};
    const uint32_t echo = 0x5EED0002;
    writeU32(query, 0, echo);
    asker.setDestination(kLoopback, kServerUpdatePort);
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!asker.send(query, sizeof query)) return false;
        if (server != nullptr) server->drain();
        if (auto reply = pollWithin(asker)) {
            uint32_t count = 0;
            return readCountReply(reply->data(), reply->bytes.size(), echo, count);
        }
    }
    return false;
}

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The final metrics write is the proof of an orderly stop: with the
// statistics timer off, the destructor is the only writer of the file.
constexpr const char* kMetricsOnStop = "[Directory]\nMetricsFile=metrics.prom\n";

TEST(ServiceControlTest, StraySignalsLeaveTheServerAnsweringAndSigtermStopsItWithMetrics) {
    struct Row {
        int signal;
        const char* line;  // what the server prints for it, or nullptr
    };
    const Row rows[] = {
        {SIGHUP, "---Reload: nothing to re-read"},
        {SIGUSR1, nullptr},
        {SIGUSR2, nullptr},
        {SIGPIPE, nullptr},
        {SIGHUP, "---Reload: nothing to re-read"},
    };
    ServerProcess server(kMetricsOnStop);
    ASSERT_TRUE(server.waitForLine(kBannerLine, kStartMs)) << server.output();
    for (const Row& row : rows) {
        ASSERT_TRUE(server.signal(row.signal)) << strsignal(row.signal);
        if (row.line != nullptr) {
            EXPECT_TRUE(server.waitForLine(row.line)) << server.output();
        }
        EXPECT_TRUE(answersCountQuery(&server)) << strsignal(row.signal);
        EXPECT_TRUE(server.running()) << strsignal(row.signal);
    }
    EXPECT_FALSE(server.directory.exists("metrics.prom"));
    ASSERT_TRUE(server.signal(SIGTERM));
    EXPECT_EQ(server.waitForExit(), 0);
    EXPECT_TRUE(holds(server.directory.read("metrics.prom"), "kelvaro_zones 0\n"));
}

// `kelvaro | head -1`: once the reader has gone, every flush fails with
// EPIPE; the server must go on serving and still stop in order.
TEST(ServiceControlTest, ReaderThatQuitsLeavesTheServerServing) {
    ServerProcess server(kMetricsOnStop);
    ASSERT_TRUE(server.waitForLine(kBannerLine, kStartMs)) << server.output();
    server.closeOutput();
    UdpEndpoint zone;
    ASSERT_GE(zone.open(0), 0);
    zone.setDestination(kLoopback, kServerUpdatePort);
    const uint8_t junk[1] = {7};
    for (int round = 0; round < 3; ++round) {
        // Something to print into the closed pipe: "---Invalid message ...".
        ASSERT_TRUE(zone.send(junk, sizeof junk));
        sleepMs(50);
        EXPECT_TRUE(answersCountQuery(&server)) << "round " << round;
    }
    EXPECT_TRUE(server.running());
    ASSERT_TRUE(server.signal(SIGTERM));
    EXPECT_EQ(server.waitForExit(), 0);
    EXPECT_TRUE(holds(server.directory.read("metrics.prom"), "kelvaro_zones 0\n"));
}

// --config names the file; a relative statistics file is still written in
// the working directory, not beside the settings.
TEST(ServiceControlTest, ConfigFileIsReadAndRelativeFilesStayInTheWorkingDirectory) {
    TempDirectory elsewhere;
    const std::string config = elsewhere.file("server.ini");
    elsewhere.write("server.ini", std::string("[Core]\nMaxHosts=7\n[Directory]\n"
                                              "StatsWriteMinutes=0\nStatsFile=listed.txt\n") +
                                      kE2eBaseSettings);
    ServerOptions options;
    options.arguments = {"--config", config};
    ServerProcess server("[Core]\nMaxHosts=3\n", options);
    ASSERT_TRUE(server.waitForLine("Settings: read " + config, kStartMs)) << server.output();
    ASSERT_TRUE(server.waitForLine(kBannerLine)) << server.output();
    EXPECT_TRUE(holds(server.output(), " MaxHosts=7 ")) << server.output();
    EXPECT_FALSE(holds(server.output(), " MaxHosts=3 ")) << server.output();
    EXPECT_TRUE(server.waitForFile("listed.txt", "")) << server.output();
    EXPECT_FALSE(elsewhere.exists("listed.txt"));
    ASSERT_TRUE(server.signal(SIGTERM));
    EXPECT_EQ(server.waitForExit(), 0);
}

// A settings file that is there but cannot be read, or a --config file that
// is not there, ends the start before anything is served; a misspelt key is
// named with the key it was probably meant to be, and the server runs.
TEST(ServiceControlTest, UnusableSettingsFileIsFatalAndSlipsAreNamed) {
    TempDirectory elsewhere;
    struct Row {
        std::vector<std::string> arguments;
        std::string settings;
        std::optional<int> exitCode;  // nothing: it must keep running
        std::string expected;         // a whole line of the output
    };
    const Row rows[] = {
        {{"--config", elsewhere.path()}, "", 1,
         "kelvaro: cannot read " + elsewhere.path() + ": Is a directory"},
        {{"--config", elsewhere.file("absent.ini")}, "", 1,
         "kelvaro: cannot read " + elsewhere.file("absent.ini") + ": No such file or directory"},
        {{}, "[Zone]\nDropLimt=4\n", std::nullopt,
         "Warning: line 2: unknown key DropLimt in [Zone], ignored; did you mean DropLimit?"},
        {{}, "\xEF\xBB\xBF[Core]\nChunkSize=0\n", std::nullopt,
         "Warning: [Core] ChunkSize=0 -> 1: a chunk must carry a byte and fit one datagram "
         "(1..502)"},
    };
    for (const Row& row : rows) {
        ServerOptions options;
        options.arguments = row.arguments;
        options.stderrToOutput = true;
        ServerProcess server(row.settings, options);
        if (row.exitCode) {
            EXPECT_EQ(server.waitForExit(kStartMs), row.exitCode) << row.expected;
            EXPECT_TRUE(server.waitForLine(row.expected)) << server.output();
            EXPECT_FALSE(holds(server.output(), kBannerLine)) << server.output();
        } else {
            EXPECT_TRUE(server.waitForLine(row.expected, kStartMs)) << server.output();
            EXPECT_TRUE(server.waitForLine(kBannerLine)) << server.output();
            EXPECT_TRUE(server.running());
        }
    }
}

// With MaxHosts=0 the server's own client port turns away its download from
// itself: that peer never answers. The download ends by the silence limit
// with a line naming the peer, and the refusals are counted and printed once
// (the next line waits a minute).
TEST(ServiceControlTest, DeadPeerDownloadFailsWithItsAddressAndRefusalsAreCounted) {
    ServerProcess server(
        "[Core]\nMaxHosts=0\nPacketSilenceLimit=50\n"
        "[Directory]\nDownloadTime=0\nMetricsFile=metrics.prom\n");
    ASSERT_TRUE(server.waitForLine(kBannerLine, kStartMs)) << server.output();
    ASSERT_TRUE(server.waitForLine("---Downloading server list"));
    EXPECT_TRUE(server.waitForLine("---Clients refused at MaxHosts=0: 1 since the last such line"))
        << server.output();
    EXPECT_TRUE(server.waitForLine("---Download failed: 127.0.0.1", kStartMs)) << server.output();
    EXPECT_TRUE(server.waitForLine("---Download failed: 127.0.0.1", kStartMs)) << server.output();
    const std::string& printed = server.output();
    EXPECT_FALSE(holds(printed, "---Download complete")) << printed;
    size_t refusalLines = 0;
    for (size_t at = printed.find("---Clients refused"); at != std::string::npos;
         at = printed.find("---Clients refused", at + 1))
        ++refusalLines;
    EXPECT_EQ(refusalLines, 1u) << printed;
    ASSERT_TRUE(server.signal(SIGTERM));
    EXPECT_EQ(server.waitForExit(), 0);
    const std::string metrics = server.directory.read("metrics.prom");
    EXPECT_FALSE(holds(metrics, "kelvaro_clients_refused_total 0\n")) << metrics;
    EXPECT_TRUE(holds(metrics, "kelvaro_clients_refused_total ")) << metrics;
    EXPECT_TRUE(holds(metrics, "kelvaro_download_last_completed_timestamp_seconds{peer=\"127.0.0.1\"} 0\n"))
        << metrics;
}

}  // namespace
}  // namespace kelvaro::testing_support

namespace kelvaro::testing_support {
namespace {

// SIGHUP re-reads the file it started on: the live keys change, a key that
// needs a restart is named and kept, and the server goes on answering.
TEST(ServiceControlTest, SighupPutsEditedSettingsInForceAndNamesTheRestartOnes) {
    ServerProcess server("[Core]\nMaxHosts=10\n[Zone]\nSweepCycle=0\n");
    ASSERT_TRUE(server.waitForLine(kBannerLine, kStartMs)) << server.output();
    server.directory.write("kelvaro.ini", std::string("[Core]\nMaxHosts=3\n[Zone]\nSweepCycle=60\n"
                                                      "[Directory]\nStateFile=later.db\n") +
                                              kE2eBaseSettings);
    ASSERT_TRUE(server.signal(SIGHUP));
    const char* lines[] = {
        "---Reload: Core MaxHosts: 10 -> 3",
        "---Reload: Zone SweepCycle: 0 -> 60",
        "---Reload: Directory StateFile: (empty) -> later.db: needs a restart, (empty) stays in "
        "force",
    };
    for (const char* line : lines) EXPECT_TRUE(server.waitForLine(line)) << server.output();
    EXPECT_TRUE(answersCountQuery(&server));
    EXPECT_FALSE(server.directory.exists("later.db"));
    ASSERT_TRUE(server.signal(SIGTERM));
    EXPECT_EQ(server.waitForExit(), 0);
}

}  // namespace
}  // namespace kelvaro::testing_support
