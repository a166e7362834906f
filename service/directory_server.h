#pragma once
// The one service object of the process. It owns every long-lived object (the
// zone name passwords, the zone-side endpoints, the zone list and the ticks
// that pace the service) and runs one service iteration per iterate() call.
//
// Members are declared in the order they are built; C++ destroys them in the
// reverse order, which is the teardown order the service needs: zones first,
// then the ping and update endpoints, the passwords last.
//
// Nothing here blocks: each endpoint is polled once per iteration and yields
// at most one datagram.

#include <cstdint>
#include <string>

#include "net/udp_endpoint.h"
#include "zones/zone_list.h"
#include "zones/zone_passwords.h"

namespace kelvaro {

constexpr uint16_t kUpdatePort = 4991;
constexpr uint16_t kClientPort = 4990;

// Where the server listens. The service binary always uses the defaults;
// tests pass 0 to get ephemeral ports and run beside anything else.
struct ServerPorts {
    uint16_t update = kUpdatePort;
    uint16_t client = kClientPort;  // game clients and peers, once they are served
};

class DirectoryServer {
public:
    // Builds everything, opens the endpoints (a socket or bind failure is
    // printed and the server runs without that endpoint), then loads
    // serviceSettings again from settingsDirectory/kelvaro.ini, or from the
    // current directory when settingsDirectory is empty.
    explicit DirectoryServer(const ServerPorts& ports = ServerPorts{},
                             const std::string& settingsDirectory = std::string{});
    ~DirectoryServer();
    DirectoryServer(const DirectoryServer&) = delete;
    DirectoryServer& operator=(const DirectoryServer&) = delete;

    // One service iteration: the slow-iteration check, one datagram from the
    // update port, one from the ping port and, while the server is not busy,
    // the zone time-outs and re-pings, one sweep ping and the statistics timer.
    void iterate();

    // Writes the statistics file once more than StatsWriteMinutes passed since
    // the last time the timer fired (unless StatsFile is empty); the timer is
    // reset either way.
    void runStatsTimer();

    // Replaces StatsFile with one tab-separated line per zone. The lines go to
    // a temporary file beside it that is renamed over it once complete, so a
    // reader sees either the old file or the new one, never a missing or half
    // written file. Any failure leaves the old file and prints nothing more.
    void writeStats();

    // The zone datagram operations, acting on this server's endpoints,
    // passwords and zone list.
    void handleUpdate(const Datagram& datagram);
    void handlePingReply(const Datagram& datagram);
    void sendPing(uint32_t address, uint16_t port);
    void sendZoneCount(uint32_t address, uint16_t port, uint32_t echo);
    bool checkZonePassword(std::string_view name, std::string_view password);

    // The service's state, public so that the list handlers (through
    // theServer) and tests can reach it. Declaration order is construction
    // order; do not reorder.
    ZonePasswords passwords;
    // The download and client connection managers take their places here,
    // after the passwords and before the endpoints, when directory
    // synchronization joins the service.
    UdpEndpoint updateEndpoint;
    UdpEndpoint pingEndpoint;
    uint32_t lastSweepTick = 0;      // tick of the last sweep ping
    uint32_t lastIterationTick = 0;  // start of the previous iteration; 0 before the first
    bool busy = false;               // transfers in progress: zone upkeep waits
    uint32_t lastDownloadTick = 0;   // last iteration that saw a download connection
    int32_t peerIndex = 0;           // the peer to download from next
    uint32_t lastStatsTick = 0;      // when the statistics timer last fired
    ZoneList zoneList;

private:
    void checkSlowIteration();
    void receiveUpdate();
    void receivePingReply();
    void runZoneTimeouts();
    void runSweep();
};

// The process's one server, set by the entry point right after construction;
// the transport's list handlers, which receive nothing but a message, reach
// the zone list through it. Null before that.
extern DirectoryServer* theServer;

}  // namespace kelvaro
