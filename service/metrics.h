#pragma once
// The operator's counters and the file a monitoring system reads them from.
//
// The counters are plain numbers owned by the directory server and raised in
// one line where each event happens; nothing here is global. The file is the
// text exposition format a Prometheus node exporter picks up from its textfile
// directory: "# HELP" and "# TYPE" lines, then one sample per line. Counters
// run from start-up and end in _total; gauges are the state at writing time.

#include <cstdint>
#include <string>
#include <vector>

#include "util/histogram.h"

namespace kelvaro {

// The downloads from one peer address (network order). A download fails when
// its connection goes without bringing a list.
struct PeerDownloads {
    uint32_t address = 0;
    uint64_t started = 0;
    uint64_t completed = 0;
    uint64_t failed = 0;
    int64_t lastCompletedUnixTime = 0;  // seconds; 0 until one completes
};

struct MetricsCounters {
    // Datagrams taken from each endpoint.
    uint64_t updateDatagrams = 0;
    uint64_t pingDatagrams = 0;
    uint64_t clientDatagrams = 0;
    uint64_t downloadDatagrams = 0;
    // Update-port outcomes; a count query is counted only as a count query.
    uint64_t updatesAccepted = 0;
    uint64_t updatesMalformed = 0;
    uint64_t updatesBadPassword = 0;
    uint64_t updatesLimit = 0;
    uint64_t countQueries = 0;
    uint64_t pingsSent = 0;
    uint64_t pingReplies = 0;  // replies that matched a listed zone
    uint64_t zonesDropped = 0;
    uint64_t listsServed = 0;
    uint64_t listBytes = 0;
    uint64_t listsFull = 0;  // lists that could not hold every zone asked for
    uint64_t slowIterations = 0;
    // Busy iterations in which the zone upkeep ran only because the busy
    // spell had outlasted BusyHoldLimit.
    uint64_t upkeepForced = 0;
    // Peer list entries not added because the zone was dropped too recently.
    uint64_t rejoinsRefused = 0;
    uint64_t clientsRefused = 0;  // datagrams turned away because MaxHosts was reached
    // Connections that had not yet proven their address, closed to make room
    // for a newcomer.
    uint64_t clientsEvicted = 0;
    // Zones that must prove their address (VerifiedZones).
    uint64_t updatesPending = 0;        // updates of zones held pending
    uint64_t pingRepliesMismatched = 0; // replies without a token of their zone's round
    uint64_t zonesVerified = 0;         // pending zones listed after echoing a token
    uint64_t zonesRefusedAtListing = 0; // proven, but the name or a cap refused them
    // The ban list.
    uint64_t bannedDatagrams = 0;   // update-port datagrams (updates, count queries) refused
    uint64_t bannedPeerZones = 0;   // entries of a peer's list skipped
    uint64_t bannedZonesRemoved = 0;  // listed or pending zones removed by a (re)load
    // Zones that left the pending table unproven; the table counts these
    // itself, and the server copies them in when it formats the text.
    uint64_t pendingForgotten = 0;  // their last re-ping went unanswered
    uint64_t pendingEvicted = 0;    // made room for a newer one
    // The state file's writer (StateFile), copied in the same way.
    uint64_t stateWrites = 0;         // transactions committed
    uint64_t stateWriteFailures = 0;  // transactions that failed (their rows are tried again)
    uint64_t stateRowsWritten = 0;
    // One entry per peer address, in the order they were first tried; the
    // peer list holds at most ten addresses, so a linear search is enough.
    std::vector<PeerDownloads> downloads;

    // The entry of address, made on first use.
    PeerDownloads& peer(uint32_t address);
};

// The state sampled when the file is written.
struct MetricsGauges {
    int64_t zones = 0;
    int64_t passwordRecords = 0;
    int64_t clientConnections = 0;
    int64_t downloadConnections = 0;
    // How long a full sweep of the list takes with the settings in force;
    // infinite when the sweep never runs.
    double sweepCycleSeconds = 0;
    int64_t pendingZones = 0;
    int64_t banRanges = 0;
    // Zones put back from the state file still to be pinged (or proved).
    int64_t restoresOwed = 0;
    // Zones at IPv6 addresses; -1 (not shown) without ListenIPv6.
    int64_t zonesV6 = -1;
};

// The whole file text, every metric with its HELP and TYPE lines.
std::string formatMetrics(const MetricsCounters& counters, const MetricsGauges& gauges);

// Appends one histogram in the exposition format: HELP and TYPE lines, then
// name_bucket{le="..."} for each bound and +Inf (cumulative), name_sum and
// name_count. name is the base name, without the suffixes.
void appendHistogram(std::string& out, const char* name, const char* help,
                     const Histogram& histogram);

// Appends the kelvaro_build_info gauge: always 1, the build in its labels
// (version, and the compiler that made it).
void appendBuildInfo(std::string& out, const char* version);

// Replaces path with text: written to <path>.tmp, then renamed over path, so
// a reader sees the old file or the new one, never half of one. On failure
// the old file stays, the temporary is removed and reason says why.
bool replaceFile(const std::string& path, const std::string& text, std::string& reason);

}  // namespace kelvaro
