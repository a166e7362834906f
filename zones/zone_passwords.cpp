#include "zones/zone_passwords.h"

#include <cstring>
#include <memory>

#include "platform/tick_clock.h"
#include "util/pointer_table.h"
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

std::string_view ZonePassword::currentPassword() const {
    return std::string_view(password, boundedLength(password, sizeof password));
}

bool ZonePassword::accept(std::string_view offered, uint32_t reclaimDelay) {
    if (passwordsMatch(currentPassword(), offered)) {
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
    if (ZonePassword* found = owner(name)) {
        if (!found->accept(password, reclaimDelay)) return PasswordCheck::BadPassword;
        if (tracking) changed.push_back(found);
        return PasswordCheck::Accepted;
    }
    if (full()) return PasswordCheck::Limit;
    ZonePassword* made = append(name, password);
    if (tracking) changed.push_back(made);
    return PasswordCheck::Accepted;
}

ZonePassword* ZonePasswords::append(std::string_view name, std::string_view password) {
    auto record = std::make_unique<ZonePassword>(name, password);
    // Records are never removed, so the count cannot come back to a number
    // already given out.
    record->sequence = static_cast<uint32_t>(records.count()) + 1;
    ZonePassword* made = records.append(std::move(record));
    index.add(made);
    return made;
}

ZonePassword* ZonePasswords::restore(std::string_view name, std::string_view password,
                                     uint32_t lastUseTick) {
    if (owner(name) != nullptr || full()) return nullptr;
    ZonePassword* made = append(name, password);
    made->lastUseTick = lastUseTick;
    return made;
}

void ZonePasswords::trackChanges(bool on) {
    tracking = on;
    if (!on) changed = {};
}

void ZonePasswords::takeChanged(std::vector<const ZonePassword*>& into) {
    into.clear();
    into.swap(changed);
}

PasswordCheck ZonePasswords::peek(std::string_view name, std::string_view password) const {
    if (const ZonePassword* found = owner(name)) {
        return passwordsMatch(found->currentPassword(), password) || found->isReclaimable(reclaimDelay)
                   ? PasswordCheck::Accepted
                   : PasswordCheck::BadPassword;
    }
    return full() ? PasswordCheck::Limit : PasswordCheck::Accepted;
}

bool ZonePasswords::full() const {
    return maxRecords != 0 && static_cast<uint32_t>(records.count()) >= maxRecords;
}

namespace {

constexpr size_t kTagPositions[] = {2, 3, 4};

std::string_view nameText(const ZonePassword& record) {
    return {record.name, boundedLength(record.name, sizeof record.name)};
}

// A key of length characters folded, mixed with its length so that "ab" and
// "ab" followed by a NUL never share a key.
uint64_t foldedHash(std::string_view text, size_t length) {
    constexpr uint64_t kPrime = 0x100000001b3ULL;
    uint64_t hash = 0xcbf29ce484222325ULL ^ length;
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ static_cast<uint8_t>(foldCase(text[i]))) * kPrime;
    return hash;  // the table mixes it
}

// True when text has its tag space at position: the character there is a
// space inside the compared length.
bool hasTagSpace(std::string_view text, size_t position) {
    return cappedLength(text, kNameCompareLength) > position && text[position] == ' ';
}

int capitalsBefore(std::string_view text, size_t position) {
    int capitals = 0;
    for (size_t i = 0; i < position; ++i)
        if (isCapital(text[i])) ++capitals;
    return capitals;
}

bool foldedEqual(std::string_view a, std::string_view b, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (foldCase(a[i]) != foldCase(b[i])) return false;
    return true;
}

}  // namespace

uint64_t PasswordIndex::FullHash::operator()(const ZonePassword& record) const {
    const std::string_view name = nameText(record);
    return foldedHash(name, cappedLength(name, kNameCompareLength));
}

template <size_t Tag>
uint64_t PasswordIndex::TagHash<Tag>::operator()(const ZonePassword& record) const {
    return foldedHash(nameText(record), Tag);
}

ZonePassword* PasswordIndex::find(std::string_view name) const {
    const size_t length = cappedLength(name, kNameCompareLength);
    ZonePassword* best = full.find(foldedHash(name, length), [&](const ZonePassword& record) {
        const std::string_view stored = nameText(record);
        return cappedLength(stored, kNameCompareLength) == length &&
               foldedEqual(stored, name, length);
    });
    for (const size_t position : kTagPositions) {
        if (!hasTagSpace(name, position) || !tagEndsMatch(position, capitalsBefore(name, position)))
            continue;
        const auto matches = [&](const ZonePassword& record) {
            return hasTagSpace(nameText(record), position) &&
                   foldedEqual(nameText(record), name, position);
        };
        const uint64_t hash = foldedHash(name, position);
        ZonePassword* candidate = position == 2   ? tag2.find(hash, matches)
                                  : position == 3 ? tag3.find(hash, matches)
                                                  : tag4.find(hash, matches);
        if (candidate != nullptr && (best == nullptr || candidate->sequence < best->sequence))
            best = candidate;
    }
    // Each table answers for one way of capturing; the function that defines
    // capturing has the last word.
    if (best != nullptr && !zoneNamesMatch(best->name, name)) return nullptr;
    return best;
}

void PasswordIndex::prefetch(std::string_view name, uint32_t distance) const {
    const auto load = [distance](const auto& table, uint64_t hash) {
        if (distance > 0)
            table.prefetchSlot(hash);
        else if (const ZonePassword* record = table.candidate(hash))
            __builtin_prefetch(record);
    };
    load(full, foldedHash(name, cappedLength(name, kNameCompareLength)));
    for (const size_t position : kTagPositions) {
        if (!hasTagSpace(name, position)) continue;
        const uint64_t hash = foldedHash(name, position);
        if (position == 2) load(tag2, hash);
        if (position == 3) load(tag3, hash);
        if (position == 4) load(tag4, hash);
    }
}

void PasswordIndex::add(ZonePassword* record) {
    const std::string_view name = nameText(*record);
    full.insert(record);
    // A key already held belongs to an older record, which stays the answer.
    for (const size_t position : kTagPositions) {
        if (!hasTagSpace(name, position)) continue;
        const auto matches = [&](const ZonePassword& other) {
            return hasTagSpace(nameText(other), position) &&
                   foldedEqual(nameText(other), name, position);
        };
        const uint64_t hash = foldedHash(name, position);
        if (position == 2 && tag2.find(hash, matches) == nullptr) tag2.insert(record);
        if (position == 3 && tag3.find(hash, matches) == nullptr) tag3.insert(record);
        if (position == 4 && tag4.find(hash, matches) == nullptr) tag4.insert(record);
    }
}

}  // namespace kelvaro
