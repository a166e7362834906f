#pragma once
// Builders for server lists as a directory server sends them, written from the
// wire layout: a type byte 1, then per zone the address (network order), port,
// population, flag (u16 each, little-endian), word (u32), a 32-byte name field,
// 32 reserved zero bytes, the description and its NUL.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "util/bytes.h"

namespace kelvaro::testing_support {

using Bytes = std::vector<uint8_t>;

struct ListedZone {
    uint32_t address = 0;  // network order
    uint16_t port = 0;
    uint16_t population = 0;
    uint16_t zoneFlag = 0;
    uint32_t zoneWord = 0;
    std::string name;         // more than 32 characters are cut to fill the field
    std::string description;  // written whole, then a NUL
};

inline Bytes zoneEntry(const ListedZone& zone) {
    Bytes entry(79 + zone.description.size(),
                0);  // the name padding, reserved bytes and NUL stay 0
    std::memcpy(entry.data(), &zone.address, 4);
    writeU16(entry.data(), 4, zone.port);
    writeU16(entry.data(), 6, zone.population);
    writeU16(entry.data(), 8, zone.zoneFlag);
    writeU32(entry.data(), 10, zone.zoneWord);
    std::memcpy(entry.data() + 14, zone.name.data(), std::min<size_t>(zone.name.size(), 32));
    std::memcpy(entry.data() + 78, zone.description.data(), zone.description.size());
    return entry;
}

inline Bytes serverList(const std::vector<ListedZone>& zones) {
    Bytes list{1};
    for (const ListedZone& zone : zones) {
        const Bytes entry = zoneEntry(zone);
        list.insert(list.end(), entry.begin(), entry.end());
    }
    return list;
}

// A heap copy of exactly these bytes, so that the sanitizer build catches a
// read one byte past the end (a vector's spare capacity would hide it).
class ExactBytes {
public:
    explicit ExactBytes(const Bytes& bytes, size_t length)
        : size_(length), data_(std::make_unique<uint8_t[]>(length == 0 ? 1 : length)) {
        copyBytes(bytes.data(), data_.get(), length);
    }
    explicit ExactBytes(const Bytes& bytes) : ExactBytes(bytes, bytes.size()) {}

    uint8_t* data() { return data_.get(); }
    uint32_t size() const { return static_cast<uint32_t>(size_); }

private:
    size_t size_;
    std::unique_ptr<uint8_t[]> data_;
};

}  // namespace kelvaro::testing_support
