#include "zones/zone_list.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "net/udp_endpoint.h"
#include "platform/tick_clock.h"
#include "util/bytes.h"

namespace kelvaro {
namespace {

bool bySequence(const ZoneRecord* a, const ZoneRecord* b) { return a->sequence < b->sequence; }

}  // namespace

bool ZoneRecord::matches(const IpAddress& otherAddress, uint16_t otherPort) const {
    return address == otherAddress && port == otherPort;
}

// Compared in place: a zone repeats its texts, and in a big list the record
// is seldom in the cache, so only the bytes the new texts span are read.
bool ZoneRecord::setText(std::string_view newName, std::string_view newDescription) {
    const bool changed = !holdsText(name, sizeof name, newName) ||
                         !holdsText(description, sizeof description, newDescription);
    if (changed) {
        storeText(name, sizeof name, newName);
        storeText(description, sizeof description, newDescription);
    }
    return changed;
}

void ZoneRecord::startSweepPing() {
    awaitingReply = true;
    missedPings = 0;
    lastPingTick = tickCount();
    if (owner != nullptr) owner->noteAwaiting(this);
}

bool ZoneRecord::retryDue() {
    const uint32_t now = tickCount();
    if (!intervalPassed(now, lastPingTick, highPing)) return false;
    lastPingTick = now;
    ++missedPings;
    return true;
}

void ZoneRecord::onPingReply(uint32_t sentTick, uint32_t reported) {
    const uint32_t roundTrip = elapsedMs(tickCount(), sentTick);
    const uint16_t before = population;
    population = static_cast<uint16_t>(reported);
    // A round trip above the cap is more likely a stale or forged echo than a
    // real delay, and letting it in would slow this zone's re-pings for good.
    if (roundTrip > highPing && roundTrip <= kMaxAcceptedRoundTripMs) highPing = roundTrip;
    awaitingReply = false;
    lastHeardTick = tickCount();
    if (owner != nullptr) {
        owner->noteChanged();
        if (population != before) owner->noteKeptChange(*this);
    }
}

uint64_t ZoneList::NodeHash::operator()(const Node& node) const {
    return ipPortHashKey(node.element->address, node.element->port);
}

ZoneList::Node* ZoneList::findNode(const IpAddress& address, uint16_t port) const {
    return index.find(ipPortHashKey(address, port),
                      [&](const Node& node) { return node.element->matches(address, port); });
}

// A copied record carries its original's owner, so the index has the last word.
bool ZoneList::holds(const ZoneRecord* record) const {
    const Node* node = findNode(record->address, record->port);
    return node != nullptr && node->element.get() == record;
}

void ZoneList::prefetch(const IpAddress& address, uint16_t port, uint32_t distance) const {
    const uint64_t key = ipPortHashKey(address, port);
    if (distance >= 2) {
        index.prefetchSlot(key);
        return;
    }
    const Node* node = index.candidate(key);
    if (node == nullptr) return;
    if (distance == 1) {
        __builtin_prefetch(node);
        return;
    }
    const ZoneRecord* record = node->element.get();
    __builtin_prefetch(record);
    __builtin_prefetch(record->name);
    __builtin_prefetch(&record->lastHeardTick);
}

ZoneRecord* ZoneList::find(const IpAddress& address, uint16_t port) {
    Node* node = findNode(address, port);
    return node != nullptr ? node->element.get() : nullptr;
}

const ZoneRecord* ZoneList::find(const IpAddress& address, uint16_t port) const {
    const Node* node = findNode(address, port);
    return node != nullptr ? node->element.get() : nullptr;
}

ZoneChange ZoneList::addOrUpdate(const IpAddress& address, uint16_t port, uint16_t population,
                                 uint16_t zoneFlag, uint32_t zoneWord, std::string_view name,
                                 std::string_view description, ZoneSource source) {
    const uint16_t flag = zoneFlag != 0 ? 1 : 0;
    if (ZoneRecord* known = find(address, port)) {
        // A zone announces itself over and over with the same fields; only a
        // real change is worth a store's write.
        bool kept = known->zoneFlag != flag || known->zoneWord != zoneWord;
        if (source == ZoneSource::Update) {
            kept = kept || known->source != ZoneSource::Update;
            known->source = ZoneSource::Update;
            known->lastHeardTick = tickCount();
        }
        // The population of a known zone comes from its ping replies only.
        known->zoneFlag = flag;
        known->zoneWord = zoneWord;
        kept = known->setText(name, description) || kept;
        ++changes;
        if (tracking && kept) changedKeys.push_back(zoneKey(address, port));
        return ZoneChange::Updated;
    }
    if (!isValidZoneName(name)) return ZoneChange::BadName;
    if (source == ZoneSource::Peer && rejoins.holds(address, port, tickCount()))
        return ZoneChange::RejoinRefused;
    if (capReached(address)) {
        reportZoneLimit(address);
        return ZoneChange::Limit;
    }
    auto record = std::make_unique<ZoneRecord>(settings_.InitialHighPing);
    record->address = address;
    record->port = port;
    record->population = population;
    record->zoneFlag = flag;
    record->zoneWord = zoneWord;
    record->setText(name, description);
    record->source = source;
    record->lastHeardTick = tickCount();
    if (source == ZoneSource::Update) rejoins.forget(address, port);
    if (nextSequence == std::numeric_limits<uint32_t>::max()) renumber();
    record->sequence = nextSequence++;
    record->owner = this;
    zones.append(std::move(record));
    index.insert(zones.tail());
    countAdded(address);
    if (address.isV6()) ++sixes;
    ++changes;
    if (tracking) changedKeys.push_back(zoneKey(address, port));
    if (addsPrinted) std::printf("Adding : %s\n", zones.tail()->element->name);
    return ZoneChange::Added;
}

// Sequence numbers only order records, so after four billion additions they
// start again from 1 in list order; awaiting keeps its order through this.
void ZoneList::renumber() {
    nextSequence = 1;
    for (Node* node = zones.head(); node != nullptr; node = node->next)
        node->element->sequence = nextSequence++;
}

void ZoneList::setSettings(const ZoneSettings& settings) {
    const bool wasCounting = settings_.MaxZonesPerAddress != 0;
    settings_ = settings;
    rejoins.setDelay(settings.RejoinDelay);
    const bool counting = settings_.MaxZonesPerAddress != 0;
    if (counting == wasCounting) return;
    // The counts are kept only while the cap is set, so a cap set anew
    // starts from the records held; one taken away frees them.
    perAddress.clear();
    if (!counting) return;
    for (Node* node = zones.head(); node != nullptr; node = node->next)
        ++perAddress[node->element->address.hostBlock()];
}

bool ZoneList::refusesNew(const IpAddress& address, uint16_t port) {
    return capReached(address) && find(address, port) == nullptr;
}

bool ZoneList::capReached(const IpAddress& address) const {
    if (settings_.MaxZones != 0 && static_cast<uint32_t>(zones.count()) >= settings_.MaxZones)
        return true;
    if (settings_.MaxZonesPerAddress == 0) return false;
    const auto it = perAddress.find(address.hostBlock());
    return it != perAddress.end() && it->second >= settings_.MaxZonesPerAddress;
}

void ZoneList::countAdded(const IpAddress& address) {
    if (settings_.MaxZonesPerAddress != 0) ++perAddress[address.hostBlock()];
}

void ZoneList::countRemoved(const IpAddress& address) {
    const auto it = perAddress.find(address.hostBlock());
    if (it == perAddress.end()) return;
    // An address with no zones left takes no memory.
    if (--it->second == 0) perAddress.erase(it);
}

void reportZoneLimit(const IpAddress& address) {
    std::printf("---Zone limit reached: %s\n", address.text().c_str());
}

ZoneRecord* ZoneList::nextForSweep() {
    if (cursor == nullptr) cursor = zones.head();
    if (cursor == nullptr) return nullptr;
    cursor = cursor->next != nullptr ? cursor->next : zones.head();
    return cursor->element.get();
}

void ZoneList::remove(ZoneRecord* record) {
    if (record == nullptr) return;
    Node* node = findNode(record->address, record->port);
    if (node == nullptr || node->element.get() != record) return;
    forgetAwaiting(record);
    index.erase(node);
    // Stepping back keeps the round robin: the next sweep takes the record
    // that followed this one (or restarts after the head when it was first).
    if (cursor == node) cursor = node->prev;
    if (listStart == node) listStart = node->next;
    countRemoved(record->address);
    if (record->address.isV6()) --sixes;
    ++changes;
    if (tracking) changedKeys.push_back(zoneKey(record->address, record->port));
    zones.removeNode(node);
}

void ZoneList::trackChanges(bool on) {
    tracking = on;
    if (!on) changedKeys = {};
}

void ZoneList::takeChangedKeys(std::vector<ZoneKey>& into) {
    into.clear();
    into.swap(changedKeys);
}

void ZoneList::noteKeptChange(const ZoneRecord& record) {
    if (tracking && holds(&record)) changedKeys.push_back(zoneKey(record.address, record.port));
}

void ZoneList::drop(ZoneRecord* record) {
    if (record == nullptr || !holds(record)) return;
    rejoins.remember(record->address, record->port, tickCount());
    remove(record);
}

void ZoneList::noteAwaiting(ZoneRecord* record) {
    if (!holds(record)) return;
    const auto place = std::lower_bound(awaiting.begin(), awaiting.end(), record, bySequence);
    if (place != awaiting.end() && *place == record) return;
    awaiting.insert(place, record);
}

void ZoneList::forgetAwaiting(const ZoneRecord* record) {
    const auto place = std::lower_bound(awaiting.begin(), awaiting.end(), record, bySequence);
    if (place != awaiting.end() && *place == record) awaiting.erase(place);
}

void ZoneList::clearAwaiting() {
    for (ZoneRecord* record : awaiting) record->awaitingReply = false;
    awaiting.clear();
}

}  // namespace kelvaro
