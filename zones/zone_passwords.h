#pragma once
// The registry that guards zone names. The first announcement of a name
// registers its password; later ones must bring the same password until the
// name has gone unused for ReclaimDelay, after which the next announcer takes
// it over. One record can guard a family of names (case-insensitive on the
// first 21 characters, plus the short-tag rule of zoneNamesMatch).
//
// Memory only; records are never removed while the registry lives.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/pointer_list.h"
#include "zones/password_index.h"
#include "zones/zone_settings.h"

namespace kelvaro {

constexpr size_t kPasswordNameSize = 32;  // 31 characters and a NUL
constexpr size_t kPasswordSize = 16;      // 15 characters and a NUL
// Names agree when their first this-many characters do.
constexpr size_t kNameCompareLength = 21;

// One registry record. Texts are cut at their first NUL and at 31 / 15
// characters; lastUseTick starts at now.
struct ZonePassword {
    ZonePassword(std::string_view firstName, std::string_view firstPassword);

    char name[kPasswordNameSize] = {};  // the first registrant's; never changes
    char password[kPasswordSize] = {};
    uint32_t lastUseTick = 0;
    uint32_t sequence = 0;  // order of creation in its registry (0 on its own)

    // True when offered equals the password, or when the record is
    // reclaimable after reclaimDelay ms, in which case offered becomes the
    // password. Either way lastUseTick becomes now; a refusal changes nothing.
    bool accept(std::string_view offered, uint32_t reclaimDelay);

    // True once more than reclaimDelay ms passed since lastUseTick.
    bool isReclaimable(uint32_t reclaimDelay) const;
};

// True when incoming falls under the record created for stored. Deliberately
// asymmetric: only capitals in the incoming name count towards the tag rule
// (a space at position 2 with one capital before it, or at 3 or 4 with two,
// ends the comparison with a match).
bool zoneNamesMatch(std::string_view stored, std::string_view incoming);

// Exact, case-sensitive comparison of the first 15 characters of each, and
// the two must have the same capped length.
bool passwordsMatch(std::string_view stored, std::string_view offered);

class ZonePasswords {
public:
    // A name unused for more than settings.ReclaimDelay may be claimed anew.
    explicit ZonePasswords(const ZoneSettings& settings = {})
        : reclaimDelay(settings.ReclaimDelay) {}
    ZonePasswords(const ZonePasswords&) = delete;
    ZonePasswords& operator=(const ZonePasswords&) = delete;

    // True when the update may proceed. Only the oldest record whose name
    // captures name is consulted; with none, a record is created for name
    // and password and the answer is true.
    bool checkZonePassword(std::string_view firstName, std::string_view firstPassword);

    // The record a name falls under: the oldest whose name captures it, or
    // nullptr. Costs the same at any registry size.
    ZonePassword* owner(std::string_view name) const { return index.find(name); }

    int32_t count() const { return records.count(); }
    PointerList<ZonePassword>::Node* head() const { return records.head(); }

private:
    PointerList<ZonePassword> records;  // in order of creation
    PasswordIndex index;
    uint32_t reclaimDelay;              // ms
};

}  // namespace kelvaro
