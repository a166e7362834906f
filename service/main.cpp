// The service binary: reads kelvaro.ini from the current directory, builds the
// directory server and runs one iteration and one sleep at a time until a key
// is waiting on stdin or SIGINT/SIGTERM arrives. Arguments are ignored.

#include <array>
#include <cstdio>
#include <memory>

#include "platform/console.h"
#include "platform/profile_reader.h"
#include "platform/tick_clock.h"
#include "service/directory_server.h"
#include "service/server_settings.h"

namespace {

constexpr const char* kBanner = "Kelvaro (Build 3)\n\n";

// A negative sleep would be a pause of about 49 days per iteration as an
// unsigned count; it can only mean "do not sleep".
uint32_t iterationSleepMs(int32_t setting) {
    return setting > 0 ? static_cast<uint32_t>(setting) : 0;
}

}  // namespace

int main() {
    kelvaro::ServerSettings settings;
    settings.load(kelvaro::currentDirectory());
    // The console comes next so that even a socket error printed while the
    // server is built reaches a pipe at once, above the banner.
    kelvaro::ConsoleSession console;
    auto server = std::make_unique<kelvaro::DirectoryServer>(settings);
    std::printf("%s", kBanner);
    kelvaro::flushConsole();
    const uint32_t sleepMs = iterationSleepMs(settings.IterationSleepTime);
    const std::array<int, 4> sockets = server->descriptors();
    // The stop test comes before each iteration: a key already waiting ends
    // the program without any iteration. The key is never read.
    while (!kelvaro::stopRequested()) {
        server->iterate();
        kelvaro::flushConsole();
        if (sleepMs == 0) continue;  // even a zero-length sleep costs the timer slack
        if (settings.WakeOnTraffic) kelvaro::pauseForTraffic(sockets, sleepMs);
        else kelvaro::sleepMs(sleepMs);
    }
    server.reset();
    return 0;
}
