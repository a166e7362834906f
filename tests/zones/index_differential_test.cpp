// The indexes of the zone list and of the password registry checked against
// the plain walks they replace, over long random runs with a fixed seed.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/tick_clock.h"
#include "support/capture_stdout.h"
#include "zones/zone_list.h"
#include "zones/zone_passwords.h"

namespace kelvaro {
namespace {

using testing_support::StdoutCapture;

// Names built to land on every way one name can capture another: short tags
// with and without capitals, a space at 2, 3 or 4, shared 21-character stems
// with differing tails, case variants, odd spaces and every length 0..31.
std::string randomName(std::mt19937& random) {
    static const std::string kLetters = "aAbBcC zZ";
    static const std::string kStem = "StemOfTwentyOneChars!";  // 21 characters
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    auto letter = [&] { return kLetters[pick(kLetters.size())]; };
    std::string name;
    switch (pick(4)) {
        case 0:  // a tag of 2..4 characters, a space, a tail
            for (size_t i = 0, n = 2 + pick(3); i < n; ++i) name += letter();
            name += ' ';
            for (size_t i = 0, n = pick(6); i < n; ++i) name += letter();
            break;
        case 1:  // the shared stem in some case, then a tail
            for (const char c : kStem) name += pick(2) ? static_cast<char>(std::toupper(c)) : c;
            name.resize(18 + pick(4));
            for (size_t i = 0, n = pick(11); i < n; ++i) name += letter();
            break;
        default:  // anything over the small alphabet, 0..31 characters
            for (size_t i = 0, n = pick(32); i < n; ++i) name += letter();
            break;
    }
    if (name.size() > 31) name.resize(31);
    return name;
}

// The registry walk the index replaces: the first record, oldest first,
// whose name captures name.
const ZonePassword* walkOwner(const ZonePasswords& registry, const std::string& name) {
    for (auto* node = registry.head(); node != nullptr; node = node->next)
        if (zoneNamesMatch(node->element->name, name)) return node->element.get();
    return nullptr;
}

TEST(PasswordIndexTest, AnswersWithTheRecordTheFirstMatchWalkFinds) {
    ManualClock clock(1000);  // never reaches the reclaim delay
    ZonePasswords registry;
    std::mt19937 random(20261208);
    int created = 0;
    int capturedByOlder = 0;
    for (int step = 0; step < 20000; ++step) {
        const std::string name = randomName(random);
        const ZonePassword* expected = walkOwner(registry, name);
        ASSERT_EQ(registry.owner(name), expected) << "step " << step << " name '" << name << "'";
        if (step % 3 == 0) continue;  // a lookup only
        const int before = registry.count();
        // The record's own password is accepted, so the answer also shows that
        // the registry asked the record the walk found.
        const std::string password =
            expected ? expected->password : "p" + std::to_string(step);
        ASSERT_TRUE(registry.checkZonePassword(name, password)) << name;
        ASSERT_EQ(registry.count(), before + (expected ? 0 : 1)) << name;
        if (expected) {
            ASSERT_FALSE(registry.checkZonePassword(name, password + "x")) << name;
            if (std::string(expected->name) != name) ++capturedByOlder;
        } else {
            ++created;
        }
    }
    // The draw must have exercised both outcomes plenty for the run to mean anything.
    EXPECT_GT(created, 500);
    EXPECT_GT(capturedByOlder, 500);
}

TEST(PasswordIndexTest, TagCapturesGoToTheOldestOfSeveralCandidates) {
    ManualClock clock(1000);
    ZonePasswords registry;
    registry.checkZonePassword("abcd efgh", "four");  // tag-4 owner of "abcd"
    registry.checkZonePassword("abc efgh", "three");  // tag-3 owner of "abc"
    registry.checkZonePassword("ab cdefgh", "two");   // tag-2 owner of "ab"
    registry.checkZonePassword("AB x", "two");        // captured by "ab cdefgh": no record
    registry.checkZonePassword("xy q", "lower");      // only capitals reach it by its tag
    struct Case {
        const char* name;
        const char* owner;  // nullptr: no record captures it
    };
    const Case cases[] = {
        {"ABCD zzz", "abcd efgh"}, {"ABc zzz", "abc efgh"},  {"Ab zzz", "ab cdefgh"},
        {"ab zzz", nullptr},       {"aBcd zzz", nullptr},    {"ab x", nullptr},
        {"ABCD EFGH", "abcd efgh"}, {"abc efgh", "abc efgh"}, {"abcd efgX", nullptr},
        {"XY z", "xy q"},          {"xy z", nullptr},        {"xY q", "xy q"},
    };
    EXPECT_EQ(registry.count(), 4);
    for (const Case& c : cases) {
        const ZonePassword* found = registry.owner(c.name);
        EXPECT_EQ(found, walkOwner(registry, c.name)) << c.name;
        if (c.owner == nullptr) EXPECT_EQ(found, nullptr) << c.name;
        else if (found != nullptr) EXPECT_STREQ(found->name, c.owner) << c.name;
        else ADD_FAILURE() << c.name << " found no owner";
    }
}

// One zone of the reference: where it is and what it is called.
struct ReferenceZone {
    uint32_t address;
    uint16_t port;
    ZoneRecord* record;
};

std::vector<ZoneRecord*> walkAwaiting(ZoneList& list) {
    std::vector<ZoneRecord*> out;
    for (auto* node = list.head(); node != nullptr; node = node->next)
        if (node->element->awaitingReply) out.push_back(node->element.get());
    return out;
}

TEST(ZoneIndexTest, FindsRemovesAndVisitsExactlyAsTheListWalkDoes) {
    ManualClock clock(5000);
    ZoneList list(ZoneSettings{.DropLimit = 2, .InitialHighPing = 100});
    std::vector<ReferenceZone> reference;  // in list order
    std::mt19937 random(4991);
    StdoutCapture quiet;
    int found = 0;
    int dropped = 0;
    for (int step = 0; step < 30000; ++step) {
        // Few addresses and ports, so that adds often hit known zones.
        const uint32_t address = 0x0100007F + (random() % 4 << 24);
        const auto port = static_cast<uint16_t>(random() % 300 == 0 ? 65535 : random() % 200);
        ZoneRecord* expected = nullptr;
        for (const ReferenceZone& zone : reference)
            if (zone.address == address && zone.port == port) expected = zone.record;
        ASSERT_EQ(list.find(address, port), expected) << "step " << step;
        if (expected) ++found;
        switch (random() % 8) {
            case 0: case 1: case 2:  // announce
                list.addOrUpdate(address, port, 1, 0, 0, "Zone", "d");
                if (!expected) reference.push_back({address, port, list.find(address, port)});
                break;
            case 3:  // drop
                list.remove(expected);
                if (expected)
                    std::erase_if(reference, [&](const ReferenceZone& z) { return z.record == expected; });
                break;
            case 4:  // a sweep ping
                if (expected) expected->startSweepPing();
                break;
            case 5:  // a reply
                if (expected) expected->onPingReply(clock.now(), 3);
                break;
            case 6: {  // a time-out pass: same visits, in list order, with drops
                clock.advance(random() % 150);
                const std::vector<ZoneRecord*> due = walkAwaiting(list);
                std::vector<ZoneRecord*> visited;
                list.forEachAwaiting([&](ZoneRecord* zone) {
                    visited.push_back(zone);
                    if (zone->dropDue(list.settings().DropLimit)) {
                        std::erase_if(reference, [&](const ReferenceZone& z) { return z.record == zone; });
                        list.remove(zone);
                        ++dropped;
                    } else {
                        zone->retryDue();
                    }
                });
                ASSERT_EQ(visited, due) << "step " << step;
                break;
            }
            default:
                if (random() % 20 == 0) {
                    list.clearAwaiting();
                    ASSERT_TRUE(walkAwaiting(list).empty());
                }
                break;
        }
        ASSERT_EQ(list.count(), static_cast<int32_t>(reference.size()));
    }
    std::vector<ZoneRecord*> order;
    for (auto* node = list.head(); node != nullptr; node = node->next) order.push_back(node->element.get());
    std::vector<ZoneRecord*> expectedOrder;
    for (const ReferenceZone& zone : reference) expectedOrder.push_back(zone.record);
    EXPECT_EQ(order, expectedOrder);
    EXPECT_GT(found, 5000);
    EXPECT_GT(dropped, 50);
}

TEST(ZoneIndexTest, RecordsOutsideTheListAreLeftAlone) {
    ZoneList list;
    StdoutCapture quiet;
    list.addOrUpdate(0x0100007F, 10, 1, 0, 0, "Kept", "");
    ZoneRecord* kept = list.find(0x0100007F, 10);
    ZoneRecord copy = *kept;  // same address, port and owner, but not the list's
    copy.startSweepPing();
    list.remove(&copy);
    ZoneRecord loose;
    loose.startSweepPing();  // no list to tell
    int visits = 0;
    list.forEachAwaiting([&](ZoneRecord*) { ++visits; });
    EXPECT_EQ(visits, 0);
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(list.find(0x0100007F, 10), kept);
    EXPECT_TRUE(loose.awaitingReply);
}

}  // namespace
}  // namespace kelvaro
