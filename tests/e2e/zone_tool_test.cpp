// The zone simulator against the real server: a population of 200 zones held
// through sweep cycles, a silent share dropped on schedule, and the tool's
// own refusals.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "e2e/server_process.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "support/strict_json.h"
#include "zones/zone_datagrams.h"

namespace kelvaro::testing_support {
namespace {

constexpr const char* kZoneTool = KELVARO_TOOLS_DIR "/kelvaro_zone";
constexpr const char* kQueryTool = KELVARO_TOOLS_DIR "/kelvaro_query";
constexpr int kLongestRehearsalMs = 30000;
constexpr int kToolGraceMs = 3000;

struct Summary {
    unsigned seconds = 0, announced = 0, pingsAnswered = 0, silent = 0;
    std::string directoryCount;
};

std::vector<Summary> summaries(const std::string& out) {
    std::vector<Summary> found;
    for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos;
         start = end + 1) {
        Summary line;
        char count[16] = {};
        if (std::sscanf(out.c_str() + start,
                        "t=%us announced=%u pings_answered=%u silent=%u directory_count=%15s",
                        &line.seconds, &line.announced, &line.pingsAnswered, &line.silent,
                        count) == 5) {
            line.directoryCount = count;
            found.push_back(line);
        }
    }
    return found;
}

// The zone numbers named in the server's "Timeout : Rehearsal N" lines.
std::multiset<int> droppedZones(const std::string& printed) {
    std::multiset<int> dropped;
    const std::string prefix = "Timeout : Rehearsal ";
    for (size_t at = printed.find(prefix); at != std::string::npos;
         at = printed.find(prefix, at + 1))
        dropped.insert(std::atoi(printed.c_str() + at + prefix.size()));
    return dropped;
}

// The zones' ports sit below the kernel's ephemeral range (32768 up), so no
// socket the server or another test opens on port 0 can take one first.
//
// Fast timers: a sweep cycle over 200 zones takes about half a second, and a
// zone that stops answering is dropped some 400 ms after its sweep ping.
TEST(ZoneToolTest, HoldsTwoHundredZonesAndTheSilentShareIsDroppedOnSchedule) {
    ServerProcess server(
        "[CPU]\nIterationSleepTime=1\n"
        "[Zone]\nSweepTime=2\nInitialHighPing=100\nDropLimit=3\n");
    ASSERT_TRUE(server.waitForLine(kBannerLine));
    ToolRun tool(kZoneTool, {"127.0.0.1", "--zones", "200", "--port", "21000", "--name-prefix",
                             "Rehearsal ", "--password", "pw", "--population", "7", "--interval",
                             "1", "--silent-after", "3", "--silent-share", "0.25"});
    ToolResult progress;
    uint64_t pings = 0;
    bool settled = false;
    for (int waited = 0; waited < kLongestRehearsalMs && !settled; waited += 10) {
        sleepMs(10);
        server.drain();
        tool.collect(progress);
        pings = 0;
        bool heldAll = false;
        bool droppedShare = false;
        for (const Summary& line : summaries(progress.out)) {
            pings += line.pingsAnswered;
            heldAll = heldAll || (line.silent == 0 && line.directoryCount == "200");
            droppedShare = droppedShare || (line.silent == 50 && line.directoryCount == "150");
        }
        // Four sweep cycles' worth of answers: all 200 zones held through several.
        settled = heldAll && droppedShare && pings >= 4 * 200 &&
                  droppedZones(server.output()).size() == 50;
    }
    ASSERT_TRUE(settled) << progress.out << progress.err;
    ASSERT_TRUE(tool.signal(SIGTERM));
    const ToolResult result = tool.wait(&server, kToolGraceMs, progress);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");

    // Exactly the silent share went, each zone once; every other zone stayed.
    std::multiset<int> expected;
    for (int zone = 1; zone <= 50; ++zone) expected.insert(zone);
    EXPECT_EQ(droppedZones(server.output()), expected);
    const std::vector<Summary> lines = summaries(result.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front().announced, 200u);  // the silent ones announce until they go quiet
    EXPECT_EQ(lines.back().silent, 50u);
    // An interval wholly after the silence announces only the others.
    const auto after = std::find_if(lines.begin(), lines.end(), [](const Summary& line) {
        return line.directoryCount == "150";
    });
    ASSERT_NE(after, lines.end());
    EXPECT_EQ(after->announced, 150u);

    ToolRun count(kQueryTool, {"count", "127.0.0.1"});
    const ToolResult counted = count.wait(&server, 2000 + kToolGraceMs);
    EXPECT_EQ(counted.out, "150\n") << counted.err;

    // The rehearsed population in every list format: a header and a line per
    // zone, a line per zone, and a JSON array of them.
    for (const std::string format : {"table", "tsv", "json"}) {
        ToolRun list(kQueryTool, {"list", "127.0.0.1", "--format", format});
        const ToolResult listed = list.wait(&server, 2000 + kToolGraceMs);
        EXPECT_EQ(listed.exitCode, 0) << listed.err;
        const auto printed = std::count(listed.out.begin(), listed.out.end(), '\n');
        EXPECT_EQ(printed, format == "table" ? 151 : format == "tsv" ? 150 : 152) << format;
        JsonValue parsed;
        if (format == "json") {
            ASSERT_TRUE(StrictJson::parse(listed.out, parsed));
            EXPECT_EQ(parsed.items.size(), 150u);
            EXPECT_EQ(parsed.items.back().members["name"].text, "Rehearsal 200");
        }
    }
}

// Bad options are refused before any socket is bound; with no directory the
// run ends after its duration with status 1.
TEST(ZoneToolTest, StatusesForBadOptionsAndForASilentDirectory) {
    const std::vector<std::string> base = {
        "127.0.0.1", "--zones", "2", "--port", "21000", "--name-prefix", "Z", "--password", "pw"};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> arguments = base;
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    };
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string err;  // a part of the stderr line
    };
    const Case cases[] = {
        {{"--version"}, 0, ""},
        {{"--help"}, 0, ""},
        {{}, 2, "no directory address"},
        {{"localhost", "--zones", "2"}, 2, "dotted quad"},
        {{"127.0.0.1", "--port", "21000"}, 2, "--zones is required"},
        {with({"--zones", "0"}), 2, "--zones must be 1..20000"},
        {with({"--port", "65535"}), 2, "--port must be 1..65534"},
        {with({"--zones", "100", "--port", "65400"}), 2, "--port must be 1..65336 for 100 zones"},
        {with({"--silent-share", "1.5"}), 2, "--silent-share must be 0..1"},
        {with({"--interval", "0"}), 2, "--interval must be 1..3600"},
        {with({"--name-prefix", "Bad  Double"}), 2, "--name-prefix gives names"},
        {with({"--name-prefix", std::string(31, 'N')}), 2, "--name-prefix gives names"},
        {with({"--password", std::string(16, 'p')}), 2, "--password must be 0..15"},
        {with({"--loud", "1"}), 2, "unknown option --loud"},
        {with({"--duration"}), 2, "--duration needs a value"},
        {with({"--update-port", "1", "--duration", "1"}), 1, "never answered"},
    };
    for (const Case& c : cases) {
        ToolRun run(kZoneTool, c.arguments);
        const ToolResult result = run.wait(nullptr, 1000 + kToolGraceMs);
        const std::string what = c.arguments.empty() ? "(none)" : c.arguments.back();
        EXPECT_EQ(result.exitCode, c.status) << what << ": " << result.err;
        if (c.err.empty()) {
            EXPECT_NE(result.out, "") << what;
            EXPECT_EQ(result.err, "") << what;
        } else {
            EXPECT_NE(result.err.find(c.err), std::string::npos) << what << ": " << result.err;
        }
    }
}

// Each interval's announcements are spread over its first half, zone i at
// i / N of the way, and the count query follows the last of them: neither a
// burst at the start nor a spread over the whole interval. A socket of the
// test plays the directory and notes when each datagram arrives.
TEST(ZoneToolTest, AnnouncementsAreSpreadOverTheFirstHalfOfTheInterval) {
    UdpEndpoint directory;
    ASSERT_GE(directory.open(0), 0);
    constexpr int kZones = 20;
    constexpr uint32_t kIntervalMs = 2000;
    ToolRun tool(kZoneTool, {"127.0.0.1", "--zones", std::to_string(kZones), "--port", "22000",
                             "--name-prefix", "Spread ", "--password", "pw", "--interval", "2",
                             "--update-port", std::to_string(directory.localPort())});
    std::vector<uint32_t> updates;  // arrival ticks
    std::optional<uint32_t> query;
    const uint32_t start = tickCount();
    for (int waited = 0; waited < 3 * static_cast<int>(kIntervalMs) && !query; ++waited) {
        for (int reads = 0; reads < 64; ++reads) {
            const auto datagram = directory.poll();
            if (datagram == nullptr) break;
            if (datagram->length() == static_cast<int>(kCountQueryLength))
                query = tickCount();
            else
                updates.push_back(tickCount());
        }
        sleepMs(1);
    }
    ASSERT_TRUE(query.has_value()) << updates.size() << " updates, no count query";
    ASSERT_EQ(updates.size(), static_cast<size_t>(kZones));
    // Zone 0 goes at once and zone 19 at 19/20 of the half interval (950 ms);
    // the bounds leave room for a loaded machine either way.
    const uint32_t span = elapsedMs(updates.back(), updates.front());
    EXPECT_GE(span, kIntervalMs / 2 * 6 / 10) << "announced in a burst";
    EXPECT_LE(span, kIntervalMs / 2 + 400) << "spread past the first half";
    const uint32_t middle = elapsedMs(updates[kZones / 2], updates.front());
    EXPECT_GE(middle, kIntervalMs / 2 / 4);
    EXPECT_LE(middle, kIntervalMs / 2 * 3 / 4 + 200);
    EXPECT_GE(elapsedMs(*query, start), elapsedMs(updates.back(), start));
    ASSERT_TRUE(tool.signal(SIGTERM));
    tool.wait(nullptr, kToolGraceMs);
}

}  // namespace
}  // namespace kelvaro::testing_support
