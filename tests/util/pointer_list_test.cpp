#include "util/pointer_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace kelvaro {
namespace {

// Counts destructions so tests can tell a destroyed element from a kept one.
struct Tracked {
    explicit Tracked(int v, int* destroyed) : value(v), destroyedCount(destroyed) {}
    ~Tracked() { ++*destroyedCount; }
    int value;
    int* destroyedCount;
};

class PointerListTest : public ::testing::Test {
protected:
    Tracked* add(int value) { return list.append(std::make_unique<Tracked>(value, &destroyed)); }

    std::vector<int> values() const {
        std::vector<int> out;
        for (auto* n = list.head(); n; n = n->next) out.push_back(n->element->value);
        return out;
    }

    void expectLinksConsistent() const {
        int32_t seen = 0;
        PointerList<Tracked>::Node* last = nullptr;
        for (auto* n = list.head(); n; n = n->next) {
            EXPECT_EQ(n->prev, last);
            last = n;
            ++seen;
        }
        EXPECT_EQ(last, list.tail());
        EXPECT_EQ(seen, list.count());
    }

    int destroyed = 0;
    PointerList<Tracked> list;
};

TEST_F(PointerListTest, RemovingTheOnlyNodeEmptiesTheList) {
    add(1);
    EXPECT_EQ(list.removeNode(list.head()), 0);
    EXPECT_EQ(list.head(), nullptr);
    EXPECT_EQ(list.tail(), nullptr);
    EXPECT_EQ(destroyed, 1);
}

TEST_F(PointerListTest, RemovingHeadMiddleAndTailKeepsLinks) {
    for (int i = 1; i <= 5; ++i) add(i);
    list.removeNode(list.head());
    EXPECT_EQ(list.head()->prev, nullptr);
    list.removeNode(list.tail());
    EXPECT_EQ(list.tail()->next, nullptr);
    list.removeNode(list.head()->next);
    EXPECT_EQ(values(), (std::vector<int>{2, 4}));
    expectLinksConsistent();
    EXPECT_EQ(destroyed, 3);
}

TEST_F(PointerListTest, DetachedElementOutlivesItsNode) {
    add(1);
    add(2);
    std::unique_ptr<Tracked> kept = list.detachNode(list.head());
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(kept->value, 1);
    EXPECT_EQ(values(), (std::vector<int>{2}));
    expectLinksConsistent();
}

TEST_F(PointerListTest, RemoveElementTakesOnlyItsNodeAndIgnoresStrangers) {
    Tracked* first = add(1);
    add(2);
    Tracked stranger(9, &destroyed);
    list.removeElement(&stranger);
    EXPECT_EQ(list.count(), 2);
    list.removeElement(first);
    EXPECT_EQ(values(), (std::vector<int>{2}));
    expectLinksConsistent();
}

TEST_F(PointerListTest, DetachElementHandsOverOnlyAMember) {
    add(1);
    Tracked* second = add(2);
    add(3);
    Tracked stranger(9, &destroyed);
    EXPECT_EQ(list.detachElement(&stranger), nullptr);
    EXPECT_EQ(list.count(), 3);
    std::unique_ptr<Tracked> kept = list.detachElement(second);
    ASSERT_EQ(kept.get(), second);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(values(), (std::vector<int>{1, 3}));
    expectLinksConsistent();
}

TEST_F(PointerListTest, ClearDestroysEveryElementOfALongList) {
    for (int i = 0; i < 200000; ++i) add(i);
    list.clear();
    EXPECT_EQ(destroyed, 200000);
    EXPECT_EQ(list.count(), 0);
    add(7);
    expectLinksConsistent();
}

}  // namespace
}  // namespace kelvaro
