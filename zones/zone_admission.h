#pragma once
// What stands between a zone that makes itself known (by an update datagram,
// in a peer's list, or restored from elsewhere) and the zone list: the
// operator's ban list, and, with VerifiedZones, the proof of address. A
// default ZoneGate lets everything through as it always has: zones are
// listed at their first announcement and pings carry the tick.

#include <cstdint>
#include <string_view>

#include "util/ip_address.h"

namespace kelvaro {

class BanList;
class PendingZones;
class PingTokens;
class ReportThrottle;
class UdpEndpoint;
class ZoneList;
class ZonePasswords;
struct PendingZone;
struct ZoneRecord;
enum class ZoneSource : uint8_t;

// Borrowed views of the service's objects; every pointer may be null.
struct ZoneGate {
    // Both set: zones must prove their address. New zones wait in pending
    // and pings carry tokens; a reply counts only with a token of its round.
    PendingZones* pending = nullptr;
    PingTokens* tokens = nullptr;
    const BanList* bans = nullptr;  // addresses whose zones are refused
    // Limits the "---Banned address: <addr>" lines to one per address a minute.
    ReportThrottle* banReports = nullptr;

    bool verifies() const { return pending != nullptr && tokens != nullptr; }
    bool banned(const IpAddress& address) const;
};

// What became of a zone that made itself known.
enum class Admission {
    Listed,    // added to the zone list, or a listed zone refreshed
    Pending,   // held until it proves its address; its first ping went out
    Refreshed, // a pending zone announced again; its pings go on as they were
    Banned,    // its address is banned
    Refused,   // a bad name or a zone cap
    RejoinRefused,  // a peer's entry for a zone dropped for silence too lately
};

// The one entry point for a zone learned from anywhere: banned addresses are
// refused; a listed zone is refreshed (addOrUpdate); an unknown one is
// listed at once, or, when the gate verifies, held pending and pinged now
// from pingEndpoint. password is what a pending zone will need once proven
// (only for source Update; a peer's zones are never checked).
Admission admitZone(const ZoneGate& gate, ZoneList& zones, UdpEndpoint& pingEndpoint,
                    const IpAddress& address, uint16_t port, uint16_t population, uint16_t zoneFlag,
                    uint32_t zoneWord, std::string_view name, std::string_view description,
                    std::string_view password, ZoneSource source);

// Sends zone its ping for the state it is in now: the token of its latest
// ping when tokens is set, else the tick.
void sendZonePing(UdpEndpoint& pingEndpoint, const ZoneRecord& zone, const PingTokens* tokens);

// What became of an 8-byte reply on the ping port.
enum class PingOutcome {
    Matched,    // applied to a listed zone
    Unmatched,  // from no zone the directory knows: dropped silently
    Mismatch,   // a known zone's address, but not a token of its round: dropped silently
    Listed,     // a pending zone proved its address and is now listed
    Refused,    // a pending zone proved its address but its name or a cap refused it
};

// A reply (population, echo) from address and announced port, under gate.
// A pending zone that proves itself has its password checked for real now
// (so it may create the name's record) and is added with addOrUpdate, which
// prints "Adding : <name>"; a refusal prints the line the update would have.
PingOutcome applyPingReply(const ZoneGate& gate, ZoneList& zones, ZonePasswords& passwords,
                           const IpAddress& address, uint16_t port, uint32_t population, uint32_t echo);

}  // namespace kelvaro
