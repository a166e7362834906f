#pragma once
// The one service object of the process. It owns every long-lived object (the
// zone name passwords, the connection managers for peer downloads and for
// clients, the zone-side endpoints, the zone list and the ticks that pace the
// service) and runs one service iteration per iterate() call.
//
// Members are declared in the order they are built; C++ destroys them in the
// reverse order, which is the teardown order the service needs: zones first,
// then the ping and update endpoints, the client and download managers, the
// passwords last. Connections go before all of that, without a packet to
// their peers.
//
// Nothing here blocks: each endpoint is polled once per iteration and yields
// at most one datagram.

#include <cstdint>
#include <string>

#include "net/udp_endpoint.h"
#include "transport/connection.h"
#include "transport/connection_manager.h"
#include "zones/zone_list.h"
#include "zones/zone_passwords.h"

namespace kelvaro {

constexpr uint16_t kUpdatePort = 4991;
constexpr uint16_t kClientPort = 4990;

// Where the server listens, and the port of its peers. The service binary
// always uses the defaults; tests pass 0 to get ephemeral ports and run beside
// anything else, and point downloads at a peer of their own.
struct ServerPorts {
    uint16_t update = kUpdatePort;
    uint16_t client = kClientPort;  // game clients and peers downloading our list
    uint16_t peer = kClientPort;    // the client port of every peer in the Directory IP list
};

// Application message type 1 on a connection accepted on the client port: a
// list request. Only the first one a connection sends is answered, with the
// zones whose population reaches its minimum; later ones are ignored.
void onListRequest(ReceivedMessage& message);

// Application message type 1 on a download connection: a peer's server list.
// Its whole entries are merged into the zone list, the connection is closed
// with two disconnect packets and "---Download complete" is printed. A list
// reaching a connection that is already closed is ignored.
void onListData(ReceivedMessage& message);

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

    // One service iteration: the slow-iteration check, one poll of each
    // connection manager, one datagram from the update port, one from the ping
    // port, the download schedule and, while the server is not busy, the zone
    // time-outs and re-pings, one sweep ping and the statistics timer.
    void iterate();

    // One poll of downloadManager, then of clientManager; the list handlers
    // run inside them.
    void pollTransport();

    // Starts a download from the next peer when none is running and more than
    // DownloadTime has passed since the last iteration that saw one, and
    // decides busy: a download connection or any client connection makes the
    // server busy (forgetting every outstanding zone ping as it turns busy);
    // it turns idle only when neither exists and no download is due.
    void scheduleDownloads();

    // The server list of the zones whose population is at least minimum, in
    // list order, as whole entries while they fit in 50000 bytes: the first
    // zone whose entry does not fit ends the list. Prints "---Uploading server
    // list". Null only when the block cannot be made.
    std::unique_ptr<ByteBlock> buildServerList(uint32_t minimum);

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
    ConnectionManager downloadManager;  // client mode: our downloads from peers
    ConnectionManager clientManager;    // listening on the client port, at most MaxHosts
    UdpEndpoint updateEndpoint;
    UdpEndpoint pingEndpoint;
    uint32_t lastSweepTick = 0;       // tick of the last sweep ping
    uint32_t lastIterationTick = 0;   // start of the previous iteration; 0 before the first
    bool busy = false;                // transfers in progress: zone upkeep waits
    uint32_t lastDownloadTick = 0;    // last iteration that saw a download connection
    int32_t peerIndex = 0;            // the peer to download from next
    uint16_t peerPort = kClientPort;  // where the peers listen (ServerPorts::peer)
    uint32_t lastStatsTick = 0;       // when the statistics timer last fired
    ZoneList zoneList;

private:
    void checkSlowIteration();
    void receiveUpdate();
    void receivePingReply();
    void runZoneTimeouts();
    void runSweep();
    void becomeBusy();
    void startDownload();
};

// The process's one server, set by the entry point right after construction;
// the list handlers, which receive nothing but a message, reach the zone list
// through it. Null before that; the handlers then do nothing.
extern DirectoryServer* theServer;

}  // namespace kelvaro
