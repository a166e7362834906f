#pragma once
// The spelling rule for zone names, header-only so that a zone's own side
// (the client library) refuses exactly the names a directory refuses.

#include <string_view>

namespace kelvaro {

// A valid name is empty or printable ASCII words separated by single spaces:
// no leading, trailing or doubled space, no control or non-ASCII byte.
constexpr bool isValidZoneName(std::string_view name) {
    constexpr char kSpace = ' ';
    constexpr char kFirstPrintable = 0x21;
    constexpr char kLastPrintable = 0x7E;
    if (name.empty()) return true;
    bool afterSpace = true;  // so a leading space is refused like a doubled one
    for (const char c : name) {
        if (c == kSpace) {
            if (afterSpace) return false;
            afterSpace = true;
        } else if (c >= kFirstPrintable && c <= kLastPrintable) {
            afterSpace = false;
        } else {
            return false;
        }
    }
    return !afterSpace;
}

}  // namespace kelvaro
