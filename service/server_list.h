#pragma once
// The server list: the application message (type 1) that carries zones from a
// directory server to game clients and to peer directory servers, and the list
// request that asks for it. Integers are little-endian; addresses stay in
// network order.
//
//   list request, client -> server, 5 bytes: u8 1 | u32 minimum population
//   server list, server -> client, at most 50000 bytes: u8 1 | zone entries
//   zone entry, 79 + n bytes (n = description length, 0..255):
//     0 IPv4 address | 4 u16 port | 6 u16 population | 8 u16 zoneFlag
//     10 u32 zoneWord | 14 char[32] name, zero-padded | 46 32 reserved zeros
//     78 description and its NUL
//
// Entries carry no length field: the next one starts after the description's
// NUL. Readers here never read past the message they are given.

#include <cstdint>
#include <string_view>

#include "util/byte_buffer.h"
#include "zones/zone_list.h"

namespace kelvaro {

constexpr uint8_t kListMessageType = 1;
constexpr uint32_t kListRequestLength = 5;
constexpr uint32_t kServerListLimit = 50000;
constexpr uint32_t kZoneEntryFixedLength = 79;  // an empty description's NUL included
constexpr uint32_t kLongestZoneEntry = kZoneEntryFixedLength + kZoneDescriptionSize - 1;

// The minimum population of a list request (message starting with its type
// byte). A request shorter than 5 bytes has its missing bytes read as zero.
uint32_t readListMinimum(const uint8_t* message, uint32_t length);

// REQUIRES: zone is an IPv4 zone (an entry has room for 4 address bytes).
// Appends the zone's entry to list whole, or nothing when the whole entry
// would take the list past its limit; returns whether it was appended.
bool appendZoneEntry(ByteBuffer& list, const ZoneRecord& zone);

// One zone entry as read from a server list. The texts point into the message
// and are valid only as long as it is.
struct ZoneEntry {
    IpAddress address;  // always IPv4 when read from a list
    uint16_t port = 0;
    uint16_t population = 0;
    uint16_t zoneFlag = 0;
    uint32_t zoneWord = 0;
    std::string_view name;         // at most 31 characters
    std::string_view description;  // at most 255 characters
};

// Reads the whole entry starting at offset position of the message into entry
// and moves position past it. False, leaving both untouched, when no whole
// entry starts there: fewer than 79 bytes left, or a description without its
// NUL before the end. Position 1 is the first entry (after the type byte).
bool readZoneEntry(const uint8_t* message, uint32_t length, uint32_t& position, ZoneEntry& entry);

// Merges the entries of a server list (message starting with its type byte)
// into zones with addOrUpdate, in list order, and returns how many entries
// were read. Only whole entries count: reading stops at fewer than 79 bytes
// left, and at a final entry whose description has no NUL before the end of
// the message. Names are cut to 31 characters, descriptions to 255. When
// rejoinsRefused is given, it is raised by one for each entry the zone list
// refused because that zone was dropped too recently (see ZoneList::drop).
int32_t mergeServerList(const uint8_t* message, uint32_t length, ZoneList& zones,
                        uint64_t* rejoinsRefused = nullptr);

// Calls take(entry) for each whole entry of a server list, in list order, by
// the same reading rules as mergeServerList; returns how many there were.
template <typename Take>
int32_t forEachZoneEntry(const uint8_t* message, uint32_t length, Take&& take) {
    int32_t read = 0;
    uint32_t position = 1;  // after the type byte
    ZoneEntry entry;
    while (readZoneEntry(message, length, position, entry)) {
        take(static_cast<const ZoneEntry&>(entry));
        ++read;
    }
    return read;
}

}  // namespace kelvaro
