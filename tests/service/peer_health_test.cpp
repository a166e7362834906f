// The health of each configured peer: the state a run of downloads leaves,
// the zones of its last list still held, and the document and gauges that
// report them.

#include "service/peer_health.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/strict_json.h"
#include "zones/zone_key.h"

namespace kelvaro::testing_support {
namespace {

constexpr uint32_t kInterval = 60000;  // DownloadTime, ms
const uint32_t kPeerA = inet_addr("127.0.0.2");
const uint32_t kPeerB = inet_addr("127.0.0.3");

PeerTable twoPeers() {
    const uint32_t addresses[] = {kPeerA, kPeerB};
    return PeerTable({"peer-a.example", "127.0.0.3"}, addresses, 2);
}

// Each step happens at tick `at` to peer 0; `failing` is the state right
// after it (and `later` the state at the tick given with it).
TEST(PeerHealthTest, APeerIsFailingOnlyAfterThreeIntervalsWithoutAList) {
    enum class Event { Start, Complete, Fail, Look };
    struct Step {
        Event event;
        uint32_t at;
        bool failing;
    };
    struct Story {
        const char* name;
        std::vector<Step> steps;
    };
    const uint32_t base = 0xFFFF0000u;  // the tick counter wraps during the stories
    const Story stories[] = {
        {"never tried", {{Event::Look, base + 10 * kInterval, false}}},
        {"first try still running long after",
         {{Event::Start, base, false}, {Event::Look, base + 5 * kInterval, false}}},
        {"never answered: failing once its first try is three intervals back",
         {{Event::Start, base, false},
          {Event::Fail, base + 1000, false},
          {Event::Start, base + kInterval, false},
          {Event::Fail, base + kInterval + 1000, false},
          {Event::Look, base + 3 * kInterval, false},
          {Event::Look, base + 3 * kInterval + 1, true}}},
        {"answered, then stopped: counted from its last list",
         {{Event::Start, base, false},
          {Event::Complete, base + 500, false},
          {Event::Start, base + kInterval, false},
          {Event::Fail, base + kInterval + 1000, false},
          {Event::Look, base + 500 + 3 * kInterval, false},
          {Event::Look, base + 501 + 3 * kInterval, true}}},
        {"a list brings it back at once",
         {{Event::Start, base, false},
          {Event::Fail, base + 1000, false},
          {Event::Look, base + 4 * kInterval, true},
          {Event::Start, base + 4 * kInterval, true},
          {Event::Complete, base + 4 * kInterval + 10, false},
          {Event::Look, base + 9 * kInterval, false}}},
        {"a try under way after failing keeps it failing until the list",
         {{Event::Start, base, false},
          {Event::Fail, base + 1000, false},
          {Event::Look, base + 4 * kInterval, true},
          {Event::Start, base + 4 * kInterval, true},
          {Event::Look, base + 5 * kInterval, true}}},
    };
    for (const Story& story : stories) {
        SCOPED_TRACE(story.name);
        PeerTable table = twoPeers();
        for (const Step& step : story.steps) {
            if (step.event == Event::Start) table.started(0, step.at, 1);
            if (step.event == Event::Complete) table.completed(0, step.at, 2, {});
            if (step.event == Event::Fail) table.failed(0, 3);
            EXPECT_EQ(table.failing(0, step.at, kInterval), step.failing) << "at +" << step.at - base;
            EXPECT_FALSE(table.failing(1, step.at, kInterval)) << "the other peer";
        }
    }
}

TEST(PeerHealthTest, ZonesHeldCountsTheLastListsZonesStillListedFromAPeer) {
    ZoneList zones;
    const uint32_t zoneHost = inet_addr("10.0.0.1");
    ASSERT_EQ(zones.addOrUpdate(zoneHost, 5000, 1, 0, 0, "FromPeer", "", ZoneSource::Peer),
              ZoneChange::Added);
    ASSERT_EQ(zones.addOrUpdate(zoneHost, 5001, 1, 0, 0, "OwnUpdate", "", ZoneSource::Update),
              ZoneChange::Added);
    PeerTable table = twoPeers();
    table.started(1, 100, 1800000000);
    // 5002 is in the list but no longer held; 5001 now updates itself.
    table.completed(1, 200, 1800000001,
                    {zoneKey(zoneHost, 5000), zoneKey(zoneHost, 5001), zoneKey(zoneHost, 5002)});
    EXPECT_EQ(table[1].lastListZones, 3);
    EXPECT_EQ(table.zonesHeld(1, zones), 1);
    EXPECT_EQ(table.zonesHeld(0, zones), 0);
    EXPECT_EQ(table.zonesHeld(7, zones), 0) << "an index outside the table";

    table.started(0, 100, 1800000000);
    table.failed(0, 1800000005);
    const std::string text = peersJson(table, zones, 200 + 3 * kInterval + 1, 1800000200, kInterval);
    JsonValue document;
    ASSERT_TRUE(StrictJson::parse(text, document)) << text;
    ASSERT_EQ(document.members["peers"].items.size(), 2u);
    JsonValue& a = document.members["peers"].items[0];
    JsonValue& b = document.members["peers"].items[1];
    EXPECT_EQ(a.members["peer"].text, "peer-a.example");
    EXPECT_EQ(a.members["address"].text, "127.0.0.2");
    EXPECT_EQ(a.members["state"].text, "failing");
    EXPECT_EQ(a.members["last_outcome"].text, "failed");
    EXPECT_EQ(a.members["last_download"].number, 1800000005u);
    EXPECT_EQ(a.members["copy_age_seconds"].kind, JsonValue::Kind::Null);
    EXPECT_EQ(b.members["state"].text, "ok");
    EXPECT_EQ(b.members["last_completed"].number, 1800000001u);
    EXPECT_EQ(b.members["list_zones"].number, 3u);
    EXPECT_EQ(b.members["zones_held"].number, 1u);
    EXPECT_EQ(b.members["copy_age_seconds"].number, 180u);
    EXPECT_EQ(document.members["download_interval_seconds"].number, 60u);

    std::string metrics;
    appendPeerMetrics(metrics, table, zones, 200 + 3 * kInterval + 1, kInterval);
    for (const char* line : {"kelvaro_peer_failing{peer=\"127.0.0.2\",index=\"0\"} 1\n",
                             "kelvaro_peer_failing{peer=\"127.0.0.3\",index=\"1\"} 0\n",
                             "kelvaro_peer_zones_held{peer=\"127.0.0.3\",index=\"1\"} 1\n",
                             "kelvaro_peer_list_age_seconds{peer=\"127.0.0.2\",index=\"0\"} -1\n",
                             "kelvaro_peer_list_age_seconds{peer=\"127.0.0.3\",index=\"1\"} 180\n"})
        EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
}

}  // namespace
}  // namespace kelvaro::testing_support
