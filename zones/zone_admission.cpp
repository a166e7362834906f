#include "zones/zone_admission.h"

#include <cstdio>
#include <memory>

#include "net/ban_list.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "util/bytes.h"
#include "zones/pending_zones.h"
#include "zones/ping_tokens.h"
#include "zones/zone_datagrams.h"
#include "zones/zone_list.h"
#include "zones/zone_passwords.h"

namespace kelvaro {
namespace {

template <size_t N>
std::string_view fieldView(const char (&field)[N]) {
    return {field, boundedLength(field, N)};
}

// The password record a proven zone needs, made now; false (after the line
// an update would have printed) when the name went to another password, or
// the registry is full, while the zone was pending.
bool claimName(ZonePasswords& passwords, const PendingZone& entry) {
    const std::string_view name = fieldView(entry.zone.name);
    const int nameLength = static_cast<int>(name.size());
    const std::string address = entry.zone.address.text();
    switch (passwords.check(name, fieldView(entry.password))) {
    case PasswordCheck::Accepted:
        return true;
    case PasswordCheck::BadPassword:
        std::printf("---Bad password from %s: %.*s\n", address.c_str(), nameLength, name.data());
        return false;
    case PasswordCheck::Limit:
        std::printf("---Password limit reached: %s: %.*s\n", address.c_str(), nameLength,
                    name.data());
        return false;
    }
    return false;
}

PingOutcome listProven(ZoneList& zones, ZonePasswords& passwords,
                       std::unique_ptr<PendingZone> entry, uint32_t population) {
    const ZoneRecord& proven = entry->zone;
    // A cap that filled up meanwhile refuses it before its name is claimed.
    if (zones.refusesNew(proven.address, proven.port)) {
        reportZoneLimit(proven.address);
        return PingOutcome::Refused;
    }
    if (proven.source == ZoneSource::Update && !claimName(passwords, *entry))
        return PingOutcome::Refused;
    const ZoneChange change =
        zones.addOrUpdate(proven.address, proven.port, proven.population, proven.zoneFlag,
                          proven.zoneWord, fieldView(proven.name), fieldView(proven.description),
                          proven.source);
    ZoneRecord* listed = zones.find(proven.address, proven.port);
    if (change != ZoneChange::Added || listed == nullptr) return PingOutcome::Refused;
    // The proving reply closed the round (PingTokens::redeem): the listed
    // record carries the closed round, so that reply cannot count again.
    listed->pingRound = proven.pingRound;
    listed->missedPings = proven.missedPings;
    listed->lastPingTick = proven.lastPingTick;
    listed->onPingReply(proven.lastPingTick, population);
    return PingOutcome::Listed;
}

}  // namespace

bool ZoneGate::banned(const IpAddress& address) const {
    return bans != nullptr && bans->contains(address);
}

void sendZonePing(UdpEndpoint& pingEndpoint, const ZoneRecord& zone, const PingTokens* tokens) {
    sendPingBytes(pingEndpoint, zone.address, zone.port,
                  tokens != nullptr ? tokens->tokenFor(zone) : tickCount());
}

Admission admitZone(const ZoneGate& gate, ZoneList& zones, UdpEndpoint& pingEndpoint,
                    const IpAddress& address, uint16_t port, uint16_t population, uint16_t zoneFlag,
                    uint32_t zoneWord, std::string_view name, std::string_view description,
                    std::string_view password, ZoneSource source) {
    if (gate.banned(address)) return Admission::Banned;
    if (!gate.verifies() || zones.find(address, port) != nullptr) {
        const ZoneChange change = zones.addOrUpdate(address, port, population, zoneFlag, zoneWord,
                                                    name, description, source);
        if (change == ZoneChange::RejoinRefused) return Admission::RejoinRefused;
        return change == ZoneChange::Added || change == ZoneChange::Updated ? Admission::Listed
                                                                            : Admission::Refused;
    }
    if (PendingZone* held = gate.pending->find(address, port)) {
        PendingZones::refresh(*held, zoneFlag, zoneWord, name, description, password, source);
        return Admission::Refreshed;
    }
    // Refused here as addOrUpdate would refuse it once proven, so that the
    // table holds only zones that could be listed.
    if (!isValidZoneName(name)) return Admission::Refused;
    if (source == ZoneSource::Peer && zones.refusesRejoin(address, port))
        return Admission::RejoinRefused;
    if (zones.refusesNew(address, port)) {
        reportZoneLimit(address);
        return Admission::Refused;
    }
    PendingZone* entry = gate.pending->add(address, port, population, zoneFlag, zoneWord, name,
                                           description, password, source);
    entry->zone.pingRound = gate.tokens->nextRound();
    sendZonePing(pingEndpoint, entry->zone, gate.tokens);
    return Admission::Pending;
}

PingOutcome applyPingReply(const ZoneGate& gate, ZoneList& zones, ZonePasswords& passwords,
                           const IpAddress& address, uint16_t port, uint32_t population, uint32_t echo) {
    if (ZoneRecord* record = zones.find(address, port)) {
        if (!gate.verifies()) {
            record->onPingReply(echo, population);
            return PingOutcome::Matched;
        }
        if (!gate.tokens->redeem(*record, echo)) return PingOutcome::Mismatch;
        // The echo is a token, not a tick: the round trip runs from the send.
        record->onPingReply(record->lastPingTick, population);
        return PingOutcome::Matched;
    }
    if (!gate.verifies()) return PingOutcome::Unmatched;
    PendingZone* entry = gate.pending->find(address, port);
    if (entry == nullptr) return PingOutcome::Unmatched;
    if (!gate.tokens->redeem(entry->zone, echo)) return PingOutcome::Mismatch;
    return listProven(zones, passwords, gate.pending->take(entry), population);
}

}  // namespace kelvaro
