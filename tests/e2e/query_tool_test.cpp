// The operator's query tool against the real server: counting zones,
// announcing them, answering the server's pings and fetching the list, all on
// loopback.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "e2e/server_process.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "support/json_zone.h"
#include "support/strict_json.h"
#include "support/udp_wait.h"

namespace kelvaro::testing_support {
namespace {

constexpr const char* kQueryTool = KELVARO_TOOLS_DIR "/kelvaro_query";
// How long past its own time-outs the tool may take before the test gives up
// on it and kills it.
constexpr int kToolGraceMs = 3000;

// Runs the tool to its end; the tool's own default time-out is 2 s.
ToolResult runTool(const std::vector<std::string>& arguments, ServerProcess* server = nullptr) {
    ToolRun run(kQueryTool, arguments);
    return run.wait(server, 2000 + kToolGraceMs);
}

// The number in the tool's "answered N pings" total line, or -1.
int pingsAnswered(const std::string& out) {
    const size_t line = out.find("answered ");
    int answered = -1;
    if (line == std::string::npos ||
        std::sscanf(out.c_str() + line, "answered %d pings\n", &answered) != 1)
        return -1;
    return answered;
}

// A UDP port that nobody is bound to at the moment (above 1).
uint16_t unusedPort() {
    UdpEndpoint probe;
    probe.open(0);
    return probe.localPort();
}

class QueryToolTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.waitForLine(kBannerLine)); }

    ToolResult run(const std::vector<std::string>& arguments) {
        return runTool(arguments, &server);
    }

    // Announces a zone without answering pings and waits until the server
    // has taken it.
    void announce(const std::vector<std::string>& fields, const std::string& name) {
        std::vector<std::string> arguments = {"announce", "127.0.0.1",  "--name",
                                              name,       "--password", "pw"};
        arguments.insert(arguments.end(), fields.begin(), fields.end());
        const ToolResult result = run(arguments);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        ASSERT_TRUE(server.waitForLine("---Update : " + name)) << server.output();
    }

    // A long DropLimit keeps a zone listed through the gaps between tool runs
    // in which nobody answers its pings.
    ServerProcess server{"[Zone]\nSweepTime=20\nDropLimit=100\n"};
};

TEST_F(QueryToolTest, CountReportsTheZonesTheServerHolds) {
    ToolResult result = run({"count", "127.0.0.1"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "0\n");

    announce({"--port", "6000"}, "Alpha");
    announce({"--port", "6002"}, "Bravo");
    announce({"--port", "6000"}, "Alpha");  // the same zone again
    result = run({"count", "127.0.0.1"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "2\n");
}

TEST_F(QueryToolTest, ListPrintsEveryZoneInStatisticsFormAndHonoursTheMinimum) {
    announce({"--port", "6000", "--population", "3", "--flag", "1", "--word", "0xDEADBEEF",
              "--description", "the first zone"},
             "Alpha");
    announce({"--port", "6002", "--population", "9"}, "Bravo Two");

    ToolResult result = run({"list", "127.0.0.1"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out,
              "127.0.0.1\t6000\t3\t1\tAlpha\tthe first zone\n"
              "127.0.0.1\t6002\t9\t0\tBravo Two\t\n");
    EXPECT_TRUE(server.waitForLine("---Uploading server list"));

    result = run({"list", "127.0.0.1", "--min", "5"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "127.0.0.1\t6002\t9\t0\tBravo Two\t\n");

    result = run({"list", "127.0.0.1", "--min", "70000"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "");
}

// The same two zones in every format: tsv as the statistics file has it, a
// table whose columns line up under their header, and JSON that a strict
// parser reads back to the very bytes announced, quotes, backslashes, control
// and high bytes included.
TEST_F(QueryToolTest, ListReadsTheSameInTableTsvAndJson) {
    const std::string hostile = std::string("say \"hi\" \\ back\x01") + "\xe9\xff";
    announce({"--port", "6000", "--population", "3", "--flag", "1", "--word", "0xDEADBEEF",
              "--description", hostile},
             "Alpha");
    announce({"--port", "6002", "--population", "12"}, "Bravo Two");

    ToolResult result = run({"list", "127.0.0.1", "--format", "tsv"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "127.0.0.1\t6000\t3\t1\tAlpha\t" + hostile +
                              "\n127.0.0.1\t6002\t12\t0\tBravo Two\t\n");

    result = run({"list", "127.0.0.1", "--format", "json"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    for (const char c : result.out)
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c <= 0x7e)) << static_cast<int>(c);
    JsonValue list;
    ASSERT_TRUE(StrictJson::parse(result.out, list)) << result.out;
    ASSERT_EQ(list.kind, JsonValue::Kind::Array);
    ASSERT_EQ(list.items.size(), 2u);
    const ZoneUpdate expected[] = {{6000, 3, 1, 0xDEADBEEF, "Alpha", "", hostile},
                                   {6002, 12, 0, 0, "Bravo Two", "", ""}};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(list.items[i].members.size(), 7u);
        expectJsonZone(list.items[i].members, "127.0.0.1", expected[i]);
    }
    result = run({"list", "127.0.0.1", "--format", "json", "--min", "70000"});
    EXPECT_EQ(result.out, "[]\n");

    // Each value starts where its header word starts; control and high bytes
    // (and the backslash that escapes them) are shown as \xHH.
    result = run({"list", "127.0.0.1", "--format", "table"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = result.out.find('\n', start)) != std::string::npos;
         start = end + 1)
        lines.push_back(result.out.substr(start, end - start));
    ASSERT_EQ(lines.size(), 3u) << result.out;
    const std::vector<std::string> headers = {"ADDRESS", "PORT", "POPULATION", "FLAG",
                                              "WORD",    "NAME", "DESCRIPTION"};
    const std::vector<std::vector<std::string>> rows = {
        {"127.0.0.1", "6000", "3", "1", "3735928559", "Alpha",
         "say \"hi\" \\x5c back\\x01\\xe9\\xff"},
        {"127.0.0.1", "6002", "12", "0", "0", "Bravo Two", ""}};
    std::vector<size_t> starts;
    for (const std::string& header : headers) starts.push_back(lines[0].find(header));
    for (size_t column = 0; column < headers.size(); ++column) {
        ASSERT_NE(starts[column], std::string::npos) << headers[column];
        for (size_t row = 0; row < rows.size(); ++row) {
            const std::string& line = lines[row + 1];
            const size_t end = column + 1 < starts.size() ? starts[column + 1] : line.size();
            std::string cell = line.substr(std::min(starts[column], line.size()),
                                           end - std::min(starts[column], end));
            while (!cell.empty() && cell.back() == ' ') cell.pop_back();
            EXPECT_EQ(cell, rows[row][column]) << headers[column] << " in " << line;
        }
    }

    result = run({"count", "127.0.0.1", "--format", "json"});
    EXPECT_EQ(result.out, "{\"zones\":2}\n");
    result = run({"count", "127.0.0.1", "--format", "table"});
    EXPECT_EQ(result.out, "2\n");
}

// A description holding a line end and tabs must not forge a zone line: the
// tsv output and the statistics file keep one line of six fields per zone,
// the other bytes as announced.
TEST(QueryToolFieldsTest, LineEndsAndTabsInADescriptionCannotForgeAZoneLine) {
    ServerProcess server("[Zone]\nSweepTime=20\nDropLimit=100\n[Directory]\nStatsWriteMinutes=0\n");
    ASSERT_TRUE(server.waitForLine(kBannerLine)) << server.output();
    const std::string forged = "ok\n6.6.6.6\t1\t999\t0\tFake Official\tinjected\r";
    const std::string flattened = "ok 6.6.6.6 1 999 0 Fake Official injected ";
    const ToolResult sent =
        runTool({"announce", "127.0.0.1", "--port", "6000", "--population", "2", "--name",
                 "Forger", "--password", "pw", "--description", forged},
                &server);
    ASSERT_EQ(sent.exitCode, 0) << sent.err;

    const ToolResult result = runTool({"list", "127.0.0.1", "--format", "tsv"}, &server);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "127.0.0.1\t6000\t2\t0\tForger\t" + flattened + "\n");
    EXPECT_TRUE(server.waitForFile("stats.txt",
                                   "127.0.0.1\t6000\t2\t0\tForger\t" + flattened + "\r\n"))
        << server.directory.read("stats.txt");
}

// Every status a script can see, with the one line that says why. A silent
// socket plays a directory that never answers; 255.255.255.255 is refused by
// the kernel without a broadcast permission, so nothing leaves the machine.
TEST_F(QueryToolTest, EveryCommandExitsWithTheStatusOfWhatItGot) {
    UdpEndpoint silent;
    ASSERT_GE(silent.open(0), 0);
    const std::string mute = std::to_string(silent.localPort());
    const std::string pingless = std::to_string(static_cast<uint16_t>(unusedPort() - 1));
    const std::vector<std::string> zone = {"--port", "6000", "--name", "Alpha", "--password", "pw"};
    auto announce = [&](const std::string& address, std::vector<std::string> extra) {
        std::vector<std::string> arguments = {"announce", address};
        arguments.insert(arguments.end(), zone.begin(), zone.end());
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    };
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string out;   // the whole of stdout, when not "*"
        std::string err;   // a part of the one stderr line; empty: no stderr at all
    };
    const Case cases[] = {
        {{"--help"}, 0, "*", ""},
        {{"list", "127.0.0.1", "--help"}, 0, "*", ""},
        {{"--version"}, 0, "kelvaro_query (Kelvaro Build 3)\n", ""},
        {{"count", "127.0.0.1"}, 0, "0\n", ""},
        {announce("127.0.0.1", {}), 0, "", ""},
        {{"count", "127.0.0.1", "--format", "tsv"}, 0, "1\n", ""},
        {{"list", "127.0.0.1", "--format", "tsv"}, 0, "127.0.0.1\t6000\t0\t0\tAlpha\t\n", ""},
        {{"count", "127.0.0.1", "--name", "foo"}, 2, "", "count does not take --name"},
        {{"list", "127.0.0.1", "--port", "6000"}, 2, "", "list does not take --port"},
        {{"count", "127.0.0.1", "--colour", "on"}, 2, "", "unknown option --colour"},
        {{"count", "127.0.0.1", "--timeout-ms", "3600001"}, 2, "", "--timeout-ms must be 1..3600000"},
        {{"count", "127.0.0.1", "--timeout-ms", "0"}, 2, "", "--timeout-ms must be 1..3600000"},
        {{"list", "127.0.0.1", "--format", "xml"}, 2, "", "--format must be table, tsv or json"},
        {{"list", "::1"}, 2, "", "the address must be a dotted quad, not ::1"},
        {{"list", "localhost", "--http-port", mute}, 2, "",
         "the address must be a dotted quad or IPv6 text, not localhost"},
        {{"list", "::1", "--http-port", mute, "--all"}, 2, "", "--all does not go with --http-port"},
        {{"list", "::1", "--http-port", mute, "--client-port", mute}, 2, "",
         "--client-port does not go with --http-port"},
        {{"list", "::1", "--update-port", mute, "--http-port", mute}, 2, "",
         "--update-port does not go with --http-port"},
        {{"count", "127.0.0.1", "--http-port", mute}, 2, "", "count does not take --http-port"},
        {{"list", "127.0.0.1", "--http-port", "0"}, 2, "", "--http-port must be 1..65535"},
        {{"list", "127.0.0.1", "--http-port", mute, "--timeout-ms", "100"}, 1, "",
         "no zone list from http://127.0.0.1:" + mute + "/zones.json: could not connect"},
        {{"count", "127.0.0.1", "--timeout-ms"}, 2, "", "--timeout-ms needs a value"},
        {announce("127.0.0.1", {"--answer-pings", "1", "--port", "65535"}), 2, "",
         "--port must be 1..65534 with --answer-pings"},
        {announce("127.0.0.1", {"--flag", "2"}), 2, "", "--flag must be 0..1"},
        {{"count", "127.0.0.1", "--update-port", mute, "--timeout-ms", "100"}, 1, "",
         "no count reply from 127.0.0.1:" + mute + " within 100 ms"},
        {{"list", "127.0.0.1", "--client-port", mute, "--timeout-ms", "100"}, 1, "",
         "no server list from 127.0.0.1:" + mute},
        {announce("127.0.0.1", {"--update-port", mute, "--timeout-ms", "100"}), 1, "",
         "127.0.0.1:" + mute + " did not confirm the update within 100 ms"},
        {announce("255.255.255.255", {}), 1, "", "the update could not be sent to 255.255.255.255"},
        {{"announce", "127.0.0.1", "--port", pingless, "--name", "Lonely", "--password", "pw",
          "--update-port", mute, "--answer-pings", "1"},
         1, "answered 0 pings\n", "no ping reached port"},
    };
    for (const Case& c : cases) {
        const ToolResult result = run(c.arguments);
        const std::string what = c.arguments[0] + " " + c.arguments.back();
        EXPECT_EQ(result.exitCode, c.status) << what << ": " << result.err;
        if (c.out != "*") {
            EXPECT_EQ(result.out, c.out) << what;
        } else {
            EXPECT_NE(result.out.find("usage:"), std::string::npos) << what;
        }
        if (c.err.empty()) {
            EXPECT_EQ(result.err, "") << what;
        } else {
            EXPECT_NE(result.err.find(c.err), std::string::npos) << what << ": " << result.err;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        }
    }
}

// A socket bound to another loopback address plays a second directory.
class SecondDirectory {
public:
    SecondDirectory() {
        handle = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = inet_addr("127.0.0.2");
        bound = handle >= 0 &&
                bind(handle, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    ~SecondDirectory() {
        if (handle >= 0) ::close(handle);
    }
    bool ping(uint16_t port) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = inet_addr("127.0.0.1");
        const uint8_t tick[4] = {1, 2, 3, 4};
        return sendto(handle, tick, sizeof tick, 0, reinterpret_cast<sockaddr*>(&to),
                      sizeof to) == 4;
    }
    int replies() {
        int count = 0;
        uint8_t reply[16];
        for (int i = 0; i < 64 && recv(handle, reply, sizeof reply, 0) == 8; ++i) ++count;
        return count;
    }
    bool bound = false;

private:
    int handle = -1;
};

// A zone's ping port hears from every directory that lists it, not only from
// the one it announced to; each is answered and counted on its own line.
TEST(QueryToolPingTest, PingsFromEveryDirectoryAreAnsweredAndCountedPerSource) {
    UdpEndpoint directory;  // 127.0.0.1, takes the update
    ASSERT_GE(directory.open(0), 0);
    SecondDirectory peer;
    ASSERT_TRUE(peer.bound);
    const uint16_t pingPort = unusedPort();
    ToolRun tool(kQueryTool, {"announce", "127.0.0.1", "--update-port",
                              std::to_string(directory.localPort()), "--port",
                              std::to_string(pingPort - 1), "--name", "Shared", "--password", "pw",
                              "--answer-pings", "1"});
    // The port is bound before the update goes, so the pings cannot be early.
    const auto update = pollWithin(directory);
    ASSERT_NE(update, nullptr);
    uint8_t tick[4] = {9, 9, 9, 9};
    for (int i = 0; i < 3; ++i) {
        directory.setDestination(inet_addr("127.0.0.1"), pingPort);
        ASSERT_TRUE(directory.send(tick, sizeof tick));
    }
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(peer.ping(pingPort));
    const ToolResult result = tool.wait(nullptr, 1000 + kToolGraceMs);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out,
              "from 127.0.0.1: 3 pings\nfrom 127.0.0.2: 2 pings\nanswered 5 pings\n");
    int replies = 0;
    for (int i = 0; i < 3; ++i) {
        const auto reply = pollWithin(directory);
        ASSERT_NE(reply, nullptr);
        replies += reply->length() == 8 ? 1 : 0;
    }
    EXPECT_EQ(replies, 3);
    EXPECT_EQ(peer.replies(), 2);
}

// The update's population counts only for a new zone, so the populations
// that show up here can only have come from the tool's ping replies. The
// second round also shows that `list` disconnects: a client left connected
// would keep the server busy, and a busy server pings nobody.
TEST_F(QueryToolTest, AnsweredPingsSetThePopulationThatListShows) {
    const std::string port = std::to_string(static_cast<uint16_t>(unusedPort() - 1));
    announce({"--port", port, "--population", "1"}, "Pinged");
    for (const std::string population : {"7", "8"}) {
        const ToolResult answering =
            run({"announce", "127.0.0.1", "--port", port, "--name", "Pinged", "--password", "pw",
                 "--population", population, "--answer-pings", "1"});
        EXPECT_EQ(answering.exitCode, 0) << answering.err;
        EXPECT_GT(pingsAnswered(answering.out), 0) << answering.out;
        EXPECT_GE(answering.elapsedMs, 1000u);

        const ToolResult listed = run({"list", "127.0.0.1"});
        EXPECT_EQ(listed.exitCode, 0) << listed.err;
        EXPECT_EQ(listed.out, "127.0.0.1\t" + port + "\t" + population + "\t0\tPinged\t\n");
    }
}

// Nothing listens on a bound but silent socket, so both queries must give up
// after their --timeout-ms, with a non-zero exit code and nothing on stdout.
TEST(QueryToolTimeoutTest, QueriesGiveUpAfterTheirTimeout) {
    UdpEndpoint silent;
    ASSERT_GE(silent.open(0), 0);
    const std::string port = std::to_string(silent.localPort());
    const ToolResult count =
        runTool({"count", "127.0.0.1", "--update-port", port, "--timeout-ms", "300"});
    const ToolResult list =
        runTool({"list", "127.0.0.1", "--client-port", port, "--timeout-ms", "300"});
    for (const ToolResult& result : {count, list}) {
        ASSERT_TRUE(result.exitCode.has_value());
        EXPECT_EQ(*result.exitCode, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err, "");
        EXPECT_GE(result.elapsedMs, 300u);
        EXPECT_LT(result.elapsedMs, 300u + kToolGraceMs);
    }
    // The client did say something: key requests, then its goodbye.
    EXPECT_NE(silent.poll(), nullptr);
}

TEST(QueryToolArgumentsTest, UnusableArgumentsAreRefusedBeforeAnythingIsSent) {
    UdpEndpoint watcher;
    ASSERT_GE(watcher.open(0), 0);
    const std::string port = std::to_string(watcher.localPort());
    const std::vector<std::vector<std::string>> refused = {
        {"count"},
        {"ask", "127.0.0.1"},
        {"count", "localhost", "--update-port", port},
        {"count", "127.0.0.1", "--update-port", "65536"},
        {"count", "127.0.0.1", "--update-port", port, "--timeout-ms"},
        {"list", "127.0.0.1", "--client-port", port, "--min", "-1"},
        {"announce", "127.0.0.1", "--update-port", port, "--port", "6000", "--name", "Alpha"},
        {"announce", "127.0.0.1", "--update-port", port, "--port", "6000", "--name",
         std::string(32, 'N'), "--password", "pw"},
        {"announce", "127.0.0.1", "--update-port", port, "--port", "6000", "--name", "Alpha",
         "--password", std::string(16, 'p')},
        {"announce", "127.0.0.1", "--update-port", port, "--port", "6000", "--name", "Alpha",
         "--password", "pw", "--description", std::string(426, 'd')},
        {"announce", "127.0.0.1", "--update-port", port, "--port", "6000", "--name", "Alpha",
         "--password", "pw", "--flag", "2"},
        {"announce", "127.0.0.1", "--update-port", port, "--port", "6000", "--name", "Alpha ",
         "--password", "pw"},
    };
    for (const auto& arguments : refused) {
        const ToolResult result = runTool(arguments);
        EXPECT_EQ(result.exitCode, 2) << arguments.back();
        EXPECT_NE(result.err, "") << arguments.back();
    }
    sleepMs(20);
    EXPECT_EQ(watcher.poll(), nullptr);

    // The longest texts that fit are sent; the watcher never confirms them.
    const ToolResult longest =
        runTool({"announce", "127.0.0.1", "--update-port", port, "--port", "6000", "--name",
                 std::string(31, 'N'), "--password", std::string(15, 'p'), "--description",
                 std::string(425, 'd'), "--timeout-ms", "50"});
    EXPECT_EQ(longest.exitCode, 1) << longest.err;
    const auto datagram = pollWithin(watcher);
    ASSERT_NE(datagram, nullptr);
    EXPECT_EQ(datagram->length(), 520);
}

}  // namespace
}  // namespace kelvaro::testing_support
