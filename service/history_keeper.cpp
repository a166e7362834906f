#include "service/history_keeper.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>

#include "service/state_keeper.h"

namespace kelvaro {
namespace {

constexpr int64_t kWeekSeconds = 7 * kHistoryDaySeconds;
constexpr int64_t kQuarterSeconds = 90 * kHistoryDaySeconds;
constexpr size_t kLongestArgument = 64;

const char* rangeName(HistoryRange range) {
    switch (range) {
    case HistoryRange::Day: return "24h";
    case HistoryRange::Week: return "7d";
    case HistoryRange::Quarter: return "90d";
    }
    return "24h";
}

// ADDRESS:PORT with a dotted quad or a bracketed IPv6 address ("[::1]:8303")
// and a port of 1..65535, nothing around.
bool parseZone(std::string_view text, IpAddress& address, uint16_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) return false;
    std::string_view host = text.substr(0, colon);
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);
    IpAddress parsed;
    if (!parseIpAddress(host, parsed) || parsed.isV6() != bracketed) return false;
    const std::string_view digits = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc{} || end != digits.data() + digits.size() || value < 1 || value > 65535)
        return false;
    address = parsed;
    port = static_cast<uint16_t>(value);
    return true;
}

// At most two decimals, and none for a whole number.
void appendNumber(std::string& out, double value) {
    char text[48];
    const int length = std::snprintf(text, sizeof text, "%.2f", value);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof text) {
        out += '0';
        return;
    }
    std::string_view shown(text, static_cast<size_t>(length));
    while (shown.back() == '0') shown.remove_suffix(1);
    if (shown.back() == '.') shown.remove_suffix(1);
    out += shown;
}

void appendInteger(std::string& out, int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

int64_t rangeStart(HistoryRange range, int64_t now) {
    switch (range) {
    case HistoryRange::Day: return now - kHistoryDaySeconds + 1;
    case HistoryRange::Week: return now - kWeekSeconds + 1;
    case HistoryRange::Quarter: return now - kQuarterSeconds + 1;
    }
    return now;
}

}  // namespace

bool parseHistoryQuery(const std::vector<std::pair<std::string, std::string>>& arguments,
                       HistoryQuery& query, std::string& reason) {
    query = {};
    bool rangeSeen = false;
    for (const auto& [name, value] : arguments) {
        if (name == "range") {
            if (rangeSeen) return reason = "range is given twice", false;
            rangeSeen = true;
            if (value == "24h") query.range = HistoryRange::Day;
            else if (value == "7d") query.range = HistoryRange::Week;
            else if (value == "90d") query.range = HistoryRange::Quarter;
            else return reason = "range must be 24h, 7d or 90d", false;
        } else if (name == "zone") {
            if (query.forZone) return reason = "zone is given twice", false;
            if (!parseZone(value, query.address, query.port))
                return reason = "zone must be ADDRESS:PORT (a dotted quad and a port 1-65535)", false;
            query.forZone = true;
        } else {
            reason = "unknown parameter " + name.substr(0, kLongestArgument);
            return false;
        }
    }
    return true;
}

std::string historyJson(const HistoryQuery& query, const std::vector<HistoryPoint>& points) {
    const bool hourly = query.range != HistoryRange::Day;
    std::string out = "{\"range\":\"";
    out += rangeName(query.range);
    out += '"';
    if (query.forZone) {
        out += ",\"zone\":\"";
        out += query.address.bracketedText();
        out += ':';
        appendInteger(out, query.port);
        out += '"';
    }
    out.reserve(out.size() + points.size() * (hourly ? 64 : 32) + 32);
    auto appendSeries = [&](const char* name, bool peaks) {
        out += ",\"";
        out += name;
        out += "\":[";
        for (size_t i = 0; i < points.size(); ++i) {
            const HistoryPoint& point = points[i];
            out += i == 0 ? "[" : ",[";
            appendInteger(out, point.unixSeconds);
            if (!query.forZone) {
                out += ',';
                appendNumber(out, peaks ? point.peakZones : point.zones);
            }
            out += ',';
            appendNumber(out, peaks ? point.peakPopulation : point.population);
            out += ']';
        }
        out += ']';
    };
    appendSeries("points", false);
    if (hourly) appendSeries("peaks", true);
    out += "}\n";
    return out;
}

std::vector<HistoryPoint> foldHours(const std::vector<HistoryPoint>& minutes) {
    std::vector<HistoryPoint> hours;
    size_t samples = 0;
    for (const HistoryPoint& minute : minutes) {
        const int64_t hour = minute.unixSeconds - minute.unixSeconds % kHistoryHourSeconds;
        if (hours.empty() || hours.back().unixSeconds != hour) {
            hours.push_back({hour, 0, 0, 0, 0});
            samples = 0;
        }
        HistoryPoint& point = hours.back();
        ++samples;
        // Running means: no sum to overflow, and each step is exact enough.
        const double n = static_cast<double>(samples);
        point.zones += (minute.zones - point.zones) / n;
        point.population += (minute.population - point.population) / n;
        point.peakZones = std::max(point.peakZones, minute.peakZones);
        point.peakPopulation = std::max(point.peakPopulation, minute.peakPopulation);
    }
    return hours;
}

void HistoryMemory::add(HistorySample sample) {
    const int64_t oldest = sample.unixSeconds - kHistoryDaySeconds;
    while (!held.empty() && held.front().unixSeconds <= oldest) {
        if (firstWithPoints > 0) --firstWithPoints;
        else pointsHeld -= held.front().points.size();
        held.pop_front();
    }
    pointsHeld += sample.points.size();
    held.push_back(std::move(sample));
    while (pointsHeld > kHistoryMemoryPoints && firstWithPoints < held.size()) {
        std::vector<HistoryZonePoint>& points = held[firstWithPoints++].points;
        pointsHeld -= points.size();
        points = {};
    }
}

void HistoryMemory::totals(int64_t fromUnixSeconds, bool hourly,
                           std::vector<HistoryPoint>& points) const {
    points.clear();
    for (const HistorySample& sample : held) {
        if (sample.unixSeconds < fromUnixSeconds) continue;
        const auto zones = static_cast<double>(sample.zoneCount);
        const auto population = static_cast<double>(sample.population);
        points.push_back({sample.unixSeconds, zones, population, zones, population});
    }
    if (hourly) points = foldHours(points);
}

// A linear look through each sample: asked seldom (a click on a zone), and
// cheaper than keeping every sample sorted on the service iteration.
void HistoryMemory::zone(StoredZoneKey key, int64_t fromUnixSeconds, bool hourly,
                         std::vector<HistoryPoint>& points) const {
    points.clear();
    for (size_t i = firstWithPoints; i < held.size(); ++i) {
        const HistorySample& sample = held[i];
        if (sample.unixSeconds < fromUnixSeconds) continue;
        for (const HistoryZonePoint& point : sample.points) {
            if (point.key.address != key.address || point.key.port != key.port) continue;
            const auto population = static_cast<double>(point.population);
            points.push_back({sample.unixSeconds, 0, population, 0, population});
            break;
        }
    }
    if (hourly) points = foldHours(points);
}

HistoryKeeper::HistoryKeeper(int64_t intervalSeconds)
    : interval(std::max<int64_t>(intervalSeconds, 1)) {}

void HistoryKeeper::useStore(StateKeeper* keeper, std::unique_ptr<HistoryReader> fileReader) {
    state = keeper;
    reader = std::move(fileReader);
}

bool HistoryKeeper::iterate(const ZoneList& zones, int64_t unixSeconds) {
    const int64_t slot = unixSeconds / interval;
    if (slot == lastSlot) return false;
    // The first call, and a wall clock set back, only find the boundary.
    const bool due = lastSlot >= 0 && slot > lastSlot;
    lastSlot = slot;
    if (due) sample(zones, slot * interval);
    return due;
}

void HistoryKeeper::sample(const ZoneList& zones, int64_t unixSeconds) {
    const auto began = std::chrono::steady_clock::now();
    HistorySample row;
    row.unixSeconds = unixSeconds;
    row.zoneCount = static_cast<uint32_t>(zones.count());
    row.points.reserve(static_cast<size_t>(zones.count()));
    for (const ZoneList::Node* node = zones.head(); node != nullptr; node = node->next) {
        const ZoneRecord& zone = *node->element;
        row.population += zone.population;
        row.points.push_back({{zone.address, zone.port}, zone.population});
    }
    if (state != nullptr) state->addHistory(std::move(row));
    else memory.add(std::move(row));
    ++taken;
    const auto micros = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                  std::chrono::steady_clock::now() - began)
                                                  .count());
    slowestMicros = std::max(slowestMicros, micros);
}

bool HistoryKeeper::points(const HistoryQuery& query, int64_t nowUnixSeconds,
                           std::vector<HistoryPoint>& out) const {
    const int64_t from = rangeStart(query.range, nowUnixSeconds);
    const bool hourly = query.range != HistoryRange::Day;
    if (reader) {
        if (!query.forZone) return reader->totals(from, hourly, out);
        return reader->zone(query.address.text(), query.port, from, hourly, out);
    }
    if (query.forZone) memory.zone({query.address, query.port}, from, hourly, out);
    else memory.totals(from, hourly, out);
    return true;
}

}  // namespace kelvaro
