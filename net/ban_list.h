#pragma once
// The operator's list of refused IPv4 and IPv6 ranges. Text form, one range
// a line: "a.b.c.d/n" (n 0..32; bits past the prefix are ignored), an IPv6
// "x:y::z/n" (n 0..128) or a bare address of either family (a /32 or /128);
// an IPv6 range never matches an IPv4 address, mapped forms included; "#"
// starts a comment; blank lines and surrounding blanks are
// ignored. The ranges are kept as sorted, merged intervals, so a lookup is a
// binary search whose cost hardly moves with the number of ranges (32 steps
// at most, whatever the file holds).

#include <cstddef>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/ip_address.h"

namespace kelvaro {

// A line that is neither blank, a comment nor a range. text points into the
// parsed text (comment and surrounding blanks removed).
struct BadBanLine {
    size_t number;  // from 1
    std::string_view text;
};

class BanList {
public:
    // The list of text's ranges; the first keptBadLines bad lines go to
    // badLines (the rest are only counted, see badLineCount()), and the other
    // lines still apply.
    static BanList parse(std::string_view text, std::vector<BadBanLine>& badLines,
                         size_t keptBadLines = SIZE_MAX);

    // True when address (network order) lies in one of the ranges.
    bool contains(uint32_t address) const;

    // True when the 16-byte IPv6 address (network order) lies in one of the
    // IPv6 ranges.
    bool contains6(const uint8_t* address) const;

    // Either of the two, by the address's family.
    bool contains(const IpAddress& address) const {
        return address.isV6() ? contains6(address.bytes.data()) : contains(address.v4());
    }

    // The ranges read (lines that held one), overlapping ones included.
    size_t rangeCount() const { return ranges; }
    bool empty() const { return intervals.empty() && intervals6.empty(); }
    // The lines parse() refused, kept in badLines or not.
    size_t badLineCount() const { return badLines_; }

    using Address6 = std::array<uint8_t, 16>;  // network order, so it compares as a number

private:
    std::vector<std::pair<uint32_t, uint32_t>> intervals;  // host order, first..last, disjoint
    std::vector<std::pair<Address6, Address6>> intervals6;  // first..last, disjoint
    size_t ranges = 0;
    size_t badLines_ = 0;
};

// One range of a line ("a.b.c.d" or "a.b.c.d/n", nothing else): first and
// last address in host order. False for anything else.
bool parseAddressRange(std::string_view text, uint32_t& first, uint32_t& last);

// Bad lines of one file named one by one; the rest are counted in one line.
constexpr size_t kBanWarningLines = 20;

// One IPv6 range of a line ("addr" or "addr/n", n 0..128): first and last
// address. False for anything else, IPv4 text included.
bool parseAddressRange6(std::string_view text, BanList::Address6& first, BanList::Address6& last);

// Reads the ban file at path into list, printing one "Warning: <path>:<line>:
// not an IPv4 range: <text>" per bad line for the first kBanWarningLines of
// them, then "Warning: <path>: <n> more lines that are not IPv4 ranges". A
// UTF-8 byte order mark at the start of the file is skipped. A file that
// cannot be read prints "Warning: ban file <path>: <reason>; the previous ban
// list stays in force", and one whose lines are all bad (none a range, one at
// least not blank or a comment) prints "Warning: ban file <path>: no line
// holds an IPv4 range; the previous ban list stays in force": both leave list
// as it was and return false. A file of blanks and comments only lifts every
// ban.
bool loadBanFile(const std::string& path, BanList& list);

}  // namespace kelvaro
