#pragma once
// The directory's picture of the live zones: one ZoneRecord per announced
// address and port, kept in order of first appearance, with the ping
// bookkeeping the service iteration drives (one sweep ping at a time,
// re-pings after highPing, a drop after DropLimit unanswered re-pings).
//
// Everything here lives in memory only and is used from the service thread.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "util/pointer_list.h"
#include "zones/zone_settings.h"

namespace kelvaro {

constexpr size_t kZoneNameSize = 32;          // 31 characters and a NUL
constexpr size_t kZoneDescriptionSize = 256;  // 255 characters and a NUL
// Round trips above this are treated as noise and never raise highPing.
constexpr uint32_t kMaxAcceptedRoundTripMs = 1000;

// One listed zone. A new record is empty (no address, port, counts or text)
// with its ping fields at their creation values.
struct ZoneRecord {
    explicit ZoneRecord(uint32_t initialHighPing = 0) : highPing(initialHighPing) {}

    uint32_t address = 0;     // IPv4, network order; never changes
    uint16_t port = 0;        // host order; the zone answers pings on port + 1
    uint16_t population = 0;  // first from the update, then from ping replies
    uint16_t zoneFlag = 0;    // always 0 or 1, relayed unchanged
    uint32_t zoneWord = 0;    // relayed unchanged
    char name[kZoneNameSize] = {};                // NUL-terminated, rest zero
    char description[kZoneDescriptionSize] = {};  // NUL-terminated, rest zero
    bool awaitingReply = false;  // a sweep ping went out and no reply came yet
    uint32_t highPing = 0;       // ms; largest accepted round trip, and the re-ping wait
    uint32_t missedPings = 0;    // re-pings since the last sweep ping
    uint32_t lastPingTick = 0;   // tick of the last ping sent

    bool matches(uint32_t otherAddress, uint16_t otherPort) const;

    // Replaces both texts. Each is cut at its first NUL and at 31 / 255
    // characters, so any bytes may be passed.
    void setText(std::string_view newName, std::string_view newDescription);

    // Marks the sweep ping as sent now; the caller sends it.
    void startSweepPing();

    // True when more than highPing ms passed since the last ping; the re-ping
    // is then recorded as sent now and the caller sends it.
    bool retryDue();

    // True once missedPings exceeds dropLimit (ZoneSettings::DropLimit).
    bool dropDue(uint32_t dropLimit) const { return missedPings > dropLimit; }

    // Applies a ping reply: the low 16 bits of reported become the
    // population; a round trip from sentTick of at most 1000 ms may raise
    // highPing (never lower it). Applied whether or not a reply was awaited.
    void onPingReply(uint32_t sentTick, uint32_t reported);
};

// A valid name is empty or printable ASCII words separated by single spaces:
// no leading, trailing or doubled space, no control or non-ASCII byte.
bool isValidZoneName(std::string_view name);

// What addOrUpdate did with an announcement.
enum class ZoneChange {
    Added,
    Updated,
    BadName,  // an unknown zone whose name fails isValidZoneName
    Limit,    // an unknown zone refused by MaxZones or MaxZonesPerAddress
};

// The records, in order of first appearance. Records are owned by the list;
// a ZoneRecord* stays valid until remove() of that record or the list's end.
class ZoneList {
public:
    using Node = PointerList<ZoneRecord>::Node;

    // New records start with settings.InitialHighPing.
    explicit ZoneList(const ZoneSettings& settings = {}) : settings_(settings) {}
    ZoneList(const ZoneList&) = delete;
    ZoneList& operator=(const ZoneList&) = delete;

    // Linear scan; nullptr when no record has both address and port.
    ZoneRecord* find(uint32_t address, uint16_t port);

    // A known address and port gets the new flag, word and texts (port,
    // population and ping state stay). An unknown one is appended, printing
    // "Adding : <name>", unless its name fails isValidZoneName or a cap
    // refuses it ("---Zone limit reached: <address>"; see refusesNew). A
    // non-zero zoneFlag is stored as 1.
    ZoneChange addOrUpdate(uint32_t address, uint16_t port, uint16_t population, uint16_t zoneFlag,
                     uint32_t zoneWord, std::string_view name, std::string_view description);

    // True when an announcement from this address and port would be refused
    // by MaxZones or MaxZonesPerAddress: the zone is unknown and the list, or
    // that address, already holds its cap. Known zones are never refused.
    bool refusesNew(uint32_t address, uint16_t port);

    // Round-robin over the list, starting after the head on the first call;
    // nullptr when the list is empty.
    ZoneRecord* nextForSweep();

    // Unlinks and frees record, keeping the sweep order. A record that is not
    // in the list leaves it unchanged.
    void remove(ZoneRecord* record);

    // Forgets every outstanding sweep ping (used when the server itself was
    // too slow or busy to listen for replies).
    void clearAwaiting();

    int32_t count() const { return zones.count(); }
    const ZoneSettings& settings() const { return settings_; }

    // First node for a head-to-tail walk (Node::next, Node::element). A walk
    // that removes records must take next before calling remove().
    Node* head() const { return zones.head(); }

    // The node the sweep reached last, or nullptr.
    Node* cursor = nullptr;
    // Owning list of the records. Read it freely; change it only through the
    // operations above so that cursor stays valid.
    PointerList<ZoneRecord> zones;

private:
    bool capReached(uint32_t address) const;
    void countAdded(uint32_t address);
    void countRemoved(uint32_t address);

    ZoneSettings settings_;
    // Records per IPv4 address, kept only while MaxZonesPerAddress is set so
    // that the default costs nothing per zone.
    std::unordered_map<uint32_t, uint32_t> perAddress;
};

// Prints the one line a zone refused by a cap costs: "---Zone limit reached: <address>".
void reportZoneLimit(uint32_t address);

}  // namespace kelvaro
