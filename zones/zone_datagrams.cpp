#include "zones/zone_datagrams.h"

#include <cstdio>
#include <string_view>

#include "net/report_throttle.h"
#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "util/bytes.h"
#include "zones/zone_list.h"
#include "zones/zone_passwords.h"

namespace kelvaro {
namespace {

// Update datagram layout.
constexpr size_t kHeaderOffset = 0;
constexpr size_t kPortOffset = 4;
constexpr size_t kPopulationOffset = 6;
constexpr size_t kFlagOffset = 8;
constexpr size_t kWordOffset = 10;
constexpr size_t kNameOffset = 14;
constexpr size_t kNameWidth = 32;
constexpr size_t kPasswordOffset = 46;
constexpr size_t kPasswordWidth = 16;
constexpr size_t kReservedOffset = 62;
constexpr size_t kReservedWidth = 32;
constexpr size_t kDescriptionOffset = 94;
constexpr uint16_t kMaxZoneFlag = 1;

// Count query, count reply, ping and ping reply layouts.
constexpr size_t kQueryEchoOffset = 0;
constexpr size_t kReplyCountOffset = 0;
constexpr size_t kReplyEchoOffset = 4;
constexpr size_t kPingTickOffset = 0;

static_assert(kMinZoneUpdateLength == kDescriptionOffset + 1);
static_assert(kMaxZoneUpdateLength == static_cast<size_t>(kMaxDatagram));
static_assert(kLongestZoneNameText == kNameWidth - 1);
static_assert(kLongestZonePassword == kPasswordWidth - 1);

// A text field of fixed width: up to its first NUL, never past the field.
std::string_view fieldText(const uint8_t* payload, size_t offset, size_t width) {
    const char* text = reinterpret_cast<const char*>(payload + offset);
    return {text, boundedLength(text, width)};
}

bool allZero(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

}  // namespace

bool isValidZoneUpdate(const uint8_t* payload, size_t length) {
    // The length comes first: every later check reads inside the first
    // kMinZoneUpdateLength bytes or at length - 1.
    if (payload == nullptr || length < kMinZoneUpdateLength) return false;
    if (readU32(payload, kHeaderOffset) != 0) return false;
    if (payload[length - 1] != 0) return false;
    if (payload[kNameOffset + kNameWidth - 1] != 0) return false;
    if (payload[kPasswordOffset + kPasswordWidth - 1] != 0) return false;
    if (readU16(payload, kFlagOffset) > kMaxZoneFlag) return false;
    if (!allZero(payload + kReservedOffset, kReservedWidth)) return false;
    return isValidZoneName(fieldText(payload, kNameOffset, kNameWidth));
}

void prefetchForUpdate(const Datagram& datagram, const ZoneList& zones, const ZonePasswords& passwords,
                       uint32_t distance) {
    if (datagram.bytes.size() < kMinZoneUpdateLength) return;
    zones.prefetch(datagram.source.ip(), readU16(datagram.data(), kPortOffset), distance);
    // The registry's records are one step from their slots, the zones' two.
    if (distance != 1) passwords.prefetch(fieldText(datagram.data(), kNameOffset, kNameWidth), distance);
}

UpdateOutcome handleUpdateDatagram(const Datagram& datagram, ZonePasswords& passwords,
                                   ZoneList& zones, UdpEndpoint& pingEndpoint,
                                   const ZoneGate& gate) {
    const uint8_t* payload = datagram.data();
    const size_t length = datagram.bytes.size();
    const IpAddress source = datagram.source.ip();
    if (gate.banned(source)) {
        if (gate.banReports == nullptr || gate.banReports->allow(source))
            std::printf("---Banned address: %s\n", datagram.source.text().c_str());
        return UpdateOutcome::Banned;
    }
    if (isValidZoneUpdate(payload, length)) {
        const std::string_view name = fieldText(payload, kNameOffset, kNameWidth);
        const std::string_view password = fieldText(payload, kPasswordOffset, kPasswordWidth);
        const int nameLength = static_cast<int>(name.size());
        // An IPv6 zone is known by the datagram's source, never by anything
        // the datagram says of itself.
        const IpAddress& address = source;
        const uint16_t port = readU16(payload, kPortOffset);
        // Checked before the registry: a flood of refused zones must not
        // fill it with names as a side effect.
        if (zones.refusesNew(address, port)) {
            reportZoneLimit(address);
            return UpdateOutcome::Limit;
        }
        // A zone not yet listed may not claim a name: its password is judged
        // now, and the record made only once it has proved its address.
        const bool listed = !gate.verifies() || zones.find(address, port) != nullptr;
        switch (listed ? passwords.check(name, password) : passwords.peek(name, password)) {
        case PasswordCheck::Accepted:
            break;
        case PasswordCheck::BadPassword:
            std::printf("---Bad password from %s: %.*s\n", datagram.source.text().c_str(),
                        nameLength, name.data());
            return UpdateOutcome::BadPassword;
        case PasswordCheck::Limit:
            std::printf("---Password limit reached: %s: %.*s\n", datagram.source.text().c_str(),
                        nameLength, name.data());
            return UpdateOutcome::Limit;
        }
        // The last byte is a NUL, so the description ends inside the datagram.
        const std::string_view description =
            fieldText(payload, kDescriptionOffset, length - kDescriptionOffset);
        const Admission admission =
            admitZone(gate, zones, pingEndpoint, address, port, readU16(payload, kPopulationOffset),
                      readU16(payload, kFlagOffset), readU32(payload, kWordOffset), name,
                      description, password, ZoneSource::Update);
        if (admission == Admission::Refused) return UpdateOutcome::Limit;
        std::printf("---Update : %.*s\n", nameLength, name.data());
        return admission == Admission::Listed ? UpdateOutcome::Accepted : UpdateOutcome::Pending;
    }
    if (length == kCountQueryLength) {
        sendZoneCount(pingEndpoint, source, datagram.source.hostPort(),
                      static_cast<uint32_t>(zones.count()), readU32(payload, kQueryEchoOffset));
        return UpdateOutcome::CountQuery;
    }
    std::printf("---Invalid message on direct update port from %s\n",
                datagram.source.text().c_str());
    return UpdateOutcome::Malformed;
}

bool handlePingDatagram(const Datagram& datagram, ZoneList& zones) {
    ZonePasswords unused;  // a default gate never lists a pending zone
    const std::optional<PingOutcome> outcome = handlePingDatagram(datagram, zones, unused, {});
    return outcome == PingOutcome::Matched;
}

std::optional<PingOutcome> handlePingDatagram(const Datagram& datagram, ZoneList& zones,
                                              ZonePasswords& passwords, const ZoneGate& gate) {
    if (datagram.bytes.size() != kPingReplyLength) {
        std::printf("---Invalid message on ping sweep port\n");
        return std::nullopt;
    }
    // Zones answer pings from port + 1, so the announced port is one below.
    const uint16_t announcedPort = static_cast<uint16_t>(datagram.source.hostPort() - 1);
    const uint8_t* payload = datagram.data();
    return applyPingReply(gate, zones, passwords, datagram.source.ip(), announcedPort,
                          readU32(payload, kReplyCountOffset), readU32(payload, kReplyEchoOffset));
}

void sendPing(UdpEndpoint& pingEndpoint, const IpAddress& address, uint16_t port) {
    sendPingBytes(pingEndpoint, address, port, tickCount());
}

void sendPingBytes(UdpEndpoint& pingEndpoint, const IpAddress& address, uint16_t port, uint32_t bytes) {
    uint8_t ping[kPingLength];
    writeU32(ping, kPingTickOffset, bytes);
    pingEndpoint.setDestination(address, static_cast<uint16_t>(port + 1));
    pingEndpoint.send(ping, sizeof ping);
}

void sendZoneCount(UdpEndpoint& pingEndpoint, const IpAddress& address, uint16_t port, uint32_t count,
                   uint32_t echo) {
    uint8_t reply[kCountReplyLength];
    writeU32(reply, kReplyCountOffset, count);
    writeU32(reply, kReplyEchoOffset, echo);
    pingEndpoint.setDestination(address, port);
    pingEndpoint.send(reply, sizeof reply);
}

bool encodeZoneUpdate(const ZoneAnnouncement& zone, std::vector<uint8_t>& out) {
    if (zone.zoneFlag > kMaxZoneFlag || zone.name.size() > kLongestZoneNameText ||
        zone.password.size() > kLongestZonePassword ||
        zone.description.size() > kLongestUpdateDescription)
        return false;
    // Zero-filled, so the header, the text padding, the reserved bytes and the
    // final NUL need no writing.
    out.assign(kMinZoneUpdateLength + zone.description.size(), 0);
    uint8_t* bytes = out.data();
    writeU16(bytes, kPortOffset, zone.port);
    writeU16(bytes, kPopulationOffset, zone.population);
    writeU16(bytes, kFlagOffset, zone.zoneFlag);
    writeU32(bytes, kWordOffset, zone.zoneWord);
    copyBytes(zone.name.data(), bytes + kNameOffset, zone.name.size());
    copyBytes(zone.password.data(), bytes + kPasswordOffset, zone.password.size());
    copyBytes(zone.description.data(), bytes + kDescriptionOffset, zone.description.size());
    return true;
}

bool answerPing(UdpEndpoint& endpoint, const Datagram& ping, uint32_t population) {
    if (ping.bytes.size() != kPingLength) return false;
    uint8_t reply[kPingReplyLength];
    writeU32(reply, kReplyCountOffset, population);
    writeU32(reply, kReplyEchoOffset, readU32(ping.data(), kPingTickOffset));
    endpoint.setDestination(ping.source);
    endpoint.send(reply, sizeof reply);
    return true;
}

bool readCountReply(const uint8_t* payload, size_t length, uint32_t echo, uint32_t& count) {
    if (length != kCountReplyLength || readU32(payload, kReplyEchoOffset) != echo) return false;
    count = readU32(payload, kReplyCountOffset);
    return true;
}

}  // namespace kelvaro
