// The service binary: reads kelvaro.ini from the current directory (or the
// file named by --config), builds the directory server and runs one iteration
// and one sleep at a time until a key is waiting on stdin or SIGINT/SIGTERM
// arrives; SIGHUP re-reads the settings file and puts in force what can change
// while running (see service/settings_reload.h), then the ban file.
// --help and --version print and exit; --check-config checks the settings and
// exits (see service/settings_check.h); any other argument is refused. A
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
#include "service/settings_check.h"
#include "service/settings_reload.h"
#include "service/settings_report.h"
#include "service/version.h"
#include "service/web_front.h"

namespace {

// The banner is this line followed by an empty one; --version prints it alone.
constexpr const char* kVersion = kelvaro::kVersionLine;
// The usage line stays as scripts have seen it; --check-config is described
// in the help text.
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
    "kelvaro --check-config [--config PATH] reads and checks the settings as a\n"
    "start would, opens and binds nothing, and exits 0 (usable), 3 (usable,\n"
    "with warnings) or 1 (a file that cannot be read).\n"
    "\n"
    "Stop it with SIGTERM, SIGINT (Ctrl-C) or any key on its terminal. SIGHUP\n"
    "re-reads the settings file and the ban file and puts in force what can\n"
    "change while it runs (\"---Reload:\" lines); SIGPIPE, SIGUSR1 and SIGUSR2\n"
    "are ignored.\n"
    "Documentation: docs/operations.md and docs/kelvaro.ini (installed under\n"
    "share/kelvaro/).\n";

constexpr int kExitStartFailed = 1;
constexpr int kExitUsage = 2;

// A negative sleep would be a pause of about 49 days per iteration as an
// unsigned count; it can only mean "do not sleep".
uint32_t iterationSleepMs(int32_t setting) {
    return setting > 0 ? static_cast<uint32_t>(setting) : 0;
}

struct Arguments {
    std::string configPath;  // --config; empty: kelvaro.ini in the current directory
    bool checkOnly = false;  // --check-config
};

// The exit code when the arguments end the program before it serves or
// checks; nothing when it is to go on, with arguments filled in.
std::optional<int> handleArguments(int argc, char** argv, Arguments& arguments) {
    if (argc <= 1) return std::nullopt;
    int next = 1;
    if (std::strcmp(argv[1], "--check-config") == 0) {
        arguments.checkOnly = true;
        next = 2;
    }
    if (argc == next) return std::nullopt;
    if (argc == next + 2 && std::strcmp(argv[next], "--config") == 0 &&
        argv[next + 1][0] != '\0') {
        arguments.configPath = argv[next + 1];
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

kelvaro::ServerSettings readSettings(const std::string& configPath) {
    kelvaro::ServerSettings settings;
    if (configPath.empty())
        settings.load(kelvaro::currentDirectory());
    else
        settings.loadFile(configPath);
    return settings;
}

int checkOnly(const std::string& configPath) {
    const kelvaro::ConfigCheck check =
        kelvaro::checkConfig(readSettings(configPath), !configPath.empty());
    for (const std::string& line : check.lines) std::printf("%s\n", line.c_str());
    return check.exitCode;
}

// SIGHUP: the file is read again from the path it was read from at start
// (so a later change of the current directory does not move it), the live
// changes go to the running parts, and then the ban file is re-read as ever.
void reloadSettings(kelvaro::ServerSettings& settings, bool required,
                    kelvaro::DirectoryServer& server, kelvaro::WebFront& web) {
    kelvaro::ServerSettings read;
    read.loadFile(settings.iniPath);
    kelvaro::ReloadOutcome outcome = kelvaro::reloadSettings(settings, read, required);
    for (const std::string& line : outcome.lines) std::printf("%s\n", line.c_str());
    if (outcome.taken)
        for (const std::string& line : kelvaro::settingsReport(read))
            if (line.rfind("Warning:", 0) == 0) std::printf("---Reload: %s\n", line.c_str());
    if (outcome.applied) {
        server.applySettings(outcome.inForce);
        // The server may have turned a key back (no secret for VerifiedZones).
        outcome.inForce = server.settings();
        web.setMaxAge(outcome.inForce.HttpMaxAge);
    }
    settings = outcome.inForce;
    // With no ban file and nothing changed the server says there was nothing
    // to re-read; a changed file alone needs no second line.
    if (!settings.BanFile.empty() || outcome.lines.empty()) server.reload();
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything opens a descriptor, so no socket becomes stdin.
    kelvaro::ensureStandardDescriptors();
    Arguments arguments;
    if (const std::optional<int> exitCode = handleArguments(argc, argv, arguments))
        return *exitCode;
    const std::string& configPath = arguments.configPath;
    if (arguments.checkOnly) return checkOnly(configPath);
    // The console comes before the settings, whose peer names may take a while
    // to resolve: a SIGHUP or SIGPIPE meanwhile must not end the process, and
    // the report and any socket error printed while the server is built go
    // out in order, above the banner.
    kelvaro::ConsoleSession console;
    kelvaro::ServerSettings settings = readSettings(configPath);
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
    const std::array<int, 6> serverSockets = server->descriptors();
    const std::array<int, 8> sockets = {serverSockets[0], serverSockets[1], serverSockets[2],
                                        serverSockets[3], serverSockets[4], serverSockets[5],
                                        web.descriptor(),  web.descriptorV6()};
    // The stop test comes before each iteration: a key already waiting ends
    // the program without any iteration. The key is never read.
    kelvaro::TrafficPause trafficPause(sockets);
    uint32_t readable = 0;  // unknown: every port is read
    while (!kelvaro::stopRequested()) {
        if (kelvaro::takeReloadRequest())
            reloadSettings(settings, !configPath.empty(), *server, web);
        server->iterate(readable & 0x3F);
        readable = 0;
        web.iterate(*server, static_cast<int64_t>(std::time(nullptr)));
        kelvaro::flushConsole();
        // The front may need running sooner than the sleep ends (a connection's
        // time-out, bytes it already holds).
        const uint32_t pauseMs = web.waitLimitMs(iterationSleepMs(settings.IterationSleepTime));
        if (pauseMs == 0) continue;  // even a zero-length sleep costs the timer slack
        if (settings.WakeOnTraffic) {
            const uint32_t gatherUs =
                server->nextGatherUs(static_cast<uint32_t>(settings.BatchWaitTime));  // 0..500
            readable = trafficPause.pause(pauseMs, gatherUs);
        }
        else kelvaro::sleepMs(pauseMs);
    }
    server.reset();
    return 0;
}
