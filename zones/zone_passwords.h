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
#include <vector>

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

    // The password as text, without its NUL padding.
    std::string_view currentPassword() const;
};

// True when incoming falls under the record created for stored. Deliberately
// asymmetric: only capitals in the incoming name count towards the tag rule
// (a space at position 2 with one capital before it, or at 3 or 4 with two,
// ends the comparison with a match).
bool zoneNamesMatch(std::string_view stored, std::string_view incoming);

// Exact, case-sensitive comparison of the first 15 characters of each, and
// the two must have the same capped length.
bool passwordsMatch(std::string_view stored, std::string_view offered);

// The registry's answer to an announced name and password.
enum class PasswordCheck {
    Accepted,
    BadPassword,
    Limit,  // the name needs a new record and MaxPasswordRecords are held
};

class ZonePasswords {
public:
    // A name unused for more than settings.ReclaimDelay may be claimed anew;
    // no new record is made once settings.MaxPasswordRecords (if not 0) exist.
    explicit ZonePasswords(const ZoneSettings& settings = {})
        : reclaimDelay(settings.ReclaimDelay), maxRecords(settings.MaxPasswordRecords) {}
    // New limits for every check from now on; records beyond a lowered cap
    // stay, only new ones are refused.
    void setLimits(const ZoneSettings& settings) {
        reclaimDelay = settings.ReclaimDelay;
        maxRecords = settings.MaxPasswordRecords;
    }
    ZonePasswords(const ZonePasswords&) = delete;
    ZonePasswords& operator=(const ZonePasswords&) = delete;

    // True when the update may proceed. Only the oldest record whose name
    // captures name is consulted; with none, a record is created for name
    // and password and the answer is true.
    bool checkZonePassword(std::string_view firstName, std::string_view firstPassword) {
        return check(firstName, firstPassword) == PasswordCheck::Accepted;
    }
    // The same, telling a refused password from a name refused by the cap.
    PasswordCheck check(std::string_view name, std::string_view password);

    // What check() would answer now, changing nothing: no record is made, no
    // password reclaimed, no use recorded (for zones not yet listed).
    PasswordCheck peek(std::string_view name, std::string_view password) const;

    // The record a name falls under: the oldest whose name captures it, or
    // nullptr. Costs the same at any registry size.
    ZonePassword* owner(std::string_view name) const { return index.find(name); }
    // See PasswordIndex::prefetch.
    void prefetch(std::string_view name, uint32_t distance) const { index.prefetch(name, distance); }

    int32_t count() const { return records.count(); }
    PointerList<ZonePassword>::Node* head() const { return records.head(); }

    // Puts back a record kept by a store of an earlier run, as the newest
    // record, with lastUseTick as given: a store hands its records over in
    // their order of creation, before any check(). Null (and nothing made)
    // when the name already falls under a record or the cap is reached.
    ZonePassword* restore(std::string_view name, std::string_view password, uint32_t lastUseTick);

    // While tracking is on, every record check() creates or accepts (its
    // password or lastUseTick changed) is logged, repeats and all. Records
    // are never removed, so the pointers stay valid. Off, it costs nothing.
    void trackChanges(bool on);
    // Hands the records logged since the last call to into (cleared first).
    void takeChanged(std::vector<const ZonePassword*>& into);

private:
    PointerList<ZonePassword> records;  // in order of creation
    PasswordIndex index;
    bool full() const;
    ZonePassword* append(std::string_view name, std::string_view password);
    bool tracking = false;
    std::vector<const ZonePassword*> changed;

    uint32_t reclaimDelay;              // ms
    uint32_t maxRecords;                // 0: no cap
};

}  // namespace kelvaro
