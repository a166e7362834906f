#include "platform/tick_clock.h"

#include <gtest/gtest.h>

namespace kelvaro {
namespace {

TEST(IntervalTest, PassesOnlyWhenStrictlyGreater) {
    EXPECT_FALSE(intervalPassed(1500, 1000, 500));
    EXPECT_TRUE(intervalPassed(1501, 1000, 500));
    EXPECT_FALSE(intervalPassed(1000, 1000, 0));
    EXPECT_TRUE(intervalPassed(1001, 1000, 0));
}

TEST(IntervalTest, ElapsedTimeIsCorrectAcrossTheWrap) {
    const uint32_t then = 0xFFFFFFF0u;
    EXPECT_EQ(elapsedMs(0x10u, then), 0x20u);
    EXPECT_FALSE(intervalPassed(0x10u, then, 0x20u));
    EXPECT_TRUE(intervalPassed(0x11u, then, 0x20u));
    EXPECT_FALSE(intervalPassed(0xFFFFFFFFu, then, 0x20u));
}

TEST(IntervalTest, NegativeSettingReadAsUnsignedNeverPasses) {
    const uint32_t minusOne = static_cast<uint32_t>(-1);
    EXPECT_FALSE(intervalPassed(0xFFFFFFFEu, 0xFFFFFFFFu, minusOne));
    EXPECT_FALSE(intervalPassed(12345u, 0u, minusOne));
}

TEST(ManualClockTest, ReplacesTheSystemCounterWhileItLives) {
    {
        ManualClock clock(0xFFFFFFFEu);
        EXPECT_EQ(tickCount(), 0xFFFFFFFEu);
        clock.advance(3);
        EXPECT_EQ(tickCount(), 1u);
        EXPECT_EQ(clock.now(), 1u);
        clock.set(777);
        EXPECT_EQ(tickCount(), 777u);
    }
    // The system counter runs on by itself again.
    const uint32_t start = tickCount();
    uint32_t now = start;
    for (int i = 0; i < 50 && now == start; ++i) {
        sleepMs(2);
        now = tickCount();
    }
    EXPECT_NE(now, start);
}

TEST(ManualClockTest, KeepsTheWholeCountAcrossTheWrap) {
    ManualClock clock(0xFFFFFFF0u);
    EXPECT_EQ(tickCount64(), 0xFFFFFFF0u);
    clock.advance(0x20);  // past the 32-bit wrap
    EXPECT_EQ(tickCount(), 0x10u);
    EXPECT_EQ(tickCount64(), 0x100000010ull);
    // A smaller low half than now means the counter wrapped forward; a larger
    // one moves on within the same round.
    clock.set(0x5u);
    EXPECT_EQ(clock.now64(), 0x200000005ull);
    clock.set(0x7u);
    EXPECT_EQ(clock.now64(), 0x200000007ull);
    EXPECT_EQ(clock.now(), 0x7u);
}

}  // namespace
}  // namespace kelvaro
