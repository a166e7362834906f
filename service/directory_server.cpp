#include "service/directory_server.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

#include "platform/random_source.h"
#include "platform/tick_clock.h"
#include "service/raw_file.h"
#include "service/server_list.h"
#include "service/server_settings.h"
#include "service/tab_separated.h"
#include "service/version.h"
#include "util/bytes.h"
#include "zones/sweep_pace.h"
#include "zones/zone_datagrams.h"
#include "zones/zone_key.h"

namespace kelvaro {

namespace {

// Large enough for the longest line: 45 (an IPv6 address) + 5 + 5 + 1 + 31 +
// 255 characters, five tabs and the line end (349).
constexpr size_t kStatsLineSize = 520;
// The statistics file stays readable by its owner only, as it is created.
constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;  // 0600

// Settings hold signed values; every interval test compares them unsigned, so
// a negative setting is a huge interval that never passes.
uint32_t asInterval(int32_t setting) { return static_cast<uint32_t>(setting); }

template <size_t N>
int fieldLength(const char (&field)[N]) {
    return static_cast<int>(boundedLength(field, N));
}

// Formats one statistics line; returns its length (without the NUL). A tab
// or line end in the name or description becomes a space, so that a zone
// cannot write a line of its own.
size_t formatStatsLine(const ZoneRecord& zone, char (&line)[kStatsLineSize]) {
    const std::string address = zone.address.text();
    const std::string name =
        tabSeparatedField(std::string_view(zone.name, static_cast<size_t>(fieldLength(zone.name))));
    const std::string description = tabSeparatedField(
        std::string_view(zone.description, static_cast<size_t>(fieldLength(zone.description))));
    const int length = std::snprintf(line, sizeof line, "%s\t%i\t%i\t%i\t%s\t%s\r\n", address.c_str(),
                                     static_cast<int>(zone.port), static_cast<int>(zone.population),
                                     static_cast<int>(zone.zoneFlag), name.c_str(),
                                     description.c_str());
    if (length < 0) return 0;
    return minUnsigned(static_cast<uint32_t>(length), kStatsLineSize - 1);
}

}  // namespace

// The low 16 bits of MaxHosts are the limit.
DirectoryServer::DirectoryServer(const ServerSettings& settings, const ServerPorts& ports)
    : settings_(settings),
      passwords(settings.zones()),
      downloadManager([this](ReceivedMessage& message) { onListData(message); },
                      settings.transport()),
      clientManager(static_cast<uint16_t>(settings.MaxHosts), ports.client, ListResponder(*this),
                    settings.transport()),
      peerPort(ports.peer),
      zoneList(settings.zones()) {
    std::vector<std::string> peerNames;
    for (const PeerEntry& entry : settings_.peers) peerNames.push_back(entry.text);
    peerTable = PeerTable(peerNames, settings_.peerAddresses,
                          std::clamp(settings_.peerCount, 0, kMaxPeers));
    updateEndpoint.open(ports.update);
    pingEndpoint.open(0);
    if (settings.ListenIPv6) {
        // The same update port on IPv6; pings to IPv6 zones leave from an
        // ephemeral port of their own, as IPv4 pings do.
        updateEndpoint.openV6(updatePort());
        pingEndpoint.openV6(0);
    }
    // Each step's datagrams leave together at its end (flushSends), with one
    // system call for up to 64 of them instead of one each.
    pingEndpoint.queueSends();
    clientManager.endpoint.queueSends();
    downloadManager.endpoint.queueSends();
    if (settings.zones().VerifiedZones) {
        startVerifying();
        secretMissing = !tokens;
    }
    if (!settings_.BanFile.empty()) {
        loadBans();
        std::printf("Settings: ban file %s: %zu ranges in force\n", settings_.BanFile.c_str(),
                    bans.rangeCount());
    }
    const uint32_t now = tickCount();
    lastSweepTick = now;
    lastStatsTick = now;
}

// The secret and the first round number come from the kernel, so neither the
// tokens nor the round count can be worked out outside.
void DirectoryServer::startVerifying() {
    std::array<uint8_t, sizeof(HashKey) + sizeof(uint32_t)> seed{};
    std::string reason;
    if (!fillRandom(seed, reason)) {
        std::printf("---No secret for the ping tokens: %s\n", reason.c_str());
        return;
    }
    HashKey key{};
    std::copy_n(seed.begin(), key.size(), key.begin());
    tokens = std::make_unique<PingTokens>(key, readU32(seed.data(), key.size()));
    pending = std::make_unique<PendingZones>(settings_.zones(), settings_.zones().MaxPendingZones);
}

bool DirectoryServer::endpointsOpen() const {
    // An IPv6 side asked for and not bound is a family advertised that does
    // not work: better to stop and say so.
    const bool sixOpen = !settings_.ListenIPv6 || (updateEndpoint.localPortV6() != 0 &&
                                                   pingEndpoint.localPortV6() != 0);
    return updatePort() != 0 && pingPort() != 0 && clientPort() != 0 && downloadPort() != 0 &&
           sixOpen && !secretMissing;
}

// Every connection goes first, clients before downloads, and nothing is sent
// to their peers. The members then go in reverse declaration order: zones,
// ping endpoint, update endpoint, client manager, download manager, passwords.
DirectoryServer::~DirectoryServer() {
    if (state) state->stop();
    writeMetrics();
    clientManager.removeAll();
    downloadManager.removeAll();
}


// The ping port's queue is flushed after each step that can send on it, so a
// count reply or a first ping leaves before the next step's receiving begins;
// the connection managers flush their own. The last flush also takes
// whatever a step outside this list queued, so nothing waits for the next
// iteration.
void DirectoryServer::iterate(uint32_t readablePorts) {
    readable = readablePorts != 0 ? readablePorts : kAllPorts;
    const std::array<uint64_t, 4> takenBefore = {counters.updateDatagrams, counters.pingDatagrams,
                                                 counters.clientDatagrams, counters.downloadDatagrams};
    checkSlowIteration();
    pollTransport();
    trackDeliveries();
    pingEndpoint.flush();
    if ((readable & (kUpdatePortBit | kUpdate6PortBit)) != 0) receiveUpdate();
    pingEndpoint.flush();
    if ((readable & (kPingPortBit | kPing6PortBit)) != 0) receivePingReply();
    pingEndpoint.flush();
    const std::array<uint64_t, 4> takenAfter = {counters.updateDatagrams, counters.pingDatagrams,
                                                counters.clientDatagrams, counters.downloadDatagrams};
    uint64_t busiest = 0;
    for (size_t port = 0; port < takenBefore.size(); ++port)
        busiest = std::max(busiest, takenAfter[port] - takenBefore[port]);
    busiestBatch = static_cast<uint32_t>(busiest);
    scheduleDownloads();
    zoneList.expireDrops();
    history_.iterate(zoneList, static_cast<int64_t>(std::time(nullptr)));
    if (state) state->iterate();
    if (upkeepDue()) {
        runZoneTimeouts();
        runSweep();
        runRestorePings();
        runStatsTimer();
    }
    flushSends();
}

uint32_t DirectoryServer::nextGatherUs(uint32_t longest) {
    if (!trafficDense() || longest == 0) {
        gatherUs = 0;
        return 0;
    }
    if (gatherUs == 0) return gatherUs = longest;
    const uint64_t target = std::max<uint32_t>(2, datagramsPerIteration() * 3 / 4);
    const uint64_t scaled = uint64_t{gatherUs} * target / std::max<uint32_t>(busiestBatch, 1);
    const uint64_t shortest = std::max<uint32_t>(longest / 8, 1);
    gatherUs = static_cast<uint32_t>(std::clamp<uint64_t>((gatherUs + scaled) / 2, shortest, longest));
    return gatherUs;
}

void DirectoryServer::flushSends() {
    pingEndpoint.flush();
    clientManager.endpoint.flush();
    downloadManager.endpoint.flush();
}

// The measured time runs from the start of the previous iteration, so it
// includes that iteration's work and the sleep after it. A slow server has not
// been listening for replies, so no zone is charged with the pings it missed.
void DirectoryServer::checkSlowIteration() {
    if (lastIterationTick != 0) {
        const uint32_t elapsed = elapsedMs(tickCount(), lastIterationTick);
        if (elapsed > asInterval(settings_.SlowIteration)) {
            std::printf("Slow iteration warning: %i ms\n", static_cast<int>(elapsed));
            ++counters.slowIterations;
            zoneList.clearAwaiting();
        }
    }
    lastIterationTick = tickCount();
}

void DirectoryServer::pollTransport() {
    // A manager not read from still ticks its connections. One that stopped
    // taking at a closing connection may hold datagrams its socket no longer
    // shows to a wait, so those are always taken.
    const uint32_t most = datagramsPerIteration();
    const bool downloads = (readable & kDownloadPortBit) != 0 || downloadManager.endpoint.held() > 0;
    const bool clients = (readable & kClientPortBit) != 0 || clientManager.endpoint.held() > 0;
    counters.downloadDatagrams += downloadManager.poll(downloads ? most : 0);
    counters.clientDatagrams += clientManager.poll(clients ? most : 0);
    reportRefusals();
}

// A delivery ends when its connection holds no packet in transit or waiting:
// the client has acknowledged the whole list. The walk is over the client
// connections (at most MaxHosts) and only while a delivery is being timed; a
// connection freed meanwhile is no longer in the list, so its entry goes
// without being followed.
void DirectoryServer::trackDeliveries() {
    if (deliveries.empty()) return;
    const uint32_t now = tickCount();
    for (Delivery& delivery : deliveries) delivery.open = false;
    for (const auto* node = clientManager.connections.head(); node != nullptr; node = node->next) {
        const Connection* connection = node->element.get();
        for (Delivery& delivery : deliveries) {
            if (delivery.connection != connection) continue;
            if (connection->inTransit.count() == 0 && connection->waiting.count() == 0)
                deliverySeconds.observe(elapsedMs(now, delivery.startTick) / 1000.0);
            else
                delivery.open = !connection->isClosed();
            break;
        }
    }
    std::erase_if(deliveries, [](const Delivery& delivery) { return !delivery.open; });
}

// A client retries its key request while it is turned away, so refusals come
// in bursts: one line at most per kRefusalReportMs keeps the console readable
// and still says that, and how much, MaxHosts is turning clients away.
void DirectoryServer::reportRefusals() {
    const uint64_t refused = clientManager.refusedCount();
    if (refused == counters.clientsRefused) return;
    const uint64_t unreported = refused - refusalsReported;
    const uint32_t now = tickCount();
    counters.clientsRefused = refused;
    if (refusalLinePrinted && !intervalPassed(now, lastRefusalLineTick, kRefusalReportMs)) return;
    std::printf("---Clients refused at MaxHosts=%d: %llu since the last such line\n",
                static_cast<int>(clientManager.maxHosts), static_cast<unsigned long long>(unreported));
    refusalsReported = refused;
    lastRefusalLineTick = now;
    refusalLinePrinted = true;
}

uint32_t DirectoryServer::datagramsPerIteration() const {
    return static_cast<uint32_t>(
        std::clamp(settings_.DatagramsPerIteration, 1, kMaxDatagramsPerIteration));
}

// A download connection that has closed but is not yet freed still counts, so
// a new download waits for the walk that frees the old one. The interval runs
// from the last iteration that saw a download connection, not from its start.
void DirectoryServer::scheduleDownloads() {
    if (downloadManager.connectionCount() != 0) {
        lastDownloadTick = tickCount();
        becomeBusy();
        return;
    }
    if (downloadPending) {  // gone without a list
        ++counters.peer(downloadPeer).failed;
        peerTable.failed(downloadPeerEntry, static_cast<int64_t>(std::time(nullptr)));
        std::printf("---Download failed: %s\n", NetAddress(downloadPeer, 0).text().c_str());
    }
    downloadPending = false;
    if (intervalPassed(tickCount(), lastDownloadTick, asInterval(settings_.DownloadTime))) {
        startDownload();  // busy stays as it is until the next iteration sees the connection
    } else if (clientManager.connectionCount() == 0) {
        busy = false;
    } else {
        becomeBusy();
    }
}

// Without a hold limit the upkeep may wait for as long as the transfers last,
// and replies to pings sent before they began may never be read in time, so
// no zone is charged with them. With a limit the re-ping and drop clocks only
// stand still for a while and every reply is read meanwhile: forgetting would
// only let clients fetching back to back keep a dead zone listed for ever.
void DirectoryServer::becomeBusy() {
    if (busy) return;
    if (settings_.BusyHoldLimit < 0) zoneList.clearAwaiting();
    busy = true;
    busySinceTick = tickCount();
}

bool DirectoryServer::upkeepDue() {
    if (!busy) return true;
    const int32_t limit = settings_.BusyHoldLimit;
    if (limit < 0) return false;
    if (limit > 0 && !intervalPassed(tickCount(), busySinceTick, asInterval(limit))) return false;
    ++counters.upkeepForced;
    return true;
}

void DirectoryServer::startDownload() {
    std::printf("---Downloading server list\n");
    // The settings always hold at least one peer; the clamp only keeps a
    // hand-edited count inside the array.
    const int32_t peerCount = std::clamp(settings_.peerCount, 1, kMaxPeers);
    if (peerIndex < 0 || peerIndex >= peerCount) peerIndex = 0;
    downloadManager.connect(settings_.peerAddresses[peerIndex], peerPort);
    downloadPeer = settings_.peerAddresses[peerIndex];
    downloadPeerEntry = static_cast<size_t>(peerIndex);
    peerTable.started(downloadPeerEntry, tickCount(), static_cast<int64_t>(std::time(nullptr)));
    downloadPending = true;
    ++counters.peer(downloadPeer).started;
    ++peerIndex;
    if (peerIndex == peerCount) peerIndex = 0;
}

std::unique_ptr<ByteBlock> DirectoryServer::buildServerList(uint32_t minimum) {
    ByteBuffer list;
    list.setLimit(kServerListLimit);
    ZoneList::Node* const head = zoneList.head();
    ZoneList::Node* const start = zoneList.listStart != nullptr ? zoneList.listStart : head;
    int32_t listed = 0;
    ZoneList::Node* const leftOut = appendZonesFrom(list, start, minimum, listed);
    if (leftOut != nullptr) {
        // A full list: the next one starts with the first zone left out, so
        // that successive lists, to clients and peers alike, cover every zone.
        zoneList.listStart = leftOut;
        std::printf("---Server list full: %d of %d zones\n", static_cast<int>(listed),
                    static_cast<int>(zoneList.count()));
        ++counters.listsFull;
    } else if (start != head) {
        // Every zone fits after all: such a list keeps the plain list order.
        list.clear();
        appendZonesFrom(list, head, minimum, listed);
    }
    std::unique_ptr<ByteBlock> block = ByteBlock::copyOf(list.data(), list.size());
    std::printf("---Uploading server list\n");
    return block;
}

// Entries carry no length, so a reader can only trust whole ones: the list
// ends before the first entry that does not fit. The walk wraps at the tail
// and stops on coming back to start, so no zone is listed twice, and it costs
// what the list holds plus the zones the minimum skips.
ZoneList::Node* DirectoryServer::appendZonesFrom(ByteBuffer& list, ZoneList::Node* start,
                                                 uint32_t minimum, int32_t& listed) {
    const uint8_t type = kListMessageType;
    list.append(&type, 1);
    listed = 0;
    if (start == nullptr) return nullptr;
    ZoneList::Node* node = start;
    do {
        const ZoneRecord& zone = *node->element;
        // The list's entries hold a 4-byte address: IPv6 zones are only in
        // the documents that carry text (/zones.json, the statistics file).
        if (!zone.address.isV6() && static_cast<uint32_t>(zone.population) >= minimum) {
            if (!appendZoneEntry(list, zone)) return node;
            ++listed;
        }
        node = node->next != nullptr ? node->next : zoneList.head();
    } while (node != start);
    return nullptr;
}

void ListResponder::operator()(ReceivedMessage& message) {
    if (answered) return;
    answered = true;
    std::unique_ptr<ByteBlock> list =
        server->buildServerList(readListMinimum(message.data, message.length));
    if (list) message.connection->send(list->data.get(), list->length, true);
    if (list) server->countListServed(list->length, message.connection);
    // The connection stays open: the client closes it, or its silence limit does.
}

void DirectoryServer::onListData(ReceivedMessage& message) {
    Connection& connection = *message.connection;
    // One list per download: a second one (say, in the same cluster) would only
    // repeat the merge, the disconnect and the message.
    if (connection.isClosed()) return;
    mergePeerList(message.data, message.length);
    connection.disconnect(true);
    if (downloadPending) {
        PeerDownloads& peer = counters.peer(downloadPeer);
        ++peer.completed;
        peer.lastCompletedUnixTime = static_cast<int64_t>(std::time(nullptr));
        std::vector<ZoneKey> keys;
        forEachZoneEntry(message.data, message.length, [&](const ZoneEntry& entry) {
            keys.push_back(zoneKey(entry.address, entry.port));
        });
        peerTable.completed(downloadPeerEntry, tickCount(), peer.lastCompletedUnixTime,
                            std::move(keys));
    }
    downloadPending = false;
    std::printf("---Download complete\n");
}

void DirectoryServer::receiveUpdate() {
    const uint32_t limit = datagramsPerIteration();
    for (uint32_t taken = 0; taken < limit; ++taken) {
        const Datagram* datagram = updateEndpoint.receive(limit - taken);
        if (datagram == nullptr) return;
        // The batch already holds the next updates: what they will read is
        // loaded while this one is handled. The index slots of a fresh batch
        // all load together, the nodes and records a step or two ahead.
        if (taken == 0)
            for (uint32_t k = 0; k + 1 < limit; ++k) {
                const Datagram* later = updateEndpoint.ahead(k);
                if (later == nullptr) break;
                prefetchForUpdate(*later, zoneList, passwords, 2);
            }
        for (uint32_t distance = 0; distance < 2 && taken + 1 + distance < limit; ++distance)
            if (const Datagram* later = updateEndpoint.ahead(distance))
                prefetchForUpdate(*later, zoneList, passwords, distance);
        ++counters.updateDatagrams;
        const uint64_t heldBefore = pending ? pending->added : 0;
        countUpdate(handleUpdateDatagram(*datagram, passwords, zoneList, pingEndpoint, gate()));
        // A zone new to the pending table got its first ping.
        if (pending) counters.pingsSent += pending->added - heldBefore;
    }
}

void DirectoryServer::countUpdate(UpdateOutcome outcome) {
    switch (outcome) {
        case UpdateOutcome::Accepted: ++counters.updatesAccepted; break;
        case UpdateOutcome::Malformed: ++counters.updatesMalformed; break;
        case UpdateOutcome::BadPassword: ++counters.updatesBadPassword; break;
        case UpdateOutcome::Limit: ++counters.updatesLimit; break;
        case UpdateOutcome::CountQuery: ++counters.countQueries; break;
        case UpdateOutcome::Pending: ++counters.updatesPending; break;
        case UpdateOutcome::Banned: ++counters.bannedDatagrams; break;
    }
}

void DirectoryServer::receivePingReply() {
    const uint32_t limit = datagramsPerIteration();
    for (uint32_t taken = 0; taken < limit; ++taken) {
        const Datagram* datagram = pingEndpoint.receive(limit - taken);
        if (datagram == nullptr) return;
        ++counters.pingDatagrams;
        const std::optional<PingOutcome> outcome =
            handlePingDatagram(*datagram, zoneList, passwords, gate());
        if (outcome == PingOutcome::Matched || outcome == PingOutcome::Listed)
            ++counters.pingReplies;
        if (outcome == PingOutcome::Mismatch) ++counters.pingRepliesMismatched;
        if (outcome == PingOutcome::Listed) ++counters.zonesVerified;
        if (outcome == PingOutcome::Refused) ++counters.zonesRefusedAtListing;
    }
}

// Only the zones awaiting a reply are visited, in list order, so the pass
// costs what is outstanding rather than what is listed.
void DirectoryServer::runZoneTimeouts() {
    zoneList.forEachAwaiting([this](ZoneRecord* zone) {
        if (zone->dropDue(zoneList.settings().DropLimit)) {
            std::printf("Timeout : %.*s\n", fieldLength(zone->name), zone->name);
            zoneList.drop(zone);
            ++counters.zonesDropped;
        } else if (zone->retryDue()) {
            sendPing(*zone);
        }
    });
    if (pending) pending->runRetries([this](PendingZone& entry) { sendPing(entry.zone); });
}

// One sweep per SweepTime, pinging sweepPingsPerSweep zones (one unless
// SweepCycle is set) in list order from the cursor. A zone that still awaits a
// reply is passed over and sends nothing; the pings it leaves owing go on in
// the next iteration, at once, as a single sweep ping always has. No iteration
// looks at more zones than the sweep still owes, so a sweep costs what it
// pings, not what is listed, even when most zones await a reply. Nor does an
// iteration send more sweep pings than it reads datagrams from the ping port
// (DatagramsPerIteration): a burst of replies larger than that would only
// queue, and past the socket's buffer be lost and charged to live zones.
// lastSweepTick is the tick of the sweep's first ping, so a sweep spread over
// several iterations does not push the next one back.
void DirectoryServer::runSweep() {
    if (sweepOwed == 0) {
        if (!intervalPassed(tickCount(), lastSweepTick, zoneList.settings().SweepTime)) return;
        sweepOwed = sweepPingsPerSweep(static_cast<uint32_t>(zoneList.count()), zoneList.settings());
        sweepBegun = false;
    }
    const uint32_t burst = datagramsPerIteration();
    uint32_t sent = 0;
    for (uint32_t looks = sweepOwed; looks > 0 && sweepOwed > 0 && sent < burst; --looks) {
        ZoneRecord* zone = zoneList.nextForSweep();
        if (zone == nullptr) {
            sweepOwed = 0;  // an empty list: lastSweepTick keeps its value
            return;
        }
        if (zone->awaitingReply) continue;
        if (!sweepBegun) lastSweepTick = tickCount();
        sweepBegun = true;
        startRound(*zone);
        sendPing(*zone);
        --sweepOwed;
        ++sent;
    }
}

void DirectoryServer::runStatsTimer() {
    if (!intervalPassed(tickCount(), lastStatsTick, asInterval(settings_.StatsWriteMinutes)))
        return;
    if (!settings_.StatsFile.empty()) writeStats();
    writeMetrics();
    lastStatsTick = tickCount();
}

void DirectoryServer::writeStats() {
    std::printf("---Writing stats\n");
    FileReplacement file(settings_.StatsFile);
    char line[kStatsLineSize];
    for (ZoneList::Node* node = zoneList.head(); node != nullptr; node = node->next)
        if (!file.write(line, formatStatsLine(*node->element, line))) break;
    std::string reason;
    // The operator has to learn why no file appears; the old one stays as it was.
    if (!file.commit(kOwnerOnly, reason))
        std::printf("---Stats write failed: %s: %s\n", settings_.StatsFile.c_str(), reason.c_str());
}

MetricsGauges DirectoryServer::gauges() const {
    const int64_t cycleMs =
        sweepCycleMs(static_cast<uint32_t>(zoneList.count()), zoneList.settings());
    MetricsGauges values{zoneList.count(), passwords.count(), clientManager.connectionCount(),
                         downloadManager.connectionCount(),
                         cycleMs < 0 ? HUGE_VAL : static_cast<double>(cycleMs) / 1000.0};
    if (pending) {
        values.pendingZones = pending->count();
    }
    values.banRanges = static_cast<int64_t>(bans.rangeCount());
    if (settings_.ListenIPv6) values.zonesV6 = zoneList.countV6();
    values.restoresOwed = static_cast<int64_t>(restoresOwed());
    return values;
}

void DirectoryServer::writeMetrics() {
    if (settings_.MetricsFile.empty()) return;
    std::string reason;
    if (!replaceFile(settings_.MetricsFile, metricsText(), reason))
        std::printf("---Metrics write failed: %s: %s\n", settings_.MetricsFile.c_str(),
                    reason.c_str());
}

std::string DirectoryServer::metricsText() const {
    MetricsCounters values = counters;
    values.clientsEvicted = clientManager.evictedCount();
    if (pending) {  // the pending table counts these two itself
        values.pendingForgotten = pending->forgotten;
        values.pendingEvicted = pending->evicted;
    }
    if (state) {  // and the state file's writer, on its own thread, these
        const StateWriterStatus writer = state->store().status();
        values.stateWrites = writer.writes;
        values.stateWriteFailures = writer.failures;
        values.stateRowsWritten = writer.rowsWritten;
    }
    std::string text = formatMetrics(values, gauges());
    appendPeerMetrics(text, peerTable, zoneList, tickCount(), asInterval(settings_.DownloadTime));
    appendHistogram(text, "kelvaro_list_delivery_seconds",
                    "Seconds from a list request answered to the whole list acknowledged.",
                    deliverySeconds);
    appendBuildInfo(text, kBuildNumber);
    return text;
}

void DirectoryServer::countListServed(uint32_t bytes, const Connection* connection) {
    if (connection != nullptr) deliveries.push_back({connection, tickCount(), true});
    ++counters.listsServed;
    counters.listBytes += bytes;
}

void DirectoryServer::sendPing(const ZoneRecord& zone) {
    ++counters.pingsSent;
    sendZonePing(pingEndpoint, zone, tokens.get());
}

// A sweep ping opens a round: with tokens, only this ping and its re-pings
// can be answered from now on.
void DirectoryServer::startRound(ZoneRecord& zone) {
    zone.startSweepPing();
    if (tokens) zone.pingRound = tokens->nextRound();
}

ZoneGate DirectoryServer::gate() {
    ZoneGate view;
    view.pending = pending.get();
    view.tokens = tokens.get();
    if (!bans.empty()) view.bans = &bans;
    view.banReports = &banReports;
    return view;
}

Admission DirectoryServer::learnZone(const IpAddress& address, uint16_t port, uint16_t population,
                                     uint16_t zoneFlag, uint32_t zoneWord, std::string_view name,
                                     std::string_view description, ZoneSource source,
                                     std::string_view password) {
    const Admission admission = admitLearned(address, port, population, zoneFlag, zoneWord, name,
                                             description, source, password);
    pingEndpoint.flush();  // a caller outside an iteration expects the ping gone
    return admission;
}

Admission DirectoryServer::admitLearned(const IpAddress& address, uint16_t port, uint16_t population,
                                        uint16_t zoneFlag, uint32_t zoneWord,
                                        std::string_view name, std::string_view description,
                                        ZoneSource source, std::string_view password) {
    const uint64_t heldBefore = pending ? pending->added : 0;
    const Admission admission = admitZone(gate(), zoneList, pingEndpoint, address, port,
                                          population, zoneFlag, zoneWord, name, description,
                                          password, source);
    if (pending) counters.pingsSent += pending->added - heldBefore;
    return admission;
}

// Every entry goes through the gate as a zone from a peer: a banned address
// is skipped, and with VerifiedZones an unknown zone waits for its proof.
void DirectoryServer::mergePeerList(const uint8_t* message, uint32_t length) {
    forEachZoneEntry(message, length, [this](const ZoneEntry& entry) {
        const Admission admission =
            admitLearned(entry.address, entry.port, entry.population, entry.zoneFlag, entry.zoneWord,
                      entry.name, entry.description, ZoneSource::Peer);
        if (admission == Admission::Banned) ++counters.bannedPeerZones;
        if (admission == Admission::RejoinRefused) ++counters.rejoinsRefused;
    });
}

void DirectoryServer::loadBans() {
    if (!settings_.BanFile.empty()) loadBanFile(settings_.BanFile, bans);
    removeBannedZones();
}

// Walks every zone once: a reload is rare, and the lookups stay cheap.
void DirectoryServer::removeBannedZones() {
    if (bans.empty()) return;
    for (ZoneList::Node* node = zoneList.head(); node != nullptr;) {
        ZoneList::Node* next = node->next;
        ZoneRecord* zone = node->element.get();
        if (bans.contains(zone->address)) {
            std::printf("---Removed banned zone: %s: %.*s\n",
                        zone->address.text().c_str(), fieldLength(zone->name),
                        zone->name);
            zoneList.remove(zone);
            ++counters.bannedZonesRemoved;
        }
        node = next;
    }
    if (pending)
        counters.bannedZonesRemoved += pending->removeIf(
            [this](const PendingZone& entry) { return bans.contains(entry.zone.address); });
}

void DirectoryServer::applySettings(const ServerSettings& next) {
    const bool verifiedBefore = settings_.zones().VerifiedZones;
    // A ban file taken away bans nobody; reload() reads a new one.
    if (next.BanFile.empty()) bans = BanList{};
    settings_ = next;
    const ZoneSettings zoneValues = settings_.zones();
    clientManager.maxHosts = static_cast<uint16_t>(settings_.MaxHosts);
    clientManager.setSettings(settings_.transport());
    downloadManager.setSettings(settings_.transport());
    passwords.setLimits(zoneValues);
    zoneList.setSettings(zoneValues);
    if (zoneValues.VerifiedZones && !verifiedBefore) {
        startVerifying();
        if (!tokens) settings_.VerifiedZones = 0;
    } else if (!zoneValues.VerifiedZones && verifiedBefore) {
        pending.reset();
        tokens.reset();
    }
    if (pending) pending->setSettings(settings_.zones(), settings_.zones().MaxPendingZones);
    // The rotation restarts when the peer it was at is no longer in the list.
    if (peerIndex >= settings_.peerCount) peerIndex = 0;
}

void DirectoryServer::reload() {
    if (settings_.BanFile.empty()) {
        std::printf("---Reload: nothing to re-read\n");
        return;
    }
    loadBans();
    std::printf("---Reload: ban file %s: %zu ranges in force\n", settings_.BanFile.c_str(),
                bans.rangeCount());
}

}  // namespace kelvaro
