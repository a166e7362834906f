#include "service/metrics.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "net/udp_endpoint.h"
#include "service/raw_file.h"

namespace kelvaro {
namespace {

// The exporter that reads the file usually runs as another user, and the
// counters hold nothing secret.
constexpr mode_t kWorldReadable = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;  // 0644

void describe(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// One sample; labels is empty or the inside of the braces.
void sample(std::string& out, const char* name, const std::string& labels, uint64_t value) {
    out += name;
    if (!labels.empty()) out += "{" + labels + "}";
    char number[24];
    std::snprintf(number, sizeof number, " %" PRIu64 "\n", value);
    out += number;
}

void gauge(std::string& out, const char* name, const char* help, int64_t value) {
    describe(out, name, "gauge", help);
    sample(out, name, {}, static_cast<uint64_t>(value < 0 ? 0 : value));
}

// Prometheus reads a plain decimal or +Inf; milliseconds are the finest
// resolution any of these values has.
void gauge(std::string& out, const char* name, const char* help, double value) {
    describe(out, name, "gauge", help);
    char number[40];
    if (std::isinf(value) && value > 0)
        std::snprintf(number, sizeof number, " +Inf\n");
    else
        std::snprintf(number, sizeof number, " %.3f\n", value > 0 ? value : 0.0);
    out += name;
    out += number;
}

void counter(std::string& out, const char* name, const char* help, uint64_t value) {
    describe(out, name, "counter", help);
    sample(out, name, {}, value);
}

}  // namespace

PeerDownloads& MetricsCounters::peer(uint32_t address) {
    for (PeerDownloads& entry : downloads)
        if (entry.address == address) return entry;
    downloads.push_back(PeerDownloads{address});
    return downloads.back();
}

std::string formatMetrics(const MetricsCounters& c, const MetricsGauges& g) {
    std::string out;
    gauge(out, "kelvaro_zones", "Zones listed now.", g.zones);
    if (g.zonesV6 >= 0) gauge(out, "kelvaro_zones_ipv6", "Zones listed now at an IPv6 address.", g.zonesV6);
    gauge(out, "kelvaro_password_records", "Zone name password records held now.",
          g.passwordRecords);
    gauge(out, "kelvaro_client_connections", "Client connections open now.", g.clientConnections);
    gauge(out, "kelvaro_download_connections", "Download connections open now.",
          g.downloadConnections);

    const char* datagrams = "kelvaro_datagrams_received_total";
    describe(out, datagrams, "counter", "Datagrams received since start-up, per endpoint.");
    sample(out, datagrams, "endpoint=\"update\"", c.updateDatagrams);
    sample(out, datagrams, "endpoint=\"ping\"", c.pingDatagrams);
    sample(out, datagrams, "endpoint=\"client\"", c.clientDatagrams);
    sample(out, datagrams, "endpoint=\"download\"", c.downloadDatagrams);

    const char* updates = "kelvaro_updates_total";
    describe(out, updates, "counter", "Zone updates since start-up, by result.");
    sample(out, updates, "result=\"accepted\"", c.updatesAccepted);
    sample(out, updates, "result=\"malformed\"", c.updatesMalformed);
    sample(out, updates, "result=\"bad_password\"", c.updatesBadPassword);
    sample(out, updates, "result=\"limit\"", c.updatesLimit);

    counter(out, "kelvaro_count_queries_total", "Count queries answered.", c.countQueries);
    counter(out, "kelvaro_pings_sent_total", "Pings sent to zones.", c.pingsSent);
    counter(out, "kelvaro_ping_replies_total", "Ping replies that matched a listed zone.",
            c.pingReplies);
    counter(out, "kelvaro_zones_dropped_total", "Zones dropped for not answering pings.",
            c.zonesDropped);
    counter(out, "kelvaro_lists_served_total", "Server lists sent to clients and peers.",
            c.listsServed);
    counter(out, "kelvaro_list_bytes_total", "Bytes of the server lists sent.", c.listBytes);
    counter(out, "kelvaro_lists_full_total",
            "Server lists that could not hold every zone asked for, and so took the zones in turn.",
            c.listsFull);

    const char* downloads = "kelvaro_downloads_total";
    describe(out, downloads, "counter", "Downloads of peer lists, per peer and result.");
    for (const PeerDownloads& entry : c.downloads) {
        const std::string peer = "peer=\"" + NetAddress(entry.address, 0).text() + "\",result=";
        sample(out, downloads, peer + "\"started\"", entry.started);
        sample(out, downloads, peer + "\"completed\"", entry.completed);
        sample(out, downloads, peer + "\"failed\"", entry.failed);
    }

    counter(out, "kelvaro_slow_iterations_total", "Iterations slower than SlowIteration.",
            c.slowIterations);
    gauge(out, "kelvaro_sweep_cycle_seconds",
          "How long a full sweep of the current list takes with the settings in force.",
          g.sweepCycleSeconds);
    counter(out, "kelvaro_upkeep_forced_total",
            "Busy iterations whose zone upkeep ran because the busy spell outlasted BusyHoldLimit.",
            c.upkeepForced);
    counter(out, "kelvaro_rejoins_refused_total",
            "Peer list entries not added because the zone was dropped less than RejoinDelay ago.",
            c.rejoinsRefused);

    const char* lastDownload = "kelvaro_download_last_completed_timestamp_seconds";
    describe(out, lastDownload, "gauge",
             "Unix time of the last completed download, per peer; 0 before the first.");
    for (const PeerDownloads& entry : c.downloads)
        sample(out, lastDownload, "peer=\"" + NetAddress(entry.address, 0).text() + "\"",
               static_cast<uint64_t>(std::max<int64_t>(entry.lastCompletedUnixTime, 0)));
    counter(out, "kelvaro_clients_refused_total",
            "Datagrams from would-be clients turned away because MaxHosts connections existed.",
            c.clientsRefused);
    counter(out, "kelvaro_clients_evicted_total",
            "Client connections that had not yet proven their address, closed to make room for a newcomer.",
            c.clientsEvicted);

    gauge(out, "kelvaro_pending_zones", "Zones waiting to prove their address now.",
          g.pendingZones);
    counter(out, "kelvaro_pending_updates_total", "Updates of zones not yet listed.",
            c.updatesPending);
    const char* pendingEnds = "kelvaro_pending_zones_ended_total";
    describe(out, pendingEnds, "counter", "Zones that left the pending table, by how.");
    sample(out, pendingEnds, "result=\"listed\"", c.zonesVerified);
    sample(out, pendingEnds, "result=\"refused\"", c.zonesRefusedAtListing);
    sample(out, pendingEnds, "result=\"never_answered\"", c.pendingForgotten);
    sample(out, pendingEnds, "result=\"evicted\"", c.pendingEvicted);
    counter(out, "kelvaro_ping_replies_mismatch_total",
            "Ping replies dropped for not echoing a token of their zone's current round.",
            c.pingRepliesMismatched);

    gauge(out, "kelvaro_ban_ranges", "Address ranges in the ban list now.", g.banRanges);
    const char* banned = "kelvaro_banned_total";
    describe(out, banned, "counter", "What the ban list refused, by kind.");
    sample(out, banned, "kind=\"datagram\"", c.bannedDatagrams);
    sample(out, banned, "kind=\"peer_zone\"", c.bannedPeerZones);
    sample(out, banned, "kind=\"zone_removed\"", c.bannedZonesRemoved);

    const char* stateWrites = "kelvaro_state_writes_total";
    describe(out, stateWrites, "counter", "State file transactions, by result.");
    sample(out, stateWrites, "result=\"ok\"", c.stateWrites);
    sample(out, stateWrites, "result=\"failed\"", c.stateWriteFailures);
    counter(out, "kelvaro_state_rows_written_total", "Rows the state file's writer committed.",
            c.stateRowsWritten);
    gauge(out, "kelvaro_state_restores_owed",
          "Zones put back from the state file that still wait for their first ping.", g.restoresOwed);
    return out;
}

void appendHistogram(std::string& out, const char* name, const char* help,
                     const Histogram& histogram) {
    describe(out, name, "histogram", help);
    const std::string base = name;
    char number[48];
    for (size_t bucket = 0; bucket <= histogram.bucketCount(); ++bucket) {
        std::string labels = "le=\"";
        if (bucket == histogram.bucketCount()) {
            labels += "+Inf";
        } else {
            // %g keeps 0.0025 and 10 as written, without trailing zeros.
            std::snprintf(number, sizeof number, "%g", histogram.upperBound(bucket));
            labels += number;
        }
        labels += '"';
        sample(out, (base + "_bucket").c_str(), labels, histogram.cumulative(bucket));
    }
    std::snprintf(number, sizeof number, " %.6f\n", histogram.valueSum());
    out += base + "_sum" + number;
    sample(out, (base + "_count").c_str(), {}, histogram.count());
}

void appendBuildInfo(std::string& out, const char* version) {
    describe(out, "kelvaro_build_info", "gauge", "Always 1; the build in its labels.");
#if defined(__clang__)
    const std::string compiler = std::string("clang ") + __clang_version__;
#elif defined(__GNUC__)
    const std::string compiler = std::string("gcc ") + __VERSION__;
#else
    const std::string compiler = "unknown";
#endif
    std::string labels = "version=\"";
    labels += version;
    labels += "\",compiler=\"";
    for (char c : compiler)  // a label value holds no quote, backslash or line end
        if (c != '"' && c != '\\' && c != '\n') labels += c;
    labels += '"';
    sample(out, "kelvaro_build_info", labels, 1);
}

bool replaceFile(const std::string& path, const std::string& text, std::string& reason) {
    FileReplacement file(path);
    file.write(text.data(), text.size());
    return file.commit(kWorldReadable, reason);
}

}  // namespace kelvaro
