// IPv6 zones reach a game client through the HTTP front: the real server with
// ListenIPv6=1, a zone announced over each family and one over both, read
// back with kelvaro_fetch_web over 127.0.0.1 and over ::1, and with
// kelvaro_query list --http-port.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "e2e/server_process.h"
#include "kelvaro.h"
#include "support/http_client.h"
#include "support/strict_json.h"
#include "support/zone_wire.h"
#include "util/ip_address.h"

namespace kelvaro::testing_support {
namespace {

constexpr uint16_t kHttpPort = 18081;
constexpr const char* kQueryTool = KELVARO_TOOLS_DIR "/kelvaro_query";

class WebFetchE2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(sender.open(0), 0);
        if (sender.openV6(0) < 0) GTEST_SKIP() << "no IPv6 here";
        server.emplace("[Core]\nListenIPv6=1\n[Http]\nPort=" + std::to_string(kHttpPort) + "\n");
        ASSERT_TRUE(server->waitForLine(kBannerLine)) << server->output();
    }

    void announce(const ZoneUpdate& zone, const char* from) {
        IpAddress loopback;
        ASSERT_TRUE(parseIpAddress(from, loopback));
        sender.setDestination(loopback, kServerUpdatePort);
        const std::vector<uint8_t> datagram = updateDatagram(zone);
        ASSERT_TRUE(sender.send(datagram.data(), datagram.size()));
        ASSERT_TRUE(server->waitForLine("---Update : " + zone.name)) << server->output();
    }

    // The zones over address once the document lists entries of them (it is
    // rebuilt within a second of a change).
    std::vector<kelvaro_web_zone> fetchOnceListed(const char* address, size_t entries) {
        std::vector<kelvaro_web_zone> found;
        for (int attempt = 0; attempt < 200 && found.size() != entries; ++attempt) {
            kelvaro_web_zone* zones = nullptr;
            size_t count = 0;
            const kelvaro_status status =
                kelvaro_fetch_web(address, kHttpPort, 5000, 0, &zones, &count);
            EXPECT_EQ(status, KELVARO_OK) << address << ": " << kelvaro_strerror(status);
            found.assign(zones, zones + count);
            kelvaro_free_web_zones(zones);
            if (found.size() != entries) {
                server->drain();
                sleepMs(20);
            }
        }
        return found;
    }

    UdpEndpoint sender;  // plays every zone, from either family
    std::optional<ServerProcess> server;
};

const kelvaro_web_zone* named(const std::vector<kelvaro_web_zone>& zones, const std::string& name) {
    const auto found = std::find_if(zones.begin(), zones.end(),
                                    [&](const kelvaro_web_zone& z) { return name == z.zone.name; });
    return found == zones.end() ? nullptr : &*found;
}

TEST_F(WebFetchE2eTest, ZonesOfBothFamiliesComeBackOverEitherFamily) {
    const ZoneUpdate four{6000, 3, 0, 1006000, "Four", "pw", "announced as Four"};
    const ZoneUpdate six{6003, 5, 1, 1006003, "Six", "pw", "announced as Six"};
    const ZoneUpdate both{6004, 7, 0, 1006004, "Both", "pw", "announced as Both"};
    const ZoneUpdate bothOn6{6006, 7, 0, 1006004, "Both", "pw", "announced as Both"};
    announce(four, "127.0.0.1");
    announce(six, "::1");
    announce(both, "127.0.0.1");
    announce(bothOn6, "::1");

    for (const char* address : {"127.0.0.1", "::1", "[::1]"}) {
        SCOPED_TRACE(address);
        const std::vector<kelvaro_web_zone> listed = fetchOnceListed(address, 3);
        ASSERT_EQ(listed.size(), 3u);
        struct Expected {
            const ZoneUpdate& zone;
            int family;
            const char* address;
            const char* address6;
        };
        for (const Expected& e : {Expected{four, KELVARO_FAMILY_IPV4, "127.0.0.1", ""},
                                  Expected{six, KELVARO_FAMILY_IPV6, "::1", ""},
                                  Expected{both, KELVARO_FAMILY_IPV4, "127.0.0.1", "::1"}}) {
            SCOPED_TRACE(e.zone.name);
            const kelvaro_web_zone* zone = named(listed, e.zone.name);
            ASSERT_NE(zone, nullptr);
            EXPECT_EQ(zone->zone.family, e.family);
            EXPECT_STREQ(zone->zone.address_text, e.address);
            EXPECT_EQ(zone->zone.address, e.family == KELVARO_FAMILY_IPV4 ? kLoopback : 0u);
            EXPECT_EQ(zone->zone.port, e.zone.port);
            EXPECT_EQ(zone->zone.population, e.zone.population);
            EXPECT_EQ(zone->zone.flag, e.zone.zoneFlag);
            EXPECT_EQ(zone->zone.word, e.zone.zoneWord);
            EXPECT_EQ(std::string(zone->zone.description, zone->zone.description_length),
                      e.zone.description);
            EXPECT_STREQ(zone->address6_text, e.address6);
            EXPECT_EQ(zone->port6, *e.address6 != '\0' ? bothOn6.port : 0);
            EXPECT_EQ(zone->from_peer, 0);
        }
    }

    // The tool over IPv6: the same zones, each entry written as /zones.json
    // writes it up to its last_heard.
    ToolRun run(kQueryTool, {"list", "::1", "--http-port", std::to_string(kHttpPort), "--format",
                             "json"});
    const ToolResult result = run.wait(&*server, 10000);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    JsonValue list;
    ASSERT_TRUE(StrictJson::parse(result.out, list)) << result.out;
    ASSERT_EQ(list.items.size(), 3u) << result.out;
    HttpConnection connection(kHttpPort);
    const auto document = connection.request("GET", "/zones.json");
    ASSERT_TRUE(document.has_value());
    size_t lines = 0;
    for (size_t at = result.out.find("\n {"); at != std::string::npos;
         at = result.out.find("\n {", at + 1), ++lines) {
        std::string entry = result.out.substr(at, result.out.find('}', at) - at);
        EXPECT_NE(document->body.find(entry + ",\"last_heard\":"), std::string::npos)
            << entry << "\n" << document->body;
    }
    EXPECT_EQ(lines, 3u);
    EXPECT_NE(result.out.find("{\"address\":\"::1\",\"port\":6003,"), std::string::npos);
    EXPECT_NE(result.out.find(",\"address6\":\"::1\",\"port6\":6006,"
                              "\"addresses\":[\"127.0.0.1:6004\",\"[::1]:6006\"]}"),
              std::string::npos)
        << result.out;

    // --min is applied by the tool; tsv keeps its six columns.
    ToolRun filtered(kQueryTool, {"list", "[::1]", "--http-port", std::to_string(kHttpPort),
                                  "--min", "5", "--format", "tsv"});
    const ToolResult tsv = filtered.wait(&*server, 10000);
    ASSERT_EQ(tsv.exitCode, 0) << tsv.err;
    EXPECT_NE(tsv.out.find("::1\t6003\t5\t1\tSix\tannounced as Six\n"), std::string::npos)
        << tsv.out;
    EXPECT_NE(tsv.out.find("127.0.0.1\t6004\t7\t0\tBoth\tannounced as Both\n"), std::string::npos)
        << tsv.out;
    EXPECT_EQ(tsv.out.find("Four"), std::string::npos) << tsv.out;

    // The table shows the second address in a column of its own.
    ToolRun tabled(kQueryTool, {"list", "127.0.0.1", "--http-port", std::to_string(kHttpPort),
                                "--format", "table"});
    const ToolResult table = tabled.wait(&*server, 10000);
    ASSERT_EQ(table.exitCode, 0) << table.err;
    const size_t header = table.out.find('\n');
    ASSERT_NE(header, std::string::npos);
    EXPECT_NE(table.out.substr(0, header).find(" ADDRESS6 "), std::string::npos) << table.out;
    const size_t bothLine = table.out.find("127.0.0.1  6004  [::1]:6006");
    EXPECT_NE(bothLine, std::string::npos) << table.out;
    EXPECT_EQ(table.out.substr(bothLine, table.out.find('\n', bothLine) - bothLine).find("Both"),
              table.out.substr(0, header).find("NAME"))
        << table.out;
}

}  // namespace
}  // namespace kelvaro::testing_support
