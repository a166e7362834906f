#pragma once
// The plain UDP datagrams exchanged with zones, outside the reliable
// transport. All integers are little-endian.
//
//   update (zone -> update port), 95..520 bytes:
//     0 u32 header = 0 | 4 u16 port | 6 u16 population | 8 u16 zoneFlag (0/1)
//     10 u32 zoneWord | 14 char[32] name | 46 char[16] password
//     62 32 reserved zero bytes | 94 description, the last byte a NUL
//   count query (anyone -> update port), 4 bytes: u32 echo
//   count reply (ping port -> querier), 8 bytes: u32 zone count | u32 echo
//   ping (ping port -> zone port + 1), 4 bytes: u32 tick
//   ping reply (zone -> ping port), 8 bytes: u32 population | u32 echoed tick
//
// Bytes from the network are never trusted: every handler checks lengths
// before reading, and malformed datagrams produce one console line at most.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "zones/zone_admission.h"

namespace kelvaro {

struct Datagram;
class UdpEndpoint;
class ZoneList;
class ZonePasswords;

constexpr size_t kMinZoneUpdateLength = 95;
constexpr size_t kCountQueryLength = 4;
constexpr size_t kCountReplyLength = 8;
constexpr size_t kPingLength = 4;
constexpr size_t kPingReplyLength = 8;
constexpr size_t kMaxZoneUpdateLength = 520;  // the longest datagram an endpoint takes
constexpr size_t kLongestZoneNameText = 31;
constexpr size_t kLongestZonePassword = 15;
constexpr size_t kLongestUpdateDescription = kMaxZoneUpdateLength - kMinZoneUpdateLength;


// True when payload[0, length) is a well-formed update datagram. Checks run
// in an order that never reads out of bounds.
bool isValidZoneUpdate(const uint8_t* payload, size_t length);

// What became of one datagram on the update port, for the operator's counters.
// Pending: a zone not yet listed, held until it proves its address (its first
// ping sent when it is new). Banned: any datagram from a banned address.
enum class UpdateOutcome { Accepted, Malformed, BadPassword, Limit, CountQuery, Pending, Banned };

// One datagram from the update port. A valid update whose password the
// registry accepts is added or refreshed ("---Update : <name>"); a refused
// password prints "---Bad password from <addr>: <name>"; any other 4-byte
// datagram is a count query answered from pingEndpoint; anything else prints
// "---Invalid message on direct update port from <addr>". An update for an
// unknown zone that a zone cap refuses prints "---Zone limit reached: <addr>"
// and is refused before its name reaches the registry; a name the registry's
// cap refuses prints "---Password limit reached: <addr>: <name>". Neither
// touches the zones already listed.
//
// Under a gate: a datagram from a banned address is refused whole, before it
// is read, printing "---Banned address: <addr>" at most once a minute per
// address. When the gate verifies, an update from a zone not listed has its
// password judged without touching the registry (peek) and the zone is held
// pending (see admitZone); "---Update : <name>" is printed all the same.
UpdateOutcome handleUpdateDatagram(const Datagram& datagram, ZonePasswords& passwords, ZoneList& zones,
                          UdpEndpoint& pingEndpoint, const ZoneGate& gate = {});

// Starts loading what handling datagram, distance updates from now, will read
// of the zone list and the name registry (ZoneList::prefetch,
// PasswordIndex::prefetch); anything not an update is let be. Changes nothing.
void prefetchForUpdate(const Datagram& datagram, const ZoneList& zones, const ZonePasswords& passwords,
                       uint32_t distance);

// One datagram from the ping port. An 8-byte reply is matched to the zone at
// its source address whose announced port is the source port - 1 (16 bits);
// unmatched replies are dropped silently. Any other length prints
// "---Invalid message on ping sweep port". True only for a reply that matched
// a zone.
bool handlePingDatagram(const Datagram& datagram, ZoneList& zones);

// The same under a gate (see applyPingReply); nothing for a datagram that is
// not 8 bytes long, after the invalid-message line.
std::optional<PingOutcome> handlePingDatagram(const Datagram& datagram, ZoneList& zones,
                                              ZonePasswords& passwords, const ZoneGate& gate);

// Sends the current tick to address, (port + 1) mod 65536. Send failures are
// ignored: a lost ping is just a missed ping.
void sendPing(UdpEndpoint& pingEndpoint, const IpAddress& address, uint16_t port);

// Sends the 4 bytes of a ping (a tick or a token) to address, port + 1.
void sendPingBytes(UdpEndpoint& pingEndpoint, const IpAddress& address, uint16_t port, uint32_t bytes);

// Sends count and echo to address, port.
void sendZoneCount(UdpEndpoint& pingEndpoint, const IpAddress& address, uint16_t port, uint32_t count,
                   uint32_t echo);

// The zone's and the querier's side of the same datagrams, for tools and for
// programs that play a zone.

// What a zone announces about itself in an update datagram.
struct ZoneAnnouncement {
    uint16_t port = 0;  // the zone answers pings on port + 1
    uint16_t population = 0;
    uint16_t zoneFlag = 0;
    uint32_t zoneWord = 0;
    std::string_view name;
    std::string_view password;
    std::string_view description;
};

// Writes zone's update datagram into out. False, with out untouched, when the
// datagram could not be valid: zoneFlag above 1, or a text longer than its
// field allows (name 31, password 15, description 425 characters). The name's
// spelling rules are the directory's to judge and are not checked here.
bool encodeZoneUpdate(const ZoneAnnouncement& zone, std::vector<uint8_t>& out);

// Answers a ping (exactly 4 bytes) from endpoint to the ping's source with
// population and the ping's tick. False, sending nothing, for any other
// datagram.
bool answerPing(UdpEndpoint& endpoint, const Datagram& ping, uint32_t population);

// The zone count of a count reply whose echo is echo. False for a datagram
// that is not 8 bytes long or carries another echo (a stale or foreign reply).
bool readCountReply(const uint8_t* payload, size_t length, uint32_t echo, uint32_t& count);

}  // namespace kelvaro
