// The metrics file of the real server after a short, known run: read with a
// small parser of the Prometheus text format that refuses anything a
// monitoring system would.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "e2e/server_process.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"

namespace kelvaro::testing_support {
namespace {

constexpr const char* kQueryTool = KELVARO_TOOLS_DIR "/kelvaro_query";
constexpr int kToolGraceMs = 3000;

// Series ("name" or "name{labels}") to value, or an error. Every line is a
// HELP, a TYPE (counter or gauge, counters ending in _total) after its HELP,
// or a sample of a family already typed; label values are quoted, and no
// series comes twice.
struct PrometheusText {
    std::map<std::string, double> samples;
    std::map<std::string, std::string> types;
    std::string error;

    bool parse(const std::string& text) {
        const std::string name = "[a-zA-Z_:][a-zA-Z0-9_:]*";
        const std::string label = "[a-zA-Z_][a-zA-Z0-9_]*=\"([^\"\\\\\\n]|\\\\.)*\"";
        const std::regex help("# HELP (" + name + ") .+");
        const std::regex type("# TYPE (" + name + ") (counter|gauge)");
        const std::regex sample("(" + name + ")(\\{" + label + "(," + label + ")*\\})? (\\S+)");
        std::set<std::string> helped;
        if (text.empty() || text.back() != '\n') return fail("no final line end", text);
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            const std::string line = text.substr(start, end - start);
            std::smatch m;
            if (std::regex_match(line, m, help)) {
                if (!helped.insert(m[1]).second) return fail("HELP twice", line);
            } else if (std::regex_match(line, m, type)) {
                const bool total = m[1].str().ends_with("_total");
                if (helped.count(m[1]) == 0 || !types.emplace(m[1], m[2]).second ||
                    total != (m[2] == "counter"))
                    return fail("TYPE", line);
            } else if (std::regex_match(line, m, sample)) {
                if (types.count(m[1]) == 0) return fail("sample before its TYPE", line);
                char* rest = nullptr;
                const std::string value = m[m.size() - 1];
                const double number = std::strtod(value.c_str(), &rest);
                if (*rest != '\0') return fail("value", line);
                if (!samples.emplace(line.substr(0, line.size() - value.size() - 1), number).second)
                    return fail("series twice", line);
            } else {
                return fail("not a metric line", line);
            }
        }
        return true;
    }
    bool fail(const std::string& why, const std::string& line) {
        error = why + ": " + line;
        return false;
    }
};

ToolResult query(ServerProcess& server, const std::vector<std::string>& arguments) {
    ToolRun run(kQueryTool, arguments);
    return run.wait(&server, 2000 + kToolGraceMs);
}

// Two zones (one answering pings), a refused password, a malformed datagram
// and one list fetch, then a stop: the file written at the stop holds exactly
// that run. StatsWriteMinutes=0 writes it at every idle iteration as well, so
// the file is seen to follow the run without any statistics file.
TEST(MetricsFileE2eTest, AfterAKnownRunTheFileHoldsItsCountsAndParses) {
    ServerProcess server(
        "[Zone]\nSweepTime=20\nDropLimit=100\n"
        "[Directory]\nStatsWriteMinutes=0\nStatsFile=\nMetricsFile=metrics.prom\n");
    ASSERT_TRUE(server.waitForLine("Kelvaro (Build 3)"));
    UdpEndpoint probe;
    ASSERT_GE(probe.open(0), 0);
    const uint16_t alphaPort = static_cast<uint16_t>(probe.localPort() - 1);
    probe.open(0);  // frees the port Alpha will answer on

    const std::vector<std::string> alpha = {
        "announce", "127.0.0.1", "--port",     std::to_string(alphaPort),
        "--name",   "Alpha",     "--password", "pw"};
    auto announce = [&](std::vector<std::string> arguments, std::vector<std::string> extra) {
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return query(server, arguments);
    };
    EXPECT_EQ(announce(alpha, {"--answer-pings", "1"}).exitCode, 0);
    EXPECT_EQ(query(server, {"announce", "127.0.0.1", "--port", "7000", "--name", "Bravo",
                             "--password", "pw"})
                  .exitCode,
              0);
    EXPECT_EQ(query(server, {"announce", "127.0.0.1", "--port", "7002", "--name", "Alpha",
                             "--password", "wrong"})
                  .exitCode,
              0);  // read, then refused
    const uint8_t malformed[3] = {1, 2, 3};
    probe.setDestination(inet_addr("127.0.0.1"), kServerUpdatePort);
    ASSERT_TRUE(probe.send(malformed, sizeof malformed));
    ASSERT_TRUE(server.waitForLine("---Invalid message on direct update port from 127.0.0.1"));
    const ToolResult listed = query(server, {"list", "127.0.0.1", "--format", "tsv"});
    EXPECT_EQ(listed.exitCode, 0) << listed.err;

    // Written while running, once the list went and the client has gone.
    bool followed = false;
    for (int waited = 0; waited < 3000 && !followed; waited += 5) {
        sleepMs(5);
        server.drain();
        const std::string text = server.directory.read("metrics.prom");
        followed = text.find("\nkelvaro_lists_served_total 1\n") != std::string::npos &&
                   text.find("\nkelvaro_client_connections 0\n") != std::string::npos;
    }
    EXPECT_TRUE(followed) << server.directory.read("metrics.prom");
    EXPECT_EQ(server.directory.read("stats.txt"), "<missing>");

    ASSERT_TRUE(server.pressKey());
    ASSERT_EQ(server.waitForExit(), 0);
    const std::string text = server.directory.read("metrics.prom");
    PrometheusText parsed;
    ASSERT_TRUE(parsed.parse(text)) << parsed.error;
    const std::map<std::string, double> exact = {
        {"kelvaro_zones", 2},
        {"kelvaro_password_records", 2},
        {"kelvaro_client_connections", 0},
        {"kelvaro_download_connections", 0},
        {"kelvaro_datagrams_received_total{endpoint=\"update\"}", 6},
        {"kelvaro_datagrams_received_total{endpoint=\"download\"}", 0},
        {"kelvaro_updates_total{result=\"accepted\"}", 2},
        {"kelvaro_updates_total{result=\"malformed\"}", 1},
        {"kelvaro_updates_total{result=\"bad_password\"}", 1},
        {"kelvaro_updates_total{result=\"limit\"}", 0},
        {"kelvaro_count_queries_total", 2},  // the two confirmed announcements
        {"kelvaro_zones_dropped_total", 0},
        {"kelvaro_lists_served_total", 1},
        {"kelvaro_list_bytes_total", 1 + 2 * 79},  // the type byte and two bare entries
        {"kelvaro_slow_iterations_total", 0},
    };
    for (const auto& [series, value] : exact) {
        ASSERT_EQ(parsed.samples.count(series), 1u) << series << "\n" << text;
        EXPECT_EQ(parsed.samples[series], value) << series;
    }
    EXPECT_EQ(parsed.types["kelvaro_zones"], "gauge");
    EXPECT_EQ(parsed.types["kelvaro_updates_total"], "counter");
    // Alpha answered at least one ping (its announce exited 0); every datagram
    // on the ping port was a matching reply, and no reply came without a ping.
    const double replies = parsed.samples["kelvaro_ping_replies_total"];
    EXPECT_GE(replies, 1);
    EXPECT_EQ(parsed.samples["kelvaro_datagrams_received_total{endpoint=\"ping\"}"], replies);
    EXPECT_GE(parsed.samples["kelvaro_pings_sent_total"], replies);
    EXPECT_GT(parsed.samples["kelvaro_datagrams_received_total{endpoint=\"client\"}"], 0);
    // Nothing was downloaded, so there is no download series yet.
    EXPECT_EQ(parsed.types["kelvaro_downloads_total"], "counter");
    for (const auto& sample : parsed.samples)
        EXPECT_NE(sample.first.rfind("kelvaro_downloads_total", 0), 0u) << sample.first;
}

}  // namespace
}  // namespace kelvaro::testing_support
