#include "service/server_list.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "util/bytes.h"

namespace kelvaro {
namespace {

constexpr uint32_t kMinimumOffset = 1;
constexpr uint32_t kMinimumWidth = 4;

constexpr size_t kAddressOffset = 0;
constexpr size_t kPortOffset = 4;
constexpr size_t kPopulationOffset = 6;
constexpr size_t kFlagOffset = 8;
constexpr size_t kWordOffset = 10;
constexpr size_t kNameOffset = 14;
constexpr size_t kNameFieldSize = 32;
constexpr size_t kDescriptionOffset = 78;  // after 32 reserved bytes at 46

constexpr size_t kLongestName = kZoneNameSize - 1;
constexpr size_t kLongestDescription = kZoneDescriptionSize - 1;

// Writes the entry into area (zero-filled by the caller, so the name padding
// and the reserved bytes are zero); returns its length.
uint32_t encodeEntry(const ZoneRecord& zone, std::array<uint8_t, kLongestZoneEntry>& area) {
    uint8_t* entry = area.data();
    // The address is kept in network order and goes out as stored; only IPv4
    // zones are ever listed (the caller leaves IPv6 ones out).
    copyBytes(zone.address.bytes.data(), entry + kAddressOffset, 4);
    writeU16(entry, kPortOffset, zone.port);
    writeU16(entry, kPopulationOffset, zone.population);
    writeU16(entry, kFlagOffset, zone.zoneFlag);
    writeU32(entry, kWordOffset, zone.zoneWord);
    copyBytes(zone.name, entry + kNameOffset,
              std::min(boundedLength(zone.name, sizeof zone.name), kLongestName));
    const size_t descriptionLength =
        std::min(boundedLength(zone.description, sizeof zone.description), kLongestDescription);
    copyBytes(zone.description, entry + kDescriptionOffset, descriptionLength);
    return kZoneEntryFixedLength + static_cast<uint32_t>(descriptionLength);
}

std::string_view textAt(const uint8_t* bytes, size_t length) {
    return std::string_view(reinterpret_cast<const char*>(bytes), length);
}

}  // namespace

uint32_t readListMinimum(const uint8_t* message, uint32_t length) {
    uint8_t field[kMinimumWidth] = {};
    if (length > kMinimumOffset)
        copyBytes(message + kMinimumOffset, field,
                  minUnsigned(length - kMinimumOffset, kMinimumWidth));
    return readU32(field, 0);
}

bool appendZoneEntry(ByteBuffer& list, const ZoneRecord& zone) {
    std::array<uint8_t, kLongestZoneEntry> entry{};
    const uint32_t length = encodeEntry(zone, entry);
    // size() never exceeds limit(), so the subtraction cannot wrap.
    if (length > list.limit() - list.size()) return false;
    list.append(entry.data(), length);
    return true;
}

bool readZoneEntry(const uint8_t* message, uint32_t length, uint32_t& position, ZoneEntry& entry) {
    if (position >= length || length - position < kZoneEntryFixedLength) return false;
    const uint8_t* bytes = message + position;
    const uint8_t* description = bytes + kDescriptionOffset;
    const size_t room = length - position - kDescriptionOffset;
    const void* nul = std::memchr(description, 0, room);
    // A description that runs off the end of the message has no whole entry
    // around it.
    if (nul == nullptr) return false;
    const size_t descriptionLength =
        static_cast<size_t>(static_cast<const uint8_t*>(nul) - description);
    const size_t nameLength =
        boundedLength(reinterpret_cast<const char*>(bytes + kNameOffset), kNameFieldSize);
    uint32_t address = 0;
    copyBytes(bytes + kAddressOffset, &address, sizeof address);
    entry.address = IpAddress(address);
    entry.port = readU16(bytes, kPortOffset);
    entry.population = readU16(bytes, kPopulationOffset);
    entry.zoneFlag = readU16(bytes, kFlagOffset);
    entry.zoneWord = readU32(bytes, kWordOffset);
    entry.name = textAt(bytes + kNameOffset, std::min(nameLength, kLongestName));
    entry.description = textAt(description, std::min(descriptionLength, kLongestDescription));
    position += kZoneEntryFixedLength + static_cast<uint32_t>(descriptionLength);
    return true;
}

int32_t mergeServerList(const uint8_t* message, uint32_t length, ZoneList& zones,
                        uint64_t* rejoinsRefused) {
    return forEachZoneEntry(message, length, [&](const ZoneEntry& entry) {
        const ZoneChange change =
            zones.addOrUpdate(entry.address, entry.port, entry.population, entry.zoneFlag,
                              entry.zoneWord, entry.name, entry.description, ZoneSource::Peer);
        if (change == ZoneChange::RejoinRefused && rejoinsRefused != nullptr) ++*rejoinsRefused;
    });
}

}  // namespace kelvaro
