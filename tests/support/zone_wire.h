#pragma once
// Builders for the plain zone datagrams as a zone or a monitoring
// tool would send them, written from the wire layout (little-endian fields,
// fixed text fields, reserved zeros, a description ending in a NUL).

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "net/udp_endpoint.h"
#include "util/bytes.h"

namespace kelvaro::testing_support {

inline const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

struct ZoneUpdate {
    uint16_t port = 0;
    uint16_t population = 0;
    uint16_t zoneFlag = 0;
    uint32_t zoneWord = 0;
    std::string name;
    std::string password;
    std::string description;
};

// An update datagram: 94 fixed bytes, the description and its NUL. Texts too
// long for their field are written whole up to the field's end (no NUL), so a
// test can build the malformed variants too.
inline std::vector<uint8_t> updateDatagram(const ZoneUpdate& zone) {
    std::vector<uint8_t> bytes(94 + zone.description.size() + 1, 0);
    writeU32(bytes.data(), 0, 0);
    writeU16(bytes.data(), 4, zone.port);
    writeU16(bytes.data(), 6, zone.population);
    writeU16(bytes.data(), 8, zone.zoneFlag);
    writeU32(bytes.data(), 10, zone.zoneWord);
    std::memcpy(bytes.data() + 14, zone.name.data(), std::min<size_t>(zone.name.size(), 32));
    std::memcpy(bytes.data() + 46, zone.password.data(),
                std::min<size_t>(zone.password.size(), 16));
    std::memcpy(bytes.data() + 94, zone.description.data(), zone.description.size());
    return bytes;
}

inline std::vector<uint8_t> le32Pair(uint32_t first, uint32_t second) {
    std::vector<uint8_t> bytes(8);
    writeU32(bytes.data(), 0, first);
    writeU32(bytes.data(), 4, second);
    return bytes;
}

inline std::vector<uint8_t> le32(uint32_t value) {
    std::vector<uint8_t> bytes(4);
    writeU32(bytes.data(), 0, value);
    return bytes;
}

inline bool sendTo(UdpEndpoint& endpoint, uint16_t port, const std::vector<uint8_t>& bytes) {
    endpoint.setDestination(kLoopback, port);
    return endpoint.send(bytes.data(), bytes.size());
}

}  // namespace kelvaro::testing_support
