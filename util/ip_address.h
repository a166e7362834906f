#pragma once
// An IPv4 or IPv6 address as the directory keeps it: the family and 16 bytes
// in network order. An IPv4 address fills the first 4 bytes and leaves the
// rest zero, so two addresses are equal exactly when family and bytes are.
//
// An IPv4 address in network order converts implicitly: that is what every
// table and caller held before IPv6 zones existed, and it keeps the IPv4
// path a plain copy of four bytes.

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kelvaro {

enum class IpFamily : uint8_t {
    V4 = 4,
    V6 = 6,
};

struct IpAddress {
    std::array<uint8_t, 16> bytes{};
    IpFamily family = IpFamily::V4;

    constexpr IpAddress() = default;
    // NOLINTNEXTLINE(google-explicit-constructor): see the file comment.
    IpAddress(uint32_t v4NetworkOrder) { std::memcpy(bytes.data(), &v4NetworkOrder, 4); }

    // From 16 bytes in network order.
    static IpAddress fromV6(const uint8_t* address) {
        IpAddress made;
        made.family = IpFamily::V6;
        std::memcpy(made.bytes.data(), address, 16);
        return made;
    }

    bool isV6() const { return family == IpFamily::V6; }
    // The IPv4 address in network order; 0 for an IPv6 address.
    uint32_t v4() const {
        if (isV6()) return 0;
        uint32_t value = 0;
        std::memcpy(&value, bytes.data(), 4);
        return value;
    }

    // Dotted-decimal for IPv4, the shortest RFC 5952 form for IPv6 ("::1").
    std::string text() const;
    // The text and the brackets a port would need after it: "[::1]" for
    // IPv6, the dotted quad alone for IPv4.
    std::string bracketedText() const;

    // The address family's first 8 bytes (the /64 a host of IPv6 sits in),
    // with the family kept so that no IPv4 address ever shares a block with
    // an IPv6 one. IPv4 addresses are returned whole.
    IpAddress hostBlock() const;

    friend bool operator==(const IpAddress&, const IpAddress&) = default;
    friend auto operator<=>(const IpAddress&, const IpAddress&) = default;
};

// Reads "a.b.c.d" or an IPv6 text ("::1", "2001:db8::5", no brackets, no
// zone index). False for anything else.
bool parseIpAddress(std::string_view text, IpAddress& out);

// A 64-bit hash input for address and port. For IPv4 it is the 48-bit value
// the address and port always packed into (address above port), so IPv4
// tables index exactly as they did; IPv6 folds all 16 bytes in.
inline uint64_t ipPortHashKey(const IpAddress& address, uint16_t port) {
    if (!address.isV6()) return (static_cast<uint64_t>(address.v4()) << 16) | port;
    uint64_t high = 0;
    uint64_t low = 0;
    std::memcpy(&high, address.bytes.data(), 8);
    std::memcpy(&low, address.bytes.data() + 8, 8);
    // Folded so that every byte moves the low 63 bits (tables mask the low
    // bits first); bit 63 set: no IPv4 key (48 bits) can equal an IPv6 one.
    uint64_t key = high * 0x9E3779B97F4A7C15ULL;
    key ^= key >> 29;
    key = (key ^ low) * 0xBF58476D1CE4E5B9ULL;
    key ^= key >> 32;
    key ^= port;
    return key | (uint64_t{1} << 63);
}

// For tables keyed by an address alone (a host, an IPv6 /64 block).
struct IpAddressHash {
    size_t operator()(const IpAddress& address) const { return ipPortHashKey(address, 0); }
};

}  // namespace kelvaro
