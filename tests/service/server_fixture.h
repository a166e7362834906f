#pragma once
// A DirectoryServer on ephemeral ports, built from a kelvaro.ini in a fresh
// temporary directory that is also the current directory (where the
// statistics file goes), with time in the hands of a ManualClock. Its
// downloads go to the fixture's silent peer socket, which never answers,
// unless the test names another peer port.
//
// Every timer is off in the base settings; a test names the keys it needs and
// they win, since the first occurrence of a key counts.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/profile_reader.h"
#include "platform/tick_clock.h"
#include "service/directory_server.h"
#include "service/server_settings.h"
#include "support/capture_stdout.h"
#include "support/temp_directory.h"
#include "support/udp_wait.h"
#include "support/zone_wire.h"

namespace kelvaro::testing_support {

// What action prints. Capturing only around the action keeps the test
// framework's own failure reports on the real stdout.
template <typename Action>
std::string printedBy(Action&& action) {
    StdoutCapture capture;
    action();
    return capture.take();
}

constexpr const char* kQuietSettings =
    "[CPU]\nSlowIteration=-1\n"
    "[Zone]\nSweepTime=-1\nDropLimit=10\nInitialHighPing=100000\n"
    "[Directory]\nStatsWriteMinutes=-1\nStatsFile=stats.txt\nDownloadTime=1000\nIP=127.0.0.1\n";

// A zone's ping socket: pings for a zone announced on port P arrive on P + 1,
// so the zone is announced one below the socket's own port.
struct FakeZone {
    FakeZone() { socket.open(0); }
    uint16_t announcedPort() const { return static_cast<uint16_t>(socket.localPort() - 1); }
    UdpEndpoint socket;
};

class ServerFixture : public ::testing::Test {
protected:
    static constexpr uint32_t kStartTick = 1000000;

    void TearDown() override {
        server.reset();
        if (!savedDirectory.empty()) {
            EXPECT_EQ(chdir(savedDirectory.c_str()), 0);
        }
    }

    void start(const std::string& ini = std::string{}, uint16_t peerPort = 0) {
        ASSERT_FALSE(directory.path().empty());
        ASSERT_GE(silentPeer.open(0), 0);
        directory.write(kIniFileName, ini + kQuietSettings);
        savedDirectory = currentDirectory();
        ASSERT_EQ(chdir(directory.path().c_str()), 0);
        const uint16_t peer = peerPort != 0 ? peerPort : silentPeer.localPort();
        ServerSettings settings;
        settings.load(directory.path());
        server = std::make_unique<DirectoryServer>(settings, ServerPorts{0, 0, peer});
        ASSERT_NE(server->updatePort(), 0);
        ASSERT_NE(server->pingPort(), 0);
        ASSERT_NE(server->clientPort(), 0);
        ASSERT_NE(server->downloadPort(), 0);
    }

    std::string iterate() {
        return printedBy([&] { server->iterate(); });
    }

    ZoneRecord* addZone(const std::string& name, uint16_t port, uint32_t address = kLoopback,
                        uint16_t population = 0, const std::string& description = "") {
        printedBy([&] {
            server->zones().addOrUpdate(address, port, population, 0, 0, name, description);
        });
        return server->zones().find(address, port);
    }

    ZoneRecord* addZone(const std::string& name, const FakeZone& zone) {
        return addZone(name, zone.announcedPort());
    }

    ManualClock clock{kStartTick};
    TempDirectory directory;
    UdpEndpoint silentPeer;
    std::unique_ptr<DirectoryServer> server;

private:
    std::string savedDirectory;
};

// Waits for one ping on the zone's socket; its 4 bytes are the sending tick.
inline ::testing::AssertionResult pingArrived(FakeZone& zone, uint32_t tick) {
    auto ping = pollWithin(zone.socket);
    if (!ping) return ::testing::AssertionFailure() << "no ping arrived";
    if (ping->length() != 4) return ::testing::AssertionFailure() << "ping of " << ping->length();
    if (readU32(ping->data(), 0) != tick)
        return ::testing::AssertionFailure() << "ping tick " << readU32(ping->data(), 0);
    return ::testing::AssertionSuccess();
}

// A short wait: loopback delivery is immediate, so 20 ms of silence means none.
inline bool nothingArrived(FakeZone& zone) { return pollWithin(zone.socket, 10) == nullptr; }

}  // namespace kelvaro::testing_support
