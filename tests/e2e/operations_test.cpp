// How the server behaves the way operators really start it: with descriptors
// closed, in the background of a terminal, with its ports taken, with
// arguments; and the query tool, which must not read the server's settings.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Asks the running server for its zone count; false when no reply came.
bool answersCountQuery(ServerProcess& server) {
    UdpEndpoint asker;
    if (asker.open(0) < 0) return false;
    uint8_t query[kCountQueryLength] = {};
    const uint32_t echo = 0x5EED0001;
    writeU32(query, 0, echo);
    asker.setDestination(kLoopback, kServerUpdatePort);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!asker.send(query, sizeof query)) return false;
        server.drain();
        if (auto reply = pollWithin(asker)) {
            uint32_t count = 0;
            return readCountReply(reply->data(), reply->bytes.size(), echo, count) && count == 0;
        }
    }
    return false;
}

// With stdin closed, the first socket used to become descriptor 0 and its
// first datagram (here the server's own list download) read as a key press.
TEST(OperationsTest, ClosedStdinNeverTurnsASocketIntoTheConsole) {
    ServerOptions options;
    options.stdinClosed = true;
    ServerProcess server("[Directory]\nDownloadTime=0\n", options);
    ASSERT_TRUE(server.waitForLine(kBannerLine));
    ASSERT_TRUE(server.waitForLine("---Download complete")) << server.output();
    EXPECT_TRUE(answersCountQuery(server));
    EXPECT_TRUE(server.running());
    ASSERT_TRUE(server.signal(SIGTERM));
    EXPECT_EQ(server.waitForExit(), 0);
}

// Started with `&` from an interactive shell, the server used to be stopped
// by SIGTTOU when it set the terminal's modes.
TEST(OperationsTest, BackgroundStartOnATerminalServes) {
    ServerOptions options;
    options.backgroundOnTerminal = true;
    ServerProcess server("", options);
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.waitForLine(kBannerLine)) << server.output();
    EXPECT_TRUE(answersCountQuery(server));
    EXPECT_TRUE(server.running());
    ASSERT_TRUE(server.signal(SIGTERM));
    EXPECT_EQ(server.waitForExit(), 0);
}

// A client port held by another process (say a second instance) ends the
// start with the reason and status 1, before the banner, as the update port does.
TEST(OperationsTest, TakenClientPortIsFatalWithItsReason) {
    UdpEndpoint squatter;
    ASSERT_GE(squatter.open(kServerClientPort), 0);
    ServerProcess server("");
    EXPECT_EQ(server.waitForExit(), 1);
    EXPECT_EQ(withoutReport(server.output()), "bind(4990) error: Address already in use\n")
        << server.output();
}

TEST(OperationsTest, ArgumentsPrintAndExitOrAreRefused) {
    struct Row {
        std::vector<std::string> arguments;
        int exitCode;
        const char* output;  // the whole output, or nullptr to check the help text
    };
    const Row rows[] = {
        {{"--version"}, 0, "Kelvaro (Build 3)\n"},
        {{"--help"}, 0, nullptr},
        {{"-h"}, 0, nullptr},
        {{"--port"}, 2, "usage: kelvaro [--help | --version | --config PATH]\n"},
        {{"--version", "extra"}, 2, "usage: kelvaro [--help | --version | --config PATH]\n"},
        {{"--config"}, 2, "usage: kelvaro [--help | --version | --config PATH]\n"},
        {{"--config", ""}, 2, "usage: kelvaro [--help | --version | --config PATH]\n"},
    };
    for (const Row& row : rows) {
        ServerOptions options;
        options.arguments = row.arguments;
        options.stderrToOutput = true;
        ServerProcess server("", options);
        EXPECT_EQ(server.waitForExit(), row.exitCode) << row.arguments[0];
        const std::string& printed = server.output();
        if (row.output != nullptr) {
            EXPECT_EQ(printed, row.output) << row.arguments[0];
        } else {
            EXPECT_EQ(printed.rfind("usage: kelvaro [--help | --version | --config PATH]\n", 0), 0u)
                << printed;
            EXPECT_NE(printed.find("SIGHUP"), std::string::npos) << printed;
            EXPECT_NE(printed.find("kelvaro.ini"), std::string::npos) << printed;
            EXPECT_NE(printed.find("4991"), std::string::npos) << printed;
            EXPECT_NE(printed.find("SIGTERM"), std::string::npos) << printed;
        }
        EXPECT_EQ(printed.find(kBannerLine + std::string("\n\n")), std::string::npos) << printed;
    }
}

// A FIFO named kelvaro.ini blocks whoever opens it for reading; the query
// tool, which reads no settings, still ends within its own time-out.
TEST(OperationsTest, QueryToolReadsNoSettingsFile) {
    TempDirectory directory;
    ASSERT_EQ(mkfifo(directory.file("kelvaro.ini").c_str(), 0600), 0);
    const std::string tool = KELVARO_TOOLS_DIR "/kelvaro_query";
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(directory.path().c_str()) != 0) _exit(126);
        const int quiet = ::open("/dev/null", O_WRONLY);
        dup2(quiet, STDERR_FILENO);
        execl(tool.c_str(), "kelvaro_query", "count", "127.0.0.1", "--update-port", "9",
              "--timeout-ms", "100", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    std::optional<int> status;
    for (int waited = 0; waited < 10000 && !status; ++waited) {
        int raw = 0;
        if (waitpid(pid, &raw, WNOHANG) == pid)
            status = raw;
        else
            sleepMs(1);
    }
    if (!status) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    ASSERT_TRUE(status.has_value()) << "the tool blocked on kelvaro.ini";
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);  // no answer from the discard port
}

}  // namespace
}  // namespace kelvaro::testing_support
