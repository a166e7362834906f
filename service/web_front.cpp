#include "service/web_front.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/tick_clock.h"
#include "service/directory_server.h"
#include "service/zone_json.h"
#include "service/zones_page.h"

namespace kelvaro {
namespace {

constexpr uint32_t kMsPerSecond = 1000;
constexpr int32_t kHighestPort = 65535;
constexpr size_t kHistoryDocumentsKept = 256;

std::string maxAge(int32_t seconds) { return "max-age=" + std::to_string(seconds < 0 ? 0 : seconds); }

void appendInteger(std::string& out, int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

}  // namespace

bool httpSettingsOf(const ServerSettings& s, HttpSettings& out, std::string& reason) {
    if (s.HttpPort < 1 || s.HttpPort > kHighestPort) {
        reason = "[Http] Port=" + std::to_string(s.HttpPort) + " is not a port (1-65535)";
        return false;
    }
    in_addr address{};
    if (inet_pton(AF_INET, s.HttpAddress.c_str(), &address) != 1) {
        reason = "[Http] Address=" + s.HttpAddress + " is not a dotted-quad IPv4 address";
        return false;
    }
    if (s.HttpMaxConnections < 1) {
        reason = "[Http] MaxConnections=" + std::to_string(s.HttpMaxConnections) +
                 ": no connection could ever be served";
        return false;
    }
    out.port = static_cast<uint16_t>(s.HttpPort);
    out.address = address.s_addr;
    // A front kept to this host on IPv4 stays on this host on IPv6 too (::1);
    // any other address means the operator serves the network: [::].
    out.listenV6 = s.ListenIPv6;
    out.address6 = {};
    if ((ntohl(address.s_addr) >> 24) == 127) out.address6[15] = 1;
    out.timeoutSeconds = s.HttpTimeout > 0 ? static_cast<uint32_t>(s.HttpTimeout) : 0;
    out.maxConnections = static_cast<uint32_t>(s.HttpMaxConnections);
    out.maxConnectionsPerAddress =
        s.HttpMaxConnectionsPerAddress > 0 ? static_cast<uint32_t>(s.HttpMaxConnectionsPerAddress) : 0;
    return true;
}

namespace {

// For each zone in list order, the zone it is shown with: an IPv4 zone gets
// the IPv6 zone of the same name (its first, both announced here, so both
// passed that name's password), and that IPv6 zone gets itself, to be left
// out where it stands. Empty when no IPv6 zone announced itself.
struct DualStackPartners {
    std::vector<const ZoneRecord*> partner;
    size_t pairs = 0;
};

DualStackPartners dualStackPartners(const ZoneList& zones) {
    DualStackPartners found;
    struct Six {
        const ZoneRecord* zone;  // nullptr once an IPv4 zone took it
        size_t at;
    };
    std::unordered_map<std::string_view, Six> sixByName;
    size_t at = 0;
    for (const ZoneList::Node* node = zones.head(); node != nullptr; node = node->next, ++at) {
        const ZoneRecord& zone = *node->element;
        if (zone.address.isV6() && zone.source == ZoneSource::Update)
            sixByName.emplace(std::string_view(zone.name), Six{&zone, at});  // the first one wins
    }
    if (sixByName.empty()) return found;  // the usual case: nothing to pair
    found.partner.assign(static_cast<size_t>(zones.count()), nullptr);
    at = 0;
    for (const ZoneList::Node* node = zones.head(); node != nullptr; node = node->next, ++at) {
        const ZoneRecord& zone = *node->element;
        if (zone.address.isV6() || zone.source != ZoneSource::Update) continue;
        const auto six = sixByName.find(std::string_view(zone.name));
        if (six == sixByName.end() || six->second.zone == nullptr) continue;
        found.partner[at] = six->second.zone;
        found.partner[six->second.at] = six->second.zone;
        six->second.zone = nullptr;  // one IPv4 zone per IPv6 one
        ++found.pairs;
    }
    return found;
}

}  // namespace

std::string zonesJson(const ZoneList& zones, uint32_t nowTick, int64_t unixSeconds) {
    const DualStackPartners paired = dualStackPartners(zones);
    const std::vector<const ZoneRecord*>& partners = paired.partner;
    const size_t entries = static_cast<size_t>(zones.count()) - paired.pairs;
    std::string out = "{\"generated\":";
    appendInteger(out, unixSeconds);
    out += ",\"count\":";
    appendInteger(out, static_cast<int64_t>(entries));
    out += ",\"zones\":[";
    // Most zones have short texts; this saves the doublings of a long list.
    out.reserve(out.size() + static_cast<size_t>(zones.count()) * 200 + 8);
    bool first = true;
    size_t at = 0;
    for (const ZoneList::Node* node = zones.head(); node != nullptr; node = node->next, ++at) {
        const ZoneRecord& zone = *node->element;
        const ZoneRecord* partner = partners.empty() ? nullptr : partners[at];
        if (partner == &zone) continue;  // shown with its IPv4 twin
        out += first ? "\n {" : ",\n {";
        first = false;
        appendZoneMembers(out, entryOf(zone));
        if (partner != nullptr) {
            out += ",\"address6\":\"";
            out += partner->address.text();
            out += "\",\"port6\":";
            appendInteger(out, partner->port);
            out += ",\"addresses\":[\"";
            out += zone.address.text() + ":" + std::to_string(zone.port) + "\",\"";
            out += partner->address.bracketedText() + ":" + std::to_string(partner->port) + "\"]";
        }
        out += ",\"last_heard\":";
        appendInteger(out, elapsedMs(nowTick, zone.lastHeardTick) / kMsPerSecond);
        out += zone.source == ZoneSource::Peer ? ",\"source\":\"peer\"}" : ",\"source\":\"update\"}";
    }
    out += first ? "]}\n" : "\n]}\n";
    return out;
}

bool WebFront::open(std::string& reason) {
    if (settings_.HttpPort == 0) return true;
    return start(settings_, false, reason);
}

bool WebFront::openOnAnyPort(std::string& reason) {
    ServerSettings checked = settings_;
    checked.HttpPort = 1;  // any valid port passes the checks; 0 is bound below
    return start(checked, true, reason);
}

bool WebFront::start(const ServerSettings& checked, bool anyPort, std::string& reason) {
    HttpSettings http;
    if (!httpSettingsOf(checked, http, reason)) {
        reason = "HTTP " + reason;
        return false;
    }
    if (anyPort) http.port = 0;
    if (!front.open(http, reason)) {
        reason = "HTTP " + reason;
        return false;
    }
    publishPage();
    front.publish("/healthz", prepareDocument("ok", {"text/plain", 0, "no-store", false}));
    front.route("/history.json", [this](const HttpArguments& arguments, std::string& why) {
        return historyDocument(arguments, why);
    });
    return true;
}

// The page and its chart library, published again when their age changes.
void WebFront::publishPage() {
    const std::string cache = maxAge(settings_.HttpMaxAge);
    front.publish("/", prepareDocument(std::string(zonesPageHtml()),
                                       {"text/html; charset=utf-8", 0, cache, true}));
    front.publish("/uplot.js", prepareDocument(std::string(chartScript()),
                                               {"text/javascript; charset=utf-8", 0, cache, true}));
    front.publish("/uplot.css", prepareDocument(std::string(chartStyle()),
                                                {"text/css; charset=utf-8", 0, cache, true}));
    front.publish("/uplot.LICENSE", prepareDocument(std::string(chartLicence()),
                                                    {"text/plain; charset=utf-8", 0, cache, true}));
}

void WebFront::setMaxAge(int32_t seconds) {
    if (seconds == settings_.HttpMaxAge) return;
    settings_.HttpMaxAge = seconds;
    if (front.isOpen()) publishPage();
    // The list now in force was published with the old age: build it anew.
    zonesBuilt = false;
    histories.clear();
}

std::shared_ptr<const HttpDocument> WebFront::historyDocument(const HttpArguments& arguments,
                                                              std::string& reason) {
    HistoryQuery query;
    if (!parseHistoryQuery(arguments, query, reason)) return nullptr;
    if (serving == nullptr) {
        reason = "no history yet";
        return nullptr;
    }
    const HistoryKeeper& history = serving->history();
    std::string key = std::to_string(static_cast<int>(query.range));
    if (query.forZone) key += ":" + query.address.bracketedText() + ":" + std::to_string(query.port);
    const uint32_t now = tickCount();
    auto found = histories.find(key);
    if (found != histories.end() && found->second.samples == history.samplesTaken() &&
        (!history.readsFile() || elapsedMs(now, found->second.builtTick) < kWebRebuildMs))
        return found->second.document;
    std::vector<HistoryPoint> points;
    if (!history.points(query, servingUnixSeconds, points)) {
        // A read that failed keeps what was served before, when there is one.
        if (found != histories.end()) return found->second.document;
        reason = "the history cannot be read now";
        return nullptr;
    }
    auto document = prepareDocument(historyJson(query, points),
                                    {"application/json", servingUnixSeconds,
                                     maxAge(settings_.HttpMaxAge), true});
    // Zones asked once each must not pile up: past the bound the cache starts again.
    if (histories.size() >= kHistoryDocumentsKept) histories.clear();
    histories[key] = {document, history.samplesTaken(), now};
    return document;
}

void WebFront::iterate(const DirectoryServer& server, int64_t unixSeconds) {
    if (!front.isOpen()) return;
    const uint32_t now = tickCount();
    const ZoneList& zones = server.zones();
    if (packing.busy()) {
        if (packing.step(kGzipSliceBytes)) publishZones();
    } else if (!zonesBuilt || (zones.revision() != builtRevision &&
                               elapsedMs(now, lastZonesTick) >= kWebRebuildMs)) {
        startZones(zones, unixSeconds);
        lastZonesTick = now;
    }
    if (!metricsBuilt || elapsedMs(now, lastMetricsTick) >= kWebRebuildMs) {
        publishMetrics(server);
        publishPeers(server, unixSeconds);
        metricsBuilt = true;
        lastMetricsTick = now;
    }
    serving = &server;
    servingUnixSeconds = unixSeconds;
    front.run();
    serving = nullptr;
}

void WebFront::startZones(const ZoneList& zones, int64_t unixSeconds) {
    builtRevision = zones.revision();
    zonesBuilt = true;
    packingUnixSeconds = unixSeconds;
    // The first list is made whole at once, so that there always is one to
    // serve; a stream that cannot start publishes the text alone.
    const size_t slice = builds == 0 ? SIZE_MAX : kGzipSliceBytes;
    if (!packing.start(zonesJson(zones, tickCount(), unixSeconds)) || packing.step(slice))
        publishZones();
}

void WebFront::publishZones() {
    ++builds;
    front.publish("/zones.json",
                  prepareDocument(packing.takeText(), packing.takeGzip(),
                                  {"application/json", packingUnixSeconds,
                                   maxAge(settings_.HttpMaxAge), true}));
}

void WebFront::publishMetrics(const DirectoryServer& server) {
    std::string text = server.metricsText();
    appendHistogram(text, "kelvaro_http_request_duration_seconds",
                    "Seconds from an HTTP request read to its response sent, any status.",
                    front.requestSeconds());
    front.publish("/metrics", prepareDocument(std::move(text),
                                              {"text/plain; version=0.0.4", 0, "no-store", false}));
}

void WebFront::publishPeers(const DirectoryServer& server, int64_t unixSeconds) {
    const uint32_t intervalMs = static_cast<uint32_t>(std::max(server.settings().DownloadTime, 0));
    front.publish("/peers.json",
                  prepareDocument(peersJson(server.peers(), server.zones(), tickCount(),
                                            unixSeconds, intervalMs),
                                  {"application/json", 0, "no-store", false}));
}

}  // namespace kelvaro
