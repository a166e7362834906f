#include "zones/zone_passwords.h"

#include <cstring>
#include <memory>

#include "platform/tick_clock.h"
#include "util/bytes.h"

namespace kelvaro {
namespace {

constexpr size_t kMaxPasswordLength = kPasswordSize - 1;
// A space here ends a name's tag: at position 2 the incoming tag needs one
// capital, at 3 or 4 it needs two, so "AB rest" and "ABc rest" name families.
constexpr size_t kShortTagSpace = 2;
constexpr size_t kLongTagSpaceFirst = 3;
constexpr size_t kLongTagSpaceLast = 4;
constexpr int kShortTagCapitals = 1;
constexpr int kLongTagCapitals = 2;

// Length up to the first NUL (the text may come from a fixed array), capped.
size_t cappedLength(std::string_view text, size_t cap) {
    const size_t length = textLength(text);
    return length < cap ? length : cap;
}

bool isCapital(char c) { return c >= 'A' && c <= 'Z'; }

// ASCII only: bytes above 0x7F must compare as themselves whatever the locale.
char foldCase(char c) { return isCapital(c) ? static_cast<char>(c - 'A' + 'a') : c; }

bool tagEndsMatch(size_t position, int capitals) {
    if (position == kShortTagSpace) return capitals >= kShortTagCapitals;
    if (position >= kLongTagSpaceFirst && position <= kLongTagSpaceLast)
        return capitals >= kLongTagCapitals;
    return false;
}

}  // namespace

ZonePassword::ZonePassword(std::string_view firstName, std::string_view firstPassword)
    : lastUseTick(tickCount()) {
    storeText(name, sizeof name, firstName);
    storeText(password, sizeof password, firstPassword);
}

bool ZonePassword::accept(std::string_view offered, uint32_t reclaimDelay) {
    const std::string_view current(password, boundedLength(password, sizeof password));
    if (passwordsMatch(current, offered)) {
        lastUseTick = tickCount();
        return true;
    }
    if (!isReclaimable(reclaimDelay)) return false;
    // The name stays the first registrant's; only the password changes hands.
    storeText(password, sizeof password, offered);
    lastUseTick = tickCount();
    return true;
}

bool ZonePassword::isReclaimable(uint32_t reclaimDelay) const {
    return intervalPassed(tickCount(), lastUseTick, reclaimDelay);
}

bool zoneNamesMatch(std::string_view stored, std::string_view incoming) {
    const size_t storedLength = cappedLength(stored, kNameCompareLength);
    const size_t incomingLength = cappedLength(incoming, kNameCompareLength);
    const size_t n = storedLength > incomingLength ? storedLength : incomingLength;
    int capitals = 0;
    for (size_t i = 0; i < n; ++i) {
        // Past its end a name reads as its NUL, so a longer name never
        // matches a shorter one it merely extends.
        const char s = i < storedLength ? stored[i] : '\0';
        const char t = i < incomingLength ? incoming[i] : '\0';
        if (isCapital(t)) ++capitals;
        if (foldCase(s) != foldCase(t)) return false;
        if (t == ' ' && tagEndsMatch(i, capitals)) return true;
    }
    return true;
}

bool passwordsMatch(std::string_view stored, std::string_view offered) {
    const size_t length = cappedLength(stored, kMaxPasswordLength);
    if (length != cappedLength(offered, kMaxPasswordLength)) return false;
    return std::memcmp(stored.data(), offered.data(), length) == 0;
}

PasswordCheck ZonePasswords::check(std::string_view name, std::string_view password) {
    // Only the oldest capturing record is asked, even if a later one would
    // accept: a name family has exactly one owner.
    for (auto* node = records.head(); node != nullptr; node = node->next)
        if (zoneNamesMatch(node->element->name, name))
            return node->element->accept(password, reclaimDelay) ? PasswordCheck::Accepted
                                                                 : PasswordCheck::BadPassword;
    if (full()) return PasswordCheck::Limit;
    records.append(std::make_unique<ZonePassword>(name, password));
    return PasswordCheck::Accepted;
}

bool ZonePasswords::full() const {
    return maxRecords != 0 && static_cast<uint32_t>(records.count()) >= maxRecords;
}

}  // namespace kelvaro
