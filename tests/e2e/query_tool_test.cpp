// The operator's query tool against the real server: counting zones,
// announcing them, answering the server's pings and fetching the list, all on
// loopback.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "e2e/server_process.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "support/udp_wait.h"

namespace kelvaro::testing_support {
namespace {

constexpr const char* kTool = KELVARO_TOOLS_DIR "/kelvaro_query";
// How long past its own time-outs the tool may take before the test gives up
// on it and kills it.
constexpr int kToolGraceMs = 3000;

struct ToolResult {
    std::optional<int> exitCode;  // nothing when killed or ended by a signal
    std::string out;
    std::string err;
    uint32_t elapsedMs = 0;
};

class ToolRun {
public:
    explicit ToolRun(const std::vector<std::string>& arguments) {
        int outPipe[2] = {-1, -1};
        int errPipe[2] = {-1, -1};
        if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return;
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(kTool));
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            dup2(outPipe[1], STDOUT_FILENO);
            dup2(errPipe[1], STDERR_FILENO);
            execv(kTool, argv.data());
            _exit(127);
        }
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        outRead = outPipe[0];
        errRead = errPipe[0];
        fcntl(outRead, F_SETFL, O_NONBLOCK);
        fcntl(errRead, F_SETFL, O_NONBLOCK);
    }

    ~ToolRun() {
        if (pid > 0 && !finished) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (outRead >= 0) ::close(outRead);
        if (errRead >= 0) ::close(errRead);
    }

    ToolRun(const ToolRun&) = delete;
    ToolRun& operator=(const ToolRun&) = delete;

    // Waits for the tool to end, keeping the server's output drained (when
    // there is a server) so that it never stalls on a full pipe meanwhile.
    ToolResult wait(ServerProcess* server, int timeoutMs) {
        ToolResult result;
        const uint32_t start = tickCount();
        for (int waited = 0; waited <= timeoutMs && pid > 0 && !finished; ++waited) {
            collect(result);
            if (server != nullptr) server->drain();
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                finished = true;
                if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
            } else {
                sleepMs(1);
            }
        }
        collect(result);
        result.elapsedMs = elapsedMs(tickCount(), start);
        return result;
    }

private:
    void collect(ToolResult& result) {
        drainInto(outRead, result.out);
        drainInto(errRead, result.err);
    }

    static void drainInto(int descriptor, std::string& text) {
        char buffer[4096];
        for (int reads = 0; reads < 64 && descriptor >= 0; ++reads) {
            const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
            if (got <= 0) break;
            text.append(buffer, static_cast<size_t>(got));
        }
    }

    pid_t pid = -1;
    bool finished = false;
    int outRead = -1;
    int errRead = -1;
};

// Runs the tool to its end; the tool's own default time-out is 2 s.
ToolResult runTool(const std::vector<std::string>& arguments, ServerProcess* server = nullptr) {
    ToolRun run(arguments);
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
    void SetUp() override { ASSERT_TRUE(server.waitForLine("Kelvaro (Build 3)")); }

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
