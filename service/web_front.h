#pragma once
// What the service shows over HTTP, and when it rebuilds it. The documents
// are made here, from the zone list and the counters, and handed to the HTTP
// front, which only serves them:
//
//   /            the zone page (zones_page.h), fixed for the process's life
//   /zones.json  the zone list, application/json, gzip as well; rebuilt at
//                most once a second and only when the list changed; a new
//                text is published once its gzip copy is done
//   /history.json?range=24h|7d|90d[&zone=ADDRESS:PORT]
//                the population history (history_keeper.h), application/json,
//                gzip as well; each asked form is made when first asked after
//                a new sample (with a state file, at most once a second, as
//                its writer may not have written the sample yet) and kept for
//                the requests after; a bad argument gets 400 with the reason
//   /metrics     the metrics file's text and the HTTP request histogram,
//                rebuilt at most once a second
//   /peers.json  each configured peer and how its downloads go
//                (peersJson), rebuilt with /metrics
//   /uplot.js, /uplot.css, /uplot.LICENSE
//                the page's chart library, fixed for the process's life
//   /healthz     "ok"
//
// Requests therefore never walk the list: their cost is the same at any
// number of zones, and the walk happens at most once a second here.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "http/http_front.h"
#include "service/server_settings.h"
#include "zones/zone_list.h"

namespace kelvaro {

class DirectoryServer;

// The shortest time between two rebuilds of a document.
constexpr uint32_t kWebRebuildMs = 1000;
// Bytes of the zone list compressed per iteration: a long list is compressed
// over several iterations (about 10 ms each), the old one served meanwhile,
// rather than stalling the service for the whole of it.
constexpr size_t kGzipSliceBytes = 1 << 20;

// The [Http] settings as the front takes them, or false with the reason when
// they cannot work (a port outside 1..65535, an address that is not a dotted
// quad, fewer than one connection).
bool httpSettingsOf(const ServerSettings& settings, HttpSettings& out, std::string& reason);

// The /zones.json text: {"generated":<unixSeconds>,"count":N,"zones":[...]},
// the zones in list order, each with the members of appendZoneMembers and
// then "last_heard" (whole seconds from the zone's lastHeardTick to nowTick,
// that is to the moment of "generated") and "source" ("update" or "peer").
// A zone on both families (an IPv4 and an IPv6 zone of the same name, both
// announced here) is one entry, the IPv4 zone's, with "address6" and "port6"
// after its own members; "count" is the number of entries.
std::string zonesJson(const ZoneList& zones, uint32_t nowTick, int64_t unixSeconds);

class WebFront {
public:
    explicit WebFront(const ServerSettings& settings) : settings_(settings) {}
    WebFront(const WebFront&) = delete;
    WebFront& operator=(const WebFront&) = delete;

    // Opens the front when [Http] Port is set; true when it is off. False,
    // with a reason starting "HTTP ", when it is on and cannot serve.
    bool open(std::string& reason);
    // The same on an ephemeral port, whatever [Http] Port says: for tests and
    // benchmarks that run beside anything else.
    bool openOnAnyPort(std::string& reason);
    // Puts a new [Http] MaxAge in force: the page is published again with it
    // and the next /zones.json carries it. The listener's own settings (port,
    // address, time-out, connection limits) stay as opened.
    void setMaxAge(int32_t seconds);
    bool isOpen() const { return front.isOpen(); }
    uint16_t localPort() const { return front.localPort(); }
    int descriptor() const { return front.descriptor(); }
    int descriptorV6() const { return front.descriptorV6(); }

    // One step of the service loop, after the server's iteration: rebuilds
    // the documents that are due from server, then serves what is ready.
    // Never blocks. unixSeconds is the wall clock, for "generated" and
    // Last-Modified.
    void iterate(const DirectoryServer& server, int64_t unixSeconds);

    // How long the loop's pause may last before iterate() is due for the
    // front's own sake, at most limitMs.
    uint32_t waitLimitMs(uint32_t limitMs) const { return front.waitLimitMs(limitMs); }

    // Serves body at path beside the documents above, for tools and
    // benchmarks that bring a page of their own (a timing harness, say).
    // REQUIRES: isOpen().
    void publishExtra(const std::string& path, std::string body, const char* type) {
        front.publish(path, prepareDocument(std::move(body), {type, 0, "no-store", false}));
    }

    // How many times /zones.json has been published, for tests.
    uint64_t zonesBuilds() const { return builds; }

private:
    bool start(const ServerSettings& checked, bool anyPort, std::string& reason);
    void publishPage();
    std::shared_ptr<const HttpDocument> historyDocument(const HttpArguments& arguments,
                                                        std::string& reason);
    void startZones(const ZoneList& zones, int64_t unixSeconds);
    void publishZones();
    void publishMetrics(const DirectoryServer& server);
    void publishPeers(const DirectoryServer& server, int64_t unixSeconds);

    ServerSettings settings_;
    HttpFront front;
    GzipStream packing;           // the next /zones.json, being compressed
    int64_t packingUnixSeconds = 0;
    bool zonesBuilt = false;
    uint64_t builtRevision = 0;
    uint32_t lastZonesTick = 0;
    bool metricsBuilt = false;
    uint32_t lastMetricsTick = 0;
    uint64_t builds = 0;
    // Borrowed for the length of iterate(), where the front answers.
    const DirectoryServer* serving = nullptr;
    int64_t servingUnixSeconds = 0;
    struct CachedHistory {
        std::shared_ptr<const HttpDocument> document;
        uint64_t samples = 0;  // the samples taken when it was made
        uint32_t builtTick = 0;
    };
    std::map<std::string, CachedHistory> histories;  // by the query's own text
};

}  // namespace kelvaro
