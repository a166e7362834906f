#include "zones/ping_tokens.h"

#include "util/bytes.h"
#include "zones/zone_list.h"

namespace kelvaro {

uint32_t PingTokens::token(const IpAddress& address, uint16_t port, uint32_t round,
                           uint32_t index) const {
    if (address.isV6()) {
        // The whole address is signed: a token earned by one host of a /64
        // proves nothing for its neighbours.
        uint8_t message[26];
        copyBytes(address.bytes.data(), message, 16);
        writeU16(message, 16, port);
        writeU32(message, 18, round);
        writeU32(message, 22, index);
        return static_cast<uint32_t>(keyedHash(key, message));
    }
    uint8_t message[14];
    writeU32(message, 0, address.v4());
    writeU16(message, 4, port);
    writeU32(message, 6, round);
    writeU32(message, 10, index);
    return static_cast<uint32_t>(keyedHash(key, message));
}

uint32_t PingTokens::tokenFor(const ZoneRecord& zone) const {
    return token(zone.address, zone.port, zone.pingRound, zone.missedPings);
}

bool PingTokens::matches(const ZoneRecord& zone, uint32_t echo) const {
    const uint32_t latest = zone.missedPings;
    const uint32_t first = latest >= kMaxTokensChecked ? latest - kMaxTokensChecked + 1 : 0;
    // Counted rather than compared with latest, so the loop ends even at the top of the range.
    for (uint32_t n = 0; n <= latest - first; ++n)
        if (token(zone.address, zone.port, zone.pingRound, first + n) == echo) return true;
    return false;
}

bool PingTokens::redeem(ZoneRecord& zone, uint32_t echo) {
    if (!matches(zone, echo)) return false;
    zone.pingRound = nextRound();
    return true;
}

}  // namespace kelvaro
