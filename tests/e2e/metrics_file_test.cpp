// The metrics file of the real server after a short, known run: read with a
// small parser of the Prometheus text format that refuses anything a
// monitoring system would.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/server_process.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"

namespace kelvaro::testing_support {
namespace {

constexpr const char* kQueryTool = KELVARO_TOOLS_DIR "/kelvaro_query";
constexpr int kToolGraceMs = 3000;

// Series ("name" or "name{labels}") to value, or an error. Every line is a
// HELP, a TYPE (counter, gauge or histogram, counters alone ending in _total)
// after its HELP, or a sample of a family already typed (for a histogram its
// _bucket with an le label, _sum or _count); label values are quoted, and no
// series comes twice.
struct PrometheusText {
    std::map<std::string, double> samples;
    std::map<std::string, std::string> types;
    std::string error;

    // The length of the metric (or label) name at the start of text.
    static size_t nameLength(std::string_view text, bool label) {
        size_t n = 0;
        for (; n < text.size(); ++n) {
            const char c = text[n];
            const bool letter =
                std::isalpha(static_cast<unsigned char>(c)) || c == '_' || (c == ':' && !label);
            if (!letter && !(n > 0 && std::isdigit(static_cast<unsigned char>(c)))) break;
        }
        return n;
    }
    // Moves past {name="value",...}; false when malformed.
    static bool skipLabels(std::string_view& rest) {
        if (rest.empty() || rest[0] != '{') return true;
        size_t at = 1;
        for (size_t labels = 0; labels < 64; ++labels) {
            const size_t n = nameLength(rest.substr(at), true);
            if (n == 0 || rest.substr(at + n, 2) != "=\"") return false;
            at += n + 2;
            while (at < rest.size() && rest[at] != '"') at += rest[at] == '\\' ? 2 : 1;
            if (at + 1 >= rest.size()) return false;
            const char after = rest[at + 1];
            at += 2;
            if (after == '}') {
                rest.remove_prefix(at);
                return true;
            }
            if (after != ',') return false;
        }
        return false;
    }
    bool line(std::string_view text, std::set<std::string>& helped) {
        for (const std::string_view keyword : {"# HELP ", "# TYPE "}) {
            if (text.substr(0, 7) != keyword) continue;
            const size_t n = nameLength(text.substr(7), false);
            const std::string name(text.substr(7, n));
            const std::string_view rest = text.substr(std::min(text.size(), 8 + n));
            if (n == 0 || text.size() <= 8 + n || text[7 + n] != ' ') return false;
            if (keyword == "# HELP ") return helped.insert(name).second;
            const bool total = name.ends_with("_total");
            return helped.count(name) == 1 &&
                   (rest == "gauge" || rest == "counter" || rest == "histogram") &&
                   total == (rest == "counter") && types.emplace(name, rest).second;
        }
        const size_t n = nameLength(text, false);
        std::string_view rest = text.substr(n);
        if (n == 0 || !typed(std::string(text.substr(0, n)), rest) || !skipLabels(rest) ||
            rest.size() < 2 || rest[0] != ' ')
            return false;
        const std::string value(rest.substr(1));
        char* end = nullptr;
        const double number = std::strtod(value.c_str(), &end);
        return !value.empty() && *end == '\0' &&
               samples.emplace(text.substr(0, text.size() - rest.size()), number).second;
    }
    // A sample's name belongs to a typed family: itself, or a histogram's
    // _bucket (with its le label first), _sum or _count.
    bool typed(const std::string& name, std::string_view labels) const {
        if (types.count(name) != 0) return types.at(name) != "histogram";
        for (const std::string suffix : {"_bucket", "_sum", "_count"}) {
            if (!name.ends_with(suffix)) continue;
            const auto family = types.find(name.substr(0, name.size() - suffix.size()));
            if (family == types.end() || family->second != "histogram") return false;
            return suffix != "_bucket" || labels.substr(0, 5) == "{le=\"";
        }
        return false;
    }
    bool parse(const std::string& text) {
        if (text.empty() || text.back() != '\n') return false;
        std::set<std::string> helped;
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            if (!line(std::string_view(text).substr(start, end - start), helped)) {
                error = text.substr(start, end - start);
                return false;
            }
        }
        return true;
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
    ASSERT_TRUE(server.waitForLine(kBannerLine));
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
