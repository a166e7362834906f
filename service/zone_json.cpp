#include "service/zone_json.h"

#include <arpa/inet.h>

#include <cstdio>

#include "util/bytes.h"

namespace kelvaro {
namespace {

void appendNumber(std::string& out, unsigned value) {
    char digits[16];
    const int length = std::snprintf(digits, sizeof digits, "%u", value);
    if (length > 0) out.append(digits, static_cast<size_t>(length));
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte > 0x7e) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    out += '"';
}

std::string jsonString(std::string_view text) {
    std::string out;
    appendJsonString(out, text);
    return out;
}

void appendZoneMembers(std::string& out, const ZoneEntry& zone) {
    char address[INET_ADDRSTRLEN] = {};
    in_addr raw{};
    raw.s_addr = zone.address;
    inet_ntop(AF_INET, &raw, address, sizeof address);
    out += "\"address\":\"";
    out += address;
    out += "\",\"port\":";
    appendNumber(out, zone.port);
    out += ",\"population\":";
    appendNumber(out, zone.population);
    out += ",\"flag\":";
    appendNumber(out, zone.zoneFlag);
    out += ",\"word\":";
    appendNumber(out, zone.zoneWord);
    out += ",\"name\":";
    appendJsonString(out, zone.name);
    out += ",\"description\":";
    appendJsonString(out, zone.description);
}

ZoneEntry entryOf(const ZoneRecord& record) {
    ZoneEntry entry;
    entry.address = record.address;
    entry.port = record.port;
    entry.population = record.population;
    entry.zoneFlag = record.zoneFlag;
    entry.zoneWord = record.zoneWord;
    entry.name = std::string_view(record.name, boundedLength(record.name, kZoneNameSize));
    entry.description =
        std::string_view(record.description, boundedLength(record.description, kZoneDescriptionSize));
    return entry;
}

}  // namespace kelvaro
