#include "service/history_keeper.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvaro {
namespace {

constexpr int64_t kMinute = 60;
constexpr int64_t kStart = 1'700'000'000 - 1'700'000'000 % 3600;  // on an hour

using Arguments = std::vector<std::pair<std::string, std::string>>;

uint32_t ip(const char* text) {
    uint32_t address = 0;
    inet_pton(AF_INET, text, &address);
    return address;
}

TEST(HistoryKeeperTest, QueryArgumentsAreReadOrRefusedWithAReason) {
    struct Case {
        Arguments arguments;
        const char* refusal;  // part of the reason; null when accepted
        HistoryRange range;
        bool forZone;
    };
    const Case cases[] = {
        {{}, nullptr, HistoryRange::Day, false},
        {{{"range", "24h"}}, nullptr, HistoryRange::Day, false},
        {{{"range", "7d"}}, nullptr, HistoryRange::Week, false},
        {{{"zone", "10.1.2.3:65535"}, {"range", "90d"}}, nullptr, HistoryRange::Quarter, true},
        {{{"range", "1d"}}, "24h, 7d or 90d", {}, false},
        {{{"range", ""}}, "24h, 7d or 90d", {}, false},
        {{{"range", "24H"}}, "24h, 7d or 90d", {}, false},
        {{{"range", "24h"}, {"range", "7d"}}, "twice", {}, false},
        {{{"zone", "10.1.2.3"}}, "ADDRESS:PORT", {}, false},
        {{{"zone", "10.1.2.3:0"}}, "ADDRESS:PORT", {}, false},
        {{{"zone", "10.1.2.3:65536"}}, "ADDRESS:PORT", {}, false},
        {{{"zone", "10.1.2.3:+80"}}, "ADDRESS:PORT", {}, false},
        {{{"zone", "10.1.2.3:80x"}}, "ADDRESS:PORT", {}, false},
        {{{"zone", "10.1.2:80"}}, "ADDRESS:PORT", {}, false},
        {{{"zone", ":80"}}, "ADDRESS:PORT", {}, false},
        {{{"zone", "1.2.3.4:5"}, {"zone", "1.2.3.4:6"}}, "twice", {}, false},
        {{{"page", "2"}}, "unknown parameter page", {}, false},
    };
    for (const Case& c : cases) {
        HistoryQuery query;
        std::string reason;
        const bool accepted = parseHistoryQuery(c.arguments, query, reason);
        const std::string label = c.arguments.empty() ? "(none)" : c.arguments[0].first + "=" + c.arguments[0].second;
        if (c.refusal == nullptr) {
            ASSERT_TRUE(accepted) << label << ": " << reason;
            EXPECT_EQ(query.range, c.range) << label;
            EXPECT_EQ(query.forZone, c.forZone) << label;
        } else {
            ASSERT_FALSE(accepted) << label;
            EXPECT_NE(reason.find(c.refusal), std::string::npos) << label << ": " << reason;
            EXPECT_EQ(reason.find('\n'), std::string::npos) << label;
        }
    }
    HistoryQuery query;
    std::string reason;
    ASSERT_TRUE(parseHistoryQuery({{"zone", "10.1.2.3:7000"}}, query, reason));
    EXPECT_EQ(query.address, ip("10.1.2.3"));
    EXPECT_EQ(query.port, 7000);
}

TEST(HistoryKeeperTest, DocumentShapes) {
    const std::vector<HistoryPoint> points = {{kStart, 2.5, 10.3333, 3, 12}, {kStart + 3600, 2, 7, 2, 7}};
    HistoryQuery day;
    EXPECT_EQ(historyJson(day, {}), "{\"range\":\"24h\",\"points\":[]}\n");
    EXPECT_EQ(historyJson(day, points),
              "{\"range\":\"24h\",\"points\":[[1699999200,2.5,10.33],[1700002800,2,7]]}\n");
    HistoryQuery week;
    week.range = HistoryRange::Week;
    week.forZone = true;
    week.address = ip("10.0.0.9");
    week.port = 7000;
    EXPECT_EQ(historyJson(week, points),
              "{\"range\":\"7d\",\"zone\":\"10.0.0.9:7000\",\"points\":[[1699999200,10.33],"
              "[1700002800,7]],\"peaks\":[[1699999200,12],[1700002800,7]]}\n");
    week.forZone = false;
    week.range = HistoryRange::Quarter;
    EXPECT_EQ(historyJson(week, points).substr(0, 16), "{\"range\":\"90d\",\"");
    EXPECT_NE(historyJson(week, points).find("\"peaks\":[[1699999200,3,12],[1700002800,2,7]]"),
              std::string::npos);
}

// The memory's samples, taken from a real list: totals per minute, one
// zone's own points, and hours folded to average and peak.
TEST(HistoryKeeperTest, MemoryAnswersTotalsZonesAndHours) {
    ZoneList zones;
    ASSERT_EQ(zones.addOrUpdate(ip("10.0.0.1"), 7000, 4, 0, 0, "One", ""), ZoneChange::Added);
    ASSERT_EQ(zones.addOrUpdate(ip("10.0.0.2"), 7000, 1, 0, 0, "Two", ""), ZoneChange::Added);
    HistoryKeeper history(kMinute);
    EXPECT_FALSE(history.iterate(zones, kStart - 1)) << "the first call only finds the boundary";
    EXPECT_TRUE(history.iterate(zones, kStart + 5));
    EXPECT_FALSE(history.iterate(zones, kStart + 59));
    ASSERT_NE(zones.find(ip("10.0.0.1"), 7000), nullptr);
    zones.find(ip("10.0.0.1"), 7000)->population = 8;  // as a ping reply sets it
    EXPECT_TRUE(history.iterate(zones, kStart + kMinute));
    EXPECT_FALSE(history.iterate(zones, kStart + 10)) << "a clock set back takes no sample";
    EXPECT_TRUE(history.iterate(zones, kStart + 3600));  // the next hour
    EXPECT_EQ(history.samplesTaken(), 3u);

    std::vector<HistoryPoint> points;
    HistoryQuery query;
    ASSERT_TRUE(history.points(query, kStart + 3600, points));
    ASSERT_EQ(points.size(), 3u);
    EXPECT_EQ(points[0].unixSeconds, kStart);  // on the boundary, not when asked
    EXPECT_EQ(points[0].zones, 2);
    EXPECT_EQ(points[0].population, 5);
    EXPECT_EQ(points[1].population, 9);
    query.forZone = true;
    query.address = ip("10.0.0.1");
    query.port = 7000;
    query.range = HistoryRange::Week;
    ASSERT_TRUE(history.points(query, kStart + 3600, points));
    ASSERT_EQ(points.size(), 2u);
    EXPECT_DOUBLE_EQ(points[0].population, 6);
    EXPECT_DOUBLE_EQ(points[0].peakPopulation, 8);
    EXPECT_EQ(points[1].unixSeconds, kStart + 3600);
    // A day on, the first samples have left the range and the memory.
    query.range = HistoryRange::Day;
    ASSERT_TRUE(history.points(query, kStart + 86400 + 30, points));
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[0].unixSeconds, kStart + kMinute);
}

TEST(HistoryKeeperTest, MemoryKeepsADayAndBoundsItsZonePoints) {
    HistoryMemory memory;
    const size_t perSample = kHistoryMemoryPoints / 4 + 1;
    for (int64_t i = 0; i < 6; ++i) {
        HistorySample sample;
        sample.unixSeconds = kStart + i * kMinute;
        sample.zoneCount = static_cast<uint32_t>(perSample);
        sample.points.assign(perSample, {{ip("10.0.0.1"), 7000}, static_cast<uint16_t>(i)});
        memory.add(std::move(sample));
    }
    EXPECT_LE(memory.zonePoints(), kHistoryMemoryPoints);
    EXPECT_EQ(memory.zonePoints(), 3 * perSample);
    std::vector<HistoryPoint> points;
    memory.totals(0, false, points);
    EXPECT_EQ(points.size(), 6u) << "totals outlive their zone points";
    memory.zone({ip("10.0.0.1"), 7000}, 0, false, points);
    ASSERT_EQ(points.size(), 3u);
    EXPECT_EQ(points[0].population, 3);
    HistorySample late;
    late.unixSeconds = kStart + 86400 + 2 * kMinute;  // the first three are a day old
    memory.add(std::move(late));
    EXPECT_EQ(memory.samples(), 4u);
    EXPECT_EQ(memory.zonePoints(), 3 * perSample);
}

}  // namespace
}  // namespace kelvaro
