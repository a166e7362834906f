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
#include <vector>

#include "platform/tick_clock.h"
#include "util/pointer_list.h"
#include "util/pointer_table.h"
#include "zones/zone_key.h"
#include "zones/zone_name.h"
#include "zones/rejoin_memory.h"
#include "zones/zone_settings.h"

namespace kelvaro {

constexpr size_t kZoneNameSize = 32;          // 31 characters and a NUL
constexpr size_t kZoneDescriptionSize = 256;  // 255 characters and a NUL
// Round trips above this are treated as noise and never raise highPing.
constexpr uint32_t kMaxAcceptedRoundTripMs = 1000;

class ZoneList;

// How the directory first learned of a zone: its own update datagram, or a
// peer's server list. A zone known from a peer becomes Update once it
// announces itself here.
enum class ZoneSource : uint8_t {
    Update = 0,
    Peer = 1,
};

// One listed zone. A new record is empty (no address, port, counts or text)
// with its ping fields at their creation values.
//
// Field order matters: padding is kept to a few bytes, since with a hundred
// thousand zones every byte of a record is a hundred kilobytes of the process.
struct ZoneRecord {
    explicit ZoneRecord(uint32_t initialHighPing = 0) : highPing(initialHighPing) {}

    IpAddress address;        // IPv4 or IPv6; never changes
    uint16_t port = 0;        // host order; the zone answers pings on port + 1
    uint16_t population = 0;  // first from the update, then from ping replies
    uint16_t zoneFlag = 0;    // always 0 or 1, relayed unchanged
    bool awaitingReply = false;  // a sweep ping went out and no reply came yet
    ZoneSource source = ZoneSource::Update;  // fills the byte before zoneWord
    uint32_t zoneWord = 0;    // relayed unchanged
    char name[kZoneNameSize] = {};                // NUL-terminated, rest zero
    char description[kZoneDescriptionSize] = {};  // NUL-terminated, rest zero
    uint32_t highPing = 0;       // ms; largest accepted round trip, and the re-ping wait
    uint32_t missedPings = 0;    // re-pings since the last sweep ping
    uint32_t lastPingTick = 0;   // tick of the last ping sent
    uint32_t lastHeardTick = 0;  // tick of the last update or ping reply (or of the peer's list that brought it)
    uint32_t pingRound = 0;      // round of the pings sent now, when pings carry tokens (PingTokens)
    // Set by the list that holds the record (0 and nullptr for a record made
    // on its own): the record's place in list order, and the list to tell
    // when a sweep ping starts, so its time-out pass finds the record.
    uint32_t sequence = 0;
    ZoneList* owner = nullptr;

    bool matches(const IpAddress& otherAddress, uint16_t otherPort) const;

    // Replaces both texts. Each is cut at its first NUL and at 31 / 255
    // characters, so any bytes may be passed. True when either text differs
    // from what it replaced.
    bool setText(std::string_view newName, std::string_view newDescription);

    // Marks the sweep ping as sent now; the caller sends it. The owning list,
    // if any, adds the record to those its time-out pass visits.
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


// What addOrUpdate did with an announcement.
enum class ZoneChange {
    Added,
    Updated,
    BadName,  // an unknown zone whose name fails isValidZoneName
    Limit,    // an unknown zone refused by MaxZones or MaxZonesPerAddress
    RejoinRefused,  // a peer's entry for a zone dropped less than RejoinDelay ago
};

// The records, in order of first appearance. Records are owned by the list;
// a ZoneRecord* stays valid until remove() of that record or the list's end.
//
// Every operation on one record costs the same at any population: an index by
// address and port finds records, and the records awaiting a reply are kept
// apart, in list order, for the time-out pass.
class ZoneList {
public:
    using Node = PointerList<ZoneRecord>::Node;

    // New records start with settings.InitialHighPing.
    explicit ZoneList(const ZoneSettings& settings = {})
        : settings_(settings), rejoins(settings.RejoinDelay) {}
    // New settings for every operation from now on. Records keep their
    // ping state; a MaxZonesPerAddress set anew counts the records held.
    void setSettings(const ZoneSettings& settings);
    ZoneList(const ZoneList&) = delete;
    ZoneList& operator=(const ZoneList&) = delete;

    // The record with both address and port, or nullptr.
    ZoneRecord* find(const IpAddress& address, uint16_t port);
    const ZoneRecord* find(const IpAddress& address, uint16_t port) const;

    // Loading ahead for a look-up of address:port that comes distance
    // look-ups from now (0: the next one), so that in a big list its cache
    // misses overlap the work before it: at distance 2 the index slot, at 1
    // the node that slot names, at 0 the record's lines an update touches.
    // Each stage reads what the one before loaded; a zone not listed costs a
    // slot read. Changes nothing.
    void prefetch(const IpAddress& address, uint16_t port, uint32_t distance) const;

    // A known address and port gets the new flag, word and texts (port,
    // population and ping state stay). An unknown one is appended, printing
    // "Adding : <name>", unless its name fails isValidZoneName or a cap
    // refuses it ("---Zone limit reached: <address>"; see refusesNew). A
    // non-zero zoneFlag is stored as 1. An update (source Update) marks the
    // zone heard from now and as announced here; a peer's entry (source Peer)
    // does neither for a known zone. An unknown zone from a peer's entry that
    // was dropped less than RejoinDelay ago is not added (RejoinRefused,
    // nothing printed); an update adds it at once and forgets the drop.
    ZoneChange addOrUpdate(const IpAddress& address, uint16_t port, uint16_t population, uint16_t zoneFlag,
                           uint32_t zoneWord, std::string_view name, std::string_view description,
                           ZoneSource source = ZoneSource::Update);

    // True when an announcement from this address and port would be refused
    // by MaxZones or MaxZonesPerAddress: the zone is unknown and the list, or
    // that address, already holds its cap. Known zones are never refused.
    bool refusesNew(const IpAddress& address, uint16_t port);

    // Round-robin over the list, starting after the head on the first call;
    // nullptr when the list is empty.
    ZoneRecord* nextForSweep();

    // Unlinks and frees record, keeping the sweep order and the list start.
    // A record that is not in the list leaves it unchanged.
    void remove(ZoneRecord* record);

    // Removes a zone that did not answer, like remove(), and remembers it for
    // RejoinDelay so that peers' lists do not bring it back meanwhile.
    void drop(ZoneRecord* record);

    // Forgets the drops older than RejoinDelay; the service calls it every
    // iteration (see rejoin_memory.h for why).
    void expireDrops() { rejoins.expire(tickCount()); }
    const RejoinMemory& dropped() const { return rejoins; }
    // True when a peer's entry for this zone is refused for now: the zone was
    // dropped for silence less than RejoinDelay ago.
    bool refusesRejoin(const IpAddress& address, uint16_t port) {
        return rejoins.holds(address, port, tickCount());
    }

    // Forgets every outstanding sweep ping (used when the server itself was
    // too slow or busy to listen for replies).
    void clearAwaiting();

    // Calls visit(record) for each record awaiting a reply, in list order.
    // visit may remove() the record it is given, and no other.
    template <typename Visit>
    void forEachAwaiting(Visit&& visit);

    // Called by ZoneRecord::startSweepPing; a record of another list is ignored.
    void noteAwaiting(ZoneRecord* record);

    int32_t count() const { return zones.count(); }
    // Of those, the zones at IPv6 addresses.
    int32_t countV6() const { return sixes; }
    const ZoneSettings& settings() const { return settings_; }

    // Moves on whenever anything a listing shows may have changed: a zone
    // added, updated, removed, or heard from by a ping reply. Readers that
    // keep a copy of the list compare it to know when theirs is stale.
    uint64_t revision() const { return changes; }
    void noteChanged() { ++changes; }

    // While tracking is on, the key (zoneKey) of every zone whose kept fields
    // changed (address, port, population, flag, word, texts, source: what a
    // store of the list keeps; not the ping state) is logged, repeats and
    // all, and so is the key of every zone removed. A store writes what the
    // log names and drops what it no longer finds. Off, the log costs nothing.
    void trackChanges(bool on);
    // Hands the keys logged since the last call to into (cleared first).
    void takeChangedKeys(std::vector<ZoneKey>& into);
    // Called by ZoneRecord::onPingReply when the population changed.
    void noteKeptChange(const ZoneRecord& record);

    // Whether an added zone prints "Adding : <name>" (on by default). Off
    // while a store's zones are put back, which the start-up report counts.
    void printAdds(bool on) { addsPrinted = on; }

    // First node for a head-to-tail walk (Node::next, Node::element). A walk
    // that removes records must take next before calling remove().
    Node* head() const { return zones.head(); }

    // The node the sweep reached last, or nullptr.
    Node* cursor = nullptr;
    // Where the next server list that cannot hold every zone starts: the
    // first zone the previous full list left out, or nullptr for the head.
    // When that zone is removed, the zone after it takes its place.
    Node* listStart = nullptr;
    // Owning list of the records. Read it freely; change it only through the
    // operations above so that cursor and the indexes stay valid.
    PointerList<ZoneRecord> zones;

private:
    struct NodeHash {
        uint64_t operator()(const Node& node) const;
    };
    Node* findNode(const IpAddress& address, uint16_t port) const;
    bool holds(const ZoneRecord* record) const;
    void forgetAwaiting(const ZoneRecord* record);
    void renumber();

    bool capReached(const IpAddress& address) const;
    void countAdded(const IpAddress& address);
    void countRemoved(const IpAddress& address);

    ZoneSettings settings_;
    RejoinMemory rejoins;
    // Records per host (an IPv4 address, an IPv6 /64: see IpAddress::hostBlock),
    // kept only while MaxZonesPerAddress is set so that the default costs
    // nothing per zone.
    std::unordered_map<IpAddress, uint32_t, IpAddressHash> perAddress;
    PointerTable<Node, NodeHash> index;
    // Records that may await a reply, in list order (by sequence). A record
    // stays here after its reply until the next time-out pass or
    // clearAwaiting() looks at it.
    std::vector<ZoneRecord*> awaiting;
    std::vector<ZoneRecord*> passing;  // the time-out pass's copy of awaiting
    int32_t sixes = 0;
    uint32_t nextSequence = 1;
    uint64_t changes = 0;
    bool tracking = false;
    bool addsPrinted = true;
    std::vector<ZoneKey> changedKeys;
};

template <typename Visit>
void ZoneList::forEachAwaiting(Visit&& visit) {
    // The pass works on its own copy and rebuilds awaiting as it goes, so a
    // record removed by visit leaves awaiting through remove() as usual.
    passing.swap(awaiting);
    awaiting.clear();
    for (ZoneRecord* record : passing) {
        if (!record->awaitingReply) continue;
        awaiting.push_back(record);
        visit(record);
    }
    passing.clear();
}

// Prints the one line a zone refused by a cap costs: "---Zone limit reached: <address>".
void reportZoneLimit(const IpAddress& address);

}  // namespace kelvaro
