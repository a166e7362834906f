#pragma once
// The lookup behind ZonePasswords: which record, if any, a first-match walk
// of the registry from its oldest record would stop at for a name, found at
// the same cost for ten records or a hundred thousand.
//
// A stored name s captures an incoming name t in exactly four ways (see
// zoneNamesMatch): their first 21 characters agree ignoring case (and have
// the same length), or t has a space at position 2, 3 or 4 with enough
// capitals before it and s agrees with t ignoring case up to and including
// that space. Each way has a table keyed on the part of s it compares, and
// every table keeps the oldest record of each key, which is the only one a
// walk from the oldest could stop at. The answer is the oldest of the (at
// most four) candidates.

#include <cstdint>
#include <string_view>

#include "util/pointer_table.h"

namespace kelvaro {

struct ZonePassword;

class PasswordIndex {
public:
    PasswordIndex() = default;
    PasswordIndex(const PasswordIndex&) = delete;
    PasswordIndex& operator=(const PasswordIndex&) = delete;

    // The oldest indexed record whose name captures name, or nullptr.
    ZonePassword* find(std::string_view name) const;

    // Loading ahead for a find(name) that comes distance finds from now: at
    // 1 and beyond the slots it reads, at 0 the records they name (once the
    // slots have landed). Changes nothing.
    void prefetch(std::string_view name, uint32_t distance) const;

    // Adds a record newer than every record added before (by sequence).
    void add(ZonePassword* record);

private:
    struct FullHash {
        uint64_t operator()(const ZonePassword& record) const;
    };
    template <size_t Tag>
    struct TagHash {
        uint64_t operator()(const ZonePassword& record) const;
    };

    PointerTable<ZonePassword, FullHash> full;
    PointerTable<ZonePassword, TagHash<2>> tag2;
    PointerTable<ZonePassword, TagHash<3>> tag3;
    PointerTable<ZonePassword, TagHash<4>> tag4;
};

}  // namespace kelvaro
