// A directory's answer to GET /zones.json, head and document together, and
// the same bytes read as a document alone; the first byte sets the zone
// bound. Whatever is taken must fit the entries it fills: texts within their
// fields and NUL-terminated, an address that reads back to its bytes, the
// numbers in their ranges, never more zones than the bound.

#include <arpa/inet.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "web_list.h"

using namespace kelvaro::client;

namespace {

bool readsBack(int family, const char* text, const uint8_t* bytes) {
    uint8_t parsed[16] = {};
    return inet_pton(family == KELVARO_FAMILY_IPV6 ? AF_INET6 : AF_INET, text, parsed) == 1 &&
           std::memcmp(parsed, bytes, family == KELVARO_FAMILY_IPV6 ? 16 : 4) == 0;
}

void check(kelvaro_status status, const std::vector<kelvaro_web_zone>& zones, uint32_t bound) {
    if (status != KELVARO_OK) {
        if (!zones.empty()) __builtin_trap();  // a refused answer leaves nothing behind
        return;
    }
    if (zones.size() > bound) __builtin_trap();
    for (const kelvaro_web_zone& zone : zones) {
        const kelvaro_zone_entry& entry = zone.zone;
        if (entry.name_length > KELVARO_MAX_NAME || entry.name[entry.name_length] != '\0' ||
            std::strlen(entry.name) != entry.name_length || entry.description_length > 255 ||
            std::strlen(entry.description) != entry.description_length)
            __builtin_trap();
        if ((entry.family != KELVARO_FAMILY_IPV4 && entry.family != KELVARO_FAMILY_IPV6) ||
            !readsBack(entry.family, entry.address_text, entry.address_bytes) || entry.port == 0 ||
            entry.flag > 1 || entry.directory != 0)
            __builtin_trap();
        const bool second =
            zone.port6 != 0 && readsBack(KELVARO_FAMILY_IPV6, zone.address6_text, zone.address6_bytes);
        const bool none = zone.port6 == 0 && zone.address6_text[0] == '\0';
        if (zone.has_address6 ? !second : !none) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    const uint32_t bound = 1 + data[0] % 8;
    const std::string_view answer(reinterpret_cast<const char*>(data) + 1, size - 1);
    AnswerHead head;
    if (readAnswerHead(answer, head) == HeadVerdict::Good &&
        (head.bodyStart > answer.size() || head.bodyStart > kLongestHead))
        __builtin_trap();
    std::vector<kelvaro_web_zone> zones;
    check(readWebAnswer(answer, bound, zones), zones, bound);
    zones.clear();
    check(readZonesJson(answer, bound, zones), zones, bound);
    return 0;
}
