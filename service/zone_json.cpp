#include "service/zone_json.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdio>

#include "util/bytes.h"

namespace kelvaro {
namespace {

void appendNumber(std::string& out, unsigned value) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

bool plain(unsigned char byte) { return byte >= 0x20 && byte <= 0x7e && byte != '"' && byte != '\\'; }

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    // Runs of plain characters, the usual case, go in whole: the list of a
    // hundred thousand zones is mostly such runs.
    for (size_t at = 0; at < text.size();) {
        size_t end = at;
        while (end < text.size() && plain(static_cast<unsigned char>(text[end]))) ++end;
        out.append(text.data() + at, end - at);
        if (end == text.size()) break;
        const char c = text[end];
        at = end + 1;
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += c;
        } else {  // a control byte or one above 126
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
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
    out += "\"address\":\"";
    out += zone.address.text();
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
