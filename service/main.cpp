// The service binary: reads kelvaro.ini from the current directory (or the
// file named by --config), builds the directory server and runs one iteration
// and one sleep at a time until a key is waiting on stdin or SIGINT/SIGTERM
// arrives; SIGHUP asks the server to re-read what it can while running.
// --help and --version print and exit; any other argument is refused. A
// settings file that exists but cannot be read, or a --config file that does
// not exist, ends the start with status 1.

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "platform/console.h"
#include "platform/process.h"
#include "platform/profile_reader.h"
#include "platform/tick_clock.h"
#include "service/directory_server.h"
#include "service/server_settings.h"
#include "service/settings_report.h"
#include "service/web_front.h"

namespace {

// The banner is this line followed by an empty one; --version prints it alone.
constexpr const char* kVersion = "Kelvaro (Build 3)";
constexpr const char* kUsageLine = "usage: kelvaro [--help | --version | --config PATH]\n";
constexpr const char* kHelp =
    "usage: kelvaro [--help | --version | --config PATH]\n"
    "\n"
    "Kelvaro directory server. Zones announce themselves on UDP 4991, game\n"
    "clients fetch the zone list on UDP 4990. Settings are read from kelvaro.ini\n"
    "in the current directory (built-in defaults without it), or from PATH with\n"
    "--config; a relative statistics or metrics file is still written in the\n"
    "current directory. A start-up report of the settings in force and of any\n"
    "doubtful value comes first; a settings file that cannot be read is fatal.\n"
    "\n"
    "Stop it with SIGTERM, SIGINT (Ctrl-C) or any key on its terminal. SIGHUP\n"
    "re-reads what can change while it runs; SIGPIPE, SIGUSR1 and SIGUSR2 are\n"
    "ignored.\n"
    "Documentation: docs/operations.md and docs/kelvaro.ini (installed under\n"
    "share/kelvaro/).\n";

constexpr int kExitStartFailed = 1;
constexpr int kExitUsage = 2;

// A negative sleep would be a pause of about 49 days per iteration as an
// unsigned count; it can only mean "do not sleep".
uint32_t iterationSleepMs(int32_t setting) {
    return setting > 0 ? static_cast<uint32_t>(setting) : 0;
}

// The exit code when the arguments end the program before it serves; nothing
// when it is to serve, with configPath set by --config.
std::optional<int> handleArguments(int argc, char** argv, std::string& configPath) {
    if (argc <= 1) return std::nullopt;
    if (argc == 3 && std::strcmp(argv[1], "--config") == 0 && argv[2][0] != '\0') {
        configPath = argv[2];
        return std::nullopt;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", kVersion);
        return 0;
    }
    std::fputs(kUsageLine, stderr);
    return kExitUsage;
}

void printSettingsReport(const kelvaro::ServerSettings& settings) {
    for (const std::string& line : kelvaro::settingsReport(settings))
        std::printf("%s\n", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything opens a descriptor, so no socket becomes stdin.
    kelvaro::ensureStandardDescriptors();
    std::string configPath;
    if (const std::optional<int> exitCode = handleArguments(argc, argv, configPath))
        return *exitCode;
    // The console comes before the settings, whose peer names may take a while
    // to resolve: a SIGHUP or SIGPIPE meanwhile must not end the process, and
    // the report and any socket error printed while the server is built go
    // out in order, above the banner.
    kelvaro::ConsoleSession console;
    kelvaro::ServerSettings settings;
    if (configPath.empty())
        settings.load(kelvaro::currentDirectory());
    else
        settings.loadFile(configPath);
    using FileState = kelvaro::ProfileFileStatus::State;
    // Running on defaults the operator did not choose would hide the fault; a
    // file named on the command line must be there as well.
    if (settings.iniStatus.state == FileState::Unreadable ||
        (!configPath.empty() && settings.iniStatus.state == FileState::NotFound)) {
        std::fprintf(stderr, "kelvaro: cannot read %s: %s\n", settings.iniPath.c_str(),
                     settings.iniStatus.reason.c_str());
        return kExitStartFailed;
    }
    printSettingsReport(settings);
    auto server = std::make_unique<kelvaro::DirectoryServer>(settings);
    if (!server->endpointsOpen()) {
        // A server that cannot hear on its ports serves nothing: say so and stop.
        std::fflush(stdout);
        return kExitStartFailed;
    }
    server->openState();
    kelvaro::WebFront web(settings);
    if (std::string reason; !web.open(reason)) {
        std::printf("%s\n", reason.c_str());
        std::fflush(stdout);
        return kExitStartFailed;
    }
    std::printf("%s\n\n", kVersion);
    kelvaro::flushConsole();
    const uint32_t sleepMs = iterationSleepMs(settings.IterationSleepTime);
    const std::array<int, 4> serverSockets = server->descriptors();
    const std::array<int, 5> sockets = {serverSockets[0], serverSockets[1], serverSockets[2],
                                        serverSockets[3], web.descriptor()};
    // The stop test comes before each iteration: a key already waiting ends
    // the program without any iteration. The key is never read.
    uint32_t readable = 0;  // unknown: every port is read
    while (!kelvaro::stopRequested()) {
        if (kelvaro::takeReloadRequest()) server->reload();
        server->iterate(readable & 0xF);
        readable = 0;
        web.iterate(*server, static_cast<int64_t>(std::time(nullptr)));
        kelvaro::flushConsole();
        // The front may need running sooner than the sleep ends (a connection's
        // time-out, bytes it already holds).
        const uint32_t pauseMs = web.waitLimitMs(sleepMs);
        if (pauseMs == 0) continue;  // even a zero-length sleep costs the timer slack
        if (settings.WakeOnTraffic) readable = kelvaro::pauseForTraffic(sockets, pauseMs);
        else kelvaro::sleepMs(pauseMs);
    }
    server.reset();
    return 0;
}
