// What the service publishes over HTTP: the zone list document, its rebuild
// schedule, the metrics and the fixed pages, read back through a real
// connection to the front.

#include "service/web_front.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "http/http_document.h"
#include "http/http_headers.h"
#include "service/server_fixture.h"
#include "service/zone_json.h"
#include "support/http_client.h"
#include "support/json_zone.h"
#include "support/strict_json.h"

namespace kelvaro::testing_support {
namespace {

constexpr int64_t kUnixStart = 1800000000;
const uint32_t kHostB = inet_addr("10.1.2.3");

class WebFrontTest : public ServerFixture {
protected:
    void open(const std::string& ini = {}) {
        start(ini);
        web = std::make_unique<WebFront>(server->settings());
        std::string reason;
        ASSERT_TRUE(web->openOnAnyPort(reason)) << reason;
    }
    // Runs the front until the request is answered.
    std::optional<HttpResponse> fetch(const std::string& path, const std::string& headers = {}) {
        HttpConnection connection(web->localPort());
        return connection.request("GET", path, headers, [this] { web->iterate(*server, unixNow); });
    }
    JsonValue listNow() {
        const auto response = fetch("/zones.json");
        JsonValue list;
        EXPECT_TRUE(response && StrictJson::parse(response->body, list));
        return list;
    }

    std::unique_ptr<WebFront> web;
    int64_t unixNow = kUnixStart;
};

TEST_F(WebFrontTest, ZonesJsonHoldsEveryZoneInListOrderWithItsAgeAndSource) {
    start();
    const std::string hostile = "say \"hi\" \\ <b>x</b>\x01\x7f\xe9";
    printedBy([&] {
        server->zones().addOrUpdate(kLoopback, 5000, 7, 1, 0xDEADBEEF, "First", hostile);
        clock.advance(2500);
        server->zones().addOrUpdate(kHostB, 6000, 0, 0, 42, "<img src=x>", "", ZoneSource::Peer);
        clock.advance(1000);
        server->zones().addOrUpdate(kLoopback, 5001, 65535, 0, 0, "Third", "d");
    });
    clock.advance(7400);
    const std::string text = zonesJson(server->zones(), clock.now(), kUnixStart);
    // The members, their order and their encoding: the same writer as the
    // query tool's, then the two of the web list.
    EXPECT_NE(text.find("{\"address\":\"127.0.0.1\",\"port\":5000,\"population\":7,\"flag\":1,"
                        "\"word\":3735928559,\"name\":\"First\",\"description\":"
                        "\"say \\\"hi\\\" \\\\ <b>x</b>\\u0001\\u007f\\u00e9\",\"last_heard\":10,"
                        "\"source\":\"update\"}"),
              std::string::npos)
        << text;
    JsonValue list;
    ASSERT_TRUE(StrictJson::parse(text, list)) << text;
    EXPECT_EQ(list.members["generated"].number, static_cast<uint64_t>(kUnixStart));
    EXPECT_EQ(list.members["count"].number, 3u);
    const auto& zones = list.members["zones"].items;
    ASSERT_EQ(zones.size(), 3u);
    struct Expected {
        const char* address;
        ZoneUpdate zone;
        uint64_t lastHeard;
        const char* source;
    };
    const Expected expected[] = {
        {"127.0.0.1", {5000, 7, 1, 0xDEADBEEF, "First", "", hostile}, 10, "update"},
        {"10.1.2.3", {6000, 0, 0, 42, "<img src=x>", "", ""}, 8, "peer"},
        {"127.0.0.1", {5001, 65535, 0, 0, "Third", "", "d"}, 7, "update"},
    };
    for (size_t i = 0; i < zones.size(); ++i) {
        SCOPED_TRACE(i);
        auto members = zones[i].members;
        EXPECT_EQ(members.size(), 9u);
        expectJsonZone(members, expected[i].address, expected[i].zone);
        EXPECT_EQ(members["last_heard"].number, expected[i].lastHeard) << i;
        EXPECT_EQ(members["source"].text, expected[i].source);
    }
    EXPECT_EQ(zonesJson(ZoneList{}, 0, 5), "{\"generated\":5,\"count\":0,\"zones\":[]}\n");
}

TEST_F(WebFrontTest, TheListIsRebuiltAtMostOnceASecondAndOnlyAfterAChange) {
    open();
    web->iterate(*server, unixNow);
    EXPECT_EQ(web->zonesBuilds(), 1u);
    JsonValue first = listNow();
    EXPECT_EQ(first.members["count"].number, 0u);
    const auto firstResponse = fetch("/zones.json");
    ASSERT_TRUE(firstResponse);
    EXPECT_EQ(firstResponse->header("last-modified"), httpDate(kUnixStart));

    clock.advance(5000);
    web->iterate(*server, unixNow += 5);
    EXPECT_EQ(web->zonesBuilds(), 1u) << "nothing changed";

    addZone("Fresh", 7000);
    web->iterate(*server, unixNow);
    EXPECT_EQ(web->zonesBuilds(), 2u) << "a second has passed since the last build";
    addZone("Later", 7001);
    for (uint32_t step = 0; step < 999; step += 111) {
        clock.advance(111);
        web->iterate(*server, unixNow);
    }
    EXPECT_EQ(web->zonesBuilds(), 2u) << "not twice within a second";
    EXPECT_EQ(listNow().members["count"].number, 1u);
    clock.advance(1);
    web->iterate(*server, ++unixNow);
    EXPECT_EQ(web->zonesBuilds(), 3u);
    const auto latest = fetch("/zones.json", "If-None-Match: " + firstResponse->header("etag") + "\r\n");
    ASSERT_TRUE(latest);
    EXPECT_EQ(latest->status, 200);
    EXPECT_NE(latest->header("etag"), firstResponse->header("etag"));
    JsonValue list;
    ASSERT_TRUE(StrictJson::parse(latest->body, list));
    EXPECT_EQ(list.members["count"].number, 2u);
    EXPECT_EQ(list.members["generated"].number, static_cast<uint64_t>(unixNow));
    const auto again = fetch("/zones.json", "If-None-Match: " + latest->header("etag") + "\r\n");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 304);
}

TEST_F(WebFrontTest, ALongListIsCompressedOverSeveralIterationsAndThenReplacesTheOld) {
    start();
    const std::string description(255, 'x');
    printedBy([&] {
        for (uint16_t i = 0; i < 9000; ++i)
            server->zones().addOrUpdate(kLoopback, static_cast<uint16_t>(10000 + i), 1, 0, 0,
                                        "Zone " + std::to_string(i), description);
    });
    web = std::make_unique<WebFront>(server->settings());
    std::string reason;
    ASSERT_TRUE(web->openOnAnyPort(reason)) << reason;
    web->iterate(*server, unixNow);
    EXPECT_EQ(web->zonesBuilds(), 1u) << "the first list is served at once, however long";
    addZone("One More", 9999);
    clock.advance(kWebRebuildMs);
    web->iterate(*server, unixNow);
    EXPECT_EQ(web->zonesBuilds(), 1u) << "three megabytes are not compressed in one iteration";
    int iterations = 1;
    for (; iterations < 20 && web->zonesBuilds() == 1; ++iterations) web->iterate(*server, unixNow);
    EXPECT_EQ(web->zonesBuilds(), 2u);
    EXPECT_GE(iterations, 3);
    const auto plain = fetch("/zones.json");
    const auto packed = fetch("/zones.json", "Accept-Encoding: gzip\r\n");
    ASSERT_TRUE(plain && packed);
    EXPECT_EQ(packed->header("content-encoding"), "gzip");
    std::string decoded;
    ASSERT_TRUE(gzipDecompress(packed->body, decoded));
    EXPECT_TRUE(decoded == plain->body);
    JsonValue list;
    ASSERT_TRUE(StrictJson::parse(plain->body, list));
    EXPECT_EQ(list.members["count"].number, 9001u);
    EXPECT_EQ(list.members["zones"].items.back().members["name"].text, "One More");
}

TEST_F(WebFrontTest, EveryPathServesItsDocument) {
    open("[Http]\nMaxAge=17\n");
    addZone("Counted", 7000);
    clock.advance(1000);
    web->iterate(*server, unixNow);
    struct Row {
        const char* path;
        int status;
        const char* type;
        const char* cacheControl;
    };
    const Row rows[] = {
        {"/zones.json", 200, "application/json", "max-age=17"},
        {"/", 200, "text/html; charset=utf-8", "max-age=17"},
        {"/metrics", 200, "text/plain; version=0.0.4", "no-store"},
        {"/healthz", 200, "text/plain", "no-store"},
        {"/index.html", 404, "text/plain; charset=utf-8", "no-store"},
        {"/zones", 404, "text/plain; charset=utf-8", "no-store"},
    };
    for (const Row& row : rows) {
        const auto response = fetch(row.path, "Accept-Encoding: gzip\r\n");
        ASSERT_TRUE(response) << row.path;
        EXPECT_EQ(response->status, row.status) << row.path;
        EXPECT_EQ(response->header("content-type"), row.type) << row.path;
        EXPECT_EQ(response->header("cache-control"), row.cacheControl) << row.path;
    }
    const auto metrics = fetch("/metrics");
    ASSERT_TRUE(metrics);
    // The server's text, then the front's own request histogram.
    EXPECT_EQ(metrics->body.substr(0, server->metricsText().size()), server->metricsText());
    EXPECT_NE(metrics->body.find("\n# TYPE kelvaro_http_request_duration_seconds histogram\n"),
              std::string::npos);
    EXPECT_NE(metrics->body.find("\nkelvaro_zones 1\n"), std::string::npos);
    EXPECT_EQ(fetch("/healthz")->body, "ok");
    const auto page = fetch("/", "Accept-Encoding: gzip\r\n");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->header("content-encoding"), "gzip");
    std::string html;
    ASSERT_TRUE(gzipDecompress(page->body, html));
    EXPECT_NE(html.find("<tbody>"), std::string::npos);
    EXPECT_NE(html.find("\"zones.json\""), std::string::npos) << "asked for relative to the page";
    EXPECT_EQ(html.find("innerHTML"), std::string::npos) << "zone texts go in as text only";
    // Nothing is loaded from elsewhere: every src and href is a path of this
    // directory, and each of them is served.
    size_t references = 0;
    for (const char* attribute : {"src=\"", "href=\""}) {
        for (size_t at = html.find(attribute); at != std::string::npos && references < 20;
             at = html.find(attribute, at + 1)) {
            const size_t start = at + std::string(attribute).size();
            const std::string target = html.substr(start, html.find('"', start) - start);
            ++references;
            EXPECT_EQ(target.find(':'), std::string::npos) << target;
            EXPECT_NE(target.substr(0, 2), "//") << target;
            const auto served = fetch("/" + target);
            ASSERT_TRUE(served) << target;
            EXPECT_EQ(served->status, 200) << target;
        }
    }
    EXPECT_EQ(references, 2u) << "the chart library's script and style";
}

TEST_F(WebFrontTest, SettingsThatCannotServeAreRefusedWithTheirReason) {
    struct Row {
        int32_t port;
        const char* address;
        int32_t maxConnections;
        const char* reason;  // empty when accepted
    };
    const Row rows[] = {
        {8080, "127.0.0.1", 64, ""},
        {65535, "0.0.0.0", 1, ""},
        {0, "127.0.0.1", 64, "[Http] Port=0 is not a port (1-65535)"},
        {65536, "127.0.0.1", 64, "[Http] Port=65536 is not a port (1-65535)"},
        {-1, "127.0.0.1", 64, "[Http] Port=-1 is not a port (1-65535)"},
        {80, "localhost", 64, "[Http] Address=localhost is not a dotted-quad IPv4 address"},
        {80, "10.0.0", 64, "[Http] Address=10.0.0 is not a dotted-quad IPv4 address"},
        {80, "127.0.0.1", 0, "[Http] MaxConnections=0: no connection could ever be served"},
    };
    for (const Row& row : rows) {
        ServerSettings settings;
        settings.HttpPort = row.port;
        settings.HttpAddress = row.address;
        settings.HttpMaxConnections = row.maxConnections;
        settings.HttpTimeout = -3;
        settings.HttpMaxConnectionsPerAddress = -1;
        HttpSettings http;
        std::string reason;
        EXPECT_EQ(httpSettingsOf(settings, http, reason), *row.reason == '\0') << row.port;
        EXPECT_EQ(reason, row.reason);
        if (*row.reason != '\0') continue;
        EXPECT_EQ(http.port, row.port);
        EXPECT_EQ(http.timeoutSeconds, 0u) << "a negative time-out closes nothing";
        EXPECT_EQ(http.maxConnectionsPerAddress, 0u) << "a negative limit is none";
    }
}

}  // namespace
}  // namespace kelvaro::testing_support
