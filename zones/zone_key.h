#pragma once
// The one key a zone is indexed, remembered and stored under: its address
// (family and 16 bytes) and the port it announces. Keys order by family,
// then address, then port, so a sorted run of them groups each host.
//
// hash() is the value tables mix with their own seed: for an IPv4 zone it is
// the 48-bit address-above-port value zones were always indexed by, so the
// IPv4 path hashes as it did.

#include <compare>
#include <cstdint>

#include "util/ip_address.h"

namespace kelvaro {

struct ZoneKey {
    IpAddress address;
    uint16_t port = 0;

    uint64_t hash() const { return ipPortHashKey(address, port); }

    friend bool operator==(const ZoneKey&, const ZoneKey&) = default;
    friend auto operator<=>(const ZoneKey&, const ZoneKey&) = default;
};

inline ZoneKey zoneKey(const IpAddress& address, uint16_t port) { return {address, port}; }
inline const IpAddress& zoneKeyAddress(const ZoneKey& key) { return key.address; }
inline uint16_t zoneKeyPort(const ZoneKey& key) { return key.port; }

}  // namespace kelvaro
