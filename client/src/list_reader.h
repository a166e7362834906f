#pragma once
// Reads one server list (the type-1 message a directory sends a client) into
// zone entries, holding it to the bounds the directory itself keeps: at most
// 50000 bytes, the type byte 1, then whole entries of 79 + n bytes back to
// back, each name NUL-terminated within its 32 bytes, each description at
// most 255 bytes before its NUL, each flag 0 or 1. A list that breaks any of
// them, or leaves bytes that are not a whole entry, is refused whole: a
// garbled list never passes as a shorter one.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kelvaro.h"

namespace kelvaro::client {

constexpr uint8_t kListType = 1;
constexpr uint32_t kListLimit = 50000;
constexpr uint32_t kEntryFixedLength = 79;
constexpr uint32_t kLongestDescription = 255;
constexpr uint32_t kLongestEntry = kEntryFixedLength + kLongestDescription;

enum class ListVerdict { Good, Malformed, TooMany };

// Appends the list's entries to out; on anything but Good, out is as it was.
// TooMany: out would hold more than maxEntries.
ListVerdict readList(const uint8_t* bytes, size_t length, size_t maxEntries,
                     std::vector<kelvaro_zone_entry>& out);

// A list with less room left after its last entry than the longest entry
// takes may have left zones out.
inline bool mayBeFull(size_t listLength) { return listLength + kLongestEntry > kListLimit; }

// The 5-byte list request.
void writeListRequest(uint32_t minimum, uint8_t (&out)[5]);

}  // namespace kelvaro::client
