#pragma once
// A directory server for benchmarks: on ephemeral ports, in a temporary
// directory that is the current directory while it lives (the statistics file
// goes there), on the default settings except DownloadTime, which never
// passes, so no download makes the server busy. Time stands still at
// kBenchTick unless a benchmark moves the clock. Each benchmark places its own
// zones through zones().

#include <unistd.h>

#include <memory>
#include <string>

#include "platform/profile_reader.h"
#include "platform/tick_clock.h"
#include "service/directory_server.h"
#include "service/server_settings.h"
#include "support/temp_directory.h"

namespace kelvaro {

constexpr uint32_t kBenchTick = 1000000;

class BenchServer {
public:
    // extraIni comes before the base settings, so its keys win.
    explicit BenchServer(const std::string& extraIni = {}) : clock(kBenchTick) {
        previousDirectory = currentDirectory();
        if (chdir(directory.path().c_str()) != 0) return;
        directory.write(kIniFileName, extraIni + "[Directory]\nDownloadTime=-1\n");
        peerSink.open(0);
        ServerSettings settings;
        settings.load(directory.path());
        server = std::make_unique<DirectoryServer>(settings, ServerPorts{0, 0, peerSink.localPort()});
    }
    ~BenchServer() {
        server.reset();
        if (!previousDirectory.empty()) static_cast<void>(chdir(previousDirectory.c_str()));
    }
    BenchServer(const BenchServer&) = delete;
    BenchServer& operator=(const BenchServer&) = delete;

    ManualClock clock;
    testing_support::TempDirectory directory;
    UdpEndpoint peerSink;  // where a download would go; none starts
    std::unique_ptr<DirectoryServer> server;  // null when the directory could not be entered

private:
    std::string previousDirectory;
};

}  // namespace kelvaro
