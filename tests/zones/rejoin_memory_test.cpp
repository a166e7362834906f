#include "zones/rejoin_memory.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace kelvaro {
namespace {

const uint32_t kHost = inet_addr("127.0.0.1");
const uint32_t kOtherHost = inet_addr("127.0.0.2");

// Held while no more than the delay has passed, at any point of the tick's
// range, the wrap included; then gone, and gone from the memory as well.
TEST(RejoinMemoryTest, HoldsForTheDelayExactlyAndAcrossTheTickWrap) {
    constexpr uint32_t kDelay = 180000;
    for (const uint32_t start : {0u, 1000u, UINT32_MAX - 90000u, UINT32_MAX}) {
        SCOPED_TRACE(start);
        RejoinMemory memory(kDelay);
        memory.remember(kHost, 7000, start);
        EXPECT_TRUE(memory.holds(kHost, 7000, start));
        EXPECT_TRUE(memory.holds(kHost, 7000, start + kDelay));
        EXPECT_FALSE(memory.holds(kHost, 7001, start));       // another port
        EXPECT_FALSE(memory.holds(kOtherHost, 7000, start));  // another address
        EXPECT_EQ(memory.size(), 1u);
        EXPECT_FALSE(memory.holds(kHost, 7000, start + kDelay + 1));
        EXPECT_EQ(memory.size(), 0u);
    }
}

// expire() runs every iteration, so an entry is gone long before the counter
// could come round to its tick again.
TEST(RejoinMemoryTest, ExpiryTakesEntriesInDropOrderAndNoneLivesThroughAWrap) {
    RejoinMemory memory(1000);
    memory.remember(kHost, 1, 0);
    memory.remember(kHost, 2, 400);
    memory.remember(kHost, 3, 800);
    memory.expire(1000);
    EXPECT_EQ(memory.size(), 3u);
    memory.expire(1001);
    EXPECT_EQ(memory.size(), 2u);
    memory.expire(1401);
    EXPECT_EQ(memory.size(), 1u);
    EXPECT_TRUE(memory.holds(kHost, 3, 1401));
    memory.expire(5000);
    EXPECT_EQ(memory.size(), 0u);
    // A whole turn of the counter later the zone is not held again.
    EXPECT_FALSE(memory.holds(kHost, 3, 800));
}

TEST(RejoinMemoryTest, ForgottenOrRememberedAgainTheNewestDropCounts) {
    RejoinMemory memory(1000);
    memory.remember(kHost, 9, 0);
    memory.forget(kHost, 9);
    EXPECT_FALSE(memory.holds(kHost, 9, 1));
    EXPECT_EQ(memory.size(), 0u);

    // Dropped again later: the first drop's expiry must not take the second.
    memory.remember(kHost, 9, 500);
    memory.remember(kHost, 10, 600);
    memory.remember(kHost, 9, 900);
    EXPECT_EQ(memory.size(), 2u);
    EXPECT_TRUE(memory.holds(kHost, 9, 1600));
    EXPECT_FALSE(memory.holds(kHost, 10, 1601));
    EXPECT_TRUE(memory.holds(kHost, 9, 1900));
    EXPECT_FALSE(memory.holds(kHost, 9, 1901));
    memory.forget(kOtherHost, 1);
    EXPECT_EQ(memory.size(), 0u);
}

// However many zones are dropped within the delay, the memory holds no more
// than its capacity: the oldest drops make room, each counted once, and the
// newest are still held.
TEST(RejoinMemoryTest, StaysWithinItsBoundByForgettingTheOldestFirst) {
    struct Case {
        size_t capacity;
        uint32_t drops;
        bool repeatPorts;  // the same few zones dropped over and over
    };
    for (const Case c : {Case{4, 3, false}, Case{4, 4, false}, Case{4, 100, false},
                         Case{1, 10, false}, Case{8, 1000, true}, Case{1000, 5000, false}}) {
        SCOPED_TRACE(std::to_string(c.capacity) + " for " + std::to_string(c.drops));
        RejoinMemory memory(1000000, c.capacity);
        auto portOf = [&](uint32_t drop) {
            return static_cast<uint16_t>(c.repeatPorts ? drop % 3 : drop);
        };
        for (uint32_t drop = 0; drop < c.drops; ++drop) {
            memory.remember(kHost, portOf(drop), drop);
            ASSERT_LE(memory.size(), c.capacity);
        }
        const uint32_t now = c.drops;
        EXPECT_TRUE(memory.holds(kHost, portOf(c.drops - 1), now));
        if (!c.repeatPorts) {
            const size_t kept = std::min<size_t>(c.capacity, c.drops);
            EXPECT_EQ(memory.size(), kept);
            EXPECT_EQ(memory.evicted(), c.drops - kept);
            EXPECT_TRUE(memory.holds(kHost, portOf(static_cast<uint32_t>(c.drops - kept)), now));
            if (c.drops > kept) {
                const auto lastForgotten = static_cast<uint32_t>(c.drops - kept - 1);
                EXPECT_FALSE(memory.holds(kHost, portOf(lastForgotten), now));
            }
        } else {
            EXPECT_EQ(memory.size(), 3u);  // stale copies made room, not live zones
            EXPECT_EQ(memory.evicted(), 0u);
        }
    }
}

TEST(RejoinMemoryTest, DelayZeroRemembersNothing) {
    RejoinMemory memory(0);
    EXPECT_FALSE(memory.enabled());
    memory.remember(kHost, 1, 5);
    EXPECT_FALSE(memory.holds(kHost, 1, 5));
    EXPECT_EQ(memory.size(), 0u);
}

}  // namespace
}  // namespace kelvaro
