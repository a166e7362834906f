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
// at most DatagramsPerIteration datagrams (one by default).
//
// A download whose connection goes without bringing a list prints
// "---Download failed: <peer address>" in the iteration that finds it gone.

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/ban_list.h"
#include "net/report_throttle.h"
#include "net/udp_endpoint.h"
#include "service/history_keeper.h"
#include "service/metrics.h"
#include "service/peer_health.h"
#include "service/server_settings.h"
#include "service/state_keeper.h"
#include "transport/connection.h"
#include "transport/connection_manager.h"
#include "zones/pending_zones.h"
#include "zones/ping_tokens.h"
#include "zones/zone_admission.h"
#include "zones/zone_datagrams.h"
#include "zones/zone_list.h"
#include "zones/zone_passwords.h"

namespace kelvaro {

constexpr uint16_t kUpdatePort = 4991;
constexpr uint16_t kClientPort = 4990;
// Refusals for MaxHosts are printed at most once per this interval.
constexpr uint32_t kRefusalReportMs = 60000;

// Where the server listens, and the port of its peers. The service binary
// always uses the defaults; tests pass 0 to get ephemeral ports and run beside
// anything else, and point downloads at a peer of their own.
struct ServerPorts {
    uint16_t update = kUpdatePort;
    uint16_t client = kClientPort;  // game clients and peers downloading our list
    uint16_t peer = kClientPort;    // the client port of every peer in the Directory IP list
};

class DirectoryServer;

// The handler of list requests (application message type 1) on one client
// connection: the first request is answered with the zones whose population
// reaches its minimum; later ones are ignored. Every connection the client
// manager admits gets its own copy, so the "answered" flag is per connection.
class ListResponder {
public:
    explicit ListResponder(DirectoryServer& owner) : server(&owner) {}
    void operator()(ReceivedMessage& message);
    bool listSent() const { return answered; }

private:
    DirectoryServer* server;  // outlives every connection of its managers
    bool answered = false;
};

class DirectoryServer {
public:
    // Builds everything from settings (read from kelvaro.ini by the caller,
    // peer list resolved) and opens the endpoints; a socket or bind failure
    // is printed with its reason and leaves that endpoint closed (see
    // endpointsOpen()).
    explicit DirectoryServer(const ServerSettings& settings,
                             const ServerPorts& ports = ServerPorts{});
    ~DirectoryServer();
    DirectoryServer(const DirectoryServer&) = delete;
    DirectoryServer& operator=(const DirectoryServer&) = delete;

    // One service iteration: the slow-iteration check, one poll of each
    // connection manager, up to DatagramsPerIteration datagrams from the
    // update port, as many from the ping port, the download schedule and the
    // zone upkeep: the time-outs and re-pings, the sweep and the statistics
    // timer. The upkeep waits while the server is busy (transfers in
    // progress), but no longer than BusyHoldLimit of one busy spell: after
    // that it runs in every iteration until the server is idle again. With a
    // negative BusyHoldLimit it waits as long as the spell lasts, and becoming
    // busy forgets every outstanding ping; with a limit in force it forgets
    // none, since replies are read in every iteration, busy or not, and a zone
    // is only charged for a ping once upkeep runs and its time to answer has
    // passed.
    //
    // readablePorts has bit i set for descriptors()[i] when the caller has
    // just seen that socket readable; a port whose bit is clear is not read
    // in this iteration (the datagrams that came since wait for the next),
    // which spares an idle port its empty read. 0 means unknown: every port
    // is read.
    void iterate(uint32_t readablePorts = 0);

    // Whether the last iteration met traffic arriving faster than one wake per
    // datagram: some port yielded two or more, but fewer than
    // DatagramsPerIteration (after a full batch more is already waiting, and
    // the next pause returns at once anyway). The service loop then lets the
    // next pause gather a batch (nextGatherUs) instead of waking for the one
    // or two datagrams that come first, which is what costs a busy directory
    // its CPU.
    bool trafficDense() const { return busiestBatch >= 2 && busiestBatch < datagramsPerIteration(); }
    // How long the next pause should gather, in microseconds, at most
    // longest: 0 unless traffic is dense. The first gather of a dense spell
    // takes longest; each later one is the last scaled by how far its batch
    // fell short of, or went past, three quarters of DatagramsPerIteration
    // (halfway, so that it settles), never below an eighth of longest. So a
    // batch costs about the same whatever the rate, and a faster sender
    // waits less.
    uint32_t nextGatherUs(uint32_t longest);

    // The server list of the zones whose population is at least minimum, as
    // whole entries in at most 50000 bytes. When they all fit, the list holds
    // them in list order. When they do not, the list is full: it starts where
    // the previous full list stopped (the first zone that list left out),
    // wraps round the zone list and ends before the first entry that does not
    // fit; "---Server list full: <listed> of <zones> zones" is printed. Then
    // prints "---Uploading server list". Null only when the block cannot be
    // made.
    std::unique_ptr<ByteBlock> buildServerList(uint32_t minimum);

    // Application message type 1 on a download connection: a peer's server
    // list. Its whole entries are merged into the zone list, the connection is
    // closed with two disconnect packets and "---Download complete" is
    // printed. A list reaching a connection that is already closed is ignored.
    void onListData(ReceivedMessage& message);

    // Counts one server list of that many bytes handed to a client connection,
    // and starts timing its delivery: it ends when the client has
    // acknowledged every packet of it (see listDeliverySeconds()).
    void countListServed(uint32_t bytes, const Connection* connection = nullptr);

    // Replaces StatsFile with one tab-separated line per zone. The lines go to
    // a temporary file beside it that is renamed over it once complete, so a
    // reader sees either the old file or the new one, never a missing or half
    // written file. Any failure (open, write, close or rename) leaves the old
    // file, removes the temporary one and prints "---Stats write failed:
    // <path>: <reason>".
    void writeStats();

    // False when any of the four endpoints could not be opened, or when
    // VerifiedZones is set and the system's random source gave no secret for
    // the ping tokens: the service binary then stops before it starts serving.
    bool endpointsOpen() const;

    // What SIGHUP asks for: re-reads BanFile (a file that cannot be read
    // leaves the previous list in force), removes the listed and pending
    // zones of banned addresses ("---Removed banned zone: <addr>: <name>"
    // each) and prints one line: "---Reload: ban file <path>: <n> ranges in
    // force", or "---Reload: nothing to re-read" when BanFile is empty (the
    // settings file itself is re-read by the caller, see applySettings()).
    void reload();

    // Puts next in force while running: every part gets the values it runs
    // on, for what it does from now on (connections keep the transport
    // values they were made with; zones keep their ping state). The caller
    // decides which keys may change (see settings_reload.h) and keeps the
    // others as they were: ports, the state file and the HTTP listener stay
    // as opened. Turning VerifiedZones on draws a new secret (without one it
    // stays off, with the "---No secret" line); turning it off forgets the
    // zones still waiting to prove their address. Prints nothing else.
    void applySettings(const ServerSettings& next);

    // A zone learned from elsewhere than its own update or a peer's list (a
    // store of a previous run, say): banned addresses are skipped, and with
    // VerifiedZones it waits, pinged now, until it proves its address; its
    // name is then checked against password (source Update only).
    Admission learnZone(const IpAddress& address, uint16_t port, uint16_t population, uint16_t zoneFlag,
                        uint32_t zoneWord, std::string_view name, std::string_view description,
                        ZoneSource source, std::string_view password = {});

    // With StateFile set: opens the state file and puts back what it holds,
    // printing the outcome (before the banner, as part of the start-up
    // report). The names keep their passwords; the zones are listed at once
    // (with VerifiedZones they wait to prove their address again) and are
    // pinged promptly, DatagramsPerIteration per iteration, so a silent one
    // is dropped by the usual rule. A file that cannot be opened or written
    // leaves the server serving from memory, with a "Warning:" line; a
    // damaged one is renamed aside and a new one started. From then on the
    // changes are written about once a second, and at stop. Call it once.
    void openState();
    // The zones put back from the state file that still wait for their
    // first ping (or, with VerifiedZones, to be taken up).
    size_t restoresOwed() const;
    const StateKeeper* stateKeeper() const { return state.get(); }
    // The population history (HistoryInterval): in the state file when it is
    // open, in memory otherwise. Borrowed by the web front to answer.
    const HistoryKeeper& history() const { return history_; }
    HistoryKeeper& history() { return history_; }
    ZonePasswords& zonePasswords() { return passwords; }

    // Replaces MetricsFile (when set) with the counters and the current
    // gauges. Runs on the statistics timer, whether or not StatsFile is set,
    // and once more from the destructor, so the file holds the final counts
    // when the server stops. A failure prints "---Metrics write failed:
    // <path>: <reason>" and leaves the old file.
    void writeMetrics();

    // The metrics file's text for the counters and gauges as they are now,
    // with the per-peer gauges, the list delivery histogram and build_info.
    std::string metricsText() const;

    // Each configured peer and how its downloads went (peer_health.h).
    const PeerTable& peers() const { return peerTable; }
    // Seconds from a list request answered to its last packet acknowledged.
    // A delivery whose connection goes before that is not counted.
    const Histogram& listDeliverySeconds() const { return deliverySeconds; }

    // Read-only views for tests and tools.
    struct Timers {
        uint32_t lastSweepTick;      // tick of the last sweep ping
        uint32_t lastIterationTick;  // start of the previous iteration; 0 before the first
        uint32_t lastDownloadTick;   // last iteration that saw a download connection
        uint32_t lastStatsTick;      // when the statistics timer last fired
        uint32_t busySinceTick;      // when the current (or last) busy spell began
    };
    Timers timers() const {
        return {lastSweepTick, lastIterationTick, lastDownloadTick, lastStatsTick, busySinceTick};
    }
    bool isBusy() const { return busy; }
    const MetricsCounters& metrics() const { return counters; }
    // The gauges as they are now (metricsText() adds the pending table's
    // counts to metrics() for the file).
    MetricsGauges gauges() const;
    int32_t nextPeerIndex() const { return peerIndex; }
    const ServerSettings& settings() const { return settings_; }
    // The bound local ports (0 for an endpoint that could not be bound).
    uint16_t updatePort() const { return updateEndpoint.localPort(); }
    uint16_t pingPort() const { return pingEndpoint.localPort(); }
    uint16_t clientPort() const { return clientManager.endpoint.localPort(); }
    uint16_t downloadPort() const { return downloadManager.endpoint.localPort(); }
    // The sockets a pause may wait on for traffic (-1 for one not bound).
    std::array<int, 6> descriptors() const {
        return {updateEndpoint.descriptor(),         pingEndpoint.descriptor(),
                clientManager.endpoint.descriptor(), downloadManager.endpoint.descriptor(),
                updateEndpoint.descriptorV6(),       pingEndpoint.descriptorV6()};
    }
    uint16_t updatePortV6() const { return updateEndpoint.localPortV6(); }
    uint16_t pingPortV6() const { return pingEndpoint.localPortV6(); }
    const ConnectionManager& downloads() const { return downloadManager; }
    const ConnectionManager& clients() const { return clientManager; }
    // The zones, for tests and benchmarks that place them directly.
    ZoneList& zones() { return zoneList; }
    const ZoneList& zones() const { return zoneList; }
    // The zones waiting to prove their address; null without VerifiedZones.
    const PendingZones* pendingZones() const { return pending.get(); }
    const BanList& banList() const { return bans; }

private:
    void checkSlowIteration();
    void pollTransport();
    void trackDeliveries();
    // Prints "---Clients refused at MaxHosts=<n>: <count> since the last such
    // line" for refusals not yet printed, at most once per kRefusalReportMs;
    // the first refusal is printed at once.
    void reportRefusals();
    uint32_t datagramsPerIteration() const;
    void receiveUpdate();
    void receivePingReply();
    void countUpdate(UpdateOutcome outcome);
    void scheduleDownloads();
    bool upkeepDue();
    void runZoneTimeouts();
    void runSweep();
    void runStatsTimer();
    void runRestorePings();
    void flushSends();
    // learnZone without the flush: for callers that learn many zones in one
    // step and flush at its end.
    Admission admitLearned(const IpAddress& address, uint16_t port, uint16_t population,
                           uint16_t zoneFlag, uint32_t zoneWord, std::string_view name,
                           std::string_view description, ZoneSource source,
                           std::string_view password = {});
    // Bits of iterate()'s readablePorts, in descriptors() order.
    static constexpr uint32_t kUpdatePortBit = 1u << 0;
    static constexpr uint32_t kPingPortBit = 1u << 1;
    static constexpr uint32_t kClientPortBit = 1u << 2;
    static constexpr uint32_t kDownloadPortBit = 1u << 3;
    static constexpr uint32_t kUpdate6PortBit = 1u << 4;
    static constexpr uint32_t kPing6PortBit = 1u << 5;
    static constexpr uint32_t kAllPorts = 0x3F;
    uint32_t readable = kAllPorts;  // this iteration's ports to read
    void forgetUnprovenRestores();
    void restoreZones(std::vector<StoredZone>& zones, uint32_t& listed, uint32_t& refused);
    void becomeBusy();
    // Makes the token secret and the pending table; leaves both null, with
    // the reason printed, when the random source gives no secret.
    void startVerifying();
    void startDownload();
    void sendPing(const ZoneRecord& zone);
    void startRound(ZoneRecord& zone);
    ZoneGate gate();
    void loadBans();
    void removeBannedZones();
    void mergePeerList(const uint8_t* message, uint32_t length);
    // Starts list with its type byte, then appends the entries of the zones
    // from start on that reach minimum; returns the first zone that did not
    // fit, or nullptr when all did. listed counts the entries appended.
    ZoneList::Node* appendZonesFrom(ByteBuffer& list, ZoneList::Node* start, uint32_t minimum,
                                    int32_t& listed);

    // Declaration order is construction order; do not reorder. C++ destroys
    // in reverse, which is the teardown order the service needs.
    ServerSettings settings_;
    ZonePasswords passwords;
    ConnectionManager downloadManager;  // client mode: our downloads from peers
    ConnectionManager clientManager;    // listening on the client port, at most MaxHosts
    UdpEndpoint updateEndpoint;
    UdpEndpoint pingEndpoint;
    uint32_t lastSweepTick = 0;
    uint32_t lastIterationTick = 0;
    uint32_t busiestBatch = 0;  // datagrams the busiest port yielded last iteration
    uint32_t gatherUs = 0;      // the gather nextGatherUs gave last; 0 outside a dense spell
    bool busy = false;  // transfers in progress: zone upkeep waits
    uint32_t busySinceTick = 0;  // the iteration that made busy true
    uint32_t sweepOwed = 0;      // pings the current sweep has still to send
    bool sweepBegun = false;     // the current sweep has sent its first ping
    uint32_t lastDownloadTick = 0;
    int32_t peerIndex = 0;            // the peer to download from next
    bool downloadPending = false;     // started, and neither brought a list nor gone yet
    uint32_t downloadPeer = 0;        // the address of that download
    size_t downloadPeerEntry = 0;     // its entry in the Directory IP list
    PeerTable peerTable;
    uint16_t peerPort = kClientPort;  // where the peers listen (ServerPorts::peer)
    uint32_t lastStatsTick = 0;
    uint64_t refusalsReported = 0;    // refusals counted in printed lines
    uint32_t lastRefusalLineTick = 0;
    bool refusalLinePrinted = false;
    MetricsCounters counters;
    // Lists handed to client connections whose delivery is still being timed:
    // at most one per connection, so at most MaxHosts.
    struct Delivery {
        const Connection* connection;  // compared only, never followed while freed
        uint32_t startTick;
        bool open;  // still under way at the last walk
    };
    std::vector<Delivery> deliveries;
    Histogram deliverySeconds = durationHistogram();
    // The proof of address (VerifiedZones): the token secret and the zones
    // that have not yet echoed one. Both null when zones are listed at once.
    std::unique_ptr<PingTokens> tokens;
    std::unique_ptr<PendingZones> pending;
    bool secretMissing = false;  // VerifiedZones without a secret: do not serve
    BanList bans;
    ReportThrottle banReports;
    ZoneList zoneList;
    // The state file (StateFile), after the zones: its last write at stop
    // reads them. The zones it brought that are still to be pinged, and,
    // with VerifiedZones, still to be taken up and then checked for proof.
    std::unique_ptr<StateKeeper> state;
    HistoryKeeper history_{settings_.HistoryInterval};  // hands its samples to state, when open
    std::vector<ZoneKey> restorePings;
    size_t restorePingsSent = 0;
    std::vector<StoredZone> restoreQueue;
    size_t restoreQueueTaken = 0;
    struct RestoreCheck {
        ZoneKey key;
        uint32_t takenTick;
    };
    std::deque<RestoreCheck> restoreChecks;
};

}  // namespace kelvaro
