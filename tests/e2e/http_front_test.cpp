// The real server's HTTP front, read with a raw HTTP client and with a real
// browser: the zone list as JSON with its caching rules, the page that shows
// it, the metrics and the health check, the limits, and a front that is off
// unless asked for.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/server_process.h"
#include "http/http_document.h"
#include "http/http_headers.h"
#include "support/http_client.h"
#include "support/json_zone.h"
#include "support/strict_json.h"
#include "support/udp_wait.h"
#include "support/zone_wire.h"

namespace kelvaro::testing_support {
namespace {

constexpr uint16_t kHttpPort = 18080;
constexpr const char* kChromium = "/usr/bin/chromium";

std::string httpSettings(const std::string& extra = {}) {
    return "[Http]\nPort=" + std::to_string(kHttpPort) + "\n" + extra;
}

ZoneUpdate zone(const std::string& name, uint16_t port, const std::string& description = "d") {
    ZoneUpdate update;
    update.port = port;
    update.population = static_cast<uint16_t>(port % 100);
    update.zoneFlag = port % 2;
    update.zoneWord = 1000000u + port;
    update.name = name;
    update.password = "pw";
    update.description = description;
    return update;
}

// The TCP ports in LISTEN state in this network namespace.
std::set<unsigned> listeningPorts() {
    std::set<unsigned> ports;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    for (int rows = 0; rows < 100000 && std::getline(table, line); ++rows) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A") ports.insert(std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
    }
    return ports;
}

// The DOM Chromium dumped shows one row per zone, every text as text.
void expectEveryZoneAsText(const std::string& dom, const std::vector<ZoneUpdate>& zones) {
    const size_t bodyStart = dom.find("<tbody>");
    const size_t bodyEnd = dom.find("</tbody>");
    ASSERT_NE(bodyStart, std::string::npos) << dom;
    ASSERT_NE(bodyEnd, std::string::npos) << dom;
    const std::string rows = dom.substr(bodyStart, bodyEnd - bodyStart);
    size_t rowCount = 0;
    for (size_t at = rows.find("<tr>"); at != std::string::npos; at = rows.find("<tr>", at + 1))
        ++rowCount;
    EXPECT_EQ(rowCount, zones.size());
    for (size_t i = 0; i + 2 < zones.size(); ++i)
        EXPECT_NE(rows.find(">" + zones[i].name + "<"), std::string::npos) << zones[i].name;
    EXPECT_NE(rows.find("&lt;b&gt;bold&lt;/b&gt;"), std::string::npos);
    EXPECT_NE(rows.find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);
    EXPECT_NE(rows.find("&lt;script&gt;"), std::string::npos);
    EXPECT_NE(rows.find("&amp;amp; &lt;i&gt;it&lt;/i&gt;"), std::string::npos);
    EXPECT_EQ(rows.find("<b>"), std::string::npos) << "a name became markup";
    EXPECT_EQ(rows.find("<img"), std::string::npos) << "a name became markup";
    EXPECT_EQ(rows.find("<script"), std::string::npos) << "a description became markup";
    EXPECT_EQ(dom.find("<title>owned</title>"), std::string::npos);
    EXPECT_NE(dom.find(std::to_string(zones.size()) + " zones"), std::string::npos)
        << "the count above the table";
    EXPECT_NE(dom.find("127.0.0.1:" + std::to_string(zones.front().port)), std::string::npos);
}

class HttpFrontE2eTest : public ::testing::Test {
protected:
    void startServer(const std::string& settings) {
        server = std::make_unique<ServerProcess>(settings);
        ASSERT_TRUE(server->waitForLine(kBannerLine)) << server->output();
        ASSERT_GE(udp.open(0), 0);
    }
    Pump drain() {
        return [this] {
            server->drain();
            sleepMs(1);
        };
    }
    std::optional<HttpResponse> get(const std::string& path, const std::string& headers = {},
                                    const std::string& method = "GET") {
        HttpConnection connection(kHttpPort);
        return connection.request(method, path, headers, drain(), 10000);
    }
    void announce(const std::vector<ZoneUpdate>& zones) {
        for (const ZoneUpdate& update : zones) {
            ASSERT_TRUE(sendTo(udp, kServerUpdatePort, updateDatagram(update)));
            ASSERT_TRUE(server->waitForLine("---Update : " + update.name, 10000)) << update.name;
        }
    }
    // /zones.json once it lists count zones (it is rebuilt within a second
    // of a change); nothing after a generous wait.
    std::optional<HttpResponse> listOf(size_t count, JsonValue& list) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            auto response = get("/zones.json");
            list = {};
            if (response && StrictJson::parse(response->body, list) &&
                list.members["count"].number == count)
                return response;
            sleepMs(100);
        }
        return std::nullopt;
    }
    std::optional<uint32_t> zoneCount() {
        if (!sendTo(udp, kServerUpdatePort, le32(0x5151))) return std::nullopt;
        for (int attempt = 0; attempt < 5; ++attempt) {
            auto reply = pollWithin(udp);
            server->drain();
            if (reply && reply->length() == 8 && readU32(reply->data(), 4) == 0x5151)
                return readU32(reply->data(), 0);
        }
        return std::nullopt;
    }

    std::unique_ptr<ServerProcess> server;
    UdpEndpoint udp;
};

TEST_F(HttpFrontE2eTest, OffByDefault) {
    const std::set<unsigned> before = listeningPorts();
    startServer("");
    EXPECT_NE(server->output().find("Settings: [Http] Port=0 MaxAge=5 Timeout=10 MaxConnections=64 "
                                    "MaxConnectionsPerAddress=8 Address=127.0.0.1; off\n"),
              std::string::npos);
    announce({zone("Quiet", 5000)});
    EXPECT_EQ(listeningPorts(), before) << "the server listens on no TCP port";
    HttpConnection connection(kHttpPort);
    EXPECT_FALSE(connection.connected());
}

TEST_F(HttpFrontE2eTest, ZonesJsonHoldsTheListWithEveryCachingRule) {
    startServer(httpSettings("MaxAge=7\n"));
    const std::vector<ZoneUpdate> zones = {
        zone("Alpha", 5000, "first"),
        zone("<b>bold</b>", 5101, "quote \" backslash \\ tab\t high \xe9"),
        zone("Gamma Ray", 5202, ""),
    };
    announce(zones);
    JsonValue list;
    const auto response = listOf(3, list);
    ASSERT_TRUE(response) << server->output();
    // Exactly the list, in order, every field.
    const auto& items = list.members["zones"].items;
    ASSERT_EQ(items.size(), zones.size());
    for (size_t i = 0; i < zones.size(); ++i) {
        SCOPED_TRACE(i);
        auto members = items[i].members;
        EXPECT_EQ(members.size(), 9u);
        expectJsonZone(members, "127.0.0.1", zones[i]);
        EXPECT_LE(members["last_heard"].number, 5u);
        EXPECT_EQ(members["last_heard"].kind, JsonValue::Kind::Number);
        EXPECT_EQ(members["source"].text, "update");
    }
    const int64_t generated = static_cast<int64_t>(list.members["generated"].number);
    EXPECT_LE(std::abs(generated - static_cast<int64_t>(time(nullptr))), 30);

    // The headers of the identity representation.
    EXPECT_EQ(response->header("content-type"), "application/json");
    const std::string tag = response->header("etag");
    ASSERT_GE(tag.size(), 3u);
    EXPECT_EQ(tag.front(), '"') << "a strong tag, not W/";
    EXPECT_EQ(tag.back(), '"');
    EXPECT_EQ(response->header("cache-control"), "max-age=7");
    EXPECT_EQ(response->header("vary"), "Accept-Encoding");
    EXPECT_EQ(parseHttpDate(response->header("last-modified")), generated);
    EXPECT_EQ(response->header("content-length"), std::to_string(response->body.size()));

    struct Row {
        const char* what;
        std::string method;
        std::string headers;
        int status;
        bool gzip;
    };
    const Row rows[] = {
        {"gzip", "GET", "Accept-Encoding: gzip\r\n", 200, true},
        {"HEAD", "HEAD", "", 200, false},
        {"HEAD gzip", "HEAD", "Accept-Encoding: gzip\r\n", 200, true},
        {"If-None-Match", "GET", "If-None-Match: " + tag + "\r\n", 304, false},
        {"If-None-Match in a list", "GET", "If-None-Match: \"x\", " + tag + "\r\n", 304, false},
        {"If-Modified-Since", "GET", "If-Modified-Since: " + response->header("last-modified") + "\r\n",
         304, false},
        {"If-Modified-Since earlier", "GET",
         "If-Modified-Since: " + httpDate(generated - 60) + "\r\n", 200, false},
        {"another tag", "GET", "If-None-Match: \"nope\"\r\n", 200, false},
        {"weak form of the tag", "GET", "If-None-Match: W/" + tag + "\r\n", 304, false},
        {"identity tag, gzip accepted", "GET", "If-None-Match: " + tag + "\r\nAccept-Encoding: gzip\r\n",
         200, true},
        {"a tag wins over a date", "GET",
         "If-None-Match: \"nope\"\r\nIf-Modified-Since: " + response->header("last-modified") + "\r\n",
         200, false},
        {"gzip refused by quality", "GET", "Accept-Encoding: gzip;q=0\r\n", 200, false},
    };
    std::string gzipTag;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const auto answer = get("/zones.json", row.headers, row.method);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, row.status);
        EXPECT_EQ(answer->header("cache-control"), "max-age=7");
        EXPECT_EQ(answer->header("vary"), "Accept-Encoding");
        if (row.status == 304) {
            EXPECT_EQ(answer->header("etag"), tag);
            EXPECT_TRUE(answer->body.empty());
            continue;
        }
        EXPECT_EQ(answer->header("content-encoding"), row.gzip ? "gzip" : "");
        if (row.method == "HEAD") {
            EXPECT_TRUE(answer->body.empty());
            EXPECT_NE(answer->header("content-length"), "0");
            if (!row.gzip) {
                EXPECT_EQ(answer->header("content-length"), std::to_string(response->body.size()));
            }
            continue;
        }
        if (row.gzip) {
            std::string decoded;
            ASSERT_TRUE(gzipDecompress(answer->body, decoded));
            EXPECT_EQ(decoded, response->body) << "gzip decodes to the same list";
            EXPECT_NE(answer->header("etag"), tag);
            gzipTag = answer->header("etag");
        } else {
            EXPECT_EQ(answer->body, response->body);
        }
    }
    const auto gzip304 = get("/zones.json", "Accept-Encoding: gzip\r\nIf-None-Match: " + gzipTag + "\r\n");
    ASSERT_TRUE(gzip304);
    EXPECT_EQ(gzip304->status, 304);

    // A change gives a new tag, and the old one no longer gets a 304.
    announce({zone("Delta", 5303)});
    JsonValue longer;
    const auto changed = listOf(4, longer);
    ASSERT_TRUE(changed);
    EXPECT_NE(changed->header("etag"), tag);
    EXPECT_EQ(longer.members["zones"].items[3].members["name"].text, "Delta");
    const auto stale = get("/zones.json", "If-None-Match: " + tag + "\r\n");
    ASSERT_TRUE(stale);
    EXPECT_EQ(stale->status, 200);
    EXPECT_EQ(stale->header("etag"), changed->header("etag"));
}

TEST_F(HttpFrontE2eTest, MetricsHealthAndEveryOtherRequest) {
    startServer(httpSettings());
    announce({zone("One", 5000), zone("Two", 5001)});
    bool counted = false;
    for (int attempt = 0; attempt < 50 && !counted; ++attempt) {
        const auto metrics = get("/metrics");
        ASSERT_TRUE(metrics);
        EXPECT_EQ(metrics->status, 200);
        EXPECT_EQ(metrics->header("content-type"), "text/plain; version=0.0.4");
        counted = metrics->body.find("\nkelvaro_zones 2\n") != std::string::npos;
        if (!counted) sleepMs(100);
    }
    EXPECT_TRUE(counted) << "the zone count reaches /metrics within seconds";
    struct Row {
        std::string method;
        std::string path;
        int status;
        std::string body;
    };
    const Row rows[] = {
        {"GET", "/healthz", 200, "ok"},
        {"HEAD", "/healthz", 200, ""},
        {"GET", "/nothing", 404, "not found\n"},
        {"GET", "/zones.json/", 404, "not found\n"},
        {"POST", "/zones.json", 405, "method not allowed\n"},
        {"PUT", "/", 405, "method not allowed\n"},
        {"DELETE", "/healthz", 405, "method not allowed\n"},
        {"PATCH", "/nothing", 405, "method not allowed\n"},
    };
    for (const Row& row : rows) {
        const auto answer = get(row.path, {}, row.method);
        ASSERT_TRUE(answer) << row.method << " " << row.path;
        EXPECT_EQ(answer->status, row.status) << row.method << " " << row.path;
        EXPECT_EQ(answer->body, row.body) << row.method << " " << row.path;
        if (row.status == 405) {
            EXPECT_EQ(answer->header("allow"), "GET, HEAD");
        }
    }
    // A body sent with a refused request is never read: the answer comes and
    // the connection closes although the body never arrives.
    HttpConnection connection(kHttpPort);
    ASSERT_TRUE(connection.sendRaw("POST /zones.json HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n"));
    const auto refused = connection.readResponse(false, drain(), 10000);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 405);
    EXPECT_TRUE(connection.waitClosed(10000, drain()));
}

TEST_F(HttpFrontE2eTest, APortThatCannotBeBoundStopsTheServerBeforeTheBanner) {
    const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(taken, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kHttpPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(taken, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 4), 0);
    ServerProcess blocked(httpSettings());
    EXPECT_EQ(blocked.waitForExit(10000), 1);
    const std::string printed = withoutReport(blocked.output());
    EXPECT_EQ(printed, "HTTP bind(" + std::to_string(kHttpPort) + ") error: Address already in use\n");
    ::close(taken);
    ServerProcess badAddress(httpSettings("Address=any\n"));
    EXPECT_EQ(badAddress.waitForExit(10000), 1);
    EXPECT_EQ(withoutReport(badAddress.output()),
              "HTTP [Http] Address=any is not a dotted-quad IPv4 address\n");
}

TEST_F(HttpFrontE2eTest, HundredsOfIdleConnectionsLeaveTheUdpServiceAnsweringAndAreClosed) {
    startServer(httpSettings("Timeout=2\nMaxConnections=400\nMaxConnectionsPerAddress=400\n"));
    announce({zone("Before", 5000)});
    std::vector<std::unique_ptr<HttpConnection>> idle;
    for (int i = 0; i < 300; ++i) {
        idle.push_back(std::make_unique<HttpConnection>(kHttpPort));
        ASSERT_TRUE(idle.back()->connected()) << i;
    }
    // One half-sent request among them: a slow client holds nothing up either.
    ASSERT_TRUE(idle.front()->sendRaw("GET /zones.json HTTP/1.1\r\nHo"));
    for (int round = 0; round < 3; ++round) EXPECT_EQ(zoneCount(), 1u) << round;
    announce({zone("During", 5001)});
    EXPECT_EQ(zoneCount(), 2u);
    const auto health = get("/healthz");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->body, "ok");
    // Every idle one is closed by the server once its time-out has passed.
    int closed = 0;
    for (auto& connection : idle) closed += connection->waitClosed(20000, drain()) ? 1 : 0;
    EXPECT_EQ(closed, 300);
    EXPECT_EQ(zoneCount(), 2u);
}

// A server that pauses ten minutes between iterations but wakes on traffic
// answers HTTP as promptly as UDP: the front's descriptor is in the wait.
TEST_F(HttpFrontE2eTest, RequestsEndAPauseThatWakesOnTraffic) {
    startServer(httpSettings("[CPU]\nIterationSleepTime=600000\nWakeOnTraffic=1\n"));
    HttpConnection connection(kHttpPort);
    for (int round = 0; round < 3; ++round) {
        const auto answer = connection.request("GET", "/healthz", {}, drain(), 20000);
        ASSERT_TRUE(answer) << "round " << round;
        EXPECT_EQ(answer->body, "ok");
    }
    HttpConnection another(kHttpPort);
    const auto list = another.request("GET", "/zones.json", "Accept-Encoding: gzip\r\n", drain(), 20000);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->status, 200);
}

// The page in a real browser. Chromium is part of the development set-up
// (./dev installs it), so a machine without it fails here rather than
// passing without the check.
TEST_F(HttpFrontE2eTest, ChromiumShowsEveryZoneOfTheListAndHostileNamesAsText) {
    ASSERT_EQ(access(kChromium, X_OK), 0) << kChromium << " is missing: ./dev installs it";
    startServer(httpSettings("MaxAge=2\n"));
    std::vector<ZoneUpdate> zones;
    for (uint16_t i = 0; i < 150; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Zone %03u", static_cast<unsigned>(i));
        zones.push_back(zone(name, static_cast<uint16_t>(6000 + i), "plain"));
    }
    zones.push_back(zone("<b>bold</b>", 7000, "<script>document.title='owned'</script>"));
    zones.push_back(zone("<img src=x onerror=alert(1)>", 7001, "&amp; <i>it</i>"));
    announce(zones);
    JsonValue list;
    ASSERT_TRUE(listOf(152, list));

    // As loaded, and again after the script has refreshed the list a few
    // times (the browser's virtual clock runs through its timers).
    for (const char* budget : {"", "--virtual-time-budget=8000"}) {
        SCOPED_TRACE(*budget != '\0' ? budget : "as loaded");
        TempDirectory profile;
        std::vector<std::string> arguments = {
            "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-extensions", "--disable-default-apps", "--no-proxy-server",
            "--user-data-dir=" + profile.path(), "--dump-dom",
            "http://127.0.0.1:" + std::to_string(kHttpPort) + "/"};
        if (*budget != '\0') arguments.insert(arguments.begin() + 1, budget);
        ToolRun browser(kChromium, arguments);
        const ToolResult result = browser.wait(server.get(), 120000);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        expectEveryZoneAsText(result.out, zones);
    }
}

// The chart, a page of rows and the peers in a real browser. The directory
// has just started, so its history holds at most a sample or two; the chart
// always ends on the list's own point.
TEST_F(HttpFrontE2eTest, ChromiumDrawsTheChartAndShowsOnePageOfRowsAndThePeers) {
    ASSERT_EQ(access(kChromium, X_OK), 0) << kChromium << " is missing: ./dev installs it";
    startServer(httpSettings() + "[Directory]\nIP=127.0.0.1\nDownloadTime=0\n");
    std::vector<ZoneUpdate> zones;
    for (uint16_t i = 0; i < 205; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Zone %03u", static_cast<unsigned>(i));
        zones.push_back(zone(name, static_cast<uint16_t>(6000 + i)));
    }
    announce(zones);
    JsonValue list;
    ASSERT_TRUE(listOf(zones.size(), list));
    TempDirectory profile;
    ToolRun browser(kChromium, {"--headless", "--virtual-time-budget=5000", "--no-sandbox",
                                "--disable-gpu", "--disable-quic", "--no-first-run",
                                "--disable-background-networking", "--disable-component-update",
                                "--disable-sync", "--disable-extensions", "--no-proxy-server",
                                "--user-data-dir=" + profile.path(), "--dump-dom",
                                "http://127.0.0.1:" + std::to_string(kHttpPort) + "/"});
    const ToolResult result = browser.wait(server.get(), 120000);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::string& dom = result.out;
    EXPECT_NE(dom.find("<canvas"), std::string::npos) << "no chart";
    const size_t drawn = dom.find("data-points=\"");
    ASSERT_NE(drawn, std::string::npos) << "the chart was not drawn";
    EXPECT_GE(std::atoi(dom.c_str() + drawn + 13), 1) << "the chart was not drawn";
    // The page's own script holds the note's text once; a shown note is a second.
    size_t notes = 0;
    for (size_t at = dom.find("(no history: "); at != std::string::npos; at = dom.find("(no history: ", at + 1))
        ++notes;
    EXPECT_EQ(notes, 1u) << "the history was not read";

    const size_t rowsStart = dom.find("<tbody>");
    const size_t rowsEnd = dom.find("</tbody>");
    ASSERT_LT(rowsStart, rowsEnd) << "no zone table";
    const std::string rows = dom.substr(rowsStart, rowsEnd - rowsStart);
    size_t rowCount = 0;
    for (size_t at = rows.find("<tr>"); at != std::string::npos; at = rows.find("<tr>", at + 1))
        ++rowCount;
    EXPECT_EQ(rowCount, 200u) << "one page of rows";
    EXPECT_NE(rows.find(">Zone 199<"), std::string::npos);
    EXPECT_EQ(rows.find(">Zone 200<"), std::string::npos) << "on the next page";
    EXPECT_NE(dom.find("rows 1-200 of 205"), std::string::npos);

    const size_t peersStart = dom.find("<table id=\"peers\">");
    ASSERT_NE(peersStart, std::string::npos);
    const std::string peers = dom.substr(peersStart, dom.find("</table>", peersStart) - peersStart);
    EXPECT_NE(peers.find(">127.0.0.1<"), std::string::npos) << "no row for the peer";
}

}  // namespace
}  // namespace kelvaro::testing_support
