#include "list_reader.h"

#include <arpa/inet.h>

#include <cstring>

#include "util/bytes.h"

namespace kelvaro::client {
namespace {

constexpr size_t kNameField = 32;

// One entry at position, which has at least kEntryFixedLength bytes left;
// false when it is not one the directory could have written.
bool readEntry(const uint8_t* bytes, size_t length, size_t& position, kelvaro_zone_entry& entry) {
    const uint8_t* at = bytes + position;
    const void* nameEnd = std::memchr(at + 14, 0, kNameField);
    if (nameEnd == nullptr) return false;
    const size_t descriptionRoom = std::min<size_t>(length - position - 78, kLongestDescription + 1);
    const void* descriptionEnd = std::memchr(at + 78, 0, descriptionRoom);
    if (descriptionEnd == nullptr) return false;
    const uint16_t flag = readU16(at, 8);
    if (flag > 1) return false;

    entry = kelvaro_zone_entry{};
    entry.family = KELVARO_FAMILY_IPV4;
    std::memcpy(entry.address_bytes, at, 4);
    std::memcpy(&entry.address, at, 4);
    in_addr raw{};
    raw.s_addr = entry.address;
    inet_ntop(AF_INET, &raw, entry.address_text, sizeof entry.address_text);
    entry.port = readU16(at, 4);
    entry.population = readU16(at, 6);
    entry.flag = flag;
    entry.word = readU32(at, 10);
    entry.name_length = static_cast<uint16_t>(static_cast<const uint8_t*>(nameEnd) - (at + 14));
    std::memcpy(entry.name, at + 14, entry.name_length);
    entry.description_length =
        static_cast<uint16_t>(static_cast<const uint8_t*>(descriptionEnd) - (at + 78));
    std::memcpy(entry.description, at + 78, entry.description_length);
    position += kEntryFixedLength + entry.description_length;
    return true;
}

}  // namespace

ListVerdict readList(const uint8_t* bytes, size_t length, size_t maxEntries,
                     std::vector<kelvaro_zone_entry>& out) {
    if (length < 1 || length > kListLimit || bytes[0] != kListType) return ListVerdict::Malformed;
    const size_t before = out.size();
    size_t position = 1;
    kelvaro_zone_entry entry;
    while (position < length) {
        if (length - position < kEntryFixedLength || !readEntry(bytes, length, position, entry)) {
            out.resize(before);
            return ListVerdict::Malformed;
        }
        if (out.size() - before >= maxEntries) {
            out.resize(before);
            return ListVerdict::TooMany;
        }
        out.push_back(entry);
    }
    return ListVerdict::Good;
}

void writeListRequest(uint32_t minimum, uint8_t (&out)[5]) {
    out[0] = kListType;
    writeU32(out, 1, minimum);
}

}  // namespace kelvaro::client
